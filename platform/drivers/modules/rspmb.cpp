// rspmb: the PMB switch matrix module driver, as far as the library calls it. Its relays reach
// nothing that a station's circuit holds, so the bench keeps only their state
// (vbench/modules/relay_module.h); DisconnectAll opens them all.
#include <rspmb.h>

#include <vbench/bench/journal.h>
#include <vbench/bench/virtual_bench.h>
#include <vbench/modules/relay_module.h>

#include "driver_status.h"
#include "module_sessions.h"

using kora::drivers::SessionTable;
using kora::vbench::DriverCall;
using kora::vbench::FormatArgs;
using kora::vbench::Hex;
using kora::vbench::RelayModule;
using kora::vbench::RelayModuleOf;

namespace {

constexpr const char* kInterface = "rspmb";

// No code of its own: the shared ones (driver_status.h) cover every failure.
constexpr kora::drivers::StatusText kStatusTexts[] = {
    {VI_SUCCESS, "No error"},
};

constexpr const char* kDriverRevision = "rspmb virtual bench 1.0";

SessionTable g_sessions;

void OpenAll(RelayModule& m) {
    m.closed.clear();
    m.coupling = 0;
}

ViStatus Open(const char* function, std::string arguments, ViRsrc resourceName,
              ViConstString options, ViBoolean reset, ViSession* vi) {
    return kora::drivers::OpenSession(kInterface, function, std::move(arguments), g_sessions,
                                      resourceName, options, reset, vi,
                                      [](DriverCall& call, const std::string& device) {
                                          OpenAll(RelayModuleOf(*call.bench(), kInterface, device));
                                      });
}

} // namespace

extern "C" {

KORA_MODULE_DRIVER_ENTRIES(rspmb)

ViStatus rspmb_DisconnectAll(ViSession vi) {
    return kora::drivers::WithSession(kInterface, __func__, FormatArgs(vi), g_sessions, vi,
                                      [&](DriverCall& call, const std::string& device) {
                                          OpenAll(RelayModuleOf(*call.bench(), kInterface, device));
                                          return VI_SUCCESS;
                                      });
}

} // extern "C"
