#include "ictx/measure/contact_scan.h"

#include "frame/text.h"
#include "ictx/measure/unit_control.h"

#include <rspsam.h>
#include <winapi.h>

#include <algorithm>
#include <array>
#include <cmath>

namespace kora {

namespace {

constexpr const char* kPartnerAll = "ALL";
constexpr const char* kReversedMark = " (reversed)";
constexpr const char* kDebugRegulation = "%s->%s - SHORT - DCS in voltage mode?%s";
constexpr const char* kDebugRegulationAfter = "%s->%s - SHORT - DCS in voltage mode after %d ms?%s";
constexpr const char* kDebugGraph = "%s->%s - SHORT - Current graph%s";
constexpr const char* kDebugGraphAfter = "%s->%s - SHORT - Current graph after %d ms%s";
constexpr const char* kDebugOpenMode = "OPEN - DCS in current mode?";
constexpr const char* kDebugOpenModeReversed = "OPEN - DCS in current mode (reversed)?";
constexpr const char* kDebugOpenNote = "1 = current mode, 0 = voltage mode";
constexpr const char* kDebugOpenGraph = "OPEN - Current graph";
constexpr const char* kDebugOpenGraphReversed = "OPEN - Current graph (reversed)";
constexpr long kDebugShortResult = 201;
constexpr long kDebugOpenResult = 202;

constexpr int32_t kQueryVoltage = 0; // the source regulates its voltage
constexpr int32_t kQueryCurrent = 1; // the source limits its current
constexpr int kRetries = 10;         // pre-scan re-checks of an apparent short, 1 ms apart
constexpr DWORD kRetryMs = 1;
constexpr double kConductiveShare = 1.0 / 5000; // of the current limit: a current that flows
constexpr double kHighShare = 0.98;             // of the contact current limit: at the limit
constexpr double kContactProbeLimit = 1e-4;     // the current-limit mode's first limit
constexpr ViStatus kOverRange = 0x3FFA2001;
constexpr long kVerdictDone = 0;

thread_local std::array<double, kMaxReadSamples> tlsRecord;
thread_local int32_t tlsRecordCount = 0;

} // namespace

const char* PinStateText(int32_t state) {
    switch (state) {
    case kPinUntested:
        return "";
    case kPinExcludedBoth:
    case kPinExcludedShort:
    case kPinNotRun:
        return "-----";
    case kPinShort:
        return "SHORT";
    case kPinOpen:
    case kPinOpenExcluded:
        return "OPEN";
    case kPinCharging:
        return "CONT+C";
    case kPinConductive:
        return "CONT";
    case kPinContact:
        return "CONT+";
    case kPinContactLimit:
        return "CONT++";
    case kPinContactReversed:
        return "CONT-";
    case kPinContactReversedLimit:
        return "CONT--";
    default:
        return "INVALID";
    }
}

PinResult& ContactScan::Of(const ChannelRecord& pin) {
    return pins_[static_cast<std::size_t>(&pin - bench_.channels)];
}

bool ContactScan::Configure(const ScanSettings& s, double sourceLimit, ModuleErrors& errors) {
    s_ = s;
    IctHardware& ict = bench_.ict;
    const ViSession psam = bench_.ictModules[kIctPsam].handle;
    errors.psam = ConfigureMu(ict.mu, psam, kMuCurrent, 0x44, 0x22, s.range, s.filter, s.samples,
                              s.interval, s.delay, 1);
    if (errors.psam >= 0) {
        errors.psam =
            ConfigureDcs(ict.dcs, psam, 1, 0x88, 0x22, 0x88, 0x44, 1, s.voltage, sourceLimit, 0, 1);
    }
    if (errors.psam < 0) {
        return false;
    }
    errors.psam = 0;
    return true;
}

bool ContactScan::SetVoltage(double volts, double limit, ModuleErrors& errors) {
    errors.psam = ConfigureDcs(bench_.ict.dcs, bench_.ictModules[kIctPsam].handle, 1, kKeep, kKeep,
                               kKeep, kKeep, kKeep, volts, limit, kKeep, kKeep);
    if (errors.psam < 0) {
        return false;
    }
    errors.psam = 0;
    return true;
}

bool ContactScan::ReadCurrent(const ScanSettings& s, double& amperes, bool& over,
                              ModuleErrors& errors) {
    ReadResult read;
    const ViStatus status = ReadMultiPoint(bench_.ictModules[kIctPsam].handle, tlsRecord.data(),
                                           std::clamp(s.samples, 1, kMaxReadSamples), false,
                                           kPinReadTimeoutMs, s.range, &read);
    if (status < 0) {
        errors.psam = status;
        return false;
    }
    tlsRecordCount = read.count;
    over = status == kOverRange;
    amperes = read.mean;
    return true;
}

bool ContactScan::Regulation(int32_t query, bool& on, ModuleErrors& errors) {
    ViBoolean state = VI_FALSE;
    errors.psam = rspsam_dcs_QueryOutputState(bench_.ictModules[kIctPsam].handle, query, &state);
    if (errors.psam < 0) {
        return false;
    }
    errors.psam = 0;
    on = state != VI_FALSE;
    return true;
}

void ContactScan::DebugGraph(const ChannelRecord& pin, const ChannelRecord* partner, bool reversed,
                             int32_t count, int32_t afterMs) {
    char name[kMessageSize];
    const char* other = partner ? partner->appName : kPartnerAll;
    const char* mark = reversed ? kReversedMark : "";
    if (test_ == 0) {
        if (afterMs > 0) {
            FormatText(name, sizeof name, kDebugGraphAfter, pin.appName, other, afterMs, mark);
        } else {
            FormatText(name, sizeof name, kDebugGraph, pin.appName, other, mark);
        }
    } else {
        CopyText(name, sizeof name, reversed ? kDebugOpenGraphReversed : kDebugOpenGraph);
    }
    rvo_VerifyRE(test_ == 0 ? kDebugShortResult : kDebugOpenResult, name, lineCode_, kUnitAmpere,
                 count, tlsRecord.data(), count * s_.interval, pin.appName);
}

bool ContactScan::ShortCheck(const ChannelRecord& pin, const ChannelRecord* partner, bool reversed,
                             int32_t& state, double& ohms, ModuleErrors& errors) {
    const bool debug = &pin == debugPin_;
    const bool preScan = partner == nullptr;
    const double volts = reversed ? -s_.voltage : s_.voltage;
    const char* other = partner ? partner->appName : kPartnerAll;
    const char* mark = reversed ? kReversedMark : "";
    if (s_.mode == ScanMode::CurrentLimit) {
        if (!SetVoltage(volts, s_.limit, errors)) {
            return false;
        }
        bool regulated = false;
        if (!Regulation(kQueryVoltage, regulated, errors)) {
            return false;
        }
        if (debug) {
            char name[kMessageSize];
            FormatText(name, sizeof name, kDebugRegulation, pin.appName, other, mark);
            rvo_VerifyI(kDebugShortResult, name, lineCode_, 0, 0, nullptr, regulated ? 1 : 0,
                        nullptr, 0, kVerdictDone, 0.0, pin.appName, "");
        }
        if (regulated) {
            state = kPinOpen;
            ohms = s_.bound;
            return true;
        }
        for (int k = 1; preScan && k <= kRetries; ++k) {
            Sleep(kRetryMs);
            if (!Regulation(kQueryVoltage, regulated, errors)) {
                return false;
            }
            if (debug) {
                char name[kMessageSize];
                FormatText(name, sizeof name, kDebugRegulationAfter, pin.appName, other,
                           k * static_cast<int>(kRetryMs), mark);
                rvo_VerifyI(kDebugShortResult, name, lineCode_, 0, 0, nullptr, regulated ? 1 : 0,
                            nullptr, 0, kVerdictDone, 0.0, pin.appName, "");
            }
            if (regulated) {
                state = kPinCharging;
                ohms = s_.bound;
                return true;
            }
        }
        state = kPinShort;
        ohms = 0;
        return true;
    }
    // By resistance: the source may deliver up to the meter's range, so that a reading at the
    // limit's current is the part's and not the source's limit.
    if (!SetVoltage(volts, s_.range, errors)) {
        return false;
    }
    auto measure = [&](int32_t afterMs, double& resistance, double& amperes) -> bool {
        bool over = false;
        if (!ReadCurrent(s_, amperes, over, errors)) {
            return false;
        }
        const double magnitude = std::fabs(amperes);
        resistance = over ? 0.0 : magnitude > 0 ? s_.voltage / magnitude : kNoContact;
        if (over || magnitude > 0) {
            resistance = std::max(0.0, resistance - compensation_);
        }
        if (debug) {
            DebugGraph(pin, partner, reversed, tlsRecordCount, afterMs);
        }
        return true;
    };
    double resistance = 0, amperes = 0;
    if (!measure(0, resistance, amperes)) {
        return false;
    }
    double* detail = details_[0];
    detail[reversed ? kCurrentMinus : kCurrentPlus] = amperes;
    detail[reversed ? kResistorMinus : kResistorPlus] = resistance;
    if (resistance >= s_.ohms) {
        const bool flows = std::fabs(amperes) > s_.limit * kConductiveShare;
        state = flows ? kPinConductive : kPinOpen;
        ohms = flows ? resistance : kNoContact;
        return true;
    }
    for (int k = 1; preScan && k <= kRetries; ++k) {
        Sleep(kRetryMs);
        if (!measure(k * static_cast<int>(kRetryMs), resistance, amperes)) {
            return false;
        }
        if (resistance >= s_.ohms) {
            state = kPinCharging;
            ohms = resistance;
            return true;
        }
    }
    state = kPinShort;
    ohms = resistance;
    return true;
}

bool ContactScan::ShortTest(const ScanSettings& s, double compensation,
                            const std::vector<PinMask>& masks,
                            std::vector<std::vector<const ChannelRecord*>>& groups,
                            ModuleErrors& errors) {
    test_ = 0;
    compensation_ = compensation;
    const double sourceLimit = s.mode == ScanMode::Resistor ? s.range : s.limit;
    if (!Configure(s, sourceLimit, errors) ||
        !ConnectPinArrays(bench_, masks, bus_, kLabB2, kLabB1, used_, errors)) {
        return false;
    }
    bool over = false;
    if (!ReadCurrent(s, details_[0][kCurrentZero], over, errors)) {
        return false;
    }
    // Pre-scan: each pin alone on the source, every other pin on the ammeter.
    std::vector<const ChannelRecord*> shorted;
    const int32_t modules =
        std::min<int32_t>(MatrixModuleCount(bench_), static_cast<int32_t>(masks.size()));
    for (int32_t m = 0; m < modules; ++m) {
        const ModulePins card = PinsOfModule(bench_, m);
        for (int32_t p = 0; p < kCardPins; ++p) {
            if (!HasPin(masks[static_cast<std::size_t>(m)], p) || !card[p]) {
                continue;
            }
            const ChannelRecord& pin = *card[p];
            const double start = rvo_TSTAMP();
            if (!MovePin(bench_, pin, 2, 1, 0, 0, used_, errors)) {
                return false;
            }
            int32_t state = kPinOpen;
            double ohms = 0;
            if (!ShortCheck(pin, nullptr, false, state, ohms, errors)) {
                return false;
            }
            if (state != kPinShort) {
                int32_t reversedState = kPinOpen;
                double reversedOhms = 0;
                if (!ShortCheck(pin, nullptr, true, reversedState, reversedOhms, errors)) {
                    return false;
                }
                if (reversedState == kPinShort || reversedState > state) {
                    state = reversedState;
                    ohms = reversedOhms;
                }
            }
            if (!MovePin(bench_, pin, 1, 2, 0, 0, used_, errors)) {
                return false;
            }
            PinResult& r = Of(pin);
            r.state = state;
            r.shortOhms = ohms;
            r.seconds = rvo_TSTAMP() - start;
            if (state == kPinShort) {
                shorted.push_back(&pin);
            }
        }
    }
    // Group search: each remaining pin on the source against each later one on the ammeter.
    for (int32_t m = 0; m < modules; ++m) {
        if ((errors.sm160 = ZQsm160_DisconnectAll(ModuleHandle(bench_, m))) < 0) {
            return false;
        }
        errors.sm160 = 0;
    }
    while (!shorted.empty()) {
        const ChannelRecord& p = *shorted.front();
        shorted.erase(shorted.begin());
        std::vector<const ChannelRecord*> group{&p};
        if (!shorted.empty() && !MovePin(bench_, p, 0, 1, 0, 0, used_, errors)) {
            return false;
        }
        for (auto it = shorted.begin(); it != shorted.end();) {
            const ChannelRecord& q = **it;
            int32_t state = kPinOpen;
            double ohms = 0;
            // Each Q leaves the bus after its check instead of parking: pins parked on one line
            // join their nets, and a later Q shorted to a parked partner of P would join P's group.
            if (!MovePin(bench_, q, 0, 2, 0, 0, used_, errors) ||
                !ShortCheck(p, &q, false, state, ohms, errors) ||
                !MovePin(bench_, q, 0, 0, 0, 0, used_, errors)) {
                return false;
            }
            if (state == kPinShort) {
                group.push_back(&q);
                it = shorted.erase(it);
            } else {
                ++it;
            }
        }
        if (group.size() > 1 || !shorted.empty()) {
            if (!MovePin(bench_, p, 0, 0, 0, 0, used_, errors)) {
                return false;
            }
        }
        groups.push_back(std::move(group));
    }
    return true;
}

bool ContactScan::ContactCheck(const ChannelRecord& pin, int32_t& state, double& ohms,
                               ModuleErrors& errors) {
    const bool debug = &pin == debugPin_;
    if (s_.mode == ScanMode::CurrentLimit) {
        for (const bool reversed : {false, true}) {
            const double volts = reversed ? -s_.voltage : s_.voltage;
            bool limiting = false;
            if (!SetVoltage(volts, kContactProbeLimit, errors) ||
                !SetVoltage(volts, s_.limit, errors) ||
                !Regulation(kQueryCurrent, limiting, errors)) {
                return false;
            }
            if (debug) {
                rvo_VerifyI(kDebugOpenResult, reversed ? kDebugOpenModeReversed : kDebugOpenMode,
                            lineCode_, 0, 0, nullptr, limiting ? 1 : 0, nullptr, 0, kVerdictDone,
                            0.0, pin.appName, kDebugOpenNote);
            }
            if (limiting) {
                state = reversed ? kPinContactReversed : kPinContact;
                ohms = s_.voltage / s_.limit;
                return true;
            }
        }
        state = kPinOpen;
        ohms = kNoContact;
        return true;
    }
    const double low = s_.voltage / s_.ohms;
    const double high = kHighShare * s_.limit;
    for (const bool reversed : {false, true}) {
        double amperes = 0;
        bool over = false;
        if (!SetVoltage(reversed ? -s_.voltage : s_.voltage, s_.limit, errors) ||
            !ReadCurrent(s_, amperes, over, errors)) {
            return false;
        }
        if (debug) {
            DebugGraph(pin, nullptr, reversed, tlsRecordCount, 0);
        }
        // The current the pin takes in the direction of the voltage.
        const double current = reversed ? -amperes : amperes;
        double* detail = details_[1];
        detail[reversed ? kCurrentMinus : kCurrentPlus] = amperes;
        detail[reversed ? kResistorMinus : kResistorPlus] =
            current > 0 ? s_.voltage / current : kNoContact;
        // At its limit the source itself says so: the meter does not see the part of the current
        // that returns through the ground reference instead of another pin.
        bool limiting = false;
        if (!over && current <= high && !Regulation(kQueryCurrent, limiting, errors)) {
            return false;
        }
        if (over || current > high || limiting) {
            state = reversed ? kPinContactReversedLimit : kPinContactLimit;
        } else if (current > low) {
            state = reversed ? kPinContactReversed : kPinContact;
        } else {
            continue;
        }
        ohms = over ? 0.0 : s_.voltage / current;
        return true;
    }
    state = kPinOpen;
    ohms = kNoContact;
    return true;
}

bool ContactScan::ContactTest(const ScanSettings& s, const std::vector<PinMask>& masks,
                              std::vector<const ChannelRecord*>& open, ModuleErrors& errors) {
    test_ = 1;
    // The group search leaves its pins parked on the D lines, where the pin under test would
    // meet them: the contact test starts from open modules.
    DisconnectModules(bench_, used_, errors);
    if (errors.sm160 < 0) {
        return false;
    }
    if (!Configure(s, s.limit, errors) ||
        !ConnectPinArrays(bench_, masks, bus_, kLabB2, kLabB1, used_, errors)) {
        return false;
    }
    bool over = false;
    if (!ReadCurrent(s, details_[1][kCurrentZero], over, errors)) {
        return false;
    }
    const int32_t modules =
        std::min<int32_t>(MatrixModuleCount(bench_), static_cast<int32_t>(masks.size()));
    for (int32_t m = 0; m < modules; ++m) {
        const ModulePins card = PinsOfModule(bench_, m);
        for (int32_t p = 0; p < kCardPins; ++p) {
            if (!HasPin(masks[static_cast<std::size_t>(m)], p) || !card[p]) {
                continue;
            }
            const ChannelRecord& pin = *card[p];
            PinResult& r = Of(pin);
            // Shorted and conducting pins have shown their contact already.
            const bool testable =
                r.state == kPinUntested || r.state == kPinOpen || r.state >= kPinContact;
            if (!testable) {
                continue;
            }
            const double start = rvo_TSTAMP();
            if (!MovePin(bench_, pin, 2, 1, 0, 0, used_, errors) ||
                !ContactCheck(pin, r.state, r.contactOhms, errors) ||
                !MovePin(bench_, pin, 1, 2, 0, 0, used_, errors)) {
                return false;
            }
            r.seconds += rvo_TSTAMP() - start;
            if (r.state == kPinOpen) {
                open.push_back(&pin);
            }
        }
    }
    return true;
}

} // namespace kora
