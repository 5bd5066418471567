// Eight software timers and the global time on the executive's time stamp: SET_TIMER starts,
// stops or waits, GET_TIMER reads one timer, the global time or the difference of two timers.
#include "exports/export.h"
#include "system/system_step.h"

#include <kora/step_methods.h>
#include <rvoapi.h>
#include <winapi.h>

#include <cmath>
#include <cstring>

namespace kora {
namespace {

constexpr const char* kTimerList = "T1,T2,T3,T4,T5,T6,T7,T8";
constexpr const char* kActions = "COUNT+,COUNT-,STOP,DELAY";
constexpr const char* kReadings = "GTIMER,T1,T2,T3,T4,T5,T6,T7,T8";
constexpr const char* kDiffKeyword = "DIFF";
constexpr const char* kAllTimers = "ALL";
constexpr long kUnitSeconds = 16;
constexpr int32_t kAll = -1;
constexpr int32_t kGlobalTime = -1;
constexpr double kCoarseStretch = 1.1; // seconds left above which DELAY sleeps in 1 s steps
constexpr double kBusyStretch = 0.05;  // seconds left to the end that DELAY busy-waits
constexpr DWORD kCoarseSleepMs = 1000;
constexpr DWORD kBusyMarginMs = 50;

enum SetKind : int32_t { kSetNone, kSetCount, kSetStop, kSetDelay };
enum GetKind : int32_t { kGetNone, kGetSingle, kGetDiff };

struct SetTimerRecord {
    StepHead head; // selector: SetKind
    int32_t timer; // index, or kAll
    int32_t direction;
    double setValue;
};

struct GetTimerRecord {
    StepHead head; // selector: GetKind
    int32_t timer; // index, or kGlobalTime
    int32_t second;
    LimitRecord limits;
};

// Progress of a DELAY: the time left, reported without channel or comment.
void ReportLeft(const StepCall& call, double left) {
    rvo_VerifyR(0, call.stepName, call.lineCode, kUnitSeconds, 0.0, "", left, "", 0.0, 0, 0.0,
                nullptr, nullptr);
}

void Delay(const StepCall& call, double setValue) {
    const double end = rvo_TSTAMP() + setValue;
    double left = end - rvo_TSTAMP();
    while (left > kCoarseStretch) {
        ReportLeft(call, left);
        SleepEx(kCoarseSleepMs, TRUE);
        left = end - rvo_TSTAMP();
    }
    ReportLeft(call, left);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    if (left > kBusyStretch) {
        SleepEx(static_cast<DWORD>(left * 1000.0) - kBusyMarginMs, TRUE);
    }
    ReportLeft(call, end - rvo_TSTAMP());
    // The last stretch is a busy wait on the time stamp. A stamp that stands still between two
    // reads is a virtual clock, which moves only when someone waits: hand it the rest as one
    // sleep and stop there, instead of spinning for ever.
    double last = rvo_TSTAMP();
    while (last < end) {
        const double now = rvo_TSTAMP();
        if (now == last) {
            const auto ms = static_cast<DWORD>(std::lround((end - now) * 1000.0));
            if (ms > 0) {
                SleepEx(ms, TRUE);
            }
            break;
        }
        last = now;
    }
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
}

// A timer that is still running takes the time stamp as its stop time at every reading.
double Reading(const TimerRecord& t) {
    return t.direction > 0 ? t.stop - t.start : t.start - t.stop;
}

} // namespace
} // namespace kora

using namespace kora;

KORA_EXPORT EN_NEV_RESULT SET_TIMER(long stepRef, const char* stepName, long lineCode, long stepArg,
                                    const char* comment, const char* DevChanAttr, double SetValue) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, "SET_TIMER"};
    return RunStandardPass<SetTimerRecord>(
        call, kKindNone, true,
        [&](auto& pass) {
            SetTimerRecord& r = *pass.record;
            r.head.selector = kSetNone;
            if (!CompileDevChanAttr(pass.error, r.head, DevChanAttr, call.methodName, 0)) {
                return;
            }
            const int timer = MatchKeyword(r.head.parts.channel, kTimerList);
            if (r.head.parts.channel[0] != 0 && timer == 0) {
                RefuseDevChanAttr(pass.error, DevChanAttr);
                return;
            }
            const int action = MatchKeyword(r.head.parts.function, kActions);
            if (action == 0) {
                RefuseDevChanAttr(pass.error, DevChanAttr);
                return;
            }
            static constexpr int32_t kKinds[] = {kSetCount, kSetCount, kSetStop, kSetDelay};
            static constexpr int32_t kDirections[] = {1, -1, 0, 0};
            r.head.selector = kKinds[action - 1];
            r.direction = kDirections[action - 1];
            r.timer = timer == 0 ? kAll : timer - 1;
            r.setValue = SetValue;
            rvo_DefineAttrR("SetValue", call.methodName, &r.setValue, kUnitSeconds, nullptr);
        },
        [&](auto& pass) -> EN_NEV_RESULT {
            SetTimerRecord& r = *pass.record;
            if (r.head.selector == kSetNone) {
                pass.error.Set(kErrFunction, kInvalidSetting);
                return -2;
            }
            const double now = rvo_TSTAMP();
            r.setValue = SetValue;
            rvo_UpdateAttrR(r.head.component, &r.setValue);
            TimerRecord* timers = pass.bench->timers;
            const int first = r.timer == kAll ? 0 : r.timer;
            const int last = r.timer == kAll ? kTimers - 1 : r.timer;
            switch (r.head.selector) {
            case kSetCount:
                for (int i = first; i <= last; ++i) {
                    timers[i] = TimerRecord{0, r.direction, now + SetValue, 0.0};
                }
                break;
            case kSetStop: {
                for (int i = first; i <= last; ++i) {
                    timers[i].stop = now;
                    timers[i].stopped = 1;
                }
                const bool one = r.timer != kAll;
                return static_cast<EN_NEV_RESULT>(rvo_VerifyS(
                    0, stepName, lineCode, 0, one ? r.head.parts.channel : kAllTimers, "", "", 0,
                    0.0, one ? r.head.parts.function : DevChanAttr, comment));
            }
            case kSetDelay:
                Delay(call, SetValue);
                break;
            default:
                pass.error.Set(kErrFunction, kInvalidSetting);
                return -2;
            }
            return static_cast<EN_NEV_RESULT>(rvo_VerifyR(0, stepName, lineCode, kUnitSeconds, 0.0,
                                                          "", SetValue, "", 0.0, 0, 0.0,
                                                          DevChanAttr, comment));
        });
}

KORA_EXPORT EN_NEV_RESULT GET_TIMER(long stepRef, const char* stepName, long lineCode, long stepArg,
                                    const char* comment, const char* DevChanAttr,
                                    const char* LLimit, double* Result, const char* ULimit) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, "GET_TIMER"};
    return RunStandardPass<GetTimerRecord>(
        call, kKindNone, true,
        [&](auto& pass) {
            GetTimerRecord& r = *pass.record;
            r.head.selector = kGetNone;
            if (!CompileDevChanAttr(pass.error, r.head, DevChanAttr, call.methodName, 1)) {
                return;
            }
            const DevChanParts& parts = r.head.parts;
            const bool diff = std::strcmp(parts.function, kDiffKeyword) == 0;
            const int reading = MatchKeyword(parts.channel, kReadings);
            const int second = MatchKeyword(parts.suffix, kTimerList);
            // A difference from the global time has no timer record to stop: refused.
            if ((!diff && parts.function[0] != 0) || reading == 0 ||
                (diff && (second == 0 || reading == 1))) {
                RefuseDevChanAttr(pass.error, DevChanAttr);
                return;
            }
            r.head.selector = diff ? kGetDiff : kGetSingle;
            r.timer = reading == 1 ? kGlobalTime : reading - 2;
            r.second = diff ? second - 1 : 0;
            ParseLimits(LLimit, NAN, nullptr, ULimit, &r.limits);
            rvo_DefineAttrS("LLimit", call.methodName, LLimit, 1, nullptr);
            rvo_DefineAttrS("ULimit", call.methodName, ULimit, 1, nullptr);
        },
        [&](auto& pass) -> EN_NEV_RESULT {
            const GetTimerRecord& r = *pass.record;
            TimerRecord* timers = pass.bench->timers;
            double value = 0.0;
            if (r.head.selector == kGetSingle && r.timer == kGlobalTime) {
                value = rvo_TSTAMP();
            } else if (r.head.selector == kGetSingle) {
                TimerRecord& t = timers[r.timer];
                if (!t.stopped) {
                    t.stop = rvo_TSTAMP();
                }
                value = Reading(t);
            } else if (r.head.selector == kGetDiff) {
                TimerRecord& a = timers[r.timer];
                TimerRecord& b = timers[r.second];
                if (!a.stopped) {
                    a.stop = rvo_TSTAMP();
                }
                if (!b.stopped) {
                    b.stop = a.stopped ? rvo_TSTAMP() : a.stop;
                }
                value = a.stop - b.stop;
            } else {
                pass.error.Set(kErrFunction, kInvalidSetting);
                return -2;
            }
            if (Result) {
                *Result = value;
            }
            return static_cast<EN_NEV_RESULT>(rvo_VerifyR(
                0, stepName, lineCode, kUnitSeconds, r.limits.low, r.limits.lowOp, value,
                r.limits.highOp, r.limits.high, RVO_VERDICT_EXECUTIVE, 0.0, DevChanAttr, comment));
        });
}
