// CONF_KORA chooses the bench that the active bench copies, resets every bench or switches driver
// tracing; GETI_KORA hands out resource handles of a bench so that other software can reuse open
// sessions.
#include "bench/bench_config.h"
#include "bench/bench_setup.h"
#include "bench/device.h"
#include "exports/export.h"
#include "frame/bench_context.h"
#include "frame/step_frame.h"
#include "frame/text.h"

#include <diomgr.h>
#include <dmm.h>
#include <funcgen.h>
#include <kora/step_methods.h>
#include <resmgr.h>
#include <route.h>
#include <rspio2.h>
#include <rvoapi.h>
#include <siganl.h>
#include <ucm.h>

#include <cstring>

#include <strings.h>

namespace kora {
namespace {

// ---- CONF_KORA ----------------------------------------------------------------------------------

constexpr const char* kConfMethod = "CONF_KORA";
constexpr const char* kConfFunctions = "BENCH,TRACE,RESET,BENCH_AUTOSELECT";
constexpr int32_t kConfSelectors[] = {1, 2, 17, 8};
constexpr int32_t kSelectBench = 1, kSelectTrace = 2, kSelectReset = 17, kSelectAuto = 8;
constexpr const char* kTraceGroups = "ALL,DMM,DCPWR,SIGANL,FUNCGEN,DIOMGR,ROUTE,ICT,ICCHECK";
constexpr int32_t kTraceMasks[] = {-1, 1, 2, 4, 8, 16, 32, 64, 128};
constexpr int32_t kTraceDmm = 1, kTraceDcpwr = 2, kTraceSiganl = 4, kTraceFuncgen = 8,
                  kTraceDiomgr = 16, kTraceRoute = 32, kTraceIct = 64, kTraceIccheck = 128;
constexpr const char* kSelectorFromOne = "BENCH selector starts from 1";
constexpr const char* kOutOfRange = "BENCH selector out of range";
constexpr const char* kNoStation = "Invalid Station Pointer";
constexpr const char* kResetRouting = "||";

struct ConfRecord {
    StepHead head;
    int32_t setValue;
    int32_t traceMask;
};
static_assert(sizeof(ConfRecord) == 504);

void CompileConf(StepPass<ConfRecord>& pass, const char* devChanAttr, long setValue) {
    ConfRecord& r = *pass.record;
    r.head.component = rvo_GetCurrentComponent();
    r.head.selector = 0;
    r.traceMask = 0;
    if (!CompileDevChanAttr(pass.error, r.head, devChanAttr, kConfMethod, 1)) {
        return;
    }
    const int k = MatchKeyword(r.head.parts.function, kConfFunctions);
    int32_t selector = k > 0 ? kConfSelectors[k - 1] : 0;
    if (selector == kSelectTrace) {
        const int group = std::strcmp(r.head.parts.device, "HOLM") == 0
                              ? MatchKeyword(r.head.parts.channel, kTraceGroups)
                              : 0;
        r.traceMask = group > 0 ? kTraceMasks[group - 1] : 0;
        if (group == 0) {
            selector = 0;
        }
    }
    if (selector == 0) {
        rvo_SetSTEPResult(-2);
        pass.error.Set(ParamError(6), OrNull(devChanAttr));
        return;
    }
    r.head.selector = selector;
    r.setValue = static_cast<int32_t>(setValue);
    rvo_DefineAttrI("SetValue", kConfMethod, &r.setValue, 0, nullptr);
}

// Makes the active bench a copy of configured bench n, and gives the station's nest n the bench's
// panel index.
void SelectBench(BenchRecord& active, int32_t n) {
    const BenchRecord& bench = *BenchByIndex(n);
    CopyBenchDevices(bench, active);
    RVO_STATION station = active.station ? active.station : rvo_StationCurrent();
    if (!station) {
        return;
    }
    if (RVO_NEST nest = rvo_StationNest(station, n)) {
        if (RVO_UUT uut = rvo_StationNestGetUUT(nest)) {
            rvo_UUTSetPanelIndex(uut, bench.panelId);
            rvo_UUTFree(uut);
        }
    }
}

bool BenchExists(int32_t n) {
    return n >= 1 && n < BenchCount();
}

EN_NEV_RESULT VerifyBench(const StepCall& call, long n) {
    return static_cast<EN_NEV_RESULT>(rvo_VerifyI(0, call.stepName, call.lineCode, 0, 0, nullptr, n,
                                                  nullptr, 0, RVO_VERDICT_EXECUTIVE, 0.0, "",
                                                  call.comment));
}

// Resets every configured bench: routing opened, instruments to their start state, cartridge
// logic reloaded. The first failure ends it.
bool ResetBenches(StepError& error) {
    int32_t warning = 0, code = 0;
    char message[kMessageSize] = {};
    const int32_t count = BenchCount();
    for (int32_t b = 1; b < count; ++b) {
        BenchRecord& bench = *BenchByIndex(b);
        LogLine("RESET Bench: %s", bench.name);
        if (bench.routing.inUse) {
            int32_t status = 0;
            ROUTE_Execute(0, bench.routing.handle, kResetRouting, &status, &code, message);
            if (ClassLibFailed(code, message, error)) {
                return false;
            }
        }
        for (const DeviceRecord& d : bench.dmm) {
            if (d.inUse &&
                ClassLibFailed(DMM_Reset(0, d.handle, &warning, &code, message), message, error)) {
                return false;
            }
        }
        for (const DeviceRecord& d : bench.scope) {
            if (!d.inUse) {
                continue;
            }
            if (ClassLibFailed(SIGANL_Reset(0, d.handle, &warning, &code, message), message,
                               error) ||
                ClassLibFailed(SIGANL_ConfigureTrigger(0, d.handle, "", "IMMEDIATE", 0.0, &warning,
                                                       &code, message),
                               message, error)) {
                return false;
            }
        }
        for (const DeviceRecord& d : bench.funcgen) {
            if (d.inUse && ClassLibFailed(FUNCGEN_Reset(0, d.handle, &warning, &code, message),
                                          message, error)) {
                return false;
            }
        }
        if (bench.diomgr.inUse &&
            ClassLibFailed(DIOMGR_Reset(0, bench.diomgr.handle, &warning, &code, message), message,
                           error)) {
            return false;
        }
        for (const DeviceRecord& d : bench.adio) {
            if (!d.inUse) {
                continue;
            }
            const ViStatus status = rspio2_reset(static_cast<ViSession>(d.handle));
            if (status < 0) {
                char text[VI_ERROR_MESSAGE_SIZE] = {};
                rspio2_error_message(VI_NULL, status, text);
                return error.Set(static_cast<uint32_t>(status), text);
            }
        }
    }
    // Each open cartridge once, however many benches hold it.
    for (CartridgeSlot slot : {kCartridgeSsc, kCartridgeAcc, kCartridgeVcc, kCartridgeVpc}) {
        int32_t done = -1;
        for (int32_t b = 1; b < count; ++b) {
            const DeviceRecord& card = BenchByIndex(b)->cartridge[slot];
            if (!card.inUse || card.handle == done) {
                continue;
            }
            const UCM_STATUS status = UCM_ResetFPGA(card.handle);
            if (status != UCM_OK) {
                return error.Set(UcmErrorCode(status), UCM_StatusToMSG(status));
            }
            done = card.handle;
        }
    }
    return true;
}

void SwitchTracing(const BenchRecord& active, int32_t mask, bool on) {
    RESMGR_Enable_Tracing(mask == -1 ? (on ? 1 : 0) : 1);
    // The flag goes to the device's resource-manager session. The class libraries keep their
    // sessions to themselves: for their slots, which hold no session, the handle stands for it.
    const auto sessionOf = [](const DeviceRecord& d) {
        return d.session >= 0 ? d.session : d.handle;
    };
    struct Group {
        int32_t bit;
        int32_t session;
        bool inUse;
    };
    const Group groups[] = {
        {kTraceDmm, sessionOf(active.dmm[0]), active.dmm[0].inUse != 0},
        {kTraceDcpwr, sessionOf(active.dcpwr), active.dcpwr.inUse != 0},
        {kTraceSiganl, sessionOf(active.scope[0]), active.scope[0].inUse != 0},
        {kTraceFuncgen, sessionOf(active.funcgen[0]), active.funcgen[0].inUse != 0},
        {kTraceDiomgr, sessionOf(active.diomgr), active.diomgr.inUse != 0},
        {kTraceRoute, sessionOf(active.routing), active.routing.inUse != 0},
        {kTraceIct, active.ictModules[kIctPsam].session, active.ictModules[kIctPsam].inUse != 0},
        {kTraceIccheck, active.ictModules[kIctPict].session,
         active.ictModules[kIctPict].inUse != 0},
    };
    for (const Group& g : groups) {
        if ((mask & g.bit) != 0 && g.inUse) {
            RESMGR_Set_Trace_Flag(g.session, on ? 1 : 0);
        }
    }
}

EN_NEV_RESULT RunConf(StepPass<ConfRecord>& pass, long setValue) {
    ConfRecord& r = *pass.record;
    BenchRecord& active = *pass.bench;
    if (r.head.selector == 0) {
        rvo_SetSTEPResult(-2);
        pass.error.Set(kErrFunction, kInvalidSetting);
        return -2;
    }
    if (r.head.selector != kSelectAuto) {
        r.setValue = static_cast<int32_t>(setValue);
        rvo_UpdateAttrI(r.head.component, &r.setValue);
    }
    switch (r.head.selector) {
    case kSelectBench: {
        long n = r.setValue;
        if (n < 1) {
            n = active.station ? rvo_StationGetItemIndex(active.station) : 0;
        }
        if (n < 1) {
            pass.error.Set(ParamError(7), kSelectorFromOne);
            return -2;
        }
        if (!BenchExists(static_cast<int32_t>(n))) {
            pass.error.Set(ParamError(7), kOutOfRange);
            return -2;
        }
        SelectBench(active, static_cast<int32_t>(n));
        return VerifyBench(pass.call, n);
    }
    case kSelectAuto: {
        if (!active.station) {
            pass.error.Set(ParamError(7), kNoStation);
            return -2;
        }
        const long n = rvo_StationGetItemIndex(active.station);
        const long stationId = rvo_StationID(active.station);
        r.setValue = static_cast<int32_t>(n);
        rvo_UpdateAttrI(r.head.component, &r.setValue);
        if (!BenchExists(static_cast<int32_t>(n))) {
            pass.error.Set(ParamError(7), kOutOfRange);
            return -2;
        }
        SelectBench(active, static_cast<int32_t>(n));
        const EN_NEV_RESULT result = VerifyBench(pass.call, n);
        rvo_VerifyI(1, "Station Index", pass.call.lineCode, 0, 0, nullptr, stationId, nullptr, 0,
                    RVO_VERDICT_EXECUTIVE, 0.0, "", pass.call.comment);
        rvo_VerifyI(2, "DUT index on panel", pass.call.lineCode, 0, 0, nullptr, active.panelId,
                    nullptr, 0, RVO_VERDICT_EXECUTIVE, 0.0, "", pass.call.comment);
        return result;
    }
    case kSelectReset:
        if (!ResetBenches(pass.error)) {
            return -2;
        }
        return VerifyBench(pass.call, BenchCount() - 1);
    case kSelectTrace:
        SwitchTracing(active, r.traceMask, r.setValue > 0);
        return 0;
    default:
        return 0;
    }
}

// ---- GETI_KORA ----------------------------------------------------------------------------------

constexpr const char* kGetiMethod = "GETI_KORA";
constexpr const char* kGetiFunction = "RESID";
constexpr const char* kGetiDevices = "HOLM,SYSTEM,DEVICE";
constexpr const char* kHolmGroups = "DMM,SIGANL,FUNCGEN,ADIO,DCPWR,ROUTE,ICT,ICCHECK,DIOMGR";
constexpr const char* kSystemGroups = "SSC,VPC,ACC,VCC";
constexpr const char* kDeviceNotFound = "Hardware Device|Channel not found";
constexpr int32_t kGetiHolm = 100, kGetiSystem = 200, kGetiDevice = 300;

struct GetiRecord {
    StepHead head;
    int32_t benchIndex;
    int32_t reserved[3];
};
static_assert(sizeof(GetiRecord) == 512);

void CompileGeti(StepPass<GetiRecord>& pass, const char* devChanAttr, long benchIndex) {
    GetiRecord& r = *pass.record;
    r.head.component = rvo_GetCurrentComponent();
    r.head.selector = 0;
    if (!CompileDevChanAttr(pass.error, r.head, devChanAttr, kGetiMethod, 1)) {
        return;
    }
    int32_t selector = 0;
    if (std::strcmp(r.head.parts.function, kGetiFunction) == 0) {
        switch (MatchKeyword(r.head.parts.device, kGetiDevices)) {
        case 1:
            if (const int k = MatchKeyword(r.head.parts.channel, kHolmGroups); k > 0) {
                selector = kGetiHolm + k;
            }
            break;
        case 2:
            if (const int k = MatchKeyword(r.head.parts.channel, kSystemGroups); k > 0) {
                selector = kGetiSystem + k;
            }
            break;
        case 3:
            selector = r.head.parts.channel[0] ? kGetiDevice : 0;
            break;
        default:
            break;
        }
    }
    if (selector == 0) {
        rvo_SetSTEPResult(-2);
        pass.error.Set(ParamError(6), OrNull(devChanAttr));
        return;
    }
    r.head.selector = selector;
    r.benchIndex = static_cast<int32_t>(benchIndex);
    rvo_DefineAttrI("BenchIndex", kGetiMethod, &r.benchIndex, 0, nullptr);
}

int32_t HolmHandle(const BenchRecord& bench, int group) {
    switch (group) {
    case 1:
        return bench.dmm[0].handle;
    case 2:
        return bench.scope[0].handle;
    case 3:
        return bench.funcgen[0].handle;
    case 4:
        return bench.adio[0].session;
    case 5:
        return bench.dcpwr.handle;
    case 6:
        return bench.routing.handle;
    case 7:
        return bench.ictModules[0].handle;
    case 8:
        return bench.ictModules[1].handle;
    case 9:
        return bench.diomgr.handle;
    default:
        return -1;
    }
}

int32_t SystemHandle(const BenchRecord& bench, int group) {
    static constexpr CartridgeSlot kSlots[] = {kCartridgeSsc, kCartridgeVpc, kCartridgeAcc,
                                               kCartridgeVcc};
    return bench.cartridge[kSlots[group - 1]].handle;
}

// Resolves a device name through "LogicalNames" and checks that the bench uses it (one of the
// bench section's keys names it, as its device keys and "DCPwrSupply" keys do) and that the
// physical layer file describes it. The device's own name goes to `device`.
bool ConfiguredDevice(const BenchRecord& bench, const char* name, char (&device)[128],
                      StepError& error) {
    char value[256];
    CopyText(device, name);
    if (ReadConfigKey(kSoftwareConfigFile, "LogicalNames", name, value, sizeof value, error)) {
        CopyText(device, DeviceNameOf(value));
    }
    char section[160], type[32];
    FormatText(section, sizeof section, "device->%s", device);
    if (!ReadConfigKey(kPhysicalLayerFile, section, "Type", type, sizeof type, error)) {
        return false;
    }
    char benchSection[64], message[kMessageSize] = {};
    BenchSectionOf(bench.name, benchSection, error);
    int32_t keys = 0, warning = 0, code = 0;
    RESMGR_Number_Of_Keys(0, kSoftwareConfigFile, benchSection, &keys, &warning, &code, message);
    for (long k = 1; code >= 0 && k <= keys; ++k) {
        char keyValue[RESMGR_VALUE_SIZE] = {};
        RESMGR_Nth_Key_Value(0, kSoftwareConfigFile, benchSection, k, keyValue, &warning, &code,
                             message);
        if (code >= 0 && strcasecmp(DeviceNameOf(keyValue), device) == 0) {
            return true;
        }
    }
    return false;
}

bool DeviceHandle(const BenchRecord& bench, const char* device, int32_t* handle, StepError& error) {
    for (const auto* group : {bench.dmm, bench.funcgen, bench.scope}) {
        for (int i = 0; i < kDmmSlots; ++i) {
            if (group[i].inUse && strcasecmp(group[i].name, device) == 0) {
                *handle = group[i].handle;
                return true;
            }
        }
    }
    for (const DeviceRecord& d : bench.adio) {
        if (d.inUse && strcasecmp(d.name, device) == 0) {
            *handle = d.handle;
            return true;
        }
    }
    char name[128];
    if (!ConfiguredDevice(bench, device, name, error)) {
        return false;
    }
    char benchSection[64], section[160], message[kMessageSize] = {};
    BenchSectionOf(bench.name, benchSection, error);
    FormatText(section, sizeof section, "device->%s", name);
    int32_t resource = 0, warning = 0, code = 0;
    RESMGR_Alloc_Resource(0, benchSection, &resource, &warning, &code, message);
    if (code >= 0) {
        RESMGR_Get_Session_Handle(0, resource, section, handle, &warning, &code, message);
    }
    return code >= 0;
}

EN_NEV_RESULT RunGeti(StepPass<GetiRecord>& pass, long* result) {
    const GetiRecord& r = *pass.record;
    if (r.head.selector == 0) {
        rvo_SetSTEPResult(-2);
        pass.error.Set(kErrFunction, kInvalidSetting);
        return -2;
    }
    if (!result) {
        pass.error.Set(ParamError(8), "<NULL>");
        return -2;
    }
    const BenchRecord* bench = BenchByIndex(r.benchIndex);
    if (!bench) {
        pass.error.Set(ParamError(6), kOutOfRange);
        return -2;
    }
    int32_t handle = -1;
    if (r.head.selector > kGetiSystem && r.head.selector < kGetiDevice) {
        handle = SystemHandle(*bench, r.head.selector - kGetiSystem);
    } else if (r.head.selector > kGetiHolm && r.head.selector < kGetiSystem) {
        handle = HolmHandle(*bench, r.head.selector - kGetiHolm);
    } else if (!DeviceHandle(*bench, r.head.parts.channel, &handle, pass.error)) {
        if (!pass.error.failed()) {
            pass.error.Set(ParamError(6), kDeviceNotFound);
        }
        return -2;
    }
    rvo_SetSTEPDeviceName(r.head.parts.channel);
    *result = handle;
    return static_cast<EN_NEV_RESULT>(
        rvo_VerifyI(0, pass.call.stepName, pass.call.lineCode, 0, 0, nullptr, handle, nullptr, 0,
                    RVO_VERDICT_EXECUTIVE, 0.0, "", pass.call.comment));
}

} // namespace
} // namespace kora

using namespace kora;

KORA_EXPORT EN_NEV_RESULT CONF_KORA(long stepRef, const char* stepName, long lineCode, long stepArg,
                                    const char* comment, const char* DevChanAttr, long SetValue) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kConfMethod};
    return RunStandardPass<ConfRecord>(
        call, kKindNone, true, [&](auto& pass) { CompileConf(pass, DevChanAttr, SetValue); },
        [&](auto& pass) { return RunConf(pass, SetValue); });
}

KORA_EXPORT EN_NEV_RESULT GETI_KORA(long stepRef, const char* stepName, long lineCode, long stepArg,
                                    const char* comment, const char* DevChanAttr, long BenchIndex,
                                    long* Result) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kGetiMethod};
    return RunStandardPass<GetiRecord>(
        call, kKindNone, true, [&](auto& pass) { CompileGeti(pass, DevChanAttr, BenchIndex); },
        [&](auto& pass) { return RunGeti(pass, Result); });
}
