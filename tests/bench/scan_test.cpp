// The device scan on stations of its own: which records it writes, how it names slots and
// devices in each naming mode, what it logs, and how it gets past a module it cannot read.
#include <executive/rvo_runtime.h>
#include <vbench/bench/virtual_bench.h>

#include <kora/step_methods.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using kora::vbench::VirtualBench;

// Modules on every bus, out of slot order, with two system modules, a kind without a driver, a
// kind this library does not know, and one relay module.
constexpr const char* kRack = R"(
[device->A]
Type = PSAM
ResourceDesc = CAN0::0::3
[device->B]
Type = PSYS1
ResourceDesc = CAN0::0::1
[device->C]
Type = PSU
ResourceDesc = CAN0::1::9
[device->D]
Type = 42
ResourceDesc = CAN0::1::16
[device->E]
Type = PSYS1
ResourceDesc = CAN1::0::2
[device->F]
Type = PIO1
ResourceDesc = CAN1::0::4
[device->G]
Type = PSM3
ResourceDesc = CAN1::1::12
[device->H]
Type = PSAM
ResourceDesc = CAN1::1::10
[device->R]
Type = URM
ResourceDesc = URM1::14
)";

struct Row {
    std::string code, device, slot;
    bool operator==(const Row&) const = default;
};

class DeviceScan : public ::testing::Test {
  protected:
    void SetUp() override { kora::rvo::Runtime::instance().reset(); }
    void TearDown() override {
        VirtualBench::activate(nullptr);
        kora::rvo::Runtime::instance().reset();
    }

    void Station(const std::string& devices, const std::string& cartridges) {
        const fs::path dir =
            fs::temp_directory_path() / ("kora_scan_" + std::to_string(::getpid()));
        fs::create_directories(dir);
        std::ofstream(dir / "b.cir") << "b\nR1 a 0 1\n";
        std::ofstream(dir / "hw.ini")
            << devices << "\n[VirtualBench]\nBoard = b.cir\n"
            << (cartridges.empty() ? "" : "Cartridges = " + cartridges) << "\n";
        bench_ = std::make_shared<VirtualBench>();
        bench_->loadStation(kora::vbench::LoadStation((dir / "hw.ini").string()));
        fs::remove_all(dir);
        VirtualBench::activate(bench_);
    }

    uint32_t Scan(long naming, int32_t maxCount = 32) {
        kora::rvo::Runtime::instance().setDeviceNaming(naming);
        table_.assign(static_cast<std::size_t>(maxCount) + 1, KoraScanRecord{});
        table_.back().text[0][0] = 'x'; // past maxCount: must stay as it was
        uint32_t found = 77;
        EXPECT_EQ(SCAN_FOR_KORA_DEVICES(maxCount, &found, table_.data()), 0);
        EXPECT_STREQ(table_.back().text[0], "x");
        return found;
    }

    std::vector<Row> Rows(uint32_t found) const {
        std::vector<Row> rows;
        for (uint32_t i = 0; i < found; ++i) {
            rows.push_back({table_[i].text[0], table_[i].text[4], table_[i].text[8]});
        }
        return rows;
    }

    std::vector<std::string> Log() const {
        std::vector<std::string> lines;
        for (const auto& m : kora::rvo::Runtime::instance().messages()) {
            lines.push_back(m.text);
        }
        return lines;
    }

    std::shared_ptr<VirtualBench> bench_;
    std::vector<KoraScanRecord> table_;
};

TEST_F(DeviceScan, NamesSlotsAndDevicesInEveryNamingMode) {
    struct Case {
        const char* what;
        long naming;
        const char* cartridges;
        std::vector<Row> rows;
    };
    const std::vector<Case> cases = {
        {"by slot",
         0,
         "",
         {{"PSYS1", "PSYS1_1", "A1"},
          {"PSAM", "PSAM_A3", "A3"},
          {"PSU", "PSU_B1", "B1"},
          {"UNKNOWN", "UNKNOWN_B8", "B8"},
          {"PSYS1", "PSYS1_2", "A2"},
          {"PIO1", "PIO1_A4", "A4"},
          {"PSAM", "PSAM_B2", "B2"},
          {"PSM3", "PSM3_B4", "B4"},
          {"URM", "R", "1-14"}}},
        {"a system cartridge shifts the slots",
         1,
         "VPC, scc, SSC",
         {{"PSYS1", "PSYS1_1", ""},
          {"PSAM", "PSAM_A1", "A1"},
          {"PSU", "PSU_B0", "B0"},
          {"UNKNOWN", "UNKNOWN_B7", "B7"},
          {"PSYS1", "PSYS1_2", ""},
          {"PIO1", "PIO1_A2", "A2"},
          {"PSAM", "PSAM_B1", "B1"},
          {"PSM3", "PSM3_B3", "B3"},
          {"URM", "R", "1-14"}}},
        {"an SCC after the SSC is not looked at",
         0,
         "SSC, SCC",
         {{"PSYS1", "PSYS1_1", "A1"},
          {"PSAM", "PSAM_A3", "A3"},
          {"PSU", "PSU_B1", "B1"},
          {"UNKNOWN", "UNKNOWN_B8", "B8"},
          {"PSYS1", "PSYS1_2", "A2"},
          {"PIO1", "PIO1_A4", "A4"},
          {"PSAM", "PSAM_B2", "B2"},
          {"PSM3", "PSM3_B4", "B4"},
          {"URM", "R", "1-14"}}},
        {"numbered per kind",
         2,
         "SCC",
         {{"PSYS1", "PSYS1_1", "1"},
          {"PSAM", "PSAM_1", "3"},
          {"PSU", "PSU_1", "9"},
          {"UNKNOWN", "UNKNOWN_1", "16"},
          {"PSYS1", "PSYS1_2", "2"},
          {"PIO1", "PIO1_1", "4"},
          {"PSAM", "PSAM_2", "10"},
          {"PSM3", "PSM3_1", "12"},
          {"URM", "R", "1-14"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Station(kRack, c.cartridges);
        const uint32_t found = Scan(c.naming);
        EXPECT_EQ(Rows(found), c.rows);
    }
}

TEST_F(DeviceScan, FillsTheRecordOfEachKind) {
    Station(kRack, "");
    ASSERT_EQ(Scan(0), 9u);
    struct Case {
        std::size_t record;
        int text; // from 1
        const char* expected;
    };
    const Case cases[] = {
        {1, 2, "PSAM, Analog Source and Measurement Module"},
        {1, 7, "virtual, rspsam virtual bench 1.0"},
        {1, 8, "CAN0::0::3"},
        {1, 10, "rspsam.dll"},
        {1, 11, "rspsam"},
        {1, 12, "Simulate=0,RangeCheck=1"},
        {1, 13, "VB-PSAM-00-03"},
        {1, 14, "1.0"},
        {8, 2, "Universal Relay/IO Module"},
        {8, 8, "URM1::14"},
        {8, 10, "VX_Urm.dll"},
        {8, 11, "VX_Urm"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(table_[c.record].text[c.text - 1], c.expected)
            << "record " << c.record << " text " << c.text;
    }
    EXPECT_EQ(table_[1].value[0], 3);
    EXPECT_EQ(table_[1].value[1], 35);
    EXPECT_EQ(table_[8].value[0], 0);
}

TEST_F(DeviceScan, KnowsEveryKindAndItsDriver) {
    struct Case {
        const char* type; // as the physical layer file gives it
        const char* code;
        const char* name;   // text 2
        const char* driver; // whose revision text 7 holds; "" when none is asked
    };
    const Case cases[] = {
        {"0", "OTHER", "", ""},
        {"PSAM", "PSAM", "PSAM, Analog Source and Measurement Module", "rspsam"},
        {"PAM", "PAM", "PAM, Signal Analyzer Module", "rspam"},
        {"PDFT", "PDFT", "PDFT, Digital Functional Test Module", "rspdft"},
        {"PFG", "PFG", "PFG, Function Generator Module", "rspfg"},
        {"PHDT", "PHDT", "PHDT, High-Speed Digital Test Module", "rsphdt"},
        {"PICT", "PICT", "PICT, ICT Expansion Module", "rspict"},
        {"PIO1", "PIO1", "PIO1", ""},
        {"PIO2", "PIO2", "PIO2, Analog and Digital I/O Module", "rspio2"},
        {"PSU", "PSU", "PSU, Power Supply/Load Module", "rspsu"},
        {"PMB", "PMB", "PMB, Switch Matrix Module", "rspmb"},
        {"PSM1", "PSM1", "PSM1, Power Switching Module", "rspsm1"},
        {"PSM2", "PSM2", "PSM2, Multiplex/Switch Module", "rspsm2"},
        {"PSYS1", "PSYS1", "PSYS1", "rspsys"},
        {"PSYS2", "PSYS2", "PSYS2", "rspsys"},
        {"PSU12", "PSU12", "PSU12, Power Supply/Load Module", "rspsu"},
        {"PIO3B", "PIO3B", "PIO3B, Digital I/O Module", "rspio3b"},
        {"PSM3", "PSM3", "PSM3, Power Switching Module up to 30 A", "rspsm3"},
        {"PSM4", "PSM4", "PSM4, Power Switching Module up to 16 A", "rspsm4"},
        {"PSM5", "PSM5", "PSM5, Power Switching Module up to 16 A", "rspsm5"},
        {"20", "UNKNOWN", "", ""},
        {"255", "UNKNOWN", "", ""},
    };
    std::string devices;
    int slot = 0;
    for (const auto& c : cases) {
        ++slot;
        devices += "[device->D" + std::to_string(slot) + "]\nType = " + c.type +
                   "\nResourceDesc = CAN0::" + (slot <= 16 ? "0::" : "1::") +
                   std::to_string(slot <= 16 ? slot : slot - 16) + "\n";
    }
    Station(devices, "");
    ASSERT_EQ(Scan(0), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.type);
        EXPECT_STREQ(table_[i].text[0], c.code);
        EXPECT_STREQ(table_[i].text[1], c.name);
        const std::string revision = table_[i].text[6];
        if (c.driver[0] == 0) {
            EXPECT_EQ(revision, "");
        } else {
            EXPECT_NE(revision.find(std::string(c.driver) + " "), std::string::npos) << revision;
        }
    }
}

TEST_F(DeviceScan, LogsEachBusAndDevice) {
    Station(kRack, "");
    Scan(0);
    const auto log = Log();
    const std::vector<std::string> expected = {
        "Scan CAN0::0",
        "2 Modules found on CAN0::0",
        "0 UCM Modules found",
        "Found Device: PSYS1_1",
        "PSYS1_1 Firmware: virtual",
        "PSYS1_1 Driver: rspsys virtual bench 1.0",
        "0 UCM Modules found",
        "Found Device: PSAM_A3",
        "PSAM_A3 Firmware: virtual",
        "PSAM_A3 Driver: rspsam virtual bench 1.0",
        "Scan CAN0::1",
        "2 Modules found on CAN0::1",
        "0 UCM Modules found",
        "Found Device: PSU_B1",
        "PSU_B1 Firmware: virtual",
        "PSU_B1 Driver: rspsu virtual bench 1.0",
        "0 UCM Modules found",
        "Found Device: UNKNOWN_B8",
        "ERROR: Unknown Devive!",
        "Scan CAN1::0",
    };
    ASSERT_GE(log.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + expected.size()), expected);
    EXPECT_NE(std::find(log.begin(), log.end(), "Scan CAN1::1"), log.end());
}

TEST_F(DeviceScan, GoesOnPastAModuleItCannotRead) {
    struct Case {
        const char* function;
        int32_t code;
        const char* logged;      // a line the failure leaves in the log
        const char* firstDevice; // text 5 of the first record
        const char* firstRevision;
    };
    const Case cases[] = {
        {"UTIL_Module_Attribute_Text", -21999, "injected failure", "Error InitDeviceStruct", ""},
        {"UCM_Scan", -7, "injected failure", "Error InitDeviceStruct", ""},
        {"rspsys_init", -1074003951, "ERROR: Opening Device PSYS1_1 for query.", "PSYS1_1", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.function);
        Station(kRack, "");
        kora::rvo::Runtime::instance().reset();
        bench_->faults().add({c.function, 1, false, c.code, "injected failure"});
        ASSERT_EQ(Scan(0), 9u);
        EXPECT_STREQ(table_[0].text[4], c.firstDevice);
        EXPECT_STREQ(table_[0].text[6], c.firstRevision);
        EXPECT_STREQ(table_[1].text[4], "PSAM_A3") << "the next module is read as ever";
        EXPECT_STREQ(table_[1].text[6], "virtual, rspsam virtual bench 1.0");
        const auto log = Log();
        EXPECT_NE(std::find_if(
                      log.begin(), log.end(),
                      [&](const std::string& l) { return l.find(c.logged) != std::string::npos; }),
                  log.end());
    }
}

TEST_F(DeviceScan, WritesNoMoreThanTheCallerHasRoomFor) {
    Station(kRack, "");
    EXPECT_EQ(Scan(0, 3), 3u);
    EXPECT_STREQ(table_[2].text[4], "PSU_B1");
    uint32_t found = 5;
    EXPECT_EQ(SCAN_FOR_KORA_DEVICES(0, &found, nullptr), 0);
    EXPECT_EQ(found, 0u);
}

} // namespace
