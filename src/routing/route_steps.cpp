// Route steps: CONF_ROUTE disconnects channels or resets the switching, EXEC_ROUTE executes any
// routing text, GETS_ROUTE returns or shows the present connections.
#include "exports/export.h"
#include "frame/step_frame.h"
#include "frame/text.h"
#include "routing/routing.h"

#include <kora/step_methods.h>
#include <route.h>
#include <rvoapi.h>

#include <cstring>
#include <string>
#include <string_view>

namespace kora {
namespace {

constexpr const char* kConfMethod = "CONF_ROUTE";
constexpr const char* kExecMethod = "EXEC_ROUTE";
constexpr const char* kGetsMethod = "GETS_ROUTE";
constexpr const char* kConfFunctions = "DISCONNECT,RESET";
constexpr int32_t kSelectDisconnect = 18, kSelectReset = 17, kSelectStatus = 10;
constexpr const char* kStatusKeyword = "STATUS";
constexpr const char* kResetCommand = "%,||";
constexpr std::size_t kCommandSize = 1024;
constexpr long kDisplaySize = 1024;

struct ConfRouteRecord {
    StepHead head;
    int32_t value;
    int32_t chanlistGiven; // 0 when Chanlist was null
    char chanlist[kCommandSize];
};
static_assert(sizeof(ConfRouteRecord) == 1528);

struct ExecRouteRecord {
    void* component;
};
static_assert(sizeof(ExecRouteRecord) == 8);

struct GetsRouteRecord {
    void* component;
    DevChanParts parts;
    int32_t selector;
    int32_t bufSize;
};
static_assert(sizeof(GetsRouteRecord) == 496);

// Executes a routing text on the bench; a failure becomes the pass's error.
bool Execute(StepError& error, const BenchRecord* bench, const char* command) {
    int32_t status = 0, code = 0;
    char message[kMessageSize] = {};
    RouteExecute(bench, command, &status, &code, message);
    if (code < 0) {
        error.Set(static_cast<uint32_t>(code), message);
        return false;
    }
    return true;
}

void ShowWhenOn(const BenchRecord* bench, const char* stepName) {
    if (bench && bench->routeDisplay) {
        ShowRouting(bench, stepName);
    }
}

// "%,A||,B||" from the list "A, B": blanks removed, each channel disconnected from everything.
std::string DisconnectListCommand(const char* list) {
    std::string command = "%";
    std::string channels;
    for (const char* p = list; *p; ++p) {
        if (*p == ' ' || *p == '\t') {
            continue;
        }
        if (*p == ',') {
            channels += "||,";
        } else {
            channels += *p;
        }
    }
    // A list of blanks is a list: "%,||" resets every channel's connections, as the text asks.
    if (*list) {
        command += "," + channels + "||";
    }
    return command;
}

EN_NEV_RESULT VerifyCommand(const StepCall& call, const std::string& command, const char* channel) {
    rvo_VerifyS(0, call.stepName, call.lineCode, 0, command.c_str(), nullptr, nullptr,
                RVO_VERDICT_EXECUTIVE, 0.0, channel, call.comment);
    return 0;
}

} // namespace

std::string DisconnectAllCommand(const BenchRecord* bench) {
    char display[kDisplaySize] = {};
    int32_t length = 0, warning = 0, code = 0;
    char message[kMessageSize] = {};
    ROUTE_GetDisplayString(0, bench->routing.handle, display, kDisplaySize, &length, &warning,
                           &code, message);
    std::string command = "%,";
    bool first = true;
    std::string_view rest = code >= 0 ? display : "";
    while (!rest.empty()) {
        const std::size_t nl = rest.find('\n');
        std::string_view line = rest.substr(0, nl);
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
        if (!line.empty() && line[0] == '\r') {
            line.remove_prefix(1);
        }
        // Group lines and entries of deeper levels are not disconnected by name.
        if (line.empty() || line[0] == '$' || line[0] == ' ') {
            continue;
        }
        const std::size_t end = line.find_first_of(" (");
        command += (first ? "" : ",") + std::string(line.substr(0, end)) + "||";
        first = false;
    }
    return command;
}

} // namespace kora

using namespace kora;

KORA_EXPORT EN_NEV_RESULT CONF_ROUTE(long stepRef, const char* stepName, long lineCode,
                                     long stepArg, const char* comment, const char* DevChanAttr,
                                     const char* Chanlist, long Value) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kConfMethod};
    return RunStandardPass<ConfRouteRecord>(
        call, kKindInstrument, true,
        [&](auto& pass) {
            ConfRouteRecord& r = *pass.record;
            r.head.selector = 0;
            if (!CompileDevChanAttr(pass.error, r.head, DevChanAttr, kConfMethod, 1)) {
                return;
            }
            const int k = MatchKeyword(r.head.parts.function, kConfFunctions);
            if (k == 0) {
                rvo_SetSTEPResult(-2);
                pass.error.Set(ParamError(6), OrNull(DevChanAttr));
                return;
            }
            r.head.selector = k == 1 ? kSelectDisconnect : kSelectReset;
            r.value = static_cast<int32_t>(Value);
            r.chanlistGiven = Chanlist ? 1 : 0;
            if (Chanlist && std::strlen(Chanlist) >= sizeof r.chanlist) {
                pass.error.Set(ParamError(7), Chanlist);
                return;
            }
            CopyText(r.chanlist, OrEmpty(Chanlist));
            rvo_DefineAttrSList("Chanlist", kConfMethod, r.chanlist, sizeof r.chanlist, ",",
                                nullptr);
            rvo_DefineAttrI("Value", kConfMethod, &r.value, 0, nullptr);
        },
        [&](auto& pass) -> EN_NEV_RESULT {
            const ConfRouteRecord& r = *pass.record;
            EN_NEV_RESULT result = 0;
            std::string command;
            if (r.head.selector == kSelectReset) {
                command = kResetCommand;
                if (!Execute(pass.error, pass.bench, command.c_str())) {
                    return -2;
                }
                VerifyCommand(pass.call, command, "RESET");
                result = 1;
            } else if (r.head.selector == kSelectDisconnect && r.chanlistGiven) {
                command = DisconnectListCommand(r.chanlist);
                if (!Execute(pass.error, pass.bench, command.c_str())) {
                    return -2;
                }
                VerifyCommand(pass.call, command, "DISCONNECT.LIST");
            } else if (r.head.selector == kSelectDisconnect) {
                command = DisconnectAllCommand(pass.bench);
                if (!Execute(pass.error, pass.bench, command.c_str())) {
                    return -2;
                }
                VerifyCommand(pass.call, command, "DISCONNECT.ALL");
                result = 1;
            } else {
                rvo_SetSTEPResult(-2);
                pass.error.Set(kErrFunction, kInvalidSetting);
                return -2;
            }
            ShowWhenOn(pass.bench, pass.call.stepName);
            return result;
        });
}

KORA_EXPORT EN_NEV_RESULT EXEC_ROUTE(long stepRef, const char* stepName, long lineCode,
                                     long stepArg, const char* comment, const char* Command) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kExecMethod};
    return RunStandardPass<ExecRouteRecord>(
        call, kKindInstrument, true,
        [&](auto& pass) {
            pass.record->component = rvo_GetCurrentComponent();
            rvo_DefineAttrS("Command", kExecMethod, OrEmpty(Command), 0, nullptr);
        },
        [&](auto& pass) -> EN_NEV_RESULT {
            rvo_UpdateAttrS(pass.record->component, "Command", OrEmpty(Command));
            if (Command && !Execute(pass.error, pass.bench, Command)) {
                return -2;
            }
            ShowWhenOn(pass.bench, pass.call.stepName);
            VerifyCommand(pass.call, OrEmpty(Command), "");
            return 1;
        });
}

KORA_EXPORT EN_NEV_RESULT GETS_ROUTE(long stepRef, const char* stepName, long lineCode,
                                     long stepArg, const char* comment, const char* DevChanAttr,
                                     long BufSize, char* Buffer, long* Length) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kGetsMethod};
    return RunStandardPass<GetsRouteRecord>(
        call, kKindNone, true,
        [&](auto& pass) {
            GetsRouteRecord& r = *pass.record;
            r.selector = 0;
            StepHead head{};
            if (!CompileDevChanAttr(pass.error, head, DevChanAttr, kGetsMethod, 1)) {
                return;
            }
            r.component = head.component;
            r.parts = head.parts;
            if (std::strcmp(r.parts.function, kStatusKeyword) != 0) {
                rvo_SetSTEPResult(-2);
                pass.error.Set(ParamError(6), OrNull(DevChanAttr));
                return;
            }
            r.selector = kSelectStatus;
            r.bufSize = static_cast<int32_t>(BufSize);
            rvo_DefineAttrI("BufSize", kGetsMethod, &r.bufSize, 0, nullptr);
        },
        [&](auto& pass) -> EN_NEV_RESULT {
            GetsRouteRecord& r = *pass.record;
            if (r.selector != kSelectStatus) {
                rvo_SetSTEPResult(-2);
                pass.error.Set(kErrFunction, kInvalidSetting);
                return -2;
            }
            r.bufSize = static_cast<int32_t>(BufSize);
            rvo_UpdateAttrI(r.component, &r.bufSize);
            if (Length) {
                *Length = 0;
            }
            if (Buffer) {
                Buffer[0] = 0;
            }
            if (!pass.bench->routing.inUse) {
                return 0;
            }
            if (Buffer && BufSize > 0) {
                int32_t length = 0, warning = 0, code = 0;
                char message[kMessageSize] = {};
                ROUTE_GetDisplayString(0, pass.bench->routing.handle, Buffer, BufSize, &length,
                                       &warning, &code, message);
                if (code < 0) {
                    pass.error.Set(static_cast<uint32_t>(code), message);
                    return -2;
                }
                if (Length) {
                    *Length = length;
                }
            } else {
                ShowRouting(pass.bench, pass.call.stepName);
            }
            return 1;
        });
}
