// The relay and photocoupler tests: a switch driven by a second circuit, read with the control on
// ("USW.ON") and off ("USW.OFF"), each after the class's wait for the switch to follow.
// RELAY: the supply's second channel drives the coil, the PSAM's source feeds the contact and its
// meter reads the contact's voltage; the coil's resistance is the meter's voltage across the coil
// over the current the supply measures. PHOTOCOUPLER: the PICT's analog output drives the LED
// through a known series resistance into the CMU's virtual ground, the supply's second channel
// powers the output side, the meter reads the output's short-circuit current and then its
// voltage; the LED's forward voltage is read across its pins.
#include "ictx/measure/component_tests.h"
#include "ictx/measure/semis_frame.h"

#include "ictx/program/component_compile.h"

#include "frame/step_frame.h"
#include "frame/text.h"

#include <rspsu.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <tuple>

namespace kora {

namespace {

constexpr ClassTraits kRelayClass = {
    "RELAY", "", "ICTX_RELAY", "ICTX_RELAY[ % li ]\n\nBENCH=%s\n\n%s", "", kUnitVolt};
constexpr ClassTraits kPhotoClass = {
    "PHOTOCOUPLER", "", "ICTX_PHOTOCOUPLER", "ICTX_PHOTOCOUPLER[ % li ]\n\nBENCH=%s\n\n%s", "",
    kUnitVolt};

constexpr int kOn = 0;
constexpr int kOff = 1;
constexpr int kControl = 2; // the relay's coil, the photocoupler's LED
// Role pins (semis_pins.cpp).
constexpr int kCoilPlus = 0;
constexpr int kCoilMinus = 1;
constexpr int kDiodePlus = 0;
constexpr int kDiodeMinus = 1;
constexpr int kSwitchLo = 3;
constexpr int kSupplyPlus = 4;

struct SubNames {
    const char* stimControl; // coil or LED
    const char* stimSwitch;
    const char* meas;
    const char* limits;
    const char* details;
    const char* graph;
    const char* result; // "%s" = component name
    const char* tag;
    long unit;
};
constexpr SubNames kRelaySubs[kSubTests] = {
    {"SETTINGS|USW.ON|STIM.COIL", "SETTINGS|USW.ON|STIM.SWITCH", "SETTINGS|USW.ON|MEAS",
     "VALIDATION|USW.ON", "DETAILS|MEAS|USW.ON", "ON VOLTAGE", "%s.USW.ON", "USW.ON", kUnitVolt},
    {"SETTINGS|USW.OFF|STIM.COIL", "SETTINGS|USW.OFF|STIM.SWITCH", "SETTINGS|USW.OFF|MEAS",
     "VALIDATION|USW.OFF", "DETAILS|MEAS|USW.OFF", "OFF VOLTAGE", "%s.USW.OFF", "USW.OFF",
     kUnitVolt},
    {"SETTINGS|COIL|STIM", nullptr, "SETTINGS|COIL|MEAS", "VALIDATION|COIL", "DETAILS|MEAS|COIL",
     kGraphVoltage, "%s.RCOIL", "RCOIL", kUnitOhm},
};
constexpr SubNames kPhotoSubs[kSubTests] = {
    {"SETTINGS|USW.ON|STIM.DIODE", "SETTINGS|USW.ON|STIM.SWITCH", "SETTINGS|USW.ON|MEAS",
     "VALIDATION|USW.ON", "DETAILS|MEAS|USW.ON", "ON VOLTAGE", "%s.USW.ON", "USW.ON", kUnitVolt},
    {"SETTINGS|USW.OFF|STIM.DIODE", "SETTINGS|USW.OFF|STIM.SWITCH", "SETTINGS|USW.OFF|MEAS",
     "VALIDATION|USW.OFF", "DETAILS|MEAS|USW.OFF", "OFF VOLTAGE", "%s.USW.OFF", "USW.OFF",
     kUnitVolt},
    {"SETTINGS|UFD|STIM.DIODE", nullptr, "SETTINGS|UFD|MEAS", "VALIDATION|UFD", "DETAILS|MEAS|UFD",
     "FORWARD VOLTAGE", "%s.VFD", "UFD", kUnitVolt},
};
constexpr const char* kGroupSupply = "SETTINGS|SUPPLY";
constexpr const char* kCompensationName = "Compensation";
constexpr const char* kMarkOver = ",OR";
constexpr const char* kMarkCompensated = ",RES0";
constexpr const char* kSecondChannel = "CH2";

constexpr int32_t kCmuOpen = 1;
constexpr int32_t kVoltageSource = 1;
constexpr int32_t kPsuSecondChannelAmpere = 10;

// When the file gives no delay: a relay's contact settles within a few milliseconds of its
// operate or release time; 20 ms covers the small signal relays of a board with room for their
// bounce. A photocoupler's transistor follows its LED within tens of microseconds; 1 ms covers the
// slow Darlington types.
constexpr double kRelayDelay = 20e-3;
constexpr double kPhotoDelay = 1e-3;
// Each read lasts 0.5 ms when the file gives no time: 100 samples at the default 5 us.
constexpr double kDefaultTime = 0.5e-3;
constexpr double kDefaultInterval = 5e-6;
// The stimulus when the file gives none: a 5 V coil through a 0.1 A limit, 10 mA through the
// contact, a 5 V output supply limited to 50 mA.
constexpr double kCoilVoltage = 5.0;
constexpr double kCoilLimit = 0.1;
constexpr double kContactCurrent = 10e-3;
constexpr double kSupplyVoltage = 5.0;
constexpr double kSupplyLimit = 50e-3;
// The LED is driven by the AOS through the largest of its series resistances that leaves the
// output within its 10 V: the current then depends little on the LED's actual forward voltage.
// The level assumes the LED's forward voltage at the UFD nominal, which holds at the milliamperes
// that light it; a current below kLedDark (the off state's current as the compile clamps it) leaves
// the LED dark, at 0 V.
constexpr double kAosMaxLevel = 10.0;
constexpr double kAosSeries[] = {1000.0, 100.0, 10.0};
constexpr double kLedDark = 10e-6;
constexpr double kDefaultForward = 1.5;

bool IsRelay(const SemiBlock& b) {
    return b.head.classCode == kClassRelayNo || b.head.classCode == kClassRelayNc;
}

const SubNames* NamesOf(const SemiBlock& b) {
    return IsRelay(b) ? kRelaySubs : kPhotoSubs;
}

void LoadDefaults(SemiBlock& b) {
    const ComponentRecord& r = *b.head.record;
    const bool relay = IsRelay(b);
    for (int k = 0; k < kSubTests; ++k) {
        SubBlock& s = b.sub[k];
        if (!(r.paramMask & kParamMD)) {
            s.delay = relay ? kRelayDelay : kPhotoDelay;
        }
        if (s.interval <= 0) {
            s.interval = kDefaultInterval;
        }
        if (!(r.paramMask & (kParamMT | kParamMA))) {
            s.time = kDefaultTime;
        }
        if (relay && !(r.paramMask & kParamC)) {
            s.current = kContactCurrent;
        }
        // The off state is the control at rest unless the file says otherwise.
        if (relay && !(r.paramMask & kParamSV)) {
            s.ctrlLevel = k == kOff ? 0.0 : kCoilVoltage;
        }
        if (relay && !(r.paramMask & kParamSC)) {
            s.ctrlCurrent = kCoilLimit;
        }
        if (!relay && k == kOff && !(r.paramMask & kParamC)) {
            s.current = 0;
        }
    }
    if (!relay) {
        SubBlock& supply = b.sub[0];
        if (!(r.paramMask & kParamSV)) {
            supply.ctrlLevel = kSupplyVoltage;
        }
        if (!(r.paramMask & kParamSC)) {
            supply.ctrlCurrent = kSupplyLimit;
        }
    }
    b.head.compensation = relay ? r.compensation : 0;
}

void DefineSwitch(SemiBlock& b) {
    LoadDefaults(b);
    const SubNames* names = NamesOf(b);
    const bool relay = IsRelay(b);
    if (!relay) {
        // The supply's settings are sub-test 1's SV and SC, bound to its control fields.
        rvo_DefineAttrR("VOLTAGE", kGroupSupply, &b.sub[0].ctrlLevel, kUnitVolt, nullptr);
        rvo_DefineAttrR("I.LIMIT", kGroupSupply, &b.sub[0].ctrlCurrent, kUnitAmpere, nullptr);
    }
    for (int k = 0; k < kSubTests; ++k) {
        SubBlock& s = b.sub[k];
        if (relay) {
            rvo_DefineAttrR("VOLTAGE", names[k].stimControl, &s.ctrlLevel, kUnitVolt, nullptr);
            rvo_DefineAttrR("ILIM", names[k].stimControl, &s.ctrlCurrent, kUnitAmpere, nullptr);
            if (names[k].stimSwitch) {
                DefineSubStim(s, names[k].stimSwitch, "VOLTAGE", "I.LIMIT");
            }
        } else {
            rvo_DefineAttrR("ILIM", names[k].stimControl, &s.current, kUnitAmpere, nullptr);
            if (names[k].stimSwitch) {
                rvo_DefineAttrR("VOLTAGE", names[k].stimSwitch, &s.voltage, kUnitVolt, nullptr);
            }
        }
        DefineSubMeas(s, names[k].meas, true);
    }
    for (int k = 0; k < kSubTests; ++k) {
        DefineSubLimits(b, k, names[k].limits, k == kControl, names[k].unit);
    }
    if (relay) {
        rvo_DefineAttrR(kCompensationName, kRelaySubs[kControl].limits, &b.head.compensation,
                        kUnitOhm, kShown);
    }
    DefineRolePins(b, false);
}

void DefineSwitchDetails(SemiBlock& b) {
    const SubNames* names = NamesOf(b);
    for (int k = 0; k < kSubTests; ++k) {
        rvo_DefineAttrI("#READ", names[k].details, &b.sub[k].reads, 0, kShown);
        rvo_DefineAttrR("INTERVAL", names[k].details, &b.sub[k].interval, kUnitSecond, kShown);
    }
    if (!IsRelay(b)) {
        for (int k : {kOn, kOff}) {
            rvo_DefineAttrR("I.SWITCH", names[k].details, &b.sub[k].auxMean, kUnitAmpere, kShown);
        }
    }
}

// Reads sub-test k's voltage with the meter where it is and verifies it; with `resistance`, as the
// voltage over `current` less the compensation (no current: no value).
long ReadAndVerify(SemiBlock& b, int k, double range, bool resistance, double current,
                   ModuleErrors& errors, bool& ok) {
    SubBlock& s = b.sub[k];
    const SubRead m = ReadSettingsOf(s, true);
    const SubNames& n = NamesOf(b)[k];
    bool over = false;
    ok = ReadMeter(b, k, m, range, n.graph, over, errors);
    if (!ok) {
        return 0;
    }
    char comment[64];
    CopyText(comment, n.tag);
    if (over) {
        AppendMarker(comment, sizeof comment, kMarkOver);
        s.value = kAboveRange;
    } else if (!resistance) {
        s.value = s.mean;
        s.valid = 1;
    } else if (current > 0) {
        s.value = s.mean / current - b.head.compensation;
        s.valid = 1;
        if (b.head.compensation != 0) {
            AppendMarker(comment, sizeof comment, kMarkCompensated);
        }
    }
    char name[160];
    FormatText(name, sizeof name, n.result, OrEmpty(b.head.record->name));
    return VerifySub(b, k, name, n.unit, comment);
}

bool OpenCmu(BenchRecord& bench, ModuleErrors& errors, int32_t mask1, int32_t mask5) {
    if (!bench.ictModules[kIctPict].inUse) {
        return true;
    }
    errors.pict = ConfigureCmu(bench.ict.cmu, bench.ictModules[kIctPict].handle, kCmuOpen, mask1, 0,
                               0, 0, mask5, -1.0, -1.0, kKeep, -1.0, -1.0, kKeep);
    if (errors.pict < 0) {
        return false;
    }
    errors.pict = 0;
    return true;
}

// The supply's second channel at `level` with `limit`, its terminals where they are.
bool SecondChannel(BenchRecord& bench, double level, double limit, ModuleErrors& errors) {
    errors.psu =
        ConfigurePsu(bench.ict.psu, bench.ictModules[kIctPsu].handle, kPsuSecondChannelAmpere,
                     kKeep, kKeep, kKeepReal, kKeepReal, kKeep, kKeep, level, limit);
    if (errors.psu < 0) {
        return false;
    }
    errors.psu = 0;
    return true;
}

bool Meter(BenchRecord& bench, int32_t function, int32_t mask5, int32_t mask8, double range,
           const SubBlock& s, ModuleErrors& errors) {
    const SubRead m = ReadSettingsOf(s, true);
    errors.psam = ConfigureMu(bench.ict.mu, bench.ictModules[kIctPsam].handle, function, mask5,
                              mask8, range, m.filterHertz, m.samples, s.interval, 0.0, 1);
    if (errors.psam < 0) {
        return false;
    }
    errors.psam = 0;
    return true;
}

// The first sub-test that runs; its pins (every pin of the class) are connected once.
int FirstEnabled(const SemiBlock& b) {
    for (int k = 0; k < kSubTests; ++k) {
        if (b.sub[k].enabled) {
            return k;
        }
    }
    return 0;
}

long MeasureRelay(SemiBlock& b, PinConnector& pins, ModuleErrors& errors, StepError& error) {
    BenchRecord& bench = *b.head.bench;
    IctHardware& ict = bench.ict;
    const ViSession psam = bench.ictModules[kIctPsam].handle;
    if (!bench.ictModules[kIctPsu].inUse) {
        error.Set(kErrResource, kNoPsuAvailable);
        return 0;
    }
    const int first = FirstEnabled(b);
    const BusLine coilHi = RoleBusLine(b, first, kCoilPlus);
    const BusLine coilLo = RoleBusLine(b, first, kCoilMinus);
    if (!OpenCmu(bench, errors, 0, 0)) {
        return 0;
    }
    // The coil at rest until the first sub-test switches it.
    errors.psu = ConfigurePsu(ict.psu, bench.ictModules[kIctPsu].handle, kPsuSecondChannelAmpere, 0,
                              0, kKeepReal, kKeepReal, PsuBit(coilHi), PsuBit(coilLo), 0.0,
                              b.sub[first].ctrlCurrent);
    if (errors.psu < 0) {
        return 0;
    }
    errors.psu = 0;
    if (!ConnectRoles(b, first, pins, errors)) {
        return 0;
    }
    MarkTime(b.head, kTimeSetup);
    long result = 0;
    for (int k = 0; k < kSubTests; ++k) {
        SubBlock& s = b.sub[k];
        if (!s.enabled) {
            continue;
        }
        const double range = kMuVoltageRanges[std::min<uint32_t>(b.head.record->sub[k].vrIndex,
                                                                 kVoltageRangeCount - 1)];
        if (!SecondChannel(bench, s.ctrlLevel, s.ctrlCurrent, errors)) {
            return result;
        }
        bool ok = false;
        if (k == kControl) {
            // The meter across the coil on the lines the supply drives it through.
            const double coilRange = RangeAtLeast(kMuVoltageRanges, s.ctrlLevel);
            if (!Meter(bench, kMuVoltage, PsamBit(coilHi), PsamBit(coilLo), coilRange, s, errors)) {
                return result;
            }
            WaitSeconds(s.delay);
            double current = 0;
            if ((errors.psu = rspsu_Measure(bench.ictModules[kIctPsu].handle, kSecondChannel,
                                            RSPSU_MEASURE_CURRENT, &current)) < 0) {
                return result;
            }
            errors.psu = 0;
            result = Worse(result, ReadAndVerify(b, k, coilRange, true, current, errors, ok));
        } else {
            // The contact fed by the source as a voltage source with its current limit: an open
            // contact reads the voltage, a closed one its resistance times the limit.
            errors.psam = ConfigureDcs(ict.dcs, psam, 1, 0x88, 0x44, 0x88, 0x44, kVoltageSource,
                                       s.voltage, std::fabs(s.current), 0, 1);
            if (errors.psam < 0 || !Meter(bench, kMuVoltage, 0x88, 0x44, range, s, errors)) {
                return result;
            }
            WaitSeconds(s.delay);
            result = Worse(result, ReadAndVerify(b, k, range, false, 0, errors, ok));
        }
        if (!ok) {
            return result;
        }
    }
    MarkTime(b.head, kTimeMeasure);
    // The coil is released before the pins leave the bus.
    SecondChannel(bench, 0.0, kKeepReal, errors);
    return result;
}

// The AOS's level and series resistance that drive `current` into an LED of forward voltage
// `forward`.
std::pair<double, double> LedDrive(double current, double forward) {
    if (current < kLedDark) {
        return {0.0, kAosSeries[0]};
    }
    for (double r : kAosSeries) {
        if (forward + current * r <= kAosMaxLevel) {
            return {forward + current * r, r};
        }
    }
    return {kAosMaxLevel, kAosSeries[std::size(kAosSeries) - 1]};
}

long MeasurePhoto(SemiBlock& b, PinConnector& pins, ModuleErrors& errors, StepError& error) {
    BenchRecord& bench = *b.head.bench;
    IctHardware& ict = bench.ict;
    const ViSession psam = bench.ictModules[kIctPsam].handle;
    if (!bench.ictModules[kIctPict].inUse) {
        error.Set(kErrResource, kNoPictAvailable);
        return 0;
    }
    if (!bench.ictModules[kIctPsu].inUse) {
        error.Set(kErrResource, kNoPsuAvailable);
        return 0;
    }
    const ViSession pict = bench.ictModules[kIctPict].handle;
    const int first = FirstEnabled(b);
    const BusLine anode = RoleBusLine(b, first, kDiodePlus);
    const BusLine cathode = RoleBusLine(b, first, kDiodeMinus);
    const BusLine supply = RoleBusLine(b, first, kSupplyPlus);
    const BusLine emitter = RoleBusLine(b, first, kSwitchLo);
    errors.psam =
        ConfigureDcs(ict.dcs, psam, 1, 0, 0, 0, 0, kKeep, kKeepReal, kKeepReal, kKeep, kKeep);
    if (errors.psam < 0) {
        return 0;
    }
    errors.psam = 0;
    const SubBlock& power = b.sub[0];
    errors.psu = ConfigurePsu(ict.psu, bench.ictModules[kIctPsu].handle, kPsuSecondChannelAmpere, 0,
                              0, kKeepReal, kKeepReal, PsuBit(supply), PsuBit(emitter),
                              power.ctrlLevel, power.ctrlCurrent);
    if (errors.psu < 0) {
        return 0;
    }
    errors.psu = 0;
    const double forward = b.sub[kControl].nom > 0 ? b.sub[kControl].nom : kDefaultForward;
    auto [level, series] = LedDrive(0, forward);
    if ((errors.pict = ConfigureAos(ict.aos, pict, kAosDc, kKeepReal, level, 0.0, series)) < 0 ||
        !OpenCmu(bench, errors, PictBit(cathode), PictBit(anode))) {
        return 0;
    }
    if (!ConnectRoles(b, first, pins, errors)) {
        return 0;
    }
    MarkTime(b.head, kTimeSetup);
    long result = 0;
    for (int k = 0; k < kSubTests; ++k) {
        SubBlock& s = b.sub[k];
        if (!s.enabled) {
            continue;
        }
        std::tie(level, series) = LedDrive(s.current, forward);
        if ((errors.pict = ConfigureAos(ict.aos, pict, kAosDc, kKeepReal, level, 0.0, series)) <
            0) {
            return result;
        }
        errors.pict = 0;
        bool ok = false;
        if (k == kControl) {
            const double range = RangeAtLeast(kMuVoltageRanges, forward * 2);
            if (!Meter(bench, kMuVoltage, PsamBit(anode), PsamBit(cathode), range, s, errors)) {
                return result;
            }
            WaitSeconds(s.delay);
            result = Worse(result, ReadAndVerify(b, k, range, false, 0, errors, ok));
        } else {
            // The output's short-circuit current through the meter first (its supply and load
            // are there), then the switch's voltage.
            const double iRange = RangeAtLeast(kMuCurrentRanges, power.ctrlCurrent);
            const double range = RangeAtLeast(kMuVoltageRanges, s.voltage);
            if (!Meter(bench, kMuCurrent, 0x44, 0x22, iRange, s, errors)) {
                return result;
            }
            WaitSeconds(s.delay);
            bool over = false;
            if (!ReadMeter(b, k, ReadSettingsOf(s, true), iRange, kGraphCurrent, over, errors)) {
                return result;
            }
            s.auxMean = over ? kAboveRange : s.mean;
            if (!Meter(bench, kMuVoltage, 0x44, 0x22, range, s, errors)) {
                return result;
            }
            result = Worse(result, ReadAndVerify(b, k, range, false, 0, errors, ok));
        }
        if (!ok) {
            return result;
        }
    }
    MarkTime(b.head, kTimeMeasure);
    // The LED off and the supply down before the pins leave the bus.
    errors.pict = ConfigureAos(ict.aos, pict, kAosDc, kKeepReal, 0.0, 0.0, series);
    errors.pict = errors.pict < 0 ? errors.pict : 0;
    SecondChannel(bench, 0.0, kKeepReal, errors);
    return result;
}

constexpr SemiClass kRelay = {kRelayClass, 3, DefineSwitch, DefineSwitchDetails, MeasureRelay};
constexpr SemiClass kPhoto = {kPhotoClass, 3, DefineSwitch, DefineSwitchDetails, MeasurePhoto};

} // namespace

EN_NEV_RESULT TestRelay(ComponentCall& call) {
    return RunSemiMethod(call, kRelay);
}

EN_NEV_RESULT TestPhotocoupler(ComponentCall& call) {
    return RunSemiMethod(call, kPhoto);
}

} // namespace kora
