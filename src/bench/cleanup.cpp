// CLEANUP_KORA: closes what SETUP_KORA opened, all of it or one group chosen by DevChanAttr
// (HOLM|<instrument group>, SYSTEM|<cartridge>, SERIAL|COM<n>), and on a full cleanup releases the
// station, the resource manager and the thread's benches.
#include "bench/bench_config.h"
#include "bench/bench_setup.h"
#include "bench/device.h"
#include "exports/export.h"
#include "frame/bench_context.h"
#include "frame/step_frame.h"
#include "frame/text.h"
#include "ictx/program/component_model.h"

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
#include <cstdlib>
#include <cstring>
#include <string>

#include <strings.h>

namespace kora {
namespace {

constexpr const char* kMethod = "CLEANUP_KORA";
constexpr const char* kGroups = "HOLM,SYSTEM,SERIAL";
constexpr const char* kInstrumentKeywords =
    "DMM,SIGANL,FUNCGEN,ADIO,ROUTE,DCPWR,ICT,ICTX,ICCHECK,DIOMGR,RESMGR";
constexpr const char* kCartridgeKeywords = "SSC,VPC,VCC,ACC,XMCIO";
constexpr const char* kPortKeywords =
    "COM1,COM2,COM3,COM4,COM5,COM6,COM7,COM8,COM9,COM10,COM11,COM12,COM13,COM14,COM15,COM16";
constexpr uint32_t kAll = 0xFFFF;

// Instrument mask bits.
constexpr uint32_t kBitDmm = 1, kBitSiganl = 2, kBitFuncgen = 4, kBitRoute = 8, kBitDcpwr = 16,
                   kBitIct = 32, kBitIccheck = 64, kBitDiomgr = 128, kBitAdio = 256, kBitIctx = 512,
                   kBitResmgr = 1024;
constexpr uint32_t kInstrumentBits[] = {kBitDmm,     kBitSiganl, kBitFuncgen, kBitAdio,
                                        kBitRoute,   kBitDcpwr,  kBitIct,     kBitIctx,
                                        kBitIccheck, kBitDiomgr, kBitResmgr};
// Cartridge mask bits: 1 SSC, 2 VPC, 4 VCC, 8 ACC, 16 XMCIO (keyword order).

constexpr const char* kSaveTitle = "SAVE ICTX PARAMETERS";
constexpr const char* kSaveHead =
    "There are modified but unsaved ICTX-PARAMETERS of following files:\n\n";
constexpr const char* kSaveQuestion = "\nDo you want to SAVE them?";
constexpr long kAlertSaveQuestion = 12;
constexpr long kAnswerSave = 11;

struct CleanupRecord {
    StepHead head;
    uint32_t instruments;
    uint32_t cartridges;
    uint32_t serialPorts;
    int32_t port; // COM number of SERIAL|COM<n>, 0 for all
};
static_assert(sizeof(CleanupRecord) == 512);

std::atomic<int32_t> g_cleanupLock{0};

class CleanupLock {
  public:
    CleanupLock() {
        while (g_cleanupLock.exchange(1) == 1) {
            Sleep(10);
        }
    }
    ~CleanupLock() { g_cleanupLock.store(0); }
    CleanupLock(const CleanupLock&) = delete;
    CleanupLock& operator=(const CleanupLock&) = delete;
};

void Compile(StepPass<CleanupRecord>& pass, const char* devChanAttr) {
    CleanupRecord& r = *pass.record;
    r.instruments = r.cartridges = r.serialPorts = 0;
    r.port = 0;
    r.head.component = rvo_GetCurrentComponent();
    if (!devChanAttr) {
        std::memset(&r.head.parts, 0, sizeof r.head.parts);
        r.instruments = r.cartridges = r.serialPorts = kAll;
    } else {
        if (const uint32_t code = SplitDevChanAttr(devChanAttr, &r.head.parts)) {
            pass.error.Set(code, devChanAttr);
            return;
        }
        const char* function = r.head.parts.function;
        switch (MatchKeyword(r.head.parts.device, kGroups)) {
        case 1: {
            r.instruments = kAll;
            const int k = MatchKeyword(function, kInstrumentKeywords);
            if (k > 0) {
                r.instruments = kInstrumentBits[k - 1];
            }
            break;
        }
        case 2: {
            r.cartridges = kAll;
            const int k = MatchKeyword(function, kCartridgeKeywords);
            if (k > 0) {
                r.cartridges = 1u << (k - 1);
            }
            break;
        }
        case 3: {
            r.serialPorts = kAll;
            // The port keywords match exactly, as every keyword list does: "com3" or "COM03"
            // name no port and leave every port selected.
            if (const int n = MatchKeyword(function, kPortKeywords); n > 0) {
                r.serialPorts = 1u << (n - 1);
                r.port = n;
            }
            break;
        }
        default:
            rvo_SetSTEPResult(-2);
            pass.error.Set(ParamError(6), devChanAttr);
            return;
        }
    }
    rvo_DefineAttrS("DevChanAttr", kMethod, OrEmpty(devChanAttr), 0, nullptr);
}

// One run of the cleanup over the thread's benches.
class CleanupRun {
  public:
    CleanupRun(const CleanupRecord& rec, StepError& error) : rec_(rec), error_(error) {}

    void Run(bool full);

  private:
    bool Wants(uint32_t bit) const { return (rec_.instruments & bit) != 0; }
    // A class library's status: on error sets the step error and shows the line's code.
    bool ClassLib(int32_t status, const char* message) {
        return !ClassLibFailed(status, message, error_);
    }
    bool CloseBenchInstruments(int32_t b);
    bool CloseIct(int32_t b);
    bool CloseManaged(BenchRecord& bench, int32_t resource, const char* name, const char* type,
                      int32_t handle, bool isCard);
    void AskToSave();
    void CloseSerialPorts();
    bool CloseCartridges();

    const CleanupRecord& rec_;
    StepError& error_;
};

// Clears the in-use mark of a slot in bench b and in the active bench when it copies bench b.
void MarkClosed(int32_t b, DeviceRecord* (*slotOf)(BenchRecord&)) {
    slotOf(*BenchByIndex(b))->inUse = 0;
    BenchRecord* active = BenchByIndex(0);
    if (active && active->index == b) {
        slotOf(*active)->inUse = 0;
    }
}

bool CleanupRun::CloseBenchInstruments(int32_t b) {
    BenchRecord& bench = *BenchByIndex(b);
    int32_t warning = 0, code = 0;
    char message[kMessageSize] = {};
    LogLine(" BENCH(%s)", bench.name);

    if (Wants(kBitDiomgr) && bench.diomgr.inUse) {
        LogLine("   DIOMGR_Cleanup");
        if (!ClassLib(DIOMGR_Cleanup(0, bench.diomgr.handle, &warning, &code, message), message)) {
            return false;
        }
        MarkClosed(b, [](BenchRecord& r) { return &r.diomgr; });
    }
    using CleanupFn = int32_t (*)(long, long, int32_t*, int32_t*, char*);
    auto closeSlots = [&](uint32_t bit, const char* label, DeviceRecord* slots,
                          DeviceRecord* activeSlots, int count, CleanupFn cleanup) {
        if (!Wants(bit)) {
            return true;
        }
        for (int n = 0; n < count; ++n) {
            DeviceRecord& d = slots[n];
            if (!d.inUse) {
                continue;
            }
            LogLine("   %s%li_Cleanup(%s)", label, static_cast<long>(n + 1), d.name);
            if (!ClassLib(cleanup(0, d.handle, &warning, &code, message), message)) {
                return false;
            }
            d.inUse = 0;
            if (activeSlots) {
                activeSlots[n].inUse = 0;
            }
        }
        return true;
    };
    BenchRecord* active = BenchByIndex(0);
    const bool activeCopies = active && active != &bench && active->index == b;
    auto activeOf = [&](DeviceRecord* slots) -> DeviceRecord* {
        return activeCopies ? reinterpret_cast<DeviceRecord*>(reinterpret_cast<char*>(active) +
                                                              (reinterpret_cast<char*>(slots) -
                                                               reinterpret_cast<char*>(&bench)))
                            : nullptr;
    };
    if (!closeSlots(kBitFuncgen, "FUNCGEN", bench.funcgen, activeOf(bench.funcgen), kFuncgenSlots,
                    FUNCGEN_Cleanup) ||
        !closeSlots(kBitSiganl, "SIGANL", bench.scope, activeOf(bench.scope), kScopeSlots,
                    SIGANL_Cleanup)) {
        return false;
    }
    if (Wants(kBitDcpwr) && bench.dcpwr.inUse) {
        LogLine("   DCPWR_Cleanup");
        if (!ClassLib(DCPWR_Cleanup(0, bench.dcpwr.handle, &warning, &code, message), message)) {
            return false;
        }
        MarkClosed(b, [](BenchRecord& r) { return &r.dcpwr; });
    }
    if (!closeSlots(kBitDmm, "DMM", bench.dmm, activeOf(bench.dmm), kDmmSlots, DMM_Cleanup)) {
        return false;
    }
    // Relay modules go with every cleanup, whatever the selection.
    for (int n = 0; n < kUrmSlots; ++n) {
        DeviceRecord& d = bench.urm[n];
        if (!d.inUse) {
            continue;
        }
        LogLine("   URM%li_Cleanup(%s)", static_cast<long>(n + 1), d.name);
        const ViStatus status = VX_Urm_Close(static_cast<ViSession>(d.handle));
        if (status < 0) {
            return error_.SetF(static_cast<uint32_t>(status), "VX_Urm_Close(%s): error 0x%lX",
                               d.name, static_cast<unsigned long>(static_cast<uint32_t>(status)));
        }
        d.inUse = 0;
        if (DeviceRecord* a = activeOf(bench.urm)) {
            a[n].inUse = 0;
        }
    }
    if (Wants(kBitAdio)) {
        int32_t resource = 0;
        char section[64];
        BenchSectionOf(bench.name, section, error_);
        for (int n = 0; n < kAdioSlots; ++n) {
            DeviceRecord& d = bench.adio[n];
            if (!d.inUse) {
                continue;
            }
            LogLine("   ADIO%li_Cleanup(%s)", static_cast<long>(n + 1), d.name);
            if (resource == 0) {
                RESMGR_Alloc_Resource(0, section, &resource, &warning, &code, message);
                if (!ClassLib(code, message)) {
                    return false;
                }
            }
            char device[128];
            FormatText(device, sizeof device, "device->%s", d.name);
            int32_t last = 0;
            RESMGR_Lock_Device(0, resource, device, 1000, &warning, &code, message);
            if (code >= 0) {
                RESMGR_Close_Session(0, resource, device, &last, &warning, &code, message);
                ForgetHeldSession(bench, device);
            }
            int32_t unlockWarning = 0, unlockCode = 0;
            char unlockMessage[kMessageSize] = {};
            RESMGR_Unlock_Device(0, resource, device, &unlockWarning, &unlockCode, unlockMessage);
            if (!ClassLib(code, message)) {
                return false;
            }
            if (!last) {
                LogLine("     _Cleanup_ADIO(%s): Other library will close driver", d.name);
            } else if (std::strcmp(d.type, "PIO2") == 0) {
                const ViStatus status = rspio2_close(static_cast<ViSession>(d.handle));
                if (status < 0) {
                    char text[VI_ERROR_MESSAGE_SIZE] = {};
                    rspio2_error_message(VI_NULL, status, text);
                    return error_.Set(static_cast<uint32_t>(status), text);
                }
            } else {
                LogLine("     _Cleanup_ADIO(%s): Close %s driver (Type=%s) not implemented", d.name,
                        d.name, d.type);
            }
            d.inUse = 0;
            if (DeviceRecord* a = activeOf(bench.adio)) {
                a[n].inUse = 0;
            }
        }
    }
    if (Wants(kBitRoute) && bench.routing.inUse) {
        LogLine("   ROUTE_Cleanup");
        if (!ClassLib(ROUTE_Cleanup(0, bench.routing.handle, &warning, &code, message), message)) {
            return false;
        }
        MarkClosed(b, [](BenchRecord& r) { return &r.routing; });
    }
    bench.station = nullptr;
    return true;
}

// Closes the session of a switch card or ICT module, and its driver with the last session.
bool CleanupRun::CloseManaged(BenchRecord& bench, int32_t resource, const char* name,
                              const char* type, int32_t handle, bool isCard) {
    int32_t warning = 0, code = 0, last = 0;
    char message[kMessageSize] = {}, device[128];
    FormatText(device, sizeof device, "device->%s", name);
    RESMGR_Lock_Device(0, resource, device, 1000, &warning, &code, message);
    if (code >= 0) {
        RESMGR_Close_Session(0, resource, device, &last, &warning, &code, message);
        ForgetHeldSession(bench, device);
    }
    int32_t unlockWarning = 0, unlockCode = 0;
    char unlockMessage[kMessageSize] = {};
    RESMGR_Unlock_Device(0, resource, device, &unlockWarning, &unlockCode, unlockMessage);
    if (!ClassLib(code, message)) {
        return false;
    }
    if (!last) {
        LogLine(isCard ? "      %s remains open" : "      %s driver remains open", name);
        return true;
    }
    struct Driver {
        const char* type;
        ViStatus (*close)(ViSession);
        ViStatus (*errorMessage)(ViSession, ViStatus, ViChar*);
    };
    static constexpr Driver kDrivers[] = {
        {"SM160", ZQsm160_close, ZQsm160_error_message},
        {"PSAM", rspsam_close, rspsam_error_message},
        {"PICT", rspict_close, rspict_error_message},
        {"PSU", rspsu_close, rspsu_error_message},
    };
    for (const Driver& driver : kDrivers) {
        if (std::strcmp(driver.type, type) != 0) {
            continue;
        }
        const ViStatus status = driver.close(static_cast<ViSession>(handle));
        if (status < 0) {
            LogLineEc(status, "      Close %s driver", name);
            char text[VI_ERROR_MESSAGE_SIZE] = {};
            driver.errorMessage(VI_NULL, status, text);
            return error_.Set(static_cast<uint32_t>(status), text);
        }
        LogLine("      Close %s driver", name);
        return true;
    }
    return true;
}

bool CleanupRun::CloseIct(int32_t b) {
    BenchRecord& bench = *BenchByIndex(b);
    LogLine("   ICTX_Cleanup(%s)", bench.name);
    if (!Wants(kBitIctx) || (bench.switchCardCount == 0 && bench.ictModuleCount == 0)) {
        return true;
    }
    int32_t warning = 0, code = 0, resource = 0;
    char message[kMessageSize] = {}, section[64];
    BenchSectionOf(bench.name, section, error_);
    RESMGR_Alloc_Resource(0, section, &resource, &warning, &code, message);
    if (!ClassLib(code, message)) {
        return false;
    }
    BenchRecord* active = BenchByIndex(0);
    const bool activeCopies = active && active != &bench && active->index == b;
    for (int i = 0; i < bench.switchCardCount; ++i) {
        SwitchCardRecord& card = bench.switchCards[i];
        if (!card.inUse) {
            continue;
        }
        if (!CloseManaged(bench, resource, card.name, "SM160", card.handle, true)) {
            return false;
        }
        card.inUse = 0;
        if (activeCopies) {
            active->switchCards[i].inUse = 0;
        }
    }
    for (int i = 0; i < kIctModules; ++i) {
        IctModuleRecord& module = bench.ictModules[i];
        if (!module.inUse) {
            continue;
        }
        if (!CloseManaged(bench, resource, module.name, module.type, module.handle, false)) {
            return false;
        }
        module.inUse = 0;
        if (activeCopies) {
            active->ictModules[i].inUse = 0;
        }
    }
    return true;
}

void CleanupRun::AskToSave() {
    std::string text;
    const int32_t count = BenchCount();
    for (int32_t b = 1; b < count; ++b) {
        const BenchRecord& bench = *BenchByIndex(b);
        if (bench.ictModified && bench.ictProgram) {
            text += bench.ictProgram->fileName;
            text += "\n\n";
        }
    }
    if (text.empty()) {
        return;
    }
    const std::string question = kSaveHead + text + kSaveQuestion;
    if (rvo_Alert(kSaveTitle, question.c_str(), kAlertSaveQuestion) != kAnswerSave) {
        return;
    }
    for (int32_t b = 1; b < count; ++b) {
        BenchRecord& bench = *BenchByIndex(b);
        if (bench.ictModified && bench.ictProgram) {
            StepError saveError;
            if (SaveIctParameters(bench, b, saveError)) {
                bench.ictModified = 0;
            } else {
                ReportStepError(0, kMethod, saveError.code, saveError.message);
            }
        }
    }
}

void CleanupRun::CloseSerialPorts() {
    BenchRecord& active = *BenchByIndex(0);
    for (int n = 0; n < kSerialPorts; ++n) {
        SerialPortRecord& port = active.serial[n];
        if ((rec_.serialPorts & (1u << n)) == 0 || !port.opened) {
            continue;
        }
        LogLine(" Close SERIAL[%li]", static_cast<long>(n + 1));
        CloseHandle(port.port);
        port.opened = 0;
        port.port = nullptr;
    }
}

bool CleanupRun::CloseCartridges() {
    struct Card {
        const char* name;
        uint32_t bit;
        CartridgeSlot slot;
    };
    static constexpr Card kCards[] = {
        {"VPC", 2, kCartridgeVpc},
        {"VCC", 4, kCartridgeVcc},
        {"ACC", 8, kCartridgeAcc},
        {"SSC", 1, kCartridgeSsc},
    };
    const int32_t count = BenchCount();
    for (const Card& card : kCards) {
        if ((rec_.cartridges & card.bit) == 0) {
            continue;
        }
        for (int32_t b = 0; b < count; ++b) {
            DeviceRecord& slot = BenchByIndex(b)->cartridge[card.slot];
            if (!slot.inUse) {
                continue;
            }
            const int32_t handle = slot.handle;
            LogLine(" %s_Cleanup", card.name);
            const UCM_STATUS status = UCM_Close(handle);
            if (status != UCM_OK) {
                return error_.Set(UcmErrorCode(status), UCM_StatusToMSG(status));
            }
            // The same card may be held by several benches and the active one.
            for (int32_t o = 0; o < count; ++o) {
                DeviceRecord& other = BenchByIndex(o)->cartridge[card.slot];
                if (other.inUse && other.handle == handle) {
                    other.inUse = 0;
                }
            }
        }
    }
    return true;
}

void CleanupRun::Run(bool full) {
    LogLine("KORA_Cleanup(BEGIN)\n");
    CleanupLock lock;
    LogLine(" LOCKED");
    const int32_t count = BenchCount();
    bool ok = true;
    for (int32_t b = 1; ok && b < count; ++b) {
        if (BenchByIndex(b)->inUse) {
            ok = CloseBenchInstruments(b);
        }
    }
    for (int32_t b = 1; ok && b < count; ++b) {
        if (BenchByIndex(b)->inUse) {
            ok = CloseIct(b);
        }
    }
    if (ok) {
        AskToSave();
        CloseSerialPorts();
        ok = CloseCartridges();
    }
    if (ok && full) {
        LogLine(" rvo_StationFree");
        BenchRecord* active = BenchByIndex(0);
        rvo_StationFree(active ? active->station : nullptr);
        if (active) {
            active->station = nullptr;
        }
        LogLine(" RESMGR_Cleanup");
        int32_t warning = 0, code = 0;
        char message[kMessageSize] = {};
        RESMGR_Cleanup(0, &warning, &code, message);
        if (ClassLib(code, message)) {
            LogLine(" FreeBenchMemory");
            FreeBenchContext();
        } else {
            ok = false;
        }
    }
    LogLine(" UNLOCK");
    if (ok) {
        LogLine("KORA_CLEANUP(END)");
    }
}

} // namespace
} // namespace kora

using namespace kora;

KORA_EXPORT EN_NEV_RESULT CLEANUP_KORA(long stepRef, const char* stepName, long lineCode,
                                       long stepArg, const char* comment, const char* DevChanAttr) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kMethod};
    return RunStandardPass<CleanupRecord>(
        call, kKindInstrument, true, [&](auto& pass) { Compile(pass, DevChanAttr); },
        [&](auto& pass) -> EN_NEV_RESULT {
            const CleanupRecord& r = *pass.record;
            if (r.instruments == 0 && r.cartridges == 0 && r.serialPorts == 0) {
                rvo_SetSTEPResult(-2);
                pass.error.Set(kErrFunction, kInvalidSetting);
                return -2;
            }
            const bool full = r.instruments == kAll && r.cartridges == kAll &&
                              r.serialPorts == kAll && r.head.parts.device[0] == 0;
            CleanupRun run(r, pass.error);
            run.Run(full);
            return pass.error.failed() ? -2 : 0;
        });
}
