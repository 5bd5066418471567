// rspfg: the function generator module driver, as far as the library calls it beside the
// FUNCGEN class library. The module's outputs reach nothing that a station's circuit holds, so
// the bench keeps only its coupling relays (vbench/modules/relay_module.h).
//
// What the arguments mean here:
// - rspfg_ConfigureCoupling: bit 0 ABa1, 1 ABa2, 2 ABb1, 3 ABb2, 4 ABc1, 5 ABc2, 6 ABd1, 7 ABd2
//   (bit set = coupled, 0 = all open).
#include <rspfg.h>

#include <vbench/bench/journal.h>
#include <vbench/bench/virtual_bench.h>
#include <vbench/modules/relay_module.h>

#include "driver_status.h"
#include "module_sessions.h"

using kora::drivers::SessionTable;
using kora::vbench::DriverCall;
using kora::vbench::FormatArgs;
using kora::vbench::Hex;
using kora::vbench::RelayModuleOf;

namespace {

constexpr const char* kInterface = "rspfg";

constexpr ViStatus kErrValue = -1074118639; // 0xBFFA4011

using kora::drivers::StatusText;

constexpr StatusText kStatusTexts[] = {
    {kErrValue, "Value out of range"},
};

constexpr const char* kDriverRevision = "rspfg virtual bench 1.0";

SessionTable g_sessions;

ViStatus Open(const char* function, std::string arguments, ViRsrc resourceName,
              ViConstString options, ViBoolean reset, ViSession* vi) {
    return kora::drivers::OpenSession(
        kInterface, function, std::move(arguments), g_sessions, resourceName, options, reset, vi,
        [](DriverCall& call, const std::string& device) {
            RelayModuleOf(*call.bench(), kInterface, device).coupling = 0;
        });
}

} // namespace

extern "C" {

KORA_MODULE_DRIVER_ENTRIES(rspfg)

ViStatus rspfg_ConfigureCoupling(ViSession vi, ViInt32 couplingMask) {
    return kora::drivers::WithSession(
        kInterface, __func__, FormatArgs(vi, Hex{static_cast<uint32_t>(couplingMask)}), g_sessions,
        vi, [&](DriverCall& call, const std::string& device) {
            if (couplingMask < 0 || couplingMask > 0xFF) {
                return kErrValue;
            }
            RelayModuleOf(*call.bench(), kInterface, device).coupling = couplingMask;
            return VI_SUCCESS;
        });
}

} // extern "C"
