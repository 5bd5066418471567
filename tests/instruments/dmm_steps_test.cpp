// The multimeter steps on the example station: settings derived at definition, the DMM library
// calls of each step (journal), trigger state kept in the meter's record, and the error texts.
#include "support/station.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace kora {
namespace {

class DmmSteps : public test::StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        ASSERT_EQ(Setup(), 0) << LastAlert();
        bench_->journal().clear();
    }
    // The arguments of the calls of one DMM function, in order.
    std::vector<std::string> Sent(const char* function) const {
        std::vector<std::string> out;
        for (const auto& e : bench_->journal().calls(function)) {
            out.push_back(e.arguments);
        }
        return out;
    }
    static double AttrReal(long stepRef, const char* name) {
        const auto* a = rvo().attribute(stepRef, name);
        return a ? *static_cast<const double*>(a->address) : NAN;
    }
    static long AttrInt(long stepRef, const char* name) {
        const auto* a = rvo().attribute(stepRef, name);
        return a ? *static_cast<const int32_t*>(a->address) : -1;
    }
    DeviceRecord& Meter() const { return BenchByIndex(0)->dmm[0]; }
};

TEST_F(DmmSteps, MeasurementSettingsFollowFunctionAndTime) {
    rvo().setCompileOnly(true);
    const struct {
        const char* devChanAttr;
        double measTime;
        long count;
        double acqTime, sampleTime, filter;
    } cases[] = {
        {"VDC", 0, 1, 5e-6, 5e-6, 100000},
        {"VDC", NAN, 1, 5e-6, 5e-6, 100000},
        {"VAC", 0, 8192, 0.04096, 5e-6, 4.0 / 0.04096},
        {"VDC", 0.1, 8192, 0.1, 0.1 / 8192, 400},
        {"VDC", 0.01, 1999, 0.01, 5e-6, 4000}, // 0.01 / 5e-6 is 1999.99... in binary: truncated
        {"VDC", 0.003, 600, 0.003, 5e-6, 40000},
        {"AAC", 0.1, 8192, 0.04096, 5e-6, 4.0 / 0.04096},
        {"RES_4W", 0.0005, 100, 0.0005, 5e-6, 100000},
    };
    long ref = 200;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.devChanAttr) + " " + std::to_string(c.measTime));
        ++ref;
        ASSERT_EQ(MEAS_DMM(ref, "Meas", 0x800, 0, "", "", c.devChanAttr, "1", 0, "2", c.measTime,
                           nullptr, ""),
                  0)
            << LastAlert();
        EXPECT_EQ(AttrInt(ref, "SampleCount"), c.count);
        EXPECT_NEAR(AttrReal(ref, "AcqTime"), c.acqTime, 1e-12);
        EXPECT_NEAR(AttrReal(ref, "SampleTime"), c.sampleTime, 1e-15);
        EXPECT_NEAR(AttrReal(ref, "Filter"), c.filter, 1e-6);
    }
    EXPECT_EQ(bench_->journal().total(), 0u); // definition touches no instrument
}

TEST_F(DmmSteps, AcquisitionSettings) {
    rvo().setCompileOnly(true);
    const struct {
        const char* devChanAttr;
        double measTime;
        long samples;
        long acqCount;
        double acqTime, sampleTime, filter;
    } cases[] = {
        {"VDC.READ", 0.01, 0, 1, 5e-6, 5e-6, 10.0 / 5e-6},
        {"VDC.READ", 0.01, 100, 100, 0.01, 1e-4, 10.0 / 1e-4},
        {"VDC.READ", 0.0001, 100, 100, 5e-4, 5e-6, 10.0 / 5e-6},
        {"VAC.CONFIG", 0.02, 200, 200, 0.02, 1e-4, 4.0 / 0.02},
    };
    long ref = 300;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.devChanAttr);
        ++ref;
        ASSERT_EQ(ACQ_DMM(ref, "Acq", 0x900, 0, "", "", c.devChanAttr, "1", "", "2", 0.0,
                          c.measTime, c.samples, nullptr, ""),
                  0)
            << LastAlert();
        EXPECT_EQ(AttrInt(ref, "AcqCount"), c.acqCount);
        EXPECT_NEAR(AttrReal(ref, "AcqTime"), c.acqTime, 1e-12);
        EXPECT_NEAR(AttrReal(ref, "SampleTime"), c.sampleTime, 1e-15);
        EXPECT_NEAR(AttrReal(ref, "Filter"), c.filter, 1e-6);
    }
    // FETCH shows no acquisition settings: they belong to the step that configured.
    ASSERT_EQ(ACQ_DMM(310, "Acq", 0x900, 0, "", "", "VDC.FETCH", "1", "", "2", 0.0, 0.01, 10,
                      nullptr, ""),
              0);
    EXPECT_EQ(rvo().attribute(310, "AcqCount"), nullptr);
    EXPECT_NE(rvo().attribute(310, "SampleCount"), nullptr);
}

TEST_F(DmmSteps, RefusedSettingsNameTheArgument) {
    const struct {
        long (*run)(long);
        const char* code;
        const char* text;
    } cases[] = {
        {[](long ref) -> long {
             return MEAS_DMM(ref, "Meas", 0, 0, "", "", "OHMS", "", 0, "", 0, nullptr, "");
         },
         "(0x81000007)", "OHMS"},
        {[](long ref) -> long {
             return MEAS_DMM(ref, "Meas", 0, 0, "", "", "NODMM|VDC", "", 0, "", 0, nullptr, "");
         },
         "(0x81000007)", "NODMM|VDC"},
        {[](long ref) -> long {
             return ACQ_DMM(ref, "Acq", 0, 0, "", "", "VDC.SOMETIMES", "", "", "", 0, 0, 1, nullptr,
                            "");
         },
         "(0x81000007)", "VDC.SOMETIMES"},
        {[](long ref) -> long {
             return ACQ_DMM(ref, "Acq", 0, 0, "", "", "VDC.READ", "", "", "", 0, 0.1, 9000, nullptr,
                            "");
         },
         "(0x8100000E)", "INTERNAL DATA STORAGE overflow: #Samples > 8192"},
        {[](long ref) -> long { return CONF_DMM(ref, "Conf", 0, 0, "", "OFFSET", 1); },
         "(0x81000006)", "OFFSET"},
        {[](long ref) -> long { return CTRG_DMM(ref, "Ctrg", 0, 0, "", "+IN:PXI9", 1); },
         "(0x81000006)", "+IN:PXI9"},
        {[](long ref) -> long { return TRIG_DMM(ref, "Trig", 0, 0, "", "FIRE"); }, "(0x81000006)",
         "FIRE"},
        {[](long ref) -> long {
             return CTRGX_DMM(ref, "Ctrgx", 0, 0, "", "+GPT1:SOFTWARE.+XTO1", 0, 70000, 1e-6, 1e-6);
         },
         "(0x81000008)", "PulseCount out of range [0...65535]"},
        {[](long ref) -> long {
             return CTRGX_DMM(ref, "Ctrgx", 0, 0, "", "+GPT1:SOFTWARE.+XTO1", 0, 10, 10e-9, 1e-6);
         },
         "(0x81000008)", "PulseWidth out of range [50e-9...]"},
        {[](long ref) -> long {
             return CTRGX_DMM(ref, "Ctrgx", 0, 0, "", "+GPT1:SOFTWARE.+XTO1", 0, 10, 1e-6, 0);
         },
         "(0x81000008)", "PulsePause out of range [50e-9...]"},
    };
    long ref = 400;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.run(++ref), -2);
        EXPECT_NE(LastAlert().find(c.code), std::string::npos) << LastAlert();
        EXPECT_NE(LastAlert().find(c.text), std::string::npos) << LastAlert();
    }
}

TEST_F(DmmSteps, ConfigurationCalls) {
    const struct {
        const char* devChanAttr;
        double value;
        const char* function;
        const char* argument;
    } cases[] = {
        {"POWERFREQ", 60, "DMM_Conf_Power_Line_Frequency", "60"},
        {"AUTOZERO", 0, "DMM_Conf_Auto_Zero_Mode", "\"AUTO_ZERO_ONCE\""},
        {"AUTOZERO", 1, "DMM_Conf_Auto_Zero_Mode", "\"AUTO_ZERO_ON\""},
        {"AUTOZERO", NAN, "DMM_Conf_Auto_Zero_Mode", "\"AUTO_ZERO_OFF\""},
        {"DMM_A|GROUNDED", 1, "DMM_Conf_Ground_Relay", ", 1"},
        {"GROUNDED", 0.0005, "DMM_Conf_Ground_Relay", ", 0"},
    };
    long ref = 500;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.argument);
        bench_->journal().clear();
        EXPECT_EQ(CONF_DMM(++ref, "Conf", 0, 0, "", c.devChanAttr, c.value), 0) << LastAlert();
        const auto sent = Sent(c.function);
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_NE(sent[0].find(c.argument), std::string::npos) << sent[0];
    }
    // A reset settles the routing after resetting the meter.
    bench_->journal().clear();
    EXPECT_EQ(CONF_DMM(++ref, "Conf", 0, 0, "", "RESET", 0), 0) << LastAlert();
    const auto order = bench_->journal().sequence();
    ASSERT_EQ(order.size(), 2u);
    EXPECT_NE(order[0].find("DMM_Reset"), std::string::npos);
    EXPECT_NE(order[1].find("ROUTE_Execute"), std::string::npos);
    EXPECT_EQ(lastResult().text, "DMM_A");
}

TEST_F(DmmSteps, TriggerStateLivesInTheMetersRecord) {
    EXPECT_EQ(CTRG_DMM(600, "Ctrg", 0, 0, "", "+IN:PXI3", 0), 0) << LastAlert();
    EXPECT_STREQ(Meter().state.triggerSource, "TTL3");
    EXPECT_NE(Sent("DMM_Conf_Trigger_Slope")[0].find("POSITIVE"), std::string::npos);

    EXPECT_EQ(CTRG_DMM(601, "Ctrg", 0, 0, "", "+OUT:XTO2", 1), 0) << LastAlert();
    EXPECT_EQ(CTRG_DMM(602, "Ctrg", 0, 0, "", "-OUT:PXI1", 1), 0) << LastAlert();
    EXPECT_EQ(Meter().state.triggerOutputMask, 0x202);
    EXPECT_EQ(CTRGX_DMM(603, "Ctrgx", 0, 0, "", "-GPT2:MU.+XTO1", 1e-3, 5, 1e-6, 1e-6), 0)
        << LastAlert();
    EXPECT_EQ(Meter().state.triggerOutputMask, 0x302);
    const auto signal = Sent("DMM_Conf_Trigger_Signal");
    ASSERT_EQ(signal.size(), 1u);
    for (const char* part : {"\"IT2\"", "\"ITO4\"", "\"NEGATIVE\"", "\"XTO1\"", "\"HIGH\""}) {
        EXPECT_NE(signal[0].find(part), std::string::npos) << part << " in " << signal[0];
    }
    // A negative pulse count switches the generator's output off without checking the rest.
    EXPECT_EQ(CTRGX_DMM(604, "Ctrgx", 0, 0, "", "-GPT2:MU.+XTO1", 0, -1, 0, 0), 0) << LastAlert();
    EXPECT_EQ(Meter().state.triggerOutputMask, 0x202);
    EXPECT_EQ(CTRG_DMM(605, "Ctrg", 0, 0, "", "-OUT:XTO2", 0), 0) << LastAlert();
    EXPECT_EQ(Meter().state.triggerOutputMask, 0x2);
    const auto enables = Sent("DMM_Enable_Trigger_Output");
    ASSERT_EQ(enables.size(), 5u);
    EXPECT_NE(enables.back().find("2"), std::string::npos);

    const struct {
        const char* action;
        const char* function;
    } actions[] = {{"ARM", "DMM_Initiate"},
                   {"SOFTWARE", "DMM_Send_Software_Trigger"},
                   {"GPT2", "DMM_Send_Software_Signal"},
                   {"ABORT", "DMM_Abort"}};
    long ref = 610;
    for (const auto& a : actions) {
        bench_->journal().clear();
        TRIG_DMM(++ref, "Trig", 0, 0, "", a.action);
        EXPECT_EQ(bench_->journal().count(a.function), 1u) << a.action;
    }
}

TEST_F(DmmSteps, UserRoutingOnABenchWithoutRoutingEndsTheStep) {
    // The routing commands the step composes itself are skipped on such a bench; a list the
    // program wrote is not: its call on the invalid handle fails the step.
    DeviceRecord& routing = BenchByIndex(0)->routing;
    const DeviceRecord kept = routing;
    routing.inUse = 0;
    routing.handle = -1;
    const struct {
        const char *pre, *post;
        long result;
    } cases[] = {{"", "", 0}, {"DMM_A!HI>RAIL", "", -2}, {"", "DMM_A!HI|RAIL", -2}};
    long ref = 400;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.pre) + "/" + c.post);
        EXPECT_EQ(
            MEAS_DMM(++ref, "Meas", 0x800, 0, "", c.pre, "VDC", "", 0, "", 0, nullptr, c.post),
            c.result)
            << LastAlert();
    }
    EXPECT_EQ(Sent("ROUTE_Execute").size(), 2u);
    routing = kept;
}

} // namespace
} // namespace kora
