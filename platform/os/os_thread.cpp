// Thread ids, priorities and waiting.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "kora_os_hooks.h"
#include "os_internal.h"

namespace {

// The pseudo handles of the target platform: -1 the current process, -2 the current thread.
const HANDLE kCurrentProcess =
    reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); // NOLINT(performance-no-int-to-ptr)
const HANDLE kCurrentThread =
    reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2)); // NOLINT(performance-no-int-to-ptr)

std::atomic<DWORD> g_priorityClass{NORMAL_PRIORITY_CLASS};
thread_local int t_threadPriority = THREAD_PRIORITY_NORMAL;

// The sleep hook and its context change together; callers of the hook hold the lock shared, so
// that replacing the hook waits for the calls of the old one to end.
std::shared_mutex g_hookMutex;
KoraOsSleepHook g_sleepHook = nullptr;
void* g_sleepContext = nullptr;
KoraOsClockHook g_clockHook = nullptr;
void* g_clockContext = nullptr;

bool CallSleepHook(DWORD milliseconds) {
    std::shared_lock lock(g_hookMutex);
    if (g_sleepHook == nullptr) {
        return false;
    }
    g_sleepHook(milliseconds, g_sleepContext);
    return true;
}

} // namespace

bool kora::os::WaitOnSleepHook(DWORD milliseconds) {
    return CallSleepHook(milliseconds);
}

bool kora::os::SleepHookInstalled() {
    std::shared_lock lock(g_hookMutex);
    return g_sleepHook != nullptr;
}

namespace {

void RealSleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    if (milliseconds == INFINITE) {
        for (;;) {
            pause();
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD QueryThreadId() {
#if defined(SYS_gettid)
    // The kernel's thread id: unique among live threads of the system and what ps and debuggers
    // show; it fits 32 bits (pid_max is far below 2^31).
    return static_cast<DWORD>(syscall(SYS_gettid));
#else
    static std::atomic<DWORD> next{1};
    return next.fetch_add(1);
#endif
}

bool IsPriorityClass(DWORD value) {
    switch (value) {
    case IDLE_PRIORITY_CLASS:
    case BELOW_NORMAL_PRIORITY_CLASS:
    case NORMAL_PRIORITY_CLASS:
    case ABOVE_NORMAL_PRIORITY_CLASS:
    case HIGH_PRIORITY_CLASS:
    case REALTIME_PRIORITY_CLASS:
        return true;
    default:
        return false;
    }
}

bool IsThreadPriority(int value) {
    return value == THREAD_PRIORITY_IDLE || value == THREAD_PRIORITY_TIME_CRITICAL ||
           (value >= THREAD_PRIORITY_LOWEST && value <= THREAD_PRIORITY_HIGHEST);
}

} // namespace

void KoraOsSetSleepHook(KoraOsSleepHook hook, void* context) {
    std::unique_lock lock(g_hookMutex);
    g_sleepHook = hook;
    g_sleepContext = context;
}

void KoraOsSetClockHook(KoraOsClockHook hook, void* context) {
    std::unique_lock lock(g_hookMutex);
    g_clockHook = hook;
    g_clockContext = context;
}

double KoraOsMonotonicSeconds() {
    {
        std::shared_lock lock(g_hookMutex);
        if (g_clockHook != nullptr) {
            return g_clockHook(g_clockContext);
        }
    }
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

extern "C" {

DWORD GetCurrentThreadId(void) {
    thread_local const DWORD id = QueryThreadId();
    return id;
}

HANDLE GetCurrentProcess(void) {
    return kCurrentProcess;
}

HANDLE GetCurrentThread(void) {
    return kCurrentThread;
}

DWORD GetPriorityClass(HANDLE process) {
    if (process != kCurrentProcess) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return g_priorityClass.load();
}

BOOL SetPriorityClass(HANDLE process, DWORD priorityClass) {
    if (process != kCurrentProcess) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!IsPriorityClass(priorityClass)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    g_priorityClass.store(priorityClass);
    return TRUE;
}

int GetThreadPriority(HANDLE thread) {
    if (thread != kCurrentThread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return THREAD_PRIORITY_ERROR_RETURN;
    }
    return t_threadPriority;
}

BOOL SetThreadPriority(HANDLE thread, int priority) {
    if (thread != kCurrentThread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!IsThreadPriority(priority)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    t_threadPriority = priority;
    return TRUE;
}

void Sleep(DWORD milliseconds) {
    if (!CallSleepHook(milliseconds)) {
        RealSleep(milliseconds);
    }
}

DWORD SleepEx(DWORD milliseconds, BOOL alertable) {
    (void)alertable; // nothing is ever queued to a thread here, so the wait is never cut short
    Sleep(milliseconds);
    return 0;
}

} // extern "C"
