// Drive letters on a host without them: a map from letters to mounted file systems (KORA_DRIVES,
// "C=/" by default), with the volume's type from the mount table and its space from statvfs.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <sys/statvfs.h>

#include "os_internal.h"

namespace kora::os {
namespace {

constexpr const char* kDriveVariable = "KORA_DRIVES";
constexpr const char* kDefaultDrives = "C=/";
constexpr const char* kMountTable = "/proc/self/mounts";

struct Drive {
    char letter;
    std::string path;
};

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The drives of the map in its order; entries that are malformed, repeat a letter or name no
// directory are left out.
std::vector<Drive> Drives() {
    const char* env = std::getenv(kDriveVariable);
    std::stringstream map(env ? env : kDefaultDrives);
    std::vector<Drive> drives;
    std::string entry;
    while (std::getline(map, entry, ';')) {
        if (entry.size() < 3 || entry[1] != '=' ||
            !std::isalpha(static_cast<unsigned char>(entry[0]))) {
            continue;
        }
        const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(entry[0])));
        std::string path = entry.substr(2);
        while (path.size() > 1 && path.back() == '/') {
            path.pop_back();
        }
        bool seen = false;
        for (const auto& d : drives) {
            seen = seen || d.letter == letter;
        }
        if (!seen && IsDirectory(path)) {
            drives.push_back({letter, path});
        }
    }
    return drives;
}

// The drive of a root "X:\", "X:/" or "X:"; null with the last error set when it is not mapped.
const Drive* DriveOf(const std::vector<Drive>& drives, LPCSTR root) {
    if (root && std::isalpha(static_cast<unsigned char>(root[0])) && root[1] == ':' &&
        (root[2] == 0 || ((root[2] == '\\' || root[2] == '/') && root[3] == 0))) {
        const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(root[0])));
        for (const auto& d : drives) {
            if (d.letter == letter) {
                return &d;
            }
        }
    }
    SetLastError(ERROR_PATH_NOT_FOUND);
    return nullptr;
}

// The mapped path of a drive root and its file system's figures; nullopt with the last error set
// when the root is not mapped or the file system cannot be asked.
std::optional<std::pair<std::string, struct statvfs>> StatDrive(LPCSTR root) {
    const auto drives = Drives();
    const Drive* d = DriveOf(drives, root);
    if (!d) {
        return std::nullopt;
    }
    struct statvfs vfs {};
    if (::statvfs(d->path.c_str(), &vfs) != 0) {
        SetLastErrorFromErrno(errno);
        return std::nullopt;
    }
    return std::make_pair(d->path, vfs);
}

// The type of the file system mounted at the longest mount point that holds `path`.
std::string FileSystemType(const std::string& path) {
    std::ifstream table(kMountTable);
    std::string line, best = "unknown";
    std::size_t bestLength = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string source, mountPoint, type;
        if (!(fields >> source >> mountPoint >> type)) {
            continue;
        }
        const bool holds = path.compare(0, mountPoint.size(), mountPoint) == 0 &&
                           (mountPoint == "/" || path.size() == mountPoint.size() ||
                            path[mountPoint.size()] == '/');
        if (holds && mountPoint.size() >= bestLength) {
            best = type;
            bestLength = mountPoint.size();
        }
    }
    return best;
}

void CopyOut(LPSTR buffer, DWORD size, const std::string& text) {
    if (buffer && size > 0) {
        const std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
        std::memcpy(buffer, text.data(), n);
        buffer[n] = 0;
    }
}

} // namespace
} // namespace kora::os

using namespace kora::os;

extern "C" {

DWORD GetLogicalDriveStringsA(DWORD bufferLength, LPSTR buffer) {
    std::string all;
    for (const auto& d : Drives()) {
        all += d.letter;
        all += ":\\";
        all += '\0';
    }
    if (all.size() + 1 > bufferLength || !buffer) {
        return static_cast<DWORD>(all.size() + 1);
    }
    std::memcpy(buffer, all.data(), all.size());
    buffer[all.size()] = 0;
    return static_cast<DWORD>(all.size());
}

BOOL GetVolumeInformationA(LPCSTR rootPathName, LPSTR volumeNameBuffer, DWORD volumeNameSize,
                           LPDWORD volumeSerialNumber, LPDWORD maximumComponentLength,
                           LPDWORD fileSystemFlags, LPSTR fileSystemNameBuffer,
                           DWORD fileSystemNameSize) {
    const auto stat = StatDrive(rootPathName);
    if (!stat) {
        return 0;
    }
    const auto& [path, vfs] = *stat;
    CopyOut(volumeNameBuffer, volumeNameSize, path);
    CopyOut(fileSystemNameBuffer, fileSystemNameSize, FileSystemType(path));
    if (volumeSerialNumber) {
        *volumeSerialNumber = static_cast<DWORD>(vfs.f_fsid);
    }
    if (maximumComponentLength) {
        *maximumComponentLength = static_cast<DWORD>(vfs.f_namemax);
    }
    if (fileSystemFlags) {
        *fileSystemFlags = 0;
    }
    return 1;
}

BOOL GetDiskFreeSpaceExA(LPCSTR directoryName, PULARGE_INTEGER freeBytesAvailableToCaller,
                         PULARGE_INTEGER totalNumberOfBytes,
                         PULARGE_INTEGER totalNumberOfFreeBytes) {
    const auto stat = StatDrive(directoryName);
    if (!stat) {
        return 0;
    }
    const struct statvfs& vfs = stat->second;
    const ULONGLONG unit = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
    if (freeBytesAvailableToCaller) {
        freeBytesAvailableToCaller->QuadPart = unit * vfs.f_bavail;
    }
    if (totalNumberOfBytes) {
        totalNumberOfBytes->QuadPart = unit * vfs.f_blocks;
    }
    if (totalNumberOfFreeBytes) {
        totalNumberOfFreeBytes->QuadPart = unit * vfs.f_bfree;
    }
    return 1;
}

} // extern "C"
