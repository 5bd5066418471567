#include "bench/device.h"
#include "frame/text.h"

#include <resmgr.h>
#include <resmgr/resmgr_inspect.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <unistd.h>

namespace kora {
namespace {

namespace fs = std::filesystem;

TEST(DeviceRecords, ResetGivesEmptySlots) {
    std::unique_ptr<BenchRecord, decltype(&std::free)> bench(
        static_cast<BenchRecord*>(std::calloc(1, sizeof(BenchRecord))), &std::free);
    bench->dmm[3].inUse = 1;
    bench->urm[15].handle = 5;
    bench->channelCount = 9;
    ResetBenchRecord(*bench);
    for (const DeviceRecord* d : {&bench->dmm[3], &bench->urm[15], &bench->routing, &bench->adio[0],
                                  &bench->cartridge[2], &bench->funcgen[3]}) {
        EXPECT_EQ(d->inUse, 0);
        EXPECT_EQ(d->handle, -1);
        EXPECT_EQ(d->session, -1);
        EXPECT_STREQ(d->state.triggerSource, "IMMEDIATE");
        EXPECT_EQ(d->state.value64, -1);
        EXPECT_EQ(d->state.value32, -1);
        EXPECT_EQ(d->state.value12, 12);
    }
    EXPECT_EQ(bench->channelCount, 0);
    EXPECT_STREQ(bench->channelList, "-,");
}

TEST(DeviceRecords, OptionsKindsAndNames) {
    struct Sim {
        const char* options;
        bool acceptTrue, expected;
    } sims[] = {
        {"Simulate=1", false, true},     {"RangeCheck=1, Simulate=1", false, true},
        {"Simulate=true", false, false}, {"Simulate=true", true, true},
        {"Simulate=0", true, false},     {"Simulate=10", false, false},
        {"NoSimulate=1", false, false},  {nullptr, true, false},
    };
    for (const auto& s : sims) {
        EXPECT_EQ(HasSimulateOption(s.options, s.acceptTrue), s.expected)
            << (s.options ? s.options : "<null>");
    }
    EXPECT_EQ(DriverKindOf(kClassDmm, "PSAM"), 2);
    EXPECT_EQ(DriverKindOf(kClassDmm, "IVI_DMM"), 240);
    EXPECT_EQ(DriverKindOf(kClassFuncgen, "PFG"), 9);
    EXPECT_EQ(DriverKindOf(kClassFuncgen, "IVI_FGEN"), 241);
    EXPECT_EQ(DriverKindOf(kClassScope, "PAM"), 10);
    EXPECT_EQ(DriverKindOf(kClassScope, "IVI_SCOPE"), 242);
    EXPECT_EQ(DriverKindOf(kClassAdio, "PIO2"), 5);
    EXPECT_EQ(DriverKindOf(kClassDmm, "PFG"), 255);
    EXPECT_EQ(DriverKindOf(kClassDmm, nullptr), 255);
    EXPECT_STREQ(DeviceNameOf("device->PIO2_A5"), "PIO2_A5");
    EXPECT_STREQ(DeviceNameOf("a->b->c"), "b->c");
    EXPECT_STREQ(DeviceNameOf("PLAIN"), "PLAIN");
}

class ManagedDevices : public ::testing::Test {
  protected:
    void SetUp() override {
        resmgr::inspect::Reset();
        fs::path data = fs::path(KORA_CORPUS_DIR).parent_path() / "platform" / "data";
        int32_t w = 0, e = 0;
        char m[1024] = {};
        RESMGR_Setup(0, (data / "resmgr_physical.ini").c_str(),
                     (data / "resmgr_swconfig.ini").c_str(), &w, &e, m);
        ASSERT_EQ(e, 0) << m;
    }
    void TearDown() override {
        int32_t w = 0, e = 0;
        char m[1024];
        RESMGR_Cleanup(0, &w, &e, m);
        resmgr::inspect::Reset();
    }
    StepError error_;
};

TEST_F(ManagedDevices, SharedModuleOpensOnceAndKeepsItsHandle) {
    int32_t line1 = 0, line2 = 0;
    DeviceRecord first, second;
    ResetDeviceRecord(first);
    ResetDeviceRecord(second);
    ASSERT_EQ(OpenManagedDevice(0, "Bench_LINE", "ADIODevice", "PIO2", &line1, first, error_), 0)
        << error_.message;
    ASSERT_EQ(OpenManagedDevice(1, "Bench_LINE", "ADIODevice", "PIO2", &line1, first, error_),
              kOpenNewSession)
        << error_.message;
    EXPECT_STREQ(first.key, "ADIODevice");
    EXPECT_STREQ(first.name, "PIO2_A5");
    EXPECT_STREQ(first.type, "PIO2");
    EXPECT_STREQ(first.resourceDesc, "CAN0::0::5");
    EXPECT_STREQ(first.driverOption, "Simulate=1");
    EXPECT_TRUE(resmgr::inspect::DeviceLocked("PIO2_A5"));
    first.handle = 77; // as the driver's initialisation would give it
    EXPECT_EQ(OpenManagedDevice(-1, "Bench_LINE", "ADIODevice", "PIO2", &line1, first, error_), 0);
    EXPECT_FALSE(resmgr::inspect::DeviceLocked("PIO2_A5"));

    ASSERT_EQ(OpenManagedDevice(0, "Bench_LINE2", "ADIODevice", "PIO2", &line2, second, error_), 0);
    EXPECT_EQ(OpenManagedDevice(1, "Bench_LINE2", "ADIODevice", "PIO2", &line2, second, error_),
              kOpenSessionKept);
    EXPECT_EQ(second.handle, 77);
    EXPECT_EQ(resmgr::inspect::OpenSessions("PIO2_A5"), 2);
}

TEST_F(ManagedDevices, PassedOverMissingAndInvalid) {
    int32_t res = 0;
    DeviceRecord d;
    ResetDeviceRecord(d);
    ASSERT_EQ(OpenManagedDevice(0, "Bench_LINE", "SwitchDevice", "SM160", &res, d, error_), 0);
    // The first switch device is numbered: the plain key is missing, "SwitchDevice1" is used.
    EXPECT_EQ(OpenManagedDevice(1, "Bench_LINE", "SwitchDevice", "SM160", &res, d, error_),
              kOpenNewSession);
    EXPECT_STREQ(d.key, "SwitchDevice1");
    // A device of a type the caller does not take is passed over without a session.
    DeviceRecord psam;
    ResetDeviceRecord(psam);
    EXPECT_EQ(OpenManagedDevice(1, "Bench_LINE", "ICTDevice", "PICT,PSU", &res, psam, error_),
              kOpenPassedOver);
    EXPECT_EQ(psam.session, -1);
    EXPECT_FALSE(error_.failed());
    EXPECT_EQ(OpenManagedDevice(2, "Bench_LINE", "ADIODevice", "PIO2", &res, d, error_),
              kOpenFailed);
    EXPECT_EQ(error_.code, 0x81000011u);
    EXPECT_STREQ(error_.message, "Device not defined");

    StepError notBench;
    EXPECT_EQ(OpenManagedDevice(0, "DCPwr_LINE", "X", "PIO2", &res, d, notBench), kOpenFailed);
    EXPECT_EQ(notBench.code, 0x81000012u);
    EXPECT_STREQ(notBench.message, "Invalid BENCH name");
}

TEST(ManagedDeviceConfiguration, UndescribedDeviceIsNamedNotPassedOver) {
    const struct {
        const char* physical;
        const char* message;
    } cases[] = {
        {"", "device->CARD: 'Type' entry in physical layer file not found"},
        {"[device->CARD]\nResourceDesc = CAN0::0::7\n",
         "device->CARD: 'Type' entry in physical layer file not found"},
        {"[device->CARD]\nType = SM160\n",
         "device->CARD: 'ResourceDesc' entry in physical layer file not found"},
    };
    const fs::path dir =
        fs::temp_directory_path() / ("kora_undescribed_" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "sw.ini") << "[B]\nType = BENCH\nSwitchDevice1 = device->CARD\n";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        std::ofstream(dir / "hw.ini") << c.physical;
        resmgr::inspect::Reset();
        int32_t w = 0, e = 0, res = 0;
        char m[1024] = {};
        RESMGR_Setup(0, (dir / "hw.ini").c_str(), (dir / "sw.ini").c_str(), &w, &e, m);
        ASSERT_EQ(e, 0) << m;
        DeviceRecord d;
        ResetDeviceRecord(d);
        StepError error;
        ASSERT_EQ(OpenManagedDevice(0, "B", "SwitchDevice", "SM160", &res, d, error), 0)
            << error.message;
        EXPECT_EQ(OpenManagedDevice(1, "B", "SwitchDevice", "SM160", &res, d, error), kOpenFailed);
        EXPECT_EQ(error.code, 0x81000012u);
        EXPECT_STREQ(error.message, c.message);
        EXPECT_FALSE(resmgr::inspect::DeviceLocked("CARD"));
        RESMGR_Cleanup(0, &w, &e, m);
    }
    resmgr::inspect::Reset();
    fs::remove_all(dir);
}

} // namespace
} // namespace kora
