#include "ictx/measure/digital_bus.h"

#include "ictx/measure/pin_test_support.h"
#include "ictx/measure/unit_control.h"

#include <rspsam.h>
#include <rspsu.h>
#include <rvoapi.h>
#include <winapi.h>
#include <zqsm160.h>

#include <cmath>

namespace kora {

namespace {

// The PSU preset that grounds both channels and couples the B and C lines.
constexpr int32_t kPsuDigitalPreset = 12;
// The start preset: coupling off.
constexpr int32_t kPsuOffBus = 8;
// PSU bus masks (bit 0 ABa1 .. bit 7 ABd2): CH1 HI (high drive) on B2, CH2 HI (low drive) on C1.
constexpr int32_t kHighDriveMask = 0x08;
constexpr int32_t kLowDriveMask = 0x10;
// PSAM masks (bit 7 A1, 3 A2, 6 B1, 2 B2, 5 C1, 1 C2, 4 D1, 0 D2): the control output's force
// and sense HI on C2, the meter's + on D2.
constexpr int32_t kControlMask = 0x02;
constexpr int32_t kMeterMask = 0x01;
constexpr int32_t kMeterLo = 8;
// quickConnectABCD selectors of the roles: high drive = group B line 2 (LABB2), low drive =
// group C line 1 (LABC1), control = group C line 2 (LABC2), meter = group D line 2 (LABD2).
constexpr int32_t kSelHigh = 2;
constexpr int32_t kSelLow = 1;
constexpr int32_t kSelControl = 2;
constexpr int32_t kSelMeter = 2;
constexpr int kStateControl = 2;

constexpr double kStartHigh = 5.0;
constexpr double kStartLimit = 0.1;
constexpr double kMeterRange = 10.0;
constexpr int32_t kMeterSamples = 8;
constexpr double kMeterInterval = 10e-6;
constexpr int32_t kReadTimeoutMs = 1000;
constexpr ViStatus kNoSample = static_cast<ViStatus>(0xBFFA402B);
constexpr DWORD kDriveSettleMs = 1000;
constexpr DWORD kLimitSettleMs = 10;
constexpr const char* kHighChannel = "CH1";
constexpr const char* kLowChannel = "CH2";
constexpr const char* kTermA[] = {"RACH1", "RACH2", "RACH3", "RACH4"};
constexpr const char* kTermB[] = {"RBCH1", "RBCH2", "RBCH3", "RBCH4"};
constexpr const char* kTermACommon = "RACOM";
constexpr const char* kTermBCommon = "RBCOM";
// The relay channel each side closes in the start state.
constexpr uint32_t kStartTerm = 4;

bool Failed(ViStatus s, ViStatus& slot) {
    if (s < 0) {
        slot = s;
        return true;
    }
    return false;
}

} // namespace

bool BusDigitalIo::Psu(double high, double low, double limitHigh, double limitLow) {
    const IctModuleRecord& psu = bench_.ictModules[kIctPsu];
    return !Failed(ConfigurePsu(bench_.ict.psu, psu.handle, kPsuDigitalPreset, kHighDriveMask, 0,
                                high, limitHigh, kLowDriveMask, 0, low, limitLow),
                   errors_.psu);
}

bool BusDigitalIo::Control(double volts, double limit) {
    return !Failed(ConfigureDcs(bench_.ict.dcs, bench_.ictModules[kIctPsam].handle, 1, kControlMask,
                                0, kControlMask, 0, 1, volts, limit, 0, 1),
                   errors_.psam);
}

bool BusDigitalIo::Prepare() {
    const ViSession psam = bench_.ictModules[kIctPsam].handle;
    if (!ReleaseOtherUnits(bench_, errors_) || !Psu(kStartHigh, 0.0, kStartLimit, kStartLimit) ||
        !Control(vcl_, controlLimit_)) {
        return false;
    }
    if (Failed(ConfigureMu(bench_.ict.mu, psam, kMuVoltage, kMeterMask, 0, kMeterRange, 0,
                           kMeterSamples, kMeterInterval, 0, 1),
               errors_.psam) ||
        Failed(rspsam_cnx_Gnd(psam, kMeterLo, VI_TRUE), errors_.psam)) {
        return false;
    }
    return Terminate(kStartTerm, kStartTerm);
}

void BusDigitalIo::Release() {
    DisconnectModules(bench_, used_, errors_);
    if (bench_.ictModules[kIctPsu].inUse) {
        // Off the bus: a test that follows finds no drive level on the B and C lines.
        const ViStatus s =
            ConfigurePsu(bench_.ict.psu, bench_.ictModules[kIctPsu].handle, kPsuOffBus, kKeep,
                         kKeep, kKeepReal, kKeepReal, kKeep, kKeep, kKeepReal, kKeepReal);
        if (s < 0 && !errors_.psu) {
            errors_.psu = s;
        }
    }
    if (bench_.ictModules[kIctPsam].inUse) {
        const ViSession psam = bench_.ictModules[kIctPsam].handle;
        ViStatus s = ConfigureDcs(bench_.ict.dcs, psam, 0, 0, kKeep, 0, kKeep, kKeep, kKeepReal,
                                  kKeepReal, kKeep, kKeep);
        if (s >= 0) {
            s = rspsam_cnx_Gnd(psam, kMeterLo, VI_FALSE);
        }
        if (s < 0 && !errors_.psam) {
            errors_.psam = s;
        }
    }
    pins_.clear();
}

bool BusDigitalIo::SetDriveLevels(double high, double low) {
    if (!Psu(high, low, kKeepReal, kKeepReal)) {
        return false;
    }
    Sleep(kDriveSettleMs);
    return true;
}

bool BusDigitalIo::SetControlLevels(double high, double low) {
    vch_ = high;
    vcl_ = low;
    return true;
}

bool BusDigitalIo::SetLimits(double low, double high, double control) {
    controlLimit_ = control;
    if (!Psu(kKeepReal, kKeepReal, high, low) || !Control(kKeepReal, control)) {
        return false;
    }
    Sleep(kLimitSettleMs);
    return true;
}

bool BusDigitalIo::Place(const ChannelRecord& pin, int state, bool measure) {
    if (pin.cardIndex < 0) {
        return true; // not a matrix pin: nothing to switch
    }
    used_ |= 1u << (pin.cardIndex & 31);
    lastCard_ = pin.cardIndex;
    const int32_t b = state == 1 ? kSelHigh : 0;
    const int32_t c = state == 0 ? kSelLow : state == kStateControl ? kSelControl : 0;
    const int32_t d = measure ? kSelMeter : 0;
    return !Failed(
        ZQsm160_quickConnectABCD(ModuleHandle(bench_, pin.cardIndex), pin.channelId, 0, b, c, d, 0),
        errors_.sm160);
}

bool BusDigitalIo::DrivePin(const ChannelRecord& pin, int state) {
    pins_[{pin.cardIndex, pin.channelId}] = state;
    return Place(pin, state, false);
}

bool BusDigitalIo::Settle() {
    if (lastCard_ < 0) {
        return true;
    }
    return !Failed(ZQsm160_WaitForDebounce(ModuleHandle(bench_, lastCard_), kDebounceMs),
                   errors_.sm160);
}

bool BusDigitalIo::ReadPin(const ChannelRecord& pin, double* volts) {
    *volts = NAN;
    const auto it = pins_.find({pin.cardIndex, pin.channelId});
    const int state = it == pins_.end() ? -1 : it->second;
    if (!Place(pin, state, true) || !Settle()) {
        return false;
    }
    ReadResult r;
    const ViStatus s = ReadMultiPoint(bench_.ictModules[kIctPsam].handle, nullptr, kMeterSamples,
                                      false, kReadTimeoutMs, 0, &r);
    if (s < 0 && s != kNoSample) {
        errors_.psam = s;
        return false;
    }
    if (s >= 0 && r.count > 0) {
        *volts = r.mean;
    }
    return Place(pin, state, false);
}

bool BusDigitalIo::DriveControl(const ChannelRecord* pin, bool high, double* volts) {
    *volts = high ? vch_ : vcl_;
    if (!Control(*volts, controlLimit_)) {
        return false;
    }
    if (pin) {
        pins_[{pin->cardIndex, pin->channelId}] = kStateControl;
        if (!Place(*pin, kStateControl, false)) {
            return false;
        }
    }
    return Settle();
}

bool BusDigitalIo::Delay(double seconds) {
    if (seconds > 0) {
        Sleep(static_cast<DWORD>(std::llround(seconds * 1000.0)));
    }
    return true;
}

bool BusDigitalIo::Terminate(uint32_t high, uint32_t low) {
    const ViSession psam = bench_.ictModules[kIctPsam].handle;
    for (uint32_t n = 0; n < 4; ++n) {
        // Every other selector opens before the chosen one closes.
        if (high != n + 1 &&
            Failed(rspsam_Disconnect(psam, kTermA[n], kTermACommon), errors_.psam)) {
            return false;
        }
        if (low != n + 1 &&
            Failed(rspsam_Disconnect(psam, kTermB[n], kTermBCommon), errors_.psam)) {
            return false;
        }
    }
    if (high && Failed(rspsam_Connect(psam, kTermA[high - 1], kTermACommon), errors_.psam)) {
        return false;
    }
    if (low && Failed(rspsam_Connect(psam, kTermB[low - 1], kTermBCommon), errors_.psam)) {
        return false;
    }
    return true;
}

bool BusDigitalIo::LimitFlags(bool flags[3]) {
    const ViSession psu = bench_.ictModules[kIctPsu].handle;
    ViBoolean low = VI_FALSE, high = VI_FALSE, control = VI_FALSE;
    if (Failed(rspsu_QueryCurrentLimit(psu, kLowChannel, &low), errors_.psu) ||
        Failed(rspsu_QueryCurrentLimit(psu, kHighChannel, &high), errors_.psu) ||
        Failed(rspsam_dcs_QueryOutputState(bench_.ictModules[kIctPsam].handle, 1, &control),
               errors_.psam)) {
        return false;
    }
    flags[0] = low != VI_FALSE;
    flags[1] = high != VI_FALSE;
    flags[2] = control != VI_FALSE;
    return true;
}

bool BusDigitalIo::DriveCurrents(double* high, double* low) {
    const ViSession psu = bench_.ictModules[kIctPsu].handle;
    return !Failed(rspsu_Measure(psu, kHighChannel, RSPSU_MEASURE_CURRENT, high), errors_.psu) &&
           !Failed(rspsu_Measure(psu, kLowChannel, RSPSU_MEASURE_CURRENT, low), errors_.psu);
}

double BusDigitalIo::Now() {
    return rvo_TSTAMP();
}

} // namespace kora
