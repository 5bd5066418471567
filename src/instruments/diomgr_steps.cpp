// CONF_DIOMGR, EXEC_DIOMGR, GET_DIOMGR and SET_DIOMGR: the bench's digital test channels through
// the digital I/O manager, and the pulse-width modulated power outputs of the digital functional
// test modules through their module driver.
#include "exports/export.h"
#include "frame/args.h"
#include "frame/errors.h"
#include "frame/step_frame.h"
#include "frame/text.h"

#include <kora/step_methods.h>

#include <diomgr.h>
#include <rspdft.h>
#include <rvoapi.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace kora::diomgr {
namespace {

constexpr const char* kConfMethod = "CONF_DIOMGR";
constexpr const char* kExecMethod = "EXEC_DIOMGR";
constexpr const char* kGetMethod = "GET_DIOMGR";
constexpr const char* kSetMethod = "SET_DIOMGR";
constexpr const char* kConfFunctions = "OUT,BIDIR,IN,RESET";
enum ConfFunction { kOut = 1, kBidir, kIn, kReset };
constexpr const char* kDriverOptions = "TRI,TTL,ANALOG";
constexpr const char* kDriverModes[] = {"TRISTATE", "TTL", "ANALOG"};
constexpr int kAnalogDriver = 3;
constexpr const char* kReceiverModes = "HYSTERESIS,WINDOW";
constexpr const char* kReceiverModeNames[] = {"HYSTERESIS", "WINDOW"};
constexpr const char* kExecKeywords = "STATUS,RESULT";
constexpr const char* kResponseWords[] = {"STATUS", "RESULT"};
constexpr const char* kGetKeywords = "PATTERN,POWER";
enum GetKeyword { kPattern = 1, kPower };
constexpr const char* kSetKeyword = "PWM";
constexpr const char* kPowerChannels = "po1,po2,po3,po4";
constexpr const char* kNotPowerChannel = "Selected channel is not a PDFT power channel";
constexpr const char* kNotSetUp = "DIOMGR not set up on this bench";
constexpr const char* kPatternsExecuted = "PatternsExecuted";
constexpr const char* kCurrentLimitLabel = "Current Limit";
constexpr const char* kVLowLabel = "VLow";
constexpr const char* kListSeparators = " ,";
// The state letters of the power outputs, by RSPDFT_PWM_ code (off, on, tripped, open).
constexpr char kStateLetters[] = {'S', 'N', 'T', 'O'};
constexpr char kUnknownState = '?';
constexpr long kUnitNone = 0;
constexpr long kUnitCount = 2;
constexpr long kUnitVolt = 5;
constexpr long kUnitAmpere = 9;
constexpr long kUnitHertz = 17;
constexpr long kUnitPercent = 19;
constexpr int kFirstArgument = 6;
constexpr std::size_t kInternalBuffer = 256;

struct ConfRecord {
    StepHead head; // selector: ConfFunction
    int32_t mode;  // index of the driver or receiver mode, from 1
    double vHigh;
    double vLowILim;
};

struct ExecRecord {
    StepHead head; // selector: 1 STATUS, 2 RESULT
    int32_t bufSize;
};

struct GetRecord {
    StepHead head; // selector: GetKeyword
    int32_t sizeStatus;
    char compString[kInternalBuffer];
    char internal[kInternalBuffer];
};

struct SetRecord {
    StepHead head; // selector: 1 PWM
    double frequency;
    double dutyCycle;
};

// The status block of one DIOMGR call; `failed` moves an error into the step's error.
struct Status {
    int32_t warning = 0;
    int32_t error = 0;
    char message[CLASSLIB_MESSAGE_SIZE] = {};

    bool failed(StepError& stepError) const {
        if (error != 0) {
            stepError.Set(static_cast<uint32_t>(error), message);
            return true;
        }
        return false;
    }
};

bool Refuse(StepError& error, const char* text) {
    rvo_SetSTEPResult(-2);
    return error.Set(ParamError(kFirstArgument), OrNull(text));
}

// The bench's DIOMGR session; false with the error set when it has none.
bool SessionOf(StepError& error, const BenchRecord* bench, long* session) {
    if (!bench || !bench->diomgr.inUse) {
        return error.Set(kErrResource, kNotSetUp);
    }
    *session = bench->diomgr.handle;
    return true;
}

EN_NEV_RESULT VerifyText(const StepCall& call, const char* value, const char* channel) {
    return static_cast<EN_NEV_RESULT>(rvo_VerifyS(0, call.stepName, call.lineCode, 0, value,
                                                  nullptr, nullptr, RVO_VERDICT_EXECUTIVE, 0.0,
                                                  channel, call.comment));
}

// An rspdft status other than 0 becomes the step's error 0x81000011 with the driver's text.
bool ModuleFailed(StepError& error, ViSession vi, ViStatus status) {
    if (status == VI_SUCCESS) {
        return false;
    }
    char text[VI_ERROR_MESSAGE_SIZE] = {};
    rspdft_error_message(vi, status, text);
    return !error.Set(kErrFunction, text);
}

// The module handle and output bit of a power channel; false with the error set.
bool PowerOutputOf(StepError& error, long session, const std::string& channel, ViSession* vi,
                   int32_t* bit) {
    Status s;
    char moduleChannel[256] = {};
    DIOMGR_Instrument_Get_Handle(0, session, channel.c_str(), vi, moduleChannel, &s.warning,
                                 &s.error, s.message);
    if (s.failed(error)) {
        return false;
    }
    const int k = MatchKeyword(moduleChannel, kPowerChannels);
    if (k == 0) {
        return error.Set(kErrFunction, kNotPowerChannel);
    }
    *bit = 1 << (k - 1);
    return true;
}

std::vector<std::string> ChannelList(const char* text) {
    std::vector<std::string> out;
    const std::string s = OrEmpty(text);
    std::size_t i = 0;
    while ((i = s.find_first_not_of(kListSeparators, i)) != std::string::npos) {
        const std::size_t end = s.find_first_of(kListSeparators, i);
        out.push_back(s.substr(i, end - i));
        i = end;
    }
    return out;
}

EN_NEV_RESULT RunConf(StepPass<ConfRecord>& pass) {
    ConfRecord& r = *pass.record;
    rvo_UpdateAttrR(r.head.component, &r.vHigh);
    rvo_UpdateAttrR(r.head.component, &r.vLowILim);
    long session = 0;
    if (!SessionOf(pass.error, pass.bench, &session)) {
        return -2;
    }
    const char* channel = r.head.parts.channel;
    Status s;
    const char* verified = nullptr;
    switch (r.head.selector) {
    case kOut:
    case kBidir:
        verified = kDriverModes[r.mode - 1];
        DIOMGR_ConfigureStimulus(0, session, channel, verified, r.vHigh, r.vLowILim, &s.warning,
                                 &s.error, s.message);
        if (!s.failed(pass.error)) {
            DIOMGR_ConfigureLoopback(0, session, channel, r.head.selector == kBidir ? 1 : 0,
                                     &s.warning, &s.error, s.message);
        }
        break;
    case kIn:
        verified = kReceiverModeNames[r.mode - 1];
        DIOMGR_ConfigureResponse(0, session, channel, verified, r.vHigh, r.vLowILim, &s.warning,
                                 &s.error, s.message);
        break;
    case kReset:
        verified = r.head.parts.function;
        DIOMGR_Reset(0, session, &s.warning, &s.error, s.message);
        break;
    default:
        pass.error.Set(kErrFunction, kInvalidSetting);
        return -2;
    }
    if (s.failed(pass.error)) {
        return -2;
    }
    return VerifyText(pass.call, verified, channel);
}

EN_NEV_RESULT RunExec(StepPass<ExecRecord>& pass, long bufSize, char* buffer) {
    ExecRecord& r = *pass.record;
    r.bufSize = TruncToInt32(static_cast<double>(bufSize));
    rvo_UpdateAttrI(r.head.component, &r.bufSize);
    if (r.head.selector < 1 || r.head.selector > 2) {
        pass.error.Set(kErrFunction, kInvalidSetting);
        return -2;
    }
    if (buffer) {
        buffer[0] = '\0';
    }
    long session = 0;
    if (!SessionOf(pass.error, pass.bench, &session)) {
        return -2;
    }
    Status s;
    if (r.head.parts.device[0] != '\0') {
        // The patterns travel in the suffix part: the buffer is the response's, cleared above.
        DIOMGR_PortStimulus(0, session, r.head.parts.device, r.head.parts.suffix, &s.warning,
                            &s.error, s.message);
        if (s.failed(pass.error)) {
            return -2;
        }
    }
    if (r.head.parts.channel[0] != '\0') {
        DIOMGR_PortResponse(0, session, r.head.parts.channel, kResponseWords[r.head.selector - 1],
                            r.bufSize, buffer, &s.warning, &s.error, s.message);
        if (s.failed(pass.error)) {
            return -2;
        }
    }
    return VerifyText(pass.call, OrEmpty(buffer), r.head.parts.channel);
}

bool ReadPattern(StepPass<GetRecord>& pass, long session, char* out, long size) {
    GetRecord& r = *pass.record;
    const StepCall& call = pass.call;
    Status s;
    int32_t count = 0;
    DIOMGR_GetPatternSetExecutedPatternCount(0, session, r.head.parts.device, &count, &s.warning,
                                             &s.error, s.message);
    if (s.failed(pass.error)) {
        return false;
    }
    rvo_VerifyI(1, kPatternsExecuted, call.lineCode, kUnitCount, 0, "", count, "", 0, 0, 0.0,
                r.head.parts.device, call.comment);
    DIOMGR_GetPatternSetChannelData(0, session, r.head.parts.device, r.head.parts.channel, size,
                                    out, &s.warning, &s.error, s.message);
    return !s.failed(pass.error);
}

bool ReadPower(StepPass<GetRecord>& pass, long session, char* out, long size) {
    std::size_t n = 0;
    const std::size_t room = size > 0 ? static_cast<std::size_t>(size) - 1 : 0;
    for (const std::string& channel : ChannelList(pass.record->head.parts.channel)) {
        ViSession vi = 0;
        int32_t bit = 0;
        if (!PowerOutputOf(pass.error, session, channel, &vi, &bit)) {
            return false;
        }
        ViInt32 states[4] = {};
        if (ModuleFailed(pass.error, vi, rspdft_GetStatePWM(vi, states))) {
            return false;
        }
        const ViInt32 state = states[std::countr_zero(static_cast<unsigned>(bit))];
        if (n < room) {
            out[n++] = state >= 0 && state < 4 ? kStateLetters[state] : kUnknownState;
        }
    }
    if (size > 0) {
        out[n] = '\0';
    }
    return true;
}

EN_NEV_RESULT RunGet(StepPass<GetRecord>& pass, long sizeStatus, char* buffer,
                     const char* compString) {
    GetRecord& r = *pass.record;
    r.sizeStatus = TruncToInt32(static_cast<double>(sizeStatus));
    rvo_UpdateAttrI(r.head.component, &r.sizeStatus);
    CopyText(r.compString, OrEmpty(compString));
    long session = 0;
    if (!SessionOf(pass.error, pass.bench, &session)) {
        return -2;
    }
    char* out = buffer ? buffer : r.internal;
    const long size = buffer ? r.sizeStatus : static_cast<long>(sizeof r.internal);
    if (size > 0) {
        out[0] = '\0';
    }
    bool ok = false;
    if (r.head.selector == kPattern) {
        ok = ReadPattern(pass, session, out, size);
    } else if (r.head.selector == kPower) {
        ok = ReadPower(pass, session, out, size);
    } else {
        pass.error.Set(kErrFunction, kInvalidSetting);
    }
    if (!ok) {
        return -2;
    }
    const StepCall& call = pass.call;
    const char* text = size > 0 ? out : "";
    const bool compare = r.compString[0] != '\0';
    return static_cast<EN_NEV_RESULT>(
        rvo_VerifyS(0, call.stepName, call.lineCode, compare ? 1 : 0, text, compare ? "=" : nullptr,
                    compare ? r.compString : nullptr, compare ? RVO_VERDICT_EXECUTIVE : 0, 0.0,
                    r.head.parts.channel, call.comment));
}

EN_NEV_RESULT RunSet(StepPass<SetRecord>& pass, double frequency, double dutyCycle) {
    SetRecord& r = *pass.record;
    r.frequency = frequency;
    r.dutyCycle = dutyCycle;
    rvo_UpdateAttrR(r.head.component, &r.frequency);
    rvo_UpdateAttrR(r.head.component, &r.dutyCycle);
    if (r.head.selector != 1) {
        pass.error.Set(kErrFunction, kInvalidSetting);
        return -2;
    }
    long session = 0;
    if (!SessionOf(pass.error, pass.bench, &session)) {
        return -2;
    }
    for (const std::string& channel : ChannelList(r.head.parts.channel)) {
        ViSession vi = 0;
        int32_t bit = 0;
        if (!PowerOutputOf(pass.error, session, channel, &vi, &bit)) {
            return -2;
        }
        if (!std::isnan(r.frequency) &&
            ModuleFailed(pass.error, vi, rspdft_ConfigurePWM(vi, bit, r.frequency))) {
            return -2;
        }
        if (!std::isnan(r.dutyCycle) &&
            ModuleFailed(pass.error, vi, rspdft_SetStatePWM(vi, bit, r.dutyCycle))) {
            return -2;
        }
    }
    return VerifyText(pass.call, r.head.parts.function, r.head.parts.channel);
}

} // namespace
} // namespace kora::diomgr

using namespace kora;
using namespace kora::diomgr;

KORA_EXPORT EN_NEV_RESULT CONF_DIOMGR(long stepRef, const char* stepName, long lineCode,
                                      long stepArg, const char* comment, const char* DevChanAttr,
                                      double VHigh, double VLow_ILim) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kConfMethod};
    return RunStandardPass<ConfRecord>(
        call, kKindNone, true,
        [&](auto& pass) {
            ConfRecord& r = *pass.record;
            r.head.selector = 0;
            if (!CompileDevChanAttr(pass.error, r.head, DevChanAttr, kConfMethod, 1)) {
                return;
            }
            const int f = MatchKeyword(r.head.parts.function, kConfFunctions);
            const int mode = f == kOut || f == kBidir
                                 ? MatchKeyword(r.head.parts.suffix, kDriverOptions)
                             : f == kIn ? MatchKeyword(r.head.parts.suffix, kReceiverModes)
                                        : 0;
            if (f == 0 || (f != kReset && mode == 0)) {
                Refuse(pass.error, DevChanAttr);
                return;
            }
            r.head.selector = f;
            r.mode = mode;
            r.vHigh = VHigh;
            r.vLowILim = VLow_ILim;
            const bool analog = f != kIn && mode == kAnalogDriver;
            rvo_DefineAttrR("VHigh", kConfMethod, &r.vHigh, f == kReset ? kUnitNone : kUnitVolt,
                            nullptr);
            rvo_DefineAttrR("VLow_ILim", kConfMethod, &r.vLowILim,
                            f == kReset ? kUnitNone
                            : analog    ? kUnitAmpere
                                        : kUnitVolt,
                            f == kReset ? nullptr
                            : analog    ? kCurrentLimitLabel
                                        : kVLowLabel);
        },
        [&](auto& pass) {
            pass.record->vHigh = VHigh;
            pass.record->vLowILim = VLow_ILim;
            return RunConf(pass);
        });
}

KORA_EXPORT EN_NEV_RESULT EXEC_DIOMGR(long stepRef, const char* stepName, long lineCode,
                                      long stepArg, const char* comment, const char* OutInAttr,
                                      long BufSize, char* Buffer) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kExecMethod};
    return RunStandardPass<ExecRecord>(
        call, kKindNone, true,
        [&](auto& pass) {
            ExecRecord& r = *pass.record;
            r.head.selector = 0;
            r.head.component = rvo_GetCurrentComponent();
            if (const uint32_t code = SplitDevChanAttr(OutInAttr, &r.head.parts); code != 0) {
                pass.error.Set(code, OrNull(OutInAttr));
                return;
            }
            rvo_DefineAttrS("OutInAttr", kExecMethod, OutInAttr, 1, nullptr);
            const int k = MatchKeyword(r.head.parts.function, kExecKeywords);
            if (k == 0) {
                Refuse(pass.error, OutInAttr);
                return;
            }
            r.head.selector = k;
            r.bufSize = TruncToInt32(static_cast<double>(BufSize));
            rvo_DefineAttrI("BufSize", kExecMethod, &r.bufSize, kUnitCount, nullptr);
        },
        [&](auto& pass) { return RunExec(pass, BufSize, Buffer); });
}

KORA_EXPORT EN_NEV_RESULT GET_DIOMGR(long stepRef, const char* stepName, long lineCode,
                                     long stepArg, const char* comment, const char* DevChanAttr,
                                     long SizeStatus, char* Buffer, const char* CompString) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kGetMethod};
    return RunStandardPass<GetRecord>(
        call, kKindNone, true,
        [&](auto& pass) {
            GetRecord& r = *pass.record;
            r.head.selector = 0;
            if (!CompileDevChanAttr(pass.error, r.head, DevChanAttr, kGetMethod, 1)) {
                return;
            }
            const int k = MatchKeyword(r.head.parts.function, kGetKeywords);
            if (k == 0) {
                Refuse(pass.error, DevChanAttr);
                return;
            }
            r.head.selector = k;
            r.sizeStatus = TruncToInt32(static_cast<double>(SizeStatus));
            rvo_DefineAttrI("SizeStatus", kGetMethod, &r.sizeStatus, kUnitCount, nullptr);
            rvo_DefineAttrS("CompString", kGetMethod, OrEmpty(CompString), 1, nullptr);
        },
        [&](auto& pass) { return RunGet(pass, SizeStatus, Buffer, CompString); });
}

KORA_EXPORT EN_NEV_RESULT SET_DIOMGR(long stepRef, const char* stepName, long lineCode,
                                     long stepArg, const char* comment, const char* DevChanAttr,
                                     double Frequency, double DutyCycle) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kSetMethod};
    return RunStandardPass<SetRecord>(
        call, kKindNone, true,
        [&](auto& pass) {
            SetRecord& r = *pass.record;
            r.head.selector = 0;
            if (!CompileDevChanAttr(pass.error, r.head, DevChanAttr, kSetMethod, 0)) {
                return;
            }
            if (MatchKeyword(r.head.parts.function, kSetKeyword) != 1) {
                Refuse(pass.error, DevChanAttr);
                return;
            }
            r.head.selector = 1;
            r.frequency = Frequency;
            r.dutyCycle = DutyCycle;
            rvo_DefineAttrR("Frequency", kSetMethod, &r.frequency, kUnitHertz, nullptr);
            rvo_DefineAttrR("DutyCycle", kSetMethod, &r.dutyCycle, kUnitPercent, nullptr);
        },
        [&](auto& pass) { return RunSet(pass, Frequency, DutyCycle); });
}
