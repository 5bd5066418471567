// rspio2, the bus coupling of the analog and digital I/O module, and the driver's session table
// (rspio2_sessions.h). The coupling relays reach no analog bus line of the station's circuit, so
// the bench keeps only their state (vbench/modules/relay_module.h); the channels are the module's
// model (rspio2_io.cpp).
//
// What the arguments mean here:
// - rspio2_ConfigureCoupling: bit 0 ABa1, 1 ABa2, 2 ABb1, 3 ABb2, 4 ABc1, 5 ABc2, 6 ABd1, 7 ABd2
//   (bit set = coupled, 0 = all open).
#include <rspio2.h>

#include <vbench/bench/journal.h>
#include <vbench/bench/virtual_bench.h>
#include <vbench/modules/relay_module.h>

#include "driver_status.h"
#include "module_sessions.h"
#include "rspio2_sessions.h"

using kora::vbench::DriverCall;
using kora::vbench::FormatArgs;
using kora::vbench::Hex;
using kora::vbench::RelayModuleOf;
using kora::vbench::VirtualBench;

namespace kora::drivers {

namespace {

constexpr const char* kInterface = "rspio2";

SessionTable g_sessions;

} // namespace

ViSession Rspio2OpenSession(const std::string& device) {
    return g_sessions.open(device);
}

bool Rspio2CloseSession(ViSession vi) {
    return g_sessions.close(vi);
}

std::optional<std::string> Rspio2DeviceOf(ViSession vi) {
    return g_sessions.deviceOf(vi, VirtualBench::active().get());
}

void Rspio2OpenCouplings(VirtualBench& bench, const std::string& device) {
    RelayModuleOf(bench, kInterface, device).coupling = 0;
}

int Rspio2Coupling(VirtualBench& bench, const std::string& device) {
    return RelayModuleOf(bench, kInterface, device).coupling;
}

const SessionTable& Rspio2Sessions() {
    return g_sessions;
}

} // namespace kora::drivers

extern "C" {

ViStatus rspio2_ConfigureCoupling(ViSession vi, ViInt32 couplingMask) {
    using namespace kora::drivers;
    return WithSession(kInterface, __func__,
                       FormatArgs(vi, Hex{static_cast<uint32_t>(couplingMask)}), g_sessions, vi,
                       [&](DriverCall& call, const std::string& device) {
                           if (couplingMask < 0 || couplingMask > 0xFF) {
                               return Rspio2CouplingMaskError();
                           }
                           RelayModuleOf(*call.bench(), kInterface, device).coupling = couplingMask;
                           return VI_SUCCESS;
                       });
}

} // extern "C"
