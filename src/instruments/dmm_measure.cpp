// Multimeter measurements: MEAS_DMM (one value with a second read in auto-range after an
// over-range) and ACQ_DMM (a series of samples, configured, read or fetched, checked by its mean).
#include "exports/export.h"
#include "frame/text.h"
#include "instruments/dmm_common.h"
#include "routing/routing.h"

#include <kora/step_methods.h>
#include <rvoapi.h>

#include <cmath>
#include <cstring>

namespace kora::dmm {
namespace {

constexpr const char* kMeasMethod = "MEAS_DMM";
constexpr const char* kAcqMethod = "ACQ_DMM";
constexpr const char* kSettings = "SETTINGS";
constexpr const char* kHiddenSettings = "-SETTINGS";
constexpr const char* kDetails = "-DETAILS";
constexpr const char* kRoutingCategory = "HOLM";
constexpr const char* kRangeOff = "AUTO_RANGE_OFF";
constexpr const char* kRangeOn = "AUTO_RANGE_ON";
constexpr const char* kSettle = "?#";
constexpr const char* kOpenAll = "%";
constexpr const char* kSecondRead = "(2nd Read with AUTORANGE: OR1=%d, OR2=%d)";
constexpr const char* kAcqModes = "READ,CONFIG,FETCH,READ[X],FETCH[X]";
enum AcqMode { kRead = 1, kConfig = 2, kFetch = 3 };
constexpr int kAcqModeOf[] = {kRead, kConfig, kFetch, kRead, kFetch};
constexpr const char* kDataList = "NO,YES";
constexpr const char* kStoreOverflow = "INTERNAL DATA STORAGE overflow: #Samples > 8192";
constexpr const char* kNanText = "Invalid measurement sample detected";
constexpr int32_t kDriverKindPsam = 2;

// The function settings that MEAS_DMM and ACQ_DMM derive at definition.
struct FunctionSettings {
    char function[32]; // driver function name
    int32_t unit;
    int32_t fourWire;
    int32_t ac;
    LimitRecord limits;
    double range;
    double secondRange; // range of the resistance retry of ACQ_DMM
    double acqTime;
    int32_t sampleCount;
    double sampleTime;
    double filter;
    double measTime;
    char preRouting[kRoutingTextSize];
    char postRouting[kRoutingTextSize];
    char devChanAttr[256];
    char channel[256]; // verification channel of meters that are not PSAM measurement units
};

struct MeasRecord {
    StepHead head; // selector: function keyword, 1-based
    FunctionSettings f;
    double nominal;
    char rangeMode[32];
};

struct AcqRecord {
    StepHead head; // selector: function keyword, 1-based
    FunctionSettings f;
    int32_t mode;
    int32_t acqCount;
    char data[8]; // "NO" or "YES"
    double measDelay;
    double samples[kSampleStore];
};

// Function keyword, limits and routing texts; false with the error set.
template <typename Record>
bool CompileFunction(StepPass<Record>& pass, const char* devChanAttr, const char* pre,
                     const char* post, int preArgument, int postArgument, long devChanOption) {
    Record& r = *pass.record;
    FunctionSettings& f = r.f;
    r.head.selector = 0;
    if (!CompileDevChanAttr(pass.error, r.head, devChanAttr, pass.call.methodName, devChanOption)) {
        return false;
    }
    const int k = MatchKeyword(r.head.parts.function, kFunctionKeywords);
    if (k == 0) {
        rvo_SetSTEPResult(-2);
        return pass.error.Set(ParamError(7), OrNull(devChanAttr));
    }
    r.head.selector = k;
    const Function& fn = kFunctions[k - 1];
    CopyText(f.function, fn.driverName);
    f.unit = fn.unit;
    f.ac = fn.ac ? 1 : 0;
    f.fourWire = 0;
    char message[kMessageSize] = {};
    if (_CompileRouting(pre, post, f.preRouting, f.postRouting, kRoutingTextSize, message) != 0) {
        const bool preFailed = std::strstr(message, "PRE-Routing") != nullptr;
        return pass.error.Set(ParamError(preFailed ? preArgument : postArgument), message);
    }
    CopyText(f.devChanAttr, OrEmpty(devChanAttr));
    f.channel[0] = 0;
    return true;
}

// Runs a routing command of the step (settle, open all) on a bench with routing.
bool RouteCommand(StepError& error, const BenchRecord* bench, const char* command) {
    if (!bench || bench->routing.handle < 0) {
        return true;
    }
    int32_t status = 0, code = 0;
    char message[kMessageSize] = {};
    RouteExecute(bench, command, &status, &code, message);
    if (code < 0) {
        return !error.Set(static_cast<uint32_t>(code), message);
    }
    return true;
}

const char* VerifyChannel(const DeviceRecord& meter, const FunctionSettings& f) {
    return meter.driverKind == kDriverKindPsam ? f.devChanAttr : f.channel;
}

// The filter and averaging of a PSAM measurement unit.
bool ConfigureMeasurementUnit(StepError& error, const DeviceRecord& meter,
                              const FunctionSettings& f, long count, double time) {
    if (meter.driverKind != kDriverKindPsam) {
        return true;
    }
    Status s;
    if (f.ac) {
        DMM_Conf_RMS_Measurement(0, meter.handle, "EVALUATION", &s.warning, &s.error, s.message);
        if (s.failed(error)) {
            return false;
        }
    }
    DMM_Conf_Lowpass_Filter(0, meter.handle, f.filter, &s.warning, &s.error, s.message);
    if (s.failed(error)) {
        return false;
    }
    DMM_Conf_Average(0, meter.handle, count, time, &s.warning, &s.error, s.message);
    return !s.failed(error);
}

// ---- MEAS_DMM
// -----------------------------------------------------------------------------------------

void CompileMeas(StepPass<MeasRecord>& pass, const char* pre, const char* devChanAttr,
                 const char* low, double nominal, const char* high, double measTime,
                 const char* post) {
    MeasRecord& r = *pass.record;
    if (!CompileFunction(pass, devChanAttr, pre, post, 6, 13, 0)) {
        return;
    }
    FunctionSettings& f = r.f;
    f.fourWire = r.head.selector == kFourWireFunction ? 1 : 0;
    ParseLimits(low, nominal, nullptr, high, &f.limits);
    CopyText(r.rangeMode, kRangeOff);
    f.range = f.limits.range;
    f.measTime = measTime;
    f.acqTime = std::isnan(measTime) ? 0.0 : measTime;
    f.sampleTime = kMinSampleTime;
    if (f.acqTime > 0) {
        const double count = std::trunc(f.acqTime / f.sampleTime);
        f.sampleCount = count > kSampleStore ? kSampleStore : static_cast<int32_t>(count);
        if (count > kSampleStore) {
            if (f.ac) {
                f.acqTime = kSampleStore * f.sampleTime;
            } else {
                f.sampleTime = f.acqTime / kSampleStore;
            }
        }
    } else if (f.ac) {
        f.sampleCount = kSampleStore;
        f.acqTime = kSampleStore * f.sampleTime;
    } else {
        f.sampleCount = 1;
        f.acqTime = f.sampleTime;
    }
    if (f.ac) {
        f.filter = 4.0 / f.acqTime;
    } else {
        f.filter = 400;
        if (f.acqTime < 0.02) {
            f.filter = 4000;
        }
        if (f.acqTime < 0.005) {
            f.filter = 40000;
        }
        if (f.acqTime < 0.001) {
            f.filter = 100000;
        }
    }
    r.nominal = nominal;
    rvo_DefineAttrS("PreRouting", kMeasMethod, f.preRouting, 1, kRoutingCategory);
    rvo_DefineAttrR("MeasTime", kMeasMethod, &f.measTime, kTimeUnit, nullptr);
    rvo_DefineAttrS("PostRouting", kMeasMethod, f.postRouting, 1, kRoutingCategory);
    rvo_DefineAttrR("AcqTime", kSettings, &f.acqTime, kTimeUnit, nullptr);
    rvo_DefineAttrI("SampleCount", kSettings, &f.sampleCount, 2, nullptr);
    rvo_DefineAttrR("SampleTime", kSettings, &f.sampleTime, kTimeUnit, nullptr);
    rvo_DefineAttrR("Filter", kSettings, &f.filter, kUnitHertz, nullptr);
}

// The end of a measuring step after its verification: the routing display when asked for, and
// a read error kept back until the value was recorded.
template <typename Record>
EN_NEV_RESULT FinishRead(StepPass<Record>& pass, const StepError& pending, EN_NEV_RESULT verdict) {
    if (pass.bench->routeDisplay) {
        ShowRouting(pass.bench, pass.call.stepName);
    }
    if (pending.failed()) {
        pass.error = pending;
        return -2;
    }
    return verdict;
}

EN_NEV_RESULT RunMeas(StepPass<MeasRecord>& pass, double* result) {
    MeasRecord& r = *pass.record;
    const FunctionSettings& f = r.f;
    if (r.head.selector == 0) {
        rvo_SetSTEPResult(-2);
        pass.error.Set(kErrFunction, kInvalidSetting);
        return -2;
    }
    DeviceRecord* meter = FindMeter(pass.bench, r.head.parts.device);
    if (!meter) {
        rvo_SetSTEPResult(-2);
        pass.error.Set(ParamError(7), f.devChanAttr);
        return -2;
    }
    rvo_SetSTEPDeviceName(meter->name);
    char warning[kWarningSize] = {};
    double value = kOverRangeValue;
    int32_t or1 = 0, or2 = 0;

    // A 4-wire measurement leaves its sense connections; anything else starts from open relays.
    if (!f.fourWire && meter->state.flags == kFourWireMarker &&
        !RouteCommand(pass.error, pass.bench, kOpenAll)) {
        return -2;
    }
    meter->state.flags = f.fourWire ? kFourWireMarker : 0;

    Status s;
    DMM_Conf_Measurement(0, meter->handle, f.function, f.range, kRangeOff, f.range, &s.warning,
                         &s.error, s.message);
    if (s.failed(pass.error) ||
        !RunRoutingList(pass.bench, f.preRouting, "PreRoute", warning, pass.error) ||
        !ConfigureMeasurementUnit(pass.error, *meter, f, f.sampleCount, f.sampleTime) ||
        !RouteCommand(pass.error, pass.bench, kSettle)) {
        return -2;
    }

    // First read at the range of the limits; over range: a second read in auto-range.
    Status read;
    int32_t got = 0;
    DMM_Read(0, meter->handle, 1.0, 1, &value, &got, &read.warning, &read.error, read.message);
    Status ignored;
    DMM_Is_Over_Range(0, meter->handle, value, &or1, &ignored.warning, &ignored.error,
                      ignored.message);
    StepError pending;
    if (or1) {
        DMM_Conf_Measurement(0, meter->handle, f.function, 0.001, kRangeOn, 0.001, &s.warning,
                             &s.error, s.message);
        if (s.failed(pass.error)) {
            return -2;
        }
        Status second;
        DMM_Read(0, meter->handle, 1.0, 1, &value, &got, &second.warning, &second.error,
                 second.message);
        DMM_Is_Over_Range(0, meter->handle, value, &or2, &ignored.warning, &ignored.error,
                          ignored.message);
        if (or2) {
            value = kOverRangeValue;
        } else if (second.failed(pass.error)) {
            return -2;
        }
    } else if (read.error != 0) {
        pending.Set(static_cast<uint32_t>(read.error), read.message);
    }
    if (result) {
        *result = value;
    }
    if (!RunRoutingList(pass.bench, f.postRouting, "PostRoute", warning, pass.error)) {
        return -2;
    }

    char second[96] = {};
    if ((or1 || or2) && warning[0] == 0) {
        FormatText(second, sizeof second, kSecondRead, or1 ? 1 : 0, or2 ? 1 : 0);
    }
    char text[kWarningCommentSize];
    FormatText(text, sizeof text, "%s %s %s", OrEmpty(pass.call.comment), second, warning);
    const EN_NEV_RESULT verdict = static_cast<EN_NEV_RESULT>(
        rvo_VerifyR(0, pass.call.stepName, pass.call.lineCode, f.unit, f.limits.low, f.limits.lowOp,
                    value, f.limits.highOp, f.limits.high, RVO_VERDICT_EXECUTIVE, 0.0,
                    VerifyChannel(*meter, f), text));
    return FinishRead(pass, pending, verdict);
}

// ---- ACQ_DMM
// ------------------------------------------------------------------------------------------

void CompileAcq(StepPass<AcqRecord>& pass, const char* pre, const char* devChanAttr,
                const char* low, const char* nominal, const char* high, double measDelay,
                double measTime, long sampleCount, const char* post) {
    AcqRecord& r = *pass.record;
    r.mode = 0;
    if (!CompileFunction(pass, devChanAttr, pre, post, 6, 15, 1)) {
        return;
    }
    const int mode = MatchKeyword(r.head.parts.suffix, kAcqModes);
    if (mode == 0) {
        rvo_SetSTEPResult(-2);
        r.head.selector = 0;
        pass.error.Set(ParamError(7), OrNull(devChanAttr));
        return;
    }
    r.mode = kAcqModeOf[mode - 1];
    FunctionSettings& f = r.f;
    ParseLimits(low, NAN, nominal, high, &f.limits);
    f.range = f.limits.range;
    f.secondRange = f.limits.range;
    f.measTime = measTime;
    f.acqTime = std::isnan(measTime) ? 0.0 : measTime;
    r.acqCount = sampleCount < 1 ? 1 : static_cast<int32_t>(sampleCount);
    f.sampleCount = static_cast<int32_t>(sampleCount); // shown as the program gave it
    if (r.acqCount == 1 || f.acqTime == 0) {
        f.sampleTime = f.acqTime = kMinSampleTime;
    } else {
        f.sampleTime = f.acqTime / r.acqCount;
        if (f.sampleTime < kMinSampleTime) {
            f.sampleTime = kMinSampleTime;
            f.acqTime = r.acqCount * kMinSampleTime;
        }
    }
    f.filter = f.ac ? 4.0 / f.acqTime : 10.0 / f.sampleTime;
    r.measDelay = measDelay;
    CopyText(r.data, "NO");
    rvo_DefineAttrS("PreRoute", kAcqMethod, f.preRouting, 1, kRoutingCategory);
    rvo_DefineAttrR("MeasDelay", kAcqMethod, &r.measDelay, kTimeUnit, nullptr);
    rvo_DefineAttrR("MeasTime", kAcqMethod, &f.measTime, kTimeUnit, nullptr);
    rvo_DefineAttrI("SampleCount", kAcqMethod, &f.sampleCount, 2, nullptr);
    rvo_DefineAttrS("PostRoute", kAcqMethod, f.postRouting, 1, kRoutingCategory);
    if (r.mode != kFetch) {
        rvo_DefineAttrR("AcqTime", kHiddenSettings, &f.acqTime, kTimeUnit, nullptr);
        rvo_DefineAttrI("AcqCount", kHiddenSettings, &r.acqCount, 2, nullptr);
        rvo_DefineAttrR("SampleTime", kHiddenSettings, &f.sampleTime, kTimeUnit, nullptr);
        rvo_DefineAttrR("Filter", kHiddenSettings, &f.filter, kUnitHertz, nullptr);
    }
    rvo_DefineAttrSList("DATA", kDetails, r.data, sizeof r.data, kDataList, nullptr);
}

EN_NEV_RESULT RunAcq(StepPass<AcqRecord>& pass, double* callerSamples) {
    AcqRecord& r = *pass.record;
    const FunctionSettings& f = r.f;
    rvo_ReadAttrR(r.head.component, &r.measDelay);
    rvo_ReadAttrSList(r.head.component, r.data, sizeof r.data);
    DeviceRecord* meter = FindMeter(pass.bench, r.head.parts.device);
    if (!meter) {
        rvo_SetSTEPResult(-2);
        pass.error.Set(ParamError(7), f.devChanAttr);
        return -2;
    }
    rvo_SetSTEPDeviceName(meter->name);
    if (r.mode != kRead && r.mode != kConfig && r.mode != kFetch) {
        rvo_SetSTEPResult(-2);
        pass.error.Set(kErrFunction, kInvalidSetting);
        return -2;
    }
    if (!callerSamples && r.acqCount > kSampleStore && r.mode != kConfig) {
        pass.error.Set(ParamError(14), kStoreOverflow);
        return -2;
    }
    double* samples = callerSamples ? callerSamples : r.samples;
    char warning[kWarningSize] = {};
    Status s;
    Status read;
    int32_t got = 0;

    if (r.mode == kFetch) {
        if (f.preRouting[0] &&
            (!RunRoutingList(pass.bench, f.preRouting, "PreRoute", warning, pass.error) ||
             !RouteCommand(pass.error, pass.bench, kSettle))) {
            return -2;
        }
        DMM_Fetch(0, meter->handle, 1.0, r.acqCount, samples, &got, &read.warning, &read.error,
                  read.message);
    } else {
        DMM_Conf_Measurement(0, meter->handle, f.function, f.range, kRangeOff, 0.001, &s.warning,
                             &s.error, s.message);
        if (s.failed(pass.error)) {
            return -2;
        }
        DMM_Conf_Trigger(0, meter->handle, meter->state.triggerSource, r.measDelay, &s.warning,
                         &s.error, s.message);
        if (s.failed(pass.error) ||
            !RunRoutingList(pass.bench, f.preRouting, "PreRoute", warning, pass.error) ||
            !ConfigureMeasurementUnit(pass.error, *meter, f, 1, 0.0)) {
            return -2;
        }
        DMM_Conf_Multi_Point(0, meter->handle, 1, r.acqCount, "INTERVAL", f.sampleTime, &s.warning,
                             &s.error, s.message);
        if (s.failed(pass.error)) {
            return -2;
        }
        if (r.mode == kConfig) {
            if (!RunRoutingList(pass.bench, f.postRouting, "PostRoute", warning, pass.error) ||
                ((f.preRouting[0] || f.postRouting[0]) &&
                 !RouteCommand(pass.error, pass.bench, kSettle))) {
                return -2;
            }
            return static_cast<EN_NEV_RESULT>(rvo_VerifyS(
                0, pass.call.stepName, pass.call.lineCode, 0, r.head.parts.function, nullptr,
                nullptr, RVO_VERDICT_EXECUTIVE, 0.0, f.devChanAttr, pass.call.comment));
        }
        if (!RouteCommand(pass.error, pass.bench, kSettle)) {
            return -2;
        }
        DMM_Read(0, meter->handle, 1.0, r.acqCount, samples, &got, &read.warning, &read.error,
                 read.message);
        if (read.error != 0 && read.error != kNoValidSample && f.unit == kUnitOhm) {
            // A resistance that the first range could not take: configure once more and retry.
            DMM_Conf_Measurement(0, meter->handle, f.function, f.secondRange, kRangeOff, 0.001,
                                 &s.warning, &s.error, s.message);
            if (s.failed(pass.error)) {
                return -2;
            }
            read = Status{};
            DMM_Read(0, meter->handle, 1.0, r.acqCount, samples, &got, &read.warning, &read.error,
                     read.message);
        }
        if (read.error != 0 && read.error != kNoValidSample) {
            read.failed(pass.error);
            return -2;
        }
    }
    if (r.mode == kFetch && read.error != 0 && read.error != kNoValidSample) {
        read.failed(pass.error);
        return -2;
    }

    // Back to single-point operation; the restoring calls cannot fail the step.
    Status restore;
    DMM_Conf_Multi_Point(0, meter->handle, 1, 1, "INTERVAL", f.sampleTime, &restore.warning,
                         &restore.error, restore.message);
    DMM_Conf_Trigger(0, meter->handle, meter->state.triggerSource, 0.0, &restore.warning,
                     &restore.error, restore.message);

    double mean = kOverRangeValue;
    StepError pending;
    if (read.error == kNoValidSample) {
        pending.Set(static_cast<uint32_t>(read.error), read.message);
    } else {
        const int32_t count = got < 0 ? 0 : (got > r.acqCount ? r.acqCount : got);
        double sum = 0;
        int32_t valid = 0;
        for (int32_t i = 0; i < count; ++i) {
            if (!std::isnan(samples[i])) {
                sum += samples[i];
                ++valid;
            }
        }
        mean = valid > 0 ? sum / valid : NAN;
        if (valid < count) {
            FormatWarning("NAN", static_cast<uint32_t>(count - valid), kNanText, warning);
        }
    }
    if (!RunRoutingList(pass.bench, f.postRouting, "PostRoute", warning, pass.error)) {
        return -2;
    }
    char text[kWarningCommentSize];
    if (warning[0]) {
        FormatText(text, sizeof text, "%s KORA warning: %s", OrEmpty(pass.call.comment), warning);
    } else {
        CopyText(text, OrEmpty(pass.call.comment));
    }
    const EN_NEV_RESULT verdict = static_cast<EN_NEV_RESULT>(rvo_VerifyR(
        0, pass.call.stepName, pass.call.lineCode, f.unit, f.limits.low, f.limits.lowOp, mean,
        f.limits.highOp, f.limits.high, RVO_VERDICT_EXECUTIVE, 0.0, f.devChanAttr, text));
    if (std::strcmp(r.data, "YES") == 0) {
        rvo_VerifyRE(1, "DATA", pass.call.lineCode, f.unit, got, samples, f.acqTime, "");
    }
    return FinishRead(pass, pending, verdict);
}

} // namespace
} // namespace kora::dmm

using namespace kora;
using namespace kora::dmm;

KORA_EXPORT EN_NEV_RESULT MEAS_DMM(long stepRef, const char* stepName, long lineCode, long stepArg,
                                   const char* comment, const char* PreRouting,
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

KORA_EXPORT EN_NEV_RESULT ACQ_DMM(long stepRef, const char* stepName, long lineCode, long stepArg,
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
        [&](auto& pass) { return RunAcq(pass, Samples); });
}
