// rsphdt: the sessions of the high-speed digital test module (PHDT) and their revision query, which
// the device scan asks every module for. The module itself is not modelled further: opening it
// touches nothing.
#include <rsphdt.h>

#include <vbench/bench/journal.h>

#include "driver_status.h"
#include "module_sessions.h"

using kora::drivers::SessionTable;
using kora::vbench::DriverCall;

namespace {

constexpr const char* kInterface = "rsphdt";

constexpr kora::drivers::StatusText kStatusTexts[] = {
    {VI_SUCCESS, "No error"},
};

constexpr const char* kDriverRevision = "rsphdt virtual bench 1.0";

SessionTable g_sessions;

ViStatus Open(const char* function, std::string arguments, ViRsrc resourceName,
              ViConstString options, ViBoolean reset, ViSession* vi) {
    return kora::drivers::OpenSession(kInterface, function, std::move(arguments), g_sessions,
                                      resourceName, options, reset, vi,
                                      [](DriverCall&, const std::string&) {});
}

} // namespace

extern "C" {

KORA_MODULE_DRIVER_ENTRIES(rsphdt)

} // extern "C"
