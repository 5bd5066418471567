// Internals shared by the files of the operating-system layer: the last-error store and the
// table of handles that CreateFileA and IcmpCreateFile hand out.
#pragma once

#include <cstdint>
#include <memory>

#include "winapi.h"

namespace kora::os {

// Sets the calling thread's last error from an errno value.
void SetLastErrorFromErrno(int error);
// The last-error code that corresponds to an errno value.
DWORD ErrorFromErrno(int error);

// Hands a wait of `milliseconds` to the installed sleep hook (the virtual bench clock); false when
// none is installed, which means waits are real.
bool WaitOnSleepHook(DWORD milliseconds);
// True while a sleep hook is installed.
bool SleepHookInstalled();

// Something a HANDLE of this layer stands for. Handles are numbers that are never reused, so a
// stale or forged handle is refused instead of reaching freed memory.
class HandleObject {
  public:
    virtual ~HandleObject() = default;
};

HANDLE RegisterHandle(std::shared_ptr<HandleObject> object);
// The object of a handle, or null when the handle is not (or no longer) one of ours.
std::shared_ptr<HandleObject> LookupHandle(HANDLE handle);
// Removes a handle from the table and returns its object (null when unknown).
std::shared_ptr<HandleObject> UnregisterHandle(HANDLE handle);

// Typed lookup: null when the handle is unknown or stands for something else.
template <typename T> std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

} // namespace kora::os
