// SET_DCPWR: programs a DC power channel (voltage with current limit, PWM, electronic load, sine
// waveform), with the range sequence and its retry, and switches its output.
#include "exports/export.h"
#include "frame/text.h"
#include "instruments/dcpwr_common.h"
#include "instruments/dcpwr_sine.h"
#include "routing/routing.h"

#include <kora/step_methods.h>
#include <rvoapi.h>
#include <winapi.h>

#include <cmath>
#include <cstring>

namespace kora::dcpwr {
namespace {

constexpr const char* kSetMethod = "SET_DCPWR";
constexpr const char* kFunctions = "VDC,VDC_CREG,VDC_CTRIP,PWM,SINK_ADC,SINK_RES,SINK_POW,ASINE";
enum Function { kVdc = 1, kVdcCreg, kVdcCtrip, kPwm, kSinkAdc, kSinkRes, kSinkPow, kAsine };
constexpr const char* kSwitchings = "PRE_OFF,POST_ON,OFF_ON";
enum Switching { kPreOff = 1, kPostOn, kOffOn };
constexpr const char* kAutoRange = "AUTORANGE";
constexpr double kSinkAutoCurrentRange = 3.0;
constexpr const char* kSineAllocation = "SINE WAVE DATA ARRAY";
constexpr const char* kVoltageOutOfRange = "Voltage out of range";
constexpr const char* kCurrentOutOfRange = "Current out of range";
constexpr const char* kFrequencyOutOfRange = "Frequency out of range [1...1000]";
constexpr const char* kRangeVoltage = "VOLTAGE";
constexpr const char* kRangeCurrent = "CURRENT";
constexpr const char* kArbTrigger = "IMMEDIATE";
constexpr double kArbPointTime = 0.0001;
constexpr unsigned kSinkPauseMs = 20;
constexpr long kSinkSettleMs = 5000;

struct FunctionInfo {
    const char* mode;
    const char* behavior; // current-limit behaviour, null: none
    long unit;
    const char* label;
};
constexpr FunctionInfo kInfo[] = {
    {"NORMAL", nullptr, kUnitAmpere, "CURRENT LIMIT"},
    {"NORMAL", "REGULATE", kUnitAmpere, "CURRENT LIMIT"},
    {"NORMAL", "TRIP", kUnitAmpere, "CURRENT LIMIT"},
    {"PWM", "REGULATE", kUnitAmpere, "CURRENT LIMIT"},
    {"CONST_CURRENT", "REGULATE", kUnitAmpere, "SINK CURRENT"},
    {"CONST_RESISTANCE", "REGULATE", kUnitOhm, "SINK RESISTANCE"},
    {"CONST_POWER", "REGULATE", kUnitWatt, "SINK POWER"},
    {"ARB_WFM", "REGULATE", kUnitAmpere, "AMPLITUDE"},
};

// A range text: given or not, automatic or a number.
struct RangeSetting {
    int32_t given;
    int32_t automatic;
    double value;
    char text[64];
};

struct SetRecord {
    StepHead head; // selector: Function
    int32_t switching;
    double voltage;
    double curResPow;
    double dutyOffs;
    double frequency;
    RangeSetting vRange;
    RangeSetting cRange;
    double vRangeSet; // the ranges set, written back
    double cRangeSet;
    char preRouting[kRoutingTextSize];
    char postRouting[kRoutingTextSize];
    char devChanAttr[256];
    SineBlock sine;
};

bool IsSink(int f) {
    return f == kSinkAdc || f == kSinkRes || f == kSinkPow;
}

void CompileRange(RangeSetting& r, const char* text, double automaticValue) {
    r.given = text && text[0] ? 1 : 0;
    CopyText(r.text, OrEmpty(text));
    r.automatic = r.given && std::strcmp(r.text, kAutoRange) == 0 ? 1 : 0;
    r.value = !r.given ? NAN : r.automatic ? automaticValue : ParseScaled(text);
    if (r.automatic && !std::isnan(automaticValue)) {
        r.automatic = 0; // a fixed value stands for the automatic range
    }
}

void Compile(StepPass<SetRecord>& pass, const char* pre, const char* devChanAttr, double voltage,
             const char* vRange, double curResPow, const char* cRange, double dutyOffs,
             double frequency, const char* post) {
    SetRecord& r = *pass.record;
    r.head.selector = 0;
    if (!CompileDevChanAttr(pass.error, r.head, devChanAttr, kSetMethod, 0)) {
        return;
    }
    const int f = MatchKeyword(r.head.parts.function, kFunctions);
    if (f == 0) {
        RefuseKeyword(pass.error, 7, devChanAttr);
        return;
    }
    if (f == kAsine && !r.sine.Allocate(pass.record)) {
        pass.error.Set(kErrMemory, kSineAllocation);
        return;
    }
    if (f == kAsine) {
        const double tableFrequency = frequency > 1 && frequency <= 1000 ? frequency : 1000;
        r.sine.Compute(SinePoints(tableFrequency));
    }
    r.head.selector = f;
    const int s = MatchKeyword(r.head.parts.suffix, kSwitchings);
    r.switching = s == kPreOff || s == kOffOn ? s : kPostOn;
    CompileRange(r.vRange, vRange, NAN);
    CompileRange(r.cRange, cRange, (f == kSinkRes || f == kSinkPow) ? kSinkAutoCurrentRange : NAN);
    char message[kMessageSize] = {};
    if (_CompileRouting(pre, post, r.preRouting, r.postRouting, kRoutingTextSize, message) != 0) {
        const bool preFailed = std::strstr(message, "PRE-Routing") != nullptr;
        pass.error.Set(ParamError(preFailed ? 6 : 15), message);
        return;
    }
    CopyText(r.devChanAttr, OrEmpty(devChanAttr));
    r.voltage = voltage;
    r.curResPow = curResPow;
    r.dutyOffs = dutyOffs;
    r.frequency = frequency;
    r.vRangeSet = r.vRange.value;
    r.cRangeSet = r.cRange.value;
    const FunctionInfo& info = kInfo[f - 1];
    rvo_DefineAttrS("PreRouting", kSetMethod, r.preRouting, 1, kRoutingCategory);
    rvo_DefineAttrR("Voltage", kSetMethod, &r.voltage, kUnitVolt, nullptr);
    rvo_DefineAttrR("VRange", kSetMethod, &r.vRangeSet, kUnitVolt, r.vRange.text);
    rvo_DefineAttrR("CurResPow", kSetMethod, &r.curResPow, info.unit, info.label);
    rvo_DefineAttrR("CRange", kSetMethod, &r.cRangeSet, kUnitAmpereWord, r.cRange.text);
    rvo_DefineAttrR("DutyOffs", kSetMethod, &r.dutyOffs,
                    f == kPwm     ? kUnitPercent
                    : f == kAsine ? kUnitAmpere
                                  : 0,
                    f == kPwm     ? "DUTY CYCLE"
                    : f == kAsine ? "OFFSET"
                                  : nullptr);
    rvo_DefineAttrR("Frequency", kSetMethod, &r.frequency,
                    f == kPwm || f == kAsine ? kUnitHertz : 0, nullptr);
    rvo_DefineAttrS("PostRouting", kSetMethod, r.postRouting, 1, kRoutingCategory);
}

// One pass of the execution: the calls in their order, each ending the step when it fails.
class SetRun {
  public:
    SetRun(StepPass<SetRecord>& pass) : pass_(pass), r_(*pass.record) {}

    EN_NEV_RESULT run(double voltage, double curResPow, double dutyOffs, double frequency);

  private:
    const char* channel() const { return ChannelOf(r_.head); }
    long session() const { return SessionOf(pass_.bench); }
    bool ok(Status& s) { return !s.failed(pass_.error); }
    bool enable(long on) {
        Status s;
        DCPWR_Conf_Output_Enabled(0, session(), channel(), on, &s.warning, &s.error, s.message);
        return ok(s);
    }
    bool mode(const char* text) {
        Status s;
        DCPWR_Conf_Mode(0, session(), channel(), text, &s.warning, &s.error, s.message);
        return !s.failedBut(pass_.error, kErrNotApplicable);
    }
    bool range(const char* kind, double value, const char* behavior);
    bool sine();
    bool voltageRange(double voltage);
    bool currentRange(double current, bool currentGiven, const char* behavior);

    StepPass<SetRecord>& pass_;
    SetRecord& r_;
    char warning_[kWarningSize] = {};
};

// A range call with its one retry after -10: the level (or limit) at the range first.
bool SetRun::range(const char* kind, double value, const char* behavior) {
    Status s;
    DCPWR_Conf_Output_Range(0, session(), channel(), kind, value, &s.warning, &s.error, s.message);
    if (s.error != kErrPacNotResponding) {
        return ok(s);
    }
    s.clear();
    if (std::strcmp(kind, kRangeVoltage) == 0) {
        DCPWR_Conf_Voltage_Level(0, session(), channel(), value, &s.warning, &s.error, s.message);
    } else {
        DCPWR_Conf_Current_Limit(0, session(), channel(), behavior, value, &s.warning, &s.error,
                                 s.message);
    }
    if (!ok(s)) {
        return false;
    }
    DCPWR_Conf_Output_Range(0, session(), channel(), kind, value, &s.warning, &s.error, s.message);
    return ok(s);
}

bool SetRun::voltageRange(double voltage) {
    if (!r_.vRange.given) {
        r_.vRangeSet = NAN;
        return true;
    }
    double v = r_.vRange.automatic ? std::fabs(voltage) : r_.vRange.value;
    if (!range(kRangeVoltage, v, "REGULATE")) {
        return false;
    }
    // The range's own limits: the largest current at v, and the largest voltage at that current.
    Status q;
    double amperes = 0, volts = 0;
    DCPWR_Query_Max_Current_Limit(0, session(), channel(), v, &amperes, &q.warning, &q.error,
                                  q.message);
    if (q.error == 0) {
        DCPWR_Query_Max_Voltage_Level(0, session(), channel(), amperes, &volts, &q.warning,
                                      &q.error, q.message);
        if (q.error == 0) {
            v = volts;
        }
    }
    r_.vRangeSet = v;
    return true;
}

bool SetRun::currentRange(double current, bool currentGiven, const char* behavior) {
    if (!r_.cRange.given || (r_.cRange.automatic && !currentGiven)) {
        r_.cRangeSet = NAN;
        return true;
    }
    double c = r_.cRange.automatic ? current : r_.cRange.value;
    if (!range(kRangeCurrent, c, behavior)) {
        return false;
    }
    Status q;
    double volts = 0, amperes = 0;
    DCPWR_Query_Max_Voltage_Level(0, session(), channel(), c, &volts, &q.warning, &q.error,
                                  q.message);
    if (q.error == 0) {
        DCPWR_Query_Max_Current_Limit(0, session(), channel(), volts, &amperes, &q.warning,
                                      &q.error, q.message);
        if (q.error == 0) {
            c = amperes;
        }
    }
    r_.cRangeSet = c;
    return true;
}

bool SetRun::sine() {
    Status s;
    DCPWR_Conf_Trigger_Source(0, session(), channel(), kArbTrigger, &s.warning, &s.error,
                              s.message);
    if (!ok(s)) {
        return false;
    }
    DCPWR_Conf_Arb_Wfm(0, session(), channel(), 0, kArbPointTime, 0, &s.warning, &s.error,
                       s.message);
    if (!ok(s)) {
        return false;
    }
    DCPWR_Set_Arb_Wfm(0, session(), channel(), r_.sine.points, r_.sine.Volts(), r_.sine.Amperes(),
                      &s.warning, &s.error, s.message);
    if (!ok(s)) {
        return false;
    }
    DCPWR_Initiate_Arb_Wfm(0, session(), channel(), &s.warning, &s.error, s.message);
    return ok(s);
}

EN_NEV_RESULT SetRun::run(double voltage, double curResPow, double dutyOffs, double frequency) {
    const int f = r_.head.selector;
    r_.voltage = voltage;
    r_.curResPow = curResPow;
    r_.dutyOffs = dutyOffs;
    r_.frequency = frequency;
    for (double* pushed : {&r_.voltage, &r_.curResPow, &r_.dutyOffs, &r_.frequency}) {
        rvo_UpdateAttrR(r_.head.component, pushed);
    }
    if (f == 0) {
        return InvalidSetting(pass_.error), -2;
    }
    ShowChannelDevice(pass_.bench, channel());
    const FunctionInfo& info = kInfo[f - 1];
    bool voltageGiven = !std::isnan(voltage);
    bool currentGiven = !std::isnan(curResPow);

    if ((r_.switching == kPreOff || r_.switching == kOffOn) && !enable(0)) {
        return -2;
    }
    if (r_.preRouting[0] &&
        (!RunRoutingList(pass_.bench, r_.preRouting, "PreRoute", warning_, pass_.error) ||
         !SettleRouting(pass_.error, pass_.bench))) {
        return -2;
    }
    if (!mode(info.mode)) {
        return -2;
    }
    if (f == kAsine) {
        Status s;
        DCPWR_Abort_Arb_Wfm(0, session(), channel(), &s.warning, &s.error, s.message);
        if (s.failedBut(pass_.error, kErrNotApplicable) || !enable(0)) {
            return -2;
        }
    }
    Status s;
    bool rangesGiven = true;
    switch (f) {
    case kSinkRes:
        DCPWR_Conf_Const_Resistance(0, session(), channel(), curResPow, &s.warning, &s.error,
                                    s.message);
        break;
    case kSinkAdc:
        if (!mode(info.mode)) {
            return -2;
        }
        DCPWR_Conf_Const_Current(0, session(), channel(), curResPow, &s.warning, &s.error,
                                 s.message);
        break;
    case kSinkPow:
        DCPWR_Conf_Const_Power(0, session(), channel(), curResPow, &s.warning, &s.error, s.message);
        break;
    default:
        break;
    }
    if (!ok(s)) {
        return -2;
    }
    if (IsSink(f)) {
        voltageGiven = currentGiven = rangesGiven = false;
        r_.vRangeSet = r_.cRangeSet = NAN;
    }
    if (f == kAsine) {
        if (std::isnan(voltage)) {
            pass_.error.Set(ParamError(8), kVoltageOutOfRange);
            return -2;
        }
        if (std::isnan(curResPow)) {
            pass_.error.Set(ParamError(10), kCurrentOutOfRange);
            return -2;
        }
        if (!(frequency > 1 && frequency <= 1000)) {
            pass_.error.Set(ParamError(11), kFrequencyOutOfRange);
            return -2;
        }
        r_.vRange = {1, 0, std::fabs(voltage) * 1.1, {}};
        r_.cRange = {1, 0, std::fabs(curResPow) + std::fabs(dutyOffs), {}};
        const int32_t n = SinePoints(frequency);
        if (n != r_.sine.points) {
            r_.sine.Compute(n);
        }
        r_.sine.Fill(voltage, curResPow, dutyOffs);
    }
    if (rangesGiven) {
        const char* behavior = info.behavior ? info.behavior : "REGULATE";
        if (!voltageRange(voltage)) {
            return -2;
        }
        rvo_UpdateAttrR(r_.head.component, &r_.vRangeSet);
        if (voltageGiven) {
            DCPWR_Conf_Voltage_Level(0, session(), channel(), voltage, &s.warning, &s.error,
                                     s.message);
            if (!ok(s)) {
                return -2;
            }
        }
        if (!currentRange(curResPow, currentGiven, behavior)) {
            return -2;
        }
        rvo_UpdateAttrR(r_.head.component, &r_.cRangeSet);
    } else {
        rvo_UpdateAttrR(r_.head.component, &r_.vRangeSet);
        rvo_UpdateAttrR(r_.head.component, &r_.cRangeSet);
    }
    if ((f == kVdcCreg || f == kVdcCtrip) && currentGiven) {
        DCPWR_Conf_Current_Limit(0, session(), channel(), info.behavior, curResPow, &s.warning,
                                 &s.error, s.message);
        if (!ok(s)) {
            return -2;
        }
    }
    if (f == kPwm) {
        DCPWR_Conf_Output_PWM(0, session(), channel(), frequency, dutyOffs, &s.warning, &s.error,
                              s.message);
        if (!ok(s)) {
            return -2;
        }
    }
    if (f == kAsine && !sine()) {
        return -2;
    }
    if (r_.postRouting[0] &&
        !RunRoutingList(pass_.bench, r_.postRouting, "PostRoute", warning_, pass_.error)) {
        return -2;
    }
    if (r_.switching == kPostOn || r_.switching == kOffOn) {
        if (r_.postRouting[0] && !SettleRouting(pass_.error, pass_.bench)) {
            return -2;
        }
        if (!enable(1)) {
            return -2;
        }
        if (IsSink(f)) {
            Sleep(kSinkPauseMs);
            DCPWR_Wait_Until_Settled(0, session(), channel(), kSinkSettleMs, &s.warning, &s.error,
                                     s.message);
            if (!ok(s)) {
                return -2;
            }
        }
    }
    char text[kWarningCommentSize];
    WarningComment(pass_.call.comment, warning_, text);
    const EN_NEV_RESULT verdict = VerifyText(pass_.call, channel(), r_.devChanAttr, text);
    TraceRouting(pass_.bench, pass_.call.stepName);
    return verdict;
}

} // namespace
} // namespace kora::dcpwr

using namespace kora;
using namespace kora::dcpwr;

KORA_EXPORT EN_NEV_RESULT SET_DCPWR(long stepRef, const char* stepName, long lineCode, long stepArg,
                                    const char* comment, const char* PreRouting,
                                    const char* DevChanAttr, double Voltage, const char* VRange,
                                    double CurResPow, const char* CRange, double DutyOffs,
                                    double Frequency, const char* PostRouting) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kSetMethod};
    return RunStandardPass<SetRecord>(
        call, kKindInstrument, true,
        [&](auto& pass) {
            Compile(pass, PreRouting, DevChanAttr, Voltage, VRange, CurResPow, CRange, DutyOffs,
                    Frequency, PostRouting);
        },
        [&](auto& pass) { return SetRun(pass).run(Voltage, CurResPow, DutyOffs, Frequency); });
}
