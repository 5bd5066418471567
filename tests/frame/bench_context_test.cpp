#include "frame/bench_context.h"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <thread>
#include <vector>

namespace kora {
namespace {

TEST(BenchContext, OwnArrayPerThreadAndRelease) {
    FreeBenchContext();
    EXPECT_EQ(BenchCount(), 0);
    EXPECT_EQ(BenchByIndex(0), nullptr);
    BenchRecord* mine = AllocBenchContext(3);
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(BenchCount(), 3);
    EXPECT_EQ(BenchByIndex(0), mine);
    EXPECT_EQ(BenchByIndex(2), mine + 2);
    EXPECT_EQ(BenchByIndex(3), nullptr);
    EXPECT_EQ(BenchByIndex(-1), nullptr);
    EXPECT_EQ(mine[2].index, 0); // zero-filled
    mine[0].arrays[0].kind = 1;
    mine[0].arrays[0].buffers[0] = std::malloc(64); // released with the context

    std::thread other([] {
        EXPECT_EQ(BenchCount(), 0); // another thread does not see this thread's benches
        BenchRecord* theirs = AllocBenchContext(1);
        EXPECT_NE(theirs, nullptr);
        EXPECT_EQ(BenchCount(), 1);
        FreeBenchContext();
    });
    other.join();
    EXPECT_EQ(BenchByIndex(0), mine);
    FreeBenchContext();
    EXPECT_EQ(BenchCount(), 0);
    EXPECT_EQ(ActiveBench(), nullptr);
}

TEST(BenchContext, The33rdThreadIsRefusedWhile32HoldContexts) {
    FreeBenchContext();
    constexpr int kHolders = kBenchContextSlots;
    std::barrier allHolding(kHolders + 1), release(kHolders + 1);
    std::atomic<int> claimed{0};
    std::vector<std::thread> holders;
    for (int i = 0; i < kHolders; ++i) {
        holders.emplace_back([&] {
            if (AllocBenchContext(1)) {
                claimed++;
            }
            allHolding.arrive_and_wait();
            release.arrive_and_wait();
            FreeBenchContext();
        });
    }
    allHolding.arrive_and_wait();
    EXPECT_EQ(claimed.load(), kHolders);
    EXPECT_EQ(AllocBenchContext(1), nullptr); // this test thread is the 33rd
    EXPECT_EQ(BenchCount(), 0);
    release.arrive_and_wait();
    for (auto& t : holders) {
        t.join();
    }
    // With the slots released, the same thread gets one.
    EXPECT_NE(AllocBenchContext(1), nullptr);
    FreeBenchContext();
}

// Many threads claim and release at once; every claim must be exclusive. Run under the thread
// sanitizer preset to check the atomics as well.
TEST(BenchContext, ConcurrentClaimAndRelease) {
    FreeBenchContext();
    constexpr int kThreads = 40;
    constexpr int kRounds = 60;
    std::atomic<int> failures{0}, refused{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                BenchRecord* b = AllocBenchContext(2);
                if (!b) {
                    refused++;
                    continue;
                }
                // Mark the array as this thread's; nobody else may see or change it.
                b[1].index = t * 100000 + round;
                std::this_thread::yield();
                if (BenchByIndex(1) != b + 1 || b[1].index != t * 100000 + round ||
                    BenchCount() != 2) {
                    failures++;
                }
                FreeBenchContext();
                if (BenchCount() != 0) {
                    failures++;
                }
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_LT(refused.load(), kThreads * kRounds); // most claims succeed
    // Every slot is free again: 32 claims from 32 threads succeed.
    std::atomic<int> ok{0};
    std::barrier hold(kBenchContextSlots);
    std::vector<std::thread> last;
    for (int i = 0; i < kBenchContextSlots; ++i) {
        last.emplace_back([&] {
            ok += AllocBenchContext(1) != nullptr;
            hold.arrive_and_wait();
            FreeBenchContext();
        });
    }
    for (auto& t : last) {
        t.join();
    }
    EXPECT_EQ(ok.load(), kBenchContextSlots);
}

} // namespace
} // namespace kora
