// rspam: the signal analyzer module driver, as far as the library calls it beside the SIGANL
// class library. The module's inputs reach nothing that a station's circuit holds, so the bench
// keeps only its coupling relays and the state of its two acquisition paths
// (vbench/modules/relay_module.h); a path that never acquired reports RSPAM_ACQ_UNKNOWN.
//
// What the arguments mean here:
// - rspam_ConfigureCoupling: bit 0 ABa1, 1 ABa2, 2 ABb1, 3 ABb2, 4 ABc1, 5 ABc2, 6 ABd1, 7 ABd2
//   (bit set = coupled, 0 = all open).
// - rspam_AcquisitionStatusPath: path 0 (A) or 1 (B). It also takes the handle of an analyzer
//   opened by SIGANL_Setup, and answers from the analyzer's model in the circuit when the device
//   has one (vbench/modules/digitizer.h).
#include <rspam.h>

#include <vbench/bench/journal.h>
#include <vbench/bench/virtual_bench.h>
#include <vbench/modules/digitizer.h>
#include <vbench/modules/relay_module.h>

#include "driver_status.h"
#include "module_sessions.h"
#include "siganl_module.h"

using kora::drivers::SessionTable;
using kora::vbench::Digitizer;
using kora::vbench::DriverCall;
using kora::vbench::FormatArgs;
using kora::vbench::Hex;
using kora::vbench::RelayModule;
using kora::vbench::RelayModuleOf;

namespace {

constexpr const char* kInterface = "rspam";

constexpr ViStatus kErrValue = -1074118639; // 0xBFFA4011

using kora::drivers::kErrNullPointer;
using kora::drivers::StatusText;

constexpr StatusText kStatusTexts[] = {
    {kErrValue, "Value out of range"},
};

constexpr const char* kDriverRevision = "rspam virtual bench 1.0";

static_assert(RelayModule::kAcquisitionUnknown == RSPAM_ACQ_UNKNOWN);
static_assert(static_cast<int>(Digitizer::Status::Complete) == RSPAM_ACQ_COMPLETE);
static_assert(static_cast<int>(Digitizer::Status::InProgress) == RSPAM_ACQ_IN_PROGRESS);

SessionTable g_sessions;

ViStatus Open(const char* function, std::string arguments, ViRsrc resourceName,
              ViConstString options, ViBoolean reset, ViSession* vi) {
    return kora::drivers::OpenSession(
        kInterface, function, std::move(arguments), g_sessions, resourceName, options, reset, vi,
        [](DriverCall& call, const std::string& device) {
            RelayModule& m = RelayModuleOf(*call.bench(), kInterface, device);
            m.coupling = 0;
            m.acquisition.fill(RelayModule::kAcquisitionUnknown);
        });
}

template <typename Body>
ViStatus Call(const char* function, std::string arguments, ViSession vi, Body&& body) {
    return kora::drivers::WithSession(kInterface, function, std::move(arguments), g_sessions, vi,
                                      [&](DriverCall& call, const std::string& device) {
                                          return body(
                                              RelayModuleOf(*call.bench(), kInterface, device));
                                      });
}

} // namespace

extern "C" {

KORA_MODULE_DRIVER_ENTRIES(rspam)

ViStatus rspam_ConfigureCoupling(ViSession vi, ViInt32 couplingMask) {
    return Call(__func__, FormatArgs(vi, Hex{static_cast<uint32_t>(couplingMask)}), vi,
                [&](RelayModule& m) {
                    if (couplingMask < 0 || couplingMask > 0xFF) {
                        return kErrValue;
                    }
                    m.coupling = couplingMask;
                    return VI_SUCCESS;
                });
}

ViStatus rspam_AcquisitionStatusPath(ViSession vi, ViInt32 path, ViInt32* status) {
    DriverCall call(kInterface, __func__, FormatArgs(vi, path, status));
    if (call.fault()) {
        return call.finish(call.fault()->code);
    }
    if (!call.bench()) {
        return call.finish(kora::drivers::kErrNoBench);
    }
    // An analyzer's handle from SIGANL_Setup names its module as well (siganl_module.h).
    const auto analyzer = kora::drivers::siganl::SiganlDeviceOf(call, vi);
    const auto device = analyzer ? analyzer : g_sessions.deviceOf(vi, call.bench());
    if (!device) {
        return call.finish(kora::drivers::kErrSession);
    }
    if (!status) {
        return call.finish(kErrNullPointer);
    }
    if (path != 0 && path != 1) {
        return call.finish(kErrValue);
    }
    if (Digitizer* d = kora::vbench::FindDigitizer(*call.bench(), *device)) {
        *status = static_cast<ViInt32>(d->status(path));
    } else {
        *status = RelayModuleOf(*call.bench(), kInterface, *device)
                      .acquisition[static_cast<std::size_t>(path)];
    }
    return call.finish(VI_SUCCESS);
}

} // extern "C"
