// Dynamic lookup of functions in libraries the process has already loaded.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <link.h>
#include <strings.h>

#include "os_internal.h"

namespace {

bool EndsWithDll(const std::string& name) {
    if (name.size() < 4) {
        return false;
    }
    const std::string tail = name.substr(name.size() - 4);
    return strcasecmp(tail.c_str(), ".dll") == 0;
}

// The names a module of the target platform may have here: as given, and for "NAME.dll" or a
// bare "NAME" also "libNAME.so" and "NAME.so" (a path keeps its directory).
std::vector<std::string> CandidateNames(const std::string& name) {
    std::vector<std::string> names{name};
    const size_t slash = name.find_last_of('/');
    const std::string directory = slash == std::string::npos ? "" : name.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    if (EndsWithDll(base)) {
        base.resize(base.size() - 4);
    } else if (base.find('.') != std::string::npos) {
        return names;
    }
    if (!base.empty()) {
        names.push_back(directory + "lib" + base + ".so");
        names.push_back(directory + base + ".so");
    }
    return names;
}

// Module names compare without regard to case on the target platform: the path of a loaded
// library whose file name matches one of the candidates so, or an empty text.
std::string LoadedPathIgnoringCase(const std::vector<std::string>& candidates) {
    struct Search {
        const std::vector<std::string>* candidates;
        std::string found;
    } search{&candidates, {}};
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) -> int {
            auto* s = static_cast<Search*>(data);
            if (info->dlpi_name == nullptr || info->dlpi_name[0] == '\0') {
                return 0;
            }
            const char* slash = std::strrchr(info->dlpi_name, '/');
            const char* file = slash == nullptr ? info->dlpi_name : slash + 1;
            for (const std::string& candidate : *s->candidates) {
                if (candidate.find('/') == std::string::npos &&
                    strcasecmp(file, candidate.c_str()) == 0) {
                    s->found = info->dlpi_name;
                    return 1;
                }
            }
            return 0;
        },
        &search);
    return search.found;
}

// A loaded library's handle without keeping a reference: RTLD_NOLOAD finds loaded libraries
// only and counts a reference, which is given back at once.
void* LoadedHandle(const char* name) {
    void* const handle = dlopen(name, RTLD_LAZY | RTLD_NOLOAD);
    if (handle != nullptr) {
        dlclose(handle);
    }
    return handle;
}

} // namespace

extern "C" {

HMODULE GetModuleHandleA(LPCSTR moduleName) {
    if (moduleName == nullptr) {
        // The main program: its handle looks symbols up in the global scope.
        static void* const program = dlopen(nullptr, RTLD_LAZY);
        return program;
    }
    const std::vector<std::string> candidates = CandidateNames(moduleName);
    for (const std::string& candidate : candidates) {
        if (void* const handle = LoadedHandle(candidate.c_str()); handle != nullptr) {
            return handle;
        }
    }
    if (const std::string path = LoadedPathIgnoringCase(candidates); !path.empty()) {
        if (void* const handle = LoadedHandle(path.c_str()); handle != nullptr) {
            return handle;
        }
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
    if (module == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // Lookups by ordinal (a number below 0x10000 in place of the name) do not exist here.
    if (reinterpret_cast<uintptr_t>(procName) < 0x10000) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    dlerror();
    void* const address = dlsym(module, procName);
    if (address == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(address);
}

} // extern "C"
