// The run of SETUP_KORA, shared by the files that open the bench's devices: the step data record,
// the configuration keys and texts, and the run object that counts what came up.
#pragma once

#include "bench/bench.h"
#include "frame/errors.h"
#include "frame/step_frame.h"

#include <platform_types.h>
#include <rvoapi.h>

#include <cstdint>

namespace kora::setup {

// The driver of a resource-managed module: its init with options and its error texts.
struct ModuleDriver {
    const char* type;
    ViStatus (*init)(ViRsrc, ViBoolean, ViBoolean, ViConstString, ViSession*);
    ViStatus (*errorMessage)(ViSession, ViStatus, ViChar*);
};

inline constexpr const char* kMethod = "SETUP_KORA";
inline constexpr long kPathSize = 256;
inline constexpr int32_t kLibraryVersion[3] = {2, 5, 0};

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

inline constexpr const char* kKeyChannelTable = "AppChannelTable";
inline constexpr const char* kKeyPanelId = "SYSTEM_PANEL_ID";
inline constexpr const char* kKeyDebugRoute = "KORAdebugROUTE";
inline constexpr const char* kKeySetupRoute = "KORAsetupROUTE";
inline constexpr const char* kKeySetupIctx = "KORAsetupICTX";
inline constexpr const char* kKeyDischargeGnd = "KORAdischargeGND";
inline constexpr const char* kKeyAdio = "ADIODevice";
inline constexpr const char* kKeyIct = "ICTDevice";
inline constexpr const char* kKeySwitch = "SwitchDevice";
inline constexpr const char* kKeyVacuum = "VacuumDevice";
inline constexpr const char* kKeyPneumatic = "PneumaticDevice";
inline constexpr const char* kKeySetupCall = "SetupCall";
inline constexpr const char* kKeyDriverDll = "DriverDll";
inline constexpr const char* kIctxSection = "ICTX";

inline constexpr const char* kIctModuleTypes = "PSAM,PICT,PSU";
inline constexpr const char* kSwitchTypes =
    "SM160,PSAM,PSU,PFG,PAM,PIO2,PMB,PSM1,PSM2,PSM3,PSM4,PSM5";
inline constexpr const char* kVacuumCards = "VPC,VCC";
inline constexpr const char* kPneumaticCards = "VPC,ACC";

inline constexpr const char* kAllocFailed = "Allocate BENCH resource";
inline constexpr const char* kTooManyBenches =
    "BenchCount %li exceeds the %li benches set up before on this thread (run CLEANUP_KORA first)";
inline constexpr const char* kKeyNotFound = "BENCH: %s, KEY %s not found";
inline constexpr const char* kTwoIctDevices =
    "Bench contains ICTDevice entry for '%s' and '%s'.\nPlease make sure that only one device of "
    "type '%s' has an ICTDevice entry.";
inline constexpr const char* kInvalidSwitchType = "%s: Type '%s' is not supported as switch device";
inline constexpr const char* kFileSuffix = "\n\nFile: \"%s\"";

struct Compensation {
    const char* key;
    double fallback;
    const char* word;
};
inline constexpr Compensation kCompensations[kCompensationCount] = {
    {"SYSR0", 0.0, "RESISTANCE"},       {"SYSC0", 0.0, "CAPACITANCE"},
    {"SYSL0", 0.0, "INDUCTANCE"},       {"CMUD0", 6.5e-06, "PHASE.400HZ"},
    {"CMUD1", 6.5e-06, "PHASE.4KHZ"},   {"CMUD2", 6.5e-06, "PHASE.40KHZ"},
    {"CMUD3", 8.5e-06, "PHASE.100KHZ"},
};

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
    using BenchSetupFn = int32_t (*)(long, const char*, int32_t*, int32_t*, int32_t*, char*);
    using VersionFn = int32_t (*)(long, char*, int32_t*, int32_t*, char*);
    bool SetupBenchLibrary(BenchRecord& bench, const char* label, BenchSetupFn setup,
                           VersionFn libVersion, DeviceRecord& slot, int32_t passedOver);
    bool SetupInstruments(BenchRecord& bench);
    bool SetupAdio(BenchRecord& bench);
    bool SetupUrm(BenchRecord& bench);
    bool SetupIct(BenchRecord& bench);
    int32_t OpenBenchDevice(BenchRecord& bench, int32_t number, const char* keyBase,
                            const char* types, int32_t& resource, DeviceRecord& device);
    bool OpenIctModules(BenchRecord& bench, int32_t resource);
    bool OpenSwitchCards(BenchRecord& bench, int32_t resource);
    bool InitManagedDriver(int32_t opened, const ModuleDriver& driver, const char* keyBase,
                           const char* types, int32_t& resource, DeviceRecord& device);
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

} // namespace kora::setup
