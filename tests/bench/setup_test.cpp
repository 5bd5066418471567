// The bench life cycle on the example station: SETUP_KORA, CONF_KORA, GETI_KORA, CLEANUP_KORA,
// checked through the operator's log, the results and the virtual bench's journal of driver calls.
#include "bench/bench_setup.h"
#include "frame/bench_context.h"
#include "ictx/program/component_model.h"
#include "support/station.h"

#include <dmm.h>
#include <kora/step_methods.h>
#include <resmgr/resmgr_inspect.h>
#include <route.h>
#include <rspict.h>
#include <rspsam.h>
#include <vbench/bench/virtual_bench.h>
#include <vbench/modules/routing.h>
#include <vbench/modules/urm.h>
#include <winapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kora {
namespace {

namespace fs = std::filesystem;
using test::kStation;
using BenchLifeCycle = test::StationTest;

TEST_F(BenchLifeCycle, SetupOpensEveryDeviceWithTheOperatorsLog) {
    ASSERT_EQ(Setup(), 0) << LastAlert();
    std::vector<std::string> expected = {
        "ALLOC MEMORY: BENCHES=2\n",
        "RESMGR_Setup(COMPILE_BEGIN)\n",
        "   HWCFG=" + hw_,
        "   SWCFG=" + sw_,
        "   BENCH(BENCH_LINE): 10 Channels",
        "   BENCH(BENCH_FUNCTIONAL): 1 Channels",
        "RESMGR_Setup(COMPILE_END)",
        "KORA_Setup(BEGIN)\n",
        " LOCKED",
        " PROCESS_PRIORITY_CLASS=0x20 (0x80)",
        " BENCH(BENCH_LINE)",
        "   ROUTE_Setup",
        "   DCPWR_Setup",
        "   DIOMGR_Setup",
        "   DMM1_Setup(DMM_A)",
        "   SIGANL1_Setup(SCOPE_A12)",
        "   FUNCGEN1_Setup(FGEN_A)",
        "   ADIO1_Setup(PIO2_A5)",
        "   URM1_Setup(URM_1)",
        "   ICTX_Setup enabled (KORAsetupICTX=1)",
        "   ICTX_Setup",
        "      Open PSAM_A3 driver",
        "      Open PICT_A4 driver",
        "      Open MATRIX_A7 driver",
        "   VPC_Setup",
        "SetupCalls",
        " BENCH(BENCH_FUNCTIONAL)",
        "   ROUTE_Setup disabled (KORAsetupROUTE=0)",
        "   DCPWR_Setup [EC=0xFFFFB5B2]",
        "   DIOMGR_Setup",
        "   DMM1_Setup(DMM_B)",
        "SetupCalls",
        "   UCM Scan(2)",
        "*     UCM[0]: Name=SSC,Desc=",
        "*     UCM[1]: Name=VPC,Desc=",
        "   SSC_Setup",
        "    SSC OD port initialized with 0x0009 (VFx disable)",
        " UNLOCK",
        "KORA_Setup(END)",
    };
    const auto log = Log();
    ASSERT_EQ(log.size(), expected.size()) << ::testing::PrintToString(log);
    for (size_t i = 0; i < log.size(); ++i) {
        if (expected[i][0] == '*') {
            EXPECT_EQ(log[i].rfind(expected[i].substr(1), 0), 0u) << log[i];
        } else {
            EXPECT_EQ(log[i], expected[i]);
        }
    }

    // The inventory: one sub-result per device that came up, the main result counts them.
    const auto results = this->results();
    auto find = [&](const std::string& name) {
        auto it = std::find_if(results.begin(), results.end(),
                               [&](const rvo::Result& r) { return r.name == name; });
        return it == results.end() ? nullptr : &*it;
    };
    ASSERT_NE(find("DMM1"), nullptr);
    EXPECT_EQ(find("DMM1")->text, "LINE: DMM_A, GPIB0::22::INSTR");
    // Each module's sub-result carries its driver library's version.
    for (const char* module : {"DMM1", "ADIO1", "Urm1"}) {
        ASSERT_NE(find(module), nullptr) << module;
        EXPECT_NE(find(module)->comment.find("virtual bench"), std::string::npos)
            << module << ": " << find(module)->comment;
    }
    ASSERT_NE(find("ICTX"), nullptr);
    EXPECT_EQ(find("ICTX")->text, "LINE: SM160(1),PSAM,PICT");
    EXPECT_EQ(find("ICTX")->comment, "7 MATRIX Channels (0 Aliases)");
    ASSERT_NE(find("  SYSR0"), nullptr);
    EXPECT_DOUBLE_EQ(find("  SYSR0")->value, 0.12);
    ASSERT_NE(find("  CMUD3"), nullptr);
    EXPECT_DOUBLE_EQ(find("  CMUD3")->value, 8.5e-06); // missing: the default
    EXPECT_DOUBLE_EQ(find("  CMUD0")->value, 6.8e-06);
    const rvo::Result& main = results.back();
    EXPECT_EQ(main.resultNo, 0);
    EXPECT_EQ(main.comment, "KORA 2.5.0");
    // ROUTE, DCPWR, DIOMGR, DMM, SIGANL, FUNCGEN, ADIO, URM, PSAM, PICT, card, VPC on bench 1;
    // DIOMGR and DMM on bench 2; the system cartridge.
    EXPECT_EQ(main.valueInt, 15);

    // Bench records: the active bench copies bench 1.
    BenchRecord* active = BenchByIndex(0);
    ASSERT_NE(active, nullptr);
    EXPECT_EQ(BenchCount(), 3);
    EXPECT_STREQ(active->name, "LINE");
    EXPECT_STREQ(BenchByIndex(2)->name, "LINE2");
    EXPECT_STREQ(active->dmm[0].name, "DMM_A");
    EXPECT_EQ(active->dmm[0].inUse, 1);
    EXPECT_EQ(active->dmm[1].handle, -1);
    EXPECT_EQ(active->switchCardCount, 1);
    EXPECT_EQ(active->matrixChannelCount, 7);
    EXPECT_EQ(active->switchCards[0].channels[0], &active->channels[0]);
    EXPECT_EQ(BenchByIndex(2)->routing.handle, -1);
}

TEST_F(BenchLifeCycle, CompileOnlyOpensNothingAndTakesNoLock) {
    rvo().setCompileOnly(true);
    EXPECT_EQ(Setup(), 0) << LastAlert();
    EXPECT_EQ(bench_->journal().total(), 0u);
    const auto log = Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), " LOCKED"), 0);
    EXPECT_EQ(log.back(), "RESMGR_Setup(COMPILE_END)");
    EXPECT_EQ(BenchByIndex(1)->channelCount, 10);
}

TEST_F(BenchLifeCycle, SecondSetupReusesTheBenchArray) {
    ASSERT_EQ(Setup(), 0) << LastAlert();
    BenchRecord* first = BenchByIndex(0);
    ASSERT_EQ(Setup("LINE", 2, 2), 0) << LastAlert();
    EXPECT_EQ(BenchByIndex(0), first);
    EXPECT_EQ(BenchCount(), 3);
    const auto log = Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), "ALLOC MEMORY: BENCHES=2\n"), 1);
    // The card was open already: its session is reused, the driver not opened again.
    EXPECT_EQ(Calls("ZQsm160_InitWithOptions"), 1u);
    EXPECT_NE(std::find(log.begin(), log.end(), "      MATRIX_A7 Driver is open"), log.end());
    // One cleanup closes what both set-ups opened: no session of the bench is left behind.
    bench_->journal().clear();
    ASSERT_EQ(Cleanup(nullptr), 0) << LastAlert();
    for (const char* close : {"ZQsm160_close", "rspsam_close", "rspict_close", "rspio2_close"}) {
        EXPECT_EQ(Calls(close), 1u) << close;
    }
    for (const std::string& line : Log()) {
        EXPECT_EQ(line.find("remains open"), std::string::npos) << line;
    }
    EXPECT_EQ(resmgr::inspect::Clients(), 0);
}

TEST_F(BenchLifeCycle, ThreadsTakeTheSetupLockInTurn) {
    std::atomic<int> failures{0};
    auto run = [&](long stepRef) {
        if (Setup("LINE", 2, stepRef) != 0) {
            ++failures;
        }
        FreeBenchContext();
    };
    std::thread a(run, 11), b(run, 12);
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);
    int depth = 0, maxDepth = 0, entered = 0;
    for (const auto& line : Log()) {
        if (line == " LOCKED") {
            maxDepth = std::max(maxDepth, ++depth);
            ++entered;
        } else if (line == " UNLOCK") {
            --depth;
        }
    }
    EXPECT_EQ(entered, 2);
    EXPECT_EQ(maxDepth, 1);
}

TEST_F(BenchLifeCycle, OnlyExactlyZeroDisablesRouting) {
    const struct {
        const char* value;
        bool routed;
    } cases[] = {{"0", false}, {"00", true}, {"0.0", true}, {"1", true}};
    // (Values are trimmed by the configuration files, so " 0" arrives as "0".)
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        UseStation(EditedStation("system.ini", "KORAsetupICTX = 1",
                                 std::string("KORAsetupICTX = 1\nKORAsetupROUTE = ") + c.value));
        rvo().reset();
        ASSERT_EQ(Setup(), 0) << LastAlert();
        EXPECT_EQ(BenchByIndex(1)->routing.inUse, c.routed ? 1 : 0);
        EXPECT_EQ(bench_->journal().count("ROUTE_Setup"), c.routed ? 1u : 0u);
        FreeBenchContext();
        resmgr::inspect::Reset();
    }
}

TEST_F(BenchLifeCycle, ConfigurationErrorsNameTheirCause) {
    const struct {
        const char* file;
        const char* from;
        const char* to;
        uint32_t code;
        const char* message;
    } cases[] = {
        {"hardware.ini", "Type = IVI_DMM\nResourceDesc = GPIB0::22", "ResourceDesc = GPIB0::22",
         0x81000012, "device->DMM_A: 'Type' entry in physical layer file not found"},
        {"hardware.ini", "ResourceDesc = GPIB0::22::INSTR\n", "", 0x81000012,
         "device->DMM_A: 'ResourceDesc' entry in physical layer file not found"},
        {"system.ini", "[BENCH_LINE]\nType = BENCH", "[BENCH_LINE]\nType = LINE", 0x81000012,
         "Invalid BENCH name"},
        {"system.ini", "GND = MATRIX_A7!P3", "GND = MATRIX_A7", 0x81000012,
         "Invalid physical channel name <device>!<pin> (MATRIX_A7)\n\nRead 'AppChannelTable' of "
         "BENCH \"BENCH_LINE\"\n\nFile: \""},
        {"system.ini", "GND = MATRIX_A7!P3", "GND = MATRIX_A7!P161", 0x81000012,
         "Invalid physical channel name"},
        {"system.ini", "ICTDevice2 = PICT_A4", "ICTDevice2 = PICT_A4\nICTDevice3 = PSAM_B3",
         0x81000012,
         "Bench contains ICTDevice entry for 'PSAM_A3' and 'PSAM_B3'.\nPlease make sure that only "
         "one device of type 'PSAM' has an ICTDevice entry."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.to);
        fs::path dir = EditedStation(c.file, c.from, c.to);
        if (std::string(c.to).find("PSAM_B3") != std::string::npos) {
            std::ofstream(dir / "hardware.ini", std::ios::app)
                << "\n[device->PSAM_B3]\nType = PSAM\nResourceDesc = CAN0::0::8\n";
        }
        UseStation(dir);
        rvo().reset();
        EXPECT_EQ(Setup(), -2);
        const std::string alert = LastAlert();
        char head[64];
        std::snprintf(head, sizeof head, "(0x%X)", c.code);
        EXPECT_NE(alert.find(head), std::string::npos) << alert;
        EXPECT_NE(alert.find(c.message), std::string::npos) << alert;
        // The lock is free again: the log ends with the unlock when the run had started.
        const auto log = Log();
        if (std::find(log.begin(), log.end(), " LOCKED") != log.end()) {
            EXPECT_EQ(log.back(), " UNLOCK");
        }
        FreeBenchContext();
        resmgr::inspect::Reset();
    }
}

TEST_F(BenchLifeCycle, SetupCallsOfThePhysicalLayerFileAreLoggedNotFatal) {
    UseStation(EditedStation(
        "hardware.ini",
        {{"[device->SUPPLY_A6]\n", "[device->SUPPLY_A6]\nSetupCall = rspsu_ConfigureRemoteSensing("
                                   "EXTERNAL)\nDriverDll = kora_drivers.dll\n"},
         {"[device->DMM_A]\n", "[device->DMM_A]\nSetupCall = (EXTERNAL)\n"},
         {"[device->FGEN_A]\n", "[device->FGEN_A]\nSetupCall = rspfg_reset\n"},
         {"[device->URM_1]\n", "[device->URM_1]\nSetupCall = VX_Urm_Close(EXTERNAL)\n"},
         {"[device->PIO2_A5]\n",
          "[device->PIO2_A5]\nSetupCall = rspio2_reset(EXTERNAL)\nDriverDll = nothere.dll\n"},
         {"[device->DMM_B]\n", "[device->DMM_B]\nSetupCall = rspsu_ConfigureRemoteSensing("
                               "INTERNAL)\nDriverDll = kora_drivers.dll\n"},
         {"[device->PICT_A4]\n", "[device->PICT_A4]\nSetupCall = rspict_NoSuchCall(EXTERNAL)\n"
                                 "DriverDll = kora_drivers.dll\n"},
         {"[device->PSAM_A3]\n", "[device->PSAM_A3]\nSetupCall = rspsam_close(EXTERNAL)\n"
                                 "DriverDll = kora_drivers.dll\n"}}));
    ASSERT_EQ(Setup(), 0) << LastAlert();
    const auto log = Log();
    auto count = [&](const std::string& line) { return std::count(log.begin(), log.end(), line); };
    // Bench LINE (first) and bench LINE2 each run the calls; problems only show in the log.
    EXPECT_EQ(count("  device->DMM_A.(EXTERNAL) -> ERROR: Invalid function name!"), 2);
    EXPECT_EQ(count("  device->FGEN_A.rspfg_reset -> ERROR: Invalid function attribute!"), 2);
    EXPECT_EQ(
        count("  device->URM_1.VX_Urm_Close(EXTERNAL) -> ERROR: Entry 'DriverDll' not found!"), 2);
    EXPECT_EQ(count("  device->PIO2_A5.rspio2_reset(EXTERNAL) -> DLL nothere.dll is not loaded "
                    "(0x7e)"),
              2);
    EXPECT_EQ(count("  device->DMM_B.rspsu_ConfigureRemoteSensing(INTERNAL) -> Driver not used in "
                    "BENCH"),
              1);
    EXPECT_EQ(count("  device->DMM_B.rspsu_ConfigureRemoteSensing(INTERNAL) -> Invalid function "
                    "attribute"),
              1);
    EXPECT_EQ(count("  device->PICT_A4.rspict_NoSuchCall(EXTERNAL) -> ERROR: Driver function not "
                    "found!"),
              1);
    EXPECT_EQ(count("  device->PSAM_A3.rspsam_close(EXTERNAL) -> Not implemented"), 1);
    // The supply's module session, opened by DC power set-up, takes the call.
    EXPECT_EQ(count("  device->SUPPLY_A6.rspsu_ConfigureRemoteSensing(EXTERNAL) -> OK"), 1);
    EXPECT_EQ(Calls("rspsu_ConfigureRemoteSensing"), 1u);
}

TEST_F(BenchLifeCycle, CartridgesOfTheWrongKindAreOnlyLogged) {
    UseStation(EditedStation("system.ini", {{"VacuumDevice = VPC", "VacuumDevice = ACC"},
                                            {"PneumaticDevice = VPC", "PneumaticDevice = VCC"}}));
    ASSERT_EQ(Setup(), 0) << LastAlert();
    const auto log = Log();
    for (const char* line :
         {"   VacuumDevice(ACC) not supported", "   PneumaticDevice(VCC) not supported"}) {
        EXPECT_NE(std::find(log.begin(), log.end(), line), log.end()) << line;
    }
    EXPECT_EQ(Calls("UCM_Init"), 1u); // the system cartridge only
    EXPECT_EQ(BenchByIndex(1)->cartridge[kCartridgeVpc].inUse, 0);
}

TEST_F(BenchLifeCycle, DriverFailureMidwayLeavesACleanableBench) {
    bench_->faults().add(
        {"rspict_InitWithOptions", 1, false, -1074118600, "PICT self test failed"});
    EXPECT_EQ(Setup(), -2);
    const std::string alert = LastAlert();
    EXPECT_NE(alert.find("PICT self test failed"), std::string::npos) << alert;
    EXPECT_EQ(Log().back(), " UNLOCK");
    const auto log = Log();
    EXPECT_NE(std::find(log.begin(), log.end(), "      Open PICT_A4 driver [EC=0xBFFA4038]"),
              log.end());
    // What came up before the failure is closed again; nothing else is touched.
    bench_->journal().clear();
    EXPECT_EQ(Cleanup(nullptr), 0) << LastAlert();
    for (const char* closed : {"ROUTE_Cleanup", "DCPWR_Cleanup", "DIOMGR_Cleanup", "DMM_Cleanup",
                               "FUNCGEN_Cleanup", "VX_Urm_Close", "rspio2_close", "rspsam_close"}) {
        EXPECT_EQ(Calls(closed), 1u) << closed;
    }
    EXPECT_EQ(Calls("rspict_close"), 0u);
    EXPECT_EQ(Calls("ZQsm160_close"), 0u);
    // The lock was released: a new set-up runs.
    EXPECT_EQ(Setup(), 0) << LastAlert();
}

// A clean-up that breaks off at a driver failure reports it once and leaves the rest open; the
// next program on the thread still starts from open routing relays and power-on relay modules.
TEST_F(BenchLifeCycle, CleanupThatBreaksOffLeavesNothingForTheNextProgram) {
    auto& routing = vbench::RoutingOf(*bench_, "ROUTING_LINE");
    auto& urm = vbench::UrmOf(*bench_, "URM_1");
    struct Case {
        const char* failing; // the clean-up call that fails
        bool routeLeft, urmLeft;
    } cases[] = {
        {"DMM_Cleanup", true, true},
        {"VX_Urm_Close", true, true},
        {"ROUTE_Cleanup", true, false},
    };
    long ref = 100;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failing);
        ref += 10;
        ASSERT_EQ(Setup("LINE", 2, ref - 1), 0) << LastAlert();
        ASSERT_EQ(PowerBoard(5, ref), 0) << LastAlert(); // two steps
        ASSERT_EQ(CONFIG_URM(ref + 2, "Out", 0x100, 0, "", "URM_1", "A", "0", "OUT"), 0);
        ASSERT_EQ(SET_URM(ref + 3, "On", 0x100, 0, "", "URM_1", "A", "0", "ON"), 0);
        ASSERT_NE(routing.display(), "");
        bench_->faults().reset();
        bench_->faults().add({c.failing, 1, false, -1074118600, "cleanup fault"});
        const std::size_t before = alerts().size();
        EXPECT_EQ(Cleanup(nullptr, ref + 4), -2);
        int shown = 0;
        for (std::size_t i = before; i < alerts().size(); ++i) {
            shown += alerts()[i].text.find("(0xBFFA4038)") != std::string::npos ? 1 : 0;
        }
        EXPECT_EQ(shown, 1);
        EXPECT_EQ(BenchByIndex(1)->routing.inUse != 0, c.routeLeft);
        EXPECT_EQ(BenchByIndex(1)->urm[0].inUse != 0, c.urmLeft);

        ASSERT_EQ(Setup("LINE", 2, ref + 5), 0) << LastAlert(); // the next program's
        EXPECT_EQ(routing.display(), "");
        EXPECT_FALSE(urm.contactClosed(0, 0));
        EXPECT_EQ(Cleanup(nullptr, ref + 6), 0) << LastAlert();
    }
}

TEST_F(BenchLifeCycle, SelectiveCleanupClosesOnlyItsGroup) {
    const struct {
        const char* devChanAttr;
        std::vector<const char*> closed;
        std::vector<const char*> kept;
    } cases[] = {
        {"HOLM|DMM",
         {"DMM_Cleanup", "VX_Urm_Close"},
         {"FUNCGEN_Cleanup", "DCPWR_Cleanup", "ROUTE_Cleanup", "rspio2_close", "ZQsm160_close",
          "UCM_Close"}},
        {"SYSTEM|VPC", {"UCM_Close"}, {"DMM_Cleanup", "ZQsm160_close", "rspsam_close"}},
        {"HOLM|XYZ",
         {"DMM_Cleanup", "FUNCGEN_Cleanup", "DCPWR_Cleanup", "DIOMGR_Cleanup", "ROUTE_Cleanup",
          "rspio2_close", "ZQsm160_close", "rspsam_close", "rspict_close"},
         {"UCM_Close"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.devChanAttr);
        ASSERT_EQ(Setup(), 0) << LastAlert();
        bench_->journal().clear();
        EXPECT_EQ(Cleanup(c.devChanAttr), 0) << LastAlert();
        for (const char* f : c.closed) {
            EXPECT_GE(Calls(f), 1u) << f;
        }
        for (const char* f : c.kept) {
            EXPECT_EQ(Calls(f), 0u) << f;
        }
        EXPECT_NE(BenchByIndex(0), nullptr); // only a full cleanup frees the benches
        Cleanup(nullptr, 51);
        UseStation(kStation);
        resmgr::inspect::Reset();
        rvo().reset(); // a new program: every step compiles again
    }
    // SYSTEM|VPC closed one card: the card library saw one close for the VPC.
    ASSERT_EQ(Setup(), 0) << LastAlert();
    bench_->journal().clear();
    Cleanup("SYSTEM|VPC");
    EXPECT_EQ(Calls("UCM_Close"), 1u);
}

TEST_F(BenchLifeCycle, SerialCleanupClosesOnlyTheNamedPort) {
    // The port keyword matches exactly; one that matches nothing leaves every port selected.
    const struct {
        const char* devChanAttr;
        int32_t port4Open;
    } cases[] = {{"SERIAL|COM3", 1}, {"SERIAL|COM03", 0}, {"SERIAL|com3", 0}};
    ASSERT_EQ(Setup(), 0) << LastAlert();
    BenchRecord* active = BenchByIndex(0);
    long stepRef = 80;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.devChanAttr);
        active->serial[2].opened = 1;
        active->serial[3].opened = 1;
        EXPECT_EQ(Cleanup(c.devChanAttr, stepRef++), 0) << LastAlert();
        EXPECT_EQ(active->serial[2].opened, 0);
        EXPECT_EQ(active->serial[3].opened, c.port4Open);
    }
    const auto log = Log();
    EXPECT_NE(std::find(log.begin(), log.end(), " Close SERIAL[3]"), log.end());
    active->serial[3].opened = 0;
}

TEST_F(BenchLifeCycle, FullCleanupFreesTheBenches) {
    ASSERT_EQ(Setup(), 0) << LastAlert();
    EXPECT_EQ(Cleanup(nullptr), 0) << LastAlert();
    EXPECT_EQ(BenchByIndex(0), nullptr);
    EXPECT_EQ(resmgr::inspect::Clients(), 0);
    const auto log = Log();
    EXPECT_EQ(log.back(), "KORA_CLEANUP(END)");
    for (const char* line : {" rvo_StationFree", " RESMGR_Cleanup", " FreeBenchMemory",
                             " SSC_Cleanup", " VPC_Cleanup", "   ICTX_Cleanup(LINE)"}) {
        EXPECT_NE(std::find(log.begin(), log.end(), line), log.end()) << line;
    }
    // A later step of the thread has no bench.
    EXPECT_EQ(Conf("BENCH", 1), -2);
    EXPECT_NE(LastAlert().find("pBENCH==NULL"), std::string::npos);
}

TEST_F(BenchLifeCycle, BenchSelection) {
    rvo().setStation(7, 1);
    ASSERT_EQ(Setup(), 0) << LastAlert();
    BenchRecord* active = BenchByIndex(0);
    EXPECT_EQ(Conf("BENCH", 2), 0) << LastAlert();
    EXPECT_STREQ(active->name, "LINE2");
    EXPECT_STREQ(active->dmm[0].name, "DMM_B");
    EXPECT_EQ(active->index, 2);
    EXPECT_EQ(active->channelCount, 1);

    EXPECT_EQ(Conf("BENCH", 3, 61), -2);
    EXPECT_NE(LastAlert().find("BENCH selector out of range"), std::string::npos);
    EXPECT_STREQ(active->name, "LINE2"); // unchanged

    EXPECT_EQ(Conf("BENCH", 0, 62), 0) << LastAlert(); // the station's item index: 1
    EXPECT_STREQ(active->name, "LINE");

    EXPECT_EQ(Conf("BENCH_AUTOSELECT", 0, 63), 0) << LastAlert();
    const auto r = results();
    ASSERT_GE(r.size(), 3u);
    EXPECT_EQ(r[r.size() - 2].name, "Station Index");
    EXPECT_EQ(r[r.size() - 2].valueInt, 7);
    EXPECT_EQ(r.back().name, "DUT index on panel");
    EXPECT_EQ(r.back().valueInt, 1);

    EXPECT_EQ(Conf("HOLM|DMM:BENCHES", 1, 64), -2);
    EXPECT_NE(LastAlert().find("(0x81000006)"), std::string::npos);
}

TEST_F(BenchLifeCycle, SelectionKeepsTheStationAfterASelectiveCleanup) {
    rvo().setStation(7, 2);
    ASSERT_EQ(Setup(), 0) << LastAlert();
    ASSERT_EQ(Cleanup("SERIAL|COM1"), 0) << LastAlert();
    EXPECT_EQ(Conf("BENCH", 2), 0) << LastAlert();
    EXPECT_EQ(Conf("BENCH_AUTOSELECT", 0, 61), 0) << LastAlert();
    EXPECT_STREQ(BenchByIndex(0)->name, "LINE2");
    EXPECT_NE(BenchByIndex(0)->station, nullptr); // what the full cleanup frees
}

TEST_F(BenchLifeCycle, HandlesOfABench) {
    ASSERT_EQ(Setup(), 0) << LastAlert();
    const BenchRecord* active = BenchByIndex(0);
    long handle = -7;
    EXPECT_EQ(Geti("HOLM|DMM:RESID", 0, &handle), 0) << LastAlert();
    EXPECT_EQ(handle, active->dmm[0].handle);
    EXPECT_EQ(Geti("SYSTEM|VPC:RESID", 1, &handle, 71), 0) << LastAlert();
    EXPECT_EQ(handle, active->cartridge[kCartridgeVpc].handle);
    EXPECT_EQ(Geti("DEVICE|dmm_a:RESID", 1, &handle, 72), 0) << LastAlert();
    EXPECT_EQ(handle, active->dmm[0].handle);
    EXPECT_EQ(Geti("DEVICE|MATRIX_A7:RESID", 1, &handle, 73), 0) << LastAlert();
    EXPECT_EQ(handle, active->switchCards[0].handle);

    const struct {
        const char* devChanAttr;
        long bench;
        const char* message;
    } errors[] = {
        {"DEVICE|NOPE:RESID", 1, "Hardware Device|Channel not found"},
        {"HOLM|DMM:RESID", 3, "BENCH selector out of range"},
        {"HOLM|DMM:HANDLE", 1, "HOLM|DMM:HANDLE"},
        {"HOLM|SCANNER:RESID", 1, "HOLM|SCANNER:RESID"},
    };
    long ref = 80;
    for (const auto& e : errors) {
        SCOPED_TRACE(e.devChanAttr);
        EXPECT_EQ(Geti(e.devChanAttr, e.bench, &handle, ++ref), -2);
        EXPECT_NE(LastAlert().find(e.message), std::string::npos) << LastAlert();
        EXPECT_NE(LastAlert().find("(0x81000006)"), std::string::npos) << LastAlert();
    }
}

TEST_F(BenchLifeCycle, TracingAGroupTracesItsDriversCalls) {
    ASSERT_EQ(Setup(), 0) << LastAlert();
    const BenchRecord& active = *BenchByIndex(0);
    const auto traced = [](const char* function) {
        const auto lines = resmgr::inspect::TraceLines();
        return std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& l) { return l.rfind(function, 0) == 0; });
    };
    // Running totals of trace lines after each switch, one call of each driver per row.
    const struct {
        const char* devChanAttr;
        long on;
        long psam, pict, dmm, route;
    } cases[] = {{"HOLM|ICT:TRACE", 1, 1, 0, 0, 0},   {"HOLM|ICCHECK:TRACE", 1, 2, 1, 0, 0},
                 {"HOLM|ICT:TRACE", 0, 2, 2, 0, 0},   {"HOLM|DMM:TRACE", 1, 2, 3, 1, 0},
                 {"HOLM|ROUTE:TRACE", 1, 2, 4, 2, 1}, {"HOLM|ALL:TRACE", 0, 2, 4, 2, 1}};
    long ref = 90;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.devChanAttr);
        EXPECT_EQ(Conf(c.devChanAttr, c.on, ++ref), 0) << LastAlert();
        rspsam_ConfigureCoupling(active.ictModules[kIctPsam].handle, 0);
        rspict_WaitForSettling(active.ictModules[kIctPict].handle);
        int32_t warning = 0, error = 0;
        char message[CLASSLIB_MESSAGE_SIZE] = {};
        EXPECT_EQ(DMM_Reset(0, active.dmm[0].handle, &warning, &error, message), 0) << message;
        EXPECT_EQ(ROUTE_Execute(0, active.routing.handle, "?#", &warning, &error, message), 0)
            << message;
        EXPECT_EQ(traced("rspsam_ConfigureCoupling("), c.psam);
        EXPECT_EQ(traced("rspict_WaitForSettling("), c.pict);
        EXPECT_EQ(traced("DMM_Reset("), c.dmm);
        EXPECT_EQ(traced("ROUTE_Execute("), c.route);
    }
}

TEST_F(BenchLifeCycle, ResetBringsEveryBenchToItsStartState) {
    ASSERT_EQ(Setup(), 0) << LastAlert();
    bench_->journal().clear();
    EXPECT_EQ(Conf("RESET", 0), 0) << LastAlert();
    const auto routes = bench_->journal().calls("ROUTE_Execute");
    ASSERT_EQ(routes.size(), 1u);
    EXPECT_NE(routes[0].arguments.find("||"), std::string::npos);
    EXPECT_EQ(Calls("DMM_Reset"), 2u); // one meter on each bench
    EXPECT_EQ(Calls("FUNCGEN_Reset"), 1u);
    EXPECT_EQ(Calls("DIOMGR_Reset"), 2u);
    EXPECT_EQ(Calls("rspio2_reset"), 1u);
    EXPECT_EQ(Calls("UCM_ResetFPGA"), 2u); // the system cartridge and the VPC
    EXPECT_EQ(results().back().valueInt, 2);
    const auto log = Log();
    EXPECT_NE(std::find(log.begin(), log.end(), "RESET Bench: LINE2"), log.end());
}

TEST_F(BenchLifeCycle, UnsavedIctParametersAreOfferedForSavingAtCleanup) {
    ASSERT_EQ(Setup(), 0) << LastAlert();
    auto* program = static_cast<ComponentModel*>(std::calloc(1, sizeof(ComponentModel)));
    ASSERT_NE(program, nullptr);
    std::snprintf(program->fileName, sizeof program->fileName, "%s", "/fixtures/board.cmp");
    BenchRecord* line = BenchByIndex(1);
    line->ictProgram = program;
    line->ictModified = 1;
    static std::vector<int32_t> saved;
    saved.clear();
    SetIctParameterSaver([](BenchRecord& bench, int32_t number, StepError&) {
        saved.push_back(number);
        return bench.ictProgram != nullptr;
    });
    line->inUse = 0; // a configured bench not in use still has its file offered
    for (long answer : {1L, 11L}) {
        SCOPED_TRACE(answer);
        rvo().scriptAlertAnswers({answer});
        EXPECT_EQ(Cleanup("HOLM|ICTX", 52 + answer), 0) << LastAlert();
        const auto a = alerts();
        ASSERT_FALSE(a.empty());
        EXPECT_EQ(a.back().title, "SAVE ICTX PARAMETERS");
        EXPECT_EQ(a.back().text,
                  "There are modified but unsaved ICTX-PARAMETERS of following files:\n\n"
                  "/fixtures/board.cmp\n\n\nDo you want to SAVE them?");
        EXPECT_EQ(a.back().flags, 12);
    }
    line->inUse = 1;
    EXPECT_EQ(saved, std::vector<int32_t>{1}); // saved on the answer 11 only
    EXPECT_EQ(line->ictModified, 0);
    // Nothing is left to ask about.
    const size_t asked = alerts().size();
    EXPECT_EQ(Cleanup("HOLM|DMM", 70), 0);
    EXPECT_EQ(alerts().size(), asked);

    // The executive's save callback: the bench of the station's item index is saved.
    line->ictModified = 1;
    rvo().setStation(3, 1);
    EXPECT_EQ(rvo().invokeCallback(RVO_CALLBACK_SAVE, 0x80000000L), 0);
    EXPECT_EQ(saved, (std::vector<int32_t>{1, 1}));
    EXPECT_EQ(line->ictModified, 0);
    rvo().setStation(3, 9); // no such bench
    EXPECT_EQ(rvo().invokeCallback(RVO_CALLBACK_SAVE, 0x80000000L), -2);
    EXPECT_NE(LastAlert().find("Invalid TEST INDEX selected"), std::string::npos);
    EXPECT_NE(LastAlert().find("CALLBACK ICTX_SAVE"), std::string::npos);

    SetIctParameterSaver(nullptr);
    line->ictProgram = nullptr;
    std::free(program);
}

} // namespace
} // namespace kora
