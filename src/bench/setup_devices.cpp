// SETUP_KORA's run, the devices of a bench: routing, DC power, digital I/O manager, instruments,
// analog and digital I/O modules, relay modules, and the ICT modules with the switch cards.
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

bool SetupRun::SetupRouting(BenchRecord& bench) {
    char value[64];
    if (ReadConfigKey(kSoftwareConfigFile, section_, kKeySetupRoute, value, sizeof value, error_) &&
        std::strcmp(value, "0") == 0) {
        LogLine("   ROUTE_Setup disabled (KORAsetupROUTE=0)");
        return true;
    }
    if (error_.failed()) {
        return false;
    }
    int32_t handle = -1, warning = 0, code = 0;
    char message[kMessageSize] = {}, version[CLASSLIB_VERSION_SIZE] = {};
    const int32_t status = ROUTE_Setup(0, section_, &handle, &warning, &code, message);
    LogLineEc(status, "   ROUTE_Setup");
    if (status >= 0) {
        bench.routing.inUse = 1;
        bench.routing.handle = handle;
        Success(bench);
    } else if (status == ROUTE_ERR_NOT_CONFIGURED) {
        bench.routing.handle = -1;
    } else {
        error_.Set(static_cast<uint32_t>(status), message);
        ROUTE_Cleanup(0, handle, &warning, &code, message);
        bench.routing.handle = -1;
        return false;
    }
    ROUTE_Lib_Version(0, version, &warning, &code, message);
    SubText("ROUTE", section_, version);
    return true;
}

// A class library that serves the whole bench section (DC power, digital I/O manager): its
// session goes into `slot`; `passedOver` is the code with which it says the bench has nothing
// for it (0: none).
bool SetupRun::SetupBenchLibrary(BenchRecord& bench, const char* label, BenchSetupFn setup,
                                 VersionFn libVersion, DeviceRecord& slot, int32_t passedOver) {
    int32_t session = -1, warning = 0, code = 0;
    char message[kMessageSize] = {}, version[CLASSLIB_VERSION_SIZE] = {};
    const int32_t status = setup(0, section_, &session, &warning, &code, message);
    LogLineEc(status, "   %s_Setup", label);
    if (status >= 0) {
        slot.inUse = 1;
        slot.handle = session;
        Success(bench);
    } else if (passedOver == 0 || status != passedOver) {
        return !ClassLibFailed(status, message, error_);
    }
    libVersion(0, version, &warning, &code, message);
    SubText(label, section_, version);
    return true;
}

bool SetupRun::SetupDcpwr(BenchRecord& bench) {
    return SetupBenchLibrary(bench, "DCPWR", DCPWR_Setup, DCPWR_Lib_Version, bench.dcpwr,
                             DCPWR_ERR_NO_CHANNELS);
}

bool SetupRun::SetupDiomgr(BenchRecord& bench) {
    return SetupBenchLibrary(bench, "DIOMGR", DIOMGR_Setup, DIOMGR_Lib_Version, bench.diomgr, 0);
}

bool SetupRun::ReadInstrumentDevice(int deviceClass, const char* keyBase, long n,
                                    DeviceRecord& device) {
    char key[64], value[256], section[128];
    if (n == 1) {
        CopyText(key, keyBase);
    } else {
        FormatText(key, sizeof key, "%s%li", keyBase, n);
    }
    if (!ReadConfigKey(kSoftwareConfigFile, section_, key, value, sizeof value, error_)) {
        // A missing key ends the devices of this kind; the error it would be is not reported.
        device.handle = -1;
        return false;
    }
    CopyText(device.key, key);
    CopyText(device.name, DeviceNameOf(value));
    FormatText(section, sizeof section, "device->%s", device.name);
    if (!ReadConfigKey(kPhysicalLayerFile, section, "Type", device.type, sizeof device.type,
                       error_)) {
        error_.SetF(kErrResource, kTypeNotFound, section);
        return false;
    }
    if (!ReadConfigKey(kPhysicalLayerFile, section, "ResourceDesc", device.resourceDesc,
                       sizeof device.resourceDesc, error_)) {
        error_.SetF(kErrResource, kResourceNotFound, section);
        return false;
    }
    ReadConfigKey(kPhysicalLayerFile, section, "DriverOption", device.driverOption,
                  sizeof device.driverOption, error_);
    device.simulate = HasSimulateOption(device.driverOption, deviceClass == kClassDmm) ? 1 : 0;
    device.driverKind = DriverKindOf(deviceClass, device.type);
    return !error_.failed();
}

bool SetupRun::SetupInstruments(BenchRecord& bench) {
    using SetupFn = int32_t (*)(long, const char*, const char*, const char*, int32_t*, int32_t*,
                                int32_t*, char*);
    struct Kind {
        int deviceClass;
        const char* key;
        const char* label;
        DeviceRecord* slots;
        SetupFn setup;
        VersionFn version;
    };
    const Kind kinds[] = {
        {kClassDmm, "DigitalMultimeter", "DMM", bench.dmm, DMM_Setup, DMM_Lib_Version},
        {kClassScope, "SignalAnalyzer", "SIGANL", bench.scope, SIGANL_Setup, SIGANL_Lib_Version},
        {kClassFuncgen, "FunctionGenerator", "FUNCGEN", bench.funcgen, FUNCGEN_Setup,
         FUNCGEN_Lib_Version},
    };
    for (const Kind& kind : kinds) {
        for (long n = 1; n <= kDmmSlots; ++n) {
            DeviceRecord& device = kind.slots[n - 1];
            if (!ReadInstrumentDevice(kind.deviceClass, kind.key, n, device)) {
                if (error_.failed()) {
                    return false;
                }
                break;
            }
            int32_t handle = -1, warning = 0, code = 0;
            char message[kMessageSize] = {}, version[CLASSLIB_VERSION_SIZE] = {};
            const int32_t status =
                kind.setup(0, device.name, device.resourceDesc, device.driverOption, &handle,
                           &warning, &code, message);
            LogLineEc(status, "   %s%li_Setup(%s)", kind.label, n, device.name);
            char name[32], text[512];
            FormatText(name, sizeof name, "%s%li", kind.label, n);
            if (status < 0) {
                device.handle = -1;
                FormatText(text, sizeof text, "ERROR: %s", message);
                SubText(name, text);
                if (kind.deviceClass == kClassDmm && status == DMM_ERR_DEVICE_NOT_PRESENT) {
                    continue;
                }
                return !ClassLibFailed(status, message, error_);
            }
            device.inUse = 1;
            device.handle = handle;
            Success(bench);
            kind.version(0, version, &warning, &code, message);
            FormatText(text, sizeof text, "%s: %s, %s%s", bench.name, device.name,
                       device.resourceDesc, device.simulate ? ", SIMULATION" : "");
            SubText(name, text, version);
        }
    }
    return true;
}

// Opens the n-th managed device of a bench. A session the bench holds from an earlier set-up is
// the one it keeps: the session just opened beside it is closed again, so that one cleanup closes
// the device whatever the number of set-ups.
int32_t SetupRun::OpenBenchDevice(BenchRecord& bench, int32_t number, const char* keyBase,
                                  const char* types, int32_t& resource, DeviceRecord& device) {
    const int32_t opened =
        OpenManagedDevice(number, section_, keyBase, types, &resource, device, error_);
    if (opened != kOpenNewSession && opened != kOpenSessionKept) {
        return opened;
    }
    char section[kHeldSectionSize];
    FormatText(section, sizeof section, "device->%s", device.name);
    if (opened == kOpenSessionKept && HoldsSession(bench, section)) {
        int32_t warning = 0, code = 0, last = 0;
        char message[kMessageSize] = {};
        RESMGR_Close_Session(0, resource, section, &last, &warning, &code, message);
    } else {
        NoteHeldSession(bench, section);
    }
    return opened;
}

bool SetupRun::SetupAdio(BenchRecord& bench) {
    int32_t resource = 0;
    for (int32_t n = 1; n <= kAdioSlots; ++n) {
        DeviceRecord& device = bench.adio[n - 1];
        if (n == 1 && OpenManagedDevice(0, section_, kKeyAdio, "PIO2", &resource, device, error_) ==
                          kOpenFailed) {
            return false;
        }
        const int32_t opened = OpenBenchDevice(bench, n, kKeyAdio, "PIO2", resource, device);
        if (opened == kOpenFailed) {
            if (error_.code == kErrFunction) {
                error_.Clear(); // "Device not defined": no more modules
                return true;
            }
            return false;
        }
        if (opened == kOpenPassedOver) {
            continue;
        }
        device.driverKind = DriverKindOf(kClassAdio, device.type);
        device.simulate = HasSimulateOption(device.driverOption, false) ? 1 : 0;
        ViStatus status = VI_SUCCESS;
        if (opened == kOpenNewSession) {
            ViSession handle = 0;
            status = rspio2_InitWithOptions(device.resourceDesc, VI_TRUE, VI_TRUE,
                                            device.driverOption, &handle);
            device.handle = status < 0 ? -1 : static_cast<int32_t>(handle);
        }
        LogLineEc(status, "   ADIO%li_Setup(%s)", static_cast<long>(n), device.name);
        char name[32];
        FormatText(name, sizeof name, "ADIO%li", static_cast<long>(n));
        if (status < 0) {
            char message[VI_ERROR_MESSAGE_SIZE] = {};
            rspio2_error_message(VI_NULL, status, message);
            char text[600];
            FormatText(text, sizeof text, "ERROR: %s", message);
            SubText(name, text);
            error_.Set(static_cast<uint32_t>(status), message);
            OpenManagedDevice(-1, section_, kKeyAdio, "PIO2", &resource, device, error_);
            return false;
        }
        if (OpenManagedDevice(-1, section_, kKeyAdio, "PIO2", &resource, device, error_) ==
            kOpenFailed) {
            return false;
        }
        device.inUse = 1;
        Success(bench);
        char driverRev[VI_REVISION_SIZE] = {}, firmwareRev[VI_REVISION_SIZE] = {};
        rspio2_revision_query(device.handle, driverRev, firmwareRev);
        char text[512];
        FormatText(text, sizeof text, "%s: %s, %s%s", bench.name, device.name, device.resourceDesc,
                   device.simulate ? ", SIMULATION" : "");
        SubText(name, text, driverRev);
    }
    return true;
}

bool SetupRun::SetupUrm(BenchRecord& bench) {
    for (long n = 1; n <= kUrmSlots; ++n) {
        DeviceRecord& device = bench.urm[n - 1];
        if (!ReadInstrumentDevice(kClassUrm, "UrmDevice", n, device)) {
            return !error_.failed();
        }
        device.simulate = HasSimulateOption(device.driverOption, true) ? 1 : 0;
        ViSession handle = 0;
        const ViStatus status =
            VX_Urm_Open_With_Options("GEN", device.resourceDesc, device.simulate ? 0 : 1, &handle);
        LogLineEc(status, "   URM%li_Setup(%s)", n, device.name);
        char name[32], text[512];
        FormatText(name, sizeof name, "Urm%li", n);
        if (status < 0) {
            device.handle = -1;
            FormatText(text, sizeof text, "ERROR: 0x%lX",
                       static_cast<unsigned long>(static_cast<uint32_t>(status)));
            SubText(name, text);
            error_.SetF(static_cast<uint32_t>(status), "VX_Urm_Open_With_Options(%s): error 0x%lX",
                        device.resourceDesc,
                        static_cast<unsigned long>(static_cast<uint32_t>(status)));
            return false;
        }
        device.inUse = 1;
        device.handle = static_cast<int32_t>(handle);
        Success(bench);
        char driverRev[VI_REVISION_SIZE] = {}, firmwareRev[VI_REVISION_SIZE] = {};
        VX_Urm_Revision_Query(handle, driverRev, firmwareRev);
        FormatText(text, sizeof text, "%s: %s, %s%s", bench.name, device.name, device.resourceDesc,
                   device.simulate ? ", SIMULATION" : "");
        SubText(name, text, driverRev);
    }
    return true;
}

namespace {

// The ICT modules' drivers, by module type.
constexpr ModuleDriver kIctDrivers[kIctModules] = {
    {"PSAM", rspsam_InitWithOptions, rspsam_error_message},
    {"PICT", rspict_InitWithOptions, rspict_error_message},
    {"PSU", rspsu_InitWithOptions, rspsu_error_message},
};
constexpr ModuleDriver kSwitchCardDriver = {"SM160", ZQsm160_InitWithOptions,
                                            ZQsm160_error_message};

// A switch card or ICT module record takes an opened device.
template <typename Record> void TakeDevice(Record& record, const DeviceRecord& device) {
    record.inUse = 1;
    record.handle = device.handle;
    record.session = device.session;
    CopyText(record.key, device.key);
    CopyText(record.name, device.name);
    CopyText(record.type, device.type);
    CopyText(record.resourceDesc, device.resourceDesc);
    CopyText(record.driverOption, device.driverOption);
}

} // namespace

// Initialises the driver of a device whose session was just opened (an open session keeps its
// handle), then registers the handle with the session and unlocks the device.
bool SetupRun::InitManagedDriver(int32_t opened, const ModuleDriver& driver, const char* keyBase,
                                 const char* types, int32_t& resource, DeviceRecord& device) {
    ViStatus status = VI_SUCCESS;
    if (opened == kOpenNewSession) {
        ViSession handle = 0;
        status = driver.init(device.resourceDesc, VI_TRUE, VI_TRUE, device.driverOption, &handle);
        device.handle = status < 0 ? -1 : static_cast<int32_t>(handle);
        // Logged once the driver answered, so that a failed init shows its code on the line.
        LogLineEc(status, "      Open %s driver", device.name);
    } else {
        LogLine("      %s Driver is open", device.name);
    }
    if (status < 0) {
        char message[VI_ERROR_MESSAGE_SIZE] = {};
        driver.errorMessage(VI_NULL, status, message);
        error_.Set(static_cast<uint32_t>(status), message);
        OpenManagedDevice(-1, section_, keyBase, types, &resource, device, error_);
        return false;
    }
    return OpenManagedDevice(-1, section_, keyBase, types, &resource, device, error_) !=
           kOpenFailed;
}

bool SetupRun::OpenIctModules(BenchRecord& bench, int32_t resource) {
    for (int32_t n = 1; n < kSwitchCards; ++n) {
        DeviceRecord device;
        ResetDeviceRecord(device);
        const int32_t opened =
            OpenBenchDevice(bench, n, kKeyIct, kIctModuleTypes, resource, device);
        if (opened == kOpenFailed) {
            if (error_.code == kErrFunction) {
                error_.Clear();
                return true;
            }
            return false;
        }
        if (opened == kOpenPassedOver) {
            continue;
        }
        const int slot = MatchKeyword(device.type, kIctModuleTypes) - 1;
        IctModuleRecord& module = bench.ictModules[slot];
        if (module.inUse) {
            OpenManagedDevice(-1, section_, kKeyIct, kIctModuleTypes, &resource, device, error_);
            error_.SetF(kErrResource, kTwoIctDevices, module.name, device.name, device.type);
            return false;
        }
        if (!InitManagedDriver(opened, kIctDrivers[slot], kKeyIct, kIctModuleTypes, resource,
                               device)) {
            return false;
        }
        TakeDevice(module, device);
        ++bench.ictModuleCount;
        Success(bench);
    }
    return true;
}

bool SetupRun::OpenSwitchCards(BenchRecord& bench, int32_t resource) {
    for (int32_t n = 1; n < kSwitchCards && bench.switchCardCount < kSwitchCards; ++n) {
        DeviceRecord device;
        ResetDeviceRecord(device);
        const int32_t opened = OpenBenchDevice(bench, n, kKeySwitch, "SM160", resource, device);
        if (opened == kOpenFailed) {
            if (error_.code == kErrFunction) {
                error_.Clear();
                break;
            }
            return false;
        }
        if (opened == kOpenPassedOver) {
            continue;
        }
        if (!InitManagedDriver(opened, kSwitchCardDriver, kKeySwitch, "SM160", resource, device)) {
            return false;
        }
        TakeDevice(bench.switchCards[bench.switchCardCount++], device);
        Success(bench);
    }
    return AttachMatrixChannels(&bench, error_);
}

bool SetupRun::SetupIct(BenchRecord& bench) {
    char value[64];
    bench.ict.dischargeToGround = ReadConfigKey(kSoftwareConfigFile, section_, kKeyDischargeGnd,
                                                value, sizeof value, error_) &&
                                  std::strcmp(value, "1") == 0;
    if (error_.failed()) {
        return false;
    }
    if (!ReadConfigKey(kSoftwareConfigFile, section_, kKeySetupIctx, value, sizeof value, error_) ||
        std::strcmp(value, "1") != 0) {
        return !error_.failed();
    }
    LogLine("   ICTX_Setup enabled (KORAsetupICTX=1)");
    LogLine("   ICTX_Setup");
    DeviceRecord scratch;
    ResetDeviceRecord(scratch);
    int32_t resource = 0;
    if (OpenManagedDevice(0, section_, kKeyIct, kIctModuleTypes, &resource, scratch, error_) ==
            kOpenFailed ||
        !OpenIctModules(bench, resource) || !OpenSwitchCards(bench, resource)) {
        return false;
    }
    char text[256];
    FormatText(text, sizeof text, "%s: SM160(%li)", bench.name,
               static_cast<long>(bench.switchCardCount));
    for (const IctModuleRecord& module : bench.ictModules) {
        if (module.inUse) {
            AppendText(text, sizeof text, ",");
            AppendText(text, sizeof text, module.type);
        }
    }
    char comment[128];
    FormatText(comment, sizeof comment, "%li MATRIX Channels (%li Aliases)",
               static_cast<long>(bench.matrixChannelCount), static_cast<long>(bench.aliasCount));
    SubText("ICTX", text, comment);
    char channel[128];
    for (int i = 0; i < kCompensationCount; ++i) {
        FormatText(channel, sizeof channel, i < kCmuD0 ? "%s: COMPENSATION" : "%s: CMU.DELAY",
                   bench.name);
        char name[16];
        FormatText(name, sizeof name, "  %s", kCompensations[i].key);
        SubReal(name, bench.compensation[i], channel, kCompensations[i].word);
    }
    return true;
}

} // namespace kora::setup
