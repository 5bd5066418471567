// File copy, plain files through CreateFileA/ReadFile/WriteFile, and misuse of handles.
#include <winapi.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>

#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

// A fresh directory per test, removed with everything in it.
class ScratchDir {
  public:
    ScratchDir() {
        std::string pattern = (fs::temp_directory_path() / "kora_os_file_XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~ScratchDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    bool ok() const { return !path_.empty(); }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

  private:
    fs::path path_;
};

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::optional<std::string> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(in), {});
}

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

// Binary content with the bytes that text handling would mangle.
const std::string kContent = std::string("line 1\r\nline 2\n\0\xFF\x1A end", 22);

TEST(OsCopyFile, CopiesContentAndHonoursFailIfExists) {
    struct Case {
        const char* name;
        std::optional<std::string> source;      // nullopt: no source file
        std::optional<std::string> destination; // nullopt: no destination file before
        const char* destinationName;
        BOOL failIfExists;
        BOOL ok;
        DWORD error;
        std::optional<std::string> after; // destination content afterwards (nullopt: none)
    };
    const std::string longer = "a destination longer than the source, which must not survive";
    const Case cases[] = {
        {"new destination", kContent, std::nullopt, "copy.bin", TRUE, TRUE, 0, kContent},
        {"new destination, overwrite allowed", kContent, std::nullopt, "copy.bin", FALSE, TRUE, 0,
         kContent},
        {"existing destination kept", kContent, longer, "copy.bin", TRUE, FALSE, ERROR_FILE_EXISTS,
         longer},
        {"existing destination replaced whole", kContent, longer, "copy.bin", FALSE, TRUE, 0,
         kContent},
        {"empty source", std::string(), longer, "copy.bin", FALSE, TRUE, 0, std::string()},
        {"missing source", std::nullopt, std::nullopt, "copy.bin", FALSE, FALSE,
         ERROR_FILE_NOT_FOUND, std::nullopt},
        {"missing destination directory", kContent, std::nullopt, "no/such/dir/copy.bin", FALSE,
         FALSE, ERROR_PATH_NOT_FOUND, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        ASSERT_TRUE(dir.ok());
        const std::string source = dir / "source.bin";
        const std::string destination = dir / c.destinationName;
        if (c.source) {
            WriteBytes(source, *c.source);
        }
        if (c.destination) {
            WriteBytes(destination, *c.destination);
        }
        SetLastError(0);
        EXPECT_EQ(CopyFileA(source.c_str(), destination.c_str(), c.failIfExists), c.ok);
        if (!c.ok) {
            EXPECT_EQ(GetLastError(), c.error);
        }
        EXPECT_EQ(ReadBytes(destination), c.after);
        if (c.source) {
            EXPECT_EQ(ReadBytes(source), c.source) << "the source must stay as it was";
        }
    }
}

TEST(OsCopyFile, CopyOntoItselfLeavesTheFileIntact) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string file = dir / "same.bin";
    WriteBytes(file, kContent);
    for (const BOOL failIfExists : {FALSE, TRUE}) {
        SCOPED_TRACE(failIfExists);
        SetLastError(0);
        EXPECT_FALSE(CopyFileA(file.c_str(), file.c_str(), failIfExists));
        EXPECT_NE(GetLastError(), 0u);
        EXPECT_EQ(ReadBytes(file), kContent);
    }
}

TEST(OsCopyFile, CopyTakesThePermissionBitsOfTheSource) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string source = dir / "script.sh";
    const std::string fresh = dir / "fresh.sh";
    const std::string existing = dir / "existing.sh";
    WriteBytes(source, "#!/bin/sh\n");
    WriteBytes(existing, "old");
    ASSERT_EQ(::chmod(source.c_str(), 0750), 0);
    ASSERT_EQ(::chmod(existing.c_str(), 0600), 0);

    ASSERT_TRUE(CopyFileA(source.c_str(), fresh.c_str(), TRUE));
    ASSERT_TRUE(CopyFileA(source.c_str(), existing.c_str(), FALSE));
    EXPECT_EQ(ModeOf(fresh), 0750u);
    EXPECT_EQ(ModeOf(existing), 0750u);
}

TEST(OsFiles, PlainFileRoundTripThroughCreateFile) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir / "data.bin";

    HANDLE out = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(
        WriteFile(out, kContent.data(), static_cast<DWORD>(kContent.size()), &written, nullptr));
    EXPECT_EQ(written, kContent.size());
    EXPECT_TRUE(CloseHandle(out));

    HANDLE in = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(in, INVALID_HANDLE_VALUE);
    char buffer[64] = {};
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(in, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(std::string(buffer, read), kContent);
    // A plain file is no serial port.
    DCB dcb{};
    SetLastError(0);
    EXPECT_FALSE(GetCommState(in, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    EXPECT_TRUE(CloseHandle(in));

    SetLastError(0);
    EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    SetLastError(0);
    EXPECT_EQ(CreateFileA((dir / "missing.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                          nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// The library reads and writes ports through a zero handle when a port was never opened; that
// and any closed or made-up handle must fail cleanly, never touch a descriptor of the process.
TEST(OsFiles, CallsOnHandlesThatAreNotOpenFailWithInvalidHandle) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir / "closed.bin";
    HANDLE closed = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(closed, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(closed));

    const HANDLE madeUp =
        reinterpret_cast<HANDLE>(static_cast<intptr_t>(1)); // NOLINT(performance-no-int-to-ptr)
    const HANDLE handles[] = {nullptr, closed, INVALID_HANDLE_VALUE, madeUp};
    for (const HANDLE handle : handles) {
        SCOPED_TRACE(reinterpret_cast<intptr_t>(handle));
        char buffer[8] = {};
        DWORD count = 77;
        DCB dcb{};
        COMMTIMEOUTS timeouts{};
        SetLastError(0);
        EXPECT_FALSE(ReadFile(handle, buffer, sizeof buffer, &count, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(count, 0u);
        count = 77;
        SetLastError(0);
        EXPECT_FALSE(WriteFile(handle, "x", 1, &count, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(count, 0u);
        SetLastError(0);
        EXPECT_FALSE(GetCommState(handle, &dcb));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_FALSE(SetCommTimeouts(handle, &timeouts));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(closed));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(CloseHandle(GetCurrentProcess()));
}

} // namespace
