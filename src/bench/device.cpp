#include "bench/device.h"

#include "bench/channel_table.h"
#include "frame/args.h"
#include "frame/text.h"

#include <resmgr.h>

#include <cstddef>
#include <cstring>

namespace kora {

namespace {

constexpr const char* kImmediate = "IMMEDIATE";
constexpr const char* kInvalidBench = "Invalid BENCH name";
constexpr const char* kDeviceNotDefined = "Device not defined";
constexpr long kLockTimeoutMs = 1000;
constexpr long kSoftwareConfig = 1;

bool Failed(StepError& error, int32_t code, const char* message) {
    if (code < 0) {
        error.Set(static_cast<uint32_t>(code), message);
        return true;
    }
    return false;
}

} // namespace

void ResetDeviceRecord(DeviceRecord& device) {
    std::memset(&device, 0, sizeof device);
    device.session = -1;
    device.handle = -1;
    device.driverKind = kDriverOther;
    CopyText(device.state.triggerSource, kImmediate);
    device.state.value64 = -1;
    device.state.value32 = -1;
    device.state.value12 = 12;
}

void ResetBenchRecord(BenchRecord& bench) {
    std::memset(&bench, 0, offsetof(BenchRecord, channels));
    for (auto* group : {&bench.dmm[0], &bench.scope[0], &bench.funcgen[0]}) {
        for (int i = 0; i < kDmmSlots; ++i) {
            ResetDeviceRecord(group[i]);
        }
    }
    for (int i = 0; i < kAdioSlots; ++i) {
        ResetDeviceRecord(bench.adio[i]);
        ResetDeviceRecord(bench.urm[i]);
    }
    ResetDeviceRecord(bench.routing);
    ResetDeviceRecord(bench.dcpwr);
    ResetDeviceRecord(bench.diomgr);
    for (auto& c : bench.cartridge) {
        ResetDeviceRecord(c);
    }
    for (auto& card : bench.switchCards) {
        card.handle = -1;
        card.session = -1;
    }
    for (auto& m : bench.ictModules) {
        m.handle = -1;
        m.session = -1;
    }
    bench.channelCount = 0;
    bench.matrixChannelCount = 0;
    ChannelTableChanged();
    bench.channelListPtr = bench.channelList;
    CopyText(bench.channelList, "-,");
    bench.ictProgram = nullptr;
    bench.ictModified = 0;
}

bool HasSimulateOption(const char* driverOptions, bool acceptTrue) {
    if (!driverOptions) {
        return false;
    }
    if (MatchKeyword("Simulate=1", driverOptions) > 0) {
        return true;
    }
    return acceptTrue && MatchKeyword("Simulate=true", driverOptions) > 0;
}

int32_t DriverKindOf(int deviceClass, const char* type) {
    struct Kind {
        int deviceClass;
        const char* type;
        int32_t kind;
    };
    static constexpr Kind kKinds[] = {
        {kClassDmm, "PSAM", kDriverPsam},   {kClassDmm, "IVI_DMM", kDriverIviDmm},
        {kClassFuncgen, "PFG", kDriverPfg}, {kClassFuncgen, "IVI_FGEN", kDriverIviFgen},
        {kClassScope, "PAM", kDriverPam},   {kClassScope, "IVI_SCOPE", kDriverIviScope},
        {kClassAdio, "PIO2", kDriverPio2},
    };
    for (const auto& k : kKinds) {
        if (k.deviceClass == deviceClass && type && std::strcmp(k.type, type) == 0) {
            return k.kind;
        }
    }
    return kDriverOther;
}

const char* DeviceNameOf(const char* keyValue) {
    if (!keyValue) {
        return "";
    }
    const char* arrow = std::strstr(keyValue, "->");
    return arrow ? arrow + 2 : keyValue;
}

int32_t OpenManagedDevice(int32_t number, const char* benchSection, const char* keyBase,
                          const char* typeList, int32_t* resource, DeviceRecord& device,
                          StepError& error) {
    int32_t warning = 0, code = 0;
    char message[kMessageSize] = {};
    if (number == 0) {
        int32_t type = 0;
        RESMGR_Alloc_Resource(0, benchSection, resource, &warning, &code, message);
        if (Failed(error, code, message)) {
            return kOpenFailed;
        }
        RESMGR_Get_Resource_Type(0, *resource, &type, &warning, &code, message);
        if (Failed(error, code, message)) {
            return kOpenFailed;
        }
        if (type != RESMGR_RESOURCE_BENCH) {
            error.Set(kErrResource, kInvalidBench);
            return kOpenFailed;
        }
        return 0;
    }
    char section[128];
    FormatText(section, sizeof section, "device->%s", device.name);
    if (number < 0) {
        RESMGR_Set_Session_Handle(0, *resource, section, device.handle, &warning, &code, message);
        const bool failed = Failed(error, code, message);
        RESMGR_Unlock_Device(0, *resource, section, &warning, &code, message);
        return failed || Failed(error, code, message) ? kOpenFailed : 0;
    }

    // The key: for the first device the plain key, then (or when missing) the numbered one.
    char key[64], value[256] = {};
    int32_t status = RESMGR_KEY_MISSING;
    if (number == 1) {
        CopyText(key, keyBase);
        RESMGR_Get_Key_Value(0, kSoftwareConfig, benchSection, key, value, sizeof value, &status,
                             &warning, &code, message);
    }
    if (status != RESMGR_KEY_FOUND) {
        FormatText(key, sizeof key, "%s%li", keyBase, static_cast<long>(number));
        RESMGR_Get_Key_Value(0, kSoftwareConfig, benchSection, key, value, sizeof value, &status,
                             &warning, &code, message);
    }
    if (Failed(error, code, message)) {
        return kOpenFailed;
    }
    if (status != RESMGR_KEY_FOUND) {
        error.Set(kErrFunction, kDeviceNotDefined);
        return kOpenFailed;
    }
    CopyText(device.key, key);
    CopyText(device.name, DeviceNameOf(value));
    FormatText(section, sizeof section, "device->%s", device.name);
    // A device the physical layer file does not describe is the configuration's error, named
    // here rather than passed over or left to fail in its driver.
    const auto readEntry = [&](const char* key, char* out, long size, const char* missing) {
        RESMGR_Get_Value(0, *resource, section, key, out, size, &warning, &code, message);
        if (code == RESMGR_ERR_DEVICE_NOT_FOUND || (code >= 0 && out[0] == 0)) {
            return error.SetF(kErrResource, missing, section);
        }
        return !Failed(error, code, message);
    };
    if (!readEntry("Type", device.type, sizeof device.type, kTypeNotFound)) {
        return kOpenFailed;
    }
    if (MatchKeyword(device.type, typeList) == 0) {
        return kOpenPassedOver;
    }
    if (!readEntry("ResourceDesc", device.resourceDesc, sizeof device.resourceDesc,
                   kResourceNotFound)) {
        return kOpenFailed;
    }
    RESMGR_Get_Value(0, *resource, section, "DriverOption", device.driverOption,
                     sizeof device.driverOption, &warning, &code, message);
    if (Failed(error, code, message)) {
        return kOpenFailed;
    }
    RESMGR_Lock_Device(0, *resource, section, kLockTimeoutMs, &warning, &code, message);
    if (Failed(error, code, message)) {
        return kOpenFailed;
    }
    int32_t session = -1, first = 0;
    RESMGR_Open_Session(0, *resource, section, &session, &first, &warning, &code, message);
    if (Failed(error, code, message)) {
        RESMGR_Unlock_Device(0, *resource, section, &warning, &code, message);
        return kOpenFailed;
    }
    device.session = session;
    if (first) {
        return kOpenNewSession;
    }
    int32_t handle = -1;
    RESMGR_Get_Session_Handle(0, *resource, section, &handle, &warning, &code, message);
    device.handle = code < 0 ? -1 : handle;
    return kOpenSessionKept;
}

bool HoldsSession(const BenchRecord& bench, const char* section) {
    for (const auto& held : bench.heldSessions) {
        if (std::strcmp(held, section) == 0) {
            return true;
        }
    }
    return false;
}

void NoteHeldSession(BenchRecord& bench, const char* section) {
    if (HoldsSession(bench, section)) {
        return;
    }
    for (auto& held : bench.heldSessions) {
        if (held[0] == 0) {
            CopyText(held, section);
            return;
        }
    }
}

void ForgetHeldSession(BenchRecord& bench, const char* section) {
    for (auto& held : bench.heldSessions) {
        if (std::strcmp(held, section) == 0) {
            held[0] = 0;
        }
    }
}

} // namespace kora
