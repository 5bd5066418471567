#include "ictx/measure/ict_hardware.h"

#include "bench/channel_table.h"
#include "frame/bench_context.h"
#include "frame/text.h"
#include "ictx/measure/unit_control.h"
#include "routing/routing.h"

#include <dcpwr.h>
#include <dmm.h>
#include <rspict.h>
#include <rspio2.h>
#include <rspsam.h>
#include <rspsu.h>
#include <rvoapi.h>
#include <zqsm160.h>

#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kora {

namespace {

constexpr const char* kBusChannelNames[kBusLines] = {"LABA1", "LABA2", "LABB1", "LABB2",
                                                     "LABC1", "LABC2", "LABD1", "LABD2"};
constexpr const char* kNoPinName = "No pin name defined";
constexpr const char* kPinNotFound = "'%s' not in channel table found";

// Attributes of the matrix and source modules that the ICT state switches.
constexpr ViAttr kMatrixIctAttribute = 1150002;
constexpr int32_t kCouplingAll = 255;
constexpr int32_t kDebounceMs = 1000;
constexpr long kUnitSeconds = 16;

// Error heads of the modules, in the order in which the set-up examines them.
constexpr const char* kHeadSm160 = "SM160 ERROR: 0x%lX\n - ";
constexpr const char* kHeadPsam = "PSAM ERROR: 0x%lX\n - ";
constexpr const char* kHeadPict = "PICT ERROR: 0x%lX\n - ";
constexpr const char* kHeadPsu =
    "PSU ERROR: 0x%lX\nPlease ensure that the PAC module is connected and switched on!\n - ";
constexpr const char* kHeadPio2 = "PIO2 ERROR: 0x%lX\n - ";

// Sub-result names and texts of set-up and clean-up.
constexpr const char* kDisconnect = "DISCONNECT";
constexpr const char* kDiscAll = "DISC ALL";
constexpr const char* kOpenCr = "OPEN CR";
constexpr const char* kConfig = "CONFIG";
constexpr const char* kReset = "RESET";
constexpr const char* kRouteText = "ROUTE";
constexpr const char* kObsolete = "OBSOLETE";
constexpr const char* kHolm = "HOLM";
constexpr const char* kSetupTotal = "ICTX SETUP";
constexpr const char* kCleanupTotal = "ICTX CLEANUP";
constexpr const char* kRouteDisconnect = "%";
constexpr const char* kRouteDisconnectAll = "%,||";
constexpr const char* kPsuChannelFormat = "%s!CH1";

using MessageFunction = ViStatus (*)(ViSession, ViStatus, ViChar*);

// "<head><driver message>" into the caller's error text; returns the code as the library's.
uint32_t DriverError(char* error, const char* head, MessageFunction message, ViSession vi,
                     ViStatus status) {
    char text[VI_ERROR_MESSAGE_SIZE] = {};
    if (message) {
        message(vi, status, text);
    }
    const std::size_t n = FormatText(error, kMessageSize, head,
                                     static_cast<unsigned long>(static_cast<uint32_t>(status)));
    CopyText(error + n, kMessageSize - n, text);
    return static_cast<uint32_t>(status);
}

// Timing sub-results of set-up and clean-up: each action reports the time since it began.
class ActionTimer {
  public:
    ActionTimer(long firstResult, long reportLevel)
        : next_(firstResult), level_(reportLevel), start_(rvo_TSTAMP()), action_(start_) {}

    void Begin() { action_ = rvo_TSTAMP(); }
    void Report(const char* name, const char* channel, const char* comment) {
        Record(name, channel, comment, rvo_TSTAMP() - action_);
        action_ = rvo_TSTAMP();
    }
    void ReportTotal(const char* name, const char* channel) { Record(name, channel, "", Total()); }
    double Total() const { return rvo_TSTAMP() - start_; }

  private:
    void Record(const char* name, const char* channel, const char* comment, double seconds) {
        if (level_ > 0) {
            rvo_VerifyR(next_++, name, 0, kUnitSeconds, 0.0, "", seconds, "", 0.0, 0, 0.0, channel,
                        comment);
        }
    }

    long next_;
    long level_;
    double start_;
    double action_;
};

bool RoutingFailed(const BenchRecord& bench, const char* command, char* error, uint32_t* code) {
    int32_t status = 0, errorCode = 0;
    char message[kMessageSize] = {};
    RouteExecute(&bench, command, &status, &errorCode, message);
    if (errorCode < 0) {
        CopyText(error, kMessageSize, message);
        *code = static_cast<uint32_t>(errorCode);
        return true;
    }
    return false;
}

// The ICT-related devices of a bench, opened from the analog bus as the set-up starts: matrix
// cards, the PSAM, the PSU and the ADIO modules.
uint32_t OpenBenchDevices(const BenchRecord& bench, ActionTimer& timer, char* error) {
    for (const SwitchCardRecord& card : bench.switchCards) {
        if (!card.inUse) {
            continue;
        }
        timer.Begin();
        if (ViStatus s = ZQsm160_hscDisconnectAll(card.handle); s < 0) {
            return DriverError(error, kHeadSm160, ZQsm160_error_message, card.handle, s);
        }
        timer.Report(kDiscAll, card.name, "");
    }
    const IctModuleRecord& psam = bench.ictModules[kIctPsam];
    if (psam.inUse) {
        timer.Begin();
        if (ViStatus s = rspsam_ConfigureCoupling(psam.handle, 0); s < 0) {
            return DriverError(error, kHeadPsam, rspsam_error_message, psam.handle, s);
        }
        timer.Report(kOpenCr, psam.name, "");
    }
    const IctModuleRecord& psu = bench.ictModules[kIctPsu];
    if (psu.inUse) {
        timer.Begin();
        if (ViStatus s = rspsu_ConfigureCoupling(psu.handle, 0); s < 0) {
            return DriverError(error, kHeadPsu, rspsu_error_message, psu.handle, s);
        }
        timer.Report(kOpenCr, psu.name, "");
    }
    struct Kind {
        const DeviceRecord* slots;
        int count;
        int32_t driverKind;
        ViStatus (*couple)(ViSession, ViInt32);
        MessageFunction message;
        const char* head;
    };
    // Function generators and signal analyzers are reached through their class libraries,
    // whose handles are not the module drivers' sessions: only the ADIO modules are opened here.
    const Kind kinds[] = {
        {bench.adio, kAdioSlots, kDriverPio2, rspio2_ConfigureCoupling, rspio2_error_message,
         kHeadPio2},
    };
    for (const Kind& kind : kinds) {
        for (int i = 0; i < kind.count; ++i) {
            const DeviceRecord& d = kind.slots[i];
            if (!d.inUse || d.driverKind != kind.driverKind || d.handle < 0) {
                continue;
            }
            timer.Begin();
            if (ViStatus s = kind.couple(d.handle, 0); s < 0) {
                return DriverError(error, kind.head, kind.message, d.handle, s);
            }
            timer.Report(kOpenCr, d.name, "");
        }
    }
    return 0;
}

// A test pin is a matrix channel that the set-up placed on a card.
bool IsTestPin(const ChannelRecord& c) {
    return c.kind == 1 && c.cardIndex >= 0;
}

// The test pins of a bench by name, as the walk through its table finds them: every component
// resolves its pins, and a walk per pin grows with the bench. Kept per thread (a bench belongs to
// the thread that set it up) for the benches last asked, until their table changes.
// Calls f(channel index, record, position among the test pins) for the bench's test pins in table
// order, until f returns true.
template <typename F> void WalkTestPins(const BenchRecord& bench, F f) {
    int32_t walked = 0;
    for (int32_t i = 0; i < bench.channelCount; ++i) {
        const ChannelRecord& c = bench.channels[i];
        if (IsTestPin(c) && f(i, c, ++walked)) {
            return;
        }
    }
}

class TestPinIndex {
  public:
    struct Entry {
        int32_t channel; // index in the bench's table
        int32_t walked;  // test pins up to and including it
    };

    static const TestPinIndex& Of(const BenchRecord& bench) {
        // A few benches at once: a run may ask the active bench and the line bench in turn.
        thread_local std::array<TestPinIndex, 4> kept;
        thread_local std::size_t next = 0;
        const uint32_t generation = ChannelTableGeneration(), epoch = BenchMemoryEpoch();
        TestPinIndex* index = nullptr;
        for (auto& k : kept) {
            if (k.bench_ == &bench) {
                index = &k;
            }
        }
        if (!index) {
            index = &kept[next];
            next = (next + 1) % kept.size();
            index->bench_ = nullptr;
        }
        if (index->bench_ != &bench || index->generation_ != generation || index->epoch_ != epoch ||
            index->count_ != bench.channelCount) {
            index->build(bench);
            index->bench_ = &bench;
            index->generation_ = generation;
            index->epoch_ = epoch;
        }
        return *index;
    }

    const Entry* find(std::string_view name) const {
        const auto it = byName_.find(name);
        return it == byName_.end() ? nullptr : &it->second;
    }

  private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const {
            return std::hash<std::string_view>{}(s);
        }
    };

    void build(const BenchRecord& bench) {
        byName_.clear();
        count_ = bench.channelCount;
        WalkTestPins(bench, [&](int32_t i, const ChannelRecord& c, int32_t walked) {
            const std::size_t len = strnlen(c.appName, sizeof c.appName);
            byName_.try_emplace(std::string(c.appName, len), Entry{i, walked});
            return false;
        });
    }

    const BenchRecord* bench_ = nullptr;
    uint32_t generation_ = 0, epoch_ = 0;
    int32_t count_ = -1;
    std::unordered_map<std::string, Entry, Hash, std::equal_to<>> byName_;
};

} // namespace

ViStatus FetchBusChannelIds(BusChannelIds& ids) {
    for (int i = 0; i < kBusLines; ++i) {
        if (ViStatus s = ZQsm160_getChannelId(0, kBusChannelNames[i], &ids[i]); s < 0) {
            return s;
        }
    }
    return 0;
}

const ChannelRecord* ResolveTestPin(const BenchRecord& bench, const char* name, int32_t* count,
                                    char* error) {
    *count = 0;
    if (!name || !*name) {
        CopyText(error, kMessageSize, kNoPinName);
        return nullptr;
    }
    if (const TestPinIndex::Entry* e = TestPinIndex::Of(bench).find(name)) {
        const ChannelRecord& c = bench.channels[e->channel];
        if (IsTestPin(c) && std::strcmp(c.appName, name) == 0) {
            *count = e->walked;
            return &c;
        }
    }
    const ChannelRecord* found = nullptr;
    WalkTestPins(bench, [&](int32_t, const ChannelRecord& c, int32_t walked) {
        if (std::strcmp(c.appName, name) != 0) {
            return false;
        }
        *count = walked;
        found = &c;
        return true;
    });
    if (!found) {
        FormatText(error, kMessageSize, kPinNotFound, name);
    }
    return found;
}

ViStatus ConnectTestPin(ViSession module, int32_t busChannelId, int32_t pinChannelId) {
    return ZQsm160_quickConnect(module, 1, busChannelId, pinChannelId);
}

BusLine BusLineOf(PinRole role, const ChannelRecord& pin, bool sixWire, BusLine forceLine) {
    const int odd = pin.pinIndex & 1;
    switch (role) {
    case PinRole::Hi:
        return static_cast<BusLine>(kLabA1 + odd);
    case PinRole::Lo:
        return static_cast<BusLine>(kLabB1 + odd);
    case PinRole::SenseHi:
        return sixWire ? static_cast<BusLine>(forceLine == kLabA1 ? kLabA2 : kLabA1)
                       : static_cast<BusLine>(kLabC1 + odd);
    case PinRole::SenseLo:
        return sixWire ? static_cast<BusLine>(forceLine == kLabB1 ? kLabB2 : kLabB1)
                       : static_cast<BusLine>(kLabD1 + odd);
    case PinRole::Guard:
        return static_cast<BusLine>(kLabC1 + odd);
    case PinRole::GuardSense:
        return static_cast<BusLine>(kLabD1 + odd);
    }
    return kLabA1;
}

bool ReportModuleErrors(const BenchRecord& bench, const ModuleErrors& errors, StepError& error) {
    if (error.failed()) {
        return true;
    }
    struct Source {
        ViStatus status;
        ViSession handle;
        MessageFunction message;
        const char* prefix;
    };
    const ViSession sm160 = bench.switchCards[0].inUse ? bench.switchCards[0].handle : 0;
    const Source sources[] = {
        {errors.psam, bench.ictModules[kIctPsam].handle, rspsam_error_message, "PSAM: %s"},
        {errors.pict, bench.ictModules[kIctPict].handle, rspict_error_message, "PICT: %s"},
        {errors.sm160, sm160, ZQsm160_error_message, "SM160: %s"},
        {errors.psu, bench.ictModules[kIctPsu].handle, rspsu_error_message, "PSU: %s"},
    };
    for (const Source& s : sources) {
        if (s.status != 0) {
            char text[VI_ERROR_MESSAGE_SIZE] = {};
            s.message(s.handle, s.status, text);
            error.SetF(static_cast<uint32_t>(s.status), s.prefix, text);
            return true;
        }
    }
    return false;
}

bool PinConnector::Connect(const ChannelRecord& pin, BusLine line, ModuleErrors& errors) {
    const SwitchCardRecord& card = bench_.switchCards[pin.cardIndex & 31];
    NoteModule(pin);
    lastCard_ = pin.cardIndex;
    if (ViStatus s = ConnectTestPin(card.handle, bus_[line], pin.channelId); s != 0) {
        errors.sm160 = s;
        return false;
    }
    return true;
}

bool PinConnector::Settle(bool guarded, ModuleErrors& errors) {
    if (lastCard_ >= 0) {
        if (ViStatus s =
                ZQsm160_WaitForDebounce(bench_.switchCards[lastCard_ & 31].handle, kDebounceMs);
            s != 0) {
            errors.sm160 = s;
            return false;
        }
    }
    if (guarded && bench_.ictModules[kIctPict].inUse) {
        if (ViStatus s = rspict_WaitForSettling(bench_.ictModules[kIctPict].handle); s != 0) {
            errors.pict = s;
            return false;
        }
    }
    return true;
}

void PinConnector::Disconnect(ModuleErrors& errors) {
    for (int n = 0; n < 32; ++n) {
        if (!(used_ & (1u << n))) {
            continue;
        }
        ViStatus s = ZQsm160_hscDisconnectAll(bench_.switchCards[n].handle);
        if (s != 0 && errors.sm160 == 0) {
            errors.sm160 = s;
        }
    }
    used_ = 0;
}

uint32_t IctSetup(long firstResult, BenchRecord& bench, long routeMode, long reportLevel,
                  double* elapsed, char* error) {
    error[0] = 0;
    ActionTimer timer(firstResult, reportLevel);
    IctHardware& ict = bench.ict;
    uint32_t code = 0;
    auto finish = [&](uint32_t result) {
        const double total = timer.Total();
        if (elapsed) {
            *elapsed = total;
        }
        if (result == 0) {
            timer.ReportTotal(kSetupTotal, bench.name);
        }
        return result;
    };

    // Routing: the bench's routes are opened before the matrix takes the bus.
    if (bench.routing.inUse && bench.routing.handle >= 0) {
        if (routeMode == 0) {
            if (RoutingFailed(bench, kRouteDisconnect, error, &code)) {
                return finish(code);
            }
            timer.Report(kDisconnect, kRouteText, kObsolete);
        } else {
            const std::string command = DisconnectAllCommand(&bench);
            if (RoutingFailed(bench, command.c_str(), error, &code)) {
                return finish(code);
            }
            timer.Report(kDiscAll, kRouteText, "");
        }
    }
    if ((code = OpenBenchDevices(bench, timer, error)) != 0) {
        return finish(code);
    }

    const IctModuleRecord& psam = bench.ictModules[kIctPsam];
    if (psam.inUse) {
        timer.Begin();
        ViStatus s = rspsam_ConfigureCoupling(psam.handle, kCouplingAll);
        if (s >= 0) {
            s = ConfigureDcs(ict.dcs, psam.handle, kResetUnit, 0, 0, 0, 0, 0, 0.0, 0.0, 0, kKeep);
        }
        if (s >= 0) {
            s = ConfigureMu(ict.mu, psam.handle, kResetUnit, kKeep, kKeep, -1.0, kKeep, kKeep, -1.0,
                            -1.0, kKeep);
        }
        if (s < 0) {
            return finish(DriverError(error, kHeadPsam, rspsam_error_message, psam.handle, s));
        }
        timer.Report(kConfig, psam.name, "");
    }
    for (double& offset : ict.currentOffsets) {
        offset = 0;
    }
    const IctModuleRecord& pict = bench.ictModules[kIctPict];
    if (pict.inUse) {
        timer.Begin();
        ViStatus s = ConfigureCmu(ict.cmu, pict.handle, kResetUnit, kKeep, kKeep, kKeep, kKeep,
                                  kKeep, -1.0, -1.0, kKeep, -1.0, -1.0, kKeep);
        if (s >= 0) {
            s = ConfigureAos(ict.aos, pict.handle, kResetUnit, 0.0, 0.0, 0.0, 0.0);
        }
        if (s < 0) {
            return finish(DriverError(error, kHeadPict, rspict_error_message, pict.handle, s));
        }
        timer.Report(kConfig, pict.name, "");
    }
    const IctModuleRecord& psu = bench.ictModules[kIctPsu];
    if (psu.inUse) {
        timer.Begin();
        ViStatus s = ConfigurePsu(ict.psu, psu.handle, kResetUnit, kKeep, kKeep, kKeepReal,
                                  kKeepReal, kKeep, kKeep, kKeepReal, kKeepReal);
        if (s < 0) {
            return finish(DriverError(error, kHeadPsu, rspsu_error_message, psu.handle, s));
        }
        timer.Report(kConfig, psu.name, "");
    }
    for (const SwitchCardRecord& card : bench.switchCards) {
        if (!card.inUse) {
            break;
        }
        timer.Begin();
        if (ViStatus s = ZQsm160_SetAttributeViBoolean(card.handle, "", kMatrixIctAttribute, 1);
            s < 0) {
            return finish(DriverError(error, kHeadSm160, ZQsm160_error_message, card.handle, s));
        }
        timer.Report(kConfig, card.name, "");
    }
    return finish(0);
}

uint32_t IctCleanup(long firstResult, BenchRecord& bench, bool disconnectRoutes, long reportLevel,
                    double* elapsed, char* error) {
    error[0] = 0;
    ActionTimer timer(firstResult, reportLevel);
    IctHardware& ict = bench.ict;
    uint32_t code = 0;
    auto run = [&]() -> uint32_t {
        if (disconnectRoutes && bench.routing.inUse && bench.routing.handle >= 0) {
            if (RoutingFailed(bench, kRouteDisconnectAll, error, &code)) {
                return code;
            }
            timer.Report(kDiscAll, kRouteText, kHolm);
        }
        const IctModuleRecord& psam = bench.ictModules[kIctPsam];
        if (psam.inUse) {
            // Meters on the PSAM share its measurement unit: they start again from reset.
            for (const DeviceRecord& dmm : bench.dmm) {
                if (!dmm.inUse || dmm.driverKind != kDriverPsam || dmm.handle < 0 ||
                    std::strcmp(dmm.resourceDesc, psam.resourceDesc) != 0) {
                    continue;
                }
                timer.Begin();
                int32_t warning = 0, status = 0;
                char message[CLASSLIB_MESSAGE_SIZE] = {};
                DMM_Reset(0, dmm.handle, &warning, &status, message);
                if (status < 0) {
                    CopyText(error, kMessageSize, message);
                    return static_cast<uint32_t>(status);
                }
                timer.Report(kReset, dmm.name, "DMM");
            }
        }
        const IctModuleRecord& pict = bench.ictModules[kIctPict];
        if (pict.inUse) {
            timer.Begin();
            if (ViStatus s = ConfigureCmu(ict.cmu, pict.handle, 6, 0, 0, 0, 0, 0, -1.0, -1.0, kKeep,
                                          -1.0, -1.0, kKeep);
                s < 0) {
                char text[VI_ERROR_MESSAGE_SIZE] = {};
                rspict_error_message(pict.handle, s, text);
                CopyText(error, kMessageSize, text);
                return static_cast<uint32_t>(s);
            }
            timer.Report(kDiscAll, pict.name, "");
        }
        const IctModuleRecord& psu = bench.ictModules[kIctPsu];
        if (psu.inUse && bench.dcpwr.inUse) {
            timer.Begin();
            char channel[128];
            FormatText(channel, sizeof channel, kPsuChannelFormat, psu.name);
            int32_t warning = 0, status = 0;
            char message[CLASSLIB_MESSAGE_SIZE] = {};
            ViSession module = 0;
            DCPWR_Instrument_Get_Handle(0, bench.dcpwr.handle, channel, &module, nullptr, &warning,
                                        &status, message);
            if (status >= 0) {
                DCPWR_Reset(0, bench.dcpwr.handle, channel, &warning, &status, message);
            }
            if (status < 0) {
                CopyText(error, kMessageSize, message);
                return static_cast<uint32_t>(status);
            }
            timer.Report(kReset, channel, "DCPWR");
        }
        for (const SwitchCardRecord& card : bench.switchCards) {
            if (!card.inUse) {
                break;
            }
            timer.Begin();
            ViStatus s = ZQsm160_hscDisconnectAll(card.handle);
            if (s >= 0) {
                s = ZQsm160_SetAttributeViBoolean(card.handle, "", kMatrixIctAttribute, 0);
            }
            if (s < 0) {
                char text[VI_ERROR_MESSAGE_SIZE] = {};
                ZQsm160_error_message(card.handle, s, text);
                CopyText(error, kMessageSize, text);
                return static_cast<uint32_t>(s);
            }
            timer.Report(kDiscAll, card.name, "");
        }
        return 0;
    };
    code = run();
    const double total = timer.Total();
    if (elapsed) {
        *elapsed = total;
    }
    timer.ReportTotal(kCleanupTotal, bench.name);
    return code;
}

} // namespace kora
