// What the device scan and the fixture steps find on a station, through the C functions only: the
// cartridge cards (UCM), the modules of each bus with their attributes (UTIL) and the relay
// modules (VX_Urm).
#include "setup_station_fixture.h"

#include <ucm.h>
#include <util.h>
#include <vx_urm.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kora::vbench::testing {
namespace {

namespace fs = std::filesystem;

constexpr ViStatus kResourceNotFound = static_cast<ViStatus>(0xBFFF0011);
constexpr ViStatus kInvalidSession = static_cast<ViStatus>(0xBFFA4001);

class VbenchCardsModules : public SetupStation {
  protected:
    // A station of its own: one board and the [VirtualBench] lines given.
    std::shared_ptr<VirtualBench> OtherStation(const std::string& lines) {
        const fs::path dir =
            fs::temp_directory_path() / ("kora_cards_" + std::to_string(::getpid()));
        fs::create_directories(dir);
        std::ofstream(dir / "b.cir") << "b\nR1 a 0 1\n";
        std::ofstream(dir / "hw.ini") << "[VirtualBench]\nBoard = b.cir\n" << lines;
        auto bench = std::make_shared<VirtualBench>();
        bench->loadStation(LoadStation((dir / "hw.ini").string()));
        fs::remove_all(dir);
        return bench;
    }
};

TEST_F(VbenchCardsModules, UcmScanListsTheCardsOfTheStationInOrder) {
    UCM_CARD_INFO cards[4] = {};
    uint32_t found = 99;
    ASSERT_EQ(UCM_Scan(cards, 4, &found), UCM_OK);
    ASSERT_EQ(found, 2u);
    EXPECT_STREQ(cards[0].name, "SSC");
    EXPECT_STREQ(cards[0].description, "System Control Cartridge");
    EXPECT_STREQ(cards[0].serialNumber, "VB-SSC-01");
    EXPECT_STREQ(cards[1].name, "vpc") << "as the station writes it";
    EXPECT_STREQ(cards[1].description, "Vacuum, Pneumatic and Actuator Control Cartridge");
    EXPECT_STREQ(cards[1].serialNumber, "VB-VPC-02");

    UCM_CARD_INFO one[1] = {};
    ASSERT_EQ(UCM_Scan(one, 1, &found), UCM_OK);
    EXPECT_EQ(found, 1u);
    EXPECT_STREQ(one[0].name, "SSC");

    VirtualBench::activate(OtherStation(""));
    found = 99;
    EXPECT_EQ(UCM_Scan(cards, 4, &found), UCM_STATUS_NO_CARDS);
    EXPECT_EQ(found, 0u);
    EXPECT_STREQ(UCM_StatusToMSG(UCM_STATUS_NO_CARDS), "No control card found");
    VirtualBench::activate(OtherStation("Cartridges = ACC, SCC , ,SSC\n"));
    ASSERT_EQ(UCM_Scan(cards, 4, &found), UCM_OK);
    ASSERT_EQ(found, 3u);
    EXPECT_STREQ(cards[1].name, "SCC");
    EXPECT_STREQ(cards[2].serialNumber, "VB-SSC-03");

    VirtualBench::activate(nullptr);
    EXPECT_EQ(UCM_Scan(cards, 4, &found), -101);
    EXPECT_EQ(std::string(UCM_StatusToMSG(-101)).rfind("No virtual bench is active", 0), 0u);
    VirtualBench::activate(bench_);
}

TEST_F(VbenchCardsModules, UcmCardsOpenByNameAndKeepTheirPorts) {
    UCM_HANDLE ssc = 0, again = 0, vcc = 77;
    char serial[UCM_TEXT_SIZE] = {}, revision[UCM_TEXT_SIZE] = {};
    ASSERT_EQ(UCM_Init("ssc", &ssc, serial, revision), UCM_OK);
    EXPECT_NE(ssc, 0);
    EXPECT_STREQ(serial, "VB-SSC-01");
    EXPECT_STREQ(revision, "1.0");
    ASSERT_EQ(UCM_Init("SSC", &again, nullptr, nullptr), UCM_OK);
    EXPECT_NE(again, ssc);

    const UCM_STATUS missing = UCM_Init("VCC", &vcc, serial, revision);
    EXPECT_EQ(missing, -102);
    EXPECT_EQ(vcc, 0);
    EXPECT_STREQ(UCM_StatusToMSG(missing), "The control card is not present");

    uint16_t value = 0;
    ASSERT_EQ(UCM_GetStatusIN(ssc, &value), UCM_OK);
    EXPECT_EQ(value, 0xFFFF) << "every supply good";
    ASSERT_EQ(UCM_GetIsolatedIN(ssc, &value), UCM_OK);
    EXPECT_EQ(value, 0x0000);

    // Bits in the mask take the value's bits, the others stay; both handles see one card.
    struct Step {
        uint16_t mask, value, expected;
    } steps[] = {
        {0x00FF, 0x0F0F, 0x000F}, {0xF000, 0xFFFF, 0xF00F}, {0x0003, 0x0000, 0xF00C},
        {0x0000, 0xFFFF, 0xF00C}, {0xFFFF, 0x1234, 0x1234},
    };
    for (const Step& s : steps) {
        ASSERT_EQ(UCM_SetIsolatedOUT(ssc, s.mask, s.value), UCM_OK);
        ASSERT_EQ(UCM_GetIsolatedOUT(again, &value), UCM_OK);
        EXPECT_EQ(value, s.expected) << std::hex << s.mask << " " << s.value;
    }
    ASSERT_EQ(UCM_SetOpenDrainOUT(ssc, 9, 0xFFFF), UCM_OK);
    ASSERT_EQ(UCM_GetIsolatedOUT(ssc, &value), UCM_OK);
    EXPECT_EQ(value, 0x1234) << "the open-drain port is another port";

    ASSERT_EQ(UCM_ResetFPGA(again), UCM_OK);
    ASSERT_EQ(UCM_GetIsolatedOUT(ssc, &value), UCM_OK);
    EXPECT_EQ(value, 0x0000) << "back to the power-on state";

    UCM_HANDLE vpc = 0;
    ASSERT_EQ(UCM_Init("VPC", &vpc, nullptr, nullptr), UCM_OK);
    ASSERT_EQ(UCM_SetIsolatedOUT(vpc, 0xFFFF, 0x00FF), UCM_OK);
    ASSERT_EQ(UCM_GetIsolatedOUT(ssc, &value), UCM_OK);
    EXPECT_EQ(value, 0x0000) << "each card has its own ports";

    EXPECT_EQ(UCM_Close(ssc), UCM_OK);
    EXPECT_EQ(UCM_GetIsolatedOUT(ssc, &value), -103);
    EXPECT_EQ(UCM_Close(ssc), -103);
    EXPECT_STREQ(UCM_StatusToMSG(-103), "Invalid control card handle");
    EXPECT_EQ(UCM_GetIsolatedOUT(again, nullptr), -104);
    EXPECT_STREQ(UCM_StatusToMSG(12345), "Unknown UCM status 12345");

    // The next call fails (occurrences count from the bench's start).
    bench_->faults().add({"UCM_SetOpenDrainOUT", bench_->faults().calls("UCM_SetOpenDrainOUT") + 1,
                          false, -555, "Cartridge FPGA not loaded"});
    EXPECT_EQ(UCM_SetOpenDrainOUT(again, 1, 1), -555);
    EXPECT_STREQ(UCM_StatusToMSG(-555), "Cartridge FPGA not loaded");
    const auto calls = bench_->journal().calls("UCM_SetOpenDrainOUT");
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().arguments, std::to_string(again) + ", 0x1, 0x1");
    EXPECT_TRUE(calls.back().injected);
}

TEST_F(VbenchCardsModules, UtilFindsTheModulesOfEachBusWithSlotAndAttributes) {
    struct Module {
        int32_t kind, slot;
        const char* name;
        const char* resource;
        const char* prefix;
        const char* serial;
    };
    struct Bus {
        const char* bus;
        std::vector<Module> bySlot;
    } buses[] = {
        {"CAN0::0",
         {{1, 3, "PSAM", "CAN0::0::3", "rspsam", "VB-PSAM-00-03"},
          {9, 5, "PSU", "CAN0::0::5", "rspsu", "VB-PSU-00-05"},
          {3, 6, "PDFT", "CAN0::0::6", "rspdft", "VB-PDFT-00-06"},
          {2, 7, "PAM", "CAN0::0::7", "rspam", "VB-PAM-00-07"}}},
        {"can0::1", {{4, 10, "PFG", "CAN0::1::10", "rspfg", "VB-PFG-01-10"}}},
        {"CAN1::0", {{6, 4, "PICT", "CAN1::0::4", "rspict", "VB-PICT-10-04"}}},
        {"CAN1::1", {{17, 15, "PSM3", "CAN1::1::15", "rspsm3", "VB-PSM3-11-15"}}},
        {"CAN3::0", {}},
    };
    for (const Bus& b : buses) {
        SCOPED_TRACE(b.bus);
        StatusBlock s;
        int32_t list = 0, count = -1;
        ASSERT_EQ(UTIL_Module_Search(0, b.bus, &list, &count, &s.warning, &s.error, s.message), 0)
            << s.message;
        ASSERT_EQ(count, static_cast<int32_t>(b.bySlot.size()));
        ASSERT_EQ(
            UTIL_Module_Sort_List(0, list, UTIL_SORT_BY_SLOT, &s.warning, &s.error, s.message), 0);
        for (int32_t i = 0; i < count; ++i) {
            const Module& m = b.bySlot[static_cast<std::size_t>(i)];
            SCOPED_TRACE(m.resource);
            auto number = [&](long attribute) {
                int32_t v = -1;
                EXPECT_EQ(UTIL_Module_Attribute_Int(0, list, i, attribute, &v, &s.warning, &s.error,
                                                    s.message),
                          0)
                    << s.message;
                return v;
            };
            auto text = [&](long attribute) {
                char v[256] = "stale";
                EXPECT_EQ(UTIL_Module_Attribute_Text(0, list, i, attribute, v, &s.warning, &s.error,
                                                     s.message),
                          0)
                    << s.message;
                return std::string(v);
            };
            EXPECT_EQ(number(UTIL_ATTR_KIND), m.kind);
            EXPECT_EQ(text(UTIL_ATTR_KIND), m.name);
            EXPECT_EQ(number(UTIL_ATTR_BUS_ADDRESS), 32 + m.slot);
            EXPECT_EQ(number(UTIL_ATTR_SLOT), m.slot);
            EXPECT_EQ(text(UTIL_ATTR_SLOT), std::to_string(m.slot));
            EXPECT_EQ(text(UTIL_ATTR_RESOURCE_DESC), m.resource);
            EXPECT_EQ(text(UTIL_ATTR_DRIVER_LIBRARY), std::string(m.prefix) + ".dll");
            EXPECT_EQ(text(UTIL_ATTR_DRIVER_PREFIX), m.prefix);
            EXPECT_EQ(text(UTIL_ATTR_SERIAL_NUMBER), m.serial);
            EXPECT_EQ(text(UTIL_ATTR_HW_REVISION), "1.0");
        }
        EXPECT_EQ(UTIL_Module_Free_List(0, list, &s.warning, &s.error, s.message), 0);
    }
}

TEST_F(VbenchCardsModules, UtilListsSortAndRefuseWhatTheyDoNotHave) {
    StatusBlock s;
    int32_t list = 0, count = 0;
    ASSERT_EQ(UTIL_Module_Search(0, "CAN0::0", &list, &count, &s.warning, &s.error, s.message), 0);
    auto slots = [&] {
        std::vector<int32_t> out;
        for (int32_t i = 0; i < count; ++i) {
            int32_t slot = 0;
            UTIL_Module_Attribute_Int(0, list, i, UTIL_ATTR_SLOT, &slot, &s.warning, &s.error,
                                      s.message);
            out.push_back(slot);
        }
        return out;
    };
    EXPECT_EQ(slots(), (std::vector<int32_t>{7, 5, 3, 6})) << "as the station lists them";
    ASSERT_EQ(UTIL_Module_Sort_List(0, list, UTIL_SORT_BY_KIND, &s.warning, &s.error, s.message),
              0);
    EXPECT_EQ(slots(), (std::vector<int32_t>{3, 7, 6, 5})) << "PSAM, PAM, PDFT, PSU";
    ASSERT_EQ(UTIL_Module_Sort_List(0, list, UTIL_SORT_BY_SLOT, &s.warning, &s.error, s.message),
              0);
    EXPECT_EQ(slots(), (std::vector<int32_t>{3, 5, 6, 7}));

    int32_t number = 0;
    char text[256];
    struct Case {
        const char* what;
        int32_t status;
        int32_t expected;
        const char* message;
    } cases[] = {
        {"sort key 3", UTIL_Module_Sort_List(0, list, 3, &s.warning, &s.error, s.message), -21010,
         "Invalid sort key"},
        {"attribute 9",
         UTIL_Module_Attribute_Text(0, list, 0, 9, text, &s.warning, &s.error, s.message), -21008,
         "Unknown module attribute"},
        {"text attribute as integer",
         UTIL_Module_Attribute_Int(0, list, 0, UTIL_ATTR_RESOURCE_DESC, &number, &s.warning,
                                   &s.error, s.message),
         -21009, "is a text"},
        {"index 4",
         UTIL_Module_Attribute_Int(0, list, 4, 1, &number, &s.warning, &s.error, s.message), -21006,
         "index 4 (0 to 3)"},
        {"bus without line",
         UTIL_Module_Search(0, "CAN0", &number, &count, &s.warning, &s.error, s.message), -21005,
         "'CAN0'"},
        {"context 1",
         UTIL_Module_Search(1, "CAN0::0", &number, &count, &s.warning, &s.error, s.message), -21001,
         "reserved context"},
        {"free", UTIL_Module_Free_List(0, list, &s.warning, &s.error, s.message), 0, ""},
        {"a freed list",
         UTIL_Module_Attribute_Int(0, list, 0, 1, &number, &s.warning, &s.error, s.message), -21002,
         "Invalid module list handle"},
        {"cleanup without setup", UTIL_Cleanup(0, &s.warning, &s.error, s.message), -21011,
         "without UTIL_Setup"},
        {"setup", UTIL_Setup(0, &s.warning, &s.error, s.message), 0, ""},
        {"cleanup", UTIL_Cleanup(0, &s.warning, &s.error, s.message), 0, ""},
    };
    // The calls above ran in order; each left its message before the next one.
    for (const Case& c : cases) {
        EXPECT_EQ(c.status, c.expected) << c.what;
    }
    StatusBlock last;
    EXPECT_EQ(
        UTIL_Module_Attribute_Int(0, list, 0, 1, &number, &last.warning, &last.error, last.message),
        -21002);
    EXPECT_STREQ(last.message, "Invalid module list handle");

    // Time stamps read the bench clock.
    const double t0 = UTIL_Hrestim_Time_Stamp();
    bench_->clock().wait(2500000);
    EXPECT_DOUBLE_EQ(UTIL_Hrestim_Time_Stamp() - t0, 2.5e-3);
}

TEST_F(VbenchCardsModules, VxUrmScansOpensAndKeepsItsBits) {
    VX_URM_MODULE_INFO modules[4];
    ViInt32 found = 0;
    ASSERT_EQ(VX_Urm_Scan(modules, 4, &found), VI_SUCCESS);
    ASSERT_EQ(found, 2);
    struct Expected {
        const char* name;
        const char* resource;
        ViInt32 frame, slot;
        const char* serial;
    } expected[] = {{"URM1", "PXI1::14::INSTR", 1, 14, "VB-URM-1-14"},
                    {"URM2", "PXI2::3::INSTR", 2, 3, "VB-URM-2-03"}};
    for (int i = 0; i < 2; ++i) {
        EXPECT_STREQ(modules[i].deviceName, expected[i].name);
        EXPECT_STREQ(modules[i].resourceDesc, expected[i].resource);
        EXPECT_EQ(modules[i].frame, expected[i].frame);
        EXPECT_EQ(modules[i].slot, expected[i].slot);
        EXPECT_STREQ(modules[i].serialNumber, expected[i].serial);
        EXPECT_STREQ(modules[i].model, "GEN");
        EXPECT_STREQ(modules[i].extra[0], "");
    }
    ASSERT_EQ(VX_Urm_Scan(modules, 1, &found), VI_SUCCESS);
    EXPECT_EQ(found, 1);

    struct Open {
        const char* what;
        const char* model;
        const char* resource;
        ViInt32 hardware;
        ViStatus expected;
    } opens[] = {
        {"module of the station", "GEN", "PXI1::14::INSTR", 1, VI_SUCCESS},
        {"model in lower case", "gen", "pxi2::3::instr", 1, VI_SUCCESS},
        {"module the station lacks", "GEN", "PXI9::1::INSTR", 1, kResourceNotFound},
        {"lacking, simulated", "GEN", "PXI9::1::INSTR", 0, VI_SUCCESS},
        {"unknown model", "XYZ", "PXI1::14::INSTR", 1, static_cast<ViStatus>(0xBFFA4033)},
    };
    for (const Open& o : opens) {
        ViSession vi = 0;
        EXPECT_EQ(VX_Urm_Open_With_Options(o.model, o.resource, o.hardware, &vi), o.expected)
            << o.what;
        if (o.expected == VI_SUCCESS) {
            EXPECT_GT(vi, 0) << o.what;
            EXPECT_EQ(VX_Urm_Close(vi), VI_SUCCESS) << o.what;
        }
    }

    ViSession a = 0, b = 0, other = 0;
    ASSERT_EQ(VX_Urm_Open_With_Options("GEN", "PXI1::14::INSTR", 1, &a), VI_SUCCESS);
    ASSERT_EQ(VX_Urm_Open_With_Options("GEN", "PXI2::3::INSTR", 1, &other), VI_SUCCESS);
    ViInt32 value = 9;
    ASSERT_EQ(VX_Urm_Get(a, 1, 3, &value), VI_SUCCESS);
    EXPECT_EQ(value, 0) << "nothing driven yet";
    ASSERT_EQ(VX_Urm_Set_Mode(a, 1, 3, VX_URM_MODE_OUTPUT), VI_SUCCESS);
    ASSERT_EQ(VX_Urm_Set(a, 1, 3, 1), VI_SUCCESS);
    ASSERT_EQ(VX_Urm_Open_With_Options("GEN", "pxi1::14::INSTR", 1, &b), VI_SUCCESS);
    ASSERT_EQ(VX_Urm_Get(b, 1, 3, &value), VI_SUCCESS);
    EXPECT_EQ(value, 1) << "both handles reach one module, the second opened on its bits";
    ASSERT_EQ(VX_Urm_Get(a, 1, 4, &value), VI_SUCCESS);
    EXPECT_EQ(value, 0) << "another bit";
    ASSERT_EQ(VX_Urm_Get(other, 1, 3, &value), VI_SUCCESS);
    EXPECT_EQ(value, 0) << "another module";
    ASSERT_EQ(VX_Urm_Set(a, 3, 7, 1), VI_SUCCESS);
    ASSERT_EQ(VX_Urm_Get(a, 3, 7, &value), VI_SUCCESS);
    EXPECT_EQ(value, 1) << "an input bit reads what was driven onto it";
    ASSERT_EQ(VX_Urm_Set(a, 1, 3, 0), VI_SUCCESS);
    ASSERT_EQ(VX_Urm_Get(a, 1, 3, &value), VI_SUCCESS);
    EXPECT_EQ(value, 0);

    struct Bad {
        const char* what;
        ViStatus status;
        ViStatus expected;
    } bad[] = {
        {"bank 4", VX_Urm_Set(a, 4, 0, 1), static_cast<ViStatus>(0xBFFA4030)},
        {"bank -1", VX_Urm_Get(a, -1, 0, &value), static_cast<ViStatus>(0xBFFA4030)},
        {"bit 8", VX_Urm_Set_Mode(a, 0, 8, 1), static_cast<ViStatus>(0xBFFA4031)},
        {"mode 2", VX_Urm_Set_Mode(a, 0, 0, 2), static_cast<ViStatus>(0xBFFA4032)},
        {"null value", VX_Urm_Get(a, 0, 0, nullptr), static_cast<ViStatus>(0xBFFA4003)},
        {"close", VX_Urm_Close(a), VI_SUCCESS},
        {"closed handle", VX_Urm_Set(a, 0, 0, 1), kInvalidSession},
        {"close twice", VX_Urm_Close(a), kInvalidSession},
    };
    for (const Bad& c : bad) {
        EXPECT_EQ(c.status, c.expected) << c.what;
    }
    const auto last = bench_->journal().last("VX_Urm_Set");
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->arguments, std::to_string(a) + ", 0, 0, 1");
    EXPECT_EQ(last->result, kInvalidSession);

    // A simulated module needs no bench; a real one does.
    VirtualBench::activate(nullptr);
    ViSession sim = 0;
    EXPECT_EQ(VX_Urm_Open_With_Options("GEN", "PXI1::14::INSTR", 0, &sim), VI_SUCCESS);
    EXPECT_EQ(VX_Urm_Set(sim, 0, 1, 1), VI_SUCCESS);
    EXPECT_EQ(VX_Urm_Get(sim, 0, 1, &value), VI_SUCCESS);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(VX_Urm_Close(sim), VI_SUCCESS);
    EXPECT_EQ(VX_Urm_Open_With_Options("GEN", "PXI1::14::INSTR", 1, &sim),
              static_cast<ViStatus>(0xBFFA4009));
    VirtualBench::activate(bench_);
}

} // namespace
} // namespace kora::vbench::testing
