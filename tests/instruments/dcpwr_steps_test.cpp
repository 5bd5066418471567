// The DC power steps against the DCPWR journal: the call sequence of SET_DCPWR per function with
// its range retry and tolerated errors, a fault in the middle of it, every CONF_DCPWR keyword, the
// timing that MEAS_DCPWR and ACQ_DCPWR derive, and the codes of bad keywords and values.
#include "instruments/dcpwr_sine.h"
#include "support/station.h"

#include <vbench/modules/psu.h>

#include <dcpwr.h>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace kora {
namespace {

constexpr const char* kChannel = "SUPPLY_A6!CH1";

class DcpwrSteps : public test::StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        ASSERT_EQ(Setup(), 0) << LastAlert();
        Fresh();
    }
    // The channel in its start state (unless kept); journal and fault counts from here.
    void Fresh(bool reset = true) {
        int32_t warning = 0, error = 0;
        char message[1024];
        if (reset) {
            DCPWR_Reset(0, BenchByIndex(0)->dcpwr.handle, kChannel, &warning, &error, message);
        }
        bench_->journal().clear();
        bench_->faults().reset();
    }
    // The DCPWR calls since Fresh(), without context, session and channel: "Function(args)".
    std::vector<std::string> Calls() const {
        std::vector<std::string> out;
        for (const auto& e : bench_->journal().entries()) {
            if (e.interface != "DCPWR") {
                continue;
            }
            std::string args = e.arguments;
            for (int skip = 0; skip < 3; ++skip) {
                const auto comma = args.find(", ");
                args = comma == std::string::npos ? "" : args.substr(comma + 2);
            }
            out.push_back(e.function.substr(6) + "(" + args + ")");
        }
        return out;
    }
    long Set(const char* devChanAttr, double volts, const char* vRange, double curResPow,
             const char* cRange, double dutyOffs = NAN, double frequency = NAN) {
        return SET_DCPWR(++ref_, "Set", 0x500, 0, "", "", devChanAttr, volts, vRange, curResPow,
                         cRange, dutyOffs, frequency, "");
    }
    double Written(const char* attribute) const {
        const auto* a = rvo().attribute(ref_, attribute);
        return a ? *static_cast<const double*>(a->address) : -1;
    }
    vbench::PsuModule& Supply() { return vbench::PsuOf(*bench_, "SUPPLY_A6"); }
    std::string ReportedCode() const {
        const std::string alert = LastAlert();
        const auto at = alert.find("(0x");
        return at == std::string::npos ? "" : alert.substr(at + 1, alert.find(')', at) - at - 1);
    }
    long ref_ = 900;
};

TEST_F(DcpwrSteps, SetProgramsEachFunctionInItsOrder) {
    using V = std::vector<std::string>;
    const V queries5 = {"Query_Max_Current_Limit(5, &)", "Query_Max_Voltage_Level(1, &)"};
    struct Case {
        const char* devChanAttr;
        double volts;
        const char* vRange;
        double curResPow;
        const char* cRange;
        double dutyOffs, frequency;
        V calls;
        double vRangeSet, cRangeSet;
    } cases[] = {
        {"SUPPLY_A6!CH1|VDC",
         5,
         "AUTORANGE",
         NAN,
         "",
         NAN,
         NAN,
         {"Conf_Mode(\"NORMAL\")", "Conf_Output_Range(\"VOLTAGE\", 5)",
          "Query_Max_Current_Limit(5, &)", "Query_Max_Voltage_Level(1, &)", "Conf_Voltage_Level(5)",
          "Conf_Output_Enabled(1)"},
         10,
         NAN},
        {"SUPPLY_A6!CH1|VDC_CREG.PRE_OFF",
         12,
         "20",
         0.05,
         "AUTORANGE",
         NAN,
         NAN,
         {"Conf_Output_Enabled(0)", "Conf_Mode(\"NORMAL\")", "Conf_Output_Range(\"VOLTAGE\", 20)",
          "Query_Max_Current_Limit(20, &)", "Query_Max_Voltage_Level(1, &)",
          "Conf_Voltage_Level(12)", "Conf_Output_Range(\"CURRENT\", 0.05)",
          "Query_Max_Voltage_Level(0.05, &)", "Query_Max_Current_Limit(50, &)",
          "Conf_Current_Limit(\"REGULATE\", 0.05)"},
         50,
         0.1},
        {"SUPPLY_A6!CH1|VDC_CTRIP.OFF_ON",
         3,
         "",
         0.2,
         "",
         NAN,
         NAN,
         {"Conf_Output_Enabled(0)", "Conf_Mode(\"NORMAL\")", "Conf_Voltage_Level(3)",
          "Conf_Current_Limit(\"TRIP\", 0.2)", "Conf_Output_Enabled(1)"},
         NAN,
         NAN},
        {"SUPPLY_A6!CH1|PWM",
         5,
         "AUTORANGE",
         0.5,
         "1",
         25,
         1000,
         {"Conf_Mode(\"PWM\")", "Conf_Output_Range(\"VOLTAGE\", 5)", queries5[0], queries5[1],
          "Conf_Voltage_Level(5)", "Conf_Output_Range(\"CURRENT\", 1)",
          "Query_Max_Voltage_Level(1, &)", "Query_Max_Current_Limit(10, &)",
          "Conf_Output_PWM(1000, 25)", "Conf_Output_Enabled(1)"},
         10,
         1},
        {"SUPPLY_A6!CH1|SINK_ADC",
         9,
         "AUTORANGE",
         0.2,
         "AUTORANGE",
         NAN,
         NAN,
         {"Conf_Mode(\"CONST_CURRENT\")", "Conf_Mode(\"CONST_CURRENT\")", "Conf_Const_Current(0.2)",
          "Conf_Output_Enabled(1)", "Wait_Until_Settled(5000)"},
         NAN,
         NAN},
        {"SUPPLY_A6!CH1|SINK_RES",
         NAN,
         "",
         100,
         "AUTORANGE",
         NAN,
         NAN,
         {"Conf_Mode(\"CONST_RESISTANCE\")", "Conf_Const_Resistance(100)", "Conf_Output_Enabled(1)",
          "Wait_Until_Settled(5000)"},
         NAN,
         NAN},
        {"SUPPLY_A6!CH1|SINK_POW.PRE_OFF",
         NAN,
         "",
         2,
         "",
         NAN,
         NAN,
         {"Conf_Output_Enabled(0)", "Conf_Mode(\"CONST_POWER\")", "Conf_Const_Power(2)"},
         NAN,
         NAN},
        {"SUPPLY_A6!CH1|ASINE",
         5,
         "",
         0.1,
         "",
         0.2,
         50,
         {"Conf_Mode(\"ARB_WFM\")", "Abort_Arb_Wfm()", "Conf_Output_Enabled(0)",
          "Conf_Output_Range(\"VOLTAGE\", 5.5)", "Query_Max_Current_Limit(5.5, &)",
          "Query_Max_Voltage_Level(1, &)", "Conf_Voltage_Level(5)",
          "Conf_Output_Range(\"CURRENT\", 0.3)", "Query_Max_Voltage_Level(0.3, &)",
          "Query_Max_Current_Limit(10, &)", "Conf_Trigger_Source(\"IMMEDIATE\")",
          "Conf_Arb_Wfm(0, 0.0001, 0)", "Set_Arb_Wfm(200, &, &)", "Initiate_Arb_Wfm()",
          "Conf_Output_Enabled(1)"},
         10,
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.devChanAttr);
        Fresh();
        EXPECT_EQ(
            Set(c.devChanAttr, c.volts, c.vRange, c.curResPow, c.cRange, c.dutyOffs, c.frequency),
            0)
            << LastAlert();
        EXPECT_EQ(Calls(), c.calls);
        for (auto [name, want] : {std::pair{"VRange", c.vRangeSet}, {"CRange", c.cRangeSet}}) {
            const double got = Written(name);
            EXPECT_TRUE(std::isnan(want) ? std::isnan(got) : got == want) << name << " " << got;
        }
        EXPECT_EQ(lastResult().text, kChannel);
        EXPECT_EQ(lastResult().channel, c.devChanAttr);
    }
}

TEST_F(DcpwrSteps, RangeRetryAndToleratedErrors) {
    using V = std::vector<std::string>;
    const char* pac = "\nPlease ensure that the PAC module is connected and switched on!";
    struct Case {
        const char* what;
        vbench::FaultRule fault;
        long result;
        V calls;
        const char* code; // reported, "" for none
    } cases[] = {
        {"-10 on the voltage range: level at the range, range again",
         {"DCPWR_Conf_Output_Range", 1, false, -10, "PAC off"},
         0,
         {"Conf_Mode(\"NORMAL\")", "Conf_Output_Range(\"VOLTAGE\", 5)", "Conf_Voltage_Level(5)",
          "Conf_Output_Range(\"VOLTAGE\", 5)", "Query_Max_Current_Limit(5, &)",
          "Query_Max_Voltage_Level(1, &)", "Conf_Voltage_Level(4)",
          "Conf_Output_Range(\"CURRENT\", 0.1)", "Query_Max_Voltage_Level(0.1, &)",
          "Query_Max_Current_Limit(10, &)", "Conf_Current_Limit(\"REGULATE\", 0.1)",
          "Conf_Output_Enabled(1)"},
         ""},
        {"-10 on the current range: limit at the range, range again",
         {"DCPWR_Conf_Output_Range", 2, false, -10, "PAC off"},
         0,
         {"Conf_Mode(\"NORMAL\")", "Conf_Output_Range(\"VOLTAGE\", 5)",
          "Query_Max_Current_Limit(5, &)", "Query_Max_Voltage_Level(1, &)", "Conf_Voltage_Level(4)",
          "Conf_Output_Range(\"CURRENT\", 0.1)", "Conf_Current_Limit(\"REGULATE\", 0.1)",
          "Conf_Output_Range(\"CURRENT\", 0.1)", "Query_Max_Voltage_Level(0.1, &)",
          "Query_Max_Current_Limit(10, &)", "Conf_Current_Limit(\"REGULATE\", 0.1)",
          "Conf_Output_Enabled(1)"},
         ""},
        {"-10 twice ends the step with the PAC sentence",
         {"DCPWR_Conf_Output_Range", 1, true, -10, "PAC off"},
         -2,
         {"Conf_Mode(\"NORMAL\")", "Conf_Output_Range(\"VOLTAGE\", 5)", "Conf_Voltage_Level(5)",
          "Conf_Output_Range(\"VOLTAGE\", 5)"},
         "0xFFFFFFF6"},
        {"-19006 after the mode is no error",
         {"DCPWR_Conf_Mode", 1, false, -19006, "not here"},
         0,
         {"Conf_Mode(\"NORMAL\")", "Conf_Output_Range(\"VOLTAGE\", 5)",
          "Query_Max_Current_Limit(5, &)", "Query_Max_Voltage_Level(1, &)", "Conf_Voltage_Level(4)",
          "Conf_Output_Range(\"CURRENT\", 0.1)", "Query_Max_Voltage_Level(0.1, &)",
          "Query_Max_Current_Limit(10, &)", "Conf_Current_Limit(\"REGULATE\", 0.1)",
          "Conf_Output_Enabled(1)"},
         ""},
        {"-19006 after a range is",
         {"DCPWR_Conf_Output_Range", 1, false, -19006, "not here"},
         -2,
         {"Conf_Mode(\"NORMAL\")", "Conf_Output_Range(\"VOLTAGE\", 5)"},
         "0xFFFFB5C2"},
        {"a failed range query is cleared",
         {"DCPWR_Query_Max_Current_Limit", 1, false, -19007, "no answer"},
         0,
         {"Conf_Mode(\"NORMAL\")", "Conf_Output_Range(\"VOLTAGE\", 5)",
          "Query_Max_Current_Limit(5, &)", "Conf_Voltage_Level(4)",
          "Conf_Output_Range(\"CURRENT\", 0.1)", "Query_Max_Voltage_Level(0.1, &)",
          "Query_Max_Current_Limit(10, &)", "Conf_Current_Limit(\"REGULATE\", 0.1)",
          "Conf_Output_Enabled(1)"},
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh();
        bench_->faults().add(c.fault);
        const size_t alerts = this->alerts().size();
        EXPECT_EQ(Set("SUPPLY_A6!CH1|VDC_CREG", 4, "5", 0.1, "0.1"), c.result);
        EXPECT_EQ(Calls(), c.calls);
        if (c.code[0]) {
            EXPECT_EQ(ReportedCode(), c.code);
            EXPECT_EQ(LastAlert().find(pac) != std::string::npos, c.fault.code == -10)
                << LastAlert();
        } else {
            EXPECT_EQ(this->alerts().size(), alerts) << LastAlert();
        }
    }
    // The cleared query leaves the range asked for as the range written back.
    EXPECT_EQ(Written("VRange"), 5);
}

TEST_F(DcpwrSteps, AFailingCallEndsSetWithTheOutputAsLastSet) {
    ASSERT_EQ(PowerBoard(5), 0) << LastAlert();
    Fresh(false);
    bench_->faults().add({"DCPWR_Conf_Voltage_Level", 1, false, -10, "PAC timeout"});
    EXPECT_EQ(Set("SUPPLY_A6!CH1|VDC_CREG", 8, "AUTORANGE", 0.05, "AUTORANGE"), -2);
    const std::string alert = LastAlert();
    EXPECT_NE(alert.find("ERROR# -10 (0xFFFFFFF6)"), std::string::npos) << alert;
    EXPECT_NE(alert.find("PAC timeout\nPlease ensure that the PAC module is connected and "
                         "switched on!"),
              std::string::npos)
        << alert;
    const auto calls = Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), "Conf_Voltage_Level(8)") << "no DCPWR call after the failing one";
    vbench::PsuModule& m = Supply();
    EXPECT_TRUE(m.outputEnabled(0));
    EXPECT_EQ(m.voltageLevel(0), 5);
    EXPECT_EQ(m.currentLimit(0), 0.1);
    EXPECT_NEAR(m.exact(0, vbench::PsuModule::Quantity::SenseVoltage), 5, 1e-6);
}

TEST_F(DcpwrSteps, ConfKeywordsReachTheirCalls) {
    struct Case {
        const char* devChanAttr;
        double value;
        std::vector<std::string> calls;
        rvo::ResultKind kind;
        long unit;
        double verified; // number verified (texts: the channel)
    } cases[] = {
        {"SUPPLY_A6!CH1|GROUNDED", 1, {"Conf_Ground_Relay(1)"}, rvo::ResultKind::Integer, 0, 1},
        {"SUPPLY_A6!CH1|XSENSING",
         0.0005,
         {"Conf_Remote_Sensing(0)"},
         rvo::ResultKind::Integer,
         0,
         0},
        {"SUPPLY_A6!CH1|TRSETTING.VOLTAGE",
         7.5,
         {"Conf_Triggered_Voltage_Level(7.5)"},
         rvo::ResultKind::Real,
         5,
         7.5},
        {"SUPPLY_A6!CH1|TRSETTING.CURRENT",
         0.25,
         {"Conf_Triggered_Current_Limit(0.25)"},
         rvo::ResultKind::Real,
         9,
         0.25},
        {"SUPPLY_A6!CH1|PROTECTION.OVP", 1, {"Conf_OVP(1)"}, rvo::ResultKind::Integer, 0, 1},
        {"SUPPLY_A6!CH1|PROTECTION.RELAY",
         1,
         {"Conf_Relay_Protection(1)"},
         rvo::ResultKind::Integer,
         0,
         1},
        {"SUPPLY_A6!CH1|+GATED.PXI3",
         1,
         {"Conf_Gated_Output(\"TTL3\", \"HIGH\")", "Enable_Gated_Output(1)"},
         rvo::ResultKind::Integer,
         0,
         1},
        {"SUPPLY_A6!CH1|-GATED.XTI2",
         0,
         {"Conf_Gated_Output(\"XTI2\", \"LOW\")", "Enable_Gated_Output(0)"},
         rvo::ResultKind::Integer,
         0,
         0},
        {"SUPPLY_A6!CH1|PACCTRL.MANUAL",
         24,
         {"Conf_PAC_Control(\"MANUAL\", 24)"},
         rvo::ResultKind::Real,
         5,
         24},
        {"SUPPLY_A6!CH1|PACCTRL.AUTO",
         0,
         {"Conf_PAC_Control(\"AUTOMATIC\", 0)"},
         rvo::ResultKind::Text,
         0,
         0},
        {"SUPPLY_A6!CH1|PACCTRL.UOUT",
         0,
         {"Conf_PAC_Control(\"UOUT\", 0)"},
         rvo::ResultKind::Text,
         0,
         0},
        {"SUPPLY_A6!CH1|RESET.PROTECTION",
         0,
         {"Reset_Output_Protection()"},
         rvo::ResultKind::Text,
         0,
         0},
        {"SUPPLY_A6!CH1|RESET", 0, {"Reset()"}, rvo::ResultKind::Text, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.devChanAttr);
        Fresh();
        ASSERT_EQ(CONF_DCPWR(++ref_, "Conf", 0x600, 0, "", c.devChanAttr, c.value), 0)
            << LastAlert();
        EXPECT_EQ(Calls(), c.calls);
        const rvo::Result r = lastResult();
        EXPECT_EQ(r.kind, c.kind);
        if (c.kind == rvo::ResultKind::Text) {
            EXPECT_EQ(r.text, kChannel);
        } else {
            EXPECT_EQ(r.unit, c.unit);
            EXPECT_EQ(c.kind == rvo::ResultKind::Integer ? r.valueInt : r.value, c.verified);
        }
        EXPECT_EQ(rvo().attribute(ref_, "ValueEnable")->unitOrOption, c.unit);
    }
}

TEST_F(DcpwrSteps, MeasAndAcqDeriveTheirTiming) {
    struct Meas {
        double measTime;
        const char* conf; // the DCPWR_Conf_Measurement arguments
    } meas[] = {{NAN, "1, 0.0001, 0"}, {0.01, "100, 0.0001, 0"}, {0.1, "256, 0.000390625, 0"}};
    for (const Meas& m : meas) {
        SCOPED_TRACE(m.measTime);
        Fresh();
        double value = 0;
        ASSERT_EQ(MEAS_DCPWR(++ref_, "Meas", 0x700, 0, "", "", "SUPPLY_A6!CH1|VDC", "", NAN, "",
                             m.measTime, &value, ""),
                  0)
            << LastAlert();
        EXPECT_EQ(Calls().front(), std::string("Conf_Measurement(") + m.conf + ")");
    }
    struct Acq {
        long count;
        double measTime;
        const char* conf; // the DCPWR_Conf_Acquisition arguments
        const char* fetch;
    } acq[] = {
        {0, NAN, "\"VOLTAGE\", 1, 0.0001, \"IMMEDIATE\", 0", "1, 1, &, &"},
        {10, 0.009, "\"VOLTAGE\", 10, 0.001, \"IMMEDIATE\", 0", "1.009, 10, &, &"},
        {5, 0, "\"VOLTAGE\", 5, 0.0001, \"IMMEDIATE\", 0", "1, 5, &, &"},
        {1, 0.5, "\"VOLTAGE\", 1, 0.0001, \"IMMEDIATE\", 0", "1.5, 1, &, &"},
    };
    for (const Acq& a : acq) {
        SCOPED_TRACE(a.count);
        Fresh();
        std::vector<double> samples(20);
        ASSERT_EQ(ACQ_DCPWR(++ref_, "Acq", 0x800, 0, "", "", "SUPPLY_A6!CH1|VDC.READ", "", "0", "",
                            0.0, a.measTime, a.count, samples.data(), ""),
                  0)
            << LastAlert();
        EXPECT_EQ(Calls(),
                  (std::vector<std::string>{std::string("Conf_Acquisition(") + a.conf + ")",
                                            "Initiate_Acquisition()",
                                            std::string("Fetch_Acquisition(") + a.fetch + ")"}));
    }
    // The trigger source of CTRG_DCPWR +IN is the one the acquisitions wait for.
    ASSERT_EQ(CTRG_DCPWR(++ref_, "Ctrg", 0x900, 0, "", "SUPPLY_A6!CH1|+IN:SOFTWARE", 0), 0);
    Fresh();
    ASSERT_EQ(ACQ_DCPWR(++ref_, "Acq", 0x800, 0, "", "", "SUPPLY_A6!CH1|ADC.CONFIG", "", "0", "",
                        0.0, 0.0, 4, nullptr, ""),
              0);
    EXPECT_EQ(Calls(), std::vector<std::string>{
                           "Conf_Acquisition(\"CURRENT\", 4, 0.0001, \"SOFTWARE\", 0)"});
}

TEST_F(DcpwrSteps, BadKeywordsAndValuesHaveTheirCodes) {
    double value = 0;
    std::vector<double> samples(100, 1.0);
    long shortCycle = 0;
    struct Case {
        const char* what;
        std::function<long()> step;
        const char* code;
        const char* message;
    } cases[] = {
        {"SET function", [&] { return Set("SUPPLY_A6!CH1|VAC", 5, "", NAN, ""); }, "0x81000007",
         "SUPPLY_A6!CH1|VAC"},
        {"ASINE frequency 0.5", [&] { return Set("SUPPLY_A6!CH1|ASINE", 5, "", 0.1, "", 0, 0.5); },
         "0x8100000B", "Frequency out of range [1...1000]"},
        {"ASINE without voltage",
         [&] { return Set("SUPPLY_A6!CH1|ASINE", NAN, "", 0.1, "", 0, 50); }, "0x81000008",
         "Voltage out of range"},
        {"ASINE without amplitude",
         [&] { return Set("SUPPLY_A6!CH1|ASINE", 5, "", NAN, "", 0, 50); }, "0x8100000A",
         "Current out of range"},
        {"CONF keyword",
         [&] { return CONF_DCPWR(++ref_, "Conf", 0x600, 0, "", "SUPPLY_A6!CH1|SENSING", 1); },
         "0x81000006", "SUPPLY_A6!CH1|SENSING"},
        {"CONF sub-keyword",
         [&] {
             return CONF_DCPWR(++ref_, "Conf", 0x600, 0, "", "SUPPLY_A6!CH1|TRSETTING.POWER", 1);
         },
         "0x81000006", "TRSETTING.POWER"},
        {"GET keyword",
         [&] {
             return GET_DCPWR(++ref_, "Get", 0x600, 0, "", "SUPPLY_A6!CH1|STATE", nullptr, 0, 0);
         },
         "0x81000006", "STATE"},
        {"MEAS suffix",
         [&] {
             return MEAS_DCPWR(++ref_, "Meas", 0x700, 0, "", "", "SUPPLY_A6!CH1|VDC.PEAK", "", NAN,
                               "", NAN, &value, "");
         },
         "0x81000007", "VDC.PEAK"},
        {"MEAS supply voltage as a current",
         [&] {
             return MEAS_DCPWR(++ref_, "Meas", 0x700, 0, "", "", "SUPPLY_A6!CH1|SUPPLY:ADC", "",
                               NAN, "", NAN, &value, "");
         },
         "0x81000011", "INVALID SETTING => no execution"},
        {"ACQ without a mode",
         [&] {
             return ACQ_DCPWR(++ref_, "Acq", 0x800, 0, "", "", "SUPPLY_A6!CH1|VDC", "", "0", "",
                              0.0, 0.0, 1, nullptr, "");
         },
         "0x81000007", "SUPPLY_A6!CH1|VDC"},
        {"ACQ over the internal store",
         [&] {
             return ACQ_DCPWR(++ref_, "Acq", 0x800, 0, "", "", "SUPPLY_A6!CH1|VDC.READ", "", "0",
                              "", 0.0, 0.0, 5001, nullptr, "");
         },
         "0x8100000F", "INTERNAL DATA STORAGE overflow: #Samples > 5000"},
        {"STIM keyword",
         [&] {
             return STIM_DCPWR(++ref_, "Stim", 0xA00, 0, "", "SUPPLY_A6!CH1|PWM", 100,
                               samples.data(), 0, nullptr, 0.5, 0.01, 0);
         },
         "0x81000006", "SUPPLY_A6!CH1|PWM"},
        {"STIM cycle too short",
         [&] {
             return STIM_DCPWR(shortCycle = ++ref_, "Stim", 0xA00, 0, "", "SUPPLY_A6!CH1|PWR", 100,
                               samples.data(), 0, nullptr, 0.5, 0.005, 0);
         },
         "0x8100000B", "Cycle time is to short (min: 0.1ms * samples)"},
        {"CTRG channel",
         [&] { return CTRG_DCPWR(++ref_, "Ctrg", 0x900, 0, "", "SUPPLY_A6!CH1|IN:XTI1", 0); },
         "0x81000006", "IN:XTI1"},
        {"CTRG event",
         [&] {
             return CTRG_DCPWR(++ref_, "Ctrg", 0x900, 0, "", "SUPPLY_A6!CH1|+OUT:XTO1.ENA3", 1);
         },
         "0x81000006", "ENA3"},
        {"TRIG action",
         [&] { return TRIG_DCPWR(++ref_, "Trig", 0x900, 0, "", "SUPPLY_A6!CH1|FIRE"); },
         "0x81000006", "FIRE"},
        {"a voltage beyond the supply",
         [&] { return Set("SUPPLY_A6!CH1|VDC", 60, "AUTORANGE", NAN, ""); }, "0xFFFFB5C1",
         "voltage range 60"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.step(), -2);
        EXPECT_EQ(ReportedCode(), c.code);
        EXPECT_NE(LastAlert().find(c.message), std::string::npos) << LastAlert();
    }
    // The sample time of the too short cycle is written back all the same.
    const auto* sampleTime = rvo().attribute(shortCycle, "SampleTime");
    ASSERT_NE(sampleTime, nullptr);
    EXPECT_DOUBLE_EQ(*static_cast<const double*>(sampleTime->address), 5e-5);
}

TEST_F(DcpwrSteps, SinkReadingsWithoutAValidValueStayOverRange) {
    struct Case {
        const char* set;     // SET_DCPWR function, "" for none
        const char* meas;    // MEAS_DCPWR DevChanAttr
        const char* comment; // verification comment
    } cases[] = {
        // Out of sink mode the readings are not valid and the step says why.
        {"", "SUPPLY_A6!CH1|SINK:VDC",
         "note KORA warning: SinkState WARNING[0x00000000]: Channel not in SINK mode"},
        // A load with nothing to draw from: no current, so no resistance.
        {"SUPPLY_A6!CH1|SINK_RES", "SUPPLY_A6!CH1|SINK:RES", "note"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.meas);
        Fresh();
        if (c.set[0]) {
            ASSERT_EQ(Set(c.set, NAN, "", 100, ""), 0) << LastAlert();
        }
        double value = 0;
        ASSERT_EQ(
            MEAS_DCPWR(++ref_, "Meas", 0x700, 0, "note", "", c.meas, "", NAN, "", NAN, &value, ""),
            0)
            << LastAlert();
        EXPECT_EQ(value, 9999000000.0);
        EXPECT_EQ(lastResult().comment, c.comment);
    }
}

TEST_F(DcpwrSteps, SineTableForThreeFrequencies) {
    struct Case {
        double hertz;
        int32_t points;
    } cases[] = {{50, 200}, {3, 3333}, {1000, 10}};
    dcpwr::SineBlock block{};
    ASSERT_TRUE(block.Allocate(&block));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hertz);
        ASSERT_EQ(dcpwr::SinePoints(c.hertz), c.points);
        block.Compute(c.points);
        block.Fill(4, 0.5, 0.1);
        for (int32_t i : {0, c.points / 4, c.points / 2 - 1, c.points / 2, c.points - 1}) {
            const double s = std::sin(i * 6.2831853 / c.points);
            EXPECT_DOUBLE_EQ(block.Table()[i], s) << i;
            EXPECT_EQ(block.Volts()[i], i < c.points / 2 ? 4 : -4) << i;
            EXPECT_DOUBLE_EQ(block.Amperes()[i], std::fabs(0.5 * s + 0.1)) << i;
        }
    }
}

} // namespace
} // namespace kora
