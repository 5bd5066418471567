// The shunt test: a low-value current-sense resistor measured with four wires. The supply's second
// channel forces its current through the force pins, its sense terminals on the same lines so
// that it regulates at the pins; the PSAM's meter reads the sense pins; the resistance is that
// voltage over the current the supply measures.
#include "ictx/measure/component_tests.h"
#include "ictx/measure/semis_frame.h"

#include "ictx/program/component_compile.h"

#include "frame/step_frame.h"
#include "frame/text.h"

#include <rspsu.h>

#include <algorithm>

namespace kora {

namespace {

constexpr ClassTraits kShuntClass = {
    "SHUNT", "", "ICTX_SHUNT", "ICTX_SHUNT[ % li ]\n\nBENCH=%s\n\n%s", "", kUnitOhm};
constexpr const char* kResultShunt = "SHUNT";
constexpr const char* kTagShunt = "SHUNT";
constexpr const char* kGraphSense = "VSENSE";
constexpr const char* kMarkOver = ",OR";
constexpr const char* kSecondChannel = "CH2";
constexpr const char* kSenseHi = "CH2_SHI";
constexpr const char* kSenseLo = "CH2_SLO";
constexpr const char* kLineNames[kBusLines] = {"ABa1", "ABa2", "ABb1", "ABb2",
                                               "ABc1", "ABc2", "ABd1", "ABd2"};
constexpr int32_t kCmuOpen = 1;
constexpr int32_t kPsuSecondChannelAmpere = 10;

void DefineShunt(SemiBlock& b) {
    DefineSubStim(b.sub[0], "SETTINGS|STIM", "VOLTAGE", "CURRENT");
    DefineSubMeas(b.sub[0], "SETTINGS|MEAS", true);
    DefineSubLimits(b, 0, "VALIDATION", false, kUnitOhm);
    DefineRolePins(b, false);
}

void DefineShuntDetails(SemiBlock& b) {
    rvo_DefineAttrR("INTERVAL", "DETAILS|MEAS", &b.sub[0].interval, kUnitSecond, kShown);
}

// The supply's sense terminals on (or off) the force pins' lines.
ViStatus SenseAtPins(ViSession psu, BusLine hi, BusLine lo, bool on) {
    ViStatus s = on ? rspsu_Connect(psu, kSenseHi, kLineNames[hi])
                    : rspsu_Disconnect(psu, kSenseHi, kLineNames[hi]);
    if (s >= 0) {
        s = on ? rspsu_Connect(psu, kSenseLo, kLineNames[lo])
               : rspsu_Disconnect(psu, kSenseLo, kLineNames[lo]);
    }
    return s;
}

long MeasureShunt(SemiBlock& b, PinConnector& pins, ModuleErrors& errors, StepError& error) {
    BenchRecord& bench = *b.head.bench;
    IctHardware& ict = bench.ict;
    const ViSession psam = bench.ictModules[kIctPsam].handle;
    if (!bench.ictModules[kIctPsu].inUse) {
        error.Set(kErrResource, kNoPsuAvailable);
        return 0;
    }
    const ViSession psu = bench.ictModules[kIctPsu].handle;
    SubBlock& s = b.sub[0];
    const SubRead m = ReadSettingsOf(s, true);
    if (bench.ictModules[kIctPict].inUse) {
        errors.pict = ConfigureCmu(ict.cmu, bench.ictModules[kIctPict].handle, kCmuOpen, 0, 0, 0, 0,
                                   0, -1.0, -1.0, kKeep, -1.0, -1.0, kKeep);
        if (errors.pict < 0) {
            return 0;
        }
        errors.pict = 0;
    }
    errors.psam =
        ConfigureDcs(ict.dcs, psam, 1, 0, 0, 0, 0, kKeep, kKeepReal, kKeepReal, kKeep, kKeep);
    if (errors.psam < 0) {
        return 0;
    }
    const RolePair& p = b.roles->pairs[0];
    const BusLine hi = LineOf(p.hiGroup, *HiPin(b, 0));
    const BusLine lo = LineOf(p.loGroup, *LoPin(b, 0));
    errors.psu = ConfigurePsu(ict.psu, psu, kPsuSecondChannelAmpere, 0, 0, kKeepReal, kKeepReal,
                              PsuBit(hi), PsuBit(lo), s.voltage, s.current);
    if (errors.psu < 0 || (errors.psu = SenseAtPins(psu, hi, lo, true)) < 0) {
        return 0;
    }
    const double range =
        kMuVoltageRanges[std::min<uint32_t>(b.head.record->sub[0].vrIndex, kVoltageRangeCount - 1)];
    errors.psam = ConfigureMu(ict.mu, psam, kMuVoltage, 0x88, 0x44, range, m.filterHertz, m.samples,
                              s.interval, s.delay, 1);
    if (errors.psam < 0) {
        return 0;
    }
    errors.psam = 0;
    if (!ConnectPair(b, 0, pins, errors)) {
        return 0;
    }
    MarkTime(b.head, kTimeSetup);
    bool over = false;
    if (!ReadMeter(b, 0, m, range, kGraphSense, over, errors)) {
        return 0;
    }
    double current = 0;
    if ((errors.psu = rspsu_Measure(psu, kSecondChannel, RSPSU_MEASURE_CURRENT, &current)) < 0) {
        return 0;
    }
    // The sense terminals leave the bus; the force terminals stay until the coupling goes off.
    if ((errors.psu = SenseAtPins(psu, hi, lo, false)) < 0) {
        return 0;
    }
    errors.psu = 0;
    MarkTime(b.head, kTimeMeasure);
    char comment[64];
    CopyText(comment, kTagShunt);
    if (over) {
        s.mean = kAboveRange;
        AppendMarker(comment, sizeof comment, kMarkOver);
    }
    if (current > 0) {
        s.value = s.mean / current;
        s.valid = over ? 0 : 1;
    }
    return VerifySub(b, 0, kResultShunt, kUnitOhm, comment);
}

constexpr SemiClass kShunt = {kShuntClass, 1, DefineShunt, DefineShuntDetails, MeasureShunt};

} // namespace

EN_NEV_RESULT TestShunt(ComponentCall& call) {
    return RunSemiMethod(call, kShunt);
}

} // namespace kora
