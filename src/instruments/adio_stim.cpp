// STIM_ADIO: an analog waveform or a digital pattern loaded into the I/O module's stimulus memory
// and started (or only loaded).
#include "exports/export.h"
#include "frame/text.h"
#include "instruments/adio_common.h"

#include <kora/step_methods.h>
#include <rvoapi.h>

#include <cstring>

namespace kora::adio {
namespace {

constexpr const char* kStimMethod = "STIM_ADIO";
constexpr const char* kStimFunctions = "PATTERN,WAVEFORM,WAVEFORM[X]";
constexpr const char* kLoadOnly = "LOAD";
constexpr const char* kMemoryLabel = "Memory";
constexpr const char* kDataName = "DATA";
constexpr const char* kFileMessage = "Loading from file not supported";
constexpr const char* kNullDataMessage = "Invalid data pointer (NULL)";
constexpr const char* kCountMessage = "Sample count out of range (2..5000)";
constexpr const char* kSampleTimeMessage = "SampleTime out of range (<200e-6)";
constexpr int32_t kMinSamples = 2, kMaxSamples = 5000;
constexpr double kMinSampleTime = 0.0002;
constexpr int kDevChanArgument = 6;

struct StimRecord {
    StepHead head; // selector: 1 PATTERN, 2 and 3 WAVEFORM
    int32_t loadOnly;
    char fileName[256];
    double stimTime;
    int32_t sampleCount;
    int32_t loadCount;
    char data[8];
    uint16_t pattern[kMaxSamples];
};

EN_NEV_RESULT RunStim(StepPass<StimRecord>& pass, const char* devChanAttr, const char* fileName,
                      double stimTime, const void* data, long sampleCount, long* loadCount) {
    StimRecord& r = *pass.record;
    const StepCall& call = pass.call;
    CopyText(r.fileName, OrEmpty(fileName));
    r.stimTime = stimTime;
    r.sampleCount = TruncToInt32(static_cast<double>(sampleCount));
    rvo_UpdateAttrS(r.head.component, "FileName", r.fileName);
    rvo_UpdateAttrI(r.head.component, &r.sampleCount);
    rvo_UpdateAttrR(r.head.component, &r.stimTime);
    rvo_ReadAttrSList(r.head.component, r.data, sizeof r.data);
    if (r.head.selector < 1 || r.head.selector > 3) {
        return Refuse(pass.error, kErrFunction, kInvalidSetting), -2;
    }
    if (loadCount) {
        *loadCount = 0;
    }
    DeviceRecord* d =
        FindModule(pass.error, pass.bench, r.head, ParamError(kDevChanArgument), devChanAttr);
    if (!d) {
        return -2;
    }
    const ViSession vi = static_cast<ViSession>(d->handle);
    if (r.fileName[0]) {
        return pass.error.Set(ParamError(7), kFileMessage), -2;
    }
    if (!data) {
        return pass.error.Set(ParamError(8), kNullDataMessage), -2;
    }
    if (r.sampleCount < kMinSamples || r.sampleCount > kMaxSamples) {
        return pass.error.Set(ParamError(9), kCountMessage), -2;
    }
    const bool waveform = r.head.selector != 1;
    ViStatus status = VI_SUCCESS;
    if (waveform) {
        status =
            rspio2_SetAnalogWaveformMemory(vi, r.sampleCount, static_cast<const double*>(data));
    } else {
        // Integer arrays are the executive's `long` words (32 bits on the target platform).
        const auto* words = static_cast<const long*>(data);
        for (int32_t i = 0; i < r.sampleCount; ++i) {
            r.pattern[i] = static_cast<uint16_t>(words[i] & 0xFFFF);
        }
        status = rspio2_SetDigitalDynamicMemory(vi, r.sampleCount, r.pattern);
    }
    if (DriverFailed(pass.error, vi, status)) {
        return -2;
    }
    r.loadCount = r.sampleCount;
    rvo_UpdateAttrI(r.head.component, &r.loadCount);
    if (loadCount) {
        *loadCount = r.loadCount;
    }
    const double sampleTime = r.stimTime / (r.sampleCount - 1);
    if (!(sampleTime >= kMinSampleTime * (1 - 1e-9))) {
        return pass.error.Set(ParamError(9), kSampleTimeMessage), -2;
    }
    if (DriverFailed(pass.error, vi, rspio2_ConfigureSampling(vi, r.sampleCount, sampleTime)) ||
        (!r.loadOnly && DriverFailed(pass.error, vi, rspio2_Initiate(vi)))) {
        return -2;
    }
    if (MatchKeyword(r.data, kDataList) == 2) {
        // The series as the executive keeps it: volts, or the pattern words as numbers.
        if (waveform) {
            rvo_VerifyRE(1, kDataName, call.lineCode, kUnitVolt, r.sampleCount,
                         static_cast<const double*>(data), r.stimTime, "");
        } else {
            double words[kMaxSamples];
            for (int32_t i = 0; i < r.sampleCount; ++i) {
                words[i] = r.pattern[i];
            }
            rvo_VerifyRE(1, kDataName, call.lineCode, kUnitNone, r.sampleCount, words, r.stimTime,
                         "");
        }
    }
    return VerifyText(call, r.head.parts.function, r.head.parts.channel);
}

} // namespace
} // namespace kora::adio

using namespace kora;
using namespace kora::adio;

KORA_EXPORT EN_NEV_RESULT STIM_ADIO(long stepRef, const char* stepName, long lineCode, long stepArg,
                                    const char* comment, const char* DevChanAttr,
                                    const char* FileName, double StimTime, void* Data,
                                    long SampleCount, long* LoadCount) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kStimMethod};
    return RunStandardPass<StimRecord>(
        call, kKindNone, true,
        [&](auto& pass) {
            StimRecord& r = *pass.record;
            r.head.selector = 0;
            if (!CompileDevChanAttr(pass.error, r.head, DevChanAttr, kStimMethod, 0)) {
                return;
            }
            r.head.selector = MatchKeyword(r.head.parts.function, kStimFunctions);
            if (r.head.selector == 0) {
                Refuse(pass.error, ParamError(kDevChanArgument), DevChanAttr);
                return;
            }
            r.loadOnly = std::strcmp(r.head.parts.suffix, kLoadOnly) == 0;
            CopyText(r.fileName, OrEmpty(FileName));
            r.stimTime = StimTime;
            r.sampleCount = TruncToInt32(static_cast<double>(SampleCount));
            if (r.data[0] == 0) {
                CopyText(r.data, "NO");
            }
            rvo_DefineAttrS("FileName", kStimMethod, r.fileName, 1,
                            r.fileName[0] ? nullptr : kMemoryLabel);
            rvo_DefineAttrI("SampleCount", kStimMethod, &r.sampleCount, kUnitCount, nullptr);
            rvo_DefineAttrR("StimTime", kStimMethod, &r.stimTime, kUnitSecondWord, nullptr);
            rvo_DefineAttrSList("DATA", kDetails, r.data, sizeof r.data, kDataList, nullptr);
            rvo_DefineAttrI("LoadCount", kDetails, &r.loadCount, kUnitCount, nullptr);
        },
        [&](auto& pass) {
            return RunStim(pass, DevChanAttr, FileName, StimTime, Data, SampleCount, LoadCount);
        });
}
