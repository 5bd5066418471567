// Compare and trace steps: values that a test program computed itself, checked against limits,
// and lines written to the resource manager's trace. No instrument is involved.
#include "exports/export.h"
#include "frame/step_frame.h"
#include "frame/text.h"

#include <kora/step_methods.h>
#include <resmgr.h>

#include <cctype>
#include <cmath>
#include <cstring>

namespace kora {
namespace {

constexpr const char* kUnitKeywords =
    "VDC,ADC,VRMS,ARMS,OHM,FARAD,HENRY,SEC,HERTZ,TESLA,PERC,DEG,DEGC,JOULE,WATT";
constexpr int32_t kUnitCodes[] = {5, 9, 8, 11, 13, 14, 15, 16, 17, 18, 19, 20, 21, 23, 24};
constexpr int32_t kUnitPlainNumber = 3;
constexpr int32_t kUnitCount = 2;
constexpr int32_t kUnitFailCount = 4;
constexpr const char* kFailsKeyword = "FAILS";
constexpr const char* kUpcaseKeyword = "UPCASE";
constexpr const char* kTraceKeyword = "TRACE";
constexpr std::size_t kTextSize = 1024;

struct CompareRecord {
    StepHead head; // selector: unit code
    LimitRecord limits;
};
static_assert(sizeof(CompareRecord) == 552);

struct CompareTextRecord {
    StepHead head; // selector: 1 compares in upper case
};

struct TraceRecord {
    StepHead head;
    int32_t wrLength;
    int32_t valid; // 1 after a clean definition
};

void CompileLimits(StepPass<CompareRecord>& pass, const char* devChanAttr, const char* lowText,
                   const char* highText) {
    ParseLimits(lowText, NAN, nullptr, highText, &pass.record->limits);
    CompileDevChanAttr(pass.error, pass.record->head, devChanAttr, pass.call.methodName, 1);
}

} // namespace
} // namespace kora

using namespace kora;

KORA_EXPORT EN_NEV_RESULT COMPI_KORA(long stepRef, const char* stepName, long lineCode,
                                     long stepArg, const char* comment, const char* DevChanAttr,
                                     const char* LLimit, long Value, const char* ULimit,
                                     const char* Channel) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, "COMPI_KORA"};
    return RunStandardPass<CompareRecord>(
        call, kKindNone, false,
        [&](auto& pass) {
            CompileLimits(pass, DevChanAttr, LLimit, ULimit);
            pass.record->head.selector =
                std::strcmp(pass.record->head.parts.function, kFailsKeyword) == 0 ? kUnitFailCount
                                                                                  : kUnitCount;
        },
        [&](auto& pass) -> EN_NEV_RESULT {
            const auto& r = *pass.record;
            return static_cast<EN_NEV_RESULT>(rvo_VerifyI(
                0, stepName, lineCode, r.head.selector, r.limits.lowInt, r.limits.lowOp, Value,
                r.limits.highOp, r.limits.highInt, RVO_VERDICT_EXECUTIVE, 0.0, Channel, comment));
        });
}

KORA_EXPORT EN_NEV_RESULT COMPR_KORA(long stepRef, const char* stepName, long lineCode,
                                     long stepArg, const char* comment, const char* DevChanAttr,
                                     const char* LLimit, double Value, const char* ULimit,
                                     const char* Channel) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, "COMPR_KORA"};
    return RunStandardPass<CompareRecord>(
        call, kKindNone, false,
        [&](auto& pass) {
            CompileLimits(pass, DevChanAttr, LLimit, ULimit);
            int k = MatchKeyword(pass.record->head.parts.function, kUnitKeywords);
            pass.record->head.selector = k > 0 ? kUnitCodes[k - 1] : kUnitPlainNumber;
        },
        [&](auto& pass) -> EN_NEV_RESULT {
            const auto& r = *pass.record;
            return static_cast<EN_NEV_RESULT>(rvo_VerifyR(
                0, stepName, lineCode, r.head.selector, r.limits.low, r.limits.lowOp, Value,
                r.limits.highOp, r.limits.high, RVO_VERDICT_EXECUTIVE, 0.0, Channel, comment));
        });
}

KORA_EXPORT EN_NEV_RESULT COMPS_KORA(long stepRef, const char* stepName, long lineCode,
                                     long stepArg, const char* comment, const char* DevChanAttr,
                                     const char* Value, const char* Expected, const char* Channel) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, "COMPS_KORA"};
    return RunStandardPass<CompareTextRecord>(
        call, kKindNone, false,
        [&](auto& pass) {
            if (CompileDevChanAttr(pass.error, pass.record->head, DevChanAttr, call.methodName,
                                   1)) {
                pass.record->head.selector =
                    std::strcmp(pass.record->head.parts.function, kUpcaseKeyword) == 0;
            }
        },
        [&](auto& pass) -> EN_NEV_RESULT {
            char upper[kTextSize];
            const char* value = Value;
            if (pass.record->head.selector == 1) {
                std::size_t n = CopyText(upper, Value);
                for (std::size_t i = 0; i < n; ++i) {
                    upper[i] =
                        static_cast<char>(std::toupper(static_cast<unsigned char>(upper[i])));
                }
                value = upper;
            }
            return static_cast<EN_NEV_RESULT>(
                rvo_VerifyS(0, stepName, lineCode, 1, value, Expected ? "==" : nullptr, Expected,
                            RVO_VERDICT_EXECUTIVE, 0.0, Channel, comment));
        });
}

KORA_EXPORT EN_NEV_RESULT WRITE_KORA(long stepRef, const char* stepName, long lineCode,
                                     long stepArg, const char* comment, const char* DevChanAttr,
                                     const char* Text, long WrLength, long* Written) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, "WRITE_KORA"};
    // Unlike the compare steps, the trace step needs a bench: it writes to the trace of the
    // resource manager that the set-up loaded.
    return RunStandardPass<TraceRecord>(
        call, kKindNone, true,
        [&](auto& pass) {
            TraceRecord& r = *pass.record;
            r.valid = 0;
            r.head.component = rvo_GetCurrentComponent();
            uint32_t code = SplitDevChanAttr(DevChanAttr, &r.head.parts);
            if (code != 0) {
                pass.error.Set(code, OrNull(DevChanAttr));
                return;
            }
            if (std::strcmp(r.head.parts.function, kTraceKeyword) != 0) {
                rvo_SetSTEPResult(-2);
                pass.error.Set(ParamError(6), OrNull(DevChanAttr));
                return;
            }
            r.wrLength = static_cast<int32_t>(WrLength);
            rvo_DefineAttrS("DevChanAttr", call.methodName, DevChanAttr, 0, nullptr);
            rvo_DefineAttrI("WrLength", call.methodName, &r.wrLength, 0, nullptr);
            r.valid = 1;
        },
        [&](auto& pass) -> EN_NEV_RESULT {
            TraceRecord& r = *pass.record;
            if (!r.valid) {
                return 0; // the definition failed and was reported then
            }
            r.wrLength = static_cast<int32_t>(WrLength);
            rvo_UpdateAttrI(r.head.component, &r.wrLength);
            char cut[kTextSize];
            const char* text = Text ? Text : "";
            if (WrLength < 0) {
                text = "";
            } else if (WrLength > 0) {
                std::size_t n = strnlen(text, static_cast<std::size_t>(WrLength));
                CopyText(cut, std::string_view(text, n));
                text = cut;
            }
            RESMGR_Trace(text);
            if (Written) {
                *Written = static_cast<long>(std::strlen(text));
            }
            return static_cast<EN_NEV_RESULT>(
                rvo_VerifyS(0, stepName, lineCode, 0, text, "", "", 0, 0.0, DevChanAttr, comment));
        });
}
