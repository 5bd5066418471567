// SETUP_KORA: reads the station's configuration, builds the calling thread's benches and opens
// every driver of every bench, writing what it found to the log and as sub-results.
//
// Compile (phases 2 and 98) reads and checks the configuration: bench names and sections,
// channel tables, compensation values. Run (phases 1 and 2) opens the hardware under a
// process-wide lock, bench by bench, in a fixed order.
#include "bench/bench_config.h"
#include "bench/bench_setup.h"
#include "bench/channel_table.h"
#include "bench/device.h"
#include "bench/matrix_channels.h"
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

namespace kora {
namespace {

constexpr const char* kMethod = "SETUP_KORA";
constexpr long kPathSize = 256;
constexpr int32_t kLibraryVersion[3] = {2, 5, 0};

struct SetupRecord {
    void* component;
    void* station;
    void* logger;
    int32_t benchCount;
    char swConfig[kPathSize];
    char hwConfig[kPathSize];
    int32_t compiled; // 1 after a clean compile
    char reserved[8];
};
static_assert(sizeof(SetupRecord) == 552);

// ---- configuration keys and texts ---------------------------------------------------------------

constexpr const char* kKeyChannelTable = "AppChannelTable";
constexpr const char* kKeyPanelId = "SYSTEM_PANEL_ID";
constexpr const char* kKeyDebugRoute = "KORAdebugROUTE";
constexpr const char* kKeySetupRoute = "KORAsetupROUTE";
constexpr const char* kKeySetupIctx = "KORAsetupICTX";
constexpr const char* kKeyAdio = "ADIODevice";
constexpr const char* kKeyIct = "ICTDevice";
constexpr const char* kKeySwitch = "SwitchDevice";
constexpr const char* kKeyVacuum = "VacuumDevice";
constexpr const char* kKeyPneumatic = "PneumaticDevice";
constexpr const char* kKeySetupCall = "SetupCall";
constexpr const char* kKeyDriverDll = "DriverDll";
constexpr const char* kIctxSection = "ICTX";

constexpr const char* kIctModuleTypes = "PSAM,PICT,PSU";
constexpr const char* kSwitchTypes = "SM160,PSAM,PSU,PFG,PAM,PIO2,PMB,PSM1,PSM2,PSM3,PSM4,PSM5";
constexpr const char* kVacuumCards = "VPC,VCC";
constexpr const char* kPneumaticCards = "VPC,ACC";

constexpr const char* kAllocFailed = "Allocate BENCH resource";
constexpr const char* kTooManyBenches =
    "BenchCount %li exceeds the %li benches set up before on this thread (run CLEANUP_KORA first)";
constexpr const char* kKeyNotFound = "BENCH: %s, KEY %s not found";
constexpr const char* kTypeNotFound = "%s: 'Type' entry in physical layer file not found";
constexpr const char* kResourceNotFound =
    "%s: 'ResourceDesc' entry in physical layer file not found";
constexpr const char* kTwoIctDevices =
    "Bench contains ICTDevice entry for '%s' and '%s'.\nPlease make sure that only one device of "
    "type '%s' has an ICTDevice entry.";
constexpr const char* kInvalidSwitchType = "%s: Type '%s' is not supported as switch device";
constexpr const char* kFileSuffix = "\n\nFile: \"%s\"";

struct Compensation {
    const char* key;
    double fallback;
    const char* word;
};
constexpr Compensation kCompensations[kCompensationCount] = {
    {"SYSR0", 0.0, "RESISTANCE"},       {"SYSC0", 0.0, "CAPACITANCE"},
    {"SYSL0", 0.0, "INDUCTANCE"},       {"CMUD0", 6.5e-06, "PHASE.400HZ"},
    {"CMUD1", 6.5e-06, "PHASE.4KHZ"},   {"CMUD2", 6.5e-06, "PHASE.40KHZ"},
    {"CMUD3", 8.5e-06, "PHASE.100KHZ"},
};

// The process-wide set-up lock: one thread at a time opens drivers.
std::atomic<int32_t> g_setupLock{0};

class SpinLock {
  public:
    explicit SpinLock(std::atomic<int32_t>& flag) : flag_(flag) {
        while (flag_.exchange(1) == 1) {
            Sleep(10);
        }
    }
    ~SpinLock() { flag_.store(0); }
    SpinLock(const SpinLock&) = delete;
    SpinLock& operator=(const SpinLock&) = delete;

  private:
    std::atomic<int32_t>& flag_;
};

// ---- arguments and the bench array
// ---------------------------------------------------------------

// Takes the step's arguments into the record, declares them as attributes and reads them back,
// so that values the operator edited in the executive are the ones used.
void SetupStepArguments(SetupRecord& rec, long benchCount, const char* swConfig,
                        const char* hwConfig) {
    rec.component = rvo_GetCurrentComponent();
    rec.benchCount = static_cast<int32_t>(benchCount);
    rvo_ExpandEnvironmentVariable(OrEmpty(swConfig), rec.swConfig, kPathSize);
    rvo_ExpandEnvironmentVariable(OrEmpty(hwConfig), rec.hwConfig, kPathSize);
    rvo_DefineAttrI("BenchCount", kMethod, &rec.benchCount, 0, nullptr);
    rvo_DefineAttrS("SW-Config", kMethod, rec.swConfig, kPathSize, nullptr);
    rvo_DefineAttrS("HW-Config", kMethod, rec.hwConfig, kPathSize, nullptr);
    rvo_ReadAttrI(rec.component, &rec.benchCount);
    rvo_ReadAttrS(rec.component, rec.swConfig, kPathSize);
    rvo_ReadAttrS(rec.component, rec.hwConfig, kPathSize);
}

// Finds or allocates the thread's bench array for BenchCount benches.
bool ReserveBenches(SetupRecord& rec, StepError& error, bool* allocatedNow) {
    *allocatedNow = false;
    if (rec.benchCount < 1) {
        error.SetF(ParamError(7), "BenchCount %ld: at least one bench is needed",
                   static_cast<long>(rec.benchCount));
        return false;
    }
    if (BenchCount() > 0) {
        if (rec.benchCount + 1 > BenchCount()) {
            error.SetF(kErrResource, kTooManyBenches, static_cast<long>(rec.benchCount),
                       static_cast<long>(BenchCount() - 1));
            return false;
        }
        return true;
    }
    LogLine("ALLOC MEMORY: BENCHES=%li\n", static_cast<long>(rec.benchCount));
    if (!AllocBenchContext(rec.benchCount + 1)) {
        FreeBenchContext(); // a slot claimed without memory holds nothing
        return error.Set(kErrResource, kAllocFailed);
    }
    *allocatedNow = true;
    return true;
}

// ---- compile ----------------------------------------------------------------------------------

void ReadCompensation(BenchRecord& bench, StepError& error) {
    for (int i = 0; i < kCompensationCount; ++i) {
        char value[64];
        bench.compensation[i] = ReadConfigKey(kPhysicalLayerFile, kIctxSection,
                                              kCompensations[i].key, value, sizeof value, error)
                                    ? CLocaleAtof(value)
                                    : kCompensations[i].fallback;
    }
}

void CopyChannelsToActive(const BenchRecord& from, BenchRecord& active) {
    active.index = 1;
    CopyText(active.name, from.name);
    active.channelCount = from.channelCount;
    active.matrixChannelCount = from.matrixChannelCount;
    std::memcpy(active.channels, from.channels,
                sizeof(ChannelRecord) * static_cast<std::size_t>(from.channelCount));
    std::memcpy(active.channelList, from.channelList, sizeof active.channelList);
    active.channelListPtr = active.channelList;
}

bool Compile(SetupRecord& rec, const char* benchName, StepError& error) {
    LogLine("RESMGR_Setup(COMPILE_BEGIN)\n");
    LogLine("   HWCFG=%s", rec.hwConfig);
    LogLine("   SWCFG=%s", rec.swConfig);
    int32_t warning = 0, code = 0;
    char message[kMessageSize] = {};
    RESMGR_Setup(0, rec.hwConfig, rec.swConfig, &warning, &code, message);
    if (ClassLibFailed(code, message, error)) {
        return false;
    }
    for (int32_t b = 1; b <= rec.benchCount; ++b) {
        BenchRecord& bench = *BenchByIndex(b);
        // A component program loaded before survives a new set-up of its bench.
        ComponentModel* program = bench.ictProgram;
        const int32_t modified = bench.ictModified;
        ResetBenchRecord(bench);
        bench.ictProgram = program;
        bench.ictModified = modified;
        if (b == 1) {
            CopyText(bench.name, OrEmpty(benchName));
        } else {
            FormatText(bench.name, sizeof bench.name, "%s%ld", OrEmpty(benchName),
                       static_cast<long>(b));
        }
        bench.index = b;
        char section[64];
        BenchSectionOf(bench.name, section, error);
        if (error.failed() || !ReadAppChannelTable(&bench, section, error)) {
            char suffix[kPathSize + 16];
            FormatText(suffix, sizeof suffix, kFileSuffix, rec.swConfig);
            AppendText(error.message, sizeof error.message, suffix);
            return false;
        }
        LogLine("   BENCH(%s): %li Channels", section, static_cast<long>(bench.channelCount));
        ReadCompensation(bench, error);
        if (error.failed()) {
            return false;
        }
    }
    CopyChannelsToActive(*BenchByIndex(1), *BenchByIndex(0));
    LogLine("RESMGR_Setup(COMPILE_END)");
    return true;
}

// ---- run --------------------------------------------------------------------------------------

// One run of the set-up: the step's identity for the sub-results, the count of what came up,
// and the pass's error.
class SetupRun {
  public:
    SetupRun(const StepCall& call, SetupRecord& rec, StepError& error)
        : call_(call), rec_(rec), error_(error) {}

    EN_NEV_RESULT Run();

  private:
    // Sub-results: a text with a comment, an integer, a real.
    void SubText(const char* name, const char* text, const char* comment = "",
                 const char* channel = "") {
        rvo_VerifyS(++sub_, name, call_.lineCode, 0, text, nullptr, nullptr, RVO_VERDICT_EXECUTIVE,
                    0.0, channel, comment);
    }
    void SubInt(const char* name, long value) {
        rvo_VerifyI(++sub_, name, call_.lineCode, 0, 0, nullptr, value, nullptr, 0,
                    RVO_VERDICT_EXECUTIVE, 0.0, "", "");
    }
    void SubReal(const char* name, double value, const char* channel, const char* comment) {
        rvo_VerifyR(++sub_, name, call_.lineCode, 0, 0.0, nullptr, value, nullptr, 0.0,
                    RVO_VERDICT_EXECUTIVE, 0.0, channel, comment);
    }
    void Success(BenchRecord& bench) {
        bench.inUse = 1;
        ++successes_;
    }

    void Inventory();
    bool SetupBench(BenchRecord& bench);
    bool SetupRouting(BenchRecord& bench);
    bool SetupDcpwr(BenchRecord& bench);
    bool SetupDiomgr(BenchRecord& bench);
    bool SetupInstruments(BenchRecord& bench);
    bool SetupAdio(BenchRecord& bench);
    bool SetupUrm(BenchRecord& bench);
    bool SetupIct(BenchRecord& bench);
    bool OpenIctModules(BenchRecord& bench, int32_t resource);
    bool OpenSwitchCards(BenchRecord& bench, int32_t resource);
    bool SetupCartridges(BenchRecord& bench);
    bool CheckSwitchDevices();
    void SetupCalls();
    const char* SetupCallOutcome(const char* section, const char* value, int32_t resource);
    bool BenchUsesDevice(const char* deviceSection);
    bool SystemCartridge();

    // Reads a device key of the bench section ("Key" for n = 1, else "Key%li") and the device's
    // physical-layer entries into `device`. False when the key is missing (no error) or on error.
    bool ReadInstrumentDevice(int deviceClass, const char* keyBase, long n, DeviceRecord& device);

    const StepCall& call_;
    SetupRecord& rec_;
    StepError& error_;
    char section_[64] = {};
    long sub_ = 0;
    long successes_ = 0;
};

EN_NEV_RESULT SetupRun::Run() {
    LogLine("KORA_Setup(BEGIN)\n");
    EN_NEV_RESULT result = 0;
    {
        SpinLock lock(g_setupLock);
        LogLine(" LOCKED");
        const DWORD before = GetPriorityClass(GetCurrentProcess());
        SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
        LogLine(" PROCESS_PRIORITY_CLASS=0x%lx (0x%lx)", static_cast<unsigned long>(before),
                static_cast<unsigned long>(GetPriorityClass(GetCurrentProcess())));
        Inventory();
        bool ok = true;
        for (int32_t b = 1; ok && b <= rec_.benchCount; ++b) {
            ok = SetupBench(*BenchByIndex(b));
        }
        if (ok) {
            BenchRecord& active = *BenchByIndex(0);
            CopyBenchDevices(*BenchByIndex(1), active);
            ok = SystemCartridge();
        }
        if (ok) {
            RegisterIctSaveCallback();
        }
        LogLine(" UNLOCK");
        if (!ok) {
            return -2;
        }
    }
    LogLine("KORA_Setup(END)");
    char comment[32];
    FormatText(comment, sizeof comment, "KORA %d.%d.%d", kLibraryVersion[0], kLibraryVersion[1],
               kLibraryVersion[2]);
    result = static_cast<EN_NEV_RESULT>(rvo_VerifyI(0, call_.stepName, call_.lineCode, 0, 0,
                                                    "<=", successes_, nullptr, 0,
                                                    RVO_VERDICT_EXECUTIVE, 0.0, "", comment));
    return result;
}

void SetupRun::Inventory() {
    int32_t warning = 0, code = 0;
    char message[kMessageSize] = {}, version[CLASSLIB_VERSION_SIZE] = {};
    RESMGR_Lib_Version(0, version, &warning, &code, message);
    SubText("RESMGR", code < 0 ? message : version);
    rec_.station = rvo_StationCurrent();
    rec_.logger = rvo_LoggerCurrent();
    SubInt("  SYSTEM_STATION_ID", rec_.station ? rvo_StationID(rec_.station) : 0);
}

bool SetupRun::SetupBench(BenchRecord& bench) {
    BenchSectionOf(bench.name, section_, error_);
    LogLine(" BENCH(%s)", section_);
    bench.station = rec_.station;
    bench.logger = rec_.logger;
    char value[64];
    bench.panelId =
        ReadConfigKey(kSoftwareConfigFile, section_, kKeyPanelId, value, sizeof value, error_)
            ? static_cast<int32_t>(CLocaleAtol(value))
            : 0;
    SubInt("  SYSTEM_PANEL_ID", bench.panelId);
    bench.routeDisplay = 0;
    if (ReadConfigKey(kSoftwareConfigFile, section_, kKeyDebugRoute, value, sizeof value, error_) &&
        std::strcmp(value, "1") == 0) {
        bench.routeDisplay = 1;
        LogLine("   ROUTE Debugging enabled (KORAdebugROUTE=1)");
    }
    return !error_.failed() && SetupRouting(bench) && SetupDcpwr(bench) && SetupDiomgr(bench) &&
           SetupInstruments(bench) && SetupAdio(bench) && SetupUrm(bench) && SetupIct(bench) &&
           SetupCartridges(bench) && CheckSwitchDevices() && (SetupCalls(), true);
}

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

bool SetupRun::SetupDcpwr(BenchRecord& bench) {
    int32_t session = -1, warning = 0, code = 0;
    char message[kMessageSize] = {}, version[CLASSLIB_VERSION_SIZE] = {};
    const int32_t status = DCPWR_Setup(0, section_, &session, &warning, &code, message);
    LogLineEc(status, "   DCPWR_Setup");
    if (status >= 0) {
        bench.dcpwr.inUse = 1;
        bench.dcpwr.handle = session;
        Success(bench);
    } else if (status != DCPWR_ERR_NO_CHANNELS) {
        return !ClassLibFailed(status, message, error_);
    }
    DCPWR_Lib_Version(0, version, &warning, &code, message);
    SubText("DCPWR", section_, version);
    return true;
}

bool SetupRun::SetupDiomgr(BenchRecord& bench) {
    int32_t session = -1, warning = 0, code = 0;
    char message[kMessageSize] = {}, version[CLASSLIB_VERSION_SIZE] = {};
    const int32_t status = DIOMGR_Setup(0, section_, &session, &warning, &code, message);
    LogLineEc(status, "   DIOMGR_Setup");
    if (ClassLibFailed(status, message, error_)) {
        return false;
    }
    bench.diomgr.inUse = 1;
    bench.diomgr.handle = session;
    Success(bench);
    DIOMGR_Lib_Version(0, version, &warning, &code, message);
    SubText("DIOMGR", section_, version);
    return true;
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
    using VersionFn = int32_t (*)(long, char*, int32_t*, int32_t*, char*);
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

bool SetupRun::SetupAdio(BenchRecord& bench) {
    int32_t resource = 0;
    for (int32_t n = 1; n <= kAdioSlots; ++n) {
        DeviceRecord& device = bench.adio[n - 1];
        if (n == 1 && OpenManagedDevice(0, section_, kKeyAdio, "PIO2", &resource, device, error_) ==
                          kOpenFailed) {
            return false;
        }
        const int32_t opened =
            OpenManagedDevice(n, section_, kKeyAdio, "PIO2", &resource, device, error_);
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
        FormatText(text, sizeof text, "%s: %s, %s%s", bench.name, device.name, device.resourceDesc,
                   device.simulate ? ", SIMULATION" : "");
        SubText(name, text);
    }
    return true;
}

// The module drivers of the ICT modules, by module type.
struct IctDriver {
    const char* type;
    ViStatus (*init)(ViRsrc, ViBoolean, ViBoolean, ViConstString, ViSession*);
    ViStatus (*errorMessage)(ViSession, ViStatus, ViChar*);
};
constexpr IctDriver kIctDrivers[kIctModules] = {
    {"PSAM", rspsam_InitWithOptions, rspsam_error_message},
    {"PICT", rspict_InitWithOptions, rspict_error_message},
    {"PSU", rspsu_InitWithOptions, rspsu_error_message},
};

bool SetupRun::OpenIctModules(BenchRecord& bench, int32_t resource) {
    for (int32_t n = 1; n < kSwitchCards; ++n) {
        DeviceRecord device;
        ResetDeviceRecord(device);
        const int32_t opened =
            OpenManagedDevice(n, section_, kKeyIct, kIctModuleTypes, &resource, device, error_);
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
        ViStatus status = VI_SUCCESS;
        if (opened == kOpenNewSession) {
            LogLine("      Open %s driver", device.name);
            ViSession handle = 0;
            status = kIctDrivers[slot].init(device.resourceDesc, VI_TRUE, VI_TRUE,
                                            device.driverOption, &handle);
            device.handle = status < 0 ? -1 : static_cast<int32_t>(handle);
        } else {
            LogLine("      %s Driver is open", device.name);
        }
        if (status < 0) {
            char message[VI_ERROR_MESSAGE_SIZE] = {};
            kIctDrivers[slot].errorMessage(VI_NULL, status, message);
            error_.Set(static_cast<uint32_t>(status), message);
            OpenManagedDevice(-1, section_, kKeyIct, kIctModuleTypes, &resource, device, error_);
            return false;
        }
        if (OpenManagedDevice(-1, section_, kKeyIct, kIctModuleTypes, &resource, device, error_) ==
            kOpenFailed) {
            return false;
        }
        module.inUse = 1;
        module.handle = device.handle;
        module.session = device.session;
        CopyText(module.key, device.key);
        CopyText(module.name, device.name);
        CopyText(module.type, device.type);
        CopyText(module.resourceDesc, device.resourceDesc);
        CopyText(module.driverOption, device.driverOption);
        ++bench.ictModuleCount;
        Success(bench);
    }
    return true;
}

bool SetupRun::OpenSwitchCards(BenchRecord& bench, int32_t resource) {
    for (int32_t n = 1; n < kSwitchCards && bench.switchCardCount < kSwitchCards; ++n) {
        DeviceRecord device;
        ResetDeviceRecord(device);
        const int32_t opened =
            OpenManagedDevice(n, section_, kKeySwitch, "SM160", &resource, device, error_);
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
        ViStatus status = VI_SUCCESS;
        if (opened == kOpenNewSession) {
            LogLine("      Open %s driver", device.name);
            ViSession handle = 0;
            status = ZQsm160_InitWithOptions(device.resourceDesc, VI_TRUE, VI_TRUE,
                                             device.driverOption, &handle);
            device.handle = status < 0 ? -1 : static_cast<int32_t>(handle);
        } else {
            LogLine("      %s Driver is open", device.name);
        }
        if (status < 0) {
            char message[VI_ERROR_MESSAGE_SIZE] = {};
            ZQsm160_error_message(VI_NULL, status, message);
            error_.Set(static_cast<uint32_t>(status), message);
            OpenManagedDevice(-1, section_, kKeySwitch, "SM160", &resource, device, error_);
            return false;
        }
        if (OpenManagedDevice(-1, section_, kKeySwitch, "SM160", &resource, device, error_) ==
            kOpenFailed) {
            return false;
        }
        SwitchCardRecord& card = bench.switchCards[bench.switchCardCount++];
        card.inUse = 1;
        card.handle = device.handle;
        card.session = device.session;
        CopyText(card.key, device.key);
        CopyText(card.name, device.name);
        CopyText(card.type, device.type);
        CopyText(card.resourceDesc, device.resourceDesc);
        CopyText(card.driverOption, device.driverOption);
        Success(bench);
    }
    return AttachMatrixChannels(&bench, error_);
}

bool SetupRun::SetupIct(BenchRecord& bench) {
    char value[64];
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

} // namespace
} // namespace kora

using namespace kora;

KORA_EXPORT EN_NEV_RESULT SETUP_KORA(long stepRef, const char* stepName, long lineCode,
                                     long stepArg, const char* comment, const char* BenchName,
                                     long BenchCount, const char* SW_Config,
                                     const char* HW_Config) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kMethod};
    for (;;) {
        EN_NEV_RESULT result = 0;
        StepError error;
        void* data = nullptr;
        const long phase =
            _EnterStep_KORA(kKindNone, lineCode, stepRef, stepName, stepArg, comment, kMethod,
                            nullptr, sizeof(SetupRecord), &data, &error.code, error.message);
        auto* rec = static_cast<SetupRecord*>(data);
        const bool compilePhase = phase == RVO_PHASE_COMPILE || phase == RVO_PHASE_COMPILE_RUN;
        const bool runPhase = phase == RVO_PHASE_RUN || phase == RVO_PHASE_COMPILE_RUN;
        if ((compilePhase || runPhase) && !rec) {
            error.Set(kErrMemory, kMethod);
        }
        if ((compilePhase || runPhase) && rec) {
            SetupStepArguments(*rec, BenchCount, SW_Config, HW_Config);
            bool allocatedNow = false;
            if (!ReserveBenches(*rec, error, &allocatedNow)) {
                rvo_SetSTEPResult(-2);
            } else if (compilePhase || (allocatedNow && phase == RVO_PHASE_RUN) || !rec->compiled) {
                rec->compiled = Compile(*rec, BenchName, error) ? 1 : 0;
            }
            if (runPhase && !error.failed()) {
                SetupRun run(call, *rec, error);
                result = run.Run();
            }
        }
        if (error.failed()) {
            ReportStepError(lineCode, kMethod, error.code, error.message);
            result = -2;
        }
        if (rvo_ExitSTEP() != RVO_EXIT_AGAIN) {
            return result;
        }
    }
}
