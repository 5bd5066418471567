#include "ictx/program/component_compile.h"

#include "frame/args.h"
#include "frame/errors.h"
#include "frame/text.h"
#include "ictx/program/vector_items.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace kora {

namespace {

constexpr const char* kFailFormat = "%s %s (ID=%li)\n";
constexpr const char* kNoNominal = "NOMINAL VALUE not defined";
constexpr const char* kNoTestPins = "TEST PINS not defined";
constexpr const char* kNoTestPinsTP = "TEST PINS (TP) not defined";
constexpr const char* kNoSensePins = "TEST SENSE PINS not defined";
constexpr const char* kShuntTooHigh = "NOMINAL VALUE of shunt resistor to high";
constexpr const char* kBadPartType = "Invalid PART TYPE (PT)";
constexpr const char* kBadShortMode = "Invalid SHORT MODE (MM=\"?x\")";
constexpr const char* kBadOpenMode = "Invalid OPEN MODE (MM=\"x?x\")";
constexpr const char* kBadResultMode = "Invalid RESULT MODE (MM=\"xx?\")";
constexpr const char* kBadTrackMode = "Invalid TRACK MODE (MM=\"?x\")";
constexpr const char* kUnlinked = "%li unlinked DIGITAL VECTOR(S) found\n\n";

constexpr const char* kTransistorTypes = "NPN,PNP,N-CHAN,P-CHAN";
constexpr const char* kRelayTypes = "NO,NC";
constexpr const char* kCapacitorModels = "CP,CS,RP,RS,ZM,ZP";
constexpr const char* kInductorModels = "LP,LS,RP,RS,ZM,ZP";
constexpr const char* kPolarised = "POL";

constexpr double kRangeSlack = 1e-6; // a value written with 7 digits still selects its range
constexpr double kMinInterval = 5e-6;
constexpr double kMaxInterval = 1e-3;
constexpr int32_t kMaxAverage = 8192;

double Clamp(double v, double lo, double hi) {
    return v < lo ? lo : v > hi ? hi : v;
}

class Compiler {
  public:
    Compiler(ComponentRecord& r, char* error) : r_(r), error_(error) {}

    int Run() {
        if (Has(kParamMM) && r_.mm) {
            const std::size_t len = std::strlen(r_.mm);
            for (std::size_t k = 0; k < kSubTests; ++k) {
                r_.sub[k].mode = k < len ? r_.mm[k] : '\0';
            }
        }
        if (r_.classCode < kClassDischarge || r_.classCode > kClassDigital) {
            return 0;
        }
        if (!Class()) {
            r_.classCode = kClassFailed;
            return 1;
        }
        CommonClamps();
        for (SubTest& s : r_.sub) {
            s.mfIndex = SampleRateIndex(s.mf);
        }
        return 0;
    }

  private:
    bool Has(uint32_t bit) const { return (r_.paramMask & bit) != 0; }
    bool Compensation() const { return (r_.flags & kFlagCompensation) != 0; }
    SubTest& S(int k) { return r_.sub[k]; }

    bool Fail(const char* message) {
        FormatText(error_, kMessageSize, kFailFormat, message, r_.name ? r_.name : "",
                   static_cast<long>(r_.index));
        return false;
    }

    // Mode characters of a class that has defaults, when the file gives none.
    void DefaultModes(const char* modes) {
        if (!Has(kParamMM)) {
            for (int k = 0; k < kSubTests; ++k) {
                S(k).mode = modes[k];
                if (!modes[k]) {
                    break;
                }
            }
        }
    }

    void DisableDashModes() {
        for (uint32_t k = 0; k < r_.subTestCount && k < kSubTests; ++k) {
            if (S(static_cast<int>(k)).mode == '-') {
                S(static_cast<int>(k)).enable = 0;
            }
        }
    }

    void Default(double& field, uint32_t bit, double value) {
        if (!Has(bit)) {
            field = value;
        }
    }
    void Default(int32_t& field, uint32_t bit, int32_t value) {
        if (!Has(bit)) {
            field = value;
        }
    }

    // Limits from the nominal and the tolerances: LL = NV (1 + NV-/100 - e),
    // UL = NV (1 + NV+/100 + e); the tolerances default when neither is given.
    void ToleranceLimits(int k, double e, double tolerance) {
        SubTest& s = S(k);
        double plus = s.nvPlus, minus = s.nvMinus;
        if (!Has(kParamNVPlus) && !Has(kParamNVMinus)) {
            plus = tolerance;
            minus = -tolerance;
        }
        SetLimits(k, s.nv * (1 + minus / 100 - e), s.nv * (1 + plus / 100 + e));
    }

    // Sets the limits the file does not give; derived limits are marked as present so that a
    // saved file states them.
    void SetLimits(int k, double low, double high) {
        if (!Has(kParamLL)) {
            S(k).ll = std::min(low, high);
            derived_ |= kParamLL;
        }
        if (!Has(kParamUL)) {
            S(k).ul = std::max(low, high);
            derived_ |= kParamUL;
        }
    }

    void PublishLimits() { r_.paramMask |= derived_; }

    // A pin line with an empty text names no pin (and is not written back).
    template <std::size_t N> static bool AnyPin(const char* const (&pins)[N]) {
        for (const char* pin : pins) {
            if (pin && pin[0]) {
                return true;
            }
        }
        return false;
    }

    bool NeedTestPins(const char* message) { return AnyPin(r_.tp) || Fail(message); }

    bool Class() {
        switch (r_.classCode) {
        case kClassDischarge:
            return Discharge();
        case kClassContact:
            return Contact();
        case kClassTrack:
            return Track();
        case kClassCapacitor:
        case kClassInductor:
            return Reactive(r_.classCode == kClassInductor);
        case kClassResistor:
            return Resistor();
        case kClassDiode:
            return Diode();
        case kClassPhotocoupler:
            return Photocoupler();
        case kClassTransistor:
        case kClassFet:
            return Transistor();
        case kClassShunt:
            return Shunt();
        case kClassZDiode:
            return ZDiode();
        case kClassVaristor:
            return Varistor();
        case kClassRelay:
            return Relay();
        case kClassDigital:
            return Digital();
        default:
            DisableDashModes();
            return true;
        }
    }

    bool Discharge() {
        DisableDashModes();
        Default(S(0).nv, kParamNV, 0.5);
        Default(S(1).nv, kParamNV, 2.0);
        S(0).nv = Clamp(S(0).nv, 0.1, 1.0);
        S(1).nv = Clamp(S(1).nv, 1.0, 5.0);
        SetLimits(0, 0.1, 1.0);
        SetLimits(1, 1.0, 5.0);
        for (int k = 0; k < 2; ++k) {
            S(k).ll = Clamp(S(k).ll, k == 0 ? 0.1 : 1.0, k == 0 ? 1.0 : 5.0);
            S(k).ul = Clamp(S(k).ul, k == 0 ? 0.1 : 1.0, k == 0 ? 1.0 : 5.0);
        }
        PublishLimits();
        S(2).mt = Clamp(Has(kParamMT) ? S(0).mt : 0.5, 0.01, 5.0);
        Default(S(0).vr, kParamVR, 10);
        Default(S(1).vr, kParamVR, 100);
        for (int k = 0; k < 2; ++k) {
            S(k).vrIndex = RangeIndex(kVoltageRanges, S(k).vr);
            Default(S(k).mf, kParamMF, 100000);
            Default(S(k).ma, kParamMA, 15);
        }
        return true;
    }

    static bool ValidMode(char c, const char* accepted) {
        return c != 0 && std::strchr(accepted, c) != nullptr;
    }

    bool Contact() {
        if (Has(kParamMM)) {
            if (!ValidMode(S(0).mode, "NF-")) {
                return Fail(kBadShortMode);
            }
            if (!ValidMode(S(1).mode, "NF-")) {
                return Fail(kBadOpenMode);
            }
            if (S(2).mode == 0) {
                S(2).mode = '-';
            } else if (!ValidMode(S(2).mode, "-A")) {
                return Fail(kBadResultMode);
            }
        } else {
            DefaultModes("NN-");
            // A file that gives only one of the limits asks for only that test; the modes are
            // then stated in a saved file, whose limits are both present.
            if (Has(kParamUL) != Has(kParamLL)) {
                S(Has(kParamUL) ? 0 : 1).mode = '-';
                r_.paramMask |= kParamMM;
            }
        }
        DisableDashModes();
        Default(S(0).v, kParamV, 0.2);
        Default(S(1).v, kParamV, 5.0);
        S(0).v = Clamp(S(0).v, 0.2, 5.0);
        S(1).v = Clamp(S(1).v, 1.0, 5.0);
        Default(S(0).nv, kParamNV, 10);
        Default(S(1).nv, kParamNV, 1e6);
        S(0).nv = Clamp(S(0).nv, 5, 100);
        S(1).nv = Clamp(S(1).nv, 1e4, 1e7);
        SetLimits(0, 5, 100);
        SetLimits(1, 1e4, 1e7);
        S(0).ll = Clamp(S(0).ll, 5, 100);
        S(0).ul = Clamp(S(0).ul, 5, 100);
        S(1).ll = Clamp(S(1).ll, 1e4, 1e7);
        S(1).ul = Clamp(S(1).ul, 1e4, 1e7);
        PublishLimits();
        const int32_t rates[2] = {100000, 1000000};
        const int32_t averages[2] = {50, 100};
        for (int k = 0; k < 2; ++k) {
            SubTest& s = S(k);
            Default(s.vr, kParamVR, 5);
            s.vrIndex = RangeIndex(kVoltageRanges, s.vr);
            s.c = s.v / s.nv;
            Default(s.cr, kParamCR, k == 0 ? 0.1 : 1000 * s.c);
            s.crIndex = RangeIndex(kCurrentRanges, s.cr);
            Default(s.mf, kParamMF, rates[k]);
            Default(s.ma, kParamMA, averages[k]);
            s.md = 0;
        }
        return true;
    }

    bool Track() {
        if (Has(kParamMM) ? !ValidMode(S(0).mode, "NF-") : false) {
            return Fail(kBadTrackMode);
        }
        DefaultModes("N");
        DisableDashModes();
        SubTest& s = S(0);
        Default(s.v, kParamV, 0.2);
        s.v = Clamp(s.v, 0.2, 5.0);
        Default(s.nv, kParamNV, 10);
        s.nv = Clamp(s.nv, 5, 100);
        SetLimits(0, 5, 100);
        s.ll = Clamp(s.ll, 5, 100);
        s.ul = Clamp(s.ul, 5, 100);
        PublishLimits();
        Default(s.vr, kParamVR, 5);
        s.vrIndex = RangeIndex(kVoltageRanges, s.vr);
        s.c = s.v / s.nv;
        Default(s.cr, kParamCR, 0.1);
        s.crIndex = RangeIndex(kCurrentRanges, s.cr);
        Default(s.mf, kParamMF, 100000);
        Default(s.ma, kParamMA, 50);
        return true;
    }

    // Capacitor and inductor: AC measurement at one level and frequency.
    bool Reactive(bool inductor) {
        const bool comp = Compensation();
        if (!comp && !Has(kParamNV)) {
            return Fail(kNoNominal);
        }
        if (!comp && !AnyPin(r_.tp)) {
            return Fail(kNoTestPins);
        }
        DisableDashModes();
        SubTest& s = S(0);
        const char model[3] = {s.mode, S(1).mode, 0};
        const int m = MatchKeyword(model, inductor ? kInductorModels : kCapacitorModels, ',');
        // Without a model a capacitor is verified by its parallel capacitance ("CP", the first
        // of its list) and an inductor by its series inductance ("LS"): a winding's resistance
        // is in series with it, and IND-SER is the first model its test offers.
        constexpr uint32_t kInductorSeries = 1;
        s.modeIndex = m > 0 ? static_cast<uint32_t>(m - 1) : inductor ? kInductorSeries : 0;
        if (comp) {
            // Everything derived from the nominal follows the compensation nominal, so that the
            // saved component compiles to the same settings when it is loaded again.
            s.nv = inductor ? 4e-6 : 100e-12;
        }
        double e, frequency, range;
        if (inductor) {
            e = s.nv >= 30 ? 0.05 : s.nv > 5e-3 ? 0.02 : 0.03;
            frequency = s.nv <= 5e-3 ? 10000 : s.nv <= 1 ? 1000 : 100;
            // The current a 0.2 V sine drives through the inductance.
            const double z = 2 * std::numbers::pi * frequency * std::fabs(s.nv);
            range = z > 0 ? Clamp(0.2 / z, 5e-6, 0.1) : 0.1;
            range = kCurrentRanges[RangeIndex(kCurrentRanges, range)];
        } else {
            e = s.nv >= 1e-3 ? 0.05 : s.nv >= 200e-6 ? 0.02 : s.nv > 200e-9 ? 0.01 : 0.012;
            frequency = s.nv > 5e-6 ? 100 : s.nv > 200e-9 ? 1000 : 10000;
            range = s.nv >= 200e-6 ? 0.1 : s.nv > 5e-6 ? 20e-3 : s.nv > 200e-9 ? 2e-3 : 20e-6;
        }
        if (comp) {
            s.ll = inductor ? 1e-6 : 40e-12;
            s.ul = inductor ? 10e-6 : 140e-12;
            r_.paramMask |= kParamNV | kParamLL | kParamUL;
            // A capacitor's stray is measured open at 1 V and 10 kHz. An inductor's is measured
            // on a short plate, where only the leads limit the current: at the lowest level,
            // with the range searched, at the frequency its nominal gives.
            const uint32_t level = inductor ? 0 : 2;
            s.v = kAcLevels[level];
            s.vIndex = level;
            s.fIndex = inductor ? RangeIndex(kTestFrequencies, frequency) : 2;
            s.f = kTestFrequencies[s.fIndex];
            if (inductor) {
                s.ar = 1;
            }
        } else {
            ToleranceLimits(0, e, 10);
            PublishLimits();
            if (Has(kParamV)) {
                s.vIndex = RangeIndex(kAcLevels, s.v);
            } else {
                s.v = kAcLevels[1];
                s.vIndex = 1;
            }
            if (Has(kParamF)) {
                s.fIndex = s.f < 1000 ? 0 : s.f < 10000 ? 1 : 2;
            } else {
                s.f = frequency;
                s.fIndex = RangeIndex(kTestFrequencies, frequency);
            }
        }
        if (r_.pt && std::strcmp(r_.pt, kPolarised) == 0) {
            s.voIndex = 1;
            s.vo = kOffsets[1];
        } else if (Has(kParamVO)) {
            s.voIndex = s.vo > 0 ? 1 : s.vo < 0 ? 2 : 0;
        } else {
            s.vo = 0;
            s.voIndex = 0;
        }
        const bool offset = s.voIndex != 0;
        const double level = kAcLevels[s.vIndex];
        if (Has(kParamVR)) {
            s.vr = Clamp(s.vr, 0.1, 5);
        } else {
            s.vr = (inductor ? 4 : 2) * level * (offset ? 1.5 : 1);
        }
        s.vrIndex = RangeIndex(kVoltageRanges, s.vr);
        s.cr = Has(kParamCR) ? Clamp(s.cr, 5e-6, 0.1) : range;
        s.crIndex = RangeIndex(kCurrentRanges, s.cr);
        if (inductor) {
            Default(s.md, kParamMD, s.nv >= 2 ? 1.0 : 0.4 * s.nv);
        } else if (offset) {
            Default(s.md, kParamMD, std::min(s.nv * 1000 / 6, 2.0));
            Default(s.ma, kParamMA, 5);
        }
        // The impedance and phase models are verified in the second and third blocks.
        if (s.modeIndex == 4 || s.modeIndex == 5) {
            SubTest& target = S(s.modeIndex == 4 ? 1 : 2);
            target.nv = s.nv;
            target.nvPlus = s.nvPlus;
            target.nvMinus = s.nvMinus;
            target.ll = s.ll;
            target.ul = s.ul;
        }
        return true;
    }

    bool Resistor() {
        const bool comp = Compensation();
        if (!comp && !Has(kParamNV)) {
            return Fail(kNoNominal);
        }
        if (!comp && !AnyPin(r_.tp)) {
            return Fail(kNoTestPins);
        }
        DisableDashModes();
        SubTest& s = S(0);
        if (comp) {
            s.mode = 'C';
            s.nv = 1.5;
            s.ll = 1.0;
            s.ul = 2.0;
            r_.paramMask |= kParamNV | kParamLL | kParamUL;
        } else {
            if (!Has(kParamMM)) {
                s.mode = s.nv < 10 ? 'C' : 'V';
            } else if (s.mode != 'C' && s.mode != '-') {
                s.mode = 'V';
            }
            if (s.nv < 0.5) {
                SetLimits(0, s.nv - 0.1, s.nv + 0.25);
            } else {
                ToleranceLimits(0, 0, 1);
            }
            PublishLimits();
        }
        const bool current = s.mode == 'C';
        if (Has(kParamV)) {
            s.v = Clamp(s.v, 0.2, 5);
        } else {
            s.v = s.nv < 1 ? 0.5 : s.nv >= 1e6 ? 5 : s.nv >= 1e5 ? 1 : 0.2;
        }
        const double expected = s.nv > 0 ? Clamp(s.v / s.nv, 3e-6, 0.1) : 0.1;
        // The source needs room around the part's own current: in voltage mode the limit stays
        // clear of the current it measures, in current mode the drop stays at half the voltage
        // compliance, and with guard pins the source feeds the guarded paths too.
        const double room = AnyPin(r_.gp) ? 0.1 : current ? expected / 2 : 2 * expected;
        s.c = Clamp(Has(kParamC) ? s.c : room, 3e-6, 0.1);
        Default(s.vr, kParamVR, current ? s.c * s.nv : s.v);
        s.vrIndex = RangeIndex(kVoltageRanges, s.vr);
        Default(s.cr, kParamCR, current ? s.c : expected);
        s.crIndex = RangeIndex(kCurrentRanges, s.cr);
        return true;
    }

    // Source voltage and current with their ranges, each clamped to the source's reach.
    void SourceSettings(int k, double voltage, double vmin, double vmax, double current) {
        SubTest& s = S(k);
        Default(s.v, kParamV, voltage);
        s.v = Clamp(s.v, vmin, vmax);
        s.vr = Has(kParamVR) ? Clamp(s.vr, 0.2, 5) : Clamp(std::fabs(s.v), 0.2, 5);
        s.vrIndex = RangeIndex(kVoltageRanges, s.vr);
        Default(s.c, kParamC, current);
        s.c = Clamp(s.c, 3e-6, 0.1);
        s.cr = Clamp(Has(kParamCR) ? s.cr : s.c, 5e-6, 0.1);
        s.crIndex = RangeIndex(kCurrentRanges, s.cr);
    }

    bool Diode() {
        if (!NeedTestPins(kNoTestPins)) {
            return false;
        }
        DefaultModes("V-");
        DisableDashModes();
        Default(S(0).nv, kParamNV, 0.7);
        for (int k = 0; k < 2; ++k) {
            SetLimits(k, 0.95 * S(k).nv, 1.05 * S(k).nv);
        }
        PublishLimits();
        SourceSettings(0, std::max(S(0).nv, S(0).ul) + 0.5, -5, 5, 5e-3);
        SourceSettings(1, -1.5, -5, -0.2, 1e-4);
        return true;
    }

    bool Photocoupler() {
        if (!NeedTestPins(kNoTestPins)) {
            return false;
        }
        DefaultModes("VV-");
        DisableDashModes();
        const double nominals[kSubTests] = {0.5, 5, 1.5};
        const bool middle = Has(kParamLL) && Has(kParamUL);
        for (int k = 0; k < kSubTests; ++k) {
            if (!Has(kParamNV)) {
                S(k).nv = middle ? (S(k).ll + S(k).ul) / 2 : nominals[k];
            }
            ToleranceLimits(k, 0, 10);
            SourceSettings(k, 5, -5, 5, 5e-3);
        }
        // The nominal depends on which limits the file gives; a saved file, which states both,
        // states the nominal too.
        derived_ |= kParamNV;
        PublishLimits();
        return true;
    }

    bool Transistor() {
        const int type = MatchKeyword(r_.pt, kTransistorTypes, ',');
        if (type == 0) {
            return Fail(kBadPartType);
        }
        if (!NeedTestPins(kNoTestPinsTP)) {
            return false;
        }
        static constexpr uint32_t kCodes[] = {kClassNpn, kClassPnp, kClassNFet, kClassPFet};
        r_.classCode = kCodes[type - 1];
        const bool fet = type >= 3;
        const bool pnp = type == 2;
        DefaultModes("VV");
        DisableDashModes();
        if (fet) {
            S(2).enable = 0;
        }
        for (int k = 0; k < 2; ++k) {
            Default(S(k).nv, kParamNV, fet ? (k == 0 ? 0 : 5) : pnp ? -0.7 : 0.7);
        }
        for (int k = 0; k < 2; ++k) {
            const double center = fet ? S(k).nv : S(0).nv;
            const double width = fet ? 0.1 : 0.2;
            SetLimits(k, center - width, center + width);
        }
        PublishLimits();
        for (int k = 0; k < 2; ++k) {
            const SubTest& s = S(k);
            const double v = fet   ? 5
                             : pnp ? std::min(s.nv, s.ll) - 0.5
                                   : std::max(s.nv, s.ul) + 0.5;
            SourceSettings(k, v, -5, 5, 1e-3);
        }
        return true;
    }

    bool Shunt() {
        if (!NeedTestPins(kNoTestPins)) {
            return false;
        }
        if (!AnyPin(r_.ts)) {
            return Fail(kNoSensePins);
        }
        SubTest& s = S(0);
        if (Has(kParamNV) && s.nv > 1) {
            return Fail(kShuntTooHigh);
        }
        DisableDashModes();
        Default(s.nv, kParamNV, 0.1);
        Default(s.v, kParamV, 0.5);
        s.v = Clamp(s.v, 0.1, 5);
        Default(s.c, kParamC, 0.1);
        s.c = Clamp(s.c, 0.1, 1);
        const double low =
            Has(kParamNVMinus) ? s.nv * (1 - std::fabs(s.nvMinus) / 100) : 0.99 * s.nv;
        const double high = Has(kParamNVPlus) ? s.nv * (1 + s.nvPlus / 100) : 1.01 * s.nv;
        SetLimits(0, low, high);
        PublishLimits();
        s.vr = Clamp(Has(kParamVR) ? s.vr : 2 * s.c * s.nv, 0.2, 5);
        s.vrIndex = RangeIndex(kVoltageRanges, s.vr);
        Default(s.mt, kParamMT, 0.5e-3);
        s.mt = Clamp(s.mt, 50e-6, 0.1);
        Default(s.ma, kParamMA,
                TruncToInt32(Clamp(std::floor(s.mt / kMinInterval + 0.5), 7, kMaxAverage)));
        return true;
    }

    bool ZDiode() {
        if (!NeedTestPins(kNoTestPins)) {
            return false;
        }
        if (!Has(kParamNV)) {
            return Fail(kNoNominal);
        }
        DisableDashModes();
        SubTest& s = S(0);
        SetLimits(0, 0.95 * s.nv, 1.05 * s.nv);
        PublishLimits();
        Default(s.v, kParamV, std::max(s.nv, s.ul) + 1);
        s.v = Clamp(s.v, 2, 100);
        s.vr = Clamp(Has(kParamVR) ? s.vr : s.v, 2, 100);
        s.vrIndex = RangeIndex(kVoltageRanges, s.vr);
        Default(s.c, kParamC, 5e-3);
        s.c = Clamp(s.c, 1e-4, s.v >= 60 ? 10e-3 : 0.1);
        s.cr = s.c;
        s.crIndex = RangeIndex(kCurrentRanges, s.cr);
        return true;
    }

    bool Varistor() {
        if (!NeedTestPins(kNoTestPins)) {
            return false;
        }
        DefaultModes("II");
        DisableDashModes();
        if (Has(kParamNV)) {
            ToleranceLimits(0, 0, 10);
            ToleranceLimits(1, 0, 10);
            PublishLimits();
        }
        return true;
    }

    bool Relay() {
        const int type = r_.pt ? MatchKeyword(r_.pt, kRelayTypes, ',') : 1;
        if (type == 0) {
            return Fail(kBadPartType);
        }
        if (!NeedTestPins(kNoTestPinsTP)) {
            return false;
        }
        const bool closed = type == 2;
        r_.classCode = closed ? kClassRelayNc : kClassRelayNo;
        DefaultModes("VV-");
        DisableDashModes();
        if (!Has(kParamNV)) {
            S(0).nv = closed ? 5 : 0;
            S(1).nv = closed ? 0 : 5;
            S(2).nv = 200;
        }
        SetLimits(0, S(0).nv - 0.1, S(0).nv + 0.1);
        SetLimits(1, S(1).nv - 0.1, S(1).nv + 0.1);
        SetLimits(2, 0.9 * S(2).nv, 1.1 * S(2).nv);
        PublishLimits();
        for (int k = 0; k < kSubTests; ++k) {
            SubTest& s = S(k);
            Default(s.v, kParamV, 5);
            s.v = Clamp(s.v, -5, 5);
            s.vr = Clamp(Has(kParamVR) ? s.vr : 2 * std::fabs(s.v), 0.2, 5);
            s.vrIndex = RangeIndex(kVoltageRanges, s.vr);
        }
        return true;
    }

    bool Digital() {
        if (r_.firstItem && r_.itemCount > 0) {
            const int32_t unlinked = LinkJumps(r_.firstItem, r_.itemCount);
            if (unlinked > 0) {
                char message[kMessageSize];
                FormatText(message, sizeof message, kUnlinked, static_cast<long>(unlinked));
                AppendUnlinkedJumps(r_.firstItem, r_.itemCount, message, sizeof message);
                return Fail(message);
            }
        }
        DisableDashModes();
        double highest = 2;
        for (int32_t i = 0; i < r_.itemCount && r_.firstItem; ++i) {
            if (r_.firstItem[i].type == kItemVdo) {
                highest = std::max(highest, r_.firstItem[i].level[1]);
            }
        }
        for (int k = 0; k < kSubTests; ++k) {
            SubTest& s = S(k);
            Default(s.c, kParamC, 0.05);
            Default(s.cr, kParamCR, 0.05);
            Default(s.v, kParamV, k == 1 ? 2.7 : 0);
            Default(s.sv, kParamSV, k == 1 ? 2.7 : 0);
            Default(s.vr, kParamVR, k == 0 ? 0.8 : k == 1 ? 2 : 1.5 * highest);
            s.vrIndex = RangeIndex(kVoltageRanges, s.vr);
            s.crIndex = RangeIndex(kCurrentRanges, s.cr);
            Default(s.mf, kParamMF, 100000);
            Default(s.ma, kParamMA, 10);
            Default(s.md, kParamMD, 0);
        }
        return true;
    }

    void CommonClamps() {
        const bool inductor = r_.classCode == kClassInductor;
        const bool slow = inductor || r_.classCode == kClassCapacitor;
        for (SubTest& s : r_.sub) {
            s.ma = std::clamp(s.ma, 1, inductor ? 10 : kMaxAverage);
            Default(s.mi, kParamMI, kMinInterval);
            s.mi = Clamp(s.mi, kMinInterval, kMaxInterval);
            s.md = Clamp(s.md, 0, slow ? 2.0 : 0.5);
        }
    }

    ComponentRecord& r_;
    char* error_;
    uint32_t derived_ = 0;
};

} // namespace

uint32_t RangeIndex(std::span<const double> table, double value) {
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (table[i] * (1 + kRangeSlack) >= value) {
            return static_cast<uint32_t>(i);
        }
    }
    return table.empty() ? 0 : static_cast<uint32_t>(table.size() - 1);
}

uint32_t SampleRateIndex(int32_t frequency) {
    if (frequency <= 0) {
        return 0;
    }
    for (uint32_t i = 1; i < std::size(kSampleRates); ++i) {
        if (kSampleRates[i] >= frequency) {
            return i;
        }
    }
    return static_cast<uint32_t>(std::size(kSampleRates) - 1);
}

int CompileComponent(ComponentRecord* record, char* error) {
    Compiler compiler(*record, error);
    return compiler.Run();
}

} // namespace kora
