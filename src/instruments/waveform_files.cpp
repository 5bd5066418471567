// LOAD_SIGANL and SAVE_SIGANL: a sample array from and to a waveform file of the SIGANL library.
// Text A names the file format, text B the file; both go to the library as they are.
#include "exports/export.h"
#include "frame/text.h"
#include "instruments/waveform_analysis.h"

#include <kora/step_methods.h>
#include <rvoapi.h>

#include <QString>

#include <siganl.h>

namespace kora::siganl {
namespace {

constexpr const char* kLoadMethod = "LOAD_SIGANL";
constexpr const char* kSaveMethod = "SAVE_SIGANL";
constexpr const char* kPartlyLoaded = "Only %1 of %2 values loaded";
constexpr const char* kEqual = "==";
// What these steps hand to the verification where other steps pass their line code.
constexpr long kLoadLine = 0x14E00;
constexpr long kSaveLine = 0x13500;
constexpr long kVerdictError = -2;
constexpr EN_NEV_RESULT kDone = 1;

// The loop of a file step: no step data record, the work in the run phases, the status verified.
template <typename Work>
EN_NEV_RESULT FileLoop(long stepRef, const char* stepName, long lineCode, long stepArg,
                       const char* comment, const char* method, long verifyLine, Work work) {
    for (;;) {
        const long phase =
            rvo_EnterSTEPMethod(stepRef, stepName, lineCode, stepArg, comment, method, 0, nullptr);
        if (phase == RVO_PHASE_RUN || phase == RVO_PHASE_COMPILE_RUN) {
            AnalysisStatus st;
            work(st);
            char text[kWarningCommentSize];
            AnalysisComment(comment, st, text);
            rvo_VerifyI(0, stepName, verifyLine, 0, 0, "", st.status, kEqual, 0,
                        st.failed() ? kVerdictError : RVO_VERDICT_EXECUTIVE, 0.0, nullptr, text);
        }
        if (rvo_ExitSTEP() != RVO_EXIT_AGAIN) {
            return kDone;
        }
    }
}

} // namespace
} // namespace kora::siganl

using namespace kora;
using namespace kora::siganl;

KORA_EXPORT EN_NEV_RESULT LOAD_SIGANL(long stepRef, const char* stepName, long lineCode,
                                      long stepArg, const char* comment, const char* TextA,
                                      const char* TextB, long SampleCount, double* Samples) {
    return FileLoop(stepRef, stepName, lineCode, stepArg, comment, kLoadMethod, kLoadLine,
                    [&](AnalysisStatus& st) {
                        int32_t loaded = 0;
                        SIGANL_ImportWaveformData(0, 0, TextB, TextA, 0, 0, SampleCount, Samples,
                                                  &loaded, &st.status, &st.code, st.message);
                        if (!st.failed() && loaded < SampleCount) {
                            st.status = 1;
                            st.code = 0;
                            const QByteArray text =
                                QString(kPartlyLoaded).arg(loaded).arg(SampleCount).toLocal8Bit();
                            CopyText(st.message, text.constData());
                        }
                    });
}

KORA_EXPORT EN_NEV_RESULT SAVE_SIGANL(long stepRef, const char* stepName, long lineCode,
                                      long stepArg, const char* comment, const char* TextA,
                                      const char* TextB, long SampleCount, double* Samples) {
    return FileLoop(stepRef, stepName, lineCode, stepArg, comment, kSaveMethod, kSaveLine,
                    [&](AnalysisStatus& st) {
                        SIGANL_ExportWaveformData(0, 0, TextB, TextA, 0, SampleCount, Samples,
                                                  &st.status, &st.code, st.message);
                    });
}
