// What the instrument-class library stand-ins (DMM, DCPWR, DIOMGR, FUNCGEN, ROUTE, SIGANL, UTIL)
// share: the frame of one call with its status block, the table of open sessions, and state kept
// per virtual bench.
//
// A class-library call takes the reserved context 0 first and ends with the status block
// (warning, error, message; platform_types.h). The journal shows the arguments between the two,
// as passed; the status block is left out of it, since every call has one.
#pragma once

#include "driver_status.h"

#include <vbench/bench/journal.h>
#include <vbench/bench/virtual_bench.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kora::drivers {

// The constants a class library hands to the shared code: its name and its codes for the
// failures every library has.
struct ClassLibrary {
    const char* interface;           // journal interface name ("DMM")
    std::span<const StatusText> own; // the library's codes and their texts
    int32_t contextError;            // a reserved context that is not 0
    int32_t noBench;                 // a call that needs a bench when none is active
    int32_t invalidHandle;           // a handle or session that is not open (on this bench)
    int32_t nullPointer;             // a required pointer is null
    int32_t invalidSetting;          // a setting text that is not one of the call's words
    int32_t invalidValue;            // a number out of the allowed range
    int32_t notPresent;              // the station has no device with the resource descriptor
};

// What the body of a call hands back: a status and, for the message, what was wrong.
struct Outcome {
    int32_t status = 0;
    std::string detail;
    Outcome(int32_t s = 0) : status(s) {}
    Outcome(int32_t s, std::string d) : status(s), detail(std::move(d)) {}
};

// One call of a class library: clears the status block, counts the call for fault injection and
// checks the reserved context. When early() is not 0 the body must not run and the call ends
// with finish(early()); an injected fault then carries its own message.
//     ClassLibCall call(kDmm, __func__, FormatArgs(context, handle), context, warning, error,
//                       message);
//     if (call.early()) return call.finish(call.early());
//     ...
//     return call.finish(status);
class ClassLibCall {
  public:
    ClassLibCall(const ClassLibrary& library, const char* function, std::string arguments,
                 long context, int32_t* warning, int32_t* error, char* message);
    ClassLibCall(const ClassLibCall&) = delete;
    ClassLibCall& operator=(const ClassLibCall&) = delete;

    vbench::VirtualBench* bench() const { return call_.bench(); }
    const vbench::DriverCall& driverCall() const { return call_; }
    int32_t early() const { return early_; }

    // Ends the call: a negative status goes to the error out-value, a positive one to the warning,
    // and the message receives the status's text, followed by ": " and `detail` when one is
    // given (the text of the library's no-bench status also says why no station is active).
    // Returns the status. Later calls do nothing.
    int32_t finish(int32_t status, const std::string& detail = {});

  private:
    const ClassLibrary& library_;
    vbench::DriverCall call_;
    int32_t* warning_;
    int32_t* error_;
    char* message_;
    int32_t early_ = 0;
    bool finished_ = false;
};

// The text of a class-library status: an injected fault's message for its code, then the
// library's own table, then "Unknown status code ...".
std::string ClassLibStatusText(const ClassLibrary& library, vbench::VirtualBench* bench,
                               int32_t status);

// Copies `text` into a buffer of `size` bytes, cut and terminated.
void CopyOut(char* buffer, std::size_t size, const std::string& text);

// The word of `words` that `text` is (without regard to case), else null.
const char* MatchWord(const char* text, std::span<const char* const> words);
// The failure of a setting text that is none of `words`: "<what> 'TEXT' (one of A, B, ...)".
Outcome BadSetting(const ClassLibrary& library, const char* what, const char* text,
                   std::span<const char* const> words);
// The failure of a number out of range: "<what> <value> (<allowed>)".
Outcome BadValue(const ClassLibrary& library, const char* what, double value, const char* allowed);
// Upper-case copy of a text (null is "").
std::string UpperCase(const char* text);

// Open sessions of a library, each bound to the bench that was active when it was opened (or to
// none): a session is only found again while that same bench is active, so a handle from an
// earlier station is refused instead of acting on another one. Handles are positive: counted up
// from 1, or for an instrument the number of the resource-manager session the library holds on
// its device (openOnDevice), which is what a bench's trace flag for that instrument names.
template <typename T> class ClassSessions {
  public:
    int32_t open(const vbench::DriverCall& call, T data) {
        std::lock_guard lock(mutex_);
        while (entries_.count(next_) != 0) {
            ++next_;
        }
        return add(call, next_++, std::move(data), false);
    }
    int32_t openOnDevice(const vbench::DriverCall& call, T data, const std::string& device) {
        std::lock_guard lock(mutex_);
        int32_t handle = LibrarySession(device);
        // Numbers start again from 1 only when the resource manager is reset under open
        // handles (tests); skip those still taken.
        while (entries_.count(handle) != 0) {
            handle = LibrarySession(device);
        }
        return add(call, handle, std::move(data), true);
    }
    // The session of `handle` on the call's bench; null when there is none. The pointer stays
    // valid until the session is closed.
    T* find(const vbench::DriverCall& call, long handle) {
        std::lock_guard lock(mutex_);
        auto it = entries_.find(handle);
        if (it == entries_.end()) {
            return nullptr;
        }
        const Entry& e = it->second;
        const bool same = e.bound ? call.bench() && e.bench.lock().get() == call.bench()
                                  : call.bench() == nullptr;
        return same ? &it->second.data : nullptr;
    }
    // Whether a session that holds what it opened on the call's bench (or, without a bench, one
    // of no bench) is one for which `pick` is true. A session that this thread opened before the
    // resource manager was last set up holds nothing: its program ended without closing it (the
    // clean-up broke off at a failure), and the thread's next program is setting up.
    template <typename Pick> bool anyHeldOnBench(const vbench::DriverCall& call, Pick&& pick) {
        std::lock_guard lock(mutex_);
        const auto self = std::this_thread::get_id();
        const uint64_t setups = ResourceManagerSetups();
        for (const auto& [handle, e] : entries_) {
            const bool same = e.bound ? call.bench() && e.bench.lock().get() == call.bench()
                                      : call.bench() == nullptr;
            const bool left = e.thread == self && e.setups != setups;
            if (same && !left && pick(e.data)) {
                return true;
            }
        }
        return false;
    }
    bool close(long handle) {
        std::lock_guard lock(mutex_);
        const auto it = entries_.find(handle);
        if (it == entries_.end()) {
            return false;
        }
        if (it->second.librarySession) {
            EndLibrarySession(static_cast<int32_t>(handle));
        }
        entries_.erase(it);
        return true;
    }

  private:
    struct Entry {
        bool bound = false;
        bool librarySession = false;
        std::weak_ptr<vbench::VirtualBench> bench;
        std::thread::id thread; // that opened it
        uint64_t setups = 0;    // of the resource manager when it was opened
        T data;
    };
    int32_t add(const vbench::DriverCall& call, int32_t handle, T data, bool librarySession) {
        Entry& e = entries_[handle];
        e.bound = call.bench() != nullptr;
        if (e.bound) {
            e.bench = vbench::VirtualBench::active();
        }
        e.librarySession = librarySession;
        e.thread = std::this_thread::get_id();
        e.setups = ResourceManagerSetups();
        e.data = std::move(data);
        return handle;
    }
    std::mutex mutex_;
    std::map<long, Entry> entries_;
    int32_t next_ = 1;
};

// State a driver keeps per virtual bench (a card's ports, a module's relays), shared by every
// session on that bench and gone with it. Without a bench (simulated devices) there is one more
// state of its own.
template <typename T> class PerBench {
  public:
    T& of(const vbench::VirtualBench* bench) {
        std::lock_guard lock(mutex_);
        for (auto it = states_.begin(); it != states_.end();) {
            it = it->first && it->second.bench.expired() ? states_.erase(it) : std::next(it);
        }
        auto it = states_.find(bench);
        if (it == states_.end()) {
            Entry e;
            if (bench) {
                e.bench = vbench::VirtualBench::active();
            }
            it = states_.emplace(bench, std::move(e)).first;
        }
        return it->second.data;
    }

  private:
    struct Entry {
        std::weak_ptr<vbench::VirtualBench> bench;
        T data;
    };
    std::mutex mutex_;
    std::map<const vbench::VirtualBench*, Entry> states_;
};

// The frame of a call on an open session: journal, fault, context and handle check; the body
// runs on the session's state and its outcome finishes the call.
template <typename T, typename Body>
int32_t WithClassSession(const ClassLibrary& library, ClassSessions<T>& table, const char* function,
                         std::string arguments, long context, long handle, int32_t* warning,
                         int32_t* error, char* message, Body&& body) {
    std::string traced = DriverTraceWanted() ? arguments : std::string();
    ClassLibCall call(library, function, std::move(arguments), context, warning, error, message);
    int32_t status = call.early();
    if (status == 0) {
        T* state = table.find(call.driverCall(), handle);
        if (!state) {
            status = call.finish(library.invalidHandle);
        } else {
            const Outcome outcome = body(*state, call);
            status = call.finish(outcome.status, outcome.detail);
        }
    } else {
        status = call.finish(status);
    }
    if (DriverTraceWanted()) {
        TraceSessionCall(handle, function, traced, status);
    }
    return status;
}

// The device an instrument's Setup opens (see OpenStationDevice): the station's name for its
// resource descriptor, and whether it is simulated.
struct OpenedDevice {
    std::string name;     // as the caller named it
    std::string device;   // the station device reached
    std::string resource; // as passed
    bool simulated = false;
};

// The Setup of an instrument opened by device name, resource descriptor and driver options: a
// driver option "Simulate=1" (with acceptTrue also "Simulate=true") opens it without hardware,
// otherwise the station must hold a device with that resource descriptor. `make` builds the
// session's state from the opened device; the handle is -1 after a failure.
template <typename T, typename Make>
int32_t SetupInstrument(const ClassLibrary& library, ClassSessions<T>& table, const char* function,
                        long context, const char* deviceName, const char* resourceDesc,
                        const char* driverOption, bool acceptTrue, int32_t* handle,
                        int32_t* warning, int32_t* error, char* message, Make&& make) {
    ClassLibCall call(library, function,
                      vbench::FormatArgs(context, deviceName, resourceDesc, driverOption, handle),
                      context, warning, error, message);
    if (handle) {
        *handle = -1;
    }
    if (call.early()) {
        return call.finish(call.early());
    }
    if (!handle || !resourceDesc) {
        return call.finish(library.nullPointer);
    }
    OpenedDevice opened;
    opened.name = deviceName ? deviceName : "";
    opened.resource = resourceDesc;
    opened.simulated = OptionSimulates(driverOption, acceptTrue);
    const ViStatus status =
        OpenStationDevice(call.driverCall(), resourceDesc, opened.simulated, &opened.device);
    if (status == kErrNoBench) {
        return call.finish(library.noBench);
    }
    if (status != VI_SUCCESS) {
        return call.finish(library.notPresent, "no device of the station has the resource "
                                               "descriptor '" +
                                                   opened.resource + "' (device " + opened.name +
                                                   ")");
    }
    *handle = table.openOnDevice(call.driverCall(), make(opened), opened.device);
    return call.finish(0);
}

// Closes a session opened by a Setup.
template <typename T>
int32_t CleanupSession(const ClassLibrary& library, ClassSessions<T>& table, const char* function,
                       long context, long handle, int32_t* warning, int32_t* error, char* message) {
    ClassLibCall call(library, function, vbench::FormatArgs(context, handle), context, warning,
                      error, message);
    if (call.early()) {
        return call.finish(call.early());
    }
    if (!table.find(call.driverCall(), handle)) {
        return call.finish(library.invalidHandle);
    }
    table.close(handle);
    return call.finish(0);
}

// Reads of the resource manager's configuration (file 0 the physical layer file, 1 the software
// configuration). Each returns false, with the resource manager's message in *problem, when the
// resource manager fails (not set up, say); a missing key or section is no failure.
struct ConfigKey {
    bool found = false;
    std::string value;
};
bool ReadConfigKey(long file, const std::string& section, const std::string& key, ConfigKey* out,
                   std::string* problem);
// The keys of a section in file order; *exists false when there is no such section.
bool ReadConfigSection(long file, const std::string& section, bool* exists,
                       std::vector<std::pair<std::string, std::string>>* keys,
                       std::string* problem);
// The device name a configuration value names: the text after the first "->" when it holds one.
std::string DeviceNameOf(const std::string& value);

// The version text of a library.
int32_t LibVersion(const ClassLibrary& library, const char* function, long context, char* version,
                   const char* text, int32_t* warning, int32_t* error, char* message);

} // namespace kora::drivers
