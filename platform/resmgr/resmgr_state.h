// Process-wide state of the resource manager and the helpers that every C entry point shares.
// One mutex guards all of it; the C entry points take it for the whole call.
#ifndef KORA_PLATFORM_RESMGR_STATE_H
#define KORA_PLATFORM_RESMGR_STATE_H

#include "ini_file.h"

#include <resmgr.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>

namespace kora::resmgr {

struct Resource {
    std::string name; // as written in the configuration
    int32_t type = RESMGR_RESOURCE_SECTION;
    int allocations = 0;
};

// One resource's use of one device; opened again by the same resource it counts up.
struct Session {
    int32_t resource = 0;
    std::string device; // folded device key
    int opens = 0;
};

struct Device {
    std::string name; // as first given
    int sessions = 0; // open sessions of all resources
    bool handleSet = false;
    int32_t handle = -1;
    bool locked = false;
    std::thread::id owner;
};

struct State {
    std::mutex mutex;
    std::condition_variable unlocked; // a device lock was released (or everything was)

    std::optional<IniFile> files[2]; // RESMGR_FILE_PHYSICAL, RESMGR_FILE_SOFTWARE
    std::string paths[2];
    // Counts the loads of configuration files, so that the virtual bench can tell a new set-up
    // from the one it was built for without taking the lock.
    std::atomic<uint64_t> setups{0};
    std::set<std::thread::id> clients; // threads that called RESMGR_Setup

    std::map<int32_t, Resource> resources;
    std::unordered_map<std::string, int32_t> resourceByName; // folded name -> handle
    std::map<int32_t, Session> sessions;
    std::map<std::pair<int32_t, std::string>, int32_t> sessionByUse; // (resource, device) -> id
    std::unordered_map<std::string, Device> devices;                 // folded device key
    int32_t nextResource = 1;
    int32_t nextSession = 1;

    bool tracing = false;
    std::set<long> tracedSessions;
    // tracing && !tracedSessions.empty(), readable without the lock.
    std::atomic<bool> anyTraced{false};
    std::deque<std::string> traceLines; // kept when no trace file is named
};

State& GlobalState();

// Drops configuration, resources, sessions, handles, locks and trace flags (mutex held).
void ReleaseEverything(State& state);

// The device key of "device->NAME" or "NAME": the trimmed name without the prefix, folded.
std::string DeviceName(std::string_view text);
std::string DeviceKey(std::string_view text);

// Appends one trace line to the trace file or the in-memory trace (mutex held). Returns 0 or
// RESMGR_ERR_TRACE_FILE.
int32_t WriteTraceLine(State& state, std::string_view line);

const char* CodeText(int32_t code);

// Copies text into a buffer of `size` bytes, cut and always terminated. Returns true when cut.
bool CopyText(char* buffer, std::size_t size, std::string_view text);

// The warning, error and message out-values of one call. Cleared on construction; the first
// error wins, a warning fills the message only while there is no error.
class Reply {
  public:
    Reply(int32_t* warning, int32_t* error, char* message);

    int32_t fail(int32_t code, std::string_view detail = {});
    void warn(int32_t code, std::string_view detail = {});
    int32_t result() const { return error_; }

  private:
    void writeMessage(int32_t code, std::string_view detail);

    int32_t* warningOut_;
    int32_t* errorOut_;
    char* message_;
    int32_t warning_ = 0;
    int32_t error_ = 0;
};

// The reserved first argument of every call must be 0.
inline bool CheckReserved(Reply& reply, long reserved) {
    if (reserved != 0) {
        reply.fail(RESMGR_ERR_INVALID_ARGUMENT, "first argument must be 0");
        return false;
    }
    return true;
}

// Runs body(reply, state, lock) with the state mutex held; no exception leaves.
template <class Body> int32_t Serve(int32_t* warning, int32_t* error, char* message, Body&& body) {
    Reply reply(warning, error, message);
    try {
        State& state = GlobalState();
        std::unique_lock lock(state.mutex);
        body(reply, state, lock);
    } catch (const std::bad_alloc&) {
        reply.fail(RESMGR_ERR_INTERNAL, "out of memory");
    } catch (...) {
        reply.fail(RESMGR_ERR_INTERNAL, "unexpected exception");
    }
    return reply.result();
}

} // namespace kora::resmgr

#endif
