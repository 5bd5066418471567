#include "ict_program_support.h"

#include "ictx/program/component_params.h"
#include "ictx/program/component_parser.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <iterator>
#include <limits>
#include <string>

namespace kora {
namespace {

using test::Loaded;

const std::string kR1 = "[10, \"R1\", \"RESISTOR\", \"\", \"\"]\n";
const std::string kU5 = "[20, \"U5\", \"DIGITAL\", \"\", \"\"]\n";

// The error text with the suffix the parser adds: section (when one is current), file, line.
std::string Err(const std::string& message, const char* section, int line) {
    std::string s = message;
    if (section) {
        s += std::string("\n\nSECTION: [") + section + ",...]";
    }
    return s + "\n\nFILE: board.ict\n\nLINE: " + std::to_string(line);
}

class ComponentParser : public ::testing::Test {
  protected:
    test::CPtr<BenchRecord> bench_ =
        test::MakeBench({"A", "B", "C", "D", "R1_A", "R1_B", "U5_1", "U5_2", "U5_3", "U5_4"});
    Loaded l_;
};

TEST_F(ComponentParser, CommentsAndPreprocessorLines) {
    struct Case {
        std::string body; // after the R1 header on line 1
        std::string error;
        int line;
        uint32_t flags, report;
        double nv;
        const char* info;
    } cases[] = {
        {"  /* comment\n",
         "Multi line comment BEGIN definition /* has to be placed at line "
         "beginning",
         2, 0, 0, 0, nullptr},
        {"/* a */ /* b\n",
         "Multi line comment BEGIN definition /* has to be placed at line "
         "beginning",
         2, 0, 0, 0, nullptr},
        {"NV=1\n*/\n", "Multi line comment error: */ without previous /*", 3, 0, 0, 0, nullptr},
        {"  */ NV=5\n", "Multi line comment error: */ without previous /*", 2, 0, 0, 0, nullptr},
        {"/* comment\n*/ NV=5\n", "", 0, 0, 0, 5, "comment\n"},
        {"NV=5 */\n", "", 0, 0, 0, 5, nullptr},
        {"/*\n#SORT\n[2, \"X\", \"DIODE\"]\nNV=7\n*/\n", "", 0, 16, 0, 0,
         "[2, \"X\", \"DIODE\"]\nNV=7\n"},
        {"/*\n  first\n/*\ninner\n*/\nNV=7\n*/\n/* second */\nNV=3\n", "", 0, 0, 0, 3,
         "first\n/*\ninner\n*/\nNV=7\n"},
        {"/* one line */\n", "", 0, 0, 0, 0, "one line "},
        {"#DISABLED   \n", "", 0, 1, 2, 0, nullptr},
        {"#DISABLED // off\n", "Invalid Pre-Processor command #DISABLED // off", 2, 0, 0, 0,
         nullptr},
        {"#SORT,x\n#NOSORT\n", "", 0, 16, 0, 0, nullptr},
        {"#\n", "Invalid Pre-Processor command #", 2, 0, 0, 0, nullptr},
        {"#sort\n", "Invalid Pre-Processor command #sort", 2, 0, 0, 0, nullptr},
        {"# DATE 04.12.2026\n#\tcomment\n", "", 0, 0, 0, 0, nullptr},
        {"#DISABLED\n#ABORTONFAIL\n#LOCKED\n", "", 0, 13, 4, 0, nullptr},
        {"#LOCKED\n#NOREPORT\n", "", 0, 6, 1, 0, nullptr},
        {"NV=5 // nominal */\n", "", 0, 0, 0, 5, nullptr},
        {"NV=5", "", 0, 0, 0, 5, nullptr}, // no line end on the last line
        {"NV=5\r\n#SORT\r\n", "", 0, 16, 0, 5, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        const int32_t n = l_.Parse(bench_.get(), kR1 + c.body);
        if (!c.error.empty()) {
            EXPECT_LT(n, 0);
            EXPECT_EQ(l_.error, Err(c.error, "10,R1", c.line));
            continue;
        }
        ASSERT_GE(n, 1) << l_.error;
        EXPECT_EQ(l_[0].flags, c.flags);
        EXPECT_EQ(l_[0].reportOption, c.report);
        EXPECT_EQ(l_[0].sub[0].nv, c.nv);
        if (c.info) {
            ASSERT_NE(l_[0].info, nullptr);
            EXPECT_STREQ(l_[0].info, c.info);
        } else {
            EXPECT_EQ(l_[0].info, nullptr);
        }
    }
}

TEST_F(ComponentParser, CommentOutsideSectionsAndCutAtSlashes) {
    ASSERT_EQ(l_.Parse(bench_.get(), "/* file note */\n#DISABLED\n" + kR1 + "PI=\"a//b\"\n"), 1);
    EXPECT_EQ(l_[0].info, nullptr);
    EXPECT_EQ(l_[0].flags, 0u);
    EXPECT_STREQ(l_[0].pi, "a");
    // A comment left open at the end of the file keeps what it holds.
    ASSERT_EQ(l_.Parse(bench_.get(), kR1 + "/*\nunfinished"), 1);
    EXPECT_STREQ(l_[0].info, "unfinished");
}

TEST_F(ComponentParser, SectionHeaders) {
    struct Case {
        std::string header;
        std::string error;
        int32_t index = 0;
        const char *name = nullptr, *classText = nullptr;
        uint32_t classCode = 0, subTests = 0;
        const char *variants = nullptr, *comment = nullptr;
    } cases[] = {
        {"[10, \"R1\", \"RESISTOR\", \"V1\", \"pull-up\"]", "", 10, "R1", "RESISTOR", 7, 1, "V1",
         "pull-up"},
        {"[1, \"S\", \"SETUP\", \"V1,V2\", \"\"]", "", 1, "S", "SETUP", 1, 0, "-,V1,V2", nullptr},
        {"[1, \"S\", \"SETUP\", \"\", \"\"]", "", 1, "S", "SETUP", 1, 0, nullptr, nullptr},
        {"  [ 7 ,\"N1  \" x \"FOO \"", "", 7, "N1", "FOO", 29, 3, nullptr, nullptr},
        {"[2, \"D1\", \"DIODE\"]", "", 2, "D1", "DIODE", 15, 2, nullptr, nullptr},
        {"[-4, \"R4\", \"RESISTOR\"]", "", -4, "R4", "RESISTOR", 7, 1, nullptr, nullptr},
        {"[+6x, \"R6\", \"RESISTOR\"]", "", 6, "R6", "RESISTOR", 7, 1, nullptr, nullptr},
        {"[99999999999999999999, \"R9\", \"RESISTOR\"]", "", INT32_MAX, "R9", "RESISTOR", 7, 1,
         nullptr, nullptr},
        {"[2, \"Q1\", \"TRANSISTOR\"]", "", 2, "Q1", "TRANSISTOR", 17, 2, nullptr, nullptr},
        {"[2, \"K1\", \"RELAY\"]", "", 2, "K1", "RELAY", 26, 3, nullptr, nullptr},
        {"[0, \"LIB\", \"DIGITAL\"]", "", 0, "LIB", "DIGITAL", 30, 0, nullptr, nullptr},
        {"[2, \"Z\", \"z-diode\"]", "", 2, "Z", "z-diode", 29, 3, nullptr, nullptr},
        {"[3, \"\", \"RESISTOR\"]", "[3,?,...] Invalid COMPONENT NAME definition"},
        {"[3 \"R1\" \"RESISTOR\"]", "[3,?,...] Invalid COMPONENT NAME definition"},
        {"[3, \"R1\", \"  \"]", "[3,R1,?,...] Invalid COMPONENT CLASS TYPE definition"},
        {"[3, \"R1\"]", "[3,R1,?,...] Invalid COMPONENT CLASS TYPE definition"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.header);
        const int32_t n = l_.Parse(bench_.get(), c.header + "\n");
        if (!c.error.empty()) {
            EXPECT_LT(n, 0);
            EXPECT_EQ(l_.error, Err(c.error, nullptr, 1));
            continue;
        }
        ASSERT_EQ(n, 1) << l_.error;
        const ComponentRecord& r = l_[0];
        EXPECT_EQ(r.index, c.index);
        EXPECT_STREQ(r.name, c.name);
        EXPECT_STREQ(r.classText, c.classText);
        EXPECT_EQ(r.classCode, c.classCode);
        EXPECT_EQ(r.subTestCount, c.subTests);
        EXPECT_EQ(r.headerLine, 1);
        for (uint32_t k = 0; k < kSubTests; ++k) {
            EXPECT_EQ(r.sub[k].enable, k < c.subTests ? 1u : 0u);
            EXPECT_EQ(r.sub[k].mode, k < c.subTests ? '1' : 0);
        }
        EXPECT_STREQ(r.variants ? r.variants : "<null>", c.variants ? c.variants : "<null>");
        EXPECT_STREQ(r.comment ? r.comment : "<null>", c.comment ? c.comment : "<null>");
    }
}

TEST_F(ComponentParser, ParameterLinesAndTemplates) {
    struct Case {
        std::string header, body;
        std::string error;
        int line;
    } cases[] = {
        {kR1, "v=5\n", "Invalid PARAMETER NAME 'v'", 2},
        {kR1, "NV 5\n", "Invalid PARAMETER VALUE definition", 2},
        {kR1, "NV=   \n", "Invalid PARAMETER VALUE definition", 2},
        {kR1, "NV=//5\n", "Invalid PARAMETER VALUE definition", 2},
        {kR1, "=5\n", "Invalid PARAMETER NAME ''", 2},
        {kR1, "TP=R1_A\n", "Invalid PARAMETER DEFINITION: \"TP=...\"", 2},
        {kR1, "TP=\"A\"\nTP=\"B\"\nTP=\"C\"\nTP=\"D\"\nTP=\"A\"\n",
         "More than 4 test points defined", 6},
        {kR1, "TS=\"A\"\nTS=\"B\"\nTS=\"C\"\n", "More than 2 sense points defined", 4},
        {kR1, "GP=\"A\"\nGP=\"B\"\nGP=\"C\"\nGP=\"D\"\nGP=\"A\"\n",
         "More than 4 guard points defined", 6},
        {kU5, "VDI=5\n", "Invalid PARAMETER DEFINITION: \"VDI=...\"", 2},
        {kU5, "ILIM=0.1,0.1,\n", "Invalid PARAMETER DEFINITION: \"ILIM=...\"", 2},
        {kU5, "GROUP=\"BUS\",\"A,B\"\n", "GROUP: Invalid GROUP NAME (#...)", 2},
        {kU5, "?FAIL=1\n", "Invalid PARAMETER DEFINITION: \"?FAIL=...\"", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        EXPECT_LT(l_.Parse(bench_.get(), c.header + c.body), 0);
        EXPECT_EQ(l_.error, Err(c.error, c.header == kR1 ? "10,R1" : "20,U5", c.line));
    }
    EXPECT_LT(l_.Parse(bench_.get(), "NV=5\n" + kR1), 0);
    EXPECT_EQ(l_.error, Err("PARAMETER outside of a COMPONENT section", nullptr, 1));
}

TEST_F(ComponentParser, ParameterValuesGoToTheirFields) {
    ASSERT_EQ(l_.Parse(bench_.get(), "[2, \"D1\", \"DIODE\", \"\", \"\"]\n"
                                     "V = 5\nNV=100, 200 ,300,400\nNV+=1\nMA=5V\nMF=1e+06\n"
                                     "AZ=1\nC=1.5k\nMM=\"V-\"\nPI=  \"10K \"  \n"
                                     "TP=\"A\"\nTP=\"B\"\nTS=\"C\"\nGS=\"D\"\nXS=\"A,B\"\n"
                                     "[3, \"R2\", \"RESISTOR\"]\nRL=\"C\"\nNV=1,2\n"),
              2)
        << l_.error;
    const ComponentRecord& d = l_[0];
    EXPECT_EQ(d.sub[0].v, 5.0);
    EXPECT_EQ(d.sub[0].nv, 100.0);
    EXPECT_EQ(d.sub[1].nv, 200.0);
    EXPECT_EQ(d.sub[2].nv, 300.0); // a third block exists even for two sub-tests
    EXPECT_EQ(d.sub[0].nvPlus, 1.0);
    EXPECT_EQ(d.sub[1].nvPlus, 0.0);
    EXPECT_EQ(d.sub[0].ma, 5);
    EXPECT_EQ(d.sub[0].mf, 1000000);
    EXPECT_EQ(d.sub[0].az, 1);
    EXPECT_EQ(d.sub[0].c, 1.5);
    EXPECT_STREQ(d.mm, "V-");
    EXPECT_STREQ(d.pi, "10K");
    EXPECT_STREQ(d.tp[0], "A");
    EXPECT_STREQ(d.tp[1], "B");
    EXPECT_STREQ(d.ts[0], "C");
    EXPECT_STREQ(d.gs, "D");
    EXPECT_STREQ(d.rl, "A,B");
    EXPECT_EQ(d.paramMask, kParamV | kParamNV | kParamNVPlus | kParamMA | kParamMF | kParamC |
                               kParamMM | kParamPI | kParamTP | kParamTS | kParamGS | kParamRL);
    EXPECT_EQ(d.paramMask2, kParam2AZ);
    EXPECT_STREQ(l_[1].rl, "C");
    EXPECT_EQ(l_[1].sub[0].nv, 1.0);
    EXPECT_EQ(l_[1].sub[1].nv, 2.0);
}

// Classes of one file in runs and alternating, as a board file lists them.
TEST_F(ComponentParser, ClassOfEachSectionInAFile) {
    const struct {
        const char* classText;
        uint32_t code, subTests;
    } sections[] = {{"RESISTOR", 7, 1}, {"RESISTOR", 7, 1},   {"CAPACITOR", 5, 1},
                    {"RESISTOR", 7, 1}, {"RESISTORS", 29, 3}, {"DIODE", 15, 2},
                    {"DIODE", 15, 2},   {"RESISTOR", 7, 1}};
    std::string text;
    for (std::size_t i = 0; i < std::size(sections); ++i) {
        text += "[" + std::to_string(i + 2) + ", \"P" + std::to_string(i) + "\", \"" +
                sections[i].classText + "\"]\n";
    }
    ASSERT_EQ(l_.Parse(bench_.get(), text), static_cast<int32_t>(std::size(sections))) << l_.error;
    for (std::size_t i = 0; i < std::size(sections); ++i) {
        SCOPED_TRACE(i);
        EXPECT_STREQ(l_[static_cast<int>(i)].classText, sections[i].classText);
        EXPECT_EQ(l_[static_cast<int>(i)].classCode, sections[i].code);
        EXPECT_EQ(l_[static_cast<int>(i)].subTestCount, sections[i].subTests);
    }
}

// Real and integer lists read each field as the C library reads the number at its start.
TEST_F(ComponentParser, NumbersOfParameterLists) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        const char* text;
        double real;
        int32_t integer;
    } cases[] = {
        {"5", 5, 5},
        {"-5", -5, -5},
        {"+5", 5, 5},
        {"007", 7, 7},
        {"1e+07", 1e7, 10000000},
        {"2.9", 2.9, 2},
        {"-2.9", -2.9, -2},
        {".5", 0.5, 0},
        {"-.5", -0.5, 0},
        {"12abc", 12, 12},
        {"1.5k", 1.5, 1},
        {"0x10", 16, 0},
        {"99999999999", 99999999999.0, INT32_MAX},
        {"-99999999999", -99999999999.0, INT32_MIN},
        {"1e400", inf, INT32_MAX},
        {"-", 0, 0},
        {"x", 0, 0},
        {"0.00000000000000000000000000000000000000000000000000000000000000001", 1e-65, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string t = c.text;
        ASSERT_EQ(
            l_.Parse(bench_.get(), kR1 + "NV=" + t + ", 3," + t + "\nAR=" + t + " ,3, " + t + "\n"),
            1)
            << l_.error;
        for (int k : {0, 2}) {
            EXPECT_EQ(l_[0].sub[k].nv, c.real);
            EXPECT_EQ(l_[0].sub[k].ar, c.integer);
        }
        EXPECT_EQ(l_[0].sub[1].nv, 3.0);
        EXPECT_EQ(l_[0].sub[1].ar, 3);
    }
}

TEST(ComponentKeywords, EachKeywordIsFoundAndNoOther) {
    for (int k = 0; k < kKeywordCount; ++k) {
        EXPECT_EQ(FindKeyword(kKeywords[k].keyword), k + 1) << kKeywords[k].keyword;
    }
    for (const char* other : {"", "N", "nv", "NV ", "NVX", "NV+-", "REPEATS", "?FAILED", "DIDO",
                              "VMIRROR", "ABCDEFGHIJ"}) {
        EXPECT_EQ(FindKeyword(other), 0) << other;
    }
    EXPECT_EQ(FindKeyword(nullptr), 0);
}

TEST_F(ComponentParser, FileLevelResultsAndLimits) {
    EXPECT_EQ(l_.Parse(bench_.get(), ""), 0);
    EXPECT_EQ(l_.Parse(bench_.get(), "# only comments\n\n/* x */\n"), 0);

    char error[kMessageSize];
    EXPECT_EQ(ParseComponentFile(bench_.get(), l_.model.get(), nullptr, l_.model->components,
                                 kMaxComponents, l_.strings.data(), l_.strings.size(), error),
              -1);
    EXPECT_STREQ(error, "Invalid file name (NULL)");
    EXPECT_LT(ParseComponentFile(bench_.get(), l_.model.get(), "/nonexistent/x.ict",
                                 l_.model->components, kMaxComponents, l_.strings.data(),
                                 l_.strings.size(), error),
              0);
    EXPECT_STREQ(error, "File open error\n\nFILE: /nonexistent/x.ict\n\nLINE: 0");
    EXPECT_STREQ(l_.model->fileName, "/nonexistent/x.ict");

    // Section count limit of the caller's array.
    std::string three = kR1 + kR1 + kR1;
    EXPECT_EQ(ParseComponentText(bench_.get(), l_.model.get(), "board.ict", three,
                                 l_.model->components, 3, l_.strings.data(), l_.strings.size(),
                                 error),
              3);
    EXPECT_LT(ParseComponentText(bench_.get(), l_.model.get(), "board.ict", three + kR1,
                                 l_.model->components, 3, l_.strings.data(), l_.strings.size(),
                                 error),
              0);
    EXPECT_EQ(std::string(error), Err("COMPONENT COUNT overflow", nullptr, 4));

    // The string buffer: a header that does not fit, then a parameter text.
    auto parseSmall = [&](const std::string& text, std::size_t size) {
        return ParseComponentText(bench_.get(), l_.model.get(), "board.ict", text,
                                  l_.model->components, kMaxComponents, l_.strings.data(), size,
                                  error);
    };
    EXPECT_LT(parseSmall(kR1, 6), 0);
    EXPECT_EQ(std::string(error), Err(" (String buffer overflow)", nullptr, 1));
    EXPECT_LT(parseSmall(kR1 + "PI=\"0123456789\"\n", 16), 0);
    EXPECT_EQ(std::string(error), Err("PI: Internal STRING buffer overflow", "10,R1", 2));
    EXPECT_LT(parseSmall(kR1 + "/*\n0123456789\n*/\n", 16), 0);
    EXPECT_EQ(std::string(error), Err("String buffer overflow", "10,R1", 3));
}

TEST_F(ComponentParser, ExampleFile) {
    const std::string file = "# DATE 04.12.2026\n# TIME 09:15\n\n# ------------------\n\n"
                             "[1, \"SETUP1\", \"SETUP\", \"V1,V2\", \"\"]\n#SORT\n\n"
                             "# ------------------\n\n"
                             "[10, \"R1\", \"RESISTOR\", \"V1\", \"pull-up\"]\n#ABORTONFAIL\n\n"
                             "/*\npull-up of the reset line\n*/\n\nPI=\"10K\"\nTP=\"R1_A\"\n"
                             "TP=\"R1_B\"\nNV= 10000\nNV+= 1\nNV-= -1\n\n"
                             "[20, \"U5\", \"DIGITAL\", \"\", \"\"]\nVDI=5.0,0.0\nVDO=2.4,0.8\n"
                             "LABEL=\"AGAIN\"\n"
                             "DI=0b10,\"U5_1,U5_2\"                   // enable\n"
                             "DO=HL,\"U5_3,U5_4\"\n?FAIL=0,\">FAILED\"\nREPEAT=2,\"AGAIN\"\n";
    ASSERT_EQ(l_.Parse(bench_.get(), file), 3) << l_.error;
    EXPECT_EQ(l_[0].flags, kFlagSort);
    EXPECT_STREQ(l_[0].variants, "-,V1,V2");
    EXPECT_EQ(l_[1].flags, kFlagAbortOnFail);
    EXPECT_STREQ(l_[1].info, "pull-up of the reset line\n");
    EXPECT_EQ(l_[1].headerLine, 11);
    EXPECT_EQ(l_[1].sub[0].nvMinus, -1.0);
    const ComponentRecord& u5 = l_[2];
    ASSERT_EQ(u5.itemCount, 7);
    const VectorItem* it = u5.firstItem;
    EXPECT_EQ(it[0].type, kItemVdi);
    EXPECT_STREQ(it[0].raw, "5.0,0.0");
    EXPECT_EQ(it[1].level[0], 2.4);
    EXPECT_EQ(it[1].level[1], 0.8);
    EXPECT_EQ(it[2].type, kItemLabel);
    EXPECT_STREQ(it[3].raw, "0b10");
    EXPECT_STREQ(it[3].comment, "enable");
    EXPECT_EQ(it[3].pinCount, 2u);
    EXPECT_STREQ(it[3].pin[1].channel->appName, "U5_2");
    EXPECT_EQ(it[4].format, 's');
    EXPECT_EQ(it[4].value, 2u);
    // Jumps stay unlinked (negative line) until the section is compiled.
    EXPECT_EQ(it[5].line, -31);
    EXPECT_EQ(it[5].count, 0u);
    EXPECT_EQ(it[6].line, -32);
    EXPECT_EQ(it[6].counter, 2u);
    EXPECT_STREQ(it[6].label, "AGAIN");
    EXPECT_EQ(l_.model->itemCount, 7);
}

} // namespace
} // namespace kora
