#include "ict_program_support.h"

#include "ictx/program/component_load.h"
#include "ictx/program/component_writer.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace kora {
namespace {

namespace fs = std::filesystem;

// Loads `text` as the load step does and writes every section back.
class ComponentWriter : public ::testing::Test {
  protected:
    std::string Load(const std::string& text) {
        std::string_view view(text);
        count_ = LoadComponentProgram(bench_.get(), l_.model.get(), "board.ict", &view,
                                      l_.strings.data(), l_.strings.size(), l_.error);
        return count_ > 0 ? "" : l_.error;
    }
    std::string Written() {
        char* buffer = nullptr;
        std::size_t size = 0;
        std::FILE* f = open_memstream(&buffer, &size);
        for (int32_t i = 0; i < l_.model->componentCount; ++i) {
            EXPECT_EQ(WriteComponentSection(f, &l_.model->components[i], l_.model->variants), 0);
        }
        std::fclose(f);
        std::string s(buffer, size);
        std::free(buffer);
        return s;
    }
    test::CPtr<BenchRecord> bench_ = test::MakeBench({"A", "B", "C", "D", "R1_A", "R1_B"});
    test::Loaded l_;
    int32_t count_ = 0;
};

TEST_F(ComponentWriter, AnalogSectionsStateDerivedLimits) {
    ASSERT_EQ(Load("[1, \"S1\", \"SETUP\", \"V1,V2\", \"\"]\n#SORT\n"
                   "[10, \"R1\", \"RESISTOR\", \"V1\", \"pull-up\"]\n#DISABLED\n#LOCKED\n"
                   "#ABORTONFAIL\n/*\n  pull-up\n\n   of the reset line\n*/\nPI=\"10K\"\n"
                   "TP=\"R1_A\"\nTP=\"R1_B\"\nNV= 10000\n"
                   "[11, \"D1\", \"DIODE\", \"\", \"\"]\nTP=\"A\"\nNV=0.7,0.7\nMM=\"VV\"\n"),
              "");
    EXPECT_EQ(Written(), "\n# ------------------\n\n[1, \"S1\", \"SETUP\", \"V1,V2\", \"\"]\n"
                         "#SORT\n\n"
                         "\n# ------------------\n\n[10, \"R1\", \"RESISTOR\", \"V1\", "
                         "\"pull-up\"]\n#LOCKED\n#ABORTONFAIL\n\n"
                         "/*\npull-up\nof the reset line\n*/\n\n"
                         "PI=\"10K\"\nTP=\"R1_A\"\nTP=\"R1_B\"\n"
                         "UL= 10100   \nNV= 10000   \nLL= 9900    \n"
                         "\n# ------------------\n\n[11, \"D1\", \"DIODE\", \"\", \"\"]\n\n"
                         "TP=\"A\"\nMM=\"VV\"\nUL= 0.735   ,  0.735   \n"
                         "NV= 0.7     ,  0.7     \nLL= 0.665   ,  0.665   \n");
}

TEST_F(ComponentWriter, DigitalItemsWithGroupingAndComments) {
    ASSERT_EQ(Load("[0, \"LIB\", \"DIGITAL\", \"\", \"\"]\nDI=1,\"#G\"\n"
                   "[20, \"U5\", \"DIGITAL\", \"\", \"\"]\nC=0.05\nVDI=5.0, 0.0\n"
                   "GROUP=\"#G\",\"A\"\nLABEL=\"AGAIN\"\nDI=0b10,\"A,B\" // enable\n"
                   "DO=HL,\"C,D\"\nDO=H,\"C\"\nDO=0b10101010101,\"A,B,C,D,A,B,C,D,A,B,C\" // long\n"
                   "// note\n// more\n"
                   "?FAIL=0,\">FAILED\"\nREPEAT=2,\"AGAIN\"\n?STEQ=0b1Z,\">>OUT\"\n"
                   "?ILIM=\"AGAIN\"\n?TO=0,\"AGAIN\"\nTO=0.25\nMD=0.001\nINSERT=0,\"LIB\"\n"
                   "PART=3\nDC=1\nDC=L,\"A\"\nSTAT=\"#G\"\nDTERM=1,2\nVMIR=0.1,0.2,\"A\"\n"
                   "GOTO=\"AGAIN\"  // back\n"),
              "");
    const std::string expected =
        "\n# ------------------\n\n[0, \"LIB\", \"DIGITAL\", \"\", \"\"]\n\nDI=1,\"#G\"\n"
        "\n# ------------------\n\n[20, \"U5\", \"DIGITAL\", \"\", \"\"]\n\n"
        "C = 0.05    \n\n"
        "VDI=5.0, 0.0\n"
        "GROUP=\"#G\",\"A\"\n\n"
        "LABEL=\"AGAIN\"\n"
        "DI=0b10,\"A,B\"                           // enable\n"
        "DO=HL,\"C,D\"\nDO=H,\"C\"\n"
        "DO=0b10101010101,\"A,B,C,D,A,B,C,D,A,B,C\"   // long\n\n"
        "// note\n// more\n\n"
        "?FAIL=0,\">FAILED\"\n\nREPEAT=2,\"AGAIN\"\n\n?STEQ=0b1Z,\">>OUT\"\n\n"
        "?ILIM=\"AGAIN\"\n\n?TO=0,\"AGAIN\"\n\n"
        "TO=0.250000\nMD=0.001000\n\nINSERT=0,\"LIB\"\n\nPART=3\n\nDC=1\nDC=L,\"A\"\n"
        "STAT=\"#G\"\nDTERM=1,2\nVMIR=0.1,0.2,\"A\"\n"
        "GOTO=\"AGAIN\"                            // back\n";
    EXPECT_EQ(Written(), expected);
}

TEST_F(ComponentWriter, SaveKeepsABackupAndStartsWithDateAndTime) {
    const fs::path dir = fs::temp_directory_path() / ("kora_ictw_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path file = dir / "board.ict";
    const std::string original = "[10, \"R1\", \"RESISTOR\"]\nTP=\"A\"\nNV=100\n";
    std::ofstream(file) << original;
    ASSERT_EQ(LoadComponentProgram(bench_.get(), l_.model.get(), file.c_str(), nullptr,
                                   l_.strings.data(), l_.strings.size(), l_.error),
              1)
        << l_.error;
    char error[kMessageSize] = {};
    ASSERT_EQ(SaveComponentModel(l_.model.get(), nullptr, nullptr, error), 0u) << error;
    auto read = [](const fs::path& p) {
        std::stringstream s;
        s << std::ifstream(p).rdbuf();
        return s.str();
    };
    EXPECT_EQ(read(dir / "board.ict~"), original);
    const std::string saved = read(file);
    EXPECT_TRUE(std::regex_search(
        saved,
        std::regex("^# DATE [0-3][0-9]\\.[01][0-9]\\.20[0-9]{2}\n# TIME [0-2][0-9]:[0-5][0-9]\n"
                   "\n# ------------------\n\n\\[10, \"R1\", \"RESISTOR\"")))
        << saved;
    EXPECT_NE(saved.find("UL= 101     \nNV= 100     \nLL= 99      \n"), std::string::npos);

    // A failing section writer stops the save; what came before stays in the file.
    auto failing = [](void*, std::FILE*, const ComponentRecord* r, const char*, char* e) {
        FormatText(e, kMessageSize, "cannot write %s", r->name);
        return kErrFunction;
    };
    EXPECT_EQ(SaveComponentModel(l_.model.get(), failing, nullptr, error), kErrFunction);
    EXPECT_STREQ(error, "cannot write R1");
    EXPECT_EQ(read(dir / "board.ict~"), saved);
    EXPECT_EQ(read(file).find("[10"), std::string::npos);

    // Without the file there is nothing to back up, and the file is not created.
    fs::remove(file);
    EXPECT_EQ(SaveComponentModel(l_.model.get(), nullptr, nullptr, error), kErrResource);
    EXPECT_STREQ(error, "Component File Backup Error");
    EXPECT_FALSE(fs::exists(file));
    fs::remove_all(dir);
}

TEST_F(ComponentWriter, NumbersReadAndWriteTheSameUnderAGermanLocale) {
    const std::string file = "[11, \"D1\", \"DIODE\", \"\", \"\"]\nTP=\"A\"\nNV=0.75,1.5\n"
                             "[20, \"U5\", \"DIGITAL\", \"\", \"\"]\nMD=0.25\nVDI=2.5,0.5\n";
    ASSERT_EQ(Load(file), "");
    const std::string inC = Written();
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) {
        GTEST_SKIP() << "de_DE.UTF-8 is not installed";
    }
    const std::string loaded = Load(file);
    EXPECT_DOUBLE_EQ(l_.model->components[0].sub[1].nv, 1.5);
    EXPECT_DOUBLE_EQ(l_.model->components[1].firstItem[1].level[0], 2.5);
    const std::string inGerman = Written();
    std::setlocale(LC_ALL, previous.c_str());
    EXPECT_EQ(loaded, "");
    EXPECT_EQ(inGerman, inC);
    EXPECT_NE(inC.find("NV= 0.75    ,  1.5     \n"), std::string::npos) << inC;
    EXPECT_NE(inC.find("MD=0.250000\n"), std::string::npos) << inC;
}

TEST(ComponentFileHeader, DateAndTimeLines) {
    std::tm t{};
    t.tm_year = 126;
    t.tm_mon = 11;
    t.tm_mday = 4;
    t.tm_hour = 9;
    t.tm_min = 5;
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* f = open_memstream(&buffer, &size);
    WriteComponentFileHeader(f, t);
    std::fclose(f);
    EXPECT_EQ(std::string(buffer, size), "# DATE 04.12.2026\n# TIME 09:05\n");
    std::free(buffer);
}

} // namespace
} // namespace kora
