// The bench clock in nanoseconds. In virtual mode (tests, benchmarks) a wait adds its length to the
// clock and returns at once, so programs run at CPU speed with realistic time stamps; in real-time
// mode (people watching) the clock follows the steady clock and a wait really waits. Switching
// modes keeps the clock continuous.
//
// Activating a bench wires its clock to the operating-system layer: its sleep hook (osSleepHook)
// and its clock hook (osClockHook), which the executive's time stamp reads.
//
// Several threads may wait at once; in virtual mode their waits add up on the one clock, which is
// right for the library's single-threaded step sequences.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>

namespace kora::vbench {

class Clock {
  public:
    enum class Mode { Virtual, RealTime };

    explicit Clock(Mode mode = Mode::Virtual);

    int64_t nowNs() const;
    double seconds() const { return static_cast<double>(nowNs()) * 1e-9; }

    // Waits ns nanoseconds (at least 0).
    void wait(int64_t ns);
    void waitSeconds(double s) { wait(static_cast<int64_t>(s * 1e9 + 0.5)); }
    // A wait in milliseconds as Sleep asks for it; 0xFFFFFFFF (INFINITE) never returns.
    void sleepMs(uint32_t ms);

    void setMode(Mode mode);
    Mode mode() const;

    // Context-free function for KoraOsSetSleepHook (context = this clock).
    static void osSleepHook(uint32_t milliseconds, void* context);
    // For KoraOsSetClockHook: the clock's seconds.
    static double osClockHook(void* context);
    // For the executive runtime's setClock.
    std::function<double()> secondsFunction() const {
        return [this] { return seconds(); };
    }

  private:
    mutable std::mutex mutex_; // guards the mode switch and the real-time origin
    std::atomic<int64_t> virtualNs_{0};
    std::atomic<uint32_t> virtualWaits_{0};
    std::atomic<bool> realTime_{false};
    int64_t realOriginNs_ = 0;                        // clock value when real time began
    std::chrono::steady_clock::time_point realStart_; // steady time then
};

} // namespace kora::vbench
