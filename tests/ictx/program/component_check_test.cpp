#include "ict_program_support.h"

#include "ictx/program/component_check.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace kora {
namespace {

namespace fs = std::filesystem;

class ComponentCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("kora_ictc_" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::pair<int, std::string> Check(const std::string& text) {
        const fs::path file = dir_ / "board.ict";
        std::ofstream(file) << text;
        char* buffer = nullptr;
        std::size_t size = 0;
        std::FILE* out = open_memstream(&buffer, &size);
        const int status = CheckComponentFile(bench_.get(), file.c_str(), out);
        std::fclose(out);
        std::string shown(buffer, size);
        std::free(buffer);
        const std::string name = file.string();
        for (std::size_t at; (at = shown.find(name)) != std::string::npos;) {
            shown.replace(at, name.size(), "board.ict");
        }
        return {status, shown};
    }

    fs::path dir_;
    test::CPtr<BenchRecord> bench_ = test::MakeBench({"A", "B"});
};

TEST_F(ComponentCheck, CountsPerClassOrTheLoadReport) {
    auto [status, shown] = Check("[1, \"S\", \"SETUP\"]\n[2, \"R1\", \"RESISTOR\"]\nTP=\"A\"\n"
                                 "NV=100\n[3, \"R2\", \"RESISTOR\"]\nTP=\"B\"\nNV=1\n"
                                 "[4, \"U1\", \"DIGITAL\"]\nDI=H,\"A\"\n");
    EXPECT_EQ(status, kCheckPassed);
    EXPECT_EQ(shown, "  1001  SETUP                     1\n"
                     "  1005  RESISTOR                  2\n"
                     "  1101  DIGITAL TEST              1\n"
                     "     0  TOTAL                     4\n");

    std::tie(status, shown) =
        Check("[2, \"R1\", \"RESISTOR\"]\nTP=\"A\"\n[3, \"U1\", \"DIGITAL\"]\n"
              "GOTO=\"NOWHERE\"\n");
    EXPECT_EQ(status, kCheckFailed);
    EXPECT_EQ(shown, "ERROR# -2130706414 (0x81000012)        PROGRAM LINE# 0\n\n"
                     "LOAD_ICTX\nKORA resource error\n\n"
                     "NOMINAL VALUE not defined R1 (ID=2)\n"
                     "1 unlinked DIGITAL VECTOR(S) found\n\n\"NOWHERE\" @ 4\n U1 (ID=3)\n\n");

    std::tie(status, shown) = Check("[2, \"U1\", \"DIGITAL\"]\nDI=H,\"C\"\n");
    EXPECT_EQ(status, kCheckFailed);
    EXPECT_EQ(shown, "ERROR# -2130706414 (0x81000012)        PROGRAM LINE# 0\n\n"
                     "LOAD_ICTX\nKORA resource error\n\n"
                     "CompileLinkError: DI=...,C\n\n'C' not in channel table found\n\n"
                     "SECTION: [2,U1,...]\n\nFILE: board.ict\n\nLINE: 2\n");
}

} // namespace
} // namespace kora
