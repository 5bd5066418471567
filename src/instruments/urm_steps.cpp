// CONFIG_URM, SET_URM and GET_URM: bits of a universal relay/IO module set to input or output,
// switched on or off, or read and compared. The device is the function part of DevChanAttr; the
// arguments are checked while the step is defined, the module is reached only when it runs.
#include "exports/export.h"
#include "frame/step_frame.h"
#include "frame/text.h"
#include "instruments/urm_args.h"

#include <QString>
#include <kora/step_methods.h>
#include <rvoapi.h>
#include <vx_urm.h>

namespace kora::urm {
namespace {

constexpr const char* kConfigMethod = "CONFIG_URM";
constexpr const char* kSetMethod = "SET_URM";
constexpr const char* kGetMethod = "GET_URM";
constexpr const char* kBitResultName = "Set bit %1%2 to %3";
constexpr const char* kEqual = "==";
constexpr int kDeviceArgument = 7;

// What the executive files the results under, in place of the program line.
struct ResultCodes {
    long overall;
    long perBit;
};
constexpr ResultCodes kConfigCodes{0xC000, 0xC700};
constexpr ResultCodes kSetCodes{0x12E00, 0x13500};
constexpr long kGetCode = 0x1A600;

struct ListRecord {
    StepHead head;
    int32_t bank;
    char bankLetter;
    BitList bits;
    int32_t value; // mode or state
    char word[8];  // its name in the sub-results
};

struct GetRecord {
    StepHead head;
    int32_t bank;
    int32_t bit;
    int32_t expected;
};

// The step's module, named by the function part; false with 0x81000007 when the bench has none.
DeviceRecord* FindModule(StepError& error, BenchRecord* bench, const StepHead& head,
                         const char* devChanAttr) {
    DeviceRecord* d = FindDevice(bench, kClassUrm, head.parts.function);
    if (!d) {
        error.Set(ParamError(kDeviceArgument), OrNull(devChanAttr));
        return nullptr;
    }
    rvo_SetSTEPDeviceName(d->name);
    return d;
}

// The common pass of CONFIG_URM and SET_URM: one sub-result per listed bit with the status of
// the call that set it.
template <typename Apply>
EN_NEV_RESULT RunList(StepPass<ListRecord>& pass, const char* devChanAttr, ResultCodes codes,
                      Apply apply) {
    const ListRecord& r = *pass.record;
    const StepCall& call = pass.call;
    DeviceRecord* d = FindModule(pass.error, pass.bench, r.head, devChanAttr);
    if (!d) {
        return -2;
    }
    rvo_DeleteSubResults(rvo_GetCurrentComponent());
    EN_NEV_RESULT result =
        static_cast<EN_NEV_RESULT>(rvo_VerifyI(0, call.stepName, codes.overall, 0, 0, "", 0, "", 0,
                                               RVO_VERDICT_EXECUTIVE, 0.0, "", call.comment));
    long n = 0;
    for (int32_t bit : r.bits) {
        if (bit == kUnusedPlace) {
            continue;
        }
        const ViStatus status = apply(static_cast<ViSession>(d->handle), r.bank, bit, r.value);
        const QByteArray name = QString(kBitResultName)
                                    .arg(QChar(r.bankLetter))
                                    .arg(bit)
                                    .arg(QString::fromLatin1(r.word))
                                    .toLocal8Bit();
        const long verdict = rvo_VerifyI(++n, name.constData(), codes.perBit, 0, 0, kEqual, status,
                                         "", 0, RVO_VERDICT_EXECUTIVE, 0.0, "", call.comment);
        if (verdict != 0) {
            result = static_cast<EN_NEV_RESULT>(verdict);
        }
    }
    return result;
}

// Defines a list step: bank and bit list checked, the value and its word from `decode`.
template <typename Decode>
void CompileList(StepPass<ListRecord>& pass, const char* methodName, const char* devChanAttr,
                 const char* bank, const char* bits, const char* valueText, Decode decode) {
    ListRecord& r = *pass.record;
    if (!CompileDevChanAttr(pass.error, r.head, devChanAttr, methodName, 1) ||
        !ParseBank(pass.error, bank, &r.bank) || !ParseBitList(pass.error, bits, &r.bits)) {
        return;
    }
    r.bankLetter = bank[0];
    const char* word = "";
    r.value = decode(valueText, &word);
    CopyText(r.word, word);
}

} // namespace
} // namespace kora::urm

using namespace kora;
using namespace kora::urm;

KORA_EXPORT EN_NEV_RESULT CONFIG_URM(long stepRef, const char* stepName, long lineCode,
                                     long stepArg, const char* comment, const char* DevChanAttr,
                                     const char* Bank, const char* Bits, const char* Direction) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kConfigMethod};
    return RunStandardPass<ListRecord>(
        call, kKindInstrument, true,
        [&](auto& pass) {
            CompileList(pass, kConfigMethod, DevChanAttr, Bank, Bits, Direction, DirectionMode);
        },
        [&](auto& pass) {
            return RunList(pass, DevChanAttr, kConfigCodes,
                           [](ViSession vi, int32_t bank, int32_t bit, int32_t mode) {
                               return VX_Urm_Set_Mode(vi, bank, bit, mode);
                           });
        });
}

KORA_EXPORT EN_NEV_RESULT SET_URM(long stepRef, const char* stepName, long lineCode, long stepArg,
                                  const char* comment, const char* DevChanAttr, const char* Bank,
                                  const char* Bits, const char* State) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kSetMethod};
    return RunStandardPass<ListRecord>(
        call, kKindInstrument, true,
        [&](auto& pass) {
            CompileList(pass, kSetMethod, DevChanAttr, Bank, Bits, State, SwitchState);
        },
        [&](auto& pass) {
            return RunList(pass, DevChanAttr, kSetCodes,
                           [](ViSession vi, int32_t bank, int32_t bit, int32_t state) {
                               return VX_Urm_Set(vi, bank, bit, state);
                           });
        });
}

KORA_EXPORT EN_NEV_RESULT GET_URM(long stepRef, const char* stepName, long lineCode, long stepArg,
                                  const char* comment, const char* DevChanAttr, const char* Bank,
                                  long Bit, const char* CompareValue, long* Value) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kGetMethod};
    return RunStandardPass<GetRecord>(
        call, kKindInstrument, true,
        [&](auto& pass) {
            GetRecord& r = *pass.record;
            if (CompileDevChanAttr(pass.error, r.head, DevChanAttr, kGetMethod, 1) &&
                ParseBank(pass.error, Bank, &r.bank) && CheckBit(pass.error, Bit) &&
                ParseCompareValue(pass.error, CompareValue, &r.expected)) {
                r.bit = static_cast<int32_t>(Bit);
            }
        },
        [&](auto& pass) -> EN_NEV_RESULT {
            const GetRecord& r = *pass.record;
            DeviceRecord* d = FindModule(pass.error, pass.bench, r.head, DevChanAttr);
            if (!d) {
                return -2;
            }
            ViInt32 value = 0;
            const ViStatus status =
                VX_Urm_Get(static_cast<ViSession>(d->handle), r.bank, r.bit, &value);
            if (status != VI_SUCCESS) {
                pass.error.SetF(static_cast<uint32_t>(status), "VX_Urm_Get: error 0x%lX",
                                static_cast<unsigned long>(static_cast<uint32_t>(status)));
                return -2;
            }
            if (Value) {
                *Value = value;
            }
            return static_cast<EN_NEV_RESULT>(
                rvo_VerifyI(0, call.stepName, kGetCode, 0, r.expected, kEqual, value, "", 0,
                            RVO_VERDICT_EXECUTIVE, 0.0, "", call.comment));
        });
}
