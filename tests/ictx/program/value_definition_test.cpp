#include "ictx/program/value_definition.h"

#include "frame/errors.h"

#include <gtest/gtest.h>

#include <string>

namespace kora {
namespace {

TEST(ValueDefinition, ReadsTheFourForms) {
    struct Case {
        const char* text;
        uint32_t value, mask, digits, states;
        char format;
    } cases[] = {
        {"0b10Z-", 0b1001, 0b0011, 4, 4, 'b'},
        {"HLZ-10", 0b100110, 0b001100, 6, 6, 's'},
        {"0x1F", 0x1F, 0, 2, 8, 'x'},
        {"0xZ-a", 0x0FA, 0xFF0, 3, 12, 'x'},
        {"12", 12, 0, 2, 32, 'd'},
        {"7", 7, 0, 1, 32, 'd'},
        {"-", 1, 1, 1, 1, 's'},
        {"4294967295", 0xFFFFFFFFu, 0, 10, 32, 'd'},
        {"HHHHHHHHHHHHHHHHHHHHHHHHHHHHHHHH", 0xFFFFFFFFu, 0, 32, 32, 's'},
    };
    for (const auto& c : cases) {
        ValueDefinition v;
        char error[kMessageSize] = {};
        ASSERT_TRUE(ParseValueDefinition(c.text, &v, error, sizeof error)) << c.text << error;
        EXPECT_EQ(v.value, c.value) << c.text;
        EXPECT_EQ(v.mask, c.mask) << c.text;
        EXPECT_EQ(v.digits, c.digits) << c.text;
        EXPECT_EQ(v.states, c.states) << c.text;
        EXPECT_EQ(v.format, c.format) << c.text;
    }
}

TEST(ValueDefinition, RefusesBrokenDefinitions) {
    struct Case {
        std::string text, error;
    } cases[] = {
        {"HLX", "Invalid STATE VALUE (L|H|X|-) definition \"HLX\""},
        {"hl", "Invalid STATE VALUE (L|H|X|-) definition \"hl\""},
        {"0xG1", "Invalid HEX VALUE definition \"0xG1\""},
        {"0b102", "Invalid BINARY VALUE definition \"0b102\""},
        {"0bH", "Invalid BINARY VALUE definition \"0bH\""},
        {"1a", "Invalid DECIMAL VALUE definition \"1a\""},
        {"", "Invalid VALUE DEFINITION (DIGITS=0)"},
        {"0x", "Invalid VALUE DEFINITION (DIGITS=0)"},
        {"0b", "Invalid VALUE DEFINITION (DIGITS=0)"},
        {std::string(33, 'L'), "Invalid VALUE DEFINITION (33 DIGITS, MAX=32)"},
        {"0x" + std::string(33, '0'), "Invalid VALUE DEFINITION (33 DIGITS, MAX=32)"},
    };
    for (const auto& c : cases) {
        ValueDefinition v;
        char error[kMessageSize] = {};
        EXPECT_FALSE(ParseValueDefinition(c.text, &v, error, sizeof error)) << c.text;
        EXPECT_EQ(error, c.error);
    }
}

TEST(ValueDefinition, FormatsBackAndMarksWhatItCannotShow) {
    struct Case {
        uint32_t value, mask, digits;
        char format;
        const char* text;
        bool representable;
    } cases[] = {
        {0b1001, 0b0011, 4, 'b', "0b10Z-", true},
        {0b1001, 0b0011, 4, 's', "HLZ-", true},
        {0x1F, 0, 2, 'x', "0x1F", true},
        {0x0FA, 0xFF0, 3, 'x', "0xZ-A", true},
        {0x012, 0x0F0, 3, 'x', "0x0?2", false}, // masked nibble that is neither Z nor -
        {0x3, 0x2, 1, 'x', "0x?", false},       // partly masked nibble
        {0xABCDEF12, 0, 12, 'x', "0xABCDEF12", true},
        {12, 0, 0, 'd', "12", true},
        {13, 0, 2, 'd', "1", true},
        {12, 3, 32, 'd', "(TRI=3) 12", false},
        {0, 0, 0, 's', "", true},
    };
    for (const auto& c : cases) {
        char text[80];
        EXPECT_EQ(FormatValueDefinition(c.value, c.mask, c.digits, c.format, text, sizeof text),
                  c.representable)
            << c.text;
        EXPECT_STREQ(text, c.text);
    }
    // Every readable definition of the bit forms writes back as itself.
    for (const char* text : {"0b10Z-", "HLZ-", "0x1F", "0xZ-A0", "0b0", "L"}) {
        ValueDefinition v;
        char error[kMessageSize];
        ASSERT_TRUE(ParseValueDefinition(text, &v, error, sizeof error));
        char back[80];
        EXPECT_TRUE(FormatValueDefinition(v.value, v.mask, v.digits, v.format, back, sizeof back));
        EXPECT_STREQ(back, text);
    }
}

} // namespace
} // namespace kora
