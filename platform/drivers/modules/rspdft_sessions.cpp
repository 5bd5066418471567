// rspdft: the digital functional test module (PDFT) driver: its sessions, the revision query the
// device scan asks every module for, and the four pulse-width modulated power outputs on the
// module's model in the circuit (vbench/modules/pdft.h), which the DIOMGR library's channels share.
//
// What the arguments mean here: output bits 1, 2, 4, 8 are po1..po4 (any combination of them);
// frequencies above 0 up to 100 kHz; duty cycles 0 (off) to 100 percent. The calls take a session
// of rspdft_init or a module handle of DIOMGR_Instrument_Get_Handle (diomgr_module.h).
#include <rspdft.h>

#include <vbench/bench/journal.h>
#include <vbench/modules/pdft.h>

#include "diomgr_module.h"
#include "driver_status.h"
#include "module_sessions.h"

#include <cmath>

using kora::drivers::SessionTable;
using kora::vbench::DigitalTestModule;
using kora::vbench::DriverCall;
using kora::vbench::FormatArgs;

namespace {

constexpr const char* kInterface = "rspdft";

constexpr ViStatus kErrValue = -1074118639;   // 0xBFFA4011
constexpr ViStatus kErrOutputs = -1074118638; // 0xBFFA4012

constexpr kora::drivers::StatusText kStatusTexts[] = {
    {VI_SUCCESS, "No error"},
    {kErrValue, "Value out of range"},
    {kErrOutputs, "Invalid power output selection (bits 1, 2, 4, 8 for po1..po4)"},
};

constexpr const char* kDriverRevision = "rspdft virtual bench 1.0";
constexpr ViInt32 kAllOutputs = 0xF;

static_assert(DigitalTestModule::kOff == RSPDFT_PWM_OFF);
static_assert(DigitalTestModule::kOn == RSPDFT_PWM_ON);
static_assert(DigitalTestModule::kTripped == RSPDFT_PWM_TRIPPED);
static_assert(DigitalTestModule::kOpenLoad == RSPDFT_PWM_OPEN);

SessionTable g_sessions;

ViStatus Open(const char* function, std::string arguments, ViRsrc resourceName,
              ViConstString options, ViBoolean reset, ViSession* vi) {
    return kora::drivers::OpenSession(
        kInterface, function, std::move(arguments), g_sessions, resourceName, options, reset, vi,
        [](DriverCall& call, const std::string& device) {
            kora::vbench::DigitalTestModuleOf(*call.bench(), device).reset();
        });
}

// A call on the module of a session or of a DIOMGR module handle.
template <typename Body>
ViStatus Call(const char* function, std::string arguments, ViSession vi, Body&& body) {
    DriverCall call(kInterface, function, std::move(arguments));
    if (call.fault()) {
        return call.finish(call.fault()->code);
    }
    if (!call.bench()) {
        return call.finish(kora::drivers::kErrNoBench);
    }
    auto device = kora::drivers::diomgr::ModuleDeviceOf(call, vi);
    if (!device) {
        device = g_sessions.deviceOf(vi, call.bench());
    }
    if (!device) {
        return call.finish(kora::drivers::kErrSession);
    }
    return call.finish(body(kora::vbench::DigitalTestModuleOf(*call.bench(), *device)));
}

// Calls f(output) for every output of the bits.
template <typename F> ViStatus ForOutputs(ViInt32 bits, F&& f) {
    if (bits <= 0 || (bits & ~kAllOutputs) != 0) {
        return kErrOutputs;
    }
    for (int o = 0; o < DigitalTestModule::kPowerOutputs; ++o) {
        if (bits & (1 << o)) {
            f(o);
        }
    }
    return VI_SUCCESS;
}

} // namespace

extern "C" {

KORA_MODULE_DRIVER_ENTRIES(rspdft)

ViStatus rspdft_ConfigurePWM(ViSession vi, ViInt32 outputBits, ViReal64 frequency) {
    return Call(__func__, FormatArgs(vi, outputBits, frequency), vi, [&](DigitalTestModule& m) {
        if (!(frequency > 0 && frequency <= DigitalTestModule::kMaxPwmFrequency)) {
            return kErrValue;
        }
        return ForOutputs(outputBits, [&](int o) { m.setPwmFrequency(o, frequency); });
    });
}

ViStatus rspdft_SetStatePWM(ViSession vi, ViInt32 outputBits, ViReal64 dutyCycle) {
    return Call(__func__, FormatArgs(vi, outputBits, dutyCycle), vi, [&](DigitalTestModule& m) {
        if (!(dutyCycle >= 0 && dutyCycle <= 100)) {
            return kErrValue;
        }
        return ForOutputs(outputBits, [&](int o) { m.setDutyCycle(o, dutyCycle); });
    });
}

ViStatus rspdft_GetStatePWM(ViSession vi, ViInt32 states[4]) {
    return Call(__func__, FormatArgs(vi, kora::vbench::kOut), vi, [&](DigitalTestModule& m) {
        if (!states) {
            return kora::drivers::kErrNullPointer;
        }
        for (int o = 0; o < DigitalTestModule::kPowerOutputs; ++o) {
            states[o] = m.powerState(o);
        }
        return VI_SUCCESS;
    });
}

} // extern "C"
