// What the module drivers opened on a device of the station share: a table of session handles,
// each bound to the bench it was opened on and naming its device, and the frames of their calls
// (journal entry, injected fault, bench and session checks) for init, close, revision query and
// every call on an open session.
#pragma once

#include <platform_types.h>
#include <vbench/bench/journal.h>
#include <vbench/bench/virtual_bench.h>

#include "driver_status.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace kora::drivers {

class SessionTable {
  public:
    // A new handle (1, 2, ...) for the device on the active bench.
    ViSession open(const std::string& device);
    bool close(ViSession vi);
    // The device of a session opened on `bench`; none for an unknown handle or one of another
    // bench.
    std::optional<std::string> deviceOf(ViSession vi, const vbench::VirtualBench* bench) const;

  private:
    struct Entry {
        std::weak_ptr<vbench::VirtualBench> bench;
        std::string device;
    };
    mutable std::mutex mutex_;
    std::map<ViSession, Entry> sessions_;
    ViSession next_ = 1;
};

// A call on an open session: body(call, device) runs on the session's device and its status
// finishes the call.
template <typename Body>
ViStatus WithSession(const char* interface, const char* function, std::string arguments,
                     const SessionTable& sessions, ViSession vi, Body&& body) {
    // The arguments are kept for the trace only while some session is traced.
    const std::string traced = DriverTraceWanted() ? arguments : std::string();
    vbench::DriverCall call(interface, function, std::move(arguments));
    if (call.fault()) {
        return call.finish(call.fault()->code);
    }
    if (!call.bench()) {
        return call.finish(kErrNoBench);
    }
    const auto device = sessions.deviceOf(vi, call.bench());
    if (!device) {
        return call.finish(kErrSession);
    }
    const ViStatus status = call.finish(body(call, *device));
    if (DriverTraceWanted()) {
        TraceDriverCall(*device, function, traced, status);
    }
    return status;
}

// init / InitWithOptions: opens the device that the resource descriptor names (see
// OpenStationDevice; "Simulate=1" in the options opens it without hardware) and, when asked to,
// puts it into its start state with onReset(call, device).
template <typename Reset>
ViStatus OpenSession(const char* interface, const char* function, std::string arguments,
                     SessionTable& sessions, ViRsrc resource, ViConstString options,
                     ViBoolean reset, ViSession* vi, Reset&& onReset) {
    vbench::DriverCall call(interface, function, std::move(arguments));
    if (call.fault()) {
        return call.finish(call.fault()->code);
    }
    if (!vi || !resource) {
        return call.finish(kErrNullPointer);
    }
    std::string device;
    const ViStatus status = OpenStationDevice(call, resource, OptionSimulates(options), &device);
    if (status != VI_SUCCESS) {
        return call.finish(status);
    }
    if (!call.bench()) {
        return call.finish(kErrNoBench);
    }
    if (reset) {
        onReset(call, device);
    }
    *vi = sessions.open(device);
    return call.finish(VI_SUCCESS);
}

ViStatus CloseSession(const char* interface, const char* function, SessionTable& sessions,
                      ViSession vi);

// The revision texts of a session's driver.
ViStatus RevisionQuery(const char* interface, const char* function, const SessionTable& sessions,
                       ViSession vi, const char* driverRevision, ViChar driverOut[],
                       ViChar firmwareOut[]);

} // namespace kora::drivers

// The five entries every module driver on the session table shares: init, InitWithOptions,
// close, revision_query and error_message of driver `prefix`. Expanded inside the driver's
// extern "C" block; the driver's file provides kInterface, g_sessions, kDriverRevision,
// kStatusTexts and Open(function, arguments, resource, options, reset, vi).
#define KORA_MODULE_DRIVER_ENTRIES(prefix)                                                         \
    ViStatus prefix##_init(ViRsrc resourceName, ViBoolean idQuery, ViBoolean reset,                \
                           ViSession* vi) {                                                        \
        return Open(__func__, kora::vbench::FormatArgs(resourceName, idQuery, reset, vi),          \
                    resourceName, nullptr, reset, vi);                                             \
    }                                                                                              \
    ViStatus prefix##_InitWithOptions(ViRsrc resourceName, ViBoolean idQuery, ViBoolean reset,     \
                                      ViConstString optionString, ViSession* vi) {                 \
        return Open(__func__,                                                                      \
                    kora::vbench::FormatArgs(resourceName, idQuery, reset, optionString, vi),      \
                    resourceName, optionString, reset, vi);                                        \
    }                                                                                              \
    ViStatus prefix##_close(ViSession vi) {                                                        \
        return kora::drivers::CloseSession(kInterface, __func__, g_sessions, vi);                  \
    }                                                                                              \
    ViStatus prefix##_revision_query(ViSession vi, ViChar driverRevision[VI_REVISION_SIZE],        \
                                     ViChar firmwareRevision[VI_REVISION_SIZE]) {                  \
        return kora::drivers::RevisionQuery(kInterface, __func__, g_sessions, vi, kDriverRevision, \
                                            driverRevision, firmwareRevision);                     \
    }                                                                                              \
    ViStatus prefix##_error_message(ViSession vi, ViStatus status,                                 \
                                    ViChar message[VI_ERROR_MESSAGE_SIZE]) {                       \
        kora::vbench::DriverCall call(                                                             \
            kInterface, __func__,                                                                  \
            kora::vbench::FormatArgs(vi, kora::vbench::Hex{static_cast<uint32_t>(status)}));       \
        return kora::drivers::ErrorMessage(call, kStatusTexts, status, message);                   \
    }
