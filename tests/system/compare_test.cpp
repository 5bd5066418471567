// The compare and trace steps as the executive records them.
#include "frame/bench_context.h"
#include "support/executive.h"

#include <resmgr.h>
#include <resmgr/resmgr_inspect.h>

#include <cmath>
#include <string>

namespace kora {
namespace {

class CompareSteps : public test::ExecutiveTest {
  protected:
    void SetUp() override {
        ExecutiveTest::SetUp();
        resmgr::inspect::Reset();
        RESMGR_Enable_Tracing(1);
        ASSERT_NE(AllocBenchContext(2), nullptr); // the trace step needs a bench
    }
    void TearDown() override {
        FreeBenchContext();
        ExecutiveTest::TearDown();
    }
    long ref_ = 100;
};

TEST_F(CompareSteps, RealUnitsFromTheFunctionPart) {
    struct Case {
        const char* devChanAttr;
        long unit;
    } cases[] = {
        {"VDC", 5},    {"ADC", 9},    {"VRMS", 8},  {"ARMS", 11},         {"OHM", 13},
        {"FARAD", 14}, {"HENRY", 15}, {"SEC", 16},  {"HERTZ", 17},        {"TESLA", 18},
        {"PERC", 19},  {"DEG", 20},   {"DEGC", 21}, {"JOULE", 23},        {"WATT", 24},
        {"VAC", 3},    {"", 3},       {"vdc", 3},   {"DEV|CH:OHM.X", 13}, {nullptr, 3},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(
            COMPR_KORA(++ref_, "Cmp", 0x500, 0, "note", c.devChanAttr, "1 m", 0.5, "<1", "CH"), 0);
        auto r = lastResult();
        EXPECT_EQ(r.unit, c.unit) << (c.devChanAttr ? c.devChanAttr : "<null>");
        EXPECT_EQ(r.kind, rvo::ResultKind::Real);
        EXPECT_EQ(r.resultNo, 0);
        EXPECT_EQ(r.name, "Cmp");
        EXPECT_EQ(r.lineCode, 0x500);
        EXPECT_DOUBLE_EQ(r.low, 0.001);
        EXPECT_EQ(r.lowOp, "<=");
        EXPECT_EQ(r.highOp, "<");
        EXPECT_EQ(r.high, 1.0);
        EXPECT_EQ(r.channel, "CH");
        EXPECT_EQ(r.comment, "note");
        EXPECT_EQ(r.verdict, rvo::Verdict::Pass);
    }
}

TEST_F(CompareSteps, VerdictsFollowLimitsAndOperators) {
    struct Case {
        const char *low, *high;
        double value;
        rvo::Verdict verdict;
        EN_NEV_RESULT result;
    } cases[] = {
        {"1", "3", 2, rvo::Verdict::Pass, 0},         {"1", "3", 3, rvo::Verdict::Pass, 0},
        {"1", "<3", 3, rvo::Verdict::Fail, -1},       {"1 <", "3", 1, rvo::Verdict::Fail, -1},
        {"1", "3", 0.5, rvo::Verdict::Fail, -1},      {"", "", 1e9, rvo::Verdict::Done, 0},
        {"-10%", "10%", 2.3, rvo::Verdict::Fail, -1}, // nominal = 0 without a nominal
        {"1", "3", NAN, rvo::Verdict::Fail, -1},      {"", "=5", 5, rvo::Verdict::Pass, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(COMPR_KORA(++ref_, "Cmp", 0x100, 0, "", "VDC", c.low, c.value, c.high, nullptr),
                  c.result)
            << c.low << " " << c.value << " " << c.high;
        EXPECT_EQ(lastResult().verdict, c.verdict) << c.low << " " << c.value << " " << c.high;
    }
}

TEST_F(CompareSteps, IntegersAndFailCount) {
    EXPECT_EQ(COMPI_KORA(1, "Fails", 0x100, 0, "", "FAILS", "", 0, "=0", "CH"), 0);
    auto r = lastResult();
    EXPECT_EQ(r.kind, rvo::ResultKind::Integer);
    EXPECT_EQ(r.unit, 4);
    EXPECT_EQ(r.lowOp, "");
    EXPECT_EQ(r.highOp, "=");
    EXPECT_EQ(COMPI_KORA(2, "Count", 0x100, 0, "", "", "2.9", 7, "H10", nullptr), 0);
    r = lastResult();
    EXPECT_EQ(r.unit, 2);
    EXPECT_EQ(r.lowInt, 2); // integer limits are the truncated reals
    EXPECT_EQ(r.highInt, 16);
    EXPECT_EQ(r.valueInt, 7);
    EXPECT_EQ(COMPI_KORA(3, "Count", 0x100, 0, "", "", "B11", 2, "", nullptr), -1);
    EXPECT_EQ(lastResult().verdict, rvo::Verdict::Fail);
}

TEST_F(CompareSteps, TextsAndUpperCase) {
    struct Case {
        const char* devChanAttr;
        const char *value, *expected;
        const char *recorded, *op;
        rvo::Verdict verdict;
    } cases[] = {
        {"UPCASE", "abc", "ABC", "ABC", "==", rvo::Verdict::Pass},
        {"UPCASE", "abc", "abc", "ABC", "==", rvo::Verdict::Fail}, // expected is never changed
        {"", "abc", "abc", "abc", "==", rvo::Verdict::Pass},
        {"", "abc", "ABC", "abc", "==", rvo::Verdict::Fail},
        {"UPCASE", "abc", nullptr, "ABC", "", rvo::Verdict::Done},
        {"UPCASE", nullptr, "", "", "==", rvo::Verdict::Pass},
    };
    for (const auto& c : cases) {
        COMPS_KORA(++ref_, "Txt", 0x100, 0, "", c.devChanAttr, c.value, c.expected, "CH");
        auto r = lastResult();
        EXPECT_EQ(r.kind, rvo::ResultKind::Text);
        EXPECT_EQ(r.unit, 1); // mode 1: compare
        EXPECT_EQ(r.text, c.recorded);
        EXPECT_EQ(r.lowOp, c.op);
        EXPECT_EQ(r.expectedGiven, c.expected != nullptr);
        EXPECT_EQ(r.verdict, c.verdict) << (c.value ? c.value : "<null>");
    }
    // A long value is compared in upper case up to the working text's 1023 characters.
    std::string longValue(3000, 'q');
    COMPS_KORA(++ref_, "Txt", 0x100, 0, "", "UPCASE", longValue.c_str(), nullptr, nullptr);
    EXPECT_EQ(lastResult().text, std::string(1023, 'Q'));
}

TEST_F(CompareSteps, OverlongDevChanAttrIsReported) {
    std::string device(40, 'D');
    std::string text = device + "|VDC";
    EXPECT_EQ(COMPR_KORA(1, "Cmp", 0x300, 0, "", text.c_str(), "1", 1, "2", nullptr), -2);
    EXPECT_TRUE(results().empty());
    ASSERT_EQ(alerts().size(), 1u);
    EXPECT_EQ(alerts()[0].text, "ERROR# -2130706412 (0x81000014)        PROGRAM LINE# 3\n\n"
                                "COMPR_KORA\nKORA resource description|length\n" +
                                    text);
    EXPECT_EQ(rvo().step(1)->stepResult, -2);
}

TEST_F(CompareSteps, WriteTraceLengths) {
    struct Case {
        const char* text;
        long wrLength;
        std::string written;
    } cases[] = {
        {"abcdef", 3, "abc"}, {"abcdef", -1, ""}, {"abcdef", 0, "abcdef"},
        {"abc", 10, "abc"},   {nullptr, 4, ""},
    };
    for (const auto& c : cases) {
        long length = -99;
        EXPECT_EQ(WRITE_KORA(++ref_, "Trace", 0x100, 0, "cm", "TRACE", c.text, c.wrLength, &length),
                  0);
        EXPECT_EQ(length, static_cast<long>(c.written.size()));
        auto lines = resmgr::inspect::TraceLines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), c.written);
        auto r = lastResult();
        EXPECT_EQ(r.text, c.written);
        EXPECT_EQ(r.unit, 0); // mode 0: recorded, not compared
        EXPECT_EQ(r.verdict, rvo::Verdict::Done);
        EXPECT_EQ(r.channel, "TRACE");
        EXPECT_EQ(r.comment, "cm");
        const auto* attr = rvo().attribute(ref_, "WrLength");
        ASSERT_NE(attr, nullptr);
        EXPECT_EQ(*static_cast<int32_t*>(attr->address), c.wrLength);
        EXPECT_EQ(attr->updates, 1);
    }
    std::string big(5000, 'w');
    long length = 0;
    WRITE_KORA(++ref_, "Trace", 0x100, 0, "", "TRACE", big.c_str(), 5000, &length);
    EXPECT_EQ(length, 1023);
    WRITE_KORA(++ref_, "Trace", 0x100, 0, "", "TRACE", big.c_str(), 0, nullptr);
    EXPECT_EQ(resmgr::inspect::TraceLines().back().size(), 5000u);
}

TEST_F(CompareSteps, WriteRefusesAnotherFunction) {
    const auto traced = resmgr::inspect::TraceLines().size();
    rvo().scriptPhases({98});
    EXPECT_EQ(WRITE_KORA(1, "Trace", 0x100, 0, "", "LOG", "x", 0, nullptr), -2);
    ASSERT_EQ(alerts().size(), 1u);
    EXPECT_NE(alerts()[0].text.find("Invalid function parameter #6\n\nLOG"), std::string::npos);
    EXPECT_EQ(rvo().step(1)->stepResult, -2);
    // The stored definition failed: a later run does nothing and returns 0.
    long length = -1;
    EXPECT_EQ(WRITE_KORA(1, "Trace", 0x100, 0, "", "LOG", "x", 0, &length), 0);
    EXPECT_EQ(length, -1);
    EXPECT_EQ(resmgr::inspect::TraceLines().size(), traced);
    EXPECT_TRUE(results().empty());
}

TEST_F(CompareSteps, CompileOnlyDefinesAttributesAndVerifiesNothing) {
    rvo().setCompileOnly(true);
    EXPECT_EQ(COMPR_KORA(1, "Cmp", 0x100, 0, "", "DMM|CH:VDC", "1", 2, "3", nullptr), 0);
    EXPECT_EQ(WRITE_KORA(2, "W", 0x100, 0, "", "TRACE", "abc", 0, nullptr), 0);
    EXPECT_TRUE(results().empty());
    EXPECT_TRUE(resmgr::inspect::TraceLines().empty());
    const auto* attr = rvo().attribute(1, "DevChanAttr");
    ASSERT_NE(attr, nullptr);
    EXPECT_EQ(attr->text, "DMM|CH:VDC");
    EXPECT_EQ(attr->group, "COMPR_KORA");
    EXPECT_EQ(attr->unitOrOption, 1);
    ASSERT_NE(rvo().attribute(2, "DevChanAttr"), nullptr);
    EXPECT_EQ(rvo().attribute(2, "DevChanAttr")->unitOrOption, 0);
    // A later run phase verifies with the stored limits, not the new arguments.
    rvo().setCompileOnly(false);
    rvo().scriptPhases({1});
    EXPECT_EQ(COMPR_KORA(1, "Cmp", 0x100, 0, "", "DMM|CH:OHM", "10", 2, "30", nullptr), 0);
    auto r = lastResult();
    EXPECT_EQ(r.unit, 5);
    EXPECT_EQ(r.low, 1);
    EXPECT_EQ(r.high, 3);
}

TEST_F(CompareSteps, LabviewEntriesRefuse) {
    EXPECT_EQ(CONF_LABVIEW(1, "L", 0x100, 0, ""), -5);
    EXPECT_EQ(SETUP_LABVIEW(2, "L", 0x100, 0, ""), -5);
    auto a = alerts();
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[0].title, "KORA - LABVIEW");
    EXPECT_EQ(a[0].text, "LABVIEW functions are not supported anymore");
    EXPECT_EQ(a[0].flags, 1);
    EXPECT_EQ(rvo().step(1), nullptr); // the step is never entered
}

} // namespace
} // namespace kora
