// Setup, cleanup and the reads of the configuration files through the resource manager's C calls.
#include "resmgr_inspect.h"

#include <resmgr.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A scratch directory for configuration files, removed with the object.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "resmgr_config_XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string write(const std::string& name, const std::string& text) const {
        const fs::path file = path_ / name;
        std::ofstream(file, std::ios::binary) << text;
        return file.string();
    }
    std::string path(const std::string& name) const { return (path_ / name).string(); }

  private:
    fs::path path_;
};

// Out-values of one call, filled with junk first so that a call that forgets them shows.
struct Reply {
    int32_t warning = 0x5555;
    int32_t error = 0x5555;
    char message[RESMGR_MESSAGE_SIZE];
    Reply() { std::memset(message, '#', sizeof message); }
};

// A fresh resource manager for each test, released again at its end.
struct Fresh {
    Fresh() { kora::resmgr::inspect::Reset(); }
    ~Fresh() { kora::resmgr::inspect::Reset(); }
};

const char* const kPhysical = "[device->PIO2_A5]\n"
                              "Type = PIO2\n"
                              "ResourceDesc = CAN0::0::5\n"
                              "[Shared]\n"
                              "Origin = physical\n";

const char* const kSoftware = "[LogicalNames]\n"
                              "LINE = Bench_LINE\n"
                              "[Bench_LINE]\n"
                              "Type = BENCH\n"
                              "AppChannelTable = Channels_LINE\n"
                              "KORAsetupROUTE = 0\n"
                              "Empty =\n"
                              "[Channels_LINE]\n"
                              "R1_A = SM160_B1!P1\n"
                              "R1_B = SM160_B1!P2\n"
                              "AI1 = PIO2_A5!AI1\n"
                              "[Shared]\n"
                              "Origin = software\n"
                              "[NoKeys]\n";

int32_t LoadFiles(const std::string& physical, const std::string& software, Reply& reply) {
    return RESMGR_Setup(0, physical.c_str(), software.c_str(), &reply.warning, &reply.error,
                        reply.message);
}

void SetUpFiles(const TempDir& dir, const std::string& physical = kPhysical,
                const std::string& software = kSoftware) {
    Reply reply;
    ASSERT_EQ(
        LoadFiles(dir.write("physical.ini", physical), dir.write("software.ini", software), reply),
        0)
        << reply.message;
}

struct KeyRead {
    int32_t result;
    int32_t status;
    std::string value;
    Reply reply;
};

KeyRead GetKey(long file, const char* section, const char* key, long size = 256) {
    KeyRead read{};
    std::vector<char> buffer(static_cast<std::size_t>(size), '#');
    read.status = 0x5555;
    read.result = RESMGR_Get_Key_Value(0, file, section, key, buffer.data(), size, &read.status,
                                       &read.reply.warning, &read.reply.error, read.reply.message);
    read.value = buffer.data();
    return read;
}

std::string SectionName(long file, long index, int32_t* error = nullptr) {
    char name[RESMGR_NAME_SIZE];
    Reply reply;
    RESMGR_Nth_Section_Name(0, file, index, name, &reply.warning, &reply.error, reply.message);
    if (error != nullptr) {
        *error = reply.error;
    }
    return name;
}

// The fixture files next to this test.
fs::path DataDir() {
#ifdef KORA_EXAMPLES_DIR
    return fs::path(KORA_EXAMPLES_DIR).parent_path() / "tests" / "platform" / "data";
#else
    return fs::path(__FILE__).parent_path() / "data";
#endif
}

} // namespace

TEST(ResmgrConfig, ReadsValuesByFileSectionAndKey) {
    Fresh fresh;
    TempDir dir;
    SetUpFiles(dir);
    struct Case {
        long file;
        const char* section;
        const char* key;
        int32_t status;
        const char* value;
    };
    const Case cases[] = {
        {RESMGR_FILE_SOFTWARE, "LogicalNames", "LINE", RESMGR_KEY_FOUND, "Bench_LINE"},
        {RESMGR_FILE_SOFTWARE, "bench_line", "APPCHANNELTABLE", RESMGR_KEY_FOUND, "Channels_LINE"},
        {RESMGR_FILE_SOFTWARE, "Shared", "Origin", RESMGR_KEY_FOUND, "software"},
        {RESMGR_FILE_PHYSICAL, "Shared", "Origin", RESMGR_KEY_FOUND, "physical"},
        {RESMGR_FILE_PHYSICAL, "device->pio2_a5", "ResourceDesc", RESMGR_KEY_FOUND, "CAN0::0::5"},
        {RESMGR_FILE_SOFTWARE, "Bench_LINE", "Empty", RESMGR_KEY_FOUND, ""},
        {RESMGR_FILE_SOFTWARE, "Bench_LINE", "KORAdebugROUTE", RESMGR_KEY_MISSING, ""},
        {RESMGR_FILE_SOFTWARE, "device->PIO2_A5", "Type", RESMGR_KEY_MISSING, ""},
        {RESMGR_FILE_PHYSICAL, "NoSuchSection", "Type", RESMGR_KEY_MISSING, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.section) + "/" + c.key);
        const KeyRead read = GetKey(c.file, c.section, c.key);
        EXPECT_EQ(read.result, 0);
        EXPECT_EQ(read.reply.error, 0);
        EXPECT_EQ(read.reply.warning, 0);
        EXPECT_STREQ(read.reply.message, "");
        EXPECT_EQ(read.status, c.status);
        EXPECT_EQ(read.value, c.value);
    }
}

TEST(ResmgrConfig, CutsValuesToTheCallersBuffer) {
    Fresh fresh;
    TempDir dir;
    std::string software = "[Long]\n";
    for (const int size : {32, 64, 128, 256}) {
        // One value that just fits and one that is a character too long.
        software += "fits" + std::to_string(size) + " = " + std::string(size - 1, 'f') + "\n";
        software += "over" + std::to_string(size) + " = " + std::string(size, 'o') + "\n";
    }
    SetUpFiles(dir, kPhysical, software);
    constexpr std::size_t kGuard = 16;
    for (const int size : {32, 64, 128, 256}) {
        for (const bool over : {false, true}) {
            const std::string key = (over ? "over" : "fits") + std::to_string(size);
            SCOPED_TRACE(key);
            std::vector<char> buffer(size + kGuard, '#');
            int32_t status = 0;
            Reply reply;
            const int32_t result =
                RESMGR_Get_Key_Value(0, RESMGR_FILE_SOFTWARE, "Long", key.c_str(), buffer.data(),
                                     size, &status, &reply.warning, &reply.error, reply.message);
            EXPECT_EQ(result, 0);
            EXPECT_EQ(status, RESMGR_KEY_FOUND);
            EXPECT_EQ(std::strlen(buffer.data()), static_cast<std::size_t>(size - 1));
            EXPECT_EQ(std::string(buffer.data()), std::string(size - 1, over ? 'o' : 'f'));
            EXPECT_EQ(std::string(buffer.data() + size, kGuard), std::string(kGuard, '#'))
                << "written past the buffer";
            EXPECT_EQ(reply.warning, over ? RESMGR_WARN_VALUE_CUT : 0);
        }
    }
}

TEST(ResmgrConfig, ListsSectionsAndKeysAsWritten) {
    Fresh fresh;
    TempDir dir;
    SetUpFiles(dir);
    Reply reply;
    int32_t count = -1;
    ASSERT_EQ(RESMGR_Number_Of_Sections(0, RESMGR_FILE_SOFTWARE, &count, &reply.warning,
                                        &reply.error, reply.message),
              0);
    std::vector<std::string> sections;
    for (long index = 1; index <= count; ++index) {
        sections.push_back(SectionName(RESMGR_FILE_SOFTWARE, index));
    }
    EXPECT_EQ(sections, (std::vector<std::string>{"LogicalNames", "Bench_LINE", "Channels_LINE",
                                                  "Shared", "NoKeys"}));

    ASSERT_EQ(RESMGR_Number_Of_Keys(0, RESMGR_FILE_SOFTWARE, "channels_line", &count,
                                    &reply.warning, &reply.error, reply.message),
              0);
    std::vector<std::string> keys;
    std::vector<std::string> values;
    for (long index = 1; index <= count; ++index) {
        char name[RESMGR_NAME_SIZE];
        char value[RESMGR_VALUE_SIZE];
        ASSERT_EQ(RESMGR_Nth_Key_Name(0, RESMGR_FILE_SOFTWARE, "Channels_LINE", index, name,
                                      &reply.warning, &reply.error, reply.message),
                  0);
        ASSERT_EQ(RESMGR_Nth_Key_Value(0, RESMGR_FILE_SOFTWARE, "Channels_LINE", index, value,
                                       &reply.warning, &reply.error, reply.message),
                  0);
        keys.emplace_back(name);
        values.emplace_back(value);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"R1_A", "R1_B", "AI1"}));
    EXPECT_EQ(values, (std::vector<std::string>{"SM160_B1!P1", "SM160_B1!P2", "PIO2_A5!AI1"}));

    ASSERT_EQ(RESMGR_Number_Of_Keys(0, RESMGR_FILE_SOFTWARE, "NoKeys", &count, &reply.warning,
                                    &reply.error, reply.message),
              0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(RESMGR_Number_Of_Keys(0, RESMGR_FILE_SOFTWARE, "Missing", &count, &reply.warning,
                                    &reply.error, reply.message),
              RESMGR_ERR_SECTION_NOT_FOUND);
    EXPECT_EQ(count, 0);
    EXPECT_NE(std::string(reply.message).find("Missing"), std::string::npos) << reply.message;
}

TEST(ResmgrConfig, RefusesIndexesOutOfRange) {
    Fresh fresh;
    TempDir dir;
    SetUpFiles(dir);
    // The software configuration has 5 sections; Channels_LINE has 3 keys, NoKeys none.
    enum class Call { Section, KeyName, KeyValue };
    struct Case {
        Call call;
        const char* section;
        long index;
    };
    const Case cases[] = {
        {Call::Section, nullptr, 0},           {Call::Section, nullptr, 6},
        {Call::Section, nullptr, -1},          {Call::KeyName, "Channels_LINE", 0},
        {Call::KeyName, "Channels_LINE", 4},   {Call::KeyValue, "Channels_LINE", 4},
        {Call::KeyValue, "Channels_LINE", -3}, {Call::KeyName, "NoKeys", 1},
        {Call::Section, nullptr, 1L << 40},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.call)) + " index " +
                     std::to_string(c.index));
        char out[RESMGR_VALUE_SIZE];
        std::memset(out, '#', sizeof out);
        Reply reply;
        int32_t result = 0;
        switch (c.call) {
        case Call::Section:
            result = RESMGR_Nth_Section_Name(0, RESMGR_FILE_SOFTWARE, c.index, out, &reply.warning,
                                             &reply.error, reply.message);
            break;
        case Call::KeyName:
            result = RESMGR_Nth_Key_Name(0, RESMGR_FILE_SOFTWARE, c.section, c.index, out,
                                         &reply.warning, &reply.error, reply.message);
            break;
        case Call::KeyValue:
            result = RESMGR_Nth_Key_Value(0, RESMGR_FILE_SOFTWARE, c.section, c.index, out,
                                          &reply.warning, &reply.error, reply.message);
            break;
        }
        EXPECT_EQ(result, RESMGR_ERR_INDEX_RANGE);
        EXPECT_EQ(reply.error, RESMGR_ERR_INDEX_RANGE);
        EXPECT_STREQ(out, "");
        EXPECT_NE(std::string(reply.message).find("Index out of range"), std::string::npos)
            << reply.message;
    }
}

TEST(ResmgrConfig, CutsLongNamesToTheNameBuffer) {
    Fresh fresh;
    TempDir dir;
    const std::string longName(100, 'S');
    SetUpFiles(dir, kPhysical, "[" + longName + "]\n" + longName + " = v\n");
    char name[RESMGR_NAME_SIZE + 8];
    std::memset(name, '#', sizeof name);
    Reply reply;
    EXPECT_EQ(RESMGR_Nth_Section_Name(0, RESMGR_FILE_SOFTWARE, 1, name, &reply.warning,
                                      &reply.error, reply.message),
              0);
    EXPECT_EQ(std::string(name), longName.substr(0, RESMGR_NAME_SIZE - 1));
    EXPECT_EQ(std::string(name + RESMGR_NAME_SIZE, 8), std::string(8, '#'));
    EXPECT_EQ(reply.warning, RESMGR_WARN_VALUE_CUT);
    EXPECT_NE(std::string(reply.message).find("cut"), std::string::npos) << reply.message;

    std::memset(name, '#', sizeof name);
    EXPECT_EQ(RESMGR_Nth_Key_Name(0, RESMGR_FILE_SOFTWARE, longName.c_str(), 1, name,
                                  &reply.warning, &reply.error, reply.message),
              0);
    EXPECT_EQ(std::string(name), longName.substr(0, RESMGR_NAME_SIZE - 1));
    EXPECT_EQ(std::string(name + RESMGR_NAME_SIZE, 8), std::string(8, '#'));
}

TEST(ResmgrConfig, SetupReportsTheFileThatFails) {
    Fresh fresh;
    TempDir dir;
    const std::string physical = dir.write("physical.ini", kPhysical);
    const std::string software = dir.write("software.ini", kSoftware);
    const std::string broken = dir.write("broken.ini", "[ok]\nk=v\nno separator here\n");
    const std::string missing = dir.path("missing.ini");
    struct Case {
        const char* name;
        std::string physical;
        std::string software;
        int32_t error;
        std::vector<std::string> mentions;
    };
    const Case cases[] = {
        {"missing software configuration",
         physical,
         missing,
         RESMGR_ERR_FILE_OPEN,
         {missing, "software configuration"}},
        {"missing physical layer file",
         missing,
         software,
         RESMGR_ERR_FILE_OPEN,
         {missing, "physical layer file"}},
        {"directory instead of a file", dir.path(""), software, RESMGR_ERR_FILE_OPEN, {}},
        {"syntax error", physical, broken, RESMGR_ERR_FILE_SYNTAX, {broken, "line 3"}},
        {"empty path", "", software, RESMGR_ERR_INVALID_ARGUMENT, {"physical layer file"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reply reply;
        EXPECT_EQ(LoadFiles(c.physical, c.software, reply), c.error);
        EXPECT_EQ(reply.error, c.error);
        for (const std::string& text : c.mentions) {
            EXPECT_NE(std::string(reply.message).find(text), std::string::npos) << reply.message;
        }
        // Nothing was loaded.
        EXPECT_EQ(GetKey(RESMGR_FILE_SOFTWARE, "LogicalNames", "LINE").result,
                  RESMGR_ERR_NOT_SET_UP);
    }
    EXPECT_EQ(kora::resmgr::inspect::Clients(), 0);
}

TEST(ResmgrConfig, FailedSetupKeepsTheFilesLoadedBefore) {
    Fresh fresh;
    TempDir dir;
    SetUpFiles(dir);
    Reply reply;
    EXPECT_EQ(LoadFiles(dir.path("physical.ini"), dir.path("gone.ini"), reply),
              RESMGR_ERR_FILE_OPEN);
    const KeyRead read = GetKey(RESMGR_FILE_SOFTWARE, "LogicalNames", "LINE");
    EXPECT_EQ(read.result, 0);
    EXPECT_EQ(read.value, "Bench_LINE");
}

TEST(ResmgrConfig, SetupAgainLoadsTheNewFiles) {
    Fresh fresh;
    TempDir dir;
    SetUpFiles(dir);
    SetUpFiles(dir, kPhysical, "[LogicalNames]\nLINE = Bench_OTHER\n");
    EXPECT_EQ(GetKey(RESMGR_FILE_SOFTWARE, "LogicalNames", "LINE").value, "Bench_OTHER");
    EXPECT_EQ(GetKey(RESMGR_FILE_SOFTWARE, "Bench_LINE", "Type").status, RESMGR_KEY_MISSING);
}

TEST(ResmgrConfig, CallsFailBeforeSetupAndAfterCleanup) {
    Fresh fresh;
    TempDir dir;
    const auto expectNotSetUp = [](const char* when) {
        SCOPED_TRACE(when);
        Reply reply;
        int32_t count = 0;
        char name[RESMGR_NAME_SIZE];
        int32_t resource = 0;
        EXPECT_EQ(GetKey(RESMGR_FILE_PHYSICAL, "Shared", "Origin").result, RESMGR_ERR_NOT_SET_UP);
        EXPECT_EQ(RESMGR_Number_Of_Sections(0, RESMGR_FILE_PHYSICAL, &count, &reply.warning,
                                            &reply.error, reply.message),
                  RESMGR_ERR_NOT_SET_UP);
        EXPECT_EQ(RESMGR_Nth_Section_Name(0, RESMGR_FILE_PHYSICAL, 1, name, &reply.warning,
                                          &reply.error, reply.message),
                  RESMGR_ERR_NOT_SET_UP);
        EXPECT_EQ(RESMGR_Number_Of_Keys(0, RESMGR_FILE_SOFTWARE, "Shared", &count, &reply.warning,
                                        &reply.error, reply.message),
                  RESMGR_ERR_NOT_SET_UP);
        EXPECT_EQ(RESMGR_Alloc_Resource(0, "Bench_LINE", &resource, &reply.warning, &reply.error,
                                        reply.message),
                  RESMGR_ERR_NOT_SET_UP);
        EXPECT_NE(std::string(reply.message).find("not set up"), std::string::npos)
            << reply.message;
    };
    expectNotSetUp("before setup");
    SetUpFiles(dir);
    EXPECT_EQ(GetKey(RESMGR_FILE_PHYSICAL, "Shared", "Origin").value, "physical");
    Reply reply;
    EXPECT_EQ(RESMGR_Cleanup(0, &reply.warning, &reply.error, reply.message), 0);
    expectNotSetUp("after cleanup");
    // A second cleanup has nothing left to do and is no error.
    EXPECT_EQ(RESMGR_Cleanup(0, &reply.warning, &reply.error, reply.message), 0);
}

TEST(ResmgrConfig, TheLastThreadToCleanUpReleasesTheFiles) {
    Fresh fresh;
    TempDir dir;
    SetUpFiles(dir);
    int32_t otherSetup = -1;
    std::thread([&] {
        Reply reply;
        otherSetup = LoadFiles(dir.path("physical.ini"), dir.path("software.ini"), reply);
    }).join();
    ASSERT_EQ(otherSetup, 0);
    EXPECT_EQ(kora::resmgr::inspect::Clients(), 2);

    Reply reply;
    EXPECT_EQ(RESMGR_Cleanup(0, &reply.warning, &reply.error, reply.message), 0);
    EXPECT_EQ(GetKey(RESMGR_FILE_SOFTWARE, "LogicalNames", "LINE").value, "Bench_LINE")
        << "another thread still uses the configuration";

    int32_t otherCleanup = -1;
    std::thread([&] {
        Reply reply;
        otherCleanup = RESMGR_Cleanup(0, &reply.warning, &reply.error, reply.message);
    }).join();
    EXPECT_EQ(otherCleanup, 0);
    EXPECT_EQ(GetKey(RESMGR_FILE_SOFTWARE, "LogicalNames", "LINE").result, RESMGR_ERR_NOT_SET_UP);
}

TEST(ResmgrConfig, RefusesBadArguments) {
    Fresh fresh;
    TempDir dir;
    SetUpFiles(dir);
    char value[64];
    int32_t status = 0;
    int32_t count = 0;
    struct Case {
        const char* name;
        int32_t result;
        int32_t error;
    };
    Reply r[7];
    const Case cases[] = {
        {"file 2",
         RESMGR_Get_Key_Value(0, 2, "Shared", "Origin", value, sizeof value, &status, &r[0].warning,
                              &r[0].error, r[0].message),
         RESMGR_ERR_INVALID_FILE},
        {"file -1",
         RESMGR_Number_Of_Sections(0, -1, &count, &r[1].warning, &r[1].error, r[1].message),
         RESMGR_ERR_INVALID_FILE},
        {"reserved not 0",
         RESMGR_Get_Key_Value(1, 0, "Shared", "Origin", value, sizeof value, &status, &r[2].warning,
                              &r[2].error, r[2].message),
         RESMGR_ERR_INVALID_ARGUMENT},
        {"size 0",
         RESMGR_Get_Key_Value(0, 0, "Shared", "Origin", value, 0, &status, &r[3].warning,
                              &r[3].error, r[3].message),
         RESMGR_ERR_INVALID_ARGUMENT},
        {"null key",
         RESMGR_Get_Key_Value(0, 0, "Shared", nullptr, value, sizeof value, &status, &r[4].warning,
                              &r[4].error, r[4].message),
         RESMGR_ERR_INVALID_ARGUMENT},
        {"null status",
         RESMGR_Get_Key_Value(0, 0, "Shared", "Origin", value, sizeof value, nullptr, &r[5].warning,
                              &r[5].error, r[5].message),
         RESMGR_ERR_INVALID_ARGUMENT},
        {"null section",
         RESMGR_Number_Of_Keys(0, 0, nullptr, &count, &r[6].warning, &r[6].error, r[6].message),
         RESMGR_ERR_INVALID_ARGUMENT},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(cases[i].result, cases[i].error);
        EXPECT_EQ(r[i].error, cases[i].error);
        EXPECT_GT(std::strlen(r[i].message), 0u);
    }
}

TEST(ResmgrConfig, MessagesStayInsideTheirBuffer) {
    Fresh fresh;
    TempDir dir;
    SetUpFiles(dir);
    // The section name ends up in the message; far longer than the message buffer.
    const std::string huge(5000, 'H');
    char message[RESMGR_MESSAGE_SIZE + 32];
    std::memset(message, '#', sizeof message);
    int32_t warning = 0;
    int32_t error = 0;
    int32_t count = 0;
    EXPECT_EQ(RESMGR_Number_Of_Keys(0, RESMGR_FILE_SOFTWARE, huge.c_str(), &count, &warning, &error,
                                    message),
              RESMGR_ERR_SECTION_NOT_FOUND);
    EXPECT_EQ(std::strlen(message), static_cast<std::size_t>(RESMGR_MESSAGE_SIZE - 1));
    EXPECT_EQ(std::string(message + RESMGR_MESSAGE_SIZE, 32), std::string(32, '#'));
    // Null out-values are allowed.
    EXPECT_EQ(RESMGR_Number_Of_Keys(0, RESMGR_FILE_SOFTWARE, "Missing", &count, nullptr, nullptr,
                                    nullptr),
              RESMGR_ERR_SECTION_NOT_FOUND);
}

TEST(ResmgrConfig, LibVersionNamesTheResourceManager) {
    Fresh fresh;
    char version[RESMGR_VERSION_SIZE];
    std::memset(version, '#', sizeof version);
    Reply reply;
    EXPECT_EQ(RESMGR_Lib_Version(0, version, &reply.warning, &reply.error, reply.message), 0);
    EXPECT_LT(std::strlen(version), sizeof version);
    EXPECT_EQ(std::string(version).rfind("RESMGR ", 0), 0u) << version;
    EXPECT_EQ(reply.warning, 0);
    EXPECT_STREQ(reply.message, "");
}

TEST(ResmgrConfig, ReadsTheExampleStationFiles) {
    Fresh fresh;
    const fs::path data = DataDir();
    Reply reply;
    ASSERT_EQ(LoadFiles((data / "resmgr_physical.ini").string(),
                        (data / "resmgr_swconfig.ini").string(), reply),
              0)
        << reply.message;
    // Bench name -> bench section -> channel table -> device section, as setup walks it.
    const KeyRead bench = GetKey(RESMGR_FILE_SOFTWARE, "LogicalNames", "LINE", 64);
    ASSERT_EQ(bench.value, "Bench_LINE");
    const KeyRead table = GetKey(RESMGR_FILE_SOFTWARE, bench.value.c_str(), "AppChannelTable", 64);
    ASSERT_EQ(table.value, "Channels_LINE");
    int32_t count = 0;
    ASSERT_EQ(RESMGR_Number_Of_Keys(0, RESMGR_FILE_SOFTWARE, table.value.c_str(), &count,
                                    &reply.warning, &reply.error, reply.message),
              0);
    EXPECT_EQ(count, 4);
    char value[RESMGR_VALUE_SIZE];
    ASSERT_EQ(RESMGR_Nth_Key_Value(0, RESMGR_FILE_SOFTWARE, table.value.c_str(), 3, value,
                                   &reply.warning, &reply.error, reply.message),
              0);
    EXPECT_STREQ(value, "SM160_B1!P17");
    EXPECT_EQ(GetKey(RESMGR_FILE_PHYSICAL, "device->SM160_B1", "Type", 32).value, "SM160");
    EXPECT_EQ(GetKey(RESMGR_FILE_PHYSICAL, "device->SM160_B1", "DriverOption", 128).status,
              RESMGR_KEY_MISSING);
    EXPECT_EQ(GetKey(RESMGR_FILE_PHYSICAL, "ICTX", "SYSR0", 64).value, "0.12");
    EXPECT_EQ(GetKey(RESMGR_FILE_PHYSICAL, "ICTX", "CMUD3", 64).status, RESMGR_KEY_MISSING);
    // An empty channel table is a section with no keys.
    ASSERT_EQ(RESMGR_Number_Of_Keys(0, RESMGR_FILE_SOFTWARE, "Channels_LINE2", &count,
                                    &reply.warning, &reply.error, reply.message),
              0);
    EXPECT_EQ(count, 0);
    // Device sections in the physical layer file, in the order written.
    ASSERT_EQ(RESMGR_Number_Of_Sections(0, RESMGR_FILE_PHYSICAL, &count, &reply.warning,
                                        &reply.error, reply.message),
              0);
    std::vector<std::string> sections;
    for (long index = 1; index <= count; ++index) {
        sections.push_back(SectionName(RESMGR_FILE_PHYSICAL, index));
    }
    EXPECT_EQ(sections, (std::vector<std::string>{"device->PSAM_A3", "device->PIO2_A5",
                                                  "device->SM160_B1", "device->PSU_A7", "ICTX"}));
}
