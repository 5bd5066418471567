#include <vbench/bench/clock.h>

#include <thread>

namespace kora::vbench {

namespace {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;
// A poll loop around short virtual waits (a time-out of seconds in steps of 1 ms) must not cost
// a scheduler round per turn on a busy machine: other threads get their turn every so many
// waits.
constexpr uint32_t kWaitsPerYield = 64;

} // namespace

Clock::Clock(Mode mode) {
    setMode(mode);
}

int64_t Clock::nowNs() const {
    if (!realTime_.load(std::memory_order_acquire)) {
        return virtualNs_.load(std::memory_order_acquire);
    }
    std::lock_guard lock(mutex_);
    const auto elapsed = std::chrono::steady_clock::now() - realStart_;
    return realOriginNs_ + std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
}

void Clock::wait(int64_t ns) {
    if (ns <= 0) {
        std::this_thread::yield();
        return;
    }
    if (realTime_.load(std::memory_order_acquire)) {
        std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
        return;
    }
    virtualNs_.fetch_add(ns, std::memory_order_acq_rel);
    // Callers poll with short waits; let the other threads run now and then.
    if (virtualWaits_.fetch_add(1, std::memory_order_relaxed) % kWaitsPerYield == 0) {
        std::this_thread::yield();
    }
}

void Clock::sleepMs(uint32_t ms) {
    if (ms == kInfinite) {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::hours(24));
        }
    }
    wait(static_cast<int64_t>(ms) * 1000000);
}

void Clock::setMode(Mode mode) {
    std::lock_guard lock(mutex_);
    const bool wantReal = mode == Mode::RealTime;
    const bool isReal = realTime_.load(std::memory_order_acquire);
    if (wantReal == isReal && realStart_ != std::chrono::steady_clock::time_point{}) {
        return;
    }
    if (wantReal) {
        realOriginNs_ = virtualNs_.load(std::memory_order_acquire);
        realStart_ = std::chrono::steady_clock::now();
        realTime_.store(true, std::memory_order_release);
    } else {
        if (isReal) {
            const auto elapsed = std::chrono::steady_clock::now() - realStart_;
            virtualNs_.store(
                realOriginNs_ +
                    std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count(),
                std::memory_order_release);
        }
        realStart_ = std::chrono::steady_clock::now();
        realTime_.store(false, std::memory_order_release);
    }
}

Clock::Mode Clock::mode() const {
    return realTime_.load(std::memory_order_acquire) ? Mode::RealTime : Mode::Virtual;
}

void Clock::osSleepHook(uint32_t milliseconds, void* context) {
    static_cast<Clock*>(context)->sleepMs(milliseconds);
}

double Clock::osClockHook(void* context) {
    return static_cast<const Clock*>(context)->seconds();
}

} // namespace kora::vbench
