#include "module_sessions.h"

#include <cstdio>

namespace kora::drivers {

namespace {

constexpr const char* kFirmwareRevision = "virtual";

} // namespace

ViSession SessionTable::open(const std::string& device) {
    std::lock_guard lock(mutex_);
    const ViSession vi = next_++;
    sessions_[vi] = Entry{vbench::VirtualBench::active(), device};
    return vi;
}

bool SessionTable::close(ViSession vi) {
    std::lock_guard lock(mutex_);
    return sessions_.erase(vi) != 0;
}

std::optional<std::string> SessionTable::deviceOf(ViSession vi,
                                                  const vbench::VirtualBench* bench) const {
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(vi);
    if (it == sessions_.end() || !bench || it->second.bench.lock().get() != bench) {
        return std::nullopt;
    }
    return it->second.device;
}

ViStatus CloseSession(const char* interface, const char* function, SessionTable& sessions,
                      ViSession vi) {
    vbench::DriverCall call(interface, function, vbench::FormatArgs(vi));
    if (call.fault()) {
        return call.finish(call.fault()->code);
    }
    return call.finish(sessions.close(vi) ? VI_SUCCESS : kErrSession);
}

ViStatus RevisionQuery(const char* interface, const char* function, const SessionTable& sessions,
                       ViSession vi, const char* driverRevision, ViChar driverOut[],
                       ViChar firmwareOut[]) {
    return WithSession(interface, function, vbench::FormatArgs(vi, vbench::kOut, vbench::kOut),
                       sessions, vi, [&](vbench::DriverCall&, const std::string&) {
                           if (!driverOut || !firmwareOut) {
                               return kErrNullPointer;
                           }
                           std::snprintf(driverOut, VI_REVISION_SIZE, "%s", driverRevision);
                           std::snprintf(firmwareOut, VI_REVISION_SIZE, "%s", kFirmwareRevision);
                           return VI_SUCCESS;
                       });
}

} // namespace kora::drivers
