// Inspection of the resource manager for tests and for the other platform stand-ins (drivers that
// write their calls to the trace). Not part of the resource manager's C interface.
#ifndef KORA_PLATFORM_RESMGR_INSPECT_H
#define KORA_PLATFORM_RESMGR_INSPECT_H

#include "ini_file.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kora::resmgr::inspect {

// Back to the state of a fresh process: no files, resources, sessions, handles, locks, clients,
// trace flags or in-memory trace lines; tracing off. A trace file is left as it is.
KORA_RESMGR_INTERNAL_API void Reset();

// The trace so far: the lines of the file named by KORA_RESMGR_TRACE when it is set (empty when
// the file does not exist), else the lines kept in memory.
KORA_RESMGR_INTERNAL_API std::vector<std::string> TraceLines();

KORA_RESMGR_INTERNAL_API bool TracingEnabled();
// Tracing is on and the session (or driver handle) is marked with RESMGR_Set_Trace_Flag.
KORA_RESMGR_INTERNAL_API bool SessionTraced(long session);
// Writes the line when SessionTraced(session); returns whether it was written.
KORA_RESMGR_INTERNAL_API bool TraceSession(long session, std::string_view line);
// Tracing is on and some session carries the trace flag: a cheap check, no lock, for the drivers'
// every call.
KORA_RESMGR_INTERNAL_API bool AnySessionTraced();
// Writes the line when a traced session is open on the device ("NAME" or "device->NAME"): how the
// driver stand-ins write their calls to the trace. Returns whether it was written.
KORA_RESMGR_INTERNAL_API bool TraceDevice(std::string_view device, std::string_view line);

// A session that a class library holds on a device for as long as one of its handles is open.
// The library's handle is the session's number, so that RESMGR_Set_Trace_Flag on the handle that
// a bench keeps reaches the library's calls (TraceSession). Such a session belongs to no resource
// and is not counted among the device's sessions, which decide who opens and closes a
// resource-managed driver.
KORA_RESMGR_INTERNAL_API int32_t OpenLibrarySession(std::string_view device);
// Ends a library session and its trace flag.
KORA_RESMGR_INTERNAL_API void CloseLibrarySession(int32_t session);

// Open sessions of a device ("NAME" or "device->NAME") over all resources.
KORA_RESMGR_INTERNAL_API int OpenSessions(std::string_view device);
KORA_RESMGR_INTERNAL_API bool DeviceLocked(std::string_view device);
// Names of the devices whose lock is held now.
KORA_RESMGR_INTERNAL_API std::vector<std::string> LockedDevices();
// Number of threads that set up and have not cleaned up yet.
KORA_RESMGR_INTERNAL_API int Clients();

// Path of the physical layer file loaded by the last RESMGR_Setup; empty when none is loaded.
KORA_RESMGR_INTERNAL_API std::string PhysicalLayerFile();
// Number of successful RESMGR_Setup calls so far (cheap: no lock).
KORA_RESMGR_INTERNAL_API uint64_t SetupCount();

} // namespace kora::resmgr::inspect

#endif
