// Eight executive threads on one station at once, each with its own bench array: set-up,
// multimeter measurements and clean-up. Built on its own in the thread-sanitizer build, which is
// what finds a race here; the assertions check that the set-up and clean-up locks serialise their
// runs, that nothing else waits for another thread, and that every thread's results are its own.
#include "support/station.h"

#include <atomic>
#include <barrier>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

namespace kora {
namespace {

constexpr int kThreads = 8;
constexpr int kReadings = 4;

class Concurrency : public test::StationTest {};

// The most runs of a lock that overlapped in a log, and how many runs entered it.
int MaxNesting(const std::vector<std::string>& log, const std::string& opened,
               const std::string& closed, int* entered) {
    int depth = 0, most = 0;
    for (const auto& line : log) {
        if (line == opened) {
            most = std::max(most, ++depth);
            ++*entered;
        } else if (line == closed) {
            --depth;
        }
    }
    return most;
}

TEST_F(Concurrency, EightThreadsSetUpMeasureAndCleanUpTheirOwnBenches) {
    std::atomic<int> failures{0};
    std::vector<double> readings(kThreads * kReadings, NAN);
    std::vector<long> slotsSeen(kThreads, -1);
    // The phases meet at barriers so that the log of each phase holds only its own lock lines. A
    // lock held past its step would hang the threads at the barrier inside the measurements.
    std::barrier phase(kThreads);
    std::size_t marks[2] = {};
    std::barrier setupDone(kThreads, [&]() noexcept { marks[0] = rvo().messages().size(); });
    std::barrier measured(kThreads, [&]() noexcept { marks[1] = rvo().messages().size(); });

    auto thread = [&](int t) {
        const long base = 1000L * (t + 1);
        if (Setup("LINE", 2, base) != 0) {
            ++failures;
        }
        slotsSeen[t] = BenchCount();
        setupDone.arrive_and_wait();
        // Every thread connects the same 4-wire route and keeps it: the relays another thread
        // closed are closed already, so each reading sees the resistor whatever the order.
        for (int k = 0; k < kReadings; ++k) {
            double value = NAN;
            const long rc = MEAS_DMM(base + 10 + k, "Meas", 0xA00, 0, "",
                                     "DMM_A!HI>R5_A,DMM_A!SHI>R5_A,DMM_A!LO>R5_B,DMM_A!SLO>R5_B",
                                     "RES_4W", "2190", 0, "2210", 0.02, &value, "");
            if (rc != 0) {
                ++failures;
            }
            readings[t * kReadings + k] = value;
            if (k == 1) {
                phase.arrive_and_wait(); // no thread holds anything between its steps
            }
        }
        measured.arrive_and_wait();
        if (Cleanup(nullptr, base + 50) != 0) {
            ++failures;
        }
        FreeBenchContext();
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back(thread, t);
    }
    for (auto& t : threads) {
        t.join();
    }
    const auto log = Log();
    const std::vector<std::string> logs[3] = {{log.begin(), log.begin() + marks[0]},
                                              {log.begin() + marks[0], log.begin() + marks[1]},
                                              {log.begin() + marks[1], log.end()}};

    EXPECT_EQ(failures.load(), 0) << LastAlert();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(slotsSeen[t], 3) << "thread " << t; // its own array: two benches and record 0
        for (int k = 0; k < kReadings; ++k) {
            EXPECT_NEAR(readings[t * kReadings + k], 2200.0, 0.5) << "thread " << t;
        }
    }
    // Each result carries the step of its own thread, with that thread's reading.
    int measurements = 0;
    for (const auto& r : results()) {
        if (r.stepName != "Meas") {
            continue;
        }
        const long t = r.stepRef / 1000 - 1, k = r.stepRef % 1000 - 10;
        ASSERT_TRUE(t >= 0 && t < kThreads && k >= 0 && k < kReadings) << r.stepRef;
        EXPECT_EQ(r.value, readings[t * kReadings + k]);
        EXPECT_EQ(r.verdict, rvo::Verdict::Pass);
        ++measurements;
    }
    EXPECT_EQ(measurements, kThreads * kReadings);
    // The set-ups ran one at a time, and so did the clean-ups.
    for (int which : {0, 2}) {
        int entered = 0;
        EXPECT_EQ(MaxNesting(logs[which], " LOCKED", " UNLOCK", &entered), 1) << which;
        EXPECT_EQ(entered, kThreads) << which;
    }
    int entered = 0;
    MaxNesting(logs[1], " LOCKED", " UNLOCK", &entered);
    EXPECT_EQ(entered, 0); // measuring takes neither lock
    // Nothing of any thread stays behind.
    EXPECT_EQ(resmgr::inspect::Clients(), 0);
    EXPECT_EQ(BenchCount(), 0);
}

} // namespace
} // namespace kora
