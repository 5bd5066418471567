// Lookup of loaded libraries and their functions (GetModuleHandleA, GetProcAddress).
#include <winapi.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>

#include <dlfcn.h>

namespace {

TEST(OsModules, FindsLoadedLibrariesOnlyAndTheirFunctions) {
    using Strlen = size_t (*)(const char*);
    using ThreadId = DWORD (*)(void);
    struct Case {
        const char* name; // null: the main program
        bool found;
    };
    const Case cases[] = {
        {nullptr, true},
        {"libc.so.6", true},
        // This layer itself, named as on the target platform.
        {"kora_os.dll", true},
        {"KORA_OS.DLL", true}, // module names ignore case, as on the target platform
        {"libkora_os.so", true},
        {"kora_no_such_module.dll", false},
        {"libkora_no_such_module.so", false},
        // On disk in every glibc installation but never loaded by this program: must not load.
        {"libBrokenLocale.so.1", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name == nullptr ? "(main program)" : c.name);
        SetLastError(0);
        HMODULE module = GetModuleHandleA(c.name);
        EXPECT_EQ(module != nullptr, c.found);
        if (!c.found) {
            EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
            if (c.name != nullptr) {
                EXPECT_EQ(dlopen(c.name, RTLD_LAZY | RTLD_NOLOAD), nullptr)
                    << "the lookup loaded the library";
            }
            continue;
        }
        std::string name = c.name == nullptr ? "" : c.name;
        for (char& ch : name) {
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        }
        if (name.find("kora_os") != std::string::npos) {
            auto threadId =
                reinterpret_cast<ThreadId>(GetProcAddress(module, "GetCurrentThreadId"));
            ASSERT_NE(threadId, nullptr);
            EXPECT_EQ(threadId(), GetCurrentThreadId());
        } else {
            auto length = reinterpret_cast<Strlen>(GetProcAddress(module, "strlen"));
            ASSERT_NE(length, nullptr);
            EXPECT_EQ(length("pin test"), 8u);
        }
        EXPECT_EQ(GetModuleHandleA(c.name), module) << "a second lookup gives the same handle";
    }
}

TEST(OsModules, MissingFunctionsAndBadModulesAreReported) {
    HMODULE libc = GetModuleHandleA("libc.so.6");
    ASSERT_NE(libc, nullptr);
    // An ordinal number in place of a name, as the target platform allows.
    const auto kOrdinal =
        reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(1)); // NOLINT(performance-no-int-to-ptr)
    struct Case {
        const char* what;
        HMODULE module;
        LPCSTR name;
        DWORD error;
    };
    const Case cases[] = {
        {"unknown name", libc, "rspsu_ConfigureRemoteSensing_NoSuchThing", ERROR_PROC_NOT_FOUND},
        {"empty name", libc, "", ERROR_PROC_NOT_FOUND},
        {"ordinal", libc, kOrdinal, ERROR_PROC_NOT_FOUND},
        {"null module", nullptr, "strlen", ERROR_INVALID_HANDLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetLastError(0);
        EXPECT_EQ(GetProcAddress(c.module, c.name), nullptr);
        EXPECT_EQ(GetLastError(), c.error);
    }
}

} // namespace
