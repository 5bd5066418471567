// rspio2, the analog and digital I/O module: opening and closing a module of the station, its
// reset, revision texts and error texts. The bus coupling and the session table are in
// rspio2_coupling.cpp, the working calls in rspio2_io.cpp.
#include <rspio2.h>

#include <vbench/bench/journal.h>
#include <vbench/bench/virtual_bench.h>

#include "driver_status.h"
#include "rspio2_sessions.h"

#include <cstdio>
#include <vector>

using kora::vbench::DriverCall;
using kora::vbench::FormatArgs;
using kora::vbench::Hex;

namespace {

constexpr const char* kInterface = "rspio2";
constexpr const char* kDriverRevision = "rspio2 1.4.0 (virtual bench)";
constexpr const char* kFirmwareRevision = "PIO2 FW 2.10";

using namespace kora::drivers;

ViStatus Open(const char* function, std::string arguments, ViRsrc resource, ViConstString options,
              ViBoolean reset, ViSession* vi) {
    DriverCall call(kInterface, function, std::move(arguments));
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
        Rspio2OpenCouplings(*call.bench(), device);
        Rspio2ResetModule(*call.bench(), device);
    }
    *vi = Rspio2OpenSession(device);
    return call.finish(VI_SUCCESS);
}

} // namespace

extern "C" {

ViStatus rspio2_init(ViRsrc resourceName, ViBoolean idQuery, ViBoolean reset, ViSession* vi) {
    return Open(__func__, FormatArgs(resourceName, idQuery, reset, vi), resourceName, nullptr,
                reset, vi);
}

ViStatus rspio2_InitWithOptions(ViRsrc resourceName, ViBoolean idQuery, ViBoolean reset,
                                ViConstString optionString, ViSession* vi) {
    return Open(__func__, FormatArgs(resourceName, idQuery, reset, optionString, vi), resourceName,
                optionString, reset, vi);
}

ViStatus rspio2_close(ViSession vi) {
    DriverCall call(kInterface, __func__, FormatArgs(vi));
    if (call.fault()) {
        return call.finish(call.fault()->code);
    }
    if (!call.bench()) {
        return call.finish(kErrNoBench);
    }
    if (!Rspio2DeviceOf(vi)) {
        return call.finish(kErrSession);
    }
    Rspio2CloseSession(vi);
    return call.finish(VI_SUCCESS);
}

ViStatus rspio2_reset(ViSession vi) {
    DriverCall call(kInterface, __func__, FormatArgs(vi));
    if (call.fault()) {
        return call.finish(call.fault()->code);
    }
    if (!call.bench()) {
        return call.finish(kErrNoBench);
    }
    const auto device = Rspio2DeviceOf(vi);
    if (!device) {
        return call.finish(kErrSession);
    }
    Rspio2OpenCouplings(*call.bench(), *device);
    Rspio2ResetModule(*call.bench(), *device);
    return call.finish(VI_SUCCESS);
}

ViStatus rspio2_revision_query(ViSession vi, ViChar driverRevision[VI_REVISION_SIZE],
                               ViChar firmwareRevision[VI_REVISION_SIZE]) {
    DriverCall call(kInterface, __func__, FormatArgs(vi));
    if (call.fault()) {
        return call.finish(call.fault()->code);
    }
    if (!driverRevision || !firmwareRevision) {
        return call.finish(kErrNullPointer);
    }
    if (!call.bench()) {
        return call.finish(kErrNoBench);
    }
    if (!Rspio2DeviceOf(vi)) {
        return call.finish(kErrSession);
    }
    std::snprintf(driverRevision, VI_REVISION_SIZE, "%s", kDriverRevision);
    std::snprintf(firmwareRevision, VI_REVISION_SIZE, "%s", kFirmwareRevision);
    return call.finish(VI_SUCCESS);
}

ViStatus rspio2_error_message(ViSession vi, ViStatus status,
                              ViChar message[VI_ERROR_MESSAGE_SIZE]) {
    DriverCall call(kInterface, __func__, FormatArgs(vi, Hex{static_cast<uint32_t>(status)}));
    return ErrorMessage(call, Rspio2StatusTexts(), status, message);
}

} // extern "C"
