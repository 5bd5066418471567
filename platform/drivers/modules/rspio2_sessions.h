// The session table of the rspio2 driver, shared by the files of that driver: rspio2.cpp (init,
// close, reset, revision query, error message), rspio2_coupling.cpp (the bus coupling) and
// rspio2_io.cpp (the working calls). A session is bound to the bench it was opened on and names
// its device.
#pragma once

#include <platform_types.h>

#include "driver_status.h"
#include "module_sessions.h"

#include <optional>
#include <span>
#include <string>

namespace kora::vbench {
class VirtualBench;
}

namespace kora::drivers {

// A new session on the device (the station's device name) of the active bench.
ViSession Rspio2OpenSession(const std::string& device);
// False for a handle that is not open.
bool Rspio2CloseSession(ViSession vi);
// The device of a session opened on the active bench; none for an unknown handle or one of
// another bench.
std::optional<std::string> Rspio2DeviceOf(ViSession vi);

// Opens every coupling relay of the device, as a reset of the module does.
void Rspio2OpenCouplings(vbench::VirtualBench& bench, const std::string& device);
// The coupling mask of the device now (bit set = coupled).
int Rspio2Coupling(vbench::VirtualBench& bench, const std::string& device);

// The table itself, for the calls made through WithSession.
const SessionTable& Rspio2Sessions();

// Puts the module's channels, groups and sampling engine into their start state.
void Rspio2ResetModule(vbench::VirtualBench& bench, const std::string& device);

// The texts of the codes that the driver's calls return, for rspio2_error_message.
std::span<const StatusText> Rspio2StatusTexts();
// The code of a coupling mask out of range.
ViStatus Rspio2CouplingMaskError();

} // namespace kora::drivers
