// STIM_FUNCGEN, an arbitrary waveform from a caller's array (kept loaded between executions), and
// EXEC_FUNCGEN, a sequence of such waveforms.
//
// The step record caches what the instrument holds, so that a repeated execution sends only what
// changed. A waveform is loaded again when the array's address, its count or any of its values
// differ from the ones loaded (a program that refills the same array expects the new samples to
// play); the marker window is sent again when the waveform or the window changed; gain and offset
// go to the channel when they changed or the waveform is new. The waveform handle is handed back
// on every execution, the cached one when nothing was loaded.
#include "exports/export.h"
#include "frame/bench_context.h"
#include "frame/text.h"
#include "instruments/funcgen_common.h"

#include <kora/step_methods.h>
#include <rvoapi.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <vector>

namespace kora::funcgen {
namespace {

constexpr const char* kStimMethod = "STIM_FUNCGEN";
constexpr const char* kExecMethod = "EXEC_FUNCGEN";
constexpr const char* kStimKeywords = "WAVEFORM,WAVEFORM[X]";
constexpr const char* kExecKeywords = "SEQUENCE";
constexpr const char* kArbitraryMode = "ARBITRARY";
constexpr const char* kSequenceMode = "SEQUENCE";
constexpr const char* kDataList = "NO,YES";
constexpr const char* kDetails = "-DETAILS";
constexpr const char* kMarkerAllocation = "MARKER ARRAY";
constexpr const char* kOutOfRange = "OUT OF RANGE (<=0)";
constexpr int kDevChanAttrArgument = 6;
constexpr int kCycleTimeArgument = 11;

// What the instrument holds for one step record: the samples loaded (to see a refilled array)
// and the marker array. Kept per record for the life of the process, as the executive never says
// when a record goes.
struct Held {
    std::vector<double> values;
    std::vector<double> markers;
};
std::mutex g_heldMutex;
std::map<const void*, Held>& HeldOf() {
    static std::map<const void*, Held> held;
    return held;
}

struct StimRecord {
    StepHead head;
    int32_t channel;
    int32_t switching;
    int32_t sampleCount;
    int32_t cycleCount;
    int32_t markerIndex;
    int32_t markerLength;
    double gain;
    double offset;
    double cycleTime;
    char data[8];
    // cache
    int32_t cacheReady;
    uint32_t cacheEpoch; // the bench memory epoch of the session that holds the waveform
    const double* cachedSamples;
    int32_t cachedCount;
    int32_t waveHandle; // -1 none
    int32_t cachedMarkerIndex;
    int32_t cachedMarkerLength;
    const double* markers; // the marker array sent, null none
    double cachedGain;
    double cachedOffset;
};

struct ExecRecord {
    StepHead head;
    int32_t channel;
    int32_t switching;
    int32_t waveCount;
    int32_t cycleCount;
    double gain;
    double offset;
    double cycleTime;
    // cache
    int32_t cacheReady;
    uint32_t cacheEpoch; // the bench memory epoch of the session that holds the sequence
    const long* cachedHandles;
    int32_t sequence; // -1 none
    double cachedGain;
    double cachedOffset;
};

void ResetCache(StimRecord& r) {
    r.cacheReady = 1;
    r.cacheEpoch = BenchMemoryEpoch();
    r.cachedSamples = nullptr;
    r.cachedCount = 0;
    r.waveHandle = -1;
    r.markers = nullptr;
    r.cachedMarkerIndex = r.cachedMarkerLength = 0;
    r.cachedGain = r.cachedOffset = NAN;
}

void ResetSequenceCache(ExecRecord& r) {
    r.cacheReady = 1;
    r.cacheEpoch = BenchMemoryEpoch();
    r.sequence = -1;
    r.cachedHandles = nullptr;
    r.cachedGain = r.cachedOffset = NAN;
}

// The marker window of an index and a length: [index, index + length) for a positive length,
// [index + 1 + length, index + 1) for a negative one, clipped to the samples.
void MarkWindow(std::vector<double>& markers, long index, long length) {
    const long count = static_cast<long>(markers.size());
    long from = length > 0 ? index : index + 1 + length;
    long to = length > 0 ? index + length : index + 1;
    from = std::clamp(from, 0L, count);
    to = std::clamp(to, 0L, count);
    for (long i = from; i < to; ++i) {
        markers[static_cast<std::size_t>(i)] = 1.0;
    }
}

bool SameValues(const std::vector<double>& held, const double* samples, long count) {
    return static_cast<long>(held.size()) == count &&
           std::memcmp(held.data(), samples, held.size() * sizeof(double)) == 0;
}

// Takes the channel part and the function keyword of both steps.
bool CompileHead(StepPass<StimRecord>& pass, StepHead& head, int32_t* channel, int32_t* switching,
                 const char* devChanAttr, const char* method, long option, const char* keywords) {
    head.selector = 0;
    if (!CompileDevChanAttr(pass.error, head, devChanAttr, method, option)) {
        return false;
    }
    *channel = MatchKeyword(head.parts.channel, kChannelList);
    const int f = MatchKeyword(head.parts.function, keywords);
    if (*channel == 0 || f == 0) {
        return RefuseKeyword(pass.error, ParamError(kDevChanAttrArgument), devChanAttr);
    }
    head.selector = f;
    *switching = SwitchingOf(head.parts.suffix);
    return true;
}

class StimRun {
  public:
    StimRun(StepPass<StimRecord>& pass, DeviceRecord& gen)
        : pass_(pass), r_(*pass.record), handle_(gen.handle),
          channel_(kChannelNames[r_.channel - 1]) {}

    EN_NEV_RESULT run(const double* samples, long* handleOut);

  private:
    bool ok(Status& s) { return !s.failed(pass_.error); }
    bool load(const double* samples, bool* loaded);
    bool mark(bool loaded);

    StepPass<StimRecord>& pass_;
    StimRecord& r_;
    long handle_;
    const char* channel_;
};

bool StimRun::load(const double* samples, bool* loaded) {
    const long count = r_.sampleCount;
    if (r_.cacheEpoch != BenchMemoryEpoch()) {
        // A full clean-up closed the session that held the waveform, with its waveforms: a
        // later execution loads it again into the session set up since.
        std::lock_guard lock(g_heldMutex);
        HeldOf().erase(pass_.record);
        ResetCache(r_);
    }
    bool same = false;
    {
        std::lock_guard lock(g_heldMutex);
        const Held& held = HeldOf()[pass_.record];
        same = r_.waveHandle >= 0 && samples == r_.cachedSamples && count == r_.cachedCount &&
               samples && SameValues(held.values, samples, count);
    }
    *loaded = false;
    if (same) {
        return true;
    }
    Status s;
    if (r_.waveHandle >= 0) {
        FUNCGEN_ClearArbWaveform(0, handle_, r_.waveHandle, &s.warning, &s.error, s.message);
        std::lock_guard lock(g_heldMutex);
        HeldOf().erase(pass_.record);
        ResetCache(r_);
    }
    if (!ok(s)) {
        return false;
    }
    int32_t wave = -1;
    FUNCGEN_CreateArbWaveform(0, handle_, count, samples, &wave, &s.warning, &s.error, s.message);
    if (!ok(s)) {
        return false;
    }
    r_.waveHandle = wave;
    r_.cachedSamples = samples;
    r_.cachedCount = static_cast<int32_t>(count);
    std::lock_guard lock(g_heldMutex);
    HeldOf()[pass_.record].values.assign(samples, samples + count);
    *loaded = true;
    return true;
}

bool StimRun::mark(bool loaded) {
    if (r_.markerLength == 0 || (!loaded && r_.markerIndex == r_.cachedMarkerIndex &&
                                 r_.markerLength == r_.cachedMarkerLength)) {
        return true;
    }
    const double* markers = nullptr;
    {
        std::lock_guard lock(g_heldMutex);
        std::vector<double>& held = HeldOf()[pass_.record].markers;
        try {
            held.assign(static_cast<std::size_t>(std::max(r_.sampleCount, 0)), 0.0);
        } catch (const std::bad_alloc&) {
            return !pass_.error.Set(kErrMemory, kMarkerAllocation);
        }
        MarkWindow(held, r_.markerIndex, r_.markerLength);
        markers = held.data();
    }
    r_.markers = markers;
    r_.cachedMarkerIndex = r_.markerIndex;
    r_.cachedMarkerLength = r_.markerLength;
    Status s;
    FUNCGEN_ConfigureArbMarker(0, handle_, channel_, r_.waveHandle, markers, &s.warning, &s.error,
                               s.message);
    return ok(s);
}

EN_NEV_RESULT StimRun::run(const double* samples, long* handleOut) {
    if (handleOut) {
        *handleOut = -1;
    }
    if (OffBefore(r_.switching) && !EnableOutput(pass_.error, handle_, channel_, 0)) {
        return -2;
    }
    if (!ConfigureCycles(pass_.error, handle_, channel_, r_.cycleCount)) {
        return -2;
    }
    Status s;
    FUNCGEN_ConfigureOutputMode(0, handle_, channel_, kArbitraryMode, &s.warning, &s.error,
                                s.message);
    if (!ok(s)) {
        return -2;
    }
    bool loaded = false;
    if (!load(samples, &loaded)) {
        return -2;
    }
    if (handleOut) {
        *handleOut = r_.waveHandle;
    }
    if (!mark(loaded)) {
        return -2;
    }
    if (loaded || r_.gain != r_.cachedGain || r_.offset != r_.cachedOffset) {
        r_.cachedGain = r_.gain;
        r_.cachedOffset = r_.offset;
        FUNCGEN_ConfigureArbWaveform(0, handle_, channel_, r_.waveHandle, r_.gain, r_.offset,
                                     &s.warning, &s.error, s.message);
        if (!ok(s)) {
            return -2;
        }
    }
    if (r_.cycleTime != 0) {
        FUNCGEN_ConfigureArbFrequency(0, handle_, channel_, 1.0 / r_.cycleTime, &s.warning,
                                      &s.error, s.message);
        if (!ok(s)) {
            return -2;
        }
    }
    if (OnAfter(r_.switching) && !EnableOutput(pass_.error, handle_, channel_, 1)) {
        return -2;
    }
    if (std::strcmp(r_.data, "YES") == 0) {
        rvo_VerifyRE(1, "DATA", pass_.call.lineCode, kUnitVolt, r_.sampleCount, samples,
                     r_.cycleTime, "");
        if (r_.markers) {
            rvo_VerifyRE(2, "MARKER", pass_.call.lineCode, 0, r_.sampleCount, r_.markers,
                         r_.cycleTime, "");
        }
    }
    return VerifyText(pass_.call, channel_, "", pass_.call.comment);
}

EN_NEV_RESULT RunExec(StepPass<ExecRecord>& pass, DeviceRecord& gen, const long* handles) {
    ExecRecord& r = *pass.record;
    const long handle = gen.handle;
    const char* channel = kChannelNames[r.channel - 1];
    if (OffBefore(r.switching) && !EnableOutput(pass.error, handle, channel, 0)) {
        return -2;
    }
    if (!ConfigureCycles(pass.error, handle, channel, r.cycleCount)) {
        return -2;
    }
    Status s;
    FUNCGEN_ConfigureOutputMode(0, handle, channel, kSequenceMode, &s.warning, &s.error, s.message);
    if (s.failed(pass.error)) {
        return -2;
    }
    bool created = false;
    {
        std::lock_guard lock(g_heldMutex);
        if (r.cacheEpoch != BenchMemoryEpoch()) {
            HeldOf().erase(pass.record); // the session that held the sequence is closed
            ResetSequenceCache(r);
        }
        Held& held = HeldOf()[pass.record];
        const bool same = r.sequence >= 0 && handles == r.cachedHandles &&
                          static_cast<long>(held.values.size()) == r.waveCount &&
                          std::equal(held.values.begin(), held.values.end(), handles,
                                     [](double a, long b) { return a == static_cast<double>(b); });
        if (!same) {
            if (r.sequence >= 0) {
                FUNCGEN_ClearArbSequence(0, handle, r.sequence, &s.warning, &s.error, s.message);
                r.sequence = -1;
                held.values.clear();
                if (s.failed(pass.error)) {
                    return -2;
                }
            }
            int32_t sequence = -1;
            FUNCGEN_CreateArbSequence(0, handle, r.waveCount, handles, &sequence, &s.warning,
                                      &s.error, s.message);
            if (s.failed(pass.error)) {
                return -2;
            }
            r.sequence = sequence;
            r.cachedHandles = handles;
            held.values.assign(handles, handles + r.waveCount);
            created = true;
        }
    }
    if (created || r.gain != r.cachedGain || r.offset != r.cachedOffset) {
        r.cachedGain = r.gain;
        r.cachedOffset = r.offset;
        FUNCGEN_ConfigureArbSequence(0, handle, channel, r.sequence, r.gain, r.offset, &s.warning,
                                     &s.error, s.message);
        if (s.failed(pass.error)) {
            return -2;
        }
    }
    if (!(r.cycleTime > 0)) {
        pass.error.Set(ParamError(kCycleTimeArgument), kOutOfRange);
        return -2;
    }
    FUNCGEN_ConfigureArbFrequency(0, handle, channel, 1.0 / r.cycleTime, &s.warning, &s.error,
                                  s.message);
    if (s.failed(pass.error)) {
        return -2;
    }
    if (OnAfter(r.switching) && !EnableOutput(pass.error, handle, channel, 1)) {
        return -2;
    }
    return VerifyText(pass.call, channel, "", pass.call.comment);
}

} // namespace
} // namespace kora::funcgen

using namespace kora;
using namespace kora::funcgen;

KORA_EXPORT EN_NEV_RESULT STIM_FUNCGEN(long stepRef, const char* stepName, long lineCode,
                                       long stepArg, const char* comment, const char* DevChanAttr,
                                       long SampleCount, double* Samples, double Gain,
                                       double Offset, double CycleTime, long CycleCount,
                                       long MarkerIndex, long MarkerLength, long* WaveHandle) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kStimMethod};
    const auto push = [&](StimRecord& r) {
        r.sampleCount = TruncToInt32(static_cast<double>(SampleCount));
        r.cycleCount = TruncToInt32(static_cast<double>(CycleCount));
        r.markerIndex = TruncToInt32(static_cast<double>(MarkerIndex));
        r.markerLength = TruncToInt32(static_cast<double>(MarkerLength));
        r.gain = Gain;
        r.offset = Offset;
        r.cycleTime = CycleTime;
    };
    return RunStandardPass<StimRecord>(
        call, kKindNone, true,
        [&](auto& pass) {
            StimRecord& r = *pass.record;
            if (!r.cacheReady) {
                ResetCache(r);
            }
            if (!CompileHead(pass, r.head, &r.channel, &r.switching, DevChanAttr, kStimMethod, 0,
                             kStimKeywords)) {
                return;
            }
            push(r);
            CopyText(r.data, "NO");
            rvo_DefineAttrI("SampleCount", kStimMethod, &r.sampleCount, kUnitCount, nullptr);
            rvo_DefineAttrR("Gain", kStimMethod, &r.gain, kUnitNumber, nullptr);
            rvo_DefineAttrR("Offset", kStimMethod, &r.offset, kUnitVolt, nullptr);
            rvo_DefineAttrR("CycleTime", kStimMethod, &r.cycleTime, kUnitSecondWord, nullptr);
            rvo_DefineAttrI("CycleCount", kStimMethod, &r.cycleCount, kUnitCount, nullptr);
            rvo_DefineAttrI("MarkerIndex", kStimMethod, &r.markerIndex, kUnitCount, nullptr);
            rvo_DefineAttrI("MarkerLength", kStimMethod, &r.markerLength, kUnitCount, nullptr);
            rvo_DefineAttrSList("DATA", kDetails, r.data, sizeof r.data, kDataList, nullptr);
        },
        [&](auto& pass) -> EN_NEV_RESULT {
            StimRecord& r = *pass.record;
            push(r);
            for (int32_t* pushed :
                 {&r.sampleCount, &r.cycleCount, &r.markerIndex, &r.markerLength}) {
                rvo_UpdateAttrI(r.head.component, pushed);
            }
            for (double* pushed : {&r.gain, &r.offset, &r.cycleTime}) {
                rvo_UpdateAttrR(r.head.component, pushed);
            }
            rvo_ReadAttrSList(r.head.component, r.data, sizeof r.data);
            if (r.head.selector == 0) {
                rvo_SetSTEPResult(-2);
                return pass.error.Set(kErrFunction, kInvalidSetting), -2;
            }
            DeviceRecord* gen = GeneratorOf(pass.bench, r.head, pass.error,
                                            ParamError(kDevChanAttrArgument), DevChanAttr);
            if (!gen) {
                if (WaveHandle) {
                    *WaveHandle = -1;
                }
                return -2;
            }
            return StimRun(pass, *gen).run(Samples, WaveHandle);
        });
}

KORA_EXPORT EN_NEV_RESULT EXEC_FUNCGEN(long stepRef, const char* stepName, long lineCode,
                                       long stepArg, const char* comment, const char* DevChanAttr,
                                       long WaveCount, long* WaveHandles, double Gain,
                                       double Offset, double CycleTime, long CycleCount) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kExecMethod};
    const auto push = [&](ExecRecord& r) {
        r.waveCount = TruncToInt32(static_cast<double>(WaveCount));
        r.cycleCount = TruncToInt32(static_cast<double>(CycleCount));
        r.gain = Gain;
        r.offset = Offset;
        r.cycleTime = CycleTime;
    };
    return RunStandardPass<ExecRecord>(
        call, kKindNone, true,
        [&](auto& pass) {
            ExecRecord& r = *pass.record;
            if (!r.cacheReady) {
                ResetSequenceCache(r);
            }
            r.head.selector = 0;
            if (!CompileDevChanAttr(pass.error, r.head, DevChanAttr, kExecMethod, 1)) {
                return;
            }
            r.channel = MatchKeyword(r.head.parts.channel, kChannelList);
            const int f = MatchKeyword(r.head.parts.function, kExecKeywords);
            if (r.channel == 0 || f == 0) {
                RefuseKeyword(pass.error, ParamError(kDevChanAttrArgument), DevChanAttr);
                return;
            }
            r.head.selector = f;
            r.switching = SwitchingOf(r.head.parts.suffix);
            push(r);
            rvo_DefineAttrI("WaveCount", kExecMethod, &r.waveCount, kUnitCount, nullptr);
            rvo_DefineAttrR("Gain", kExecMethod, &r.gain, kUnitNumber, nullptr);
            rvo_DefineAttrR("Offset", kExecMethod, &r.offset, kUnitVolt, nullptr);
            rvo_DefineAttrR("CycleTime", kExecMethod, &r.cycleTime, kUnitSecondWord, nullptr);
            rvo_DefineAttrI("CycleCount", kExecMethod, &r.cycleCount, kUnitCount, nullptr);
        },
        [&](auto& pass) -> EN_NEV_RESULT {
            ExecRecord& r = *pass.record;
            push(r);
            rvo_UpdateAttrI(r.head.component, &r.waveCount);
            rvo_UpdateAttrI(r.head.component, &r.cycleCount);
            for (double* pushed : {&r.gain, &r.offset, &r.cycleTime}) {
                rvo_UpdateAttrR(r.head.component, pushed);
            }
            if (r.head.selector == 0) {
                rvo_SetSTEPResult(-2);
                return pass.error.Set(kErrFunction, kInvalidSetting), -2;
            }
            DeviceRecord* gen = GeneratorOf(pass.bench, r.head, pass.error,
                                            ParamError(kDevChanAttrArgument), DevChanAttr);
            return gen ? RunExec(pass, *gen, WaveHandles) : -2;
        });
}
