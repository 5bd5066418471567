// The diode and Z-diode tests. DIODE: the forward voltage at a forced current (the PSAM's source
// in current mode, its meter across the pins, the cathode at the PICT's virtual ground) and, when
// enabled, the reverse current at a reverse voltage read by the PICT's measurement unit.
// Z-DIODE: the PSU's second channel drives its current limit through the part in the reverse
// direction and the PSAM's meter reads the Zener voltage.
#include "ictx/measure/component_tests.h"
#include "ictx/measure/semis_frame.h"

#include "ictx/program/component_compile.h"

#include "frame/step_frame.h"
#include "frame/text.h"

#include <rspict.h>

#include <algorithm>
#include <array>

namespace kora {

namespace {

constexpr ClassTraits kDiodeClass = {
    "DIODE", "", "ICTX_DIODE", "ICTX_DIODE[ %li ]\n\nBENCH=%s\n\n%s", "", kUnitVolt};
constexpr ClassTraits kZDiodeClass = {
    "Z-DIODE", "", "ICTX_ZDIODE", "ICTX_ZDIODE[ %li ]\n\nBENCH=%s\n\n%s", "", kUnitVolt};

constexpr const char* kGraphForward = "FORWARD VOLTAGE";
constexpr const char* kGraphReverse = "REVERSE CURRENT";
constexpr const char* kTagForward = "DIODE.UF";
constexpr const char* kTagReverse = "DIODE.IR";
constexpr const char* kTagZener = "Z-DIODE.UR";
constexpr const char* kResultReverse = "IR";
constexpr const char* kResultZener = "VREVERSE";
constexpr const char* kMarkOver = ",OR";
constexpr const char* kMarkOverCurrent = ",ORC";
constexpr const char* kMarkUnderCurrent = ",URC";
constexpr const char* kMarkTimeout = ",TOC";

constexpr int kUf = 0;
constexpr int kIr = 1;

// The DC source in current mode (attribute 0), the CMU's signal mode of a DC current read and the
// preset of the PSU's second channel with its 0.1 A range.
constexpr int32_t kCurrentSource = 0;
constexpr int32_t kVoltageSource = 1;
constexpr int32_t kCmuOpen = 1;
constexpr int32_t kCmuDcCurrent = 7;
constexpr int32_t kPsuSecondChannel = 9;

double VoltageRange(const SemiBlock& b, int k) {
    const uint32_t i = b.head.record->sub[k].vrIndex;
    return kMuVoltageRanges[std::min<uint32_t>(i, kVoltageRangeCount - 1)];
}

void DefineDiode(SemiBlock& b) {
    DefineSubStim(b.sub[kUf], "SETTINGS|UF|STIM", "VOLTAGE", "I.LIMIT");
    DefineSubMeas(b.sub[kUf], "SETTINGS|UF|MEAS", false);
    DefineSubStim(b.sub[kIr], "SETTINGS|IR|STIM", "VOLTAGE", "I.LIMIT");
    DefineSubMeas(b.sub[kIr], "SETTINGS|IR|MEAS", false);
    rvo_DefineAttrR("RANGE.I", "SETTINGS|IR|MEAS", &b.sub[kIr].rangeI, kUnitAmpere, kShown);
    rvo_DefineAttrSList("RANGE.SEL", "SETTINGS|IR|MEAS", b.sub[kIr].rangeSel,
                        sizeof b.sub[kIr].rangeSel, kSemiCurrentRangeList, nullptr);
    DefineSubLimits(b, kUf, "VALIDATION|UF", true, kUnitVolt);
    DefineSubLimits(b, kIr, "VALIDATION|IR", true, kUnitAmpere);
    DefineRolePins(b, true);
}

void DefineDiodeDetails(SemiBlock& b) {
    for (int k : {kUf, kIr}) {
        const char* group = k == kUf ? "DETAILS|MEAS|UF" : "DETAILS|MEAS|IR";
        rvo_DefineAttrI("#READ", group, &b.sub[k].reads, 0, kShown);
        rvo_DefineAttrR("TIME", group, &b.sub[k].time, kUnitSecond,
                        "time of complete measurement (AVERAGE * INTERVAL)");
    }
}

void DefineZDiode(SemiBlock& b) {
    DefineSubStim(b.sub[0], "SETTINGS|STIM", "VOLTAGE", "I.LIMIT");
    DefineSubMeas(b.sub[0], "SETTINGS|MEAS", false);
    DefineSubLimits(b, 0, "VALIDATION", false, kUnitVolt);
    DefineRolePins(b, false);
}

void DefineNoDetails(SemiBlock&) {}

// Guard pins of the diode go to the guard driver's C lines.
bool ConnectGuards(SemiBlock& b, PinConnector& pins, ModuleErrors& errors, bool& guarded) {
    guarded = false;
    for (int g = kSlotGp1; g <= kSlotGp4; ++g) {
        const ChannelRecord* pin = b.head.pin[g];
        if (!pin) {
            continue;
        }
        pins.NoteModule(*pin);
        if (!pins.Connect(*pin, LineOf(BusGroup::C, *pin), errors)) {
            return false;
        }
        guarded = true;
    }
    return true;
}

long ReadForward(SemiBlock& b, ModuleErrors& errors, bool& ok) {
    SubBlock& s = b.sub[kUf];
    const SubRead m = ReadSettingsOf(s, false);
    bool over = false;
    ok = ReadMeter(b, kUf, m, VoltageRange(b, kUf), kGraphForward, over, errors);
    if (!ok) {
        return 0;
    }
    s.value = over ? kAboveRange : s.mean;
    s.valid = over ? 0 : 1;
    char comment[64];
    CopyText(comment, kTagForward);
    if (over) {
        AppendMarker(comment, sizeof comment, kMarkOver);
    }
    return VerifySub(b, kUf, b.head.nameText, kUnitVolt, comment);
}

thread_local std::array<double, kMaxReadSamples> tlsCurrent;

long ReadReverse(SemiBlock& b, ModuleErrors& errors, bool& ok) {
    BenchRecord& bench = *b.head.bench;
    const ViSession psam = bench.ictModules[kIctPsam].handle;
    const ViSession pict = bench.ictModules[kIctPict].handle;
    SubBlock& s = b.sub[kIr];
    const SubRead m = ReadSettingsOf(s, false);
    ok = false;
    // The source turns into a voltage source at the reverse voltage; the wiring stays but for
    // the meter, whose 10 Mohm across the pins would pass more than a good diode leaks.
    errors.psam =
        ConfigureMu(bench.ict.mu, psam, kKeep, 0, 0, -1.0, kKeep, kKeep, -1.0, -1.0, kKeep);
    if (errors.psam < 0) {
        return 0;
    }
    errors.psam = ConfigureDcs(bench.ict.dcs, psam, 1, kKeep, kKeep, kKeep, kKeep, kVoltageSource,
                               s.voltage, s.current, 0, kKeep);
    if (errors.psam < 0) {
        return 0;
    }
    errors.psam = 0;
    errors.pict = ConfigureCmu(bench.ict.cmu, pict, kCmuDcCurrent, kKeep, kKeep, kKeep, kKeep,
                               kKeep, s.rangeI, m.filterHertz > 0 ? m.filterHertz : 100000,
                               m.samples, s.interval, s.delay, 1);
    if (errors.pict < 0 || (errors.pict = rspict_WaitForSettling(pict)) < 0) {
        return 0;
    }
    ReadResult read;
    const ViStatus status = CmuRead(pict, tlsCurrent.data(), m.samples, m.smoothing,
                                    kSemiReadTimeoutMs, s.rangeI, &read);
    char comment[64];
    CopyText(comment, kTagReverse);
    if (status == RSPICT_ERROR_NO_SAMPLES) {
        AppendMarker(comment, sizeof comment, kMarkTimeout);
        s.value = kBelowRange;
    } else if (status < 0) {
        errors.pict = status;
        return 0;
    } else {
        // The reverse current leaves the virtual ground into the cathode: reported positive.
        s.mean = -read.mean;
        s.reads = read.count;
        SetGraph(b.head, tlsCurrent.data(), read.count, kGraphReverse);
        if (read.coverage >= 111 || read.coverage <= -111) {
            AppendMarker(comment, sizeof comment, kMarkOverCurrent);
            s.value = kAboveRange;
        } else {
            if (read.coverage == 0) {
                AppendMarker(comment, sizeof comment, kMarkUnderCurrent);
            }
            s.value = s.mean;
            s.valid = 1;
        }
    }
    errors.pict = 0;
    ok = true;
    return VerifySub(b, kIr, kResultReverse, kUnitAmpere, comment);
}

long MeasureDiode(SemiBlock& b, PinConnector& pins, ModuleErrors& errors, StepError& error) {
    BenchRecord& bench = *b.head.bench;
    IctHardware& ict = bench.ict;
    const ViSession psam = bench.ictModules[kIctPsam].handle;
    const bool hasPict = bench.ictModules[kIctPict].inUse != 0;
    if (b.sub[kIr].enabled && !hasPict) {
        error.Set(kErrResource, kNoPictAvailable);
        return 0;
    }
    if (!PsuCouplingOff(bench, errors)) {
        return 0;
    }
    const SubBlock& uf = b.sub[kUf];
    const SubRead m = ReadSettingsOf(uf, false);
    errors.psam = ConfigureMu(ict.mu, psam, kMuVoltage, 0x88, 0x44, VoltageRange(b, kUf),
                              m.filterHertz, m.samples, uf.interval, uf.delay, 1);
    if (errors.psam < 0) {
        return 0;
    }
    // The cathode returns the current into the PICT's virtual ground on the B lines; the source's
    // LO sits with the guard driver. Without a PICT the source's LO takes the B lines itself.
    const int32_t lo = hasPict ? 0x22 : 0x44;
    const int32_t senseLo = hasPict ? 0x11 : 0x44;
    errors.psam = ConfigureDcs(ict.dcs, psam, 1, 0x88, lo, 0x88, senseLo, kCurrentSource,
                               uf.voltage, uf.current, 0, 1);
    if (errors.psam < 0) {
        return 0;
    }
    errors.psam = 0;
    if (hasPict) {
        errors.pict = ConfigureCmu(ict.cmu, bench.ictModules[kIctPict].handle, kCmuOpen, 0x0C, 0xC0,
                                   0xC0, 0x3000, 0, -1.0, -1.0, kKeep, -1.0, -1.0, kKeep);
        if (errors.pict < 0) {
            return 0;
        }
        errors.pict = 0;
    }
    bool guarded = false;
    const RolePair& p = b.roles->pairs[kUf];
    pins.NoteModule(*b.rolePin[p.hi]);
    pins.NoteModule(*b.rolePin[p.lo]);
    if (!pins.Connect(*b.rolePin[p.hi], LineOf(p.hiGroup, *b.rolePin[p.hi]), errors) ||
        !pins.Connect(*b.rolePin[p.lo], LineOf(p.loGroup, *b.rolePin[p.lo]), errors) ||
        !ConnectGuards(b, pins, errors, guarded) || !pins.Settle(guarded && hasPict, errors)) {
        return 0;
    }
    MarkTime(b.head, kTimeSetup);
    long result = 0;
    bool ok = true;
    if (uf.enabled) {
        result = Worse(result, ReadForward(b, errors, ok));
    }
    if (ok && b.sub[kIr].enabled) {
        result = Worse(result, ReadReverse(b, errors, ok));
    }
    MarkTime(b.head, kTimeMeasure);
    return result;
}

long MeasureZDiode(SemiBlock& b, PinConnector& pins, ModuleErrors& errors, StepError& error) {
    BenchRecord& bench = *b.head.bench;
    IctHardware& ict = bench.ict;
    const ViSession psam = bench.ictModules[kIctPsam].handle;
    if (!bench.ictModules[kIctPsu].inUse) {
        error.Set(kErrResource, kNoPsuAvailable);
        return 0;
    }
    SubBlock& s = b.sub[0];
    const SubRead m = ReadSettingsOf(s, false);
    if (bench.ictModules[kIctPict].inUse) {
        errors.pict = ConfigureCmu(ict.cmu, bench.ictModules[kIctPict].handle, kCmuOpen, 0, 0, 0, 0,
                                   0, -1.0, -1.0, kKeep, -1.0, -1.0, kKeep);
        if (errors.pict < 0) {
            return 0;
        }
        errors.pict = 0;
    }
    errors.psam =
        ConfigureDcs(ict.dcs, psam, 0, 0, 0, 0, 0, kKeep, kKeepReal, kKeepReal, kKeep, kKeep);
    if (errors.psam < 0) {
        return 0;
    }
    // The second channel's HI on the cathode's D line, its grounded LO on the anode's C line.
    const ChannelRecord& cathode = *HiPin(b, 0);
    const ChannelRecord& anode = *LoPin(b, 0);
    const RolePair& p = b.roles->pairs[0];
    errors.psu = ConfigurePsu(ict.psu, bench.ictModules[kIctPsu].handle, kPsuSecondChannel, 0, 0,
                              kKeepReal, kKeepReal, PsuBit(LineOf(p.hiGroup, cathode)),
                              PsuBit(LineOf(p.loGroup, anode)), s.voltage, s.current);
    if (errors.psu < 0) {
        return 0;
    }
    errors.psu = 0;
    errors.psam = ConfigureMu(ict.mu, psam, kMuVoltage, 0x11, 0x22, VoltageRange(b, 0),
                              m.filterHertz, m.samples, s.interval, s.delay, 1);
    if (errors.psam < 0) {
        return 0;
    }
    errors.psam = 0;
    if (!ConnectPair(b, 0, pins, errors)) {
        return 0;
    }
    MarkTime(b.head, kTimeSetup);
    bool over = false;
    if (!ReadMeter(b, 0, m, VoltageRange(b, 0), kGraphVoltage, over, errors)) {
        return 0;
    }
    MarkTime(b.head, kTimeMeasure);
    s.value = over ? kAboveRange : s.mean;
    s.valid = over ? 0 : 1;
    char comment[64];
    CopyText(comment, kTagZener);
    if (over) {
        AppendMarker(comment, sizeof comment, kMarkOver);
    }
    return VerifySub(b, 0, kResultZener, kUnitVolt, comment);
}

constexpr SemiClass kDiode = {kDiodeClass, 2, DefineDiode, DefineDiodeDetails, MeasureDiode};
constexpr SemiClass kZDiode = {kZDiodeClass, 1, DefineZDiode, DefineNoDetails, MeasureZDiode};

} // namespace

EN_NEV_RESULT TestDiode(ComponentCall& call) {
    return RunSemiMethod(call, kDiode);
}

EN_NEV_RESULT TestZDiode(ComponentCall& call) {
    return RunSemiMethod(call, kZDiode);
}

} // namespace kora
