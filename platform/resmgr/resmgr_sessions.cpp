// Resources, sessions, driver handles and device locks.
#include "resmgr_state.h"

#include <chrono>
#include <string>

using kora::resmgr::CheckReserved;
using kora::resmgr::CopyText;
using kora::resmgr::Device;
using kora::resmgr::DeviceKey;
using kora::resmgr::DeviceName;
using kora::resmgr::EqualsNoCase;
using kora::resmgr::Reply;
using kora::resmgr::Resource;
using kora::resmgr::Serve;
using kora::resmgr::Session;
using kora::resmgr::State;

namespace {

constexpr std::string_view kBenchType = "BENCH";
constexpr std::string_view kDevicePrefix = "device->";

Resource* FindResource(Reply& reply, State& state, long handle) {
    const auto it = state.resources.find(static_cast<int32_t>(handle));
    if (handle <= 0 || handle > INT32_MAX || it == state.resources.end()) {
        reply.fail(RESMGR_ERR_INVALID_RESOURCE, std::to_string(handle));
        return nullptr;
    }
    return &it->second;
}

// Checks the device argument; its key, empty after reporting.
std::string CheckDevice(Reply& reply, const char* device) {
    std::string key = device == nullptr ? std::string() : DeviceKey(device);
    if (key.empty()) {
        reply.fail(RESMGR_ERR_INVALID_ARGUMENT, "no device name");
    }
    return key;
}

Session* FindSession(State& state, int32_t resource, const std::string& deviceKey,
                     int32_t* id = nullptr) {
    const auto it = state.sessionByUse.find({resource, deviceKey});
    if (it == state.sessionByUse.end()) {
        return nullptr;
    }
    if (id != nullptr) {
        *id = it->second;
    }
    return &state.sessions.at(it->second);
}

std::string Use(const Resource& resource, std::string_view device) {
    return "(" + resource.name + ", " + std::string(device) + ")";
}

// Writes a trace line for a traced session of this resource and device.
void TraceUse(State& state, int32_t resource, const std::string& deviceKey, std::string_view line) {
    int32_t id = 0;
    if (state.tracing && FindSession(state, resource, deviceKey, &id) != nullptr &&
        state.tracedSessions.count(id) != 0) {
        kora::resmgr::WriteTraceLine(state, line);
    }
}

// Forgets a device that nobody uses, locks or holds a handle of.
void Forget(State& state, const std::string& deviceKey) {
    const auto it = state.devices.find(deviceKey);
    if (it != state.devices.end() && it->second.sessions == 0 && !it->second.locked) {
        state.devices.erase(it);
    }
}

void ForgetResourceIfUnused(State& state, int32_t handle) {
    const auto it = state.resources.find(handle);
    if (it == state.resources.end() || it->second.allocations > 0) {
        return;
    }
    for (const auto& [use, id] : state.sessionByUse) {
        if (use.first == handle) {
            return;
        }
    }
    state.resourceByName.erase(kora::resmgr::FoldCase(it->second.name));
    state.resources.erase(it);
}

} // namespace

extern "C" {

int32_t RESMGR_Alloc_Resource(long reserved, const char* resourceName, int32_t* resource,
                              int32_t* warning, int32_t* error, char* message) {
    if (resource != nullptr) {
        *resource = 0;
    }
    return Serve(warning, error, message, [&](Reply& reply, State& state, auto&) {
        if (!CheckReserved(reply, reserved)) {
            return;
        }
        if (resourceName == nullptr || *resourceName == '\0' || resource == nullptr) {
            reply.fail(RESMGR_ERR_INVALID_ARGUMENT, "resource name and handle are required");
            return;
        }
        if (!state.files[RESMGR_FILE_PHYSICAL] || !state.files[RESMGR_FILE_SOFTWARE]) {
            reply.fail(RESMGR_ERR_NOT_SET_UP);
            return;
        }
        const std::string folded = kora::resmgr::FoldCase(resourceName);
        if (const auto known = state.resourceByName.find(folded);
            known != state.resourceByName.end()) {
            ++state.resources.at(known->second).allocations;
            *resource = known->second;
            return;
        }
        Resource created;
        if (const auto* section = state.files[RESMGR_FILE_SOFTWARE]->findSection(resourceName)) {
            const auto* type = section->find("Type");
            created.name = section->name();
            created.type = type != nullptr && EqualsNoCase(type->value, kBenchType)
                               ? RESMGR_RESOURCE_BENCH
                               : RESMGR_RESOURCE_SECTION;
        } else if (const auto* device = state.files[RESMGR_FILE_PHYSICAL]->findSection(
                       std::string(kDevicePrefix) + DeviceName(resourceName))) {
            created.name = device->name().substr(kDevicePrefix.size());
            created.type = RESMGR_RESOURCE_DEVICE;
        } else {
            reply.fail(RESMGR_ERR_UNKNOWN_RESOURCE, resourceName);
            return;
        }
        created.allocations = 1;
        const int32_t handle = state.nextResource++;
        state.resources.emplace(handle, std::move(created));
        state.resourceByName.emplace(folded, handle);
        *resource = handle;
    });
}

int32_t RESMGR_Get_Resource_Type(long reserved, long resource, int32_t* type, int32_t* warning,
                                 int32_t* error, char* message) {
    if (type != nullptr) {
        *type = 0;
    }
    return Serve(warning, error, message, [&](Reply& reply, State& state, auto&) {
        if (!CheckReserved(reply, reserved)) {
            return;
        }
        if (type == nullptr) {
            reply.fail(RESMGR_ERR_INVALID_ARGUMENT, "type is null");
            return;
        }
        if (const Resource* found = FindResource(reply, state, resource)) {
            *type = found->type;
        }
    });
}

int32_t RESMGR_Free_Resource(long reserved, long resource, int32_t* warning, int32_t* error,
                             char* message) {
    return Serve(warning, error, message, [&](Reply& reply, State& state, auto&) {
        if (!CheckReserved(reply, reserved)) {
            return;
        }
        Resource* found = FindResource(reply, state, resource);
        if (found == nullptr) {
            return;
        }
        if (found->allocations > 0) {
            --found->allocations;
        }
        ForgetResourceIfUnused(state, static_cast<int32_t>(resource));
    });
}

int32_t RESMGR_Get_Value(long reserved, long resource, const char* deviceSection, const char* key,
                         char* value, long valueSize, int32_t* warning, int32_t* error,
                         char* message) {
    if (value != nullptr && valueSize > 0) {
        value[0] = '\0';
    }
    return Serve(warning, error, message, [&](Reply& reply, State& state, auto&) {
        if (!CheckReserved(reply, reserved)) {
            return;
        }
        if (deviceSection == nullptr || key == nullptr || value == nullptr || valueSize <= 0) {
            reply.fail(RESMGR_ERR_INVALID_ARGUMENT,
                       "device section, key, value buffer and its size are required");
            return;
        }
        if (FindResource(reply, state, resource) == nullptr) {
            return;
        }
        const std::string sectionName = std::string(kDevicePrefix) + DeviceName(deviceSection);
        const auto* section = state.files[RESMGR_FILE_PHYSICAL]->findSection(sectionName);
        if (section == nullptr) {
            reply.fail(RESMGR_ERR_DEVICE_NOT_FOUND,
                       "[" + sectionName + "] in " + state.paths[RESMGR_FILE_PHYSICAL]);
            return;
        }
        const auto* entry = section->find(key);
        if (entry == nullptr) {
            reply.warn(RESMGR_WARN_KEY_MISSING, std::string(key) + " in [" + section->name() + "]");
            return;
        }
        if (CopyText(value, static_cast<std::size_t>(valueSize), entry->value)) {
            reply.warn(RESMGR_WARN_VALUE_CUT, std::to_string(valueSize) + " bytes");
        }
    });
}

int32_t RESMGR_Open_Session(long reserved, long resource, const char* device, int32_t* session,
                            int32_t* first, int32_t* warning, int32_t* error, char* message) {
    if (session != nullptr) {
        *session = 0;
    }
    if (first != nullptr) {
        *first = 0;
    }
    return Serve(warning, error, message, [&](Reply& reply, State& state, auto&) {
        if (!CheckReserved(reply, reserved)) {
            return;
        }
        if (session == nullptr || first == nullptr) {
            reply.fail(RESMGR_ERR_INVALID_ARGUMENT, "session and first are required");
            return;
        }
        const Resource* owner = FindResource(reply, state, resource);
        const std::string key = owner != nullptr ? CheckDevice(reply, device) : std::string();
        if (key.empty()) {
            return;
        }
        const auto handle = static_cast<int32_t>(resource);
        int32_t id = 0;
        if (Session* open = FindSession(state, handle, key, &id)) {
            ++open->opens;
        } else {
            Device& used = state.devices[key];
            if (used.name.empty()) {
                used.name = DeviceName(device);
            }
            *first = used.sessions == 0 ? 1 : 0;
            if (*first != 0) {
                used.handleSet = false;
                used.handle = -1;
            }
            ++used.sessions;
            id = state.nextSession++;
            state.sessions.emplace(id, Session{handle, key, 1});
            state.sessionByUse.emplace(std::make_pair(handle, key), id);
        }
        *session = id;
        TraceUse(state, handle, key,
                 "RESMGR_Open_Session" + Use(*owner, DeviceName(device)) + ": session " +
                     std::to_string(id) + ", first " + std::to_string(*first));
    });
}

int32_t RESMGR_Close_Session(long reserved, long resource, const char* device, int32_t* last,
                             int32_t* warning, int32_t* error, char* message) {
    if (last != nullptr) {
        *last = 0;
    }
    return Serve(warning, error, message, [&](Reply& reply, State& state, auto&) {
        if (!CheckReserved(reply, reserved)) {
            return;
        }
        if (last == nullptr) {
            reply.fail(RESMGR_ERR_INVALID_ARGUMENT, "last is null");
            return;
        }
        const Resource* owner = FindResource(reply, state, resource);
        const std::string key = owner != nullptr ? CheckDevice(reply, device) : std::string();
        if (key.empty()) {
            return;
        }
        const auto handle = static_cast<int32_t>(resource);
        int32_t id = 0;
        Session* open = FindSession(state, handle, key, &id);
        if (open == nullptr) {
            reply.fail(RESMGR_ERR_NO_SESSION, Use(*owner, DeviceName(device)));
            return;
        }
        Device& used = state.devices[key];
        const bool closes = open->opens == 1;
        const bool isLast = closes && used.sessions == 1;
        *last = isLast ? 1 : 0;
        TraceUse(state, handle, key,
                 "RESMGR_Close_Session" + Use(*owner, DeviceName(device)) + ": session " +
                     std::to_string(id) + ", last " + std::to_string(*last));
        if (!closes) {
            --open->opens;
            return;
        }
        state.sessions.erase(id);
        state.sessionByUse.erase({handle, key});
        --used.sessions;
        if (isLast) {
            used.handleSet = false;
            used.handle = -1;
        }
        Forget(state, key);
        ForgetResourceIfUnused(state, handle);
    });
}

int32_t RESMGR_Set_Session_Handle(long reserved, long resource, const char* device,
                                  long driverHandle, int32_t* warning, int32_t* error,
                                  char* message) {
    return Serve(warning, error, message, [&](Reply& reply, State& state, auto&) {
        if (!CheckReserved(reply, reserved)) {
            return;
        }
        const Resource* owner = FindResource(reply, state, resource);
        const std::string key = owner != nullptr ? CheckDevice(reply, device) : std::string();
        if (key.empty()) {
            return;
        }
        const auto handle = static_cast<int32_t>(resource);
        if (FindSession(state, handle, key) == nullptr) {
            reply.fail(RESMGR_ERR_NO_SESSION, Use(*owner, DeviceName(device)));
            return;
        }
        Device& used = state.devices.at(key);
        used.handleSet = true;
        used.handle = static_cast<int32_t>(driverHandle);
        TraceUse(state, handle, key,
                 "RESMGR_Set_Session_Handle" + Use(*owner, DeviceName(device)) + ": handle " +
                     std::to_string(driverHandle));
    });
}

int32_t RESMGR_Get_Session_Handle(long reserved, long resource, const char* device,
                                  int32_t* driverHandle, int32_t* warning, int32_t* error,
                                  char* message) {
    if (driverHandle != nullptr) {
        *driverHandle = -1;
    }
    return Serve(warning, error, message, [&](Reply& reply, State& state, auto&) {
        if (!CheckReserved(reply, reserved)) {
            return;
        }
        if (driverHandle == nullptr) {
            reply.fail(RESMGR_ERR_INVALID_ARGUMENT, "driver handle is null");
            return;
        }
        if (resource != 0 && FindResource(reply, state, resource) == nullptr) {
            return;
        }
        const std::string key = CheckDevice(reply, device);
        if (key.empty()) {
            return;
        }
        const auto it = state.devices.find(key);
        if (it == state.devices.end() || it->second.sessions == 0) {
            reply.fail(RESMGR_ERR_NO_SESSION, DeviceName(device));
            return;
        }
        if (!it->second.handleSet) {
            reply.fail(RESMGR_ERR_NO_HANDLE, it->second.name);
            return;
        }
        *driverHandle = it->second.handle;
    });
}

int32_t RESMGR_Lock_Device(long reserved, long resource, const char* device, long timeoutMs,
                           int32_t* warning, int32_t* error, char* message) {
    return Serve(warning, error, message, [&](Reply& reply, State& state, auto& lock) {
        if (!CheckReserved(reply, reserved)) {
            return;
        }
        if (timeoutMs < 0) {
            reply.fail(RESMGR_ERR_INVALID_ARGUMENT, "negative time-out");
            return;
        }
        const Resource* owner = FindResource(reply, state, resource);
        const std::string key = owner != nullptr ? CheckDevice(reply, device) : std::string();
        if (key.empty()) {
            return;
        }
        const std::string use = Use(*owner, DeviceName(device));
        const auto self = std::this_thread::get_id();
        const auto handle = static_cast<int32_t>(resource);
        if (const auto it = state.devices.find(key);
            it != state.devices.end() && it->second.locked && it->second.owner == self) {
            reply.warn(RESMGR_WARN_ALREADY_LOCKED, use);
            return;
        }
        // The device record may go while we wait (a full cleanup): look it up again each time.
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::milliseconds(static_cast<int64_t>(timeoutMs));
        const bool free = state.unlocked.wait_until(lock, deadline, [&] {
            const auto it = state.devices.find(key);
            return it == state.devices.end() || !it->second.locked;
        });
        if (!free) {
            reply.fail(RESMGR_ERR_LOCK_TIMEOUT,
                       use + " after " + std::to_string(timeoutMs) + " ms");
            return;
        }
        if (state.resources.count(handle) == 0) {
            reply.fail(RESMGR_ERR_INVALID_RESOURCE,
                       std::to_string(resource) + " (released while waiting for the lock)");
            return;
        }
        Device& used = state.devices[key];
        if (used.name.empty()) {
            used.name = DeviceName(device);
        }
        used.locked = true;
        used.owner = self;
        TraceUse(state, handle, key, "RESMGR_Lock_Device" + use);
    });
}

int32_t RESMGR_Unlock_Device(long reserved, long resource, const char* device, int32_t* warning,
                             int32_t* error, char* message) {
    return Serve(warning, error, message, [&](Reply& reply, State& state, auto&) {
        if (!CheckReserved(reply, reserved)) {
            return;
        }
        const Resource* owner = FindResource(reply, state, resource);
        const std::string key = owner != nullptr ? CheckDevice(reply, device) : std::string();
        if (key.empty()) {
            return;
        }
        const std::string use = Use(*owner, DeviceName(device));
        const auto it = state.devices.find(key);
        if (it == state.devices.end() || !it->second.locked) {
            reply.fail(RESMGR_ERR_NOT_LOCKED, use);
            return;
        }
        if (it->second.owner != std::this_thread::get_id()) {
            reply.fail(RESMGR_ERR_NOT_LOCK_OWNER, use);
            return;
        }
        it->second.locked = false;
        TraceUse(state, static_cast<int32_t>(resource), key, "RESMGR_Unlock_Device" + use);
        Forget(state, key);
        state.unlocked.notify_all();
    });
}

} // extern "C"
