// Status codes and texts that every driver stand-in shares, and the common body of their
// *_error_message functions.
#pragma once

#include <platform_types.h>
#include <vbench/bench/virtual_bench.h>

#include <span>
#include <string>

namespace kora::drivers {

constexpr ViStatus kErrSession = -1074118655;     // 0xBFFA4001
constexpr ViStatus kErrNullPointer = -1074118653; // 0xBFFA4003
constexpr ViStatus kErrNoBench = -1074118647;     // 0xBFFA4009
// The resource descriptor names no device of the station (VISA's "resource not found").
constexpr ViStatus kErrResourceNotFound = -1073807343; // 0xBFFF0011

struct StatusText {
    ViStatus code;
    const char* text;
};

// The text of `status` into `message`: a message injected with a fault first, then the driver's
// own table, then the shared codes, else "Unknown status code 0x...". Finishes `call`.
ViStatus ErrorMessage(vbench::DriverCall& call, std::span<const StatusText> own, ViStatus status,
                      ViChar message[VI_ERROR_MESSAGE_SIZE]);

// Whether a driver option string (comma list of "Name=Value") holds "Simulate=1", or with
// `acceptTrue` also "Simulate=true"; names and values match without regard to case and spaces.
bool OptionSimulates(const char* options, bool acceptTrue = false);

// The opening of a device by resource descriptor, as every init of a stand-in does it: a
// simulated device opens without hardware (device = the station's name for the descriptor when
// there is a station, else the descriptor); otherwise the station must hold a device with that
// descriptor, whose name goes to `device`. Returns the status of the opening.
ViStatus OpenStationDevice(const vbench::DriverCall& call, const char* resource, bool simulate,
                           std::string* device);

// A driver's call on a device, written to the resource manager's trace when a traced session is
// open on that device (CONF_KORA ... TRACE): "function(arguments) = status".
bool DriverTraceWanted();
void TraceDriverCall(const std::string& device, const char* function, const std::string& arguments,
                     ViStatus status);
// The same for a call on a class library's session, written when that session is traced.
void TraceSessionCall(long session, const char* function, const std::string& arguments,
                      int32_t status);

// The resource-manager session a class library holds on an instrument's device while its handle
// is open; the handle is the session's number.
int32_t LibrarySession(const std::string& device);
void EndLibrarySession(int32_t session);

// How many times the resource manager has been set up: a program's set-up starts with it.
uint64_t ResourceManagerSetups();

} // namespace kora::drivers
