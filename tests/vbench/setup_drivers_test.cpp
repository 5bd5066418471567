// What set-up asks of the class libraries and drivers, through their C functions only: a device is
// opened when the station holds it or when it is simulated, and refused with the library's code
// and a text that names it otherwise; the DC power, routing and digital I/O sessions of a bench
// come from its configuration; every call is journaled and can be made to fail.
#include "setup_station_fixture.h"

#include <dcpwr.h>
#include <diomgr.h>
#include <dmm.h>
#include <funcgen.h>
#include <route.h>
#include <rspsam.h>
#include <siganl.h>
#include <util.h>
#include <zqsm160.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace kora::vbench::testing {
namespace {

using SetupFn = int32_t (*)(long, const char*, const char*, const char*, int32_t*, int32_t*,
                            int32_t*, char*);
using CleanupFn = int32_t (*)(long, long, int32_t*, int32_t*, char*);
using VersionFn = int32_t (*)(long, char*, int32_t*, int32_t*, char*);

struct Instrument {
    const char* name;
    SetupFn setup;
    CleanupFn cleanup;
    VersionFn version;
    int32_t notPresent;
    int32_t invalidHandle;
    int32_t context;
    bool acceptsTrue; // "Simulate=true" simulates too
};

const Instrument kInstruments[] = {
    {"DMM", DMM_Setup, DMM_Cleanup, DMM_Lib_Version, DMM_ERR_DEVICE_NOT_PRESENT, -15002, -15001,
     true},
    {"SIGANL", SIGANL_Setup, SIGANL_Cleanup, SIGANL_Lib_Version, -16003, -16002, -16001, false},
    {"FUNCGEN", FUNCGEN_Setup, FUNCGEN_Cleanup, FUNCGEN_Lib_Version, -18003, -18002, -18001, false},
};

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class VbenchSetupDrivers : public SetupStation {};

TEST_F(VbenchSetupDrivers, InstrumentSetupOpensDevicesOfTheStationOrSimulatedOnes) {
    struct Case {
        const char* what;
        long context;
        const char* resource;
        const char* options;
        bool opens;       // else not present
        bool opensIfTrue; // the answer of the libraries that take "Simulate=true"
        bool contextRefused = false;
    } cases[] = {
        {"device of the station", 0, "CAN0::0::3", "", true, true},
        {"descriptor in another case", 0, "can0::0::3", "RangeCheck=1", true, true},
        {"device the station lacks", 0, "CAN0::0::12", "", false, false},
        {"lacking, simulated", 0, "CAN0::0::12", "RangeCheck=1,Simulate=1", true, true},
        {"lacking, simulated with blanks", 0, "CAN0::0::12", " simulate = 1 ", true, true},
        {"lacking, Simulate=0", 0, "CAN0::0::12", "Simulate=0", false, false},
        {"lacking, Simulate=true", 0, "CAN0::0::12", "simulate = TRUE", false, true},
        {"lacking, Simulate=10", 0, "CAN0::0::12", "Simulate=10", false, false},
        {"reserved context not 0", 1, "CAN0::0::3", "", false, false, true},
    };
    for (const Instrument& lib : kInstruments) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(lib.name) + ": " + c.what);
            StatusBlock s;
            int32_t handle = 12345;
            const int32_t status = lib.setup(c.context, "DEV_X", c.resource, c.options, &handle,
                                             &s.warning, &s.error, s.message);
            const bool opens = lib.acceptsTrue ? c.opensIfTrue : c.opens;
            EXPECT_EQ(s.warning, 0);
            if (opens) {
                EXPECT_EQ(status, 0);
                EXPECT_EQ(s.error, 0);
                EXPECT_STREQ(s.message, "");
                EXPECT_GT(handle, 0);
                EXPECT_EQ(lib.cleanup(0, handle, &s.warning, &s.error, s.message), 0);
                EXPECT_EQ(lib.cleanup(0, handle, &s.warning, &s.error, s.message),
                          lib.invalidHandle)
                    << "a closed handle is no longer open";
                EXPECT_TRUE(Contains(s.message, "Invalid")) << s.message;
                continue;
            }
            const int32_t expected = c.contextRefused ? lib.context : lib.notPresent;
            EXPECT_EQ(status, expected);
            EXPECT_EQ(s.error, expected);
            EXPECT_EQ(handle, -1);
            if (c.contextRefused) {
                EXPECT_TRUE(Contains(s.message, "reserved context must be 0")) << s.message;
            } else {
                EXPECT_TRUE(Contains(s.message, "Device not present")) << s.message;
                EXPECT_TRUE(Contains(s.message, c.resource)) << s.message;
                EXPECT_TRUE(Contains(s.message, "DEV_X")) << s.message;
            }
        }
        StatusBlock s;
        char version[CLASSLIB_VERSION_SIZE] = {};
        EXPECT_EQ(lib.version(0, version, &s.warning, &s.error, s.message), 0);
        EXPECT_EQ(std::string(version), std::string(lib.name) + " 1.0.0 (virtual bench)");
        EXPECT_EQ(lib.version(3, version, &s.warning, &s.error, s.message), lib.context);
    }
}

TEST_F(VbenchSetupDrivers, JournalRecordsEachCallWithArgumentsAndResult) {
    StatusBlock s;
    int32_t dmm = 0, analyzer = 0;
    ASSERT_EQ(DMM_Setup(0, "PSAM_A3", "CAN0::0::3", "RangeCheck=1", &dmm, &s.warning, &s.error,
                        s.message),
              0);
    EXPECT_EQ(
        SIGANL_Setup(0, "PAM_X", "CAN9::9::9", "", &analyzer, &s.warning, &s.error, s.message),
        -16003);
    EXPECT_EQ(DMM_Conf_Measurement(0, dmm, "DC_VOLTS", 10, "AUTO_RANGE_OFF", 0.001, &s.warning,
                                   &s.error, s.message),
              0);
    EXPECT_EQ(DMM_Cleanup(0, dmm, &s.warning, &s.error, s.message), 0);

    const auto entries = bench_->journal().entries();
    ASSERT_EQ(entries.size(), 4u);
    struct Expected {
        const char* interface;
        const char* function;
        std::string arguments;
        int32_t result;
    } expected[] = {
        {"DMM", "DMM_Setup", "0, \"PSAM_A3\", \"CAN0::0::3\", \"RangeCheck=1\", &", 0},
        {"SIGANL", "SIGANL_Setup", "0, \"PAM_X\", \"CAN9::9::9\", \"\", &", -16003},
        {"DMM", "DMM_Conf_Measurement",
         "0, " + std::to_string(dmm) + ", \"DC_VOLTS\", 10, \"AUTO_RANGE_OFF\", 0.001", 0},
        {"DMM", "DMM_Cleanup", "0, " + std::to_string(dmm), 0},
    };
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].interface, expected[i].interface) << i;
        EXPECT_EQ(entries[i].function, expected[i].function) << i;
        EXPECT_EQ(entries[i].arguments, expected[i].arguments) << i;
        EXPECT_EQ(entries[i].result, expected[i].result) << i;
        EXPECT_FALSE(entries[i].injected) << i;
    }
}

TEST_F(VbenchSetupDrivers, InjectedFaultsReturnTheirCodeAndText) {
    struct Case {
        const char* function;
        int32_t code;
        const char* text;
        std::function<int32_t(StatusBlock&)> call;
    } cases[] = {
        {"DMM_Setup", -15777, "Meter does not answer",
         [](StatusBlock& s) {
             int32_t h = 0;
             return DMM_Setup(0, "PSAM_A3", "CAN0::0::3", "", &h, &s.warning, &s.error, s.message);
         }},
        {"FUNCGEN_Setup", -18777, "Generator busy",
         [](StatusBlock& s) {
             int32_t h = 0;
             return FUNCGEN_Setup(0, "PFG_B2", "CAN0::1::10", "", &h, &s.warning, &s.error,
                                  s.message);
         }},
        {"DCPWR_Setup", -10, "PAC module off",
         [](StatusBlock& s) {
             int32_t h = 0;
             return DCPWR_Setup(0, "Bench_A", &h, &s.warning, &s.error, s.message);
         }},
        {"ROUTE_Setup", -37999, "Switch driver missing",
         [](StatusBlock& s) {
             int32_t h = 0;
             return ROUTE_Setup(0, "Bench_A", &h, &s.warning, &s.error, s.message);
         }},
        {"DIOMGR_Setup", -20999, "Digital subsystem not ready",
         [](StatusBlock& s) {
             int32_t h = 0;
             return DIOMGR_Setup(0, "Bench_A", &h, &s.warning, &s.error, s.message);
         }},
        {"UTIL_Module_Search", -21999, "Bus CAN0::0 not powered",
         [](StatusBlock& s) {
             int32_t list = 0, count = 0;
             return UTIL_Module_Search(0, "CAN0::0", &list, &count, &s.warning, &s.error,
                                       s.message);
         }},
        {"DMM_Lib_Version", -15778, "Version resource missing",
         [](StatusBlock& s) {
             char version[CLASSLIB_VERSION_SIZE];
             return DMM_Lib_Version(0, version, &s.warning, &s.error, s.message);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.function);
        bench_->faults().add({c.function, 1, false, c.code, c.text});
        StatusBlock s;
        EXPECT_EQ(c.call(s), c.code);
        EXPECT_EQ(s.error, c.code);
        EXPECT_EQ(s.warning, 0);
        EXPECT_STREQ(s.message, c.text);
        const auto last = bench_->journal().last(c.function);
        ASSERT_TRUE(last.has_value());
        EXPECT_TRUE(last->injected);
        EXPECT_EQ(last->result, c.code);
        StatusBlock again;
        EXPECT_EQ(c.call(again), 0) << "the fault was for one call only: " << again.message;
        EXPECT_STREQ(again.message, "");
    }
}

TEST_F(VbenchSetupDrivers, DcpwrSetupOpensTheSuppliesOfTheBench) {
    struct Channel {
        const char* name;
        const char* supply; // expected supply ("" = refused as unknown)
        const char* moduleChannel;
    };
    struct Case {
        const char* bench;
        int32_t status;
        std::vector<const char*> message; // parts of the message
        std::vector<Channel> channels;
    } cases[] = {
        {"Bench_A",
         0,
         {},
         {{"PSU_A5!CH1", "PSU_A5", "CH1"},
          {"psu_a5!ch2", "PSU_A5", "CH2"},
          {"VBAT", "PSU_A5", "CH2"},
          {"PSU_SIM!CH2", "PSU_SIM", "CH2"},
          {"LOAD_SIM!CH1", "LOAD_SIM", "CH1"},
          {"LOAD_SIM!CH2", "", ""},
          {"PSU_A5!CH3", "", ""},
          {"VNONE", "", ""},
          {"R1_A", "", ""},
          {"VLOGIC", "", ""}}},
        {"Bench_B",
         0,
         {},
         {{"VLOGIC", "PSU_A5", "CH1"}, {"vaux", "PSU_SIM", "CH2"}, {"VBAT", "", ""}}},
        {"Bench_C", DCPWR_ERR_NO_CHANNELS, {"no DC power channels", "Bench_C"}, {}},
        {"NoSuchBench", DCPWR_ERR_NO_CHANNELS, {"no DC power channels", "NoSuchBench"}, {}},
        {"Bench_D", -19003, {"Device not present", "CAN0::0::12", "PSU_GONE"}, {}},
        {"Bench_E", 0, {}, {{"PSU_A5!CH1", "PSU_A5", "CH1"}, {"PSU_GONE!CH1", "", ""}}},
        {"Bench_F", -19014, {"not found", "NOWHERE"}, {}},
        {"Bench_G", -19013, {"PSU_BROKEN", "ResourceDesc"}, {}},
        {"Bench_H", -19010, {"Unknown DC power channel", "PSU_A5!CH3"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bench);
        StatusBlock s;
        int32_t session = 0;
        EXPECT_EQ(DCPWR_Setup(0, c.bench, &session, &s.warning, &s.error, s.message), c.status);
        EXPECT_EQ(s.error, c.status);
        for (const char* part : c.message) {
            EXPECT_TRUE(Contains(s.message, part)) << s.message << "\nexpected: " << part;
        }
        if (c.status != 0) {
            EXPECT_EQ(session, -1);
            continue;
        }
        EXPECT_STREQ(s.message, "");
        std::map<std::string, ViSession> modules; // supply -> module handle
        for (const Channel& ch : c.channels) {
            SCOPED_TRACE(ch.name);
            ViSession module = 0;
            char moduleChannel[256] = "stale";
            const int32_t status = DCPWR_Instrument_Get_Handle(
                0, session, ch.name, &module, moduleChannel, &s.warning, &s.error, s.message);
            if (ch.supply[0] == '\0') {
                EXPECT_EQ(status, -19010);
                EXPECT_TRUE(Contains(s.message, "Unknown DC power channel")) << s.message;
                continue;
            }
            ASSERT_EQ(status, 0) << s.message;
            EXPECT_GT(module, 0);
            EXPECT_STREQ(moduleChannel, ch.moduleChannel);
            auto [it, fresh] = modules.emplace(ch.supply, module);
            EXPECT_EQ(it->second, module) << "one module handle per supply";
        }
        std::set<ViSession> distinct;
        for (const auto& [supply, module] : modules) {
            distinct.insert(module);
        }
        EXPECT_EQ(distinct.size(), modules.size()) << "each supply has a handle of its own";
        EXPECT_EQ(DCPWR_Cleanup(0, session, &s.warning, &s.error, s.message), 0);
        EXPECT_EQ(DCPWR_Cleanup(0, session, &s.warning, &s.error, s.message), -19002);
    }
}

TEST_F(VbenchSetupDrivers, RouteSetupNeedsTheRoutingTableOfTheBench) {
    struct Case {
        const char* bench;
        int32_t status;
        const char* message;
    } cases[] = {
        {"Bench_A", 0, ""},
        {"Bench_B", -37052, "RoutingTable = Routing_Missing names no section"},
        {"Bench_C", ROUTE_ERR_NOT_CONFIGURED, "No routing configured: for bench Bench_C"},
        {"NoSuchBench", ROUTE_ERR_NOT_CONFIGURED, "for bench NoSuchBench"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bench);
        StatusBlock s;
        int32_t handle = 0;
        EXPECT_EQ(ROUTE_Setup(0, c.bench, &handle, &s.warning, &s.error, s.message), c.status);
        EXPECT_TRUE(Contains(s.message, c.message)) << s.message;
        if (c.status != 0) {
            EXPECT_EQ(handle, -1);
            continue;
        }
        EXPECT_GT(handle, 0);
        EXPECT_STREQ(s.message, "");
        // The bench's routing table: connections through it, disconnects and status commands,
        // and texts that name no point or are no command.
        struct Command {
            const char* text;
            int32_t status;
            const char* message;
        } commands[] = {
            {"ABA1>ABB1", 0, ""},
            {"%,R1_A|ABA1,VCC>ABB1", -37006, "a list that begins with '%' only disconnects"},
            {"R1_A|ABA1,VCC>ABB1", -37010, "'R1_A' (SM160_B1!P1), 'VCC'"},
            {"||", 0, ""},
            {"%,||", 0, ""},
            {"%", 0, ""},
            {"%,A||,B||", -37010, "Unknown routing point: 'A', 'B'"},
            {"%,?#", 0, ""},
            {"?#", 0, ""},
            {"%,CONNECT", -37006, "Invalid routing command: 'CONNECT'"},
        };
        for (const Command& cmd : commands) {
            SCOPED_TRACE(cmd.text);
            int32_t status = 7;
            EXPECT_EQ(ROUTE_Execute(0, handle, cmd.text, &status, &s.error, s.message), cmd.status);
            EXPECT_EQ(status, 0);
            EXPECT_EQ(s.error, cmd.status);
            EXPECT_TRUE(Contains(s.message, cmd.message)) << s.message;
        }
        int32_t length = 5;
        EXPECT_EQ(
            ROUTE_GetDisplayString(0, handle, nullptr, 0, &length, &s.warning, &s.error, s.message),
            0);
        EXPECT_EQ(length, 0);
        char display[16] = "stale";
        EXPECT_EQ(ROUTE_GetDisplayString(0, handle, display, sizeof display, &length, &s.warning,
                                         &s.error, s.message),
                  0);
        EXPECT_STREQ(display, "") << "nothing is connected";
        EXPECT_EQ(ROUTE_Cleanup(0, handle, &s.warning, &s.error, s.message), 0);
        EXPECT_EQ(ROUTE_Cleanup(0, handle, &s.warning, &s.error, s.message), -37002);
    }
    StatusBlock s;
    char version[CLASSLIB_VERSION_SIZE] = {};
    EXPECT_EQ(ROUTE_Lib_Version(0, version, &s.warning, &s.error, s.message), 0);
    EXPECT_STREQ(version, "ROUTE 1.0.0 (virtual bench)");
}

TEST_F(VbenchSetupDrivers, DiomgrSetupOpensASessionForEveryBenchSection) {
    struct Case {
        const char* bench;
        int32_t status;
    } cases[] = {{"Bench_A", 0}, {"Bench_C", 0}, {"NoSuchBench", -20012}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bench);
        StatusBlock s;
        int32_t session = 0;
        EXPECT_EQ(DIOMGR_Setup(0, c.bench, &session, &s.warning, &s.error, s.message), c.status);
        if (c.status != 0) {
            EXPECT_EQ(session, -1);
            EXPECT_TRUE(Contains(s.message, "Bench section not found")) << s.message;
            EXPECT_TRUE(Contains(s.message, c.bench)) << s.message;
            continue;
        }
        EXPECT_GT(session, 0);
        EXPECT_EQ(DIOMGR_Cleanup(0, session, &s.warning, &s.error, s.message), 0);
    }
}

TEST_F(VbenchSetupDrivers, DiomgrModuleHandlesNameModulesOfTheStation) {
    StatusBlock s;
    int32_t session = 0;
    ASSERT_EQ(DIOMGR_Setup(0, "Bench_A", &session, &s.warning, &s.error, s.message), 0);
    struct Case {
        const char* channel;
        int32_t status;
        const char* moduleChannel;
        const char* message;
    } cases[] = {
        {"PDFT_A6!PO3", 0, "po3", ""},          {"pdft_a6!po1", 0, "po1", ""},
        {"PDFT_A6!DIO7", 0, "DIO7", ""},        {"PDFT_GONE!po1", -20003, "", "CAN0::0::11"},
        {"NO_SUCH!po1", -20010, "", "NO_SUCH"}, {"po1", -20010, "", "DEVICE!PIN"},
    };
    ViSession first = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.channel);
        ViSession module = 0;
        char moduleChannel[256] = "";
        EXPECT_EQ(DIOMGR_Instrument_Get_Handle(0, session, c.channel, &module, moduleChannel,
                                               &s.warning, &s.error, s.message),
                  c.status);
        EXPECT_TRUE(Contains(s.message, c.message)) << s.message;
        if (c.status == 0) {
            EXPECT_STREQ(moduleChannel, c.moduleChannel);
            EXPECT_GT(module, 0);
            if (first == 0) {
                first = module;
            }
            EXPECT_EQ(module, first) << "every pin of the module has the module's handle";
        }
    }
}

TEST_F(VbenchSetupDrivers, ModuleDriversOpenStationDevicesOrSimulatedOnes) {
    struct Case {
        const char* what;
        std::function<ViStatus(ViSession*)> open;
        ViStatus expected;
    } cases[] = {
        {"ZQsm160 on the station",
         [](ViSession* vi) { return ZQsm160_InitWithOptions("CAN0::1::9", 1, 1, "", vi); }, 0},
        {"ZQsm160 lacking",
         [](ViSession* vi) { return ZQsm160_InitWithOptions("CAN5::0::1", 1, 1, "", vi); },
         static_cast<ViStatus>(0xBFFF0011)},
        {"ZQsm160 lacking, simulated",
         [](ViSession* vi) {
             return ZQsm160_InitWithOptions("CAN5::0::1", 1, 1, "Simulate=1", vi);
         },
         0},
        {"ZQsm160 lacking, Simulate=0",
         [](ViSession* vi) {
             return ZQsm160_InitWithOptions("CAN5::0::1", 1, 1, "Simulate=0", vi);
         },
         static_cast<ViStatus>(0xBFFF0011)},
        {"rspsam on the station",
         [](ViSession* vi) { return rspsam_InitWithOptions("CAN0::0::3", 1, 1, "", vi); }, 0},
        {"rspsam lacking",
         [](ViSession* vi) { return rspsam_InitWithOptions("CAN5::0::2", 1, 1, "", vi); },
         static_cast<ViStatus>(0xBFFF0011)},
        {"rspsam lacking, simulated",
         [](ViSession* vi) {
             return rspsam_InitWithOptions("CAN5::0::2", 1, 1, "RangeCheck=1,Simulate=1", vi);
         },
         0},
        {"rspsam_init lacking", [](ViSession* vi) { return rspsam_init("CAN5::0::2", 1, 1, vi); },
         static_cast<ViStatus>(0xBFFF0011)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ViSession vi = 0;
        EXPECT_EQ(c.open(&vi), c.expected);
        const bool zq = std::string(c.what).rfind("ZQsm160", 0) == 0;
        if (c.expected == 0) {
            EXPECT_GT(vi, 0);
            EXPECT_EQ(zq ? ZQsm160_close(vi) : rspsam_close(vi), 0);
            continue;
        }
        ViChar text[VI_ERROR_MESSAGE_SIZE] = {};
        EXPECT_EQ(zq ? ZQsm160_error_message(0, c.expected, text)
                     : rspsam_error_message(0, c.expected, text),
                  0);
        EXPECT_STREQ(text, "No device of the station has this resource descriptor");
    }
}

} // namespace
} // namespace kora::vbench::testing
