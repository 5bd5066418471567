// Files and serial ports: CopyFileA, CreateFileA, ReadFile, WriteFile and the port state calls.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "os_internal.h"
#include "os_termios.h"

namespace kora::os {
namespace {

using Clock = std::chrono::steady_clock;

// ---- serial port naming -----------------------------------------------------------------------

// The port number of "COMn" or "\\.\COMn" (n = 1..255, any letter case), nullopt for other names.
std::optional<int> ComPortNumber(const char* name) {
    std::string_view text(name);
    if (text.starts_with("\\\\.\\")) {
        text.remove_prefix(4);
    }
    if (text.size() < 4 || text.size() > 6) {
        return std::nullopt;
    }
    for (size_t i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(text[i])) != "COM"[i]) {
            return std::nullopt;
        }
    }
    const std::string_view digits = text.substr(3);
    if (digits.front() == '0') {
        return std::nullopt;
    }
    int number = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        number = number * 10 + (c - '0');
    }
    if (number < 1 || number > 255) {
        return std::nullopt;
    }
    return number;
}

// KORA_COM<n> when set (a test's pseudo-terminal or file), else the n-th serial device.
std::string ComPortPath(int number) {
    const std::string variable = "KORA_COM" + std::to_string(number);
    if (const char* path = std::getenv(variable.c_str()); path != nullptr && *path != '\0') {
        return path;
    }
    return "/dev/ttyS" + std::to_string(number - 1);
}

// ---- open files and ports ---------------------------------------------------------------------

class FileObject final : public HandleObject {
  public:
    FileObject(int fd, bool isPort, bool isTerminal)
        : fd(fd), isPort(isPort), isTerminal(isTerminal) {}
    ~FileObject() override { ::close(fd); }
    FileObject(const FileObject&) = delete;
    FileObject& operator=(const FileObject&) = delete;

    const int fd;
    const bool isPort;     // opened as "COMn"
    const bool isTerminal; // the port is a terminal device (termios applies)
    std::mutex stateMutex; // guards dcb and timeouts
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
};

// A terminal becomes a raw byte channel, as a serial port is on the target platform; reads are
// timed by poll, so the terminal itself never waits (VMIN = VTIME = 0).
bool MakeRaw(int fd) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        return false;
    }
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &settings) == 0;
}

std::shared_ptr<FileObject> PortOf(HANDLE handle) {
    std::shared_ptr<FileObject> file = LookupHandleAs<FileObject>(handle);
    if (!file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!file->isPort) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return nullptr;
    }
    return file;
}

// ---- timed transfers --------------------------------------------------------------------------

// Milliseconds from now to deadline for poll, at least 0, rounded up so that poll does not wake
// a hair early and spin.
int MillisecondsUntil(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms);
}

// Waits until fd is ready for `events` or `timeoutMs` passed (-1: no limit). Returns the revents,
// 0 on time-out, -1 on error (errno set).
int WaitFor(int fd, short events, int timeoutMs) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, timeoutMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return ready;
        }
        return entry.revents;
    }
}

// How long bytes already under way from the other end of a line get to arrive, in real time,
// before a read on the virtual clock gives the line up as silent.
constexpr int kArrivalGraceMs = 100;

// A read under the port's time-outs on the virtual bench clock. The other end of the line is a
// real process, so arriving bytes are waited for in real time, but only briefly: a line that
// stays quiet for the grace is silent until the time-out, which then passes on the virtual clock
// at once. Bytes take no virtual time.
bool ReadPortVirtual(FileObject& port, const COMMTIMEOUTS& timeouts, unsigned char* buffer,
                     DWORD count, DWORD& done) {
    std::optional<uint64_t> total;    // ms of the whole read
    std::optional<uint64_t> interval; // ms between two bytes
    bool returnWhenAnyArrived = false;
    if (timeouts.ReadIntervalTimeout == MAXDWORD && timeouts.ReadTotalTimeoutMultiplier == 0 &&
        timeouts.ReadTotalTimeoutConstant == 0) {
        total = 0;
    } else if (timeouts.ReadIntervalTimeout == MAXDWORD &&
               timeouts.ReadTotalTimeoutMultiplier == MAXDWORD &&
               timeouts.ReadTotalTimeoutConstant != 0 &&
               timeouts.ReadTotalTimeoutConstant != MAXDWORD) {
        total = timeouts.ReadTotalTimeoutConstant;
        returnWhenAnyArrived = true;
    } else {
        if (timeouts.ReadTotalTimeoutMultiplier != 0 || timeouts.ReadTotalTimeoutConstant != 0) {
            total = static_cast<uint64_t>(timeouts.ReadTotalTimeoutMultiplier) * count +
                    timeouts.ReadTotalTimeoutConstant;
        }
        if (timeouts.ReadIntervalTimeout != 0) {
            interval = timeouts.ReadIntervalTimeout;
        }
    }
    done = 0;
    uint64_t elapsed = 0; // virtual ms since the read began
    while (done < count) {
        std::optional<uint64_t> budget;
        if (total) {
            budget = *total > elapsed ? *total - elapsed : 0;
        }
        if (interval && done > 0) {
            budget = budget ? std::min(*budget, *interval) : *interval;
        }
        const int realWait =
            budget ? static_cast<int>(std::min<uint64_t>(*budget, kArrivalGraceMs)) : -1;
        const int ready = WaitFor(port.fd, POLLIN, realWait);
        if (ready < 0) {
            SetLastErrorFromErrno(errno);
            return false;
        }
        if (ready == 0) {
            WaitOnSleepHook(static_cast<DWORD>(*budget)); // the rest of the quiet time
            break;
        }
        if ((ready & POLLIN) == 0) {
            break;
        }
        const ssize_t got = ::read(port.fd, buffer + done, count - done);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (got < 0 && errno != EIO) {
            SetLastErrorFromErrno(errno);
            return false;
        }
        if (got <= 0) {
            break;
        }
        done += static_cast<DWORD>(got);
        if (returnWhenAnyArrived) {
            break;
        }
    }
    return true;
}

// Reads a port that is a terminal under the port's time-outs (see COMMTIMEOUTS in winapi.h).
bool ReadPort(FileObject& port, unsigned char* buffer, DWORD count, DWORD& done) {
    COMMTIMEOUTS timeouts;
    {
        std::lock_guard lock(port.stateMutex);
        timeouts = port.timeouts;
    }
    if (SleepHookInstalled()) {
        return ReadPortVirtual(port, timeouts, buffer, count, done);
    }
    const Clock::time_point start = Clock::now();
    std::optional<Clock::time_point> totalDeadline;
    std::optional<std::chrono::milliseconds> interval;
    bool returnWhenAnyArrived = false;

    if (timeouts.ReadIntervalTimeout == MAXDWORD && timeouts.ReadTotalTimeoutMultiplier == 0 &&
        timeouts.ReadTotalTimeoutConstant == 0) {
        totalDeadline = start; // what has arrived, at once
    } else if (timeouts.ReadIntervalTimeout == MAXDWORD &&
               timeouts.ReadTotalTimeoutMultiplier == MAXDWORD &&
               timeouts.ReadTotalTimeoutConstant != 0 &&
               timeouts.ReadTotalTimeoutConstant != MAXDWORD) {
        totalDeadline = start + std::chrono::milliseconds(timeouts.ReadTotalTimeoutConstant);
        returnWhenAnyArrived = true;
    } else {
        if (timeouts.ReadTotalTimeoutMultiplier != 0 || timeouts.ReadTotalTimeoutConstant != 0) {
            const uint64_t total =
                static_cast<uint64_t>(timeouts.ReadTotalTimeoutMultiplier) * count +
                timeouts.ReadTotalTimeoutConstant;
            totalDeadline = start + std::chrono::milliseconds(total);
        }
        if (timeouts.ReadIntervalTimeout != 0) {
            interval = std::chrono::milliseconds(timeouts.ReadIntervalTimeout);
        }
    }

    done = 0;
    Clock::time_point lastByte = start;
    while (done < count) {
        int waitMs = -1;
        if (totalDeadline) {
            waitMs = MillisecondsUntil(*totalDeadline);
        }
        if (interval && done > 0) {
            const int intervalMs = MillisecondsUntil(lastByte + *interval);
            waitMs = waitMs < 0 ? intervalMs : std::min(waitMs, intervalMs);
        }
        const int ready = WaitFor(port.fd, POLLIN, waitMs);
        if (ready < 0) {
            SetLastErrorFromErrno(errno);
            return false;
        }
        if (ready == 0) {
            break; // a time-out ends the read; what arrived is the result
        }
        if ((ready & POLLIN) == 0) {
            break; // hang-up or error without data: nothing more will come
        }
        const ssize_t got = ::read(port.fd, buffer + done, count - done);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            if (errno == EIO) {
                break; // the other side of the line went away
            }
            SetLastErrorFromErrno(errno);
            return false;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<DWORD>(got);
        lastByte = Clock::now();
        if (returnWhenAnyArrived) {
            break;
        }
    }
    return true;
}

// Writes to a port that is a terminal within the port's write time-outs.
bool WritePort(FileObject& port, const unsigned char* buffer, DWORD count, DWORD& done) {
    COMMTIMEOUTS timeouts;
    {
        std::lock_guard lock(port.stateMutex);
        timeouts = port.timeouts;
    }
    std::optional<Clock::time_point> deadline;
    if (timeouts.WriteTotalTimeoutMultiplier != 0 || timeouts.WriteTotalTimeoutConstant != 0) {
        const uint64_t total = static_cast<uint64_t>(timeouts.WriteTotalTimeoutMultiplier) * count +
                               timeouts.WriteTotalTimeoutConstant;
        deadline = Clock::now() + std::chrono::milliseconds(total);
    }
    done = 0;
    while (done < count) {
        const int ready = WaitFor(port.fd, POLLOUT, deadline ? MillisecondsUntil(*deadline) : -1);
        if (ready < 0) {
            SetLastErrorFromErrno(errno);
            return false;
        }
        if (ready == 0) {
            break; // time-out: the count written tells the caller
        }
        if ((ready & POLLOUT) == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        const ssize_t put = ::write(port.fd, buffer + done, count - done);
        if (put < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            SetLastErrorFromErrno(errno);
            return false;
        }
        done += static_cast<DWORD>(put);
    }
    return true;
}

// Plain files: everything up to the end (read) or everything (write), no time-outs.
bool ReadPlain(int fd, unsigned char* buffer, DWORD count, DWORD& done) {
    done = 0;
    while (done < count) {
        const ssize_t got = ::read(fd, buffer + done, count - done);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            SetLastErrorFromErrno(errno);
            return false;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<DWORD>(got);
    }
    return true;
}

bool WritePlain(int fd, const unsigned char* buffer, DWORD count, DWORD& done) {
    done = 0;
    while (done < count) {
        const ssize_t put = ::write(fd, buffer + done, count - done);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            SetLastErrorFromErrno(errno);
            return false;
        }
        done += static_cast<DWORD>(put);
    }
    return true;
}

// The error of a failed open: a missing file is ERROR_FILE_NOT_FOUND, a missing directory on the
// way to it ERROR_PATH_NOT_FOUND, as the target platform tells them apart.
void SetOpenError(int error, const char* path) {
    if (error == ENOENT) {
        std::string directory(path);
        const size_t slash = directory.find_last_of('/');
        directory =
            slash == std::string::npos ? "." : (slash == 0 ? "/" : directory.substr(0, slash));
        struct stat info {};
        SetLastError(::stat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode)
                         ? ERROR_FILE_NOT_FOUND
                         : ERROR_PATH_NOT_FOUND);
        return;
    }
    SetLastErrorFromErrno(error);
}

// ---- copying ----------------------------------------------------------------------------------

// Closes a descriptor when it goes out of scope.
struct FdGuard {
    int fd = -1;
    ~FdGuard() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

bool CopyContent(int from, int to) {
    char block[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(from, block, sizeof block);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (got == 0) {
            return true;
        }
        DWORD written = 0;
        if (!WritePlain(to, reinterpret_cast<const unsigned char*>(block), static_cast<DWORD>(got),
                        written)) {
            return false;
        }
    }
}

} // namespace
} // namespace kora::os

using kora::os::FileObject;

extern "C" {

BOOL CopyFileA(LPCSTR existingFileName, LPCSTR newFileName, BOOL failIfExists) {
    if (existingFileName == nullptr || newFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    kora::os::FdGuard source{::open(existingFileName, O_RDONLY | O_CLOEXEC)};
    if (source.fd < 0) {
        kora::os::SetOpenError(errno, existingFileName);
        return FALSE;
    }
    struct stat sourceInfo {};
    if (::fstat(source.fd, &sourceInfo) != 0) {
        kora::os::SetLastErrorFromErrno(errno);
        return FALSE;
    }
    if (S_ISDIR(sourceInfo.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // Truncating the destination must not destroy the source when both name the same file.
    struct stat targetInfo {};
    if (::stat(newFileName, &targetInfo) == 0 && targetInfo.st_dev == sourceInfo.st_dev &&
        targetInfo.st_ino == sourceInfo.st_ino) {
        SetLastError(failIfExists ? ERROR_FILE_EXISTS : ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (failIfExists ? O_EXCL : O_TRUNC);
    kora::os::FdGuard target{::open(newFileName, flags, sourceInfo.st_mode & 07777)};
    if (target.fd < 0) {
        kora::os::SetOpenError(errno, newFileName);
        return FALSE;
    }
    if (!kora::os::CopyContent(source.fd, target.fd)) {
        kora::os::SetLastErrorFromErrno(errno);
        return FALSE;
    }
    // An existing destination keeps its own mode after O_TRUNC; the copy takes the source's.
    if (::fchmod(target.fd, sourceInfo.st_mode & 07777) != 0) {
        kora::os::SetLastErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile) {
    (void)securityAttributes;
    (void)flagsAndAttributes;
    (void)templateFile;
    if (fileName == nullptr || *fileName == '\0') {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    const std::optional<int> port = kora::os::ComPortNumber(fileName);
    const std::string path = port ? kora::os::ComPortPath(*port) : std::string(fileName);

    const bool reads = (desiredAccess & GENERIC_READ) != 0;
    const bool writes = (desiredAccess & GENERIC_WRITE) != 0;
    int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    flags |= reads && writes ? O_RDWR : (writes ? O_WRONLY : O_RDONLY);
    switch (creationDisposition) {
    case OPEN_EXISTING:
        break;
    case CREATE_NEW:
        flags |= O_CREAT | O_EXCL;
        break;
    case CREATE_ALWAYS:
        flags |= O_CREAT | O_TRUNC;
        break;
    case OPEN_ALWAYS:
        flags |= O_CREAT;
        break;
    case TRUNCATE_EXISTING:
        if (!writes) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        flags |= O_TRUNC;
        break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (port && creationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER); // ports can only be opened, never created
        return INVALID_HANDLE_VALUE;
    }

    // Opening without O_NONBLOCK could wait for a modem's carrier; the descriptor becomes
    // blocking right after.
    kora::os::FdGuard fd{::open(path.c_str(), flags, 0666)};
    if (fd.fd < 0) {
        kora::os::SetOpenError(errno, path.c_str());
        return INVALID_HANDLE_VALUE;
    }
    const int status = ::fcntl(fd.fd, F_GETFL);
    if (status < 0 || ::fcntl(fd.fd, F_SETFL, status & ~O_NONBLOCK) < 0) {
        kora::os::SetLastErrorFromErrno(errno);
        return INVALID_HANDLE_VALUE;
    }
    // Sharing: exclusive use takes an exclusive lock, shared use a shared one; each refuses the
    // other, as the target platform's sharing modes do between the library's own handles.
    if (::flock(fd.fd, (shareMode == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            SetLastError(port ? ERROR_ACCESS_DENIED : ERROR_SHARING_VIOLATION);
        } else {
            kora::os::SetLastErrorFromErrno(errno);
        }
        return INVALID_HANDLE_VALUE;
    }
    const bool terminal = ::isatty(fd.fd) != 0;
    if (terminal && port && !kora::os::MakeRaw(fd.fd)) {
        kora::os::SetLastErrorFromErrno(errno);
        return INVALID_HANDLE_VALUE;
    }

    auto file = std::make_shared<FileObject>(fd.fd, port.has_value(), terminal && port);
    fd.fd = -1; // the object owns the descriptor now
    file->dcb = kora::os::DefaultDcb();
    if (file->isTerminal) {
        termios settings{};
        if (tcgetattr(file->fd, &settings) == 0) {
            kora::os::DcbFromTermios(settings, file->dcb);
        }
    }
    return kora::os::RegisterHandle(std::move(file));
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
              LPOVERLAPPED overlapped) {
    if (bytesRead != nullptr) {
        *bytesRead = 0;
    }
    std::shared_ptr<FileObject> object = kora::os::LookupHandleAs<FileObject>(file);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (overlapped != nullptr || (buffer == nullptr && bytesToRead != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD done = 0;
    auto* bytes = static_cast<unsigned char*>(buffer);
    const bool ok = object->isTerminal ? kora::os::ReadPort(*object, bytes, bytesToRead, done)
                                       : kora::os::ReadPlain(object->fd, bytes, bytesToRead, done);
    if (bytesRead != nullptr) {
        *bytesRead = done;
    }
    return ok ? TRUE : FALSE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped) {
    if (bytesWritten != nullptr) {
        *bytesWritten = 0;
    }
    std::shared_ptr<FileObject> object = kora::os::LookupHandleAs<FileObject>(file);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (overlapped != nullptr || (buffer == nullptr && bytesToWrite != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD done = 0;
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    const bool ok = object->isTerminal
                        ? kora::os::WritePort(*object, bytes, bytesToWrite, done)
                        : kora::os::WritePlain(object->fd, bytes, bytesToWrite, done);
    if (bytesWritten != nullptr) {
        *bytesWritten = done;
    }
    return ok ? TRUE : FALSE;
}

BOOL GetCommState(HANDLE file, LPDCB dcb) {
    std::shared_ptr<FileObject> port = kora::os::PortOf(file);
    if (!port) {
        return FALSE;
    }
    if (dcb == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The settings last applied, as the port driver of the target platform keeps them. The
    // terminal is not asked again: a pseudo-terminal, for one, does not keep data bits and parity.
    std::lock_guard lock(port->stateMutex);
    *dcb = port->dcb;
    dcb->DCBlength = sizeof(DCB);
    return TRUE;
}

BOOL SetCommState(HANDLE file, LPDCB dcb) {
    std::shared_ptr<FileObject> port = kora::os::PortOf(file);
    if (!port) {
        return FALSE;
    }
    if (dcb == nullptr || !kora::os::DcbIsValid(*dcb)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard lock(port->stateMutex);
    if (port->isTerminal) {
        termios settings{};
        if (tcgetattr(port->fd, &settings) != 0) {
            kora::os::SetLastErrorFromErrno(errno);
            return FALSE;
        }
        kora::os::TermiosFromDcb(*dcb, settings);
        if (tcsetattr(port->fd, TCSANOW, &settings) != 0) {
            kora::os::SetLastErrorFromErrno(errno);
            return FALSE;
        }
    }
    port->dcb = *dcb;
    port->dcb.DCBlength = sizeof(DCB);
    return TRUE;
}

BOOL GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    std::shared_ptr<FileObject> port = kora::os::PortOf(file);
    if (!port) {
        return FALSE;
    }
    if (timeouts == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard lock(port->stateMutex);
    *timeouts = port->timeouts;
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    std::shared_ptr<FileObject> port = kora::os::PortOf(file);
    if (!port) {
        return FALSE;
    }
    if (timeouts == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard lock(port->stateMutex);
    port->timeouts = *timeouts;
    return TRUE;
}

} // extern "C"
