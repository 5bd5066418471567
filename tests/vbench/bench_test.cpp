// Clock, journal, fault injection, meter noise and the bench's lazy integration in virtual time.
#include <vbench/bench/virtual_bench.h>
#include <vbench/netlist/netlist_parser.h>

#include <executive/rvo_runtime.h>
#include <rvoapi.h>
#include <winapi.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <vector>

namespace kora::vbench {
namespace {

TEST(VbenchClock, VirtualWaitsAddUp) {
    Clock clock;
    EXPECT_EQ(clock.nowNs(), 0);
    clock.wait(1500);
    clock.sleepMs(10);
    clock.wait(-5); // nothing
    EXPECT_EQ(clock.nowNs(), 10'001'500);
    clock.waitSeconds(2.5);
    EXPECT_EQ(clock.nowNs(), 2'510'001'500);
    EXPECT_DOUBLE_EQ(clock.seconds(), 2.5100015);
}

// Activating a bench routes the operating system's waits to its clock; the executive's time
// stamp reads it once the activator wires it.
TEST(VbenchClock, OsSleepAndExecutiveTimeStampFollowTheActiveBench) {
    auto bench = std::make_shared<VirtualBench>();
    VirtualBench::activate(bench);
    rvo::Runtime::instance().setClock(bench->clock().secondsFunction());
    const double t0 = rvo_TSTAMP();
    Sleep(250);
    EXPECT_EQ(SleepEx(750, FALSE), 0u);
    Sleep(0);
    EXPECT_EQ(bench->clock().nowNs(), 1'000'000'000);
    EXPECT_NEAR(rvo_TSTAMP() - t0, 1.0, 1e-12);

    VirtualBench::activate(nullptr);
    rvo::Runtime::instance().setClock(nullptr);
    EXPECT_EQ(VirtualBench::active(), nullptr);
    Sleep(1);
    EXPECT_EQ(bench->clock().nowNs(), 1'000'000'000) << "no longer the OS clock";
}

TEST(VbenchClock, RealTimeModeWaitsForRealAndKeepsTheClockContinuous) {
    Clock clock;
    clock.waitSeconds(5);
    clock.setMode(Clock::Mode::RealTime);
    EXPECT_EQ(clock.mode(), Clock::Mode::RealTime);
    const int64_t before = clock.nowNs();
    EXPECT_GE(before, 5'000'000'000);
    const auto steadyBefore = std::chrono::steady_clock::now();
    clock.wait(2'000'000);
    const auto realWait = std::chrono::steady_clock::now() - steadyBefore;
    EXPECT_GE(realWait, std::chrono::milliseconds(2)) << "a real-time wait really waits";
    const int64_t after = clock.nowNs();
    EXPECT_GE(after - before, 2'000'000);

    clock.setMode(Clock::Mode::Virtual);
    const int64_t resumed = clock.nowNs();
    EXPECT_GE(resumed, after) << "switching back does not turn the clock back";
    clock.wait(1000);
    EXPECT_EQ(clock.nowNs(), resumed + 1000);
}

class VbenchDriverCalls : public ::testing::Test {
  protected:
    void SetUp() override {
        bench_ = std::make_shared<VirtualBench>();
        VirtualBench::activate(bench_);
    }
    void TearDown() override { VirtualBench::activate(nullptr); }

    // A stand-in driver function the way the real ones are written.
    static int32_t FakeConnect(int32_t vi, int32_t connect, uint32_t mask, double level,
                               const char* name, int32_t* out) {
        DriverCall call("fake", "fake_Connect",
                        FormatArgs(vi, connect, Hex{mask}, level, name, out));
        if (call.fault()) {
            return call.finish(call.fault()->code);
        }
        if (out) {
            *out = 42;
        }
        return call.finish(connect < 0 ? -7 : 0);
    }
    static int32_t FakeClose(int32_t vi) {
        DriverCall call("fake", "fake_Close", FormatArgs(vi));
        if (call.fault()) {
            return call.finish(call.fault()->code);
        }
        return call.finish(0);
    }

    std::shared_ptr<VirtualBench> bench_;
};

TEST_F(VbenchDriverCalls, JournalKeepsEveryCallWithArgumentsResultAndClock) {
    int32_t out = 0;
    bench_->clock().wait(123);
    EXPECT_EQ(FakeConnect(7, 1, 0x88, 2.5, "LABA1", &out), 0);
    bench_->clock().wait(1000);
    EXPECT_EQ(FakeConnect(7, -1, 0, -1e-6, nullptr, nullptr), -7);
    EXPECT_EQ(FakeClose(7), 0);

    Journal& j = bench_->journal();
    auto all = j.entries();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].interface, "fake");
    EXPECT_EQ(all[0].function, "fake_Connect");
    EXPECT_EQ(all[0].arguments, "7, 1, 0x88, 2.5, \"LABA1\", &");
    EXPECT_EQ(all[0].result, 0);
    EXPECT_EQ(all[0].timeNs, 123);
    EXPECT_EQ(all[0].sequence, 1u);
    EXPECT_EQ(all[1].arguments, "7, -1, 0x0, -1e-06, NULL, &");
    EXPECT_EQ(all[1].result, -7);
    EXPECT_EQ(all[1].timeNs, 1123);
    EXPECT_EQ(j.sequence("fake"),
              (std::vector<std::string>{"fake_Connect", "fake_Connect", "fake_Close"}));
    EXPECT_EQ(j.count("fake_Connect"), 2u);
    EXPECT_EQ(j.countOf("fake"), 3u);
    EXPECT_EQ(j.failures(), 1u);
    EXPECT_EQ(j.calls("fake_Close").size(), 1u);
    EXPECT_EQ(j.last("fake_Connect")->result, -7);
    EXPECT_EQ(j.last()->function, "fake_Close");
    EXPECT_FALSE(j.last("nothing").has_value());

    // Without recording the calls are still counted, for benchmarks.
    j.setRecording(false);
    FakeClose(7);
    FakeClose(7);
    EXPECT_EQ(j.entries().size(), 3u);
    EXPECT_EQ(j.count("fake_Close"), 3u);
    EXPECT_EQ(j.total(), 5u);
    j.clear();
    EXPECT_EQ(j.total(), 0u);
    EXPECT_TRUE(j.counts().empty());
}

TEST_F(VbenchDriverCalls, JournalKeepsTheNewestCallsAndCountsThemAll) {
    Journal& j = bench_->journal();
    j.clear();
    FakeConnect(1, 1, 0, 0.0, "A", nullptr);
    FakeConnect(2, 1, 0, 0.0, "B", nullptr);
    FakeClose(1);
    j.setCapacity(2); // the oldest goes
    FakeClose(2);
    FakeConnect(3, 1, 0, 0.0, "C", nullptr);
    const auto kept = j.entries();
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].function, "fake_Close");
    EXPECT_EQ(kept[0].arguments, "2");
    EXPECT_EQ(kept[0].sequence, 4u);
    EXPECT_EQ(kept[1].sequence, 5u);
    EXPECT_EQ(j.sequence(), (std::vector<std::string>{"fake_Close", "fake_Connect"}));
    EXPECT_EQ(j.last("fake_Close")->arguments, "2");
    EXPECT_EQ(j.calls("fake_Connect").size(), 1u);
    EXPECT_EQ(j.count("fake_Connect"), 3u);
    EXPECT_EQ(j.total(), 5u);
    j.setCapacity(Journal::kDefaultCapacity);
    EXPECT_EQ(j.entries().size(), 2u);
}

TEST_F(VbenchDriverCalls, InjectedFaultsFailTheChosenCalls) {
    constexpr int32_t kCode = -1074118000;
    struct Case {
        const char* what;
        uint64_t occurrence;
        bool persistent;
        std::vector<bool> fails; // calls 1, 2, ...
    } cases[] = {
        {"the third call once", 3, false, {false, false, true, false, false}},
        {"from the second call on", 2, true, {false, true, true, true, true}},
        {"the next call", 1, false, {true, false, false}},
    };
    for (const auto& c : cases) {
        bench_->faults().reset();
        bench_->journal().clear();
        bench_->faults().add({"fake_Close", c.occurrence, c.persistent, kCode, "relay welded"});
        for (std::size_t i = 0; i < c.fails.size(); ++i) {
            EXPECT_EQ(FakeClose(1), c.fails[i] ? kCode : 0) << c.what << ", call " << i + 1;
        }
        EXPECT_EQ(bench_->faults().calls("fake_Close"), c.fails.size()) << c.what;
        auto entries = bench_->journal().calls("fake_Close");
        ASSERT_EQ(entries.size(), c.fails.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(entries[i].injected, c.fails[i]) << c.what << ", call " << i + 1;
        }
        EXPECT_EQ(bench_->faults().messageFor(kCode), std::optional<std::string>("relay welded"));
    }
}

TEST_F(VbenchDriverCalls, FaultRulesAreKeptApartByFunctionAndCanBeRemoved) {
    FaultInjector& f = bench_->faults();
    const int closeRule = f.add({"fake_Close", 1, true, -11, "close failed"});
    f.add({"fake_Connect", 2, false, -22, "connect failed"});
    EXPECT_EQ(FakeConnect(1, 1, 0, 0, "", nullptr), 0);
    EXPECT_EQ(FakeConnect(1, 1, 0, 0, "", nullptr), -22);
    EXPECT_EQ(FakeClose(1), -11);
    f.remove(closeRule);
    EXPECT_EQ(FakeClose(1), 0);
    EXPECT_EQ(f.messageFor(-22), std::optional<std::string>("connect failed"));
    EXPECT_FALSE(f.messageFor(-33).has_value());
    // Occurrences count from the last reset.
    f.reset();
    f.add({"fake_Close", 2, false, -11, "again"});
    EXPECT_EQ(FakeClose(1), 0);
    EXPECT_EQ(FakeClose(1), -11);
}

TEST(VbenchNoise, SeededAndNormal) {
    NoiseSource a(12345), b(12345), c(54321);
    bool differs = false;
    for (int i = 0; i < 100; ++i) {
        const double x = a.gaussian();
        EXPECT_EQ(x, b.gaussian());
        differs |= x != c.gaussian();
    }
    EXPECT_TRUE(differs);

    NoiseSource n(7);
    const int count = 40000;
    double sum = 0, squares = 0;
    for (int i = 0; i < count; ++i) {
        const double x = n.gaussian();
        sum += x;
        squares += x * x;
    }
    const double mean = sum / count;
    EXPECT_NEAR(mean, 0, 0.02);
    EXPECT_NEAR(std::sqrt(squares / count - mean * mean), 1, 0.02);

    n.setEnabled(false);
    EXPECT_EQ(n.around(1.5, 0.1), 1.5);
    n.setEnabled(true);
    EXPECT_NE(n.around(1.5, 0.1), 1.5);
}

TEST(VbenchBench, CircuitFollowsTheClockLazily) {
    VirtualBench bench;
    Station s;
    s.board = ParseNetlist("rc\nV1 in 0 DC 5\nR1 in out 1k\nC1 out 0 1u\nR2 in div 1k\n"
                           "R3 div 0 1k\n",
                           "rc.cir");
    bench.loadStation(s);
    ASSERT_TRUE(bench.settle().ok());
    EXPECT_NEAR(bench.circuit().voltage("out"), 0, 1e-3) << "the board starts discharged";
    EXPECT_NEAR(bench.circuit().voltage("div"), 2.5, 1e-8);

    bench.clock().waitSeconds(1e-3); // nothing integrates until someone looks
    EXPECT_NEAR(bench.circuit().voltage("out"), 0, 1e-3);
    ASSERT_TRUE(bench.settle().ok());
    EXPECT_NEAR(bench.circuit().voltage("out"), 5 * (1 - std::exp(-1.0)), 5e-3);
    EXPECT_NEAR(bench.circuit().time(), 1e-3, 1e-9);
    ASSERT_TRUE(bench.wait(20e-3).ok());
    EXPECT_NEAR(bench.circuit().voltage("out"), 5, 1e-6);
}

} // namespace
} // namespace kora::vbench
