// SETUP_KORA: reads the station's configuration, builds the calling thread's benches and opens
// every driver of every bench, writing what it found to the log and as sub-results.
//
// Compile (phases 2 and 98) reads and checks the configuration: bench names and sections,
// channel tables, compensation values. Run (phases 1 and 2) opens the hardware under a
// process-wide lock, bench by bench, in a fixed order (setup_devices.cpp, setup_system.cpp).
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
#include "ictx/measure/pin_location.h"

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
namespace {

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
    ChannelTableChanged();
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

} // namespace

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
            active.station = rec_.station;
            ok = SystemCartridge();
        }
        if (ok) {
            RegisterIctSaveCallback();
            RegisterPinLocationCallback();
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

} // namespace kora::setup

using namespace kora;
using namespace kora::setup;

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
