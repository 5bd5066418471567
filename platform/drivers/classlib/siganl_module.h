// What the analyzer's module driver (rspam) asks of the SIGANL library: the analyzer's handle
// is also its module's handle, so rspam_AcquisitionStatusPath answers for an analyzer opened by
// SIGANL_Setup without a session of its own.
#pragma once

#include <vbench/bench/virtual_bench.h>

#include <optional>
#include <string>

namespace kora::drivers::siganl {

// The station device of an open analyzer handle on the call's bench; none for another handle
// or a simulated analyzer.
std::optional<std::string> SiganlDeviceOf(const vbench::DriverCall& call, long handle);

} // namespace kora::drivers::siganl
