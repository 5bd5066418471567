// The signal analyzer steps against the SIGANL journal and the virtual board: the range and
// offset rule, the calls of each step and keyword, the trigger-output mask kept in the device,
// failures reported as failed results, and the waits that end in virtual time.
#include "support/station.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace kora {
namespace {

using CallList = std::vector<std::string>;

class ScopeSteps : public test::StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        ASSERT_EQ(Setup(), 0) << LastAlert();
        Fresh();
    }
    void Fresh() {
        bench_->journal().clear();
        bench_->faults().reset();
        rvo().reset();
    }
    // The SIGANL calls since Fresh() without context and handle: "Function(args)".
    CallList Sent() const {
        CallList out;
        for (const auto& e : bench_->journal().entries()) {
            if (e.interface != "SIGANL") {
                continue;
            }
            std::string args = e.arguments;
            for (int skip = 0; skip < 2; ++skip) {
                const auto comma = args.find(", ");
                args = comma == std::string::npos ? "" : args.substr(comma + 2);
            }
            out.push_back(e.function.substr(7) + "(" + args + ")");
        }
        return out;
    }
    double Real(long stepRef, const char* name) const {
        const auto* a = rvo().attribute(stepRef, name);
        return a ? *static_cast<const double*>(a->address) : NAN;
    }
    long Acq(long ref, const char* devChanAttr, long count, double* samples,
             const char* comment = "", const char* pre = "", double measTime = 0.001) {
        return ACQ_SCOPE(ref, "Acq", 0x700, 0, comment, pre, devChanAttr, "-1", "0", "5", 0.0,
                         measTime, count, samples, "");
    }
};

TEST_F(ScopeSteps, RangeAndOffsetFollowTheLimits) {
    struct Case {
        const char* low;
        double nominal;
        const char* high;
        double measTime;
        double range, offset, sampleTime;
        long count;
    } cases[] = {
        {"-200", 0, "200", 1e-3, 125, 0, 1e-3 / 8192, 8192}, // 300 V capped, 20000 samples capped
        {"1", 2, "3", 1e-5, 2.4, 2, 5e-8, 200},
        {"1", 5, "3", 0, 4.8, 3, 5e-8, 1},             // the nominal value widens the span
        {"-130", -128, "-126", 0, 2.4, -127, 5e-8, 1}, // the nominal value below the clamp
    };
    long ref = 100;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.low) + " " + c.high);
        Fresh();
        ++ref;
        MEAS_SCOPE(ref, "Meas", 0x600, 0, "", "", "SCOPE_A12|CHB3:VDC", c.low, c.nominal, c.high,
                   c.measTime, nullptr, "");
        EXPECT_NEAR(Real(ref, "Range"), c.range, 1e-9);
        EXPECT_NEAR(Real(ref, "Offset"), c.offset, 1e-9);
        EXPECT_NEAR(Real(ref, "SampleTime"), c.sampleTime, 1e-15);
        const auto* count = rvo().attribute(ref, "SampleCount");
        ASSERT_NE(count, nullptr);
        EXPECT_EQ(*static_cast<const int32_t*>(count->address), c.count);
        const CallList sent = Sent();
        ASSERT_GE(sent.size(), 3u);
        EXPECT_EQ(sent[0], "ConfigureTrigger(\"B\", \"IMMEDIATE\", 0)");
        EXPECT_EQ(sent[2].substr(0, 24), "ConfigureChannel(\"CHB3\",");
    }
}

TEST_F(ScopeSteps, EachStepSendsItsCalls) {
    struct Case {
        const char* what;
        std::function<long()> run;
        CallList calls;
    } cases[] = {
        {"inputs of path A",
         [] { return CONF_SCOPE(201, "Conf", 0x100, 0, "", "SCOPE_A12|CHA:INPUT.1M_400HZ", 1); },
         {"ConfigureChannelCharacteristics(\"CHA1\", 1000000, 399)",
          "ConfigureDigitalFilter(\"CHA1\", 1)",
          "ConfigureChannelCharacteristics(\"CHA2\", 1000000, 399)",
          "ConfigureDigitalFilter(\"CHA2\", 1)",
          "ConfigureChannelCharacteristics(\"CHA3\", 1000000, 399)",
          "ConfigureDigitalFilter(\"CHA3\", 1)",
          "ConfigureChannelCharacteristics(\"CHA4\", 1000000, 399)",
          "ConfigureDigitalFilter(\"CHA4\", 1)"}},
        {"one input",
         [] { return CONF_SCOPE(202, "Conf", 0x100, 0, "", "CHB2:INPUT.10MOHM", 0); },
         {"ConfigureChannelCharacteristics(\"CHB2\", 10000000, 10000000)",
          "ConfigureDigitalFilter(\"CHB2\", 0)"}},
        {"ground relays of both paths",
         [] { return CONF_SCOPE(203, "Conf", 0x100, 0, "", "GROUNDED", 1); },
         {"ConfigureGroundRelay(\"A\", 1)", "ConfigureGroundRelay(\"B\", 1)"}},
        {"reset",
         [] { return CONF_SCOPE(204, "Conf", 0x100, 0, "", "RESET", 0); },
         {"Reset()", "ConfigureTrigger(\"A\", \"IMMEDIATE\", 0)",
          "ConfigureTrigger(\"B\", \"IMMEDIATE\", 0)"}},
        {"edge on a channel",
         [] { return CTRG_SCOPE(205, "Ctrg", 0x100, 0, "", "-INB:ATA3", 1.25); },
         {"ConfigureTrigger(\"B\", \"EDGE\", 1.25)",
          "ConfigureEdgeTriggerSource(\"B\", \"CHA3\", 1.25, \"NEGATIVE\")"}},
        {"external line on both paths",
         [] { return CTRG_SCOPE(206, "Ctrg", 0x100, 0, "", "+IN:XTI2", 3); },
         {"ConfigureTrigger(\"\", \"EDGE\", 0)",
          "ConfigureEdgeTriggerSource(\"\", \"VAL_XTI2\", 0, \"POSITIVE\")"}},
        {"software",
         [] { return CTRG_SCOPE(207, "Ctrg", 0x100, 0, "", "+INA:SOFTWARE", 0); },
         {"ConfigureTrigger(\"A\", \"SOFTWARE\", 0)"}},
        {"arm path B",
         [] { return TRIG_SCOPE(208, "Trig", 0x100, 0, "", "CHB:ARM"); },
         {"InitiateAcquisition(\"B\")"}},
        {"abort both",
         [] { return TRIG_SCOPE(209, "Trig", 0x100, 0, "", "ABORT"); },
         {"Abort(\"\")"}},
        {"record configured",
         [] {
             return ACQ_SCOPE(210, "Acq", 0x700, 0, "", "", "CHA4:VDC.CONFIG", "1", "2", "3",
                              0.5e-3, 1e-3, 100, nullptr, "");
         },
         {"ConfigureAcquisitionRecord(\"A\", 0.001, 100, 0.0005)",
          "ConfigureChannel(\"CHA4\", 2.4, 2, \"DC\", 1, 1)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh();
        EXPECT_EQ(c.run(), 0) << LastAlert();
        EXPECT_EQ(Sent(), c.calls);
        ASSERT_EQ(results().size(), 1u);
        EXPECT_NE(lastResult().verdict, rvo::Verdict::Fail);
    }
}

TEST_F(ScopeSteps, TriggerOutputMaskIsKeptAndSentWhole) {
    struct Case {
        const char* devChanAttr;
        double enable;
        const char* mask;
        const char* output;
    } cases[] = {
        {"+OUTA:PXI3.ATA1", 1, "0x8",
         "ConfigureTriggerOutput(\"VAL_TTL3\", \"VAL_OUT_SRC_ATA1\", "
         "\"HIGH\")"},
        {"-OUTB:XTO1.ITB", 1, "0x108",
         "ConfigureTriggerOutput(\"VAL_XTO1\", "
         "\"VAL_OUT_SRC_IT1_B\", \"LOW\")"},
        {"+OUTA:PXI3.XTI", 0.0005, "0x100",
         "ConfigureTriggerOutput(\"VAL_TTL3\", "
         "\"VAL_OUT_SRC_XTI\", \"HIGH\")"},
    };
    long ref = 300;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.devChanAttr);
        Fresh();
        EXPECT_EQ(CTRG_SCOPE(++ref, "Ctrg", 0x100, 0, "", c.devChanAttr, c.enable), 0);
        EXPECT_EQ(Sent(), (CallList{std::string("EnableTriggerOutput(") + c.mask + ")", c.output}));
    }
}

// Bad keywords are alerts; what fails once the analyzer was found is a failed result whose
// comment carries the message.
TEST_F(ScopeSteps, BadInputIsReported) {
    struct Case {
        const char* what;
        std::function<long()> run;
        const char* alertCode; // "" when reported as a result
        const char* comment;
    } cases[] = {
        {"grounding one channel",
         [] { return CONF_SCOPE(401, "Conf", 0x100, 0, "", "CHA2:GROUNDED", 1); }, "0x81000006",
         ""},
        {"unknown input mode",
         [] { return CONF_SCOPE(402, "Conf", 0x100, 0, "", "CHA:INPUT.2MOHM", 1); }, "0x81000006",
         ""},
        {"measuring a path",
         [] {
             return MEAS_SCOPE(403, "Meas", 0x600, 0, "", "", "CHA:VDC", "0", 1, "2", 0, nullptr,
                               "");
         },
         "0x81000006", ""},
        {"unknown acquisition mode",
         [] {
             return ACQ_SCOPE(404, "Acq", 0x700, 0, "", "", "CHA1:VDC.STORE", "0", "1", "2", 0, 0,
                              1, nullptr, "");
         },
         "0x81000007", ""},
        {"unknown trigger line",
         [] { return CTRG_SCOPE(405, "Ctrg", 0x100, 0, "", "+INC:ATA1", 1); }, "0x81000006", ""},
        {"unknown action", [] { return TRIG_SCOPE(406, "Trig", 0x100, 0, "", "CHA:FIRE"); },
         "0x81000006", ""},
        {"internal store overflow",
         [] {
             return ACQ_SCOPE(407, "Acq", 0x700, 0, "lot 7", "", "CHA1:VDC.READ", "0", "1", "2", 0,
                              0.001, 8193, nullptr, "");
         },
         "", "lot 7 | INTERNAL DATA STORAGE overflow: #Samples > 8192"},
        {"a path never armed", [] { return TRIG_SCOPE(408, "Trig", 0x100, 0, "", "CHA:WAITRDY"); },
         "", "UNKNOWN ACQUISITION STATUS PATH A"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh();
        EXPECT_EQ(c.run(), -2);
        if (c.alertCode[0]) {
            EXPECT_NE(LastAlert().find(c.alertCode), std::string::npos) << LastAlert();
        } else {
            EXPECT_TRUE(alerts().empty()) << LastAlert();
            ASSERT_FALSE(results().empty());
            EXPECT_EQ(lastResult().verdictArg, -2);
            EXPECT_EQ(lastResult().comment, c.comment);
        }
    }
    // The overflow stopped the path it was to read.
    Fresh();
    Acq(409, "CHA1:VDC.READ", 8193, nullptr);
    EXPECT_EQ(Sent().back(), "Abort(\"A\")");
}

// A path waiting for a trigger that never comes: every wait ends after its time-out on the bench
// clock.
TEST_F(ScopeSteps, WaitsEndInVirtualTime) {
    ASSERT_EQ(CTRG_SCOPE(501, "Ctrg", 0x100, 0, "", "+INA:XTI1", 0), 0);
    ASSERT_EQ(TRIG_SCOPE(502, "Trig", 0x100, 0, "", "CHA:ARM"), 0);
    struct Case {
        const char* what;
        std::function<long()> run;
        const char* comment;
        double seconds;
    } cases[] = {
        {"ready wait", [] { return TRIG_SCOPE(503, "Trig", 0x100, 0, "", "CHA:WAITRDY"); },
         "TIMEOUT WAITACQ", 1.0},
        {"fetch",
         [this] {
             std::vector<double> samples(100);
             return Acq(504, "CHA1:VDC.FETCH", 100, samples.data());
         },
         "TIMEOUT DATA FETCH", 5.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh();
        const double start = bench_->clock().seconds();
        EXPECT_EQ(c.run(), -2);
        EXPECT_EQ(lastResult().comment, c.comment);
        EXPECT_NEAR(bench_->clock().seconds() - start, c.seconds, 0.01);
    }
}

// Arm, software trigger, ready wait and fetch on the board: the generator's DC level at cin.
TEST_F(ScopeSteps, SoftwareTriggeredRecordIsFetched) {
    ASSERT_EQ(SET_FUNCGEN(601, "Set", 0x500, 0, "", "FGEN_A!CH1>MATRIX_A7!P26,FGEN_A!CH1_LO>GND",
                          "FGEN_A|CH1:VDC.OFF_ON", 1.5, 0, 0, 0, 0, ""),
              0)
        << LastAlert();
    std::vector<double> samples(500);
    ASSERT_EQ(ACQ_SCOPE(602, "Acq", 0x700, 0, "", "SCOPE_A12!CHA2>MATRIX_A7!P26", "CHA2:VDC.CONFIG",
                        "1.4", "1.5", "1.6", 0, 0.002, 500, nullptr, ""),
              0);
    ASSERT_EQ(CTRG_SCOPE(603, "Ctrg", 0x100, 0, "", "+INA:SOFTWARE", 0), 0);
    ASSERT_EQ(TRIG_SCOPE(604, "Trig", 0x100, 0, "", "CHA:ARM"), 0);
    ASSERT_EQ(TRIG_SCOPE(605, "Trig", 0x100, 0, "", "CHA:SOFTWARE"), 0);
    Fresh();
    EXPECT_EQ(TRIG_SCOPE(606, "Trig", 0x100, 0, "", "CHA:WAITRDY"), 0) << lastResult().comment;
    EXPECT_EQ(bench_->journal().count("rspam_AcquisitionStatusPath"), 3u); // in progress twice
    EXPECT_EQ(ACQ_SCOPE(607, "Acq", 0x700, 0, "", "", "CHA2:VDC.FETCH", "1.4", "1.5", "1.6", 0,
                        0.002, 500, samples.data(), ""),
              0);
    EXPECT_NEAR(lastResult().value, 1.5, 0.01); // the stage's input loads the generator
    EXPECT_EQ(lastResult().verdict, rvo::Verdict::Pass);
    EXPECT_NEAR(samples.back(), lastResult().value, 1e-9);
}

} // namespace
} // namespace kora
