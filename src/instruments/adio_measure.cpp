// MEAS_ADIO and ACQ_ADIO: an averaged analog voltage of the I/O module checked against limits, and
// a series of analog samples (mean checked) or a captured digital pattern.
#include "exports/export.h"
#include "frame/text.h"
#include "instruments/adio_common.h"
#include "routing/routing.h"

#include <kora/step_methods.h>
#include <rvoapi.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kora::adio {
namespace {

constexpr const char* kMeasMethod = "MEAS_ADIO";
constexpr const char* kAcqMethod = "ACQ_ADIO";
constexpr const char* kSettings = "SETTINGS";
constexpr const char* kHiddenSettings = "-SETTINGS";
constexpr const char* kMeasFunction = "VDC";
constexpr const char* kAcqFunctions = "VDC,PATTERN";
constexpr const char* kAcqModes = "READ,CONFIG,FETCH,READ[X],FETCH[X]";
constexpr const char* kNanWarning = "NAN";
constexpr const char* kNanText = "Invalid measurement sample detected";
constexpr const char* kCountMessage = "SampleScount > 5000";
constexpr const char* kSampleTimeMessage =
    "SampleTime=MeasTime//SampleCount out of range [0.2...1000 ms]";
constexpr const char* kDelayMessage = "Measurement delay out of range (0)";
constexpr double kMaxRange = 28.0;
constexpr double kSampleTime = 0.0002;
constexpr int32_t kMaxSamples = 5000;
constexpr int32_t kFetchMarginMs = 100;
constexpr std::size_t kRoutingTextSize = 256;
constexpr int kModeConfig = 2, kModeFetch = 3, kModeFetchX = 5;
constexpr const char* kDataName = "DATA";

struct MeasRecord {
    StepHead head; // selector: 1 when VDC on a measurement channel
    LimitRecord limits;
    double range;
    Timing t;
    int32_t timeoutMs;
    char preRouting[kRoutingTextSize];
    char postRouting[kRoutingTextSize];
};

struct AcqRecord {
    StepHead head; // selector: 1 VDC, 2 PATTERN
    LimitRecord limits;
    double range;
    Timing t;
    int32_t acqCount;
    int32_t mode;
    double measDelay;
    char data[8];
    char preRouting[kRoutingTextSize];
    char postRouting[kRoutingTextSize];
    double samples[kMaxSamples];
    uint16_t pattern[kMaxSamples];
};

// The routing command "?#" on a bench with routing; false with the error set.
bool Settle(StepError& error, const BenchRecord* bench) {
    if (!bench || bench->routing.handle < 0) {
        return true;
    }
    int32_t status = 0, code = 0;
    char message[kMessageSize] = {};
    RouteExecute(bench, kSettleCommand, &status, &code, message);
    return code < 0 ? !error.Set(static_cast<uint32_t>(code), message) : true;
}

template <typename Record> void Trace(const StepPass<Record>& pass) {
    if (pass.bench && pass.bench->routeDisplay) {
        ShowRouting(pass.bench, pass.call.stepName);
    }
}

} // namespace

// MEAS_ADIO's timing: at most 5000 samples 200 us apart, stretched to fill a longer time.
Timing MeasTiming(double measTime) {
    Timing t{measTime, std::isnan(measTime) ? 0.0 : measTime, kSampleTime, 1};
    if (t.acqTime > 0) {
        const double count = std::floor(t.acqTime / t.sampleTime);
        if (count > kMaxSamples) {
            t.sampleCount = kMaxSamples;
            t.sampleTime = t.acqTime / kMaxSamples;
        } else {
            t.sampleCount = std::max(1, static_cast<int32_t>(count));
        }
    } else {
        t.sampleCount = 1;
        t.acqTime = t.sampleTime;
    }
    return t;
}

int32_t MeasTimeoutMs(const Timing& t) {
    return kFetchMarginMs + TruncToInt32(t.acqTime * 1000.0);
}

// ACQ_ADIO's timing: `sampleCount` samples spread over `measTime`, or 200 us apart.
Timing AcqTiming(double measTime, long sampleCount, int32_t* acqCount) {
    Timing t{measTime, std::isnan(measTime) ? 0.0 : measTime, kSampleTime, 0};
    t.sampleCount = TruncToInt32(static_cast<double>(sampleCount));
    *acqCount = std::max<int32_t>(t.sampleCount, 1);
    if (*acqCount != 1 && t.acqTime != 0) {
        t.sampleTime = t.acqTime / t.sampleCount;
    } else {
        t.sampleTime = kSampleTime;
        t.acqTime = *acqCount * kSampleTime;
    }
    return t;
}

namespace {

EN_NEV_RESULT RunMeas(StepPass<MeasRecord>& pass, const char* devChanAttr, double* result) {
    MeasRecord& r = *pass.record;
    const StepCall& call = pass.call;
    if (r.head.selector != 1) {
        return Refuse(pass.error, kErrFunction, kInvalidSetting), -2;
    }
    DeviceRecord* d = FindModule(pass.error, pass.bench, r.head, ParamError(7), devChanAttr);
    if (!d) {
        return -2;
    }
    const ViSession vi = static_cast<ViSession>(d->handle);
    char warning[kWarningSize] = {};
    const bool routed = r.preRouting[0] != 0;
    if ((routed && !RunRoutingList(pass.bench, r.preRouting, "PreRoute", warning, pass.error)) ||
        DriverFailed(pass.error, vi,
                     rspio2_ConfigureSampling(vi, r.t.sampleCount, r.t.sampleTime)) ||
        DriverFailed(pass.error, vi,
                     rspio2_ConfigureAnalogMeasurement(vi, r.head.parts.channel, r.range)) ||
        (routed && !Settle(pass.error, pass.bench)) ||
        DriverFailed(pass.error, vi, rspio2_Initiate(vi))) {
        return -2;
    }
    double value = 0;
    const ViStatus status = rspio2_FetchAverage(vi, r.timeoutMs, &value);
    if (status == RSPIO2_WARN_OVER_RANGE) {
        value = kOverRangeValue;
    } else if (DriverFailed(pass.error, vi, status)) {
        return -2;
    }
    if (result) {
        *result = value;
    }
    char comment[kWarningCommentSize];
    if (warning[0]) {
        FormatText(comment, sizeof comment, "%s KORA warning: %s", OrEmpty(call.comment), warning);
    } else {
        CopyText(comment, sizeof comment, OrEmpty(call.comment));
    }
    const EN_NEV_RESULT verdict = static_cast<EN_NEV_RESULT>(rvo_VerifyR(
        0, call.stepName, call.lineCode, kUnitVolt, r.limits.low, r.limits.lowOp, value,
        r.limits.highOp, r.limits.high, RVO_VERDICT_EXECUTIVE, 0.0, r.head.parts.channel, comment));
    if (!RunRoutingList(pass.bench, r.postRouting, "PostRoute", warning, pass.error)) {
        return -2;
    }
    Trace(pass);
    return verdict;
}

// ACQ_ADIO's definition: function, channel, mode, count and timing; false with the error set.
bool CompileAcq(StepPass<AcqRecord>& pass, const char* devChanAttr, const char* low,
                const char* nominal, const char* high, double measTime, long sampleCount) {
    AcqRecord& r = *pass.record;
    r.head.selector = 0;
    const int f = MatchKeyword(r.head.parts.function, kAcqFunctions);
    if (f == 0) {
        return Refuse(pass.error, ParamError(6), devChanAttr);
    }
    const bool channel = r.head.parts.channel[0] != 0;
    if ((f == 1 && MeasurementChannel(r.head.parts.channel) == 0) || (f == 2 && channel)) {
        return Refuse(pass.error, ParamError(7), devChanAttr);
    }
    r.mode = MatchKeyword(r.head.parts.suffix, kAcqModes);
    if (r.mode == 0) {
        return Refuse(pass.error, ParamError(7), devChanAttr);
    }
    r.t = AcqTiming(measTime, sampleCount, &r.acqCount);
    if (sampleCount > kMaxSamples) {
        return pass.error.Set(ParamError(11), kCountMessage);
    }
    if (r.t.sampleTime < kSampleTime * (1 - 1e-9)) {
        return pass.error.Set(ParamError(10), kSampleTimeMessage);
    }
    ParseLimits(low, NAN, nominal, high, &r.limits);
    r.range = r.limits.range;
    r.head.selector = f;
    return true;
}

EN_NEV_RESULT RunAcq(StepPass<AcqRecord>& pass, const char* devChanAttr, double measDelay,
                     void* samplesOut) {
    AcqRecord& r = *pass.record;
    const StepCall& call = pass.call;
    r.measDelay = measDelay;
    rvo_UpdateAttrR(r.head.component, &r.measDelay);
    rvo_ReadAttrSList(r.head.component, r.data, sizeof r.data);
    if (r.head.selector != 1 && r.head.selector != 2) {
        return Refuse(pass.error, kErrFunction, kInvalidSetting), -2;
    }
    DeviceRecord* d = FindModule(pass.error, pass.bench, r.head, ParamError(7), devChanAttr);
    if (!d) {
        return -2;
    }
    if (r.measDelay != 0) {
        return pass.error.Set(ParamError(11), kDelayMessage), -2;
    }
    const ViSession vi = static_cast<ViSession>(d->handle);
    const bool analog = r.head.selector == 1;
    const bool fetch = r.mode == kModeFetch || r.mode == kModeFetchX;
    char warning[kWarningSize] = {};
    if (!RunRoutingList(pass.bench, r.preRouting, "PreRoute", warning, pass.error)) {
        return -2;
    }
    if (!fetch &&
        ((analog &&
          DriverFailed(pass.error, vi,
                       rspio2_ConfigureAnalogMeasurement(vi, r.head.parts.channel, r.range))) ||
         DriverFailed(pass.error, vi, rspio2_ConfigureSampling(vi, r.acqCount, r.t.sampleTime)))) {
        return -2;
    }
    double mean = kOverRangeValue;
    // The caller's array holds SampleCount values; a count below 1 still acquires one sample,
    // which then goes to the internal store.
    const bool callerHolds = samplesOut && r.t.sampleCount >= r.acqCount;
    double* samples = analog && callerHolds ? static_cast<double*>(samplesOut) : r.samples;
    int32_t got = 0;
    if (r.mode != kModeConfig) {
        const int32_t timeoutMs =
            TruncToInt32(r.acqCount * 1000.0 * r.t.sampleTime) + kFetchMarginMs;
        if (!Settle(pass.error, pass.bench)) {
            return -2;
        }
        if (analog) {
            const ViStatus status = rspio2_FetchAnalog(vi, timeoutMs, r.acqCount, samples, &got);
            if (status != RSPIO2_WARN_OVER_RANGE && DriverFailed(pass.error, vi, status)) {
                return -2;
            }
            double sum = 0;
            int32_t valid = 0;
            for (int32_t i = 0; i < got; ++i) {
                if (!std::isnan(samples[i])) {
                    sum += samples[i];
                    ++valid;
                }
            }
            mean = valid > 0 ? sum / valid : kOverRangeValue;
            if (valid < got) {
                FormatWarning(kNanWarning, static_cast<uint32_t>(got - valid), kNanText, warning);
            }
        } else {
            if (DriverFailed(pass.error, vi,
                             rspio2_FetchDigital(vi, timeoutMs, r.acqCount, r.pattern, &got))) {
                return -2;
            }
            if (callerHolds) {
                auto* words = static_cast<long*>(samplesOut); // the executive's integers
                for (int32_t i = 0; i < got; ++i) {
                    words[i] = r.pattern[i];
                }
            }
        }
    }
    if (!RunRoutingList(pass.bench, r.postRouting, "PostRoute", warning, pass.error)) {
        return -2;
    }
    EN_NEV_RESULT verdict = 0;
    char comment[kWarningCommentSize];
    if (warning[0]) {
        FormatText(comment, sizeof comment, "%s KORA warning: %s", OrEmpty(call.comment), warning);
    } else {
        CopyText(comment, sizeof comment, OrEmpty(call.comment));
    }
    if (analog && r.mode != kModeConfig) {
        verdict = static_cast<EN_NEV_RESULT>(
            rvo_VerifyR(0, call.stepName, call.lineCode, kUnitVolt, r.limits.low, r.limits.lowOp,
                        mean, r.limits.highOp, r.limits.high, RVO_VERDICT_EXECUTIVE, 0.0,
                        r.head.parts.channel, comment));
        if (MatchKeyword(r.data, kDataList) == 2) {
            rvo_VerifyRE(1, kDataName, call.lineCode, kUnitVolt, got, samples, r.t.acqTime, "");
        }
    } else if (!analog) {
        verdict = static_cast<EN_NEV_RESULT>(rvo_VerifyI(0, call.stepName, call.lineCode, kUnitNone,
                                                         0, "", got, "", 0, RVO_VERDICT_EXECUTIVE,
                                                         0.0, "", comment));
    }
    Trace(pass);
    return verdict;
}

// The routing texts of a step; false with the error of the text that does not fit.
bool CompileRoutes(StepError& error, const char* pre, const char* post, char* preOut, char* postOut,
                   int preArgument, int postArgument) {
    char message[kMessageSize] = {};
    if (_CompileRouting(pre, post, preOut, postOut, kRoutingTextSize, message) != 0) {
        const bool preFailed = std::strstr(message, "PRE-Routing") != nullptr;
        return error.Set(ParamError(preFailed ? preArgument : postArgument), message);
    }
    return true;
}

} // namespace
} // namespace kora::adio

using namespace kora;
using namespace kora::adio;

KORA_EXPORT EN_NEV_RESULT MEAS_ADIO(long stepRef, const char* stepName, long lineCode, long stepArg,
                                    const char* comment, const char* PreRouting,
                                    const char* DevChanAttr, const char* LowLimit, double Nominal,
                                    const char* HighLimit, double MeasTime, double* Result,
                                    const char* PostRouting) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kMeasMethod};
    return RunStandardPass<MeasRecord>(
        call, kKindInstrument, true,
        [&](auto& pass) {
            MeasRecord& r = *pass.record;
            r.head.selector = 0;
            if (!CompileDevChanAttr(pass.error, r.head, DevChanAttr, kMeasMethod, 0)) {
                return;
            }
            if (MeasurementChannel(r.head.parts.channel) == 0 ||
                std::strcmp(r.head.parts.function, kMeasFunction) != 0) {
                Refuse(pass.error, ParamError(7), DevChanAttr);
                return;
            }
            if (!CompileRoutes(pass.error, PreRouting, PostRouting, r.preRouting, r.postRouting, 6,
                               13)) {
                return;
            }
            r.head.selector = 1;
            ParseLimits(LowLimit, Nominal, nullptr, HighLimit, &r.limits);
            r.range = std::min(r.limits.range, kMaxRange);
            r.t = MeasTiming(MeasTime);
            r.timeoutMs = MeasTimeoutMs(r.t);
            rvo_DefineAttrS("PreRouting", kMeasMethod, r.preRouting, 0, nullptr);
            rvo_DefineAttrR("MeasTime", kMeasMethod, &r.t.measTime, kUnitSecondWord, nullptr);
            rvo_DefineAttrS("PostRouting", kMeasMethod, r.postRouting, 0, nullptr);
            rvo_DefineAttrR("AcqTime", kSettings, &r.t.acqTime, kUnitSecondWord, nullptr);
            rvo_DefineAttrR("SampleTime", kSettings, &r.t.sampleTime, kUnitSecondWord, nullptr);
            rvo_DefineAttrI("SampleCount", kSettings, &r.t.sampleCount, kUnitCount, nullptr);
        },
        [&](auto& pass) { return RunMeas(pass, DevChanAttr, Result); });
}

KORA_EXPORT EN_NEV_RESULT ACQ_ADIO(long stepRef, const char* stepName, long lineCode, long stepArg,
                                   const char* comment, const char* PreRoute,
                                   const char* DevChanAttr, const char* LowLimit,
                                   const char* Nominal, const char* HighLimit, double MeasDelay,
                                   double MeasTime, long SampleCount, void* Samples,
                                   const char* PostRoute) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kAcqMethod};
    return RunStandardPass<AcqRecord>(
        call, kKindInstrument, true,
        [&](auto& pass) {
            AcqRecord& r = *pass.record;
            r.head.selector = 0;
            if (!CompileDevChanAttr(pass.error, r.head, DevChanAttr, kAcqMethod, 1) ||
                !CompileAcq(pass, DevChanAttr, LowLimit, Nominal, HighLimit, MeasTime,
                            SampleCount) ||
                !CompileRoutes(pass.error, PreRoute, PostRoute, r.preRouting, r.postRouting, 6,
                               15)) {
                r.head.selector = 0;
                return;
            }
            r.measDelay = MeasDelay;
            if (r.data[0] == 0) {
                CopyText(r.data, "NO");
            }
            rvo_DefineAttrS("PreRoute", kAcqMethod, r.preRouting, 1, nullptr);
            rvo_DefineAttrR("MeasDelay", kAcqMethod, &r.measDelay, kUnitSecondWord, nullptr);
            rvo_DefineAttrR("MeasTime", kAcqMethod, &r.t.measTime, kUnitSecondWord, nullptr);
            rvo_DefineAttrI("SampleCount", kAcqMethod, &r.t.sampleCount, kUnitCount, nullptr);
            rvo_DefineAttrS("PostRoute", kAcqMethod, r.postRouting, 1, nullptr);
            if (r.mode != kModeFetch && r.mode != kModeFetchX) {
                rvo_DefineAttrR("AcqTime", kHiddenSettings, &r.t.acqTime, kUnitSecondWord, nullptr);
                rvo_DefineAttrR("SampleTime", kHiddenSettings, &r.t.sampleTime, kUnitSecondWord,
                                nullptr);
                rvo_DefineAttrI("AcqCount", kHiddenSettings, &r.acqCount, kUnitNone, nullptr);
            }
            rvo_DefineAttrSList("DATA", kDetails, r.data, sizeof r.data, kDataList, nullptr);
        },
        [&](auto& pass) { return RunAcq(pass, DevChanAttr, MeasDelay, Samples); });
}
