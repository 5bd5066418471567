// Data files and named arrays: every format round-trips through a file, 32-bit words stay 32 bit.
#include "support/station.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace kora {
namespace {

namespace fs = std::filesystem;

class DataFiles : public test::StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        ASSERT_EQ(Setup(), 0) << LastAlert();
        dir_ = fs::temp_directory_path() / ("kora_data_" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        fs::remove_all(dir_);
        StationTest::TearDown();
    }
    std::string File(const char* name) const { return (dir_ / name).string(); }
    long Write(const char* attr, const std::string& file, long count, double* a, long* d,
               long* written = nullptr) {
        return WRITE_SYSTEM(++ref_, "Write", 0x100, 0, "", attr, file.c_str(), count, a, d,
                            written);
    }
    long Read(const char* attr, const std::string& file, double gain = NAN, double offs = NAN,
              long* count = nullptr) {
        return READ_SYSTEM(++ref_, "Read", 0x100, 0, "", attr, file.c_str(), gain, offs, count);
    }
    fs::path dir_;
    long ref_ = 100;
};

TEST_F(DataFiles, AnalogFormatsRoundTrip) {
    for (const char* format : {"ASCII", "", "BIN"}) {
        SCOPED_TRACE(format);
        std::vector<double> values = {0.5, -1.25, 1e6, 0.0, -3.0};
        const std::string file = File("analog.dat");
        long written = 0;
        const std::string out = std::string("MEM>DRIVE:WAVEFORM.") + format;
        ASSERT_EQ(Write(out.c_str(), file, 5, values.data(), nullptr, &written), 0) << LastAlert();
        EXPECT_EQ(written, 5);
        long count = 0;
        const std::string in = std::string("W|DRIVE:WAVEFORM.") + format;
        ASSERT_EQ(Read(in.c_str(), file, 2.0, 1.0, &count), 0) << LastAlert();
        EXPECT_EQ(count, 5);
        std::vector<double> back(5, NAN);
        ASSERT_EQ(Write("W|ARRAY>MEM:WAVEFORM", "", 5, back.data(), nullptr), 0) << LastAlert();
        for (std::size_t i = 0; i < values.size(); ++i) {
            EXPECT_DOUBLE_EQ(back[i], values[i] * 2.0 + 1.0) << i;
        }
    }
}

TEST_F(DataFiles, DigitalFormatsRoundTripAs32BitWords) {
    const struct {
        const char* format;
        const char* text; // the file as written, for the text formats
    } cases[] = {{"ASCII", "0\n-2\n2147483647\n-2147483648\n65535\n"},
                 {"HEX", "00000000\nFFFFFFFE\n7FFFFFFF\n80000000\n0000FFFF\n"},
                 {"", nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        std::vector<long> words = {0, -2, 2147483647L, -2147483648L, 65535};
        const std::string file = File("digital.dat");
        const std::string out = std::string("MEM>DRIVE:PATTERN.") + c.format;
        ASSERT_EQ(Write(out.c_str(), file, 5, nullptr, words.data()), 0) << LastAlert();
        if (c.text) {
            EXPECT_EQ(test::ReadFile(file), c.text);
        } else {
            EXPECT_EQ(fs::file_size(file), 20u); // 4-byte words
        }
        long count = 0;
        const std::string in = std::string("P|DRIVE:PATTERN.") + c.format;
        ASSERT_EQ(Read(in.c_str(), file, NAN, NAN, &count), 0) << LastAlert();
        EXPECT_EQ(count, 5);
        std::vector<long> back(5, 99);
        ASSERT_EQ(Write("P|ARRAY>MEM:PATTERN", "", 5, nullptr, back.data()), 0);
        EXPECT_EQ(back, words);
    }
}

TEST_F(DataFiles, GainAndOffsetSkipNaN) {
    const std::string file = File("ten.bin");
    std::vector<double> ten(10);
    for (int i = 0; i < 10; ++i) {
        ten[i] = i;
    }
    std::FILE* f = std::fopen(file.c_str(), "wb");
    ASSERT_EQ(std::fwrite(ten.data(), sizeof(double), 10, f), 10u);
    std::fclose(f);
    const struct {
        double gain, offset, factor, shift;
    } cases[] = {{2.0, NAN, 2.0, 0.0}, {NAN, 1.5, 1.0, 1.5}, {NAN, NAN, 1.0, 0.0}};
    for (const auto& c : cases) {
        long count = 0;
        ASSERT_EQ(Read("TEN|DRIVE:WAVEFORM[X]", file, c.gain, c.offset, &count), 0);
        EXPECT_EQ(count, 10);
        std::vector<double> back(10);
        ASSERT_EQ(Write("TEN|ARRAY>MEM:WAVEFORM[X]", "", 10, back.data(), nullptr), 0);
        EXPECT_EQ(back[9], 9 * c.factor + c.shift);
    }
}

TEST_F(DataFiles, HexTextAndOddFiles) {
    const std::string file = File("hex.txt");
    std::ofstream(file) << "0000FFFF\n12\nxyz\n7\n";
    long count = 0;
    ASSERT_EQ(Read("H|DRIVE:PATTERN.HEX", file, NAN, NAN, &count), 0);
    EXPECT_EQ(count, 2); // reading ends at the first text that is no number
    std::vector<long> back(2);
    ASSERT_EQ(Write("H|ARRAY>MEM:PATTERN", "", 2, nullptr, back.data()), 0);
    EXPECT_EQ(back, (std::vector<long>{65535, 18}));
    // A binary file whose size is no whole number of doubles: the rest is dropped.
    std::ofstream(File("odd.bin"), std::ios::binary) << std::string(19, '\0');
    ASSERT_EQ(Read("O|DRIVE:WAVEFORM", File("odd.bin"), NAN, NAN, &count), 0);
    EXPECT_EQ(count, 2);
}

TEST_F(DataFiles, ArraysBetweenMemoryAndRegistry) {
    std::vector<double> hundred(100, 1.0);
    long count = 0;
    ASSERT_EQ(Write("BIG|MEM>ARRAY:WAVEFORM", "", 100, hundred.data(), nullptr, &count), 0);
    EXPECT_EQ(count, 100);
    std::vector<double> fifty(50);
    EXPECT_EQ(Write("BIG|ARRAY>MEM:WAVEFORM", "", 50, fifty.data(), nullptr), -2);
    EXPECT_NE(LastAlert().find("Array size exceeds target capacity"), std::string::npos);
    // Growing keeps the array; copying never reads more than the caller gave.
    std::vector<double> three = {7, 8, 9};
    ASSERT_EQ(Write("BIG|MEM>ARRAY:WAVEFORM", "", 3, three.data(), nullptr, &count), 0);
    EXPECT_EQ(count, 100);
    std::vector<double> all(100);
    ASSERT_EQ(Write("BIG|ARRAY>MEM:WAVEFORM", "", 100, all.data(), nullptr), 0);
    EXPECT_EQ(all[2], 9.0);
    EXPECT_EQ(all[3], 1.0);
    // The array goes to a file as it is.
    ASSERT_EQ(Write("BIG|ARRAY>DRIVE:WAVEFORM.ASCII", File("big.txt"), 0, nullptr, nullptr, &count),
              0);
    EXPECT_EQ(count, 100);
}

TEST_F(DataFiles, Failures) {
    const struct {
        long result;
        const char* message;
    } cases[] = {
        {Read("A|DRIVE:WAVEFORM", File("missing")), "FILE NOT FOUND"},
        {Write("NONE|ARRAY>MEM:WAVEFORM", "", 1, nullptr, nullptr), "Array 'NONE' not found"},
        {Write("MEM>DRIVE:WAVEFORM", File("x"), 1, nullptr, nullptr), "pAValues is <NULL>"},
        {Write("MEM>DRIVE:PATTERN", File("x"), 1, nullptr, nullptr), "pDValues is <NULL>"},
        {Write("MEM>DRIVE:WAVEFORM.ASCII", (dir_ / "no" / "x").string(), 0, nullptr, nullptr),
         "pAValues is <NULL>"},
        {Read("A|DISK:WAVEFORM", File("x")), "A|DISK:WAVEFORM"},
        {Read("DRIVE:WAVEFORM", File("x")), "DRIVE:WAVEFORM"},
        {Write("MEM>ARRAY:WAVEFORM", File("x"), 1, nullptr, nullptr), "MEM>ARRAY:WAVEFORM"},
        {Write("A|COPY:WAVEFORM", File("x"), 1, nullptr, nullptr), "A|COPY:WAVEFORM"},
        {Write("A|MEM>ARRAY:SAMPLES", File("x"), 1, nullptr, nullptr), "A|MEM>ARRAY:SAMPLES"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.result, -2) << c.message;
    }
    const auto all = alerts();
    ASSERT_EQ(all.size(), std::size(cases));
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_NE(all[i].text.find(cases[i].message), std::string::npos) << all[i].text;
    }
    double one = 1;
    EXPECT_EQ(Write("MEM>DRIVE:WAVEFORM.ASCII", (dir_ / "no" / "x").string(), 1, &one, nullptr),
              -2);
    EXPECT_NE(LastAlert().find("FILE OPEN ERROR"), std::string::npos);
}

} // namespace
} // namespace kora
