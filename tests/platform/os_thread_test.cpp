// Thread ids, the last-error store, priorities and waiting of the operating-system layer.
#include <winapi.h>

#include "kora_os_hooks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// Runs `work` on a detached thread and waits up to `limit` for it. A call that never returns
// (a wait that really sleeps) shows up as a failed expectation instead of a hung test program;
// the stuck thread is left behind on purpose.
template <typename Work> bool FinishesWithin(std::chrono::seconds limit, Work work) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([done, work]() mutable {
        work();
        done->set_value();
    }).detach();
    return finished.wait_for(limit) == std::future_status::ready;
}

TEST(OsThreads, IdsAreStablePerThreadAndDistinctAmongLiveThreads) {
    constexpr int kThreads = 16;
    std::vector<DWORD> firstIds(kThreads);
    std::vector<DWORD> secondIds(kThreads);
    std::latch allStarted(kThreads);
    std::latch mayFinish(1);
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            firstIds[i] = GetCurrentThreadId();
            allStarted.count_down();
            mayFinish.wait(); // every thread is alive while the others ask for their ids
            secondIds[i] = GetCurrentThreadId();
        });
    }
    allStarted.wait();
    mayFinish.count_down();
    for (std::thread& thread : threads) {
        thread.join();
    }

    const DWORD mainId = GetCurrentThreadId();
    EXPECT_EQ(mainId, GetCurrentThreadId());
    std::set<DWORD> distinct(firstIds.begin(), firstIds.end());
    distinct.insert(mainId);
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kThreads + 1));
    EXPECT_EQ(firstIds, secondIds);
    EXPECT_EQ(distinct.count(0u), 0u);
}

TEST(OsThreads, LastErrorIsKeptPerThread) {
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD seenByOther = 0xDEADBEEF;
    std::thread([&] {
        SetLastError(ERROR_FILE_NOT_FOUND);
        seenByOther = GetLastError();
    }).join();
    EXPECT_EQ(seenByOther, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

// ---- sleep hook -------------------------------------------------------------------------------

struct HookLog {
    std::mutex mutex;
    std::vector<uint32_t> requests;
};

void RecordSleep(uint32_t milliseconds, void* context) {
    auto* log = static_cast<HookLog*>(context);
    std::lock_guard lock(log->mutex);
    log->requests.push_back(milliseconds);
}

// Installs a hook for one test and always removes it again.
class ScopedSleepHook {
  public:
    ScopedSleepHook(KoraOsSleepHook hook, void* context) { KoraOsSetSleepHook(hook, context); }
    ~ScopedSleepHook() { KoraOsSetSleepHook(nullptr, nullptr); }
    ScopedSleepHook(const ScopedSleepHook&) = delete;
    ScopedSleepHook& operator=(const ScopedSleepHook&) = delete;
};

TEST(OsSleepHook, ReceivesEveryRequestedWaitInsteadOfSleeping) {
    struct Case {
        const char* call;
        DWORD milliseconds;
    };
    const Case cases[] = {
        {"Sleep", 0},        {"Sleep", 1},      {"Sleep", 10},         {"Sleep", 3600000},
        {"Sleep", INFINITE}, {"SleepEx", 1000}, {"SleepEx", INFINITE}, {"SleepExAlert", 7200000},
        {"SleepExAlert", 0},
    };
    HookLog log;
    ScopedSleepHook hook(RecordSleep, &log);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.call) + " " + std::to_string(c.milliseconds));
        const std::string call = c.call;
        const DWORD ms = c.milliseconds;
        auto result = std::make_shared<std::atomic<DWORD>>(0xFFFF);
        // An hour or for ever would not return within the limit if the call really slept.
        const bool returned = FinishesWithin(std::chrono::seconds(30), [call, ms, result] {
            if (call == "Sleep") {
                Sleep(ms);
                result->store(0);
            } else {
                result->store(SleepEx(ms, call == "SleepExAlert" ? TRUE : FALSE));
            }
        });
        ASSERT_TRUE(returned);
        EXPECT_EQ(result->load(), 0u);
        std::lock_guard lock(log.mutex);
        ASSERT_FALSE(log.requests.empty());
        EXPECT_EQ(log.requests.back(), ms);
    }
    std::lock_guard lock(log.mutex);
    EXPECT_EQ(log.requests.size(), std::size(cases));
}

TEST(OsSleepHook, ReplacedAndRemovedHooksAreNoLongerCalled) {
    HookLog first;
    HookLog second;
    KoraOsSetSleepHook(RecordSleep, &first);
    Sleep(5);
    KoraOsSetSleepHook(RecordSleep, &second);
    Sleep(6);
    KoraOsSetSleepHook(nullptr, nullptr);
    Sleep(1); // really sleeps now, and tells nobody

    EXPECT_EQ(first.requests, std::vector<uint32_t>{5});
    EXPECT_EQ(second.requests, std::vector<uint32_t>{6});
}

TEST(OsSleepHook, ServesManyThreadsAtOnceWithTheirOwnRequests) {
    constexpr int kThreads = 8;
    constexpr int kCalls = 200;
    struct Counts {
        std::atomic<int> perValue[kThreads + 1]{};
    } counts;
    const auto countSleep = [](uint32_t milliseconds, void* context) {
        auto* c = static_cast<Counts*>(context);
        if (milliseconds >= 1 && milliseconds <= kThreads) {
            c->perValue[milliseconds].fetch_add(1);
        } else {
            c->perValue[0].fetch_add(1); // a value nobody asked for
        }
    };
    ScopedSleepHook hook(countSleep, &counts);
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 1; t <= kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kCalls; ++i) {
                (i % 2 == 0) ? Sleep(static_cast<DWORD>(t))
                             : static_cast<void>(SleepEx(static_cast<DWORD>(t), TRUE));
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counts.perValue[0].load(), 0);
    for (int t = 1; t <= kThreads; ++t) {
        EXPECT_EQ(counts.perValue[t].load(), kCalls) << "requests of " << t << " ms";
    }
}

// ---- priorities -------------------------------------------------------------------------------

TEST(OsPriority, ProcessClassTakesValidClassesAndRefusesOthers) {
    const DWORD original = GetPriorityClass(GetCurrentProcess());
    ASSERT_NE(original, 0u);
    struct Case {
        HANDLE process;
        DWORD requested;
        BOOL ok;
        DWORD error;
    };
    const Case cases[] = {
        {GetCurrentProcess(), HIGH_PRIORITY_CLASS, TRUE, 0},
        {GetCurrentProcess(), IDLE_PRIORITY_CLASS, TRUE, 0},
        {GetCurrentProcess(), REALTIME_PRIORITY_CLASS, TRUE, 0},
        {GetCurrentProcess(), BELOW_NORMAL_PRIORITY_CLASS, TRUE, 0},
        {GetCurrentProcess(), ABOVE_NORMAL_PRIORITY_CLASS, TRUE, 0},
        {GetCurrentProcess(), NORMAL_PRIORITY_CLASS, TRUE, 0},
        {GetCurrentProcess(), 0, FALSE, ERROR_INVALID_PARAMETER},
        {GetCurrentProcess(), 0x81, FALSE, ERROR_INVALID_PARAMETER},
        {GetCurrentThread(), HIGH_PRIORITY_CLASS, FALSE, ERROR_INVALID_HANDLE},
        {nullptr, HIGH_PRIORITY_CLASS, FALSE, ERROR_INVALID_HANDLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.requested);
        const DWORD before = GetPriorityClass(GetCurrentProcess());
        SetLastError(0);
        EXPECT_EQ(SetPriorityClass(c.process, c.requested), c.ok);
        if (c.ok) {
            EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), c.requested);
        } else {
            EXPECT_EQ(GetLastError(), c.error);
            EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), before);
        }
    }
    SetLastError(0);
    EXPECT_EQ(GetPriorityClass(GetCurrentThread()), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetPriorityClass(GetCurrentProcess(), original);
}

TEST(OsPriority, ThreadPriorityIsPerThreadAndOnlyTakesKnownLevels) {
    struct Case {
        int priority;
        BOOL ok;
    };
    const Case cases[] = {
        {THREAD_PRIORITY_TIME_CRITICAL, TRUE},
        {THREAD_PRIORITY_IDLE, TRUE},
        {THREAD_PRIORITY_HIGHEST, TRUE},
        {THREAD_PRIORITY_LOWEST, TRUE},
        {THREAD_PRIORITY_ABOVE_NORMAL, TRUE},
        {THREAD_PRIORITY_BELOW_NORMAL, TRUE},
        {THREAD_PRIORITY_NORMAL, TRUE},
        {3, FALSE},
        {-3, FALSE},
        {14, FALSE},
        {16, FALSE},
        {-16, FALSE},
    };
    std::thread([&] {
        EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.priority);
            const int before = GetThreadPriority(GetCurrentThread());
            SetLastError(0);
            EXPECT_EQ(SetThreadPriority(GetCurrentThread(), c.priority), c.ok);
            EXPECT_EQ(GetThreadPriority(GetCurrentThread()), c.ok ? c.priority : before);
            if (!c.ok) {
                EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
            }
        }
        ASSERT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL));
        int seenByOther = THREAD_PRIORITY_ERROR_RETURN;
        std::thread([&] { seenByOther = GetThreadPriority(GetCurrentThread()); }).join();
        EXPECT_EQ(seenByOther, THREAD_PRIORITY_NORMAL);
        EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_TIME_CRITICAL);
    }).join();

    SetLastError(0);
    EXPECT_FALSE(SetThreadPriority(GetCurrentProcess(), THREAD_PRIORITY_HIGHEST));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(GetThreadPriority(nullptr), THREAD_PRIORITY_ERROR_RETURN);
}

} // namespace
