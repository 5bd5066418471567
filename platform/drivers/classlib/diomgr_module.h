// What the digital functional test module's driver (rspdft) asks of the DIOMGR library: a module
// handle from DIOMGR_Instrument_Get_Handle is the manager's session on that module, so rspdft
// calls on it reach the module without a session of their own.
#pragma once

#include <vbench/bench/virtual_bench.h>

#include <optional>
#include <string>

namespace kora::drivers::diomgr {

// The device of a module handle handed out on the call's bench; none for another handle.
std::optional<std::string> ModuleDeviceOf(const vbench::DriverCall& call, long handle);

} // namespace kora::drivers::diomgr
