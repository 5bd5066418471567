// Resources, sessions, driver handles and device locks of the resource manager.
#include "resmgr_inspect.h"

#include <resmgr.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Reply {
    int32_t warning = 0x5555;
    int32_t error = 0x5555;
    char message[RESMGR_MESSAGE_SIZE];
    Reply() { std::memset(message, '#', sizeof message); }
    std::string text() const { return message; }
};

const char* const kPhysical = "[device->PIO2_A5]\n"
                              "Type = PIO2\n"
                              "ResourceDesc = CAN0::0::5\n"
                              "DriverOption = Simulate=1,RangeCheck=1\n"
                              "[device->SM160_B1]\n"
                              "Type = SM160\n"
                              "ResourceDesc = CAN0::1::9\n";

const char* const kSoftware = "[LogicalNames]\n"
                              "LINE = Bench_LINE\n"
                              "LINE2 = Bench_LINE2\n"
                              "[Bench_LINE]\n"
                              "Type = BENCH\n"
                              "ADIODevice = device->PIO2_A5\n"
                              "SwitchDevice1 = device->SM160_B1\n"
                              "[Bench_LINE2]\n"
                              "type = bench\n"
                              "ADIODevice = device->PIO2_A5\n"
                              "[Channels_LINE]\n"
                              "R1_A = SM160_B1!P1\n";

// Writes both files to a scratch directory, sets the resource manager up from them, and leaves a
// fresh resource manager behind.
class Station {
  public:
    Station() {
        kora::resmgr::inspect::Reset();
        std::string pattern = (fs::temp_directory_path() / "resmgr_session_XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            dir_ = pattern;
        }
        std::ofstream(dir_ / "physical.ini") << kPhysical;
        std::ofstream(dir_ / "software.ini") << kSoftware;
        Reply reply;
        setUp = RESMGR_Setup(0, (dir_ / "physical.ini").c_str(), (dir_ / "software.ini").c_str(),
                             &reply.warning, &reply.error, reply.message);
        EXPECT_EQ(setUp, 0) << reply.message;
    }
    ~Station() {
        kora::resmgr::inspect::Reset();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    int32_t setUp = -1;

  private:
    fs::path dir_;
};

int32_t Alloc(const char* name, Reply* out = nullptr) {
    Reply local;
    Reply& reply = out != nullptr ? *out : local;
    int32_t resource = -7;
    RESMGR_Alloc_Resource(0, name, &resource, &reply.warning, &reply.error, reply.message);
    return resource;
}

struct Opened {
    int32_t result;
    int32_t session;
    int32_t first;
};

Opened Open(int32_t resource, const char* device) {
    Opened opened{0, -7, -7};
    Reply reply;
    opened.result = RESMGR_Open_Session(0, resource, device, &opened.session, &opened.first,
                                        &reply.warning, &reply.error, reply.message);
    return opened;
}

// The "last" answer of a close, or the error code when the close fails.
int32_t CloseLast(int32_t resource, const char* device) {
    int32_t last = -7;
    Reply reply;
    const int32_t result = RESMGR_Close_Session(0, resource, device, &last, &reply.warning,
                                                &reply.error, reply.message);
    return result != 0 ? result : last;
}

int32_t Lock(int32_t resource, const char* device, long timeoutMs, Reply& reply) {
    return RESMGR_Lock_Device(0, resource, device, timeoutMs, &reply.warning, &reply.error,
                              reply.message);
}

int32_t Unlock(int32_t resource, const char* device, Reply& reply) {
    return RESMGR_Unlock_Device(0, resource, device, &reply.warning, &reply.error, reply.message);
}

} // namespace

TEST(ResmgrSession, BenchesAreResourcesOfTypeTwo) {
    Station station;
    struct Case {
        const char* name;
        int32_t error;
        int32_t type;
    };
    const Case cases[] = {
        {"Bench_LINE", 0, RESMGR_RESOURCE_BENCH},
        {"BENCH_line2", 0, RESMGR_RESOURCE_BENCH},
        {"Channels_LINE", 0, RESMGR_RESOURCE_SECTION},
        {"LogicalNames", 0, RESMGR_RESOURCE_SECTION},
        {"PIO2_A5", 0, RESMGR_RESOURCE_DEVICE},
        {"device->SM160_B1", 0, RESMGR_RESOURCE_DEVICE},
        {"LINE", RESMGR_ERR_UNKNOWN_RESOURCE, 0}, // a logical name, not a section
        {"NoSuchBench", RESMGR_ERR_UNKNOWN_RESOURCE, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reply reply;
        const int32_t resource = Alloc(c.name, &reply);
        EXPECT_EQ(reply.error, c.error);
        if (c.error != 0) {
            EXPECT_EQ(resource, 0);
            EXPECT_NE(reply.text().find(c.name), std::string::npos) << reply.text();
            continue;
        }
        EXPECT_GT(resource, 0);
        int32_t type = -1;
        EXPECT_EQ(RESMGR_Get_Resource_Type(0, resource, &type, &reply.warning, &reply.error,
                                           reply.message),
                  0);
        EXPECT_EQ(type, c.type);
    }
}

TEST(ResmgrSession, ResourceHandlesLiveUntilTheLastFree) {
    Station station;
    const int32_t first = Alloc("Bench_LINE");
    ASSERT_GT(first, 0);
    EXPECT_EQ(Alloc("bench_line"), first);
    EXPECT_NE(Alloc("Bench_LINE2"), first);
    Reply reply;
    int32_t type = 0;
    EXPECT_EQ(RESMGR_Free_Resource(0, first, &reply.warning, &reply.error, reply.message), 0);
    EXPECT_EQ(
        RESMGR_Get_Resource_Type(0, first, &type, &reply.warning, &reply.error, reply.message), 0)
        << "one allocation is left";
    EXPECT_EQ(RESMGR_Free_Resource(0, first, &reply.warning, &reply.error, reply.message), 0);
    EXPECT_EQ(
        RESMGR_Get_Resource_Type(0, first, &type, &reply.warning, &reply.error, reply.message),
        RESMGR_ERR_INVALID_RESOURCE);
    EXPECT_EQ(RESMGR_Free_Resource(0, first, &reply.warning, &reply.error, reply.message),
              RESMGR_ERR_INVALID_RESOURCE);
    // Allocated again it is a new handle: stale handles never come back to life.
    EXPECT_NE(Alloc("Bench_LINE"), first);
}

TEST(ResmgrSession, FirstAndLastSessionAcrossTwoBenchesSharingADevice) {
    Station station;
    const int32_t line = Alloc("Bench_LINE");
    const int32_t line2 = Alloc("Bench_LINE2");

    const Opened a = Open(line, "device->PIO2_A5");
    ASSERT_EQ(a.result, 0);
    EXPECT_EQ(a.first, 1);
    const Opened b = Open(line2, "pio2_a5"); // the same device, named without prefix and case
    ASSERT_EQ(b.result, 0);
    EXPECT_EQ(b.first, 0);
    EXPECT_NE(a.session, b.session);
    EXPECT_EQ(kora::resmgr::inspect::OpenSessions("PIO2_A5"), 2);

    const Opened other = Open(line, "device->SM160_B1");
    EXPECT_EQ(other.first, 1) << "another device has sessions of its own";

    EXPECT_EQ(CloseLast(line, "device->PIO2_A5"), 0);
    EXPECT_EQ(CloseLast(line, "device->PIO2_A5"), RESMGR_ERR_NO_SESSION);
    EXPECT_EQ(CloseLast(line2, "device->PIO2_A5"), 1);
    EXPECT_EQ(kora::resmgr::inspect::OpenSessions("PIO2_A5"), 0);
    // Opened again after the last close, it is the first session again.
    EXPECT_EQ(Open(line2, "PIO2_A5").first, 1);
}

TEST(ResmgrSession, OpeningTheSameUseAgainNeedsOneMoreClose) {
    Station station;
    const int32_t line = Alloc("Bench_LINE");
    const Opened a = Open(line, "SM160_B1");
    const Opened again = Open(line, "device->SM160_B1");
    EXPECT_EQ(a.first, 1);
    EXPECT_EQ(again.first, 0);
    EXPECT_EQ(again.session, a.session);
    EXPECT_EQ(CloseLast(line, "SM160_B1"), 0);
    EXPECT_EQ(CloseLast(line, "SM160_B1"), 1);
}

TEST(ResmgrSession, DriverHandleGoesToLaterCallers) {
    Station station;
    const int32_t line = Alloc("Bench_LINE");
    const int32_t line2 = Alloc("Bench_LINE2");
    Reply reply;
    int32_t handle = 0;

    ASSERT_EQ(Open(line, "device->PIO2_A5").first, 1);
    EXPECT_EQ(RESMGR_Get_Session_Handle(0, line, "PIO2_A5", &handle, &reply.warning, &reply.error,
                                        reply.message),
              RESMGR_ERR_NO_HANDLE)
        << "the driver is not open yet";
    EXPECT_EQ(handle, -1);
    ASSERT_EQ(RESMGR_Set_Session_Handle(0, line, "device->PIO2_A5", 4711, &reply.warning,
                                        &reply.error, reply.message),
              0);

    ASSERT_EQ(Open(line2, "device->PIO2_A5").first, 0);
    struct Case {
        int32_t resource;
        const char* name;
    };
    for (const Case& c :
         {Case{line2, "device->PIO2_A5"}, Case{line, "PIO2_A5"}, Case{0, "pio2_a5"}}) {
        SCOPED_TRACE(c.name);
        handle = 0;
        EXPECT_EQ(RESMGR_Get_Session_Handle(0, c.resource, c.name, &handle, &reply.warning,
                                            &reply.error, reply.message),
                  0);
        EXPECT_EQ(handle, 4711);
    }

    // After the last close the handle is gone; a new first session starts without one.
    EXPECT_EQ(CloseLast(line, "PIO2_A5"), 0);
    EXPECT_EQ(CloseLast(line2, "PIO2_A5"), 1);
    EXPECT_EQ(RESMGR_Get_Session_Handle(0, 0, "PIO2_A5", &handle, &reply.warning, &reply.error,
                                        reply.message),
              RESMGR_ERR_NO_SESSION);
    ASSERT_EQ(Open(line, "PIO2_A5").first, 1);
    EXPECT_EQ(RESMGR_Get_Session_Handle(0, 0, "PIO2_A5", &handle, &reply.warning, &reply.error,
                                        reply.message),
              RESMGR_ERR_NO_HANDLE);
}

TEST(ResmgrSession, GroupNamesCarryHandlesToo) {
    Station station;
    const int32_t line = Alloc("Bench_LINE");
    ASSERT_EQ(Open(line, "DCPWR_LINE").first, 1);
    Reply reply;
    ASSERT_EQ(RESMGR_Set_Session_Handle(0, line, "DCPWR_LINE", 12, &reply.warning, &reply.error,
                                        reply.message),
              0);
    int32_t handle = 0;
    EXPECT_EQ(RESMGR_Get_Session_Handle(0, line, "dcpwr_line", &handle, &reply.warning,
                                        &reply.error, reply.message),
              0);
    EXPECT_EQ(handle, 12);
}

TEST(ResmgrSession, SessionCallsCheckWhatTheyAreGiven) {
    Station station;
    const int32_t line = Alloc("Bench_LINE");
    const int32_t line2 = Alloc("Bench_LINE2");
    ASSERT_EQ(Open(line, "PIO2_A5").result, 0);
    int32_t session = 0;
    int32_t flag = 0;
    int32_t handle = 0;
    char value[64];
    Reply r[8];
    struct Case {
        const char* name;
        int32_t result;
        int32_t error;
    };
    const Case cases[] = {
        {"handle without a session of this bench",
         RESMGR_Set_Session_Handle(0, line2, "PIO2_A5", 1, &r[0].warning, &r[0].error,
                                   r[0].message),
         RESMGR_ERR_NO_SESSION},
        {"open on an unknown resource",
         RESMGR_Open_Session(0, 999, "PIO2_A5", &session, &flag, &r[1].warning, &r[1].error,
                             r[1].message),
         RESMGR_ERR_INVALID_RESOURCE},
        {"open without a device",
         RESMGR_Open_Session(0, line, nullptr, &session, &flag, &r[2].warning, &r[2].error,
                             r[2].message),
         RESMGR_ERR_INVALID_ARGUMENT},
        {"open with an empty device name",
         RESMGR_Open_Session(0, line, "  ", &session, &flag, &r[3].warning, &r[3].error,
                             r[3].message),
         RESMGR_ERR_INVALID_ARGUMENT},
        {"close of a device never opened",
         RESMGR_Close_Session(0, line, "SM160_B1", &flag, &r[4].warning, &r[4].error, r[4].message),
         RESMGR_ERR_NO_SESSION},
        {"handle of a device without sessions",
         RESMGR_Get_Session_Handle(0, 0, "SM160_B1", &handle, &r[5].warning, &r[5].error,
                                   r[5].message),
         RESMGR_ERR_NO_SESSION},
        {"value of a device the physical layer file lacks",
         RESMGR_Get_Value(0, line, "device->PSU_A7", "Type", value, sizeof value, &r[6].warning,
                          &r[6].error, r[6].message),
         RESMGR_ERR_DEVICE_NOT_FOUND},
        {"value through an unknown resource",
         RESMGR_Get_Value(0, -4, "PIO2_A5", "Type", value, sizeof value, &r[7].warning, &r[7].error,
                          r[7].message),
         RESMGR_ERR_INVALID_RESOURCE},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(cases[i].result, cases[i].error);
        EXPECT_EQ(r[i].error, cases[i].error);
        EXPECT_GT(std::strlen(r[i].message), 0u);
    }
    EXPECT_EQ(kora::resmgr::inspect::OpenSessions("PIO2_A5"), 1) << "failed calls changed nothing";
}

TEST(ResmgrSession, GetValueReadsTheDeviceSection) {
    Station station;
    const int32_t line = Alloc("Bench_LINE");
    struct Case {
        const char* device;
        const char* key;
        long size;
        const char* value;
        int32_t warning;
    };
    const Case cases[] = {
        {"device->PIO2_A5", "Type", 32, "PIO2", 0},
        {"PIO2_A5", "ResourceDesc", 128, "CAN0::0::5", 0},
        {"pio2_a5", "driveroption", 128, "Simulate=1,RangeCheck=1", 0},
        {"PIO2_A5", "DriverOption", 9, "Simulate", RESMGR_WARN_VALUE_CUT},
        {"SM160_B1", "DriverOption", 128, "", RESMGR_WARN_KEY_MISSING},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.device) + "/" + c.key);
        std::vector<char> value(static_cast<std::size_t>(c.size) + 8, '#');
        Reply reply;
        EXPECT_EQ(RESMGR_Get_Value(0, line, c.device, c.key, value.data(), c.size, &reply.warning,
                                   &reply.error, reply.message),
                  0);
        EXPECT_STREQ(value.data(), c.value);
        EXPECT_EQ(reply.warning, c.warning);
        EXPECT_EQ(std::string(value.data() + c.size, 8), std::string(8, '#'));
    }
}

TEST(ResmgrSession, LockHeldByAnotherThreadTimesOut) {
    Station station;
    const int32_t line = Alloc("Bench_LINE");
    const int32_t line2 = Alloc("Bench_LINE2");
    std::promise<int32_t> locked;
    std::promise<void> release;
    std::promise<int32_t> unlocked;
    std::thread holder([&] {
        Reply reply;
        locked.set_value(Lock(line, "device->PIO2_A5", 1000, reply));
        release.get_future().wait();
        unlocked.set_value(Unlock(line, "device->PIO2_A5", reply));
    });
    ASSERT_EQ(locked.get_future().get(), 0);

    Reply reply;
    EXPECT_EQ(Lock(line2, "PIO2_A5", 30, reply), RESMGR_ERR_LOCK_TIMEOUT);
    EXPECT_EQ(reply.error, RESMGR_ERR_LOCK_TIMEOUT);
    EXPECT_NE(reply.text().find("PIO2_A5"), std::string::npos) << reply.text();
    EXPECT_EQ(Lock(line2, "PIO2_A5", 0, reply), RESMGR_ERR_LOCK_TIMEOUT) << "no wait at all";
    EXPECT_EQ(Unlock(line2, "PIO2_A5", reply), RESMGR_ERR_NOT_LOCK_OWNER);
    EXPECT_TRUE(kora::resmgr::inspect::DeviceLocked("PIO2_A5"));
    // Another device is free meanwhile.
    EXPECT_EQ(Lock(line2, "SM160_B1", 0, reply), 0);

    release.set_value();
    holder.join();
    ASSERT_EQ(unlocked.get_future().get(), 0);
    EXPECT_EQ(Lock(line2, "PIO2_A5", 0, reply), 0);
    EXPECT_EQ(reply.warning, 0);
}

TEST(ResmgrSession, WaitingLockerGetsTheDeviceOnRelease) {
    Station station;
    const int32_t line = Alloc("Bench_LINE");
    std::promise<void> holding;
    std::atomic<bool> waiterStarted{false};
    std::thread holder([&] {
        Reply reply;
        Lock(line, "SM160_B1", 0, reply);
        holding.set_value();
        while (!waiterStarted.load()) {
            std::this_thread::yield();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        Unlock(line, "SM160_B1", reply);
    });
    holding.get_future().wait();
    waiterStarted = true;
    Reply reply;
    // Generous time-out: only a release that never wakes the waiter makes this fail.
    EXPECT_EQ(Lock(line, "SM160_B1", 20000, reply), 0) << reply.text();
    holder.join();
    EXPECT_TRUE(kora::resmgr::inspect::DeviceLocked("SM160_B1"));
}

TEST(ResmgrSession, TheSameThreadDoesNotNestLocks) {
    Station station;
    const int32_t line = Alloc("Bench_LINE");
    Reply reply;
    EXPECT_EQ(Lock(line, "PIO2_A5", 1000, reply), 0);
    EXPECT_EQ(reply.warning, 0);
    EXPECT_EQ(Lock(line, "device->PIO2_A5", 1000, reply), 0);
    EXPECT_EQ(reply.warning, RESMGR_WARN_ALREADY_LOCKED);
    EXPECT_NE(reply.text().find("already locked"), std::string::npos) << reply.text();
    EXPECT_EQ(Unlock(line, "PIO2_A5", reply), 0);
    EXPECT_FALSE(kora::resmgr::inspect::DeviceLocked("PIO2_A5")) << "one unlock releases";
    EXPECT_EQ(Unlock(line, "PIO2_A5", reply), RESMGR_ERR_NOT_LOCKED);
    EXPECT_EQ(Lock(line, "PIO2_A5", -1, reply), RESMGR_ERR_INVALID_ARGUMENT);
}

TEST(ResmgrSession, CleanupOfAThreadReleasesItsLocks) {
    Station station;
    const int32_t line = Alloc("Bench_LINE");
    int32_t results[3] = {-1, -1, -1};
    std::thread other([&] {
        Reply reply;
        int32_t resource = 0;
        results[0] = RESMGR_Alloc_Resource(0, "Bench_LINE2", &resource, &reply.warning,
                                           &reply.error, reply.message);
        results[1] = Lock(resource, "PIO2_A5", 0, reply);
        // This thread never set up, so its cleanup only drops what it holds.
        results[2] = RESMGR_Cleanup(0, &reply.warning, &reply.error, reply.message);
    });
    other.join();
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(results[1], 0);
    EXPECT_EQ(results[2], 0);
    EXPECT_FALSE(kora::resmgr::inspect::DeviceLocked("PIO2_A5"));
    Reply reply;
    EXPECT_EQ(Lock(line, "PIO2_A5", 0, reply), 0);
    EXPECT_EQ(Open(line, "PIO2_A5").result, 0) << "the configuration is still there";
}

TEST(ResmgrSession, FullCleanupReleasesResourcesSessionsAndHandles) {
    Station station;
    const int32_t line = Alloc("Bench_LINE");
    ASSERT_EQ(Open(line, "PIO2_A5").first, 1);
    Reply reply;
    ASSERT_EQ(RESMGR_Set_Session_Handle(0, line, "PIO2_A5", 3, &reply.warning, &reply.error,
                                        reply.message),
              0);
    ASSERT_EQ(Lock(line, "PIO2_A5", 0, reply), 0);
    ASSERT_EQ(RESMGR_Cleanup(0, &reply.warning, &reply.error, reply.message), 0);

    int32_t type = 0;
    EXPECT_EQ(RESMGR_Get_Resource_Type(0, line, &type, &reply.warning, &reply.error, reply.message),
              RESMGR_ERR_INVALID_RESOURCE);
    EXPECT_EQ(kora::resmgr::inspect::OpenSessions("PIO2_A5"), 0);
    EXPECT_FALSE(kora::resmgr::inspect::DeviceLocked("PIO2_A5"));

    Station again; // set up once more from the same files
    const int32_t next = Alloc("Bench_LINE");
    EXPECT_EQ(Open(next, "PIO2_A5").first, 1);
    int32_t handle = 0;
    EXPECT_EQ(RESMGR_Get_Session_Handle(0, next, "PIO2_A5", &handle, &reply.warning, &reply.error,
                                        reply.message),
              RESMGR_ERR_NO_HANDLE);
}
