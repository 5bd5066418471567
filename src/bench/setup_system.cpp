// SETUP_KORA's run, the station around the benches: fixture cartridges, switch devices, the
// set-up calls of the physical layer file and the system cartridge.
#include "bench/bench_config.h"
#include "bench/bench_setup.h"
#include "bench/channel_table.h"
#include "bench/device.h"
#include "bench/matrix_channels.h"
#include "bench/setup_run.h"
#include "exports/export.h"
#include "frame/bench_context.h"
#include "frame/step_frame.h"
#include "frame/text.h"

#include <dcpwr.h>
#include <diomgr.h>
#include <dmm.h>
#include <funcgen.h>
#include <kora/step_methods.h>
#include <resmgr.h>
#include <route.h>
#include <rspict.h>
#include <rspio2.h>
#include <rspsam.h>
#include <rspsu.h>
#include <rvoapi.h>
#include <siganl.h>
#include <ucm.h>
#include <vx_urm.h>
#include <winapi.h>
#include <zqsm160.h>

#include <atomic>
#include <cstring>
#include <string_view>

#include <strings.h>

namespace kora::setup {

bool SetupRun::SetupCartridges(BenchRecord& bench) {
    struct Card {
        const char* name;
        CartridgeSlot slot;
        const char* format;
    };
    static constexpr Card kCards[] = {
        {"VPC", kCartridgeVpc, "SN#=%s|HW=%s"},
        {"ACC", kCartridgeAcc, "SN#=%s, HW=%s"},
        {"VCC", kCartridgeVcc, "SN#=%s, HW=%s"},
    };
    bool wanted[3] = {};
    const struct {
        const char* key;
        const char* allowed;
    } keys[] = {{kKeyVacuum, kVacuumCards}, {kKeyPneumatic, kPneumaticCards}};
    for (const auto& k : keys) {
        char value[64];
        if (!ReadConfigKey(kSoftwareConfigFile, section_, k.key, value, sizeof value, error_)) {
            if (error_.failed()) {
                return false;
            }
            continue;
        }
        const char* name = DeviceNameOf(value);
        if (MatchKeyword(name, k.allowed) == 0) {
            LogLine("   %s(%s) not supported", k.key, name);
            continue;
        }
        for (int i = 0; i < 3; ++i) {
            wanted[i] = wanted[i] || std::strcmp(kCards[i].name, name) == 0;
        }
    }
    for (int i = 0; i < 3; ++i) {
        if (!wanted[i]) {
            continue;
        }
        DeviceRecord& slot = bench.cartridge[kCards[i].slot];
        UCM_HANDLE handle = 0;
        char serial[UCM_TEXT_SIZE] = {}, hardware[UCM_TEXT_SIZE] = {};
        const UCM_STATUS status = UCM_Init(kCards[i].name, &handle, serial, hardware);
        LogLineEc(status, "   %s_Setup", kCards[i].name);
        if (status != UCM_OK) {
            return error_.Set(UcmErrorCode(status), UCM_StatusToMSG(status));
        }
        slot.inUse = 1;
        slot.handle = handle;
        CopyText(slot.name, kCards[i].name);
        Success(bench);
        char name[32], text[256];
        FormatText(name, sizeof name, "%s_CARTRIDGE", kCards[i].name);
        FormatText(text, sizeof text, kCards[i].format, serial, hardware);
        SubText(name, text);
    }
    return true;
}

bool SetupRun::CheckSwitchDevices() {
    int32_t resource = 0;
    for (int32_t n = 1; n < kSwitchCards; ++n) {
        char key[64], value[256];
        FormatText(key, sizeof key, "%s%li", kKeySwitch, static_cast<long>(n));
        if (!ReadConfigKey(kSoftwareConfigFile, section_, key, value, sizeof value, error_) &&
            (n > 1 || !ReadConfigKey(kSoftwareConfigFile, section_, kKeySwitch, value, sizeof value,
                                     error_))) {
            return !error_.failed();
        }
        char section[128], type[32];
        FormatText(section, sizeof section, "device->%s", DeviceNameOf(value));
        if (!ReadConfigKey(kPhysicalLayerFile, section, "Type", type, sizeof type, error_)) {
            return !error_.failed() && error_.SetF(kErrResource, kTypeNotFound, section);
        }
        if (MatchKeyword(type, kSwitchTypes) == 0) {
            return error_.SetF(kErrResource, kInvalidSwitchType, section, type);
        }
        int32_t warning = 0, code = 0, session = -1, edge = 0;
        char message[kMessageSize] = {};
        if (resource == 0) {
            RESMGR_Alloc_Resource(0, section_, &resource, &warning, &code, message);
            if (ClassLibFailed(code, message, error_)) {
                return false;
            }
        }
        RESMGR_Open_Session(0, resource, section, &session, &edge, &warning, &code, message);
        if (ClassLibFailed(code, message, error_)) {
            return false;
        }
        RESMGR_Close_Session(0, resource, section, &edge, &warning, &code, message);
        if (ClassLibFailed(code, message, error_)) {
            return false;
        }
    }
    return true;
}

// The set-up calls of the physical layer file: a device section may name one function of its
// driver library ("SetupCall = function(ATTRIBUTE)", "DriverDll = library") to be called once its
// driver is open. The library must already be loaded by the process; problems are logged only.
void SetupRun::SetupCalls() {
    LogLine("SetupCalls");
    int32_t warning = 0, code = 0, resource = 0, sections = 0;
    char message[kMessageSize] = {};
    RESMGR_Alloc_Resource(0, section_, &resource, &warning, &code, message);
    RESMGR_Number_Of_Sections(0, kPhysicalLayerFile, &sections, &warning, &code, message);
    StepError ignored;
    for (long i = 1; i <= sections; ++i) {
        char section[RESMGR_NAME_SIZE] = {}, value[256];
        RESMGR_Nth_Section_Name(0, kPhysicalLayerFile, i, section, &warning, &code, message);
        if (code < 0 || !ReadConfigKey(kPhysicalLayerFile, section, kKeySetupCall, value,
                                       sizeof value, ignored)) {
            continue;
        }
        char line[kMessageSize];
        FormatText(line, sizeof line, "  %s.%s ", section, value);
        AppendText(line, sizeof line, SetupCallOutcome(section, value, resource));
        LogLine("%s", line);
    }
}

// What one set-up call did, as the log shows it.
const char* SetupRun::SetupCallOutcome(const char* section, const char* value, int32_t resource) {
    static thread_local char outcome[160];
    const char* open = std::strchr(value, '(');
    const char* close = open ? std::strchr(open, ')') : nullptr;
    char function[128] = {}, attribute[64] = {};
    if (open) {
        CopyText(function, sizeof function, std::string_view(value, open - value));
    } else {
        CopyText(function, value);
    }
    TrimBlanks(function);
    if (open && close) {
        CopyText(attribute, sizeof attribute, std::string_view(open + 1, close - open - 1));
        TrimBlanks(attribute);
    }
    if (function[0] == 0) {
        return "-> ERROR: Invalid function name!";
    }
    if (attribute[0] == 0) {
        return "-> ERROR: Invalid function attribute!";
    }
    StepError ignored;
    char dll[256];
    if (!ReadConfigKey(kPhysicalLayerFile, section, kKeyDriverDll, dll, sizeof dll, ignored)) {
        return "-> ERROR: Entry 'DriverDll' not found!";
    }
    HMODULE module = GetModuleHandleA(dll);
    if (!module) {
        FormatText(outcome, sizeof outcome, "-> DLL %s is not loaded (0x%lx)", dll,
                   static_cast<unsigned long>(GetLastError()));
        return outcome;
    }
    if (!BenchUsesDevice(section)) {
        return "-> Driver not used in BENCH";
    }
    int32_t handle = -1, warning = 0, code = 0;
    char message[kMessageSize] = {};
    RESMGR_Get_Session_Handle(0, resource, section, &handle, &warning, &code, message);
    FARPROC proc = GetProcAddress(module, function);
    if (!proc) {
        return "-> ERROR: Driver function not found!";
    }
    ViStatus status = VI_SUCCESS;
    if (std::strcmp(function, "rspsu_ConfigureRemoteSensing") == 0) {
        if (std::strcmp(attribute, "EXTERNAL") != 0) {
            return "-> Invalid function attribute";
        }
        using Fn = ViStatus (*)(ViSession, ViConstString, ViBoolean);
        status = reinterpret_cast<Fn>(proc)(static_cast<ViSession>(handle), "CH1", 1);
    } else if (std::strcmp(function, "niDCPower_ConfigureSense") == 0) {
        if (std::strcmp(attribute, "EXTERNAL") != 0) {
            return "-> Invalid function attribute";
        }
        using Fn = ViStatus (*)(ViSession, ViConstString, ViInt32);
        status = reinterpret_cast<Fn>(proc)(static_cast<ViSession>(handle), "1", 1009);
    } else {
        return "-> Not implemented";
    }
    if (status == VI_SUCCESS) {
        return "-> OK";
    }
    FormatText(outcome, sizeof outcome, "-> ERROR(0x%lx)",
               static_cast<unsigned long>(static_cast<uint32_t>(status)));
    return outcome;
}

// True when one of the bench section's keys names the device of a "device->NAME" section.
bool SetupRun::BenchUsesDevice(const char* deviceSection) {
    int32_t keys = 0, warning = 0, code = 0;
    char message[kMessageSize] = {};
    RESMGR_Number_Of_Keys(0, kSoftwareConfigFile, section_, &keys, &warning, &code, message);
    for (long k = 1; code >= 0 && k <= keys; ++k) {
        char value[RESMGR_VALUE_SIZE] = {}, section[RESMGR_VALUE_SIZE + 16];
        RESMGR_Nth_Key_Value(0, kSoftwareConfigFile, section_, k, value, &warning, &code, message);
        FormatText(section, sizeof section, "device->%s", DeviceNameOf(value));
        if (code >= 0 && strcasecmp(section, deviceSection) == 0) {
            return true;
        }
    }
    return false;
}

bool SetupRun::SystemCartridge() {
    UCM_CARD_INFO cards[16] = {};
    uint32_t found = 0;
    const UCM_STATUS scan = UCM_Scan(cards, 16, &found);
    if (scan != UCM_OK) {
        found = 0;
    }
    LogLine("   UCM Scan(%lu)", static_cast<unsigned long>(found));
    bool ssc = false;
    for (uint32_t i = 0; i < found; ++i) {
        LogLine("     UCM[%lu]: Name=%s,Desc=%s,SNR=%s", static_cast<unsigned long>(i),
                cards[i].name, cards[i].description, cards[i].serialNumber);
        ssc = ssc || std::strcmp(cards[i].name, "SSC") == 0;
    }
    if (!ssc) {
        return true;
    }
    UCM_HANDLE handle = 0;
    char serial[UCM_TEXT_SIZE] = {}, hardware[UCM_TEXT_SIZE] = {};
    UCM_STATUS status = UCM_Init("SSC", &handle, serial, hardware);
    LogLineEc(status, "   SSC_Setup");
    if (status == UCM_OK) {
        status = UCM_SetOpenDrainOUT(handle, 9, 0xFFFF);
    }
    if (status != UCM_OK) {
        return error_.Set(UcmErrorCode(status), UCM_StatusToMSG(status));
    }
    LogLine("    SSC OD port initialized with 0x0009 (VFx disable)");
    for (int32_t b = 0; b <= rec_.benchCount; ++b) {
        DeviceRecord& slot = BenchByIndex(b)->cartridge[kCartridgeSsc];
        slot.inUse = 1;
        slot.handle = handle;
        CopyText(slot.name, "SSC");
    }
    ++successes_;
    char text[256];
    FormatText(text, sizeof text, "SN#=%s, HW=%s", serial, hardware);
    SubText("SCC_CARTRIDGE", text);
    return true;
}

} // namespace kora::setup
