// The measuring part of the contact and short test: the short test's pre-scan of every pin
// against all others and its group search among the pins found shorted, and the contact test of
// every pin against the rest of the board, each pin's state kept in a table by channel entry.
#pragma once

#include "ictx/measure/pin_test_support.h"

#include <cstdint>
#include <vector>

namespace kora {

// Pin states of the contact test.
enum PinState : int32_t {
    kPinUntested = -5,
    kPinExcludedBoth = -4,
    kPinExcludedShort = -3,
    kPinNotRun = -2,
    kPinShort = -1,
    kPinOpen = 0,
    kPinCharging = 1,
    kPinConductive = 2,
    kPinContact = 3,
    kPinContactLimit = 4,
    kPinContactReversed = 5,
    kPinContactReversedLimit = 6,
    kPinOpenExcluded = 9,
};
// The result text of a pin state.
const char* PinStateText(int32_t state);

// Modes of the short and contact tests: off, by resistance, by the source's regulation state.
enum class ScanMode { Off, Resistor, CurrentLimit };

// The settings of one of the two tests.
struct ScanSettings {
    ScanMode mode = ScanMode::Off;
    double voltage = 0;
    double range = 0;   // meter range, amperes
    double limit = 0;   // the source's current limit
    double ohms = 0;    // short: upper limit; contact: lower limit
    double bound = 0;   // short: the upper bound of its limit (the fast mode's value of no short)
    int32_t filter = 0; // meter low-pass, hertz
    int32_t samples = 1;
    double interval = 5e-6;
    double delay = 0;
};

struct PinResult {
    int32_t state = kPinUntested;
    double shortOhms = 0;
    double contactOhms = 0;
    double seconds = 0;
};

// Details of one test: "CURRENT 0", "CURRENT +", "RESISTOR +", "CURRENT -", "RESISTOR -".
enum ScanDetail { kCurrentZero, kCurrentPlus, kResistorPlus, kCurrentMinus, kResistorMinus };
constexpr int kScanDetails = 5;

class ContactScan {
  public:
    ContactScan(BenchRecord& bench, const BusChannelIds& bus, std::vector<PinResult>& pins,
                long lineCode, const ChannelRecord* debugPin)
        : bench_(bench), bus_(bus), pins_(pins), lineCode_(lineCode), debugPin_(debugPin) {}

    // Pre-scan of the pins of `masks` (one per module) and the group search; groups of shorted
    // pins in `groups` (a group of one is shorted to something outside the list).
    bool ShortTest(const ScanSettings& s, double compensation, const std::vector<PinMask>& masks,
                   std::vector<std::vector<const ChannelRecord*>>& groups, ModuleErrors& errors);
    // Contact test of the pins of `masks` whose state allows it; the pins left open in `open`.
    bool ContactTest(const ScanSettings& s, const std::vector<PinMask>& masks,
                     std::vector<const ChannelRecord*>& open, ModuleErrors& errors);

    uint32_t usedModules() const { return used_; }
    const double* details(int test) const { return details_[test]; }

  private:
    PinResult& Of(const ChannelRecord& pin);
    bool Configure(const ScanSettings& s, double sourceLimit, ModuleErrors& errors);
    bool SetVoltage(double volts, double limit, ModuleErrors& errors);
    bool ReadCurrent(const ScanSettings& s, double& amperes, bool& over, ModuleErrors& errors);
    bool Regulation(int32_t query, bool& on, ModuleErrors& errors);
    // One check of the short test; `partner` null in the pre-scan (against all others).
    bool ShortCheck(const ChannelRecord& pin, const ChannelRecord* partner, bool reversed,
                    int32_t& state, double& ohms, ModuleErrors& errors);
    bool ContactCheck(const ChannelRecord& pin, int32_t& state, double& ohms, ModuleErrors& errors);
    void DebugGraph(const ChannelRecord& pin, const ChannelRecord* partner, bool reversed,
                    int32_t count, int32_t afterMs);

    BenchRecord& bench_;
    const BusChannelIds& bus_;
    std::vector<PinResult>& pins_;
    long lineCode_;
    const ChannelRecord* debugPin_;
    ScanSettings s_;
    double compensation_ = 0;
    uint32_t used_ = 0;
    double details_[2][kScanDetails] = {};
    int test_ = 0; // 0 short, 1 contact
};

} // namespace kora
