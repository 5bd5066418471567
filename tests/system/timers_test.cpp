// Timers on the virtual bench clock: every reading is an exact number of virtual seconds.
#include "support/station.h"

#include <winapi.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace kora {
namespace {

class Timers : public test::StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        ASSERT_EQ(Setup(), 0) << LastAlert();
    }
    long Set(const char* attr, double value) {
        return SET_TIMER(++ref_, "Set", 0x100, 0, "c", attr, value);
    }
    double Get(const char* attr) {
        double v = NAN;
        EXPECT_EQ(GET_TIMER(++ref_, "Get", 0x100, 0, "c", attr, "", &v, ""), 0) << attr;
        return v;
    }
    static void Wait(double seconds) { Sleep(static_cast<DWORD>(seconds * 1000)); }
    long ref_ = 100;
};

TEST_F(Timers, CountingUpAndDown) {
    ASSERT_EQ(Set("T1:COUNT-", 10), 0);
    ASSERT_EQ(Set("T2:COUNT+", 10), 0);
    ASSERT_EQ(Set("T3:COUNT+", 0), 0);
    Wait(3);
    EXPECT_DOUBLE_EQ(Get("T1:"), 7.0);
    EXPECT_DOUBLE_EQ(Get("T2:"), -7.0);
    EXPECT_DOUBLE_EQ(Get("T3:"), 3.0);
    ASSERT_EQ(Set("T3:STOP", 0), 0);
    EXPECT_EQ(lastResult().text, "T3");
    EXPECT_EQ(lastResult().channel, "STOP");
    Wait(5);
    EXPECT_DOUBLE_EQ(Get("T3:"), 3.0); // stopped: the same however often it is read
    EXPECT_DOUBLE_EQ(Get("T3:"), 3.0);
    ASSERT_EQ(Set("T3:COUNT+", 0), 0); // a COUNT after STOP restarts it
    Wait(1);
    EXPECT_DOUBLE_EQ(Get("T3:"), 1.0);
    // Never started: direction 0 counts down from a start of 0.
    EXPECT_DOUBLE_EQ(Get("T8:"), -rvo_TSTAMP());
    EXPECT_DOUBLE_EQ(Get("GTIMER:"), rvo_TSTAMP());
}

TEST_F(Timers, AllTimersAtOnceAndDifferences) {
    ASSERT_EQ(Set("COUNT+", 0), 0);
    const auto& timers = BenchByIndex(0)->timers;
    for (const auto& t : timers) {
        EXPECT_EQ(t.start, timers[0].start);
        EXPECT_EQ(t.direction, 1);
    }
    Wait(1.5);
    EXPECT_DOUBLE_EQ(Get("T1:DIFF.T2"), 0.0); // both running: read at one instant
    ASSERT_EQ(Set("T2:STOP", 0), 0);
    Wait(2);
    ASSERT_EQ(Set("T1:STOP", 0), 0);
    EXPECT_DOUBLE_EQ(Get("T1:DIFF.T2"), 2.0);
    EXPECT_DOUBLE_EQ(Get("T2:DIFF.T1"), -2.0);
    Wait(4);
    // A stopped first timer against a running second: back from now to the first's stop.
    EXPECT_DOUBLE_EQ(Get("T1:DIFF.T3"), -4.0);
    ASSERT_EQ(Set("STOP", 0), 0);
    EXPECT_EQ(lastResult().text, "ALL");
    EXPECT_EQ(lastResult().channel, "STOP");
    for (const auto& t : timers) {
        EXPECT_EQ(t.stopped, 1);
    }
}

TEST_F(Timers, DelayEndsOnTheTimeStampInVirtualTime) {
    const auto real0 = std::chrono::steady_clock::now();
    const double t0 = rvo_TSTAMP();
    const std::size_t before = results().size();
    ASSERT_EQ(Set("DELAY", 3.5), 0);
    EXPECT_DOUBLE_EQ(rvo_TSTAMP() - t0, 3.5);
    EXPECT_LT(std::chrono::steady_clock::now() - real0, std::chrono::seconds(1));
    const auto all = results();
    const double expected[] = {3.5, 2.5, 1.5, 0.5, 0.05, 3.5};
    ASSERT_EQ(all.size() - before, std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_NEAR(all[before + i].value, expected[i], 1e-9) << i;
        EXPECT_EQ(all[before + i].unit, 16);
    }
    EXPECT_EQ(all.back().channel, "DELAY");
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL);
    // No time left: the reports only, no wait.
    const double t1 = rvo_TSTAMP();
    ASSERT_EQ(Set("DELAY", 0), 0);
    ASSERT_EQ(Set("DELAY", -1), 0);
    EXPECT_EQ(rvo_TSTAMP(), t1);
}

TEST_F(Timers, RefusedSettings) {
    for (const char* bad : {"T9:COUNT+", "T1:COUNT", "T1:", "t1:STOP", ""}) {
        EXPECT_EQ(Set(bad, 0), -2) << bad;
        EXPECT_NE(LastAlert().find("0x81000006"), std::string::npos) << bad;
    }
    for (const char* bad : {":", "T1", "T1:DIFF", "T1:DIFF.T9", "GTIMER:DIFF.T1", "T1:SUM.T2"}) {
        EXPECT_EQ(GET_TIMER(++ref_, "Get", 0x100, 0, "", bad, "", nullptr, ""), -2) << bad;
    }
    EXPECT_EQ(GET_TIMER(++ref_, "Get", 0x100, 0, "", nullptr, "", nullptr, ""), -2);
    EXPECT_NE(LastAlert().find("<NULL>"), std::string::npos);
}

TEST_F(Timers, LimitsInSeconds) {
    ASSERT_EQ(Set("T4:COUNT+", 0), 0);
    Wait(2);
    double v = 0;
    EXPECT_EQ(GET_TIMER(++ref_, "Get", 0x100, 0, "", "T4:", "1.5", &v, "2.5"), 0);
    EXPECT_EQ(lastResult().verdict, rvo::Verdict::Pass);
    EXPECT_EQ(GET_TIMER(++ref_, "Get", 0x100, 0, "", "T4:", "", &v, "<1500*m"), -1);
    EXPECT_EQ(lastResult().verdict, rvo::Verdict::Fail);
}

} // namespace
} // namespace kora
