// The transistor and FET tests. A bipolar transistor is checked as its two junctions, base to
// emitter ("UBE") and base to collector ("UBC"), each the forward voltage at a forced current; a
// FET as its channel's voltage at a forced current with the gate driven on ("VDS.ON") and off
// ("VDS.OFF") by the PICT's analog output in DC mode.
#include "ictx/measure/component_tests.h"
#include "ictx/measure/semis_frame.h"

#include "ictx/program/component_compile.h"

#include "frame/step_frame.h"
#include "frame/text.h"

#include <algorithm>
#include <cmath>

namespace kora {

namespace {

constexpr ClassTraits kBipolarClass = {
    "TRANSISTOR", "",       "ICTX_TRANSISTOR_BIP", "ICTX_TRANSISTOR_BIP[ %li ]\n\nBENCH=%s\n\n%s",
    "",           kUnitVolt};
constexpr ClassTraits kFetClass = {
    "FET", "",       "ICTX_TRANSISTOR_FET", "ICTX_TRANSISTOR_FET[ % li ]\n\nBENCH=%s\n\n%s",
    "",    kUnitVolt};

struct SubNames {
    const char* stim;
    const char* meas;
    const char* limits;
    const char* details;
    const char* result; // "%s" = component name
    const char* tag;
    const char* graph;
};
constexpr SubNames kBipolarSubs[2] = {
    {"SETTINGS|UBE|STIM", "SETTINGS|UBE|MEAS", "VALIDATION|UBE", "DETAILS|MEAS|VBE", "%s.UBE",
     "UBE", "VOLTAGE"},
    {"SETTINGS|UBC|STIM", "SETTINGS|UBC|MEAS", "VALIDATION|UBC", "DETAILS|MEAS|VBC", "%s.UBC",
     "UBC", "VOLTAGE"},
};
constexpr SubNames kFetSubs[2] = {
    {"SETTINGS|VDS.ON|STIM", "SETTINGS|VDS.ON|MEAS", "VALIDATION|VDS.ON", "DETAILS|MEAS|VDS.ON",
     "%s.UDS.ON", "UDS.ON", "VOLTAGE"},
    {"SETTINGS|VDS.OFF|STIM", "SETTINGS|VDS.OFF|MEAS", "VALIDATION|VDS.OFF", "DETAILS|MEAS|VDS.OFF",
     "%s.UDS.OFF", "UDS.OFF", "VOLTAGE"},
};
constexpr const char* kMarkOver = ",OR";

constexpr int32_t kCurrentSource = 0;
constexpr int32_t kCmuOpen = 1;
// Gate drive of a FET: the level that turns the channel on, and the impedance the gate is driven
// through (the AOS's DC series resistance: 0, 10, 100 or 1000 ohm), when the file gives none.
constexpr double kGateOnLevel = 5.0;
constexpr double kGateImpedance = 1000.0;
constexpr double kGateRange = 1000.0;

bool IsFet(const SemiBlock& b) {
    return b.head.classCode == kClassNFet || b.head.classCode == kClassPFet;
}

const SubNames* NamesOf(const SemiBlock& b) {
    return IsFet(b) ? kFetSubs : kBipolarSubs;
}

// FET gate levels: the on level from the file's SV (else 5 V, negative for a P channel); off
// is the source's own potential: 0 V for an N channel (its source at the grounded LO), the drain
// supply for a P channel (its source is the driven end and rises to it when the channel is off).
void LoadGate(SemiBlock& b) {
    const ComponentRecord& r = *b.head.record;
    const bool pChannel = b.head.classCode == kClassPFet;
    const bool given = (r.paramMask & kParamSV) != 0;
    for (int k = 0; k < 2; ++k) {
        SubBlock& s = b.sub[k];
        s.gateImp = r.sub[k].si > 0 ? r.sub[k].si : kGateImpedance;
        if (given && r.sub[k].sv != 0) {
            s.gateLevel = r.sub[k].sv;
        } else if (k == 0) {
            s.gateLevel = pChannel ? -kGateOnLevel : kGateOnLevel;
        } else {
            s.gateLevel = pChannel ? std::fabs(s.voltage) : 0.0;
        }
    }
}

void DefineTransistor(SemiBlock& b) {
    if (IsFet(b)) {
        LoadGate(b);
    }
    const SubNames* names = NamesOf(b);
    for (int k = 0; k < 2; ++k) {
        SubBlock& s = b.sub[k];
        if (IsFet(b)) {
            rvo_DefineAttrR("GS.VOLTAGE", names[k].stim, &s.gateLevel, kUnitVolt, nullptr);
            rvo_DefineAttrR("GATE.IMP", names[k].stim, &s.gateImp, kUnitOhm, nullptr);
            DefineSubStim(s, names[k].stim, "DS.VOLTAGE", "DS.ILIMIT");
        } else {
            DefineSubStim(s, names[k].stim, "VOLTAGE", "I.LIMIT");
        }
        DefineSubMeas(s, names[k].meas, true);
    }
    for (int k = 0; k < 2; ++k) {
        DefineSubLimits(b, k, names[k].limits, false, kUnitVolt);
    }
    DefineRolePins(b, false);
}

void DefineTransistorDetails(SemiBlock& b) {
    const SubNames* names = NamesOf(b);
    for (int k = 0; k < 2; ++k) {
        rvo_DefineAttrI("#READ", names[k].details, &b.sub[k].reads, 0, kShown);
        rvo_DefineAttrR("INTERVAL", names[k].details, &b.sub[k].interval, kUnitSecond, kShown);
    }
}

// One sub-test: configure, connect its pins, read, verify.
long MeasureSub(SemiBlock& b, int k, PinConnector& pins, ModuleErrors& errors, bool& ok) {
    BenchRecord& bench = *b.head.bench;
    IctHardware& ict = bench.ict;
    const ViSession psam = bench.ictModules[kIctPsam].handle;
    SubBlock& s = b.sub[k];
    const SubRead m = ReadSettingsOf(s, true);
    const double range =
        kMuVoltageRanges[std::min<uint32_t>(b.head.record->sub[k].vrIndex, kVoltageRangeCount - 1)];
    ok = false;
    int32_t aosMask = 0;
    if (const ChannelRecord* gate = GatePin(b, k)) {
        aosMask = PictBit(LineOf(b.roles->pairs[k].gateGroup, *gate));
    }
    if (bench.ictModules[kIctPict].inUse) {
        const ViSession pict = bench.ictModules[kIctPict].handle;
        if (IsFet(b)) {
            errors.pict = ConfigureAos(ict.aos, pict, kAosDc, kKeepReal, s.gateLevel, 0.0,
                                       s.gateImp > 0 ? s.gateImp : 0.0);
            if (errors.pict < 0) {
                return 0;
            }
        }
        errors.pict = ConfigureCmu(ict.cmu, pict, kCmuOpen, 0, 0, 0, 0, aosMask, -1.0, -1.0, kKeep,
                                   -1.0, -1.0, kKeep);
        if (errors.pict < 0) {
            return 0;
        }
        errors.pict = 0;
    }
    errors.psam = ConfigureMu(ict.mu, psam, kMuVoltage, 0x88, 0x22, range, m.filterHertz, m.samples,
                              s.interval, s.delay, 1);
    if (errors.psam < 0) {
        return 0;
    }
    // The current runs from HI to LO for a positive voltage setting and back for a negative one:
    // a PNP's junctions are read from the base like an NPN's and come out negative.
    const double current = std::copysign(std::fabs(s.current), s.voltage);
    errors.psam = ConfigureDcs(ict.dcs, psam, 1, 0x88, 0x22, 0x88, 0x22, kCurrentSource, s.voltage,
                               current, 0, 1);
    if (errors.psam < 0) {
        return 0;
    }
    errors.psam = 0;
    if (!ConnectPair(b, k, pins, errors)) {
        return 0;
    }
    bool over = false;
    if (!ReadMeter(b, k, m, range, NamesOf(b)[k].graph, over, errors)) {
        return 0;
    }
    ok = true;
    s.value = over ? kAboveRange : s.mean;
    s.valid = over ? 0 : 1;
    char comment[64];
    CopyText(comment, NamesOf(b)[k].tag);
    if (over) {
        AppendMarker(comment, sizeof comment, kMarkOver);
    }
    char name[160];
    FormatText(name, sizeof name, NamesOf(b)[k].result, OrEmpty(b.head.record->name));
    return VerifySub(b, k, name, kUnitVolt, comment);
}

long MeasureTransistor(SemiBlock& b, PinConnector& pins, ModuleErrors& errors, StepError& error) {
    BenchRecord& bench = *b.head.bench;
    if (IsFet(b) && !bench.ictModules[kIctPict].inUse) {
        error.Set(kErrResource, kNoPictAvailable);
        return 0;
    }
    if (!PsuCouplingOff(bench, errors)) {
        return 0;
    }
    long result = 0;
    bool first = true;
    for (int k = 0; k < 2; ++k) {
        if (!b.sub[k].enabled) {
            continue;
        }
        // Each sub-test has its own pin pair: the one before leaves the bus first.
        if (!first) {
            pins.Disconnect(errors);
            if (errors.sm160 < 0) {
                return result;
            }
        }
        first = false;
        bool ok = false;
        result = Worse(result, MeasureSub(b, k, pins, errors, ok));
        if (k == 0) {
            MarkTime(b.head, kTimeSetup);
        }
        if (!ok) {
            return result;
        }
    }
    MarkTime(b.head, kTimeMeasure);
    return result;
}

constexpr SemiClass kBipolar = {kBipolarClass, 2, DefineTransistor, DefineTransistorDetails,
                                MeasureTransistor};
constexpr SemiClass kFet = {kFetClass, 2, DefineTransistor, DefineTransistorDetails,
                            MeasureTransistor};

} // namespace

EN_NEV_RESULT TestTransistor(ComponentCall& call) {
    const bool fet = call.record &&
                     (call.record->classCode == kClassNFet || call.record->classCode == kClassPFet);
    return RunSemiMethod(call, fet ? kFet : kBipolar);
}

} // namespace kora
