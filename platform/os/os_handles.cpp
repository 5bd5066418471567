// Last error and the handle table of the operating-system layer.
#include <cerrno>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "os_internal.h"

namespace kora::os {
namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

// Handle numbers start well above the pseudo handles (-1, -2) and null and advance in steps of
// four, as handles do on the target platform; they are never handed out twice.
constexpr uintptr_t kFirstHandle = 0x1000;
constexpr uintptr_t kHandleStep = 4;

struct HandleTable {
    std::mutex mutex;
    uintptr_t next = kFirstHandle;
    std::unordered_map<uintptr_t, std::shared_ptr<HandleObject>> objects;
};

HandleTable& Table() {
    static HandleTable table;
    return table;
}

} // namespace

DWORD ErrorFromErrno(int error) {
    switch (error) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EBUSY:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case EINVAL:
    case ENOTTY:
        return ERROR_INVALID_PARAMETER;
    case ENAMETOOLONG:
        return ERROR_INVALID_NAME;
    case EAFNOSUPPORT:
    case EPROTONOSUPPORT:
    case ENOSYS:
        return ERROR_NOT_SUPPORTED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

void SetLastErrorFromErrno(int error) {
    t_lastError = ErrorFromErrno(error);
}

HANDLE RegisterHandle(std::shared_ptr<HandleObject> object) {
    HandleTable& table = Table();
    std::lock_guard lock(table.mutex);
    const uintptr_t value = table.next;
    table.next += kHandleStep;
    table.objects.emplace(value, std::move(object));
    // Handles are numbers, not addresses.
    return reinterpret_cast<HANDLE>(value); // NOLINT(performance-no-int-to-ptr)
}

std::shared_ptr<HandleObject> LookupHandle(HANDLE handle) {
    HandleTable& table = Table();
    std::lock_guard lock(table.mutex);
    const auto found = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    return found == table.objects.end() ? nullptr : found->second;
}

std::shared_ptr<HandleObject> UnregisterHandle(HANDLE handle) {
    HandleTable& table = Table();
    std::lock_guard lock(table.mutex);
    const auto found = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (found == table.objects.end()) {
        return nullptr;
    }
    std::shared_ptr<HandleObject> object = std::move(found->second);
    table.objects.erase(found);
    return object;
}

} // namespace kora::os

extern "C" {

DWORD GetLastError(void) {
    return kora::os::t_lastError;
}

void SetLastError(DWORD errorCode) {
    kora::os::t_lastError = errorCode;
}

BOOL CloseHandle(HANDLE object) {
    if (object == GetCurrentProcess() || object == GetCurrentThread()) {
        return TRUE; // pseudo handles need no closing
    }
    // The object (and its descriptor) goes when the last call still using it returns.
    if (!kora::os::UnregisterHandle(object)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

} // extern "C"
