// The digital I/O manager steps on the example station: the digital test module RACK_PDFT drives
// the board's CMOS NAND and bus line and reads them back, its power outputs report their loads,
// and keywords, channels and drivers are refused with the texts the steps give.
#include "support/station.h"

#include <rspdft.h>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace kora {
namespace {

constexpr const char* kToBoard =
    "RACK_PDFT!DIO1>MATRIX_A7!P28,RACK_PDFT!DIO2>MATRIX_A7!P29,RACK_PDFT!DIO3>MATRIX_A7!P30,"
    "RACK_PDFT!DIO4>MATRIX_A7!P31,RACK_PDFT!PO1>MATRIX_A7!P32,RACK_PDFT!PO2>MATRIX_A7!P33,"
    "RACK_PDFT!PO3>MATRIX_A7!P34";
constexpr const char* kAllPower = "RACK_PDFT!po1,RACK_PDFT!po2,RACK_PDFT!po3,RACK_PDFT!po4:POWER";

class DiomgrSteps : public test::StationTest {
  protected:
    void Start() {
        ASSERT_EQ(Setup(), 0) << LastAlert();
        ASSERT_EQ(EXEC_ROUTE(++ref_, "Route", 0x100, 0, "", kToBoard), 1) << LastAlert();
        ASSERT_EQ(Set("RACK_PDFT!po1:PWM", 1000, 100), 0) << LastAlert();
    }
    long Conf(const char* devChanAttr, double high, double low) {
        return CONF_DIOMGR(++ref_, "Conf", 0x100, 0, "", devChanAttr, high, low);
    }
    long Set(const char* devChanAttr, double frequency, double duty) {
        return SET_DIOMGR(++ref_, "Set", 0x100, 0, "", devChanAttr, frequency, duty);
    }
    // The buffer text of an EXEC_DIOMGR, or "<-2>" when the step failed.
    std::string Exec(const char* outInAttr) {
        char buffer[64] = "stale";
        const long r = EXEC_DIOMGR(++ref_, "Exec", 0x100, 0, "", outInAttr, sizeof buffer, buffer);
        return r == -2 ? "<-2>" : buffer;
    }
    std::string Get(const char* devChanAttr, long size, const char* compare = "") {
        char buffer[64] = "stale";
        const long r = GET_DIOMGR(++ref_, "Get", 0x100, 0, "", devChanAttr, size, buffer, compare);
        return r == -2 ? "<-2>" : std::string(buffer);
    }
    void Channels() {
        ASSERT_EQ(Conf("RACK_PDFT!DIO1:OUT.TTL", 5, 0), 0) << LastAlert();
        ASSERT_EQ(Conf("RACK_PDFT!DIO2:OUT.TRI", 5, 0), 0) << LastAlert();
        ASSERT_EQ(Conf("RACK_PDFT!DIO3:IN.HYSTERESIS", 3.5, 1.5), 0) << LastAlert();
        ASSERT_EQ(Conf("RACK_PDFT!DIO4:BIDIR.TRI", 5, 0), 0) << LastAlert();
    }
    long ref_ = 800;
};

TEST_F(DiomgrSteps, RefusesKeywordsBeforeAnyCall) {
    Start();
    const char* const driverCalls[] = {"DIOMGR_ConfigureStimulus", "DIOMGR_ConfigureResponse",
                                       "DIOMGR_PortStimulus", "DIOMGR_Instrument_Get_Handle"};
    std::vector<size_t> before;
    for (const char* f : driverCalls) {
        before.push_back(Calls(f));
    }
    struct Case {
        const char* what;
        std::function<long()> step;
        const char* text;
    } cases[] = {
        {"CONF function", [&] { return Conf("RACK_PDFT!DIO1:SEND.TTL", 5, 0); }, "SEND"},
        {"CONF driver mode", [&] { return Conf("RACK_PDFT!DIO1:OUT.ECL", 5, 0); }, "ECL"},
        {"CONF receiver mode", [&] { return Conf("RACK_PDFT!DIO1:IN.TTL", 5, 0); }, "IN.TTL"},
        {"EXEC keyword", [&] { return Exec("INPUTS|OUTPUT:DATA.01") == "<-2>" ? -2L : 0L; },
         "OUTPUT:DATA"},
        {"GET keyword", [&] { return Get("SET|CH:PATTERNS", 8) == "<-2>" ? -2L : 0L; }, "PATTERNS"},
        {"SET keyword", [&] { return Set("RACK_PDFT!po1:DUTY", 1, 1); }, "DUTY"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.step(), -2);
        EXPECT_NE(LastAlert().find("Invalid function parameter #6"), std::string::npos)
            << LastAlert();
        EXPECT_NE(LastAlert().find(c.text), std::string::npos) << LastAlert();
    }
    for (std::size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(Calls(driverCalls[i]), before[i]) << driverCalls[i];
    }
}

TEST_F(DiomgrSteps, PatternsDriveTheNandAndTheBusLine) {
    Start();
    Channels();
    struct Case {
        const char* outIn;
        const char* read;
    } cases[] = {
        {"INPUTS|OUTPUT:RESULT.00 01 10 11", "1 1 1 0"},
        {"INPUTS|OUTPUT:RESULT.11 X0 1-", "0 1 1"}, // X and - keep the channel's drive
        {"BUS|BUS:RESULT.0 Z 1", "0 1 1"},          // Z: the pull-up, read by the looped driver
        {"|OUTPUT:STATUS", "DONE"},
        {"INPUTS|:RESULT.0Z", ""},            // no response port: nothing read
        {"INPUTS|OUTPUT:RESULT.Z0", "<-2>"},  // DIO1 is a TTL driver: no 'Z'
        {"INPUTS|OUTPUT:RESULT.011", "<-2>"}, // three characters for two channels
        {"NOPORT|OUTPUT:RESULT.0", "<-2>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.outIn);
        EXPECT_EQ(Exec(c.outIn), c.read) << LastAlert();
    }
    EXPECT_NE(LastAlert().find("Unknown port: NOPORT"), std::string::npos) << LastAlert();

    // The truth table once more, as the pattern set of INPUTS: its count and DIO3's data.
    ASSERT_EQ(Exec("INPUTS|OUTPUT:RESULT.00 01 10 11"), "1 1 1 0");
    EXPECT_EQ(Get("INPUTS|RACK_PDFT!DIO3:PATTERN", 64, "1110"), "1110");
    const auto r = results();
    ASSERT_GE(r.size(), 2u);
    EXPECT_EQ(r[r.size() - 2].name, "PatternsExecuted");
    EXPECT_EQ(r[r.size() - 2].valueInt, 4);
    EXPECT_EQ(r.back().verdict, rvo::Verdict::Pass);
    EXPECT_EQ(Get("INPUTS|RACK_PDFT!DIO3:PATTERN", 64, "1111"), "1110");
    EXPECT_EQ(lastResult().verdict, rvo::Verdict::Fail);
    EXPECT_EQ(Get("INPUTS|RACK_PDFT!DIO1:PATTERN", 64), "<-2>") << "DIO1 only drives";

    // An analog driver at 0.1 mA cannot pull the bus line against its 10 kohm pull-up: it sits at
    // 4 V, between the window receiver's thresholds.
    ASSERT_EQ(Conf("RACK_PDFT!DIO4:BIDIR.ANALOG", 5, 1e-4), 0) << LastAlert();
    ASSERT_EQ(Conf("RACK_PDFT!DIO4:IN.WINDOW", 4.5, 0.5), 0) << LastAlert();
    EXPECT_EQ(Exec("BUS|BUS:RESULT.1 0"), "1 X");

    // Reset: no driver is left, the pattern sets are gone.
    ASSERT_EQ(Conf("RESET", 0, 0), 0) << LastAlert();
    EXPECT_EQ(Exec("|OUTPUT:STATUS"), "IDLE");
    EXPECT_EQ(Exec("INPUTS|OUTPUT:RESULT.00"), "<-2>");
    EXPECT_NE(LastAlert().find("no driver configured"), std::string::npos) << LastAlert();
}

TEST_F(DiomgrSteps, PowerOutputsReportTheirLoads) {
    Start();
    const size_t configured = Calls("rspdft_ConfigurePWM");
    ASSERT_EQ(Set("RACK_PDFT!po2 RACK_PDFT!po3:PWM", 20000, 50), 0) << LastAlert();
    ASSERT_EQ(Set("RACK_PDFT!po4:PWM", NAN, 30), 0) << LastAlert();
    EXPECT_EQ(Calls("rspdft_ConfigurePWM"), configured + 2) << "a NaN frequency is not sent";
    struct Case {
        const char* channels;
        long size;
        const char* text;
    } cases[] = {
        {kAllPower, 64, "NNTO"}, // PO3 tripped on its short, PO4 has no load
        {"RACK_PDFT!po3 RACK_PDFT!po1:POWER", 64, "TN"},
        {"RACK_PDFT!po1,RACK_PDFT!po2,RACK_PDFT!po3:POWER", 2, "N"},
        {"RACK_PDFT!DIO1:POWER", 64, "<-2>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.channels);
        EXPECT_EQ(Get(c.channels, c.size), c.text);
    }
    EXPECT_NE(LastAlert().find("Selected channel is not a PDFT power channel"), std::string::npos)
        << LastAlert();
    EXPECT_EQ(Set("RACK_PDFT!po2:PWM", 2e6, NAN), -2);
    EXPECT_NE(LastAlert().find("(0x81000011)"), std::string::npos) << LastAlert();
    EXPECT_NE(LastAlert().find("Value out of range"), std::string::npos) << LastAlert();
    // A duty cycle of 0 switches the tripped output off.
    ASSERT_EQ(Set("RACK_PDFT!po3:PWM", NAN, 0), 0) << LastAlert();
    EXPECT_EQ(Get(kAllPower, 64), "NNSO");
    // A driver session opened with reset switches every output of the module off.
    ViSession vi = 0;
    char resource[] = "CAN0::1::2";
    ASSERT_EQ(rspdft_init(resource, VI_FALSE, VI_TRUE, &vi), VI_SUCCESS);
    ViInt32 states[4] = {-1, -1, -1, -1};
    ASSERT_EQ(rspdft_GetStatePWM(vi, states), VI_SUCCESS);
    for (ViInt32 s : states) {
        EXPECT_EQ(s, RSPDFT_PWM_OFF);
    }
    rspdft_close(vi);
}

TEST_F(DiomgrSteps, StationKeysForceOutputStates) {
    UseStation(EditedStation("hardware.ini", "PowerVoltage = 5",
                             "PowerVoltage = 5\nForcePO1 = OPEN\nForcePO2 = TRIPPED"));
    Start();
    ASSERT_EQ(Set("RACK_PDFT!po2:PWM", 1000, 100), 0) << LastAlert();
    EXPECT_EQ(Get(kAllPower, 64), "OTSS");
}

} // namespace
} // namespace kora
