#include "frame/args.h"
#include "frame/errors.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

namespace kora {
namespace {

TEST(MatchKeyword, ListsAndHostileText) {
    struct Case {
        const char* text;
        const char* list;
        int expected;
    } cases[] = {
        {"ARM", "ARM,SOFTWARE,STOP", 1},
        {"STOP", "ARM,SOFTWARE,STOP", 3},
        {"stop", "ARM,SOFTWARE,STOP", 0},
        {"SOFTWARE", "ARM, SOFTWARE", 2},
        {"SOFTWARE", "ARM,\tSOFT WARE ,X", 2}, // blanks inside entries are skipped too
        {"SOFT WARE", "ARM,SOFT WARE", 0},     // a text with a blank never matches
        {"", "A,,B", 2},
        {"A", "", 0},
        {"", "", 1},
        {"", "A,B,", 3},
        {"", ",A", 1},
        {"AR", "ARM,AR", 2},   // a prefix of an earlier entry is not a match
        {"ARMS", "ARM,AR", 0}, // a longer text is not a match
        {nullptr, "A", 0},
        {"A", nullptr, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MatchKeyword(c.text, c.list, ','), c.expected)
            << (c.text ? c.text : "<null>") << " in " << (c.list ? c.list : "<null>");
    }
}

std::string Repeat(char c, std::size_t n) {
    return std::string(n, c);
}

TEST(SplitDevChanAttr, GrammarAndLimits) {
    struct Case {
        std::string text;
        uint32_t code;
        const char *device, *channel, *function, *suffix;
    } cases[] = {
        {"DMM1|POWERFREQ", 0, "DMM1", "", "POWERFREQ", ""},
        {"ADIO1|CH3:DOUT", 0, "ADIO1", "CH3", "DOUT", ""},
        {"URM2", 0, "", "", "URM2", ""},
        {"X:a|b", 0, "", "X", "a|b", ""},
        {"D|C:F.S", 0, "D", "C", "F", "S"},
        {"D|C:F.S.T", 0, "D", "C", "F", "S.T"},
        {"F.", 0, "", "", "F", ""},
        {"|F", 0, "", "", "F", ""},
        {"D|C:F:G", 0, "D", "C", "F:G", ""},
        {"", 0, "", "", "", ""},
        {Repeat('d', 31) + "|F", 0, "ddddddddddddddddddddddddddddddd", "", "F", ""},
        {Repeat('d', 32) + "|F", kErrLength, "", "", "", ""},
        {Repeat('c', 192) + ":F", kErrLength, "", "", "", ""},
        {Repeat('f', 128), kErrLength, "", "", "", ""},
        {"F." + Repeat('s', 128), kErrLength, "", "", "", ""},
    };
    for (const auto& c : cases) {
        DevChanParts parts;
        std::memset(&parts, 'x', sizeof parts); // stale content must be cleared
        EXPECT_EQ(SplitDevChanAttr(c.text.c_str(), &parts), c.code) << c.text;
        if (c.code == 0) {
            EXPECT_STREQ(parts.device, c.device) << c.text;
            EXPECT_STREQ(parts.channel, c.channel) << c.text;
            EXPECT_STREQ(parts.function, c.function) << c.text;
            EXPECT_STREQ(parts.suffix, c.suffix) << c.text;
        }
    }
    // The longest parts that fit are kept whole and terminated.
    DevChanParts parts;
    std::string longest = Repeat('c', 191) + ":" + Repeat('f', 127) + "." + Repeat('s', 127);
    ASSERT_EQ(SplitDevChanAttr(longest.c_str(), &parts), 0u);
    EXPECT_EQ(std::strlen(parts.channel), 191u);
    EXPECT_EQ(std::strlen(parts.function), 127u);
    EXPECT_EQ(std::strlen(parts.suffix), 127u);
    ASSERT_EQ(SplitDevChanAttr(nullptr, &parts), 0u);
    EXPECT_STREQ(parts.function, "");
}

TEST(ParseScaled, PrefixesNeedAMarker) {
    struct Case {
        const char* text;
        double expected;
    } cases[] = {
        {"4.7*k", 4700}, {"4.7 k", 4700}, {"10m", 10},    {"10 m", 0.01}, {"3*G", 3e9},
        {"2 M", 2e6},    {"5*u", 5e-6},   {"7 n", 7e-9},  {"1*p", 1e-12}, {"1*x", 1},
        {"-2.5", -2.5},  {"abc", 0},      {nullptr, 0.0}, {"", 0},        {"1.5e3 m", 1.5},
        {" 5 m", 0},     {"2*k m", 2000}, // the text is cut at its first marker
    };
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(ParseScaled(c.text), c.expected) << (c.text ? c.text : "<null>");
    }
    EXPECT_EQ(PrefixFactor('K'), 1.0); // only the lower-case kilo is a prefix
}

struct LimitCase {
    const char* low;
    double nominal;
    const char* nominalText;
    const char* high;
    double expLow, expNominal, expHigh;
    const char *expLowOp, *expHighOp;
};

TEST(ParseLimits, TextsOperatorsAndRelativeLimits) {
    const LimitCase cases[] = {
        {"5 m", NAN, nullptr, "<10*m", 0.005, 0.0075, 0.01, "<=", "<"},
        {"-10%", 2.0, nullptr, "10%", 1.8, 2.0, 2.2, "<=", "<="},
        {"1", NAN, nullptr, "3", 1, 2, 3, "<=", "<="},
        {"B1010", 0, nullptr, "H1F", 10, 0, 31, "<=", "<="},
        {"Hff", 0, nullptr, "HFFFFFFFF", 255, 0, -1, "<=", "<="},
        {" B101", 0, nullptr, "H1F", 0, 0, 31, "<=", "<="}, // the prefix must come first
        {"5 <", 0, nullptr, "= 7", 5, 0, 7, "<", "="},
        {"5 = <", 0, nullptr, " <== 9", 5, 0, 9, "=<", "<=="},
        {"1-", 10, nullptr, "2+", 9, 10, 12, "<=", "<="},
        {"", 1, nullptr, "", 0, 1, 0, "", ""},
        {nullptr, NAN, nullptr, "4", 0, 0, 4, "", "<="},
        {"1", 0, "4.7*k", nullptr, 1, 4700, 0, "<=", ""},
    };
    for (const auto& c : cases) {
        LimitRecord r;
        std::memset(&r, 0x55, sizeof r);
        ParseLimits(c.low, c.nominal, c.nominalText, c.high, &r);
        SCOPED_TRACE(std::string(c.low ? c.low : "<null>") + " / " + (c.high ? c.high : "<null>"));
        EXPECT_DOUBLE_EQ(r.low, c.expLow);
        EXPECT_DOUBLE_EQ(r.nominal, c.expNominal);
        EXPECT_DOUBLE_EQ(r.high, c.expHigh);
        EXPECT_STREQ(r.lowOp, c.expLowOp);
        EXPECT_STREQ(r.highOp, c.expHighOp);
        EXPECT_EQ(r.lowInt, static_cast<int32_t>(c.expLow));
        EXPECT_EQ(r.highInt, static_cast<int32_t>(c.expHigh));
    }
}

TEST(ParseLimits, RangeAndIntegers) {
    LimitRecord r;
    ParseLimits("1", NAN, nullptr, "3", &r);
    EXPECT_EQ(r.nominal, 2.0);
    EXPECT_EQ(r.nominalInt, 2);
    EXPECT_EQ(r.range, 3.0);
    EXPECT_EQ(r.rangeInt, 4);
    ParseLimits("-7.9", 0.5, nullptr, "2.5", &r);
    EXPECT_EQ(r.lowInt, -7); // truncated toward zero
    EXPECT_EQ(r.range, 7.9);
    EXPECT_EQ(r.rangeInt, 8);
    ParseLimits("1e30", 0, nullptr, "-1e30", &r); // saturates instead of overflowing
    EXPECT_EQ(r.lowInt, INT32_MAX);
    EXPECT_EQ(r.highInt, INT32_MIN);
}

TEST(ParseLimits, SameNumbersUnderAGermanLocale) {
    const char* old = std::setlocale(LC_ALL, nullptr);
    std::string saved = old ? old : "C";
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) {
        GTEST_SKIP() << "de_DE.UTF-8 is not installed (scripts/setup.sh generates it)";
    }
    LimitRecord r;
    ParseLimits("4.7 k", NAN, nullptr, "5.25*k", &r);
    double scaled = ParseScaled("0.5");
    std::setlocale(LC_ALL, saved.c_str());
    EXPECT_DOUBLE_EQ(r.low, 4700);
    EXPECT_DOUBLE_EQ(r.high, 5250);
    EXPECT_DOUBLE_EQ(scaled, 0.5);
}

TEST(AppendDetail, LabelsAndRoom) {
    struct Case {
        const char* start;
        std::size_t size;
        const char* label;
        const char* text;
        const char* expected;
    } cases[] = {
        {"", 64, "R1", "12.5", "R112.5"},
        {"A", 64, "R1", "12.5", "A | R112.5"},
        {"A", 64, nullptr, "xyz", "Axyz"},
        {"A", 64, "L", nullptr, "A"},
        {"A", 64, "L", "", "A"},
        {"AB", 4, "LONG", "t", "AB|"},     // label longer than the room: a single bar
        {"ABC", 4, "L", "t", "ABC"},       // no room at all: nothing
        {"", 6, "LBL", "toolong", "LBL "}, // text that does not fit: a single blank
        {"", 8, "LBL", "1234", "LBL1234"},
    };
    for (const auto& c : cases) {
        char buffer[64] = {};
        std::strcpy(buffer, c.start);
        AppendDetail(buffer, c.size, c.label, c.text);
        EXPECT_STREQ(buffer, c.expected) << c.start << " + " << (c.label ? c.label : "<null>");
        EXPECT_LT(std::strlen(buffer), c.size);
    }
}

class BenchHelpers : public ::testing::Test {
  protected:
    void SetUp() override {
        bench_.reset(static_cast<BenchRecord*>(std::calloc(1, sizeof(BenchRecord))));
    }
    struct Free {
        void operator()(BenchRecord* b) const {
            for (auto& a : b->arrays) {
                std::free(a.buffers[0]);
                std::free(a.buffers[1]);
            }
            std::free(b);
        }
    };
    std::unique_ptr<BenchRecord, Free> bench_;
};

TEST_F(BenchHelpers, FindDeviceByClassAndName) {
    BenchRecord& b = *bench_;
    std::strcpy(b.dmm[1].name, "Dmm2");
    b.dmm[1].inUse = 1;
    std::strcpy(b.dmm[2].name, "DMM3"); // named but not set up
    std::strcpy(b.urm[15].name, "URM16");
    b.urm[15].inUse = 1;
    EXPECT_EQ(FindDevice(&b, kClassDmm, ""), &b.dmm[0]); // first slot even when not set up
    EXPECT_EQ(FindDevice(&b, kClassDmm, nullptr), &b.dmm[0]);
    EXPECT_EQ(FindDevice(&b, kClassDmm, "DMM2"), &b.dmm[1]);
    EXPECT_EQ(FindDevice(&b, kClassDmm, "DMM3"), nullptr);
    EXPECT_EQ(FindDevice(&b, kClassUrm, "urm16"), &b.urm[15]);
    EXPECT_EQ(FindDevice(&b, kClassScope, "DMM2"), nullptr);
    EXPECT_EQ(FindDevice(&b, 3, "X"), nullptr);
    EXPECT_EQ(FindDevice(&b, 3, ""), nullptr);
    EXPECT_EQ(FindDevice(nullptr, kClassDmm, ""), nullptr);
}

TEST_F(BenchHelpers, FindArrayModes) {
    BenchRecord& b = *bench_;
    char msg[kMessageSize] = "stale";
    EXPECT_EQ(FindArray(&b, 1, "A", kArrayFind, msg), nullptr);
    EXPECT_STREQ(msg, "Array 'A' not found");
    NamedArray* a = FindArray(&b, 1, "A", kArrayCreate, msg);
    ASSERT_EQ(a, &b.arrays[0]);
    EXPECT_STREQ(msg, "");
    EXPECT_EQ(FindArray(&b, 1, "A", kArrayFind, msg), a);
    EXPECT_EQ(FindArray(&b, 1, "A", kArrayFindOrCreate, msg), a);
    EXPECT_EQ(FindArray(&b, 1, "A", kArrayCreate, msg), nullptr);
    EXPECT_STREQ(msg, "Array allocation error - 'A' still used");
    // Same name, other kind: a new entry; names compare exactly.
    EXPECT_EQ(FindArray(&b, 2, "A", kArrayFindOrCreate, msg), &b.arrays[1]);
    EXPECT_EQ(FindArray(&b, 1, "a", kArrayFind, msg), nullptr);
    // A name the registry cannot hold is refused, never cut into another array's name.
    std::string longName(32, 'n');
    EXPECT_EQ(FindArray(&b, 1, longName.c_str(), kArrayCreate, msg), nullptr);
    for (int i = 2; i < kNamedArrays; ++i) {
        ASSERT_NE(FindArray(&b, 1, ("N" + std::to_string(i)).c_str(), kArrayCreate, msg), nullptr);
    }
    EXPECT_EQ(FindArray(&b, 1, "FULL", kArrayCreate, msg), nullptr);
    EXPECT_STREQ(msg, "Array 'FULL' not found");
    EXPECT_EQ(FindArray(&b, 1, "N126", kArrayFind, msg), &b.arrays[126]);
}

} // namespace
} // namespace kora
