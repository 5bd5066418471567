// AMPLITUDE_SIGANL and FREQ_SIGANL: the amplitude of a square wave and the frequency of a signal
// in a sample array the test program holds, checked against limits.
//
// These steps keep their own record through the executive's allocation callbacks instead of the
// standard frame: the compile phases (98, and 2 before its computation) parse the method and the
// limits and keep the sample pointer, the run phases (1 and 2) compute from the current call's
// count, acquisition time and parameters.
#include "exports/export.h"
#include "frame/args.h"
#include "frame/text.h"
#include "instruments/waveform_analysis.h"

#include <kora/step_methods.h>
#include <rvoapi.h>

#include <QString>

#include <cmath>
#include <cstdlib>

namespace kora::siganl {
namespace {

constexpr const char* kAmplitudeMethod = "AMPLITUDE_SIGANL";
constexpr const char* kFrequencyMethod = "FREQ_SIGANL";
constexpr const char* kWaveforms = "SQUARE";
constexpr const char* kSquare = "SQUARE";
constexpr const char* kFrequencyMethods = "SLOPE,SLOPE_AUTO,FOURIER_TRANSFORMATION";
constexpr const char* kLibraryMethods[] = {"SLOPE", "SLOPE_AUTO", "FFT"};
enum FrequencyMethod { kSlope = 1, kSlopeAuto, kFourier };
constexpr const char* kInvalidWaveform = "Invalid waveform '%1'. Allowed: %2";
constexpr const char* kInvalidMethod = "Invalid Calculation Method '%1'. Allowed: %2";
// What these steps hand to the verification where other steps pass their line code.
constexpr long kAmplitudeLine = 0x10F00;
constexpr long kFrequencyLine = 0x8200;
constexpr long kUnitVolt = 5;
constexpr long kUnitHertz = 17;
constexpr long kVerdictError = -2;
constexpr long kAlertFlags = 1;
constexpr EN_NEV_RESULT kDone = 1;
constexpr double kPercent = 100.0;

struct AnalysisRecord {
    LimitRecord limits;
    int32_t count;
    const double* samples;
    double interval;
    double levels[2];       // AMPLITUDE: reference levels; FREQ: [0] the method index
    const char* methodName; // FREQ: the SIGANL method name
    double parameters[2];   // AMPLITUDE: skip fractions; FREQ: the method parameters
    const char* name;       // "SQUARE" or the SIGANL method name, null after a refused parse
    int16_t status;
    int32_t code;
    char message[kMessageSize];
};

void* AllocateRecord() {
    return std::calloc(1, sizeof(AnalysisRecord));
}

void ReleaseRecord(void* record) {
    std::free(record);
}

bool Compiling(long phase) {
    return phase == RVO_PHASE_COMPILE || phase == RVO_PHASE_COMPILE_RUN;
}

bool Running(long phase) {
    return phase == RVO_PHASE_RUN || phase == RVO_PHASE_COMPILE_RUN;
}

// Refuses a word of a keyword list with the alert of the step.
void RefuseWord(const char* stepName, const char* format, const char* word, const char* allowed) {
    const QByteArray text =
        QString(format)
            .arg(QString::fromLocal8Bit(OrEmpty(word)), QString::fromLocal8Bit(allowed))
            .toLocal8Bit();
    rvo_Alert(stepName, text.constData(), kAlertFlags);
}

void Remember(AnalysisRecord& r, const AnalysisStatus& st) {
    r.status = st.status;
    r.code = st.code;
    CopyText(r.message, st.message);
}

// The loop both steps share: enter with the record callbacks, parse, compute, verify, and again
// while the executive asks for it.
template <typename Parse, typename Compute>
EN_NEV_RESULT AnalysisLoop(long stepRef, const char* stepName, long lineCode, long stepArg,
                           const char* comment, const char* method, long verifyLine, long unit,
                           Parse parse, Compute compute) {
    for (;;) {
        EN_NEV_RESULT result = kDone;
        void* data = nullptr;
        const long phase = rvo_EnterSTEPMethodAlloc(stepRef, stepName, lineCode, stepArg, comment,
                                                    method, &data, &AllocateRecord, &ReleaseRecord);
        auto* r = static_cast<AnalysisRecord*>(data);
        bool refused = false;
        if (r && Compiling(phase)) {
            refused = !parse(*r);
        }
        if (r && !r->name) {
            result = -2;
        }
        if (r && Running(phase) && !refused) {
            AnalysisStatus st;
            const double value = r->name ? compute(*r, st) : NAN;
            Remember(*r, st);
            char text[kWarningCommentSize];
            AnalysisComment(comment, st, text);
            rvo_VerifyR(0, stepName, verifyLine, unit, r->limits.low, r->limits.lowOp, value,
                        r->limits.highOp, r->limits.high,
                        st.failed() ? kVerdictError : RVO_VERDICT_EXECUTIVE, 0.0, nullptr, text);
        }
        if (rvo_ExitSTEP() != RVO_EXIT_AGAIN) {
            return result;
        }
    }
}

} // namespace
} // namespace kora::siganl

using namespace kora;
using namespace kora::siganl;

KORA_EXPORT EN_NEV_RESULT AMPLITUDE_SIGANL(long stepRef, const char* stepName, long lineCode,
                                           long stepArg, const char* comment, const char* Waveform,
                                           const char* LowLimit, double Nominal,
                                           const char* HighLimit, double AcqTime, long SampleCount,
                                           double* Samples, double RefLevel1, double RefLevel2,
                                           double StartSkip, double EndSkip) {
    return AnalysisLoop(
        stepRef, stepName, lineCode, stepArg, comment, kAmplitudeMethod, kAmplitudeLine, kUnitVolt,
        [&](AnalysisRecord& r) {
            ParseLimits(LowLimit, Nominal, nullptr, HighLimit, &r.limits);
            r.samples = Samples;
            r.levels[0] = RefLevel1;
            r.levels[1] = RefLevel2;
            r.parameters[0] = StartSkip / kPercent;
            r.parameters[1] = EndSkip / kPercent;
            r.name = MatchKeyword(Waveform, kWaveforms) == 1 ? kSquare : nullptr;
            if (!r.name) {
                RefuseWord(stepName, kInvalidWaveform, Waveform, kWaveforms);
            }
            return r.name != nullptr;
        },
        [&](AnalysisRecord& r, AnalysisStatus& st) {
            r.count = TruncToInt32(static_cast<double>(SampleCount));
            r.interval = SampleCount != 0 ? AcqTime / static_cast<double>(SampleCount) : NAN;
            r.levels[0] = RefLevel1;
            r.levels[1] = RefLevel2;
            r.parameters[0] = StartSkip / kPercent;
            r.parameters[1] = EndSkip / kPercent;
            return SquareAmplitude({r.count, r.samples, r.interval}, r.levels[0], r.levels[1],
                                   r.parameters[0], r.parameters[1], st);
        });
}

KORA_EXPORT EN_NEV_RESULT FREQ_SIGANL(long stepRef, const char* stepName, long lineCode,
                                      long stepArg, const char* comment, const char* Method,
                                      const char* LowLimit, double Nominal, const char* HighLimit,
                                      double AcqTime, long SampleCount, double* Samples,
                                      double Param1, double Param2, double* Result) {
    return AnalysisLoop(
        stepRef, stepName, lineCode, stepArg, comment, kFrequencyMethod, kFrequencyLine, kUnitHertz,
        [&](AnalysisRecord& r) {
            ParseLimits(LowLimit, Nominal, nullptr, HighLimit, &r.limits);
            r.samples = Samples;
            const int m = MatchKeyword(Method, kFrequencyMethods);
            r.levels[0] = m;
            r.name = r.methodName = m > 0 ? kLibraryMethods[m - 1] : nullptr;
            if (m == 0) {
                RefuseWord(stepName, kInvalidMethod, Method, kFrequencyMethods);
            }
            return m > 0;
        },
        [&](AnalysisRecord& r, AnalysisStatus& st) {
            r.count = TruncToInt32(static_cast<double>(SampleCount));
            r.interval = SampleCount != 0 ? AcqTime / static_cast<double>(SampleCount) : NAN;
            const int m = static_cast<int>(r.levels[0]);
            r.parameters[0] = m == kSlope ? Param1 : 0.0;
            r.parameters[1] = m == kSlope ? Param2 : m == kSlopeAuto ? Param2 / kPercent : 0.0;
            const double f = RecordFrequency({r.count, r.samples, r.interval}, r.methodName,
                                             r.parameters[0], r.parameters[1], st);
            if (Result) {
                *Result = f;
            }
            return f;
        });
}
