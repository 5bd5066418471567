#include "resmgr_inspect.h"

#include "resmgr_state.h"

#include <cstdio>
#include <cstdlib>

namespace kora::resmgr::inspect {

void Reset() {
    State& state = GlobalState();
    const std::lock_guard lock(state.mutex);
    ReleaseEverything(state);
    state.traceLines.clear();
    state.nextResource = 1;
    state.nextSession = 1;
}

std::vector<std::string> TraceLines() {
    State& state = GlobalState();
    const std::lock_guard lock(state.mutex);
    const char* path = std::getenv("KORA_RESMGR_TRACE");
    if (path == nullptr || *path == '\0') {
        return {state.traceLines.begin(), state.traceLines.end()};
    }
    std::vector<std::string> lines;
    std::FILE* in = std::fopen(path, "rb");
    if (in == nullptr) {
        return lines;
    }
    std::string line;
    for (int c = std::fgetc(in); c != EOF; c = std::fgetc(in)) {
        if (c == '\n') {
            lines.push_back(std::move(line));
            line.clear();
        } else {
            line.push_back(static_cast<char>(c));
        }
    }
    if (!line.empty()) {
        lines.push_back(std::move(line));
    }
    std::fclose(in);
    return lines;
}

bool TracingEnabled() {
    State& state = GlobalState();
    const std::lock_guard lock(state.mutex);
    return state.tracing;
}

bool SessionTraced(long session) {
    State& state = GlobalState();
    const std::lock_guard lock(state.mutex);
    return state.tracing && state.tracedSessions.count(session) != 0;
}

bool TraceSession(long session, std::string_view line) {
    State& state = GlobalState();
    const std::lock_guard lock(state.mutex);
    return state.tracing && state.tracedSessions.count(session) != 0 &&
           WriteTraceLine(state, line) == 0;
}

bool AnySessionTraced() {
    return GlobalState().anyTraced.load(std::memory_order_relaxed);
}

bool TraceDevice(std::string_view device, std::string_view line) {
    State& state = GlobalState();
    const std::lock_guard lock(state.mutex);
    if (!state.tracing) {
        return false;
    }
    const std::string key = DeviceKey(device);
    for (const long id : state.tracedSessions) {
        const auto it = state.sessions.find(static_cast<int32_t>(id));
        if (it != state.sessions.end() && it->second.device == key) {
            return WriteTraceLine(state, line) == 0;
        }
    }
    return false;
}

int32_t OpenLibrarySession(std::string_view device) {
    State& state = GlobalState();
    const std::lock_guard lock(state.mutex);
    const int32_t id = state.nextSession++;
    state.sessions[id] = Session{0, DeviceKey(device), 1};
    return id;
}

void CloseLibrarySession(int32_t session) {
    State& state = GlobalState();
    const std::lock_guard lock(state.mutex);
    const auto it = state.sessions.find(session);
    if (it == state.sessions.end() || it->second.resource != 0) {
        return;
    }
    state.sessions.erase(it);
    state.tracedSessions.erase(session);
    state.anyTraced = state.tracing && !state.tracedSessions.empty();
}

int OpenSessions(std::string_view device) {
    State& state = GlobalState();
    const std::lock_guard lock(state.mutex);
    const auto it = state.devices.find(DeviceKey(device));
    return it == state.devices.end() ? 0 : it->second.sessions;
}

bool DeviceLocked(std::string_view device) {
    State& state = GlobalState();
    const std::lock_guard lock(state.mutex);
    const auto it = state.devices.find(DeviceKey(device));
    return it != state.devices.end() && it->second.locked;
}

std::vector<std::string> LockedDevices() {
    State& state = GlobalState();
    const std::lock_guard lock(state.mutex);
    std::vector<std::string> names;
    for (const auto& [key, device] : state.devices) {
        if (device.locked) {
            names.push_back(key);
        }
    }
    return names;
}

int Clients() {
    State& state = GlobalState();
    const std::lock_guard lock(state.mutex);
    return static_cast<int>(state.clients.size());
}

} // namespace kora::resmgr::inspect

namespace kora::resmgr::inspect {

std::string PhysicalLayerFile() {
    State& state = GlobalState();
    const std::lock_guard lock(state.mutex);
    return state.files[RESMGR_FILE_PHYSICAL] ? state.paths[RESMGR_FILE_PHYSICAL] : std::string();
}

uint64_t SetupCount() {
    return GlobalState().setups.load();
}

} // namespace kora::resmgr::inspect
