// Setup, cleanup and the reads of the two configuration files.
#include "resmgr_state.h"

#include <string>

using kora::resmgr::CheckReserved;
using kora::resmgr::CopyText;
using kora::resmgr::IniFile;
using kora::resmgr::IniSection;
using kora::resmgr::Reply;
using kora::resmgr::Serve;
using kora::resmgr::State;

namespace {

constexpr const char* kVersionText = "RESMGR 1.0.0 (KORA resource manager, INI configuration)";
constexpr const char* kFileNames[2] = {"physical layer file", "software configuration"};

// The loaded file of that number, nullptr after reporting why there is none.
const IniFile* FileFor(Reply& reply, State& state, long file) {
    if (file != RESMGR_FILE_PHYSICAL && file != RESMGR_FILE_SOFTWARE) {
        reply.fail(RESMGR_ERR_INVALID_FILE, "file " + std::to_string(file));
        return nullptr;
    }
    if (!state.files[file]) {
        reply.fail(RESMGR_ERR_NOT_SET_UP);
        return nullptr;
    }
    return &*state.files[file];
}

std::string Where(const State& state, long file) {
    return state.paths[file].empty() ? std::string(kFileNames[file]) : state.paths[file];
}

const IniSection* SectionFor(Reply& reply, State& state, long file, const char* section) {
    const IniFile* ini = FileFor(reply, state, file);
    if (ini == nullptr) {
        return nullptr;
    }
    if (section == nullptr) {
        reply.fail(RESMGR_ERR_INVALID_ARGUMENT, "section name is null");
        return nullptr;
    }
    const IniSection* found = ini->findSection(section);
    if (found == nullptr) {
        reply.fail(RESMGR_ERR_SECTION_NOT_FOUND,
                   "[" + std::string(section) + "] in " + Where(state, file));
    }
    return found;
}

bool CheckIndex(Reply& reply, long index, std::size_t count, const std::string& what) {
    if (index < 1 || static_cast<unsigned long>(index) > count) {
        reply.fail(RESMGR_ERR_INDEX_RANGE,
                   std::to_string(index) + " (1.." + std::to_string(count) + ") of " + what);
        return false;
    }
    return true;
}

void Hand(Reply& reply, char* buffer, std::size_t size, std::string_view text) {
    if (CopyText(buffer, size, text)) {
        reply.warn(RESMGR_WARN_VALUE_CUT, std::to_string(size) + " bytes");
    }
}

} // namespace

extern "C" {

int32_t RESMGR_Setup(long reserved, const char* physicalLayerFile, const char* softwareConfigFile,
                     int32_t* warning, int32_t* error, char* message) {
    return Serve(warning, error, message, [&](Reply& reply, State& state, auto& lock) {
        if (!CheckReserved(reply, reserved)) {
            return;
        }
        const char* paths[2] = {physicalLayerFile, softwareConfigFile};
        for (int file = 0; file < 2; ++file) {
            if (paths[file] == nullptr || *paths[file] == '\0') {
                reply.fail(RESMGR_ERR_INVALID_ARGUMENT,
                           std::string("no path of the ") + kFileNames[file]);
                return;
            }
        }
        // Read outside the lock: other threads keep working on the files loaded before.
        lock.unlock();
        std::optional<IniFile> loaded[2];
        for (int file = 0; file < 2; ++file) {
            std::string why;
            bool unreadable = false;
            loaded[file] = IniFile::load(paths[file], &why, &unreadable);
            if (!loaded[file]) {
                reply.fail(unreadable ? RESMGR_ERR_FILE_OPEN : RESMGR_ERR_FILE_SYNTAX,
                           std::string(kFileNames[file]) + " " + why);
                lock.lock();
                return;
            }
        }
        lock.lock();
        for (int file = 0; file < 2; ++file) {
            state.files[file] = std::move(loaded[file]);
            state.paths[file] = paths[file];
        }
        state.setups.fetch_add(1);
        state.clients.insert(std::this_thread::get_id());
    });
}

int32_t RESMGR_Cleanup(long reserved, int32_t* warning, int32_t* error, char* message) {
    return Serve(warning, error, message, [&](Reply& reply, State& state, auto&) {
        if (!CheckReserved(reply, reserved)) {
            return;
        }
        const auto self = std::this_thread::get_id();
        bool released = false;
        for (auto it = state.devices.begin(); it != state.devices.end();) {
            auto& device = it->second;
            if (device.locked && device.owner == self) {
                device.locked = false;
                released = true;
            }
            it = (device.sessions == 0 && !device.locked) ? state.devices.erase(it) : ++it;
        }
        if (released) {
            state.unlocked.notify_all();
        }
        state.clients.erase(self);
        if (state.clients.empty()) {
            kora::resmgr::ReleaseEverything(state);
        }
    });
}

int32_t RESMGR_Get_Key_Value(long reserved, long file, const char* section, const char* key,
                             char* value, long valueSize, int32_t* status, int32_t* warning,
                             int32_t* error, char* message) {
    if (status != nullptr) {
        *status = RESMGR_KEY_MISSING;
    }
    if (value != nullptr && valueSize > 0) {
        value[0] = '\0';
    }
    return Serve(warning, error, message, [&](Reply& reply, State& state, auto&) {
        if (!CheckReserved(reply, reserved)) {
            return;
        }
        if (section == nullptr || key == nullptr || value == nullptr || valueSize <= 0 ||
            status == nullptr) {
            reply.fail(RESMGR_ERR_INVALID_ARGUMENT,
                       "section, key, value buffer, its size and status are required");
            return;
        }
        const IniFile* ini = FileFor(reply, state, file);
        if (ini == nullptr) {
            return;
        }
        if (const std::string* found = ini->findValue(section, key)) {
            *status = RESMGR_KEY_FOUND;
            Hand(reply, value, static_cast<std::size_t>(valueSize), *found);
        }
    });
}

int32_t RESMGR_Number_Of_Sections(long reserved, long file, int32_t* count, int32_t* warning,
                                  int32_t* error, char* message) {
    if (count != nullptr) {
        *count = 0;
    }
    return Serve(warning, error, message, [&](Reply& reply, State& state, auto&) {
        if (!CheckReserved(reply, reserved)) {
            return;
        }
        if (count == nullptr) {
            reply.fail(RESMGR_ERR_INVALID_ARGUMENT, "count is null");
            return;
        }
        if (const IniFile* ini = FileFor(reply, state, file)) {
            *count = static_cast<int32_t>(ini->sections().size());
        }
    });
}

int32_t RESMGR_Nth_Section_Name(long reserved, long file, long index, char* name, int32_t* warning,
                                int32_t* error, char* message) {
    CopyText(name, RESMGR_NAME_SIZE, "");
    return Serve(warning, error, message, [&](Reply& reply, State& state, auto&) {
        if (!CheckReserved(reply, reserved)) {
            return;
        }
        if (name == nullptr) {
            reply.fail(RESMGR_ERR_INVALID_ARGUMENT, "name buffer is null");
            return;
        }
        const IniFile* ini = FileFor(reply, state, file);
        if (ini == nullptr || !CheckIndex(reply, index, ini->sections().size(),
                                          "sections in " + Where(state, file))) {
            return;
        }
        Hand(reply, name, RESMGR_NAME_SIZE, ini->sections()[index - 1].name());
    });
}

int32_t RESMGR_Number_Of_Keys(long reserved, long file, const char* section, int32_t* count,
                              int32_t* warning, int32_t* error, char* message) {
    if (count != nullptr) {
        *count = 0;
    }
    return Serve(warning, error, message, [&](Reply& reply, State& state, auto&) {
        if (!CheckReserved(reply, reserved)) {
            return;
        }
        if (count == nullptr) {
            reply.fail(RESMGR_ERR_INVALID_ARGUMENT, "count is null");
            return;
        }
        if (const IniSection* found = SectionFor(reply, state, file, section)) {
            *count = static_cast<int32_t>(found->entries().size());
        }
    });
}

namespace {

// Shared body of Nth_Key_Name and Nth_Key_Value.
int32_t NthKey(long reserved, long file, const char* section, long index, char* out,
               std::size_t size, bool wantValue, int32_t* warning, int32_t* error, char* message) {
    CopyText(out, size, "");
    return Serve(warning, error, message, [&](Reply& reply, State& state, auto&) {
        if (!CheckReserved(reply, reserved)) {
            return;
        }
        if (out == nullptr) {
            reply.fail(RESMGR_ERR_INVALID_ARGUMENT, "output buffer is null");
            return;
        }
        const IniSection* found = SectionFor(reply, state, file, section);
        if (found == nullptr ||
            !CheckIndex(reply, index, found->entries().size(),
                        "keys of [" + found->name() + "] in " + Where(state, file))) {
            return;
        }
        const auto& entry = found->entries()[index - 1];
        Hand(reply, out, size, wantValue ? entry.value : entry.key);
    });
}

} // namespace

int32_t RESMGR_Nth_Key_Name(long reserved, long file, const char* section, long index, char* name,
                            int32_t* warning, int32_t* error, char* message) {
    return NthKey(reserved, file, section, index, name, RESMGR_NAME_SIZE, false, warning, error,
                  message);
}

int32_t RESMGR_Nth_Key_Value(long reserved, long file, const char* section, long index, char* value,
                             int32_t* warning, int32_t* error, char* message) {
    return NthKey(reserved, file, section, index, value, RESMGR_VALUE_SIZE, true, warning, error,
                  message);
}

int32_t RESMGR_Lib_Version(long reserved, char* version, int32_t* warning, int32_t* error,
                           char* message) {
    CopyText(version, RESMGR_VERSION_SIZE, "");
    return Serve(warning, error, message, [&](Reply& reply, State&, auto&) {
        if (!CheckReserved(reply, reserved)) {
            return;
        }
        if (version == nullptr) {
            reply.fail(RESMGR_ERR_INVALID_ARGUMENT, "version buffer is null");
            return;
        }
        Hand(reply, version, RESMGR_VERSION_SIZE, kVersionText);
    });
}

} // extern "C"
