#include "frame/errors.h"
#include "support/executive.h"

#include <cstring>
#include <string>

namespace kora {
namespace {

std::string Report(long lineCode, const char* method, uint32_t code, const char* message,
                   std::size_t size = kReportSize) {
    std::string out(size, '\x7f');
    if (!FormatStepReport(out.data(), size, lineCode, method, code, message)) {
        return "<none>";
    }
    return out.c_str();
}

TEST(StepReport, TextsOfEachKind) {
    struct Case {
        uint32_t code;
        long lineCode;
        const char* message;
        const char* expected;
    } cases[] = {
        {0x81000012u, 0x1200, "pBENCH==NULL",
         "ERROR# -2130706414 (0x81000012)        PROGRAM LINE# 18\n\nGET_URM\nKORA resource "
         "error\n\npBENCH==NULL"},
        {0x81000006u, 0x3FF, "VXX",
         "ERROR# -2130706426 (0x81000006)        PROGRAM LINE# 3\n\nGET_URM\nInvalid function "
         "parameter #6\n\nVXX"},
        {0x81000014u, 0x100, "D",
         "ERROR# -2130706412 (0x81000014)        PROGRAM LINE# 1\n\nGET_URM\nKORA resource "
         "description|length\nD"},
        // A library code without a table entry still reports, with the empty table line.
        {0x810000FEu, 0x200, "m",
         "ERROR# -2130706178 (0x810000FE)        PROGRAM LINE# 2\n\nGET_URM\n\n\nm"},
        {0xBFFA4001u, 0x500, "Driver says no",
         "ERROR# -1074118655 (0xBFFA4001)        PROGRAM LINE# 5\n\nGET_URM\nDriver says no"},
        {5u, 0x700, "a\nb", "WARNING# 5 (0x5)        PROGRAM LINE# 7\n\nGET_URM\na\nb"},
        // The line is the unsigned line code shifted by 8.
        {0x81000011u, -256, "",
         "ERROR# -2130706415 (0x81000011)        PROGRAM LINE# 16777215\n\nGET_URM\nKORA "
         "function error\n\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Report(c.lineCode, "GET_URM", c.code, c.message), c.expected);
    }
    EXPECT_EQ(Report(0x100, "GET_URM", 0, "x"), "<none>");
}

TEST(StepReport, CutAtTheBuffer) {
    std::string longMessage(2000, 'm');
    std::string text = Report(0x100, "M", 0x81000011u, longMessage.c_str());
    EXPECT_EQ(text.size(), kReportSize - 1);
    EXPECT_EQ(text.back(), 'm');
    EXPECT_EQ(Report(0x100, "M", 0x81000011u, "abc", 10), "ERROR# -2");
}

TEST(FormatWarning, SingleLineAndBounds) {
    char out[kWarningSize];
    EXPECT_STREQ(FormatWarning("PreRoute", 5, "a\nb", out), "PreRoute WARNING[0x00000005]: a / b");
    EXPECT_STREQ(FormatWarning(nullptr, 0x1234ABCD, "x", out), "WARNING[0x1234ABCD]: x");
    EXPECT_STREQ(FormatWarning("NAN", 3, nullptr, out), "NAN WARNING[0x00000003]: ");
    std::string lines;
    for (int i = 0; i < 200; ++i) {
        lines += "ab\n";
    }
    char big[kWarningSize + 16];
    std::memset(big, 'Z', sizeof big);
    FormatWarning("PostRoute", 1, lines.c_str(), big);
    EXPECT_EQ(std::strlen(big), kWarningSize - 1);
    EXPECT_EQ(big[kWarningSize], 'Z'); // nothing written past the line
    EXPECT_EQ(std::string(big).substr(0, 34), "PostRoute WARNING[0x00000001]: ab ");
}

TEST(StepError, FirstErrorWins) {
    StepError e;
    EXPECT_FALSE(e.failed());
    e.Set(0x81000007u, "first");
    e.SetF(0x81000008u, "second %d", 2);
    EXPECT_EQ(e.code, 0x81000007u);
    EXPECT_STREQ(e.message, "first");
    std::string huge(5000, 'x');
    StepError cut;
    cut.Set(0x81000011u, huge.c_str());
    EXPECT_EQ(std::strlen(cut.message), kMessageSize - 1);
}

class ReportStepErrorTest : public test::ExecutiveTest {};

TEST_F(ReportStepErrorTest, AlertAnswerDecidesTheStepResult) {
    struct Case {
        long answer;
        long expectedStepResult;
    } cases[] = {{-5, -5}, {0, -2}, {1, -2}, {-2, -2}};
    long ref = 1;
    for (const auto& c : cases) {
        void* data = nullptr;
        rvo_EnterSTEPMethod(ref, "S", 0x100, 0, "", "M", 8, &data);
        rvo().scriptAlertAnswers({c.answer});
        EXPECT_EQ(ReportStepError(0x100, "M", 0x81000011u, "boom"), c.answer);
        rvo_ExitSTEP();
        EXPECT_EQ(rvo().step(ref)->stepResult, c.expectedStepResult) << c.answer;
        ++ref;
    }
    auto a = alerts();
    ASSERT_EQ(a.size(), 4u);
    EXPECT_EQ(a[0].flags, RVO_ALERT_ERROR);
    EXPECT_EQ(a[0].title, "");
    EXPECT_EQ(a[0].text, Report(0x100, "M", 0x81000011u, "boom"));
}

TEST_F(ReportStepErrorTest, WarningsGoToTheMessageWindow) {
    void* data = nullptr;
    rvo_EnterSTEPMethod(1, "S", 0x100, 0, "", "M", 8, &data);
    EXPECT_EQ(ReportStepError(0x900, "M", 7, "careful"), 0);
    rvo_ExitSTEP();
    EXPECT_TRUE(alerts().empty());
    EXPECT_EQ(rvo().step(1)->stepResult, 0);
    auto m = rvo().messages();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].level, 0);
    EXPECT_EQ(m[0].text, "WARNING# 7 (0x7)        PROGRAM LINE# 9\n\nM\ncareful");
    EXPECT_EQ(ReportStepError(0x900, "M", 0, "nothing"), 0);
    EXPECT_EQ(rvo().messages().size(), 1u);
}

} // namespace
} // namespace kora
