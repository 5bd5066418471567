// DC power measurements: MEAS_DCPWR (one value: plain, from the sink readings, or the RMS of a
// series) and ACQ_DCPWR (a series of samples configured, read or fetched, checked by its mean).
#include "exports/export.h"
#include "frame/text.h"
#include "instruments/dcpwr_common.h"
#include "routing/routing.h"

#include <kora/step_methods.h>
#include <rvoapi.h>

#include <cmath>
#include <cstring>

namespace kora::dcpwr {
namespace {

constexpr const char* kMeasMethod = "MEAS_DCPWR";
constexpr const char* kAcqMethod = "ACQ_DCPWR";
constexpr const char* kSettings = "SETTINGS";
constexpr const char* kHiddenSettings = "-SETTINGS";

constexpr const char* kMeasFunctions = "VDC,ADC,RES,PWR";
enum MeasFunction { kVdc = 1, kAdc, kRes, kPwr };
struct Quantity {
    const char* driverName;
    long unit;
};
constexpr Quantity kMeasQuantities[] = {{"VOLTAGE", kUnitVolt},
                                        {"CURRENT", kUnitAmpere},
                                        {"RESISTANCE", kUnitOhm},
                                        {"POWER", kUnitWatt}};
constexpr const char* kMeasChannels = "ISENSE,XSENSE,SUPPLY,SINK";
enum MeasChannel { kIsense = 1, kXsense, kSupply, kSink };
constexpr const char* kMeasVoltages[] = {"VOLTAGE", "VOLTAGE_SENSE", "VOLTAGE_SUPPLY"};
constexpr const char* kRmsSuffix = "RMS";
constexpr double kSampleTime = 0.0001;
constexpr int32_t kMeasStore = 256;
constexpr double kFetchMargin = 1.0;
constexpr const char* kImmediate = "IMMEDIATE";
constexpr const char* kNotInSink = "Channel not in SINK mode";
constexpr int32_t kSinkVoltageValid = 0x1, kSinkCurrentValid = 0x2;

constexpr const char* kAcqModes = "READ,CONFIG,FETCH,READ[X],FETCH[X]";
enum AcqMode { kRead = 1, kConfig = 2, kFetch = 3 };
constexpr int kAcqModeOf[] = {kRead, kConfig, kFetch, kRead, kFetch};
constexpr const char* kAcqFunctions = "VDC,ADC";
constexpr const char* kAcqChannels = "ISENSE,XSENSE,SUPPLY";
constexpr const char* kAcqVoltages[] = {"VOLTAGE_SENSE", "VOLTAGE_EXT", "VOLTAGE_SUPPLY"};
constexpr int32_t kAcqStore = 5000;
constexpr const char* kStoreOverflow = "INTERNAL DATA STORAGE overflow: #Samples > 5000";
constexpr const char* kNanText = "Invalid measurement sample detected";

struct Routing {
    char pre[kRoutingTextSize];
    char post[kRoutingTextSize];
};

struct MeasRecord {
    StepHead head; // selector: MeasFunction, 0 for an invalid setting
    char quantity[32];
    int32_t unit;
    int32_t sink;
    int32_t rms;
    LimitRecord limits;
    double measTime;
    double acqTime;
    double sampleTime;
    int32_t sampleCount;
    Routing routing;
    char devChanAttr[256];
    double samples[kMeasStore];
};

struct AcqRecord {
    StepHead head; // selector: 1 VDC, 2 ADC, 0 for an invalid setting
    char quantity[32];
    int32_t unit;
    int32_t mode;
    LimitRecord limits;
    double measDelay;
    double measTime;
    double acqTime;
    double sampleTime;
    int32_t sampleCount;
    int32_t acqCount;
    char data[8];
    Routing routing;
    char devChanAttr[256];
    double samples[kAcqStore];
};

bool CompileRouting(StepError& error, Routing& r, const char* pre, const char* post, int preArg,
                    int postArg) {
    char message[kMessageSize] = {};
    if (_CompileRouting(pre, post, r.pre, r.post, kRoutingTextSize, message) != 0) {
        const bool preFailed = std::strstr(message, "PRE-Routing") != nullptr;
        return !error.Set(ParamError(preFailed ? preArg : postArg), message);
    }
    return true;
}

bool PreRoute(StepPass<MeasRecord>& pass, const char* text, char* warning) {
    return !text[0] || (RunRoutingList(pass.bench, text, "PreRoute", warning, pass.error) &&
                        SettleRouting(pass.error, pass.bench));
}

// ---- MEAS_DCPWR ----------------------------------------------------------------------------

void CompileMeas(StepPass<MeasRecord>& pass, const char* pre, const char* devChanAttr,
                 const char* low, double nominal, const char* high, double measTime,
                 const char* post) {
    MeasRecord& r = *pass.record;
    r.head.selector = 0;
    if (!CompileDevChanAttr(pass.error, r.head, devChanAttr, kMeasMethod, 0)) {
        return;
    }
    const int f = MatchKeyword(r.head.parts.function, kMeasFunctions);
    const char* suffix = r.head.parts.suffix;
    const bool rms = std::strcmp(suffix, kRmsSuffix) == 0;
    if (f == 0 || (suffix[0] && !rms)) {
        RefuseKeyword(pass.error, 7, devChanAttr);
        return;
    }
    if (!CompileRouting(pass.error, r.routing, pre, post, 6, 14)) {
        return;
    }
    const Quantity& q = kMeasQuantities[f - 1];
    CopyText(r.quantity, q.driverName);
    r.unit = static_cast<int32_t>(q.unit);
    const int channel = MatchKeyword(r.head.parts.channel, kMeasChannels);
    r.sink = channel == kSink ? 1 : 0;
    r.rms = rms ? 1 : 0;
    bool valid = true;
    if (channel >= kIsense && channel <= kSupply) {
        valid = f == kVdc;
        CopyText(r.quantity, kMeasVoltages[channel - 1]);
    }
    if (rms) {
        valid = valid && (f == kVdc || f == kAdc) && !r.sink;
        if (f == kVdc) {
            r.unit = kUnitVoltRms;
        }
    }
    ParseLimits(low, nominal, nullptr, high, &r.limits);
    r.measTime = measTime;
    r.acqTime = std::isnan(measTime) ? 0.0 : measTime;
    r.sampleTime = kSampleTime;
    if (measTime > 0) {
        const double count = std::trunc(r.acqTime / r.sampleTime);
        r.sampleCount = count > kMeasStore ? kMeasStore
                        : count < 1        ? 1
                                           : static_cast<int32_t>(count);
        if (count > kMeasStore) {
            r.sampleTime = r.acqTime / kMeasStore;
        }
    } else {
        r.sampleCount = 1;
        r.acqTime = r.sampleTime;
    }
    CopyText(r.devChanAttr, OrEmpty(devChanAttr));
    r.head.selector = valid ? f : 0;
    rvo_DefineAttrS("PreRouting", kMeasMethod, r.routing.pre, 0, kRoutingCategory);
    rvo_DefineAttrR("MeasTime", kMeasMethod, &r.measTime, kUnitSecondWord, nullptr);
    rvo_DefineAttrS("PostRouting", kMeasMethod, r.routing.post, 0, kRoutingCategory);
    rvo_DefineAttrR("AcqTime", kSettings, &r.acqTime, kUnitSecondWord, nullptr);
    rvo_DefineAttrI("SampleCount", kSettings, &r.sampleCount, kUnitCount, nullptr);
    rvo_DefineAttrR("SampleTime", kSettings, &r.sampleTime, kUnitSecondWord, nullptr);
}

// The value from the sink readings.
bool SinkValue(StepPass<MeasRecord>& pass, double* value, char* warning) {
    const MeasRecord& r = *pass.record;
    Status s;
    int32_t state = 0;
    double volts = 0, amperes = 0;
    DCPWR_Query_Sink_State(0, SessionOf(pass.bench), ChannelOf(r.head), &state, &volts, &amperes,
                           &s.warning, &s.error, s.message);
    if (s.failed(pass.error)) {
        return false;
    }
    if (state == 0) {
        FormatWarning("SinkState", 0, kNotInSink, warning);
    }
    const bool v = state & kSinkVoltageValid, i = state & kSinkCurrentValid;
    switch (r.head.selector) {
    case kVdc:
        *value = v ? volts : kOverRangeValue;
        break;
    case kAdc:
        *value = i ? amperes : kOverRangeValue;
        break;
    case kRes:
        *value = v && i && amperes != 0 ? volts / amperes : kOverRangeValue;
        break;
    default:
        *value = v && i ? volts * amperes : kOverRangeValue;
        break;
    }
    return true;
}

// The RMS of a series of samples.
bool RmsValue(StepPass<MeasRecord>& pass, double* value) {
    MeasRecord& r = *pass.record;
    const long session = SessionOf(pass.bench);
    const char* channel = ChannelOf(r.head);
    Status s;
    DCPWR_Conf_Acquisition(0, session, channel, r.quantity, r.sampleCount, r.sampleTime, kImmediate,
                           0.0, &s.warning, &s.error, s.message);
    if (s.failed(pass.error)) {
        return false;
    }
    DCPWR_Initiate_Acquisition(0, session, channel, &s.warning, &s.error, s.message);
    if (s.failed(pass.error)) {
        return false;
    }
    int32_t got = 0;
    const double timeout = (std::isnan(r.measTime) ? 0.0 : r.measTime) + kFetchMargin;
    DCPWR_Fetch_Acquisition(0, session, channel, timeout, r.sampleCount, r.samples, &got,
                            &s.warning, &s.error, s.message);
    if (s.failed(pass.error)) {
        return false;
    }
    double squares = 0;
    int32_t valid = 0;
    for (int32_t k = 0; k < got && k < kMeasStore; ++k) {
        if (!std::isnan(r.samples[k])) {
            squares += r.samples[k] * r.samples[k];
            ++valid;
        }
    }
    *value = valid > 0 ? std::sqrt(squares / valid) : 0.0;
    return true;
}

EN_NEV_RESULT RunMeas(StepPass<MeasRecord>& pass, double* result) {
    MeasRecord& r = *pass.record;
    if (r.head.selector == 0) {
        return InvalidSetting(pass.error), -2;
    }
    const char* channel = ChannelOf(r.head);
    ShowChannelDevice(pass.bench, channel);
    char warning[kWarningSize] = {};
    double value = kOverRangeValue;
    if (!PreRoute(pass, r.routing.pre, warning)) {
        return -2;
    }
    if (r.sink) {
        if (!SinkValue(pass, &value, warning)) {
            return -2;
        }
    } else if (r.rms) {
        if (!RmsValue(pass, &value)) {
            return -2;
        }
    } else {
        Status s;
        const long session = SessionOf(pass.bench);
        DCPWR_Conf_Measurement(0, session, channel, r.sampleCount, r.sampleTime, 0.0, &s.warning,
                               &s.error, s.message);
        if (s.failedBut(pass.error, kErrNotApplicable)) {
            return -2;
        }
        const int32_t status =
            DCPWR_Measure(0, session, channel, r.quantity, &value, &s.warning, &s.error, s.message);
        if (s.failed(pass.error)) {
            return -2;
        }
        if (status > 0) {
            FormatWarning("Measure", static_cast<uint32_t>(status), s.message, warning);
            value = kOverRangeValue;
        }
    }
    if (!RunRoutingList(pass.bench, r.routing.post, "PostRoute", warning, pass.error)) {
        return -2;
    }
    if (result) {
        *result = value;
    }
    char comment[kWarningCommentSize];
    WarningComment(pass.call.comment, warning, comment);
    const auto verdict = static_cast<EN_NEV_RESULT>(rvo_VerifyR(
        0, pass.call.stepName, pass.call.lineCode, r.unit, r.limits.low, r.limits.lowOp, value,
        r.limits.highOp, r.limits.high, RVO_VERDICT_EXECUTIVE, 0.0, r.devChanAttr, comment));
    TraceRouting(pass.bench, pass.call.stepName);
    return verdict;
}

// ---- ACQ_DCPWR -----------------------------------------------------------------------------

void CompileAcq(StepPass<AcqRecord>& pass, const char* pre, const char* devChanAttr,
                const char* low, const char* nominal, const char* high, double measDelay,
                double measTime, long sampleCount, const char* post) {
    AcqRecord& r = *pass.record;
    r.head.selector = 0;
    r.mode = 0;
    if (!CompileDevChanAttr(pass.error, r.head, devChanAttr, kAcqMethod, 1)) {
        return;
    }
    const int mode = MatchKeyword(r.head.parts.suffix, kAcqModes);
    const int f = MatchKeyword(r.head.parts.function, kAcqFunctions);
    if (mode == 0 || f == 0) {
        RefuseKeyword(pass.error, 7, devChanAttr);
        return;
    }
    if (!CompileRouting(pass.error, r.routing, pre, post, 6, 16)) {
        return;
    }
    r.mode = kAcqModeOf[mode - 1];
    CopyText(r.quantity, kMeasQuantities[f - 1].driverName);
    r.unit = static_cast<int32_t>(kMeasQuantities[f - 1].unit);
    bool valid = true;
    if (r.head.parts.channel[0]) {
        const int channel = MatchKeyword(r.head.parts.channel, kAcqChannels);
        valid = channel != 0 && f == 1;
        if (channel != 0) {
            CopyText(r.quantity, kAcqVoltages[channel - 1]);
        }
    }
    ParseLimits(low, NAN, nominal, high, &r.limits);
    r.measDelay = measDelay;
    r.measTime = measTime;
    r.sampleTime = kSampleTime;
    r.sampleCount = TruncToInt32(static_cast<double>(sampleCount));
    r.acqCount = r.sampleCount < 1 ? 1 : r.sampleCount;
    if (!(measTime > 0)) {
        r.acqTime = r.acqCount * r.sampleTime;
    } else {
        r.acqTime = measTime;
        if (r.acqCount > 1) {
            r.sampleTime = measTime / (r.acqCount - 1);
        }
    }
    CopyText(r.data, "NO");
    CopyText(r.devChanAttr, OrEmpty(devChanAttr));
    r.head.selector = valid ? f : 0;
    rvo_DefineAttrS("PreRoute", kAcqMethod, r.routing.pre, 1, kRoutingCategory);
    rvo_DefineAttrR("MeasDelay", kAcqMethod, &r.measDelay, kUnitSecondWord, nullptr);
    rvo_DefineAttrR("MeasTime", kAcqMethod, &r.measTime, kUnitSecondWord, nullptr);
    rvo_DefineAttrI("SampleCount", kAcqMethod, &r.sampleCount, kUnitCount, nullptr);
    rvo_DefineAttrS("PostRoute", kAcqMethod, r.routing.post, 1, kRoutingCategory);
    if (r.mode != kFetch) {
        rvo_DefineAttrR("AcqTime", kHiddenSettings, &r.acqTime, kUnitSecondWord, nullptr);
        rvo_DefineAttrR("SampleTime", kHiddenSettings, &r.sampleTime, kUnitSecondWord, nullptr);
        rvo_DefineAttrI("AcqCount", kHiddenSettings, &r.acqCount, kUnitCount, nullptr);
    }
    rvo_DefineAttrSList("DATA", kDetails, r.data, sizeof r.data, kDataList, nullptr);
}

EN_NEV_RESULT RunAcq(StepPass<AcqRecord>& pass, double* callerSamples) {
    AcqRecord& r = *pass.record;
    rvo_ReadAttrR(r.head.component, &r.measDelay);
    rvo_ReadAttrSList(r.head.component, r.data, sizeof r.data);
    if (r.head.selector == 0 || r.mode == 0) {
        return InvalidSetting(pass.error), -2;
    }
    const char* channel = ChannelOf(r.head);
    ShowChannelDevice(pass.bench, channel);
    if (!callerSamples && r.acqCount > kAcqStore && r.mode != kConfig) {
        pass.error.Set(ParamError(15), kStoreOverflow);
        return -2;
    }
    double* samples = callerSamples ? callerSamples : r.samples;
    const long session = SessionOf(pass.bench);
    char warning[kWarningSize] = {};
    if (r.routing.pre[0] &&
        !RunRoutingList(pass.bench, r.routing.pre, "PreRoute", warning, pass.error)) {
        return -2;
    }
    Status s;
    if (r.mode != kFetch) {
        const char* trigger = pass.bench->dcpwr.state.triggerSource[0]
                                  ? pass.bench->dcpwr.state.triggerSource
                                  : kImmediate;
        DCPWR_Conf_Acquisition(0, session, channel, r.quantity, r.acqCount, r.sampleTime, trigger,
                               r.measDelay, &s.warning, &s.error, s.message);
        if (s.failed(pass.error)) {
            return -2;
        }
    }
    if (r.mode == kConfig) {
        if (!RunRoutingList(pass.bench, r.routing.post, "PostRoute", warning, pass.error)) {
            return -2;
        }
        char comment[kWarningCommentSize];
        WarningComment(pass.call.comment, warning, comment);
        const EN_NEV_RESULT verdict =
            VerifyText(pass.call, r.head.parts.function, r.devChanAttr, comment);
        TraceRouting(pass.bench, pass.call.stepName);
        return verdict;
    }
    if (r.mode == kRead) {
        if (!SettleRouting(pass.error, pass.bench)) {
            return -2;
        }
        DCPWR_Initiate_Acquisition(0, session, channel, &s.warning, &s.error, s.message);
        if (s.failed(pass.error)) {
            return -2;
        }
    }
    int32_t got = 0;
    const double timeout = (std::isnan(r.measTime) ? 0.0 : r.measTime) + kFetchMargin;
    DCPWR_Fetch_Acquisition(0, session, channel, timeout, r.acqCount, samples, &got, &s.warning,
                            &s.error, s.message);
    if (s.failed(pass.error)) {
        return -2;
    }
    const int32_t count = got < 0 ? 0 : (got > r.acqCount ? r.acqCount : got);
    double sum = 0;
    int32_t valid = 0;
    for (int32_t k = 0; k < count; ++k) {
        if (!std::isnan(samples[k])) {
            sum += samples[k];
            ++valid;
        }
    }
    const double mean = valid > 0 ? sum / valid : NAN;
    if (valid < count) {
        FormatWarning("NAN", static_cast<uint32_t>(count - valid), kNanText, warning);
    }
    if (!RunRoutingList(pass.bench, r.routing.post, "PostRoute", warning, pass.error)) {
        return -2;
    }
    char comment[kWarningCommentSize];
    WarningComment(pass.call.comment, warning, comment);
    const auto verdict = static_cast<EN_NEV_RESULT>(rvo_VerifyR(
        0, pass.call.stepName, pass.call.lineCode, r.unit, r.limits.low, r.limits.lowOp, mean,
        r.limits.highOp, r.limits.high, RVO_VERDICT_EXECUTIVE, 0.0, r.devChanAttr, comment));
    if (std::strcmp(r.data, "YES") == 0) {
        rvo_VerifyRE(1, "DATA", pass.call.lineCode, r.unit, count, samples, r.acqTime, "");
    }
    TraceRouting(pass.bench, pass.call.stepName);
    return verdict;
}

} // namespace
} // namespace kora::dcpwr

using namespace kora;
using namespace kora::dcpwr;

KORA_EXPORT EN_NEV_RESULT MEAS_DCPWR(long stepRef, const char* stepName, long lineCode,
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

KORA_EXPORT EN_NEV_RESULT ACQ_DCPWR(long stepRef, const char* stepName, long lineCode, long stepArg,
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
