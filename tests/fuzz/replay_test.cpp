// Every input in tests/corpus/<target>/ (seeds and whatever the fuzzers found) runs through
// its parser in the ordinary test program, so the sanitizer build checks them all.
#include "fuzz/fuzz_entry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace kora::fuzz {
namespace {

namespace fs = std::filesystem;

class CorpusReplay : public ::testing::TestWithParam<const char*> {};

TEST_P(CorpusReplay, EveryStoredInputRunsCleanly) {
    fs::path dir = fs::path(KORA_CORPUS_DIR) / GetParam();
    ASSERT_TRUE(fs::is_directory(dir)) << dir;
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
        RunOne(GetParam(), bytes.data(), bytes.size());
        ++count;
    }
    EXPECT_GT(count, 0u) << "no corpus in " << dir;
}

INSTANTIATE_TEST_SUITE_P(Parsers, CorpusReplay,
                         ::testing::Values("devchan", "limits", "keyword", "ini", "component",
                                           "serial", "datafile", "program", "netlist", "station",
                                           "routing"));

} // namespace
} // namespace kora::fuzz
