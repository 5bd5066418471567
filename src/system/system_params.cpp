// System parameters of the executive: written with a value, a unit and a comment by the set
// steps, read back by GETR_SYSTEM against limits and by GETS_SYSTEM as a text, which also gives
// the serial number of the unit under test.
#include "exports/export.h"
#include "system/system_step.h"

#include <kora/step_methods.h>
#include <rvoapi.h>

#include <cmath>
#include <cstring>

namespace kora {
namespace {

constexpr const char* kSourceRvo = "RVO";
constexpr const char* kUnitKeywords = "VDC,VAC,VACDC,VRMS,ADC,AAC,AACDC,OHM,FARAD,HENRY,SEC,HERTZ,"
                                      "TESLA,PERC,DEG,DEGC,DEGF,JOULE,WATT";
constexpr int32_t kUnitCodes[] = {5,  6,  7,  8,  9,  10, 11, 13, 14, 15,
                                  16, 17, 18, 19, 20, 21, 22, 23, 24};
constexpr int32_t kUnitPlainNumber = 3;
constexpr int32_t kUnitCount = 2;
constexpr int32_t kUnitFailCount = 4;
constexpr int32_t kUnitText = 0;
constexpr const char* kFailsOption = "FAILS";
constexpr const char* kDutName = "DUT";
constexpr const char* kSerialNoOption = "SERIALNO";
constexpr const char* kParameterNotDefined = "PARAMETER not defined";
constexpr const char* kInvalidAttributeName = "INVALID ATTRIBUTE NAME => no execution";
constexpr const char* kInsufficientBuffer = "Insufficient buffer size";
constexpr std::size_t kValueSize = 257; // parameter texts and comments: 256 characters at most

enum Item : int32_t { kItemNone = 0, kItemParameter = 1, kItemSerialNo = 2 };

struct SetRecord {
    StepHead head; // selector: Item
    int32_t unit;
    int32_t setInt;
    double setReal;
};

struct GetRealRecord {
    StepHead head;
    LimitRecord limits;
};

struct GetTextRecord {
    StepHead head;
    int32_t bufLength;
};

// A system parameter needs a section and a name.
template <typename Record>
bool CompileParameter(StepPass<Record>& pass, const char* devChanAttr, long option) {
    if (CompileSource(pass, devChanAttr, kSourceRvo, option) == 0) {
        return false;
    }
    const DevChanParts& parts = pass.record->head.parts;
    if (parts.channel[0] == 0 || parts.function[0] == 0) {
        return RefuseDevChanAttr(pass.error, devChanAttr);
    }
    pass.record->head.selector = kItemParameter;
    return true;
}

int32_t UnitOfKeyword(const char* keyword) {
    const int k = MatchKeyword(keyword, kUnitKeywords);
    return k > 0 ? kUnitCodes[k - 1] : kUnitPlainNumber;
}

// Writes value, unit and comment of a parameter; false with the error set when it is missing.
template <typename Write>
bool WriteParameter(StepError& error, const DevChanParts& parts, int32_t unit,
                    const char* parComment, Write write) {
    RVO_SYSPARA p = rvo_SysParaGet(parts.channel, parts.function);
    if (!p) {
        return error.Set(kErrFunction, kParameterNotDefined);
    }
    write(p);
    rvo_SysParaSetUnit(p, unit);
    rvo_SysParaSetComment(p, OrEmpty(parComment));
    rvo_SysParaFree(p);
    return true;
}

// The step's set-up check at run time; false with the error set.
bool IsParameterStep(StepError& error, const StepHead& head) {
    return head.selector == kItemParameter || error.Set(kErrFunction, kInvalidAttributeName);
}

} // namespace
} // namespace kora

using namespace kora;

KORA_EXPORT EN_NEV_RESULT SETI_SYSTEM(long stepRef, const char* stepName, long lineCode,
                                      long stepArg, const char* comment, const char* DevChanAttr,
                                      long SetValue, const char* ParComment) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, "SETI_SYSTEM"};
    return RunStandardPass<SetRecord>(
        call, kKindNone, true,
        [&](auto& pass) {
            SetRecord& r = *pass.record;
            if (!CompileParameter(pass, DevChanAttr, 0)) {
                return;
            }
            r.unit =
                std::strcmp(r.head.parts.suffix, kFailsOption) == 0 ? kUnitFailCount : kUnitCount;
            r.setInt = static_cast<int32_t>(SetValue);
            rvo_DefineAttrI("SetValue", call.methodName, &r.setInt, kUnitCount, nullptr);
        },
        [&](auto& pass) -> EN_NEV_RESULT {
            SetRecord& r = *pass.record;
            r.setInt = static_cast<int32_t>(SetValue);
            rvo_UpdateAttrI(r.head.component, &r.setInt);
            if (!IsParameterStep(pass.error, r.head) ||
                !WriteParameter(pass.error, r.head.parts, r.unit, ParComment,
                                [&](RVO_SYSPARA p) { rvo_SysParaSetValueInt(p, SetValue); })) {
                return -2;
            }
            return static_cast<EN_NEV_RESULT>(rvo_VerifyI(0, stepName, lineCode, r.unit, 0, "",
                                                          SetValue, "", 0, 0, 0.0, DevChanAttr,
                                                          comment ? comment : ParComment));
        });
}

KORA_EXPORT EN_NEV_RESULT SETR_SYSTEM(long stepRef, const char* stepName, long lineCode,
                                      long stepArg, const char* comment, const char* DevChanAttr,
                                      double SetValue, const char* ParComment) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, "SETR_SYSTEM"};
    return RunStandardPass<SetRecord>(
        call, kKindNone, true,
        [&](auto& pass) {
            SetRecord& r = *pass.record;
            if (!CompileParameter(pass, DevChanAttr, 0)) {
                return;
            }
            r.unit = UnitOfKeyword(r.head.parts.suffix);
            r.setReal = SetValue;
            rvo_DefineAttrR("SetValue", call.methodName, &r.setReal, kUnitPlainNumber, nullptr);
        },
        [&](auto& pass) -> EN_NEV_RESULT {
            SetRecord& r = *pass.record;
            r.setReal = SetValue;
            rvo_UpdateAttrR(r.head.component, &r.setReal);
            if (!IsParameterStep(pass.error, r.head) ||
                !WriteParameter(pass.error, r.head.parts, r.unit, ParComment,
                                [&](RVO_SYSPARA p) { rvo_SysParaSetValueReal(p, SetValue); })) {
                return -2;
            }
            return static_cast<EN_NEV_RESULT>(rvo_VerifyR(0, stepName, lineCode, r.unit, 0.0, "",
                                                          SetValue, "", 0.0, 0, 0.0, DevChanAttr,
                                                          comment ? comment : ParComment));
        });
}

KORA_EXPORT EN_NEV_RESULT SETS_SYSTEM(long stepRef, const char* stepName, long lineCode,
                                      long stepArg, const char* comment, const char* DevChanAttr,
                                      const char* SetValue, const char* ParComment) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, "SETS_SYSTEM"};
    return RunStandardPass<SetRecord>(
        call, kKindNone, true,
        [&](auto& pass) {
            SetRecord& r = *pass.record;
            if (!CompileParameter(pass, DevChanAttr, 0)) {
                return;
            }
            r.unit = kUnitText;
            rvo_DefineAttrS("SetValue", call.methodName, SetValue, 1, nullptr);
        },
        [&](auto& pass) -> EN_NEV_RESULT {
            SetRecord& r = *pass.record;
            rvo_UpdateAttrS(r.head.component, "SetValue", SetValue);
            if (!IsParameterStep(pass.error, r.head) ||
                !WriteParameter(pass.error, r.head.parts, r.unit, ParComment,
                                [&](RVO_SYSPARA p) { rvo_SysParaSetValueString(p, SetValue); })) {
                return -2;
            }
            return static_cast<EN_NEV_RESULT>(rvo_VerifyS(0, stepName, lineCode, 0, SetValue, "",
                                                          "", 0, 0.0, DevChanAttr,
                                                          comment ? comment : ParComment));
        });
}

KORA_EXPORT EN_NEV_RESULT GETR_SYSTEM(long stepRef, const char* stepName, long lineCode,
                                      long stepArg, const char* comment, const char* DevChanAttr,
                                      const char* LLimit, double* Value, const char* ULimit) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, "GETR_SYSTEM"};
    return RunStandardPass<GetRealRecord>(
        call, kKindNone, true,
        [&](auto& pass) {
            if (!CompileParameter(pass, DevChanAttr, 1)) {
                return;
            }
            ParseLimits(LLimit, NAN, nullptr, ULimit, &pass.record->limits);
            rvo_DefineAttrS("LLimit", call.methodName, LLimit, 1, nullptr);
            rvo_DefineAttrS("ULimit", call.methodName, ULimit, 1, nullptr);
        },
        [&](auto& pass) -> EN_NEV_RESULT {
            const GetRealRecord& r = *pass.record;
            if (!IsParameterStep(pass.error, r.head)) {
                return -2;
            }
            RVO_SYSPARA p = rvo_SysParaGet(r.head.parts.channel, r.head.parts.function);
            if (!p) {
                pass.error.Set(kErrFunction, kParameterNotDefined);
                return -2;
            }
            const double value = rvo_SysParaGetValueReal(p);
            const long unit = rvo_SysParaGetUnit(p);
            char parComment[kValueSize] = {};
            const char* shown = comment;
            if (const char* c = rvo_SysParaGetComment(p)) {
                CopyText(parComment, c);
                shown = parComment;
            }
            rvo_SysParaFree(p);
            if (Value) {
                *Value = value;
            }
            return static_cast<EN_NEV_RESULT>(rvo_VerifyR(
                0, stepName, lineCode, unit, r.limits.low, r.limits.lowOp, value, r.limits.highOp,
                r.limits.high, RVO_VERDICT_EXECUTIVE, 0.0, DevChanAttr, shown));
        });
}

KORA_EXPORT EN_NEV_RESULT GETS_SYSTEM(long stepRef, const char* stepName, long lineCode,
                                      long stepArg, const char* comment, const char* DevChanAttr,
                                      char* Buffer, long BufLength, const char* Expected) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, "GETS_SYSTEM"};
    return RunStandardPass<GetTextRecord>(
        call, kKindNone, true,
        [&](auto& pass) {
            GetTextRecord& r = *pass.record;
            if (CompileSource(pass, DevChanAttr, kSourceRvo, 1) == 0) {
                return;
            }
            const DevChanParts& parts = r.head.parts;
            if (parts.channel[0] != 0) {
                if (!CompileParameter(pass, DevChanAttr, 1)) {
                    return;
                }
            } else if (std::strcmp(parts.function, kDutName) == 0 &&
                       std::strcmp(parts.suffix, kSerialNoOption) == 0) {
                r.head.selector = kItemSerialNo;
            } else {
                RefuseDevChanAttr(pass.error, DevChanAttr);
                return;
            }
            r.bufLength = static_cast<int32_t>(BufLength);
            rvo_DefineAttrI("BufLength", call.methodName, &r.bufLength, kUnitCount, nullptr);
        },
        [&](auto& pass) -> EN_NEV_RESULT {
            GetTextRecord& r = *pass.record;
            r.bufLength = static_cast<int32_t>(BufLength);
            rvo_UpdateAttrI(r.head.component, &r.bufLength);
            char value[kValueSize] = {};
            char parComment[kValueSize] = {};
            const char* shown = comment;
            if (r.head.selector == kItemParameter) {
                RVO_SYSPARA p = rvo_SysParaGet(r.head.parts.channel, r.head.parts.function);
                if (!p) {
                    pass.error.Set(kErrFunction, kParameterNotDefined);
                    return -2;
                }
                CopyText(value, rvo_SysParaGetValueString(p));
                if (const char* c = rvo_SysParaGetComment(p)) {
                    CopyText(parComment, c);
                    shown = parComment;
                }
                rvo_SysParaFree(p);
            } else if (r.head.selector == kItemSerialNo) {
                RVO_STATION station =
                    pass.bench->station ? pass.bench->station : rvo_StationCurrent();
                RVO_NEST nest = rvo_StationNest(station, rvo_StationGetItemIndex(station));
                RVO_UUT uut = rvo_UUTForID(rvo_StationNestGetUUTID(nest));
                CopyText(value, uut ? rvo_UUTIdent(uut) : "");
                rvo_UUTFree(uut);
            } else {
                pass.error.Set(kErrFunction, kInvalidAttributeName);
                return -2;
            }
            if (Buffer) {
                if (static_cast<long>(std::strlen(value)) + 1 > BufLength) {
                    pass.error.Set(kErrFunction, kInsufficientBuffer);
                    return -2;
                }
                std::memcpy(Buffer, value, std::strlen(value) + 1);
            }
            if (Expected) {
                return static_cast<EN_NEV_RESULT>(rvo_VerifyS(0, stepName, lineCode, 1, value, "=",
                                                              Expected, RVO_VERDICT_EXECUTIVE, 0.0,
                                                              DevChanAttr, shown));
            }
            return static_cast<EN_NEV_RESULT>(
                rvo_VerifyS(0, stepName, lineCode, 0, value, "", "", 0, 0.0, DevChanAttr, shown));
        });
}
