// rspio2, the bus coupling of the analog and digital I/O module, and the driver's session table
// (rspio2_sessions.h). The module's channels reach nothing that a station's circuit holds, so the
// bench keeps only the state of its coupling relays (vbench/modules/relay_module.h).
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

constexpr ViStatus kErrCouplingMask = -1074118626; // 0xBFFA401E

constexpr StatusText kCouplingStatusTexts[] = {
    {kErrCouplingMask, "Invalid coupling mask (0 to 0xFF)"},
};

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

std::span<const StatusText> Rspio2CouplingStatusTexts() {
    return kCouplingStatusTexts;
}

} // namespace kora::drivers

extern "C" {

ViStatus rspio2_ConfigureCoupling(ViSession vi, ViInt32 couplingMask) {
    using namespace kora::drivers;
    return WithSession(kInterface, __func__,
                       FormatArgs(vi, Hex{static_cast<uint32_t>(couplingMask)}), g_sessions, vi,
                       [&](DriverCall& call, const std::string& device) {
                           if (couplingMask < 0 || couplingMask > 0xFF) {
                               return kErrCouplingMask;
                           }
                           RelayModuleOf(*call.bench(), kInterface, device).coupling = couplingMask;
                           return VI_SUCCESS;
                       });
}

} // extern "C"
