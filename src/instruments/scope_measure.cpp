// MEAS_SCOPE (one immediate acquisition, its mean checked) and ACQ_SCOPE (a record configured,
// read or fetched, its mean checked and the record reported) of the signal analyzer.
#include "exports/export.h"
#include "frame/text.h"
#include "instruments/scope_common.h"
#include "routing/routing.h"

#include <kora/step_methods.h>
#include <rvoapi.h>
#include <util.h>
#include <winapi.h>

#include <cmath>
#include <cstring>

namespace kora::scope {
namespace {

constexpr const char* kMeasMethod = "MEAS_SCOPE";
constexpr const char* kAcqMethod = "ACQ_SCOPE";
constexpr const char* kSettings = "SETTINGS";
constexpr const char* kHiddenSettings = "-SETTINGS";
constexpr const char* kDetails = "-DETAILS";
constexpr const char* kRoutingCategory = "HOLM";
constexpr const char* kFunctions = "VDC";
constexpr const char* kCoupling = "DC";
constexpr double kProbeAttenuation = 1.0;
constexpr double kReadTimeoutMargin = 1.0;
constexpr const char* kAcqModes = "READ,CONFIG,FETCH,READ[X],FETCH[X]";
enum AcqMode { kRead = 1, kConfig = 2, kFetch = 3 };
constexpr int kAcqModeOf[] = {kRead, kConfig, kFetch, kRead, kFetch};
constexpr const char* kDataList = "NO,YES";
constexpr const char* kStoreOverflow = "INTERNAL DATA STORAGE overflow: #Samples > 8192";
constexpr const char* kFetchTimeoutText = "TIMEOUT DATA FETCH";
constexpr double kFetchTimeout = 5.0;
constexpr DWORD kPollMs = 1;
constexpr char kComplete = 'C';

// The channel of the channel part and the VDC function; false with error 0x81000006.
bool CompileChannel(StepError& error, StepHead& head, const char* devChanAttr) {
    const int channel = MatchKeyword(head.parts.channel, kChannelList);
    if (channel == 0 || MatchKeyword(head.parts.function, kFunctions) == 0) {
        return RefuseKeyword(error, ParamError(6), devChanAttr);
    }
    head.selector = channel;
    return true;
}

bool CompileRoutes(StepError& error, const char* pre, const char* post, char* preOut, char* postOut,
                   int postArgument) {
    char message[kMessageSize] = {};
    if (_CompileRouting(pre, post, preOut, postOut, kRoutingTextSize, message) != 0) {
        const bool preFailed = std::strstr(message, "PRE-Routing") != nullptr;
        return error.Set(ParamError(preFailed ? 6 : postArgument), message);
    }
    return true;
}

// Input range and record of a channel: SIGANL_ConfigureAcquisitionRecord, SIGANL_ConfigureChannel.
bool ConfigureInput(StepError& error, long handle, int channel, double acqTime, long count,
                    double delay, const RangeOffset& ro) {
    Status s;
    SIGANL_ConfigureAcquisitionRecord(0, handle, kPathNames[(channel - 1) / 4], acqTime, count,
                                      delay, &s.warning, &s.error, s.message);
    if (s.failed(error)) {
        return false;
    }
    SIGANL_ConfigureChannel(0, handle, kChannelNames[channel - 1], ro.range, ro.offset, kCoupling,
                            kProbeAttenuation, 1, &s.warning, &s.error, s.message);
    return !s.failed(error);
}

// The instrument's record length, asked once and kept in *known (0 until then); a length below
// `wanted` fails when `check` is set.
bool CheckRecordLength(StepError& error, long handle, int channel, int32_t wanted, bool check,
                       int32_t* known) {
    if (*known > 0) {
        return true;
    }
    Status s;
    int32_t length = 0;
    SIGANL_ActualRecordLength(0, handle, kPathNames[(channel - 1) / 4], &length, &s.warning,
                              &s.error, s.message);
    if (s.failed(error)) {
        return false;
    }
    *known = length;
    return !(check && length < wanted) || error.Set(kErrFunction, kShortRecord);
}

// ---- MEAS_SCOPE -------------------------------------------------------------------------------

struct MeasRecord {
    StepHead head; // selector: channel, 1-based
    LimitRecord limits;
    int32_t unit;
    double nominal;
    double measTime;
    double acqTime;
    double sampleTime;
    double range;
    double offset;
    int32_t sampleCount;
    int32_t recordLength; // as the instrument reported it; 0 until asked
    char preRouting[kRoutingTextSize];
    char postRouting[kRoutingTextSize];
    char devChanAttr[256];
    double store[kSampleStore];
};

void CompileMeas(StepPass<MeasRecord>& pass, const char* pre, const char* devChanAttr,
                 const char* low, double nominal, const char* high, double measTime,
                 const char* post) {
    MeasRecord& r = *pass.record;
    r.head.selector = 0;
    if (!CompileDevChanAttr(pass.error, r.head, devChanAttr, kMeasMethod, 0) ||
        !CompileChannel(pass.error, r.head, devChanAttr) ||
        !CompileRoutes(pass.error, pre, post, r.preRouting, r.postRouting, 13)) {
        r.head.selector = 0;
        return;
    }
    r.unit = kUnitVolt;
    ParseLimits(low, nominal, nullptr, high, &r.limits);
    r.nominal = nominal;
    r.measTime = measTime;
    r.acqTime = std::isnan(measTime) ? 0.0 : measTime;
    r.sampleTime = kMinSampleTime;
    if (r.acqTime > 0) {
        const double count = std::trunc(r.acqTime / r.sampleTime);
        r.sampleCount = count > kSampleStore ? kSampleStore : static_cast<int32_t>(count);
        if (count > kSampleStore) {
            r.sampleTime = r.acqTime / kSampleStore;
        }
    } else {
        r.sampleCount = 1;
        r.acqTime = r.sampleTime;
    }
    const RangeOffset ro = RangeFor(r.limits, nominal);
    r.range = ro.range;
    r.offset = ro.offset;
    r.recordLength = 0;
    CopyText(r.devChanAttr, OrEmpty(devChanAttr));
    rvo_DefineAttrS("PreRouting", kMeasMethod, r.preRouting, 1, kRoutingCategory);
    rvo_DefineAttrR("MeasTime", kMeasMethod, &r.measTime, kUnitSecond, nullptr);
    rvo_DefineAttrS("PostRouting", kMeasMethod, r.postRouting, 1, kRoutingCategory);
    rvo_DefineAttrR("Range", kSettings, &r.range, kUnitVolt, nullptr);
    rvo_DefineAttrR("Offset", kSettings, &r.offset, kUnitVolt, nullptr);
    rvo_DefineAttrR("AcqTime", kSettings, &r.acqTime, kUnitSecond, nullptr);
    rvo_DefineAttrR("SampleTime", kSettings, &r.sampleTime, kUnitSecond, nullptr);
    rvo_DefineAttrI("SampleCount", kSettings, &r.sampleCount, kUnitCount, nullptr);
}

EN_NEV_RESULT RunMeas(StepPass<MeasRecord>& pass, double* result) {
    MeasRecord& r = *pass.record;
    if (r.head.selector == 0) {
        rvo_SetSTEPResult(-2);
        return pass.error.Set(kErrFunction, kInvalidSetting), -2;
    }
    DeviceRecord* a = FindAnalyzer(pass.bench, r.head.parts.device);
    if (!a) {
        RefuseKeyword(pass.error, ParamError(7), r.devChanAttr);
        return -2;
    }
    const int channel = r.head.selector;
    const long handle = a->handle;
    char warning[kWarningSize] = {};
    if (!RunRoutingList(pass.bench, r.preRouting, "PreRoute", warning, pass.error)) {
        return FailAsResult(pass.call, pass.error, r.devChanAttr);
    }
    Status s;
    SIGANL_ConfigureTrigger(0, handle, kPathNames[(channel - 1) / 4], kImmediate, 0.0, &s.warning,
                            &s.error, s.message);
    if (s.failed(pass.error) ||
        !ConfigureInput(pass.error, handle, channel, r.acqTime, r.sampleCount, 0.0,
                        {r.range, r.offset}) ||
        !CheckRecordLength(pass.error, handle, channel, r.sampleCount, true, &r.recordLength) ||
        !RouteCommand(pass.error, pass.bench, kSettle)) {
        return FailAsResult(pass.call, pass.error, r.devChanAttr);
    }
    int32_t got = 0;
    SIGANL_ReadWaveform(0, handle, kChannelNames[channel - 1], r.sampleCount,
                        r.acqTime + kReadTimeoutMargin, r.store, &got, &s.warning, &s.error,
                        s.message);
    if (s.failed(pass.error)) {
        return FailAsResult(pass.call, pass.error, r.devChanAttr);
    }
    if (got != r.sampleCount) {
        pass.error.Set(kErrFunction, kCountMismatch);
        return FailAsResult(pass.call, pass.error, r.devChanAttr);
    }
    const double mean = ValidMean(r.store, got, warning);
    if (!RunRoutingList(pass.bench, r.postRouting, "PostRoute", warning, pass.error)) {
        return FailAsResult(pass.call, pass.error, r.devChanAttr);
    }
    if (result) {
        *result = mean;
    }
    char comment[kWarningCommentSize];
    CommentWithWarning(pass.call, warning, comment, sizeof comment);
    const auto verdict = static_cast<EN_NEV_RESULT>(rvo_VerifyR(
        0, pass.call.stepName, pass.call.lineCode, r.unit, r.limits.low, r.limits.lowOp, mean,
        r.limits.highOp, r.limits.high, RVO_VERDICT_EXECUTIVE, 0.0, r.devChanAttr, comment));
    if (pass.bench->routeDisplay) {
        ShowRouting(pass.bench, pass.call.stepName);
    }
    return verdict;
}

// ---- ACQ_SCOPE --------------------------------------------------------------------------------

struct AcqRecord {
    StepHead head; // selector: channel, 1-based
    LimitRecord limits;
    int32_t unit;
    int32_t mode;
    double measDelay;
    double measTime;
    double acqTime;
    double sampleTime;
    double range;
    double offset;
    int32_t sampleCount;
    int32_t acqCount;
    int32_t recordLength; // as the instrument reported it; 0 until asked
    char data[8];         // "NO" or "YES"
    char preRouting[kRoutingTextSize];
    char postRouting[kRoutingTextSize];
    char devChanAttr[256];
    double store[kSampleStore];
};

void CompileAcq(StepPass<AcqRecord>& pass, const char* pre, const char* devChanAttr,
                const char* low, const char* nominal, const char* high, double measDelay,
                double measTime, long sampleCount, const char* post) {
    AcqRecord& r = *pass.record;
    r.head.selector = 0;
    r.mode = 0;
    if (!CompileDevChanAttr(pass.error, r.head, devChanAttr, kAcqMethod, 1) ||
        !CompileChannel(pass.error, r.head, devChanAttr)) {
        return;
    }
    const int mode = MatchKeyword(r.head.parts.suffix, kAcqModes);
    if (mode == 0) {
        r.head.selector = 0;
        RefuseKeyword(pass.error, ParamError(7), devChanAttr);
        return;
    }
    if (!CompileRoutes(pass.error, pre, post, r.preRouting, r.postRouting, 15)) {
        r.head.selector = 0;
        return;
    }
    r.mode = kAcqModeOf[mode - 1];
    r.unit = kUnitVolt;
    ParseLimits(low, NAN, nominal, high, &r.limits);
    r.measDelay = measDelay;
    r.measTime = measTime;
    r.acqTime = std::isnan(measTime) ? 0.0 : measTime;
    r.sampleCount = static_cast<int32_t>(sampleCount);
    r.acqCount = sampleCount < 1 ? 1 : static_cast<int32_t>(sampleCount);
    r.sampleTime = kMinSampleTime;
    if (measTime > 0) {
        r.sampleTime = r.acqTime / r.acqCount;
    } else {
        r.acqTime = r.acqCount * kMinSampleTime;
    }
    const RangeOffset ro = RangeFor(r.limits, r.limits.nominal);
    r.range = ro.range;
    r.offset = ro.offset;
    r.recordLength = 0;
    CopyText(r.data, "NO");
    CopyText(r.devChanAttr, OrEmpty(devChanAttr));
    rvo_DefineAttrS("PreRoute", kAcqMethod, r.preRouting, 1, nullptr);
    rvo_DefineAttrR("MeasDelay", kAcqMethod, &r.measDelay, kUnitSecond, nullptr);
    rvo_DefineAttrR("MeasTime", kAcqMethod, &r.measTime, kUnitSecond, nullptr);
    rvo_DefineAttrI("SampleCount", kAcqMethod, &r.sampleCount, kUnitCount, nullptr);
    rvo_DefineAttrS("PostRoute", kAcqMethod, r.postRouting, 1, nullptr);
    if (r.mode != kFetch) {
        rvo_DefineAttrR("Range", kHiddenSettings, &r.range, kUnitVolt, nullptr);
        rvo_DefineAttrR("Offset", kHiddenSettings, &r.offset, kUnitVolt, nullptr);
        rvo_DefineAttrR("AcqTime", kHiddenSettings, &r.acqTime, kUnitSecond, nullptr);
        rvo_DefineAttrR("SampleTime", kHiddenSettings, &r.sampleTime, kUnitSecond, nullptr);
        rvo_DefineAttrI("AcqCount", kHiddenSettings, &r.acqCount, kUnitCount, nullptr);
    }
    rvo_DefineAttrSList("DATA", kDetails, r.data, sizeof r.data, kDataList, nullptr);
}

// Polls the path until its record is complete, then fetches it; the time-out runs on the bench
// clock, so that it ends in virtual time.
bool FetchWhenComplete(StepError& error, long handle, int channel, int32_t count, double* samples,
                       int32_t* got) {
    const char* path = kPathNames[(channel - 1) / 4];
    const double start = UTIL_Hrestim_Time_Stamp();
    for (;;) {
        Status s;
        char status = 0;
        SIGANL_AcquisitionStatus(0, handle, path, &status, &s.warning, &s.error, s.message);
        if (s.failed(error)) {
            return false;
        }
        if (status == kComplete) {
            SIGANL_FetchWaveform(0, handle, kChannelNames[channel - 1], count, samples, got,
                                 &s.warning, &s.error, s.message);
            return !s.failed(error);
        }
        SleepEx(kPollMs, TRUE);
        if (UTIL_Hrestim_Time_Stamp() - start > kFetchTimeout) {
            return error.Set(kErrFunction, kFetchTimeoutText);
        }
    }
}

// An ACQ failure after the analyzer was found: the path is stopped, then the failed result.
EN_NEV_RESULT AbortAndFail(StepPass<AcqRecord>& pass, long handle) {
    Status ignored;
    SIGANL_Abort(0, handle, kPathNames[(pass.record->head.selector - 1) / 4], &ignored.warning,
                 &ignored.error, ignored.message);
    return FailAsResult(pass.call, pass.error, pass.record->devChanAttr);
}

EN_NEV_RESULT RunAcq(StepPass<AcqRecord>& pass, double measDelay, double* callerSamples) {
    AcqRecord& r = *pass.record;
    r.measDelay = measDelay;
    rvo_UpdateAttrR(r.head.component, &r.measDelay);
    rvo_ReadAttrSList(r.head.component, r.data, sizeof r.data);
    if (r.head.selector == 0) {
        rvo_SetSTEPResult(-2);
        return pass.error.Set(kErrFunction, kInvalidSetting), -2;
    }
    DeviceRecord* a = FindAnalyzer(pass.bench, r.head.parts.device);
    if (!a) {
        RefuseKeyword(pass.error, ParamError(7), r.devChanAttr);
        return -2;
    }
    const long handle = a->handle;
    const int channel = r.head.selector;
    if (r.mode == 0) {
        pass.error.Set(kErrFunction, kInvalidSetting);
        return AbortAndFail(pass, handle);
    }
    char warning[kWarningSize] = {};
    if (r.preRouting[0] &&
        !RunRoutingList(pass.bench, r.preRouting, "PreRoute", warning, pass.error)) {
        return AbortAndFail(pass, handle);
    }
    Status s;
    if (r.mode == kRead) {
        SIGANL_Abort(0, handle, kPathNames[(channel - 1) / 4], &s.warning, &s.error, s.message);
        if (s.failed(pass.error)) {
            return AbortAndFail(pass, handle);
        }
    }
    if (r.mode != kFetch && !ConfigureInput(pass.error, handle, channel, r.acqTime, r.acqCount,
                                            r.measDelay, {r.range, r.offset})) {
        return AbortAndFail(pass, handle);
    }
    if (r.mode == kConfig) {
        if (!RunRoutingList(pass.bench, r.postRouting, "PostRoute", warning, pass.error)) {
            return AbortAndFail(pass, handle);
        }
        char comment[kWarningCommentSize];
        CommentWithWarning(pass.call, warning, comment, sizeof comment);
        return static_cast<EN_NEV_RESULT>(
            rvo_VerifyS(0, pass.call.stepName, pass.call.lineCode, 0, r.head.parts.suffix, nullptr,
                        nullptr, RVO_VERDICT_EXECUTIVE, 0.0, r.devChanAttr, comment));
    }
    if (!CheckRecordLength(pass.error, handle, channel, r.acqCount, callerSamples != nullptr,
                           &r.recordLength)) {
        return AbortAndFail(pass, handle);
    }
    if (!callerSamples && r.acqCount > kSampleStore) {
        pass.error.Set(kErrFunction, kStoreOverflow);
        return AbortAndFail(pass, handle);
    }
    double* samples = callerSamples ? callerSamples : r.store;
    int32_t got = 0;
    if (r.mode == kFetch) {
        if (!FetchWhenComplete(pass.error, handle, channel, r.acqCount, samples, &got)) {
            return AbortAndFail(pass, handle);
        }
    } else {
        char status = 0;
        SIGANL_AcquisitionStatus(0, handle, kPathNames[(channel - 1) / 4], &status, &s.warning,
                                 &s.error, s.message);
        if (s.failed(pass.error) || !RouteCommand(pass.error, pass.bench, kSettle)) {
            return AbortAndFail(pass, handle);
        }
        SIGANL_ReadWaveform(0, handle, kChannelNames[channel - 1], r.acqCount,
                            r.acqTime + kReadTimeoutMargin, samples, &got, &s.warning, &s.error,
                            s.message);
        if (s.failed(pass.error)) {
            return AbortAndFail(pass, handle);
        }
    }
    if (got != r.acqCount) {
        pass.error.Set(kErrFunction, kCountMismatch);
        return AbortAndFail(pass, handle);
    }
    const double mean = ValidMean(samples, got, warning);
    if (!RunRoutingList(pass.bench, r.postRouting, "PostRoute", warning, pass.error)) {
        return AbortAndFail(pass, handle);
    }
    char comment[kWarningCommentSize];
    CommentWithWarning(pass.call, warning, comment, sizeof comment);
    const auto verdict = static_cast<EN_NEV_RESULT>(rvo_VerifyR(
        0, pass.call.stepName, pass.call.lineCode, r.unit, r.limits.low, r.limits.lowOp, mean,
        r.limits.highOp, r.limits.high, RVO_VERDICT_EXECUTIVE, 0.0, r.devChanAttr, comment));
    if (std::strcmp(r.data, "YES") == 0) {
        rvo_VerifyRE(1, "DATA", pass.call.lineCode, r.unit, got, samples, r.acqTime, "");
    }
    if (pass.bench->routeDisplay) {
        ShowRouting(pass.bench, pass.call.stepName);
    }
    return verdict;
}

} // namespace
} // namespace kora::scope

using namespace kora;
using namespace kora::scope;

KORA_EXPORT EN_NEV_RESULT MEAS_SCOPE(long stepRef, const char* stepName, long lineCode,
                                     long stepArg, const char* comment, const char* PreRouting,
                                     const char* DevChanAttr, const char* LowLimit, double Nominal,
                                     const char* HighLimit, double MeasTime, double* Result,
                                     const char* PostRouting) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kMeasMethod};
    return RunStandardPass<MeasRecord>(
        call, kKindInstrument, true,
        [&](auto& pass) {
            CompileMeas(pass, PreRouting, DevChanAttr, LowLimit, Nominal, HighLimit, MeasTime,
                        PostRouting);
        },
        [&](auto& pass) { return RunMeas(pass, Result); });
}

KORA_EXPORT EN_NEV_RESULT ACQ_SCOPE(long stepRef, const char* stepName, long lineCode, long stepArg,
                                    const char* comment, const char* PreRoute,
                                    const char* DevChanAttr, const char* LowLimit,
                                    const char* Nominal, const char* HighLimit, double MeasDelay,
                                    double MeasTime, long SampleCount, double* Samples,
                                    const char* PostRoute) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kAcqMethod};
    return RunStandardPass<AcqRecord>(
        call, kKindInstrument, true,
        [&](auto& pass) {
            CompileAcq(pass, PreRoute, DevChanAttr, LowLimit, Nominal, HighLimit, MeasDelay,
                       MeasTime, SampleCount, PostRoute);
        },
        [&](auto& pass) { return RunAcq(pass, MeasDelay, Samples); });
}
