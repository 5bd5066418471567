// The ICT hardware of a bench as the component tests share it: test pins and their way onto the
// analog bus, the connection and disconnection of a component's pins, the set-up that brings the
// bench into the ICT start state before a run and the clean-up after it, and the texts under
// which driver errors are reported.
#pragma once

#include "bench/bench.h"
#include "frame/errors.h"

#include <platform_types.h>

#include <array>
#include <cstdint>

namespace kora {

// The eight analog bus lines, in the order of their matrix channel names.
enum BusLine : int { kLabA1, kLabA2, kLabB1, kLabB2, kLabC1, kLabC2, kLabD1, kLabD2, kBusLines };
using BusChannelIds = std::array<int32_t, kBusLines>;

// Fetches the SM160 channel ids of "LABA1" .. "LABD2"; the driver status.
ViStatus FetchBusChannelIds(BusChannelIds& ids);

// The channel-table entry of a test pin, or null with "No pin name defined" or "'%s' not in
// channel table found" in `error` (kMessageSize bytes). `count` gets the number of matrix pins
// walked (0 when not found).
const ChannelRecord* ResolveTestPin(const BenchRecord& bench, const char* name, int32_t* count,
                                    char* error);

// Connects a pin's channel to a bus line of its module.
ViStatus ConnectTestPin(ViSession module, int32_t busChannelId, int32_t pinChannelId);

// Roles of a component's pins on the bus.
enum class PinRole { Hi, Lo, SenseHi, SenseLo, Guard, GuardSense };

// The bus line a pin takes in its role: the role picks the group, an even pin number line 1 and
// an odd one line 2. In six-wire guarding the sense pins take the other line of the A and B
// groups (pass sixWire = true and the force pin's line as `forceLine`).
BusLine BusLineOf(PinRole role, const ChannelRecord& pin, bool sixWire = false,
                  BusLine forceLine = kLabA1);

// The driver errors of one component test, per module; the first set wins in the order PSAM,
// PICT, SM160, PSU, and a library code set earlier wins over all of them.
struct ModuleErrors {
    ViStatus psam = 0, pict = 0, sm160 = 0, psu = 0;
    bool any() const { return psam || pict || sm160 || psu; }
};
// Turns the module errors into "PSAM: %s" (and so on) with the driver's message in `error`,
// unless `error` holds a library error already. True when an error is set.
bool ReportModuleErrors(const BenchRecord& bench, const ModuleErrors& errors, StepError& error);

// The connections of one component test: each connection notes its module in the used-module
// mask; Disconnect opens every used module.
class PinConnector {
  public:
    PinConnector(const BenchRecord& bench, const BusChannelIds& bus) : bench_(bench), bus_(bus) {}

    // Connects `pin` to `line`; false on an SM160 error (kept in `errors.sm160`).
    bool Connect(const ChannelRecord& pin, BusLine line, ModuleErrors& errors);
    // Waits for the debounce of the module of the last pin connected and, when a guard pin was
    // used, for the PICT's settling.
    bool Settle(bool guarded, ModuleErrors& errors);
    // hscDisconnectAll on every module of the used-module mask; the first failure is kept.
    void Disconnect(ModuleErrors& errors);

    uint32_t usedModules() const { return used_; }
    void NoteModule(const ChannelRecord& pin) { used_ |= 1u << (pin.cardIndex & 31); }

  private:
    const BenchRecord& bench_;
    const BusChannelIds& bus_;
    uint32_t used_ = 0;
    int32_t lastCard_ = -1;
};

// Brings the bench into the ICT start state (routing, every ICT-related device opened, PSAM, PICT
// and PSU caches reset, matrix modules enabled). With a report level above 0 each action is a
// timing sub-result numbered on from `firstResult`. Returns 0 or the first error code, with the
// driver's text behind the module's error head in `error` (kMessageSize bytes).
uint32_t IctSetup(long firstResult, BenchRecord& bench, long routeMode, long reportLevel,
                  double* elapsed, char* error);

// Takes the bench back out of the ICT state after a run.
uint32_t IctCleanup(long firstResult, BenchRecord& bench, bool disconnectRoutes, long reportLevel,
                    double* elapsed, char* error);

} // namespace kora
