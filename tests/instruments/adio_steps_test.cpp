// The analog and digital I/O steps against the rspio2 journal and the module's model: selections,
// every CONF_ADIO keyword's calls, the masks of SET_ADIO and GET_ADIO, input thresholds at their
// edges, the timing MEAS_ADIO and ACQ_ADIO derive, the STIM_ADIO checks in their order, a failing
// pattern load, and readings of the powered example board against ngspice.
#include "instruments/adio_common.h"
#include "support/station.h"
#include "vbench/ngspice_runner.h"
#include <vbench/circuit/elements.h>
#include <vbench/modules/pio2.h>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace kora {
namespace {

TEST(AdioSelection, TextsGiveGroupAndChannelMasks) {
    struct Case {
        const char* text;
        bool ok;
        int32_t groups, channels;
    } cases[] = {
        {"CH1", true, 0, 0x0001},     {"CH16", true, 0, 0x8000},  {"CHA", true, 0x1, 0x000F},
        {"CHB", true, 0x2, 0x00F0},   {"CHD", true, 0x8, 0xF000}, {"", true, 0xF, 0xFFFF},
        {nullptr, true, 0xF, 0xFFFF}, {"CH17", false, 0, 0},      {"ch1", false, 0, 0},
        {"GRP_A", false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "<null>");
        adio::Selection s{-1, -1};
        ASSERT_EQ(adio::SelectionOf(c.text, &s), c.ok);
        if (c.ok) {
            EXPECT_EQ(s.groupMask, c.groups);
            EXPECT_EQ(s.channelMask, c.channels);
        }
    }
}

TEST(AdioTiming, MeasAndAcqDeriveCountTimeAndTimeout) {
    struct MeasCase {
        double measTime;
        int32_t count;
        double sampleTime, acqTime;
        int32_t timeoutMs;
    } meas[] = {
        {2.0, 5000, 0.0004, 2.0, 2100}, {0.01, 50, 0.0002, 0.01, 110},  {0, 1, 0.0002, 0.0002, 100},
        {NAN, 1, 0.0002, 0.0002, 100},  {1.0, 5000, 0.0002, 1.0, 1100},
    };
    for (const MeasCase& c : meas) {
        SCOPED_TRACE(c.measTime);
        const adio::Timing t = adio::MeasTiming(c.measTime);
        EXPECT_EQ(t.sampleCount, c.count);
        EXPECT_DOUBLE_EQ(t.sampleTime, c.sampleTime);
        EXPECT_DOUBLE_EQ(t.acqTime, c.acqTime);
        EXPECT_EQ(adio::MeasTimeoutMs(t), c.timeoutMs);
    }
    struct AcqCase {
        double measTime;
        long sampleCount;
        int32_t acqCount;
        double sampleTime, acqTime;
    } acq[] = {
        {0.1, 100, 100, 0.001, 0.1},
        {0, 100, 100, 0.0002, 0.02},
        {0.1, 1, 1, 0.0002, 0.0002},
        {0.1, 0, 1, 0.0002, 0.0002},
    };
    for (const AcqCase& c : acq) {
        SCOPED_TRACE(c.sampleCount);
        int32_t count = -1;
        const adio::Timing t = adio::AcqTiming(c.measTime, c.sampleCount, &count);
        EXPECT_EQ(count, c.acqCount);
        EXPECT_DOUBLE_EQ(t.sampleTime, c.sampleTime);
        EXPECT_DOUBLE_EQ(t.acqTime, c.acqTime);
    }
}

class AdioSteps : public test::StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        ASSERT_EQ(Setup(), 0) << LastAlert();
        Fresh();
    }
    void Fresh() {
        bench_->journal().clear();
        bench_->faults().reset();
    }
    // The rspio2 calls since Fresh(), without the session: "Function(args)".
    std::vector<std::string> Calls() const {
        std::vector<std::string> out;
        for (const auto& e : bench_->journal().entries()) {
            if (e.interface != "rspio2" || e.function == "rspio2_error_message") {
                continue;
            }
            const auto comma = e.arguments.find(", ");
            out.push_back(e.function.substr(7) + "(" +
                          (comma == std::string::npos ? "" : e.arguments.substr(comma + 2)) + ")");
        }
        return out;
    }
    long Conf(const char* devChanAttr, double value) {
        return CONF_ADIO(++ref_, "Conf", 0x100, 0, "", devChanAttr, value);
    }
    long SetOut(const char* devChanAttr, long state) {
        return SET_ADIO(++ref_, "Set", 0x100, 0, "", devChanAttr, state);
    }
    long Get(long* state, long mask = 0, long value = 0) {
        return GET_ADIO(++ref_, "Get", 0x100, 0, "", "PIO2_A5|DIN", state, mask, value);
    }
    long Stim(const char* devChanAttr, const char* file, double stimTime, void* data, long count,
              long* loaded) {
        return STIM_ADIO(++ref_, "Stim", 0x100, 0, "", devChanAttr, file, stimTime, data, count,
                         loaded);
    }
    long Acq(const char* devChanAttr, double delay, double measTime, long count, void* samples,
             const char* low = "", const char* high = "") {
        return ACQ_ADIO(++ref_, "Acq", 0x100, 0, "", "", devChanAttr, low, "", high, delay,
                        measTime, count, samples, "");
    }
    double Written(const char* attribute) const {
        const auto* a = rvo().attribute(ref_, attribute);
        return a ? *static_cast<const int32_t*>(a->address) : -1;
    }
    long ref_ = 500;
};

TEST_F(AdioSteps, ConfigureSendsEachKeywordsCalls) {
    using V = std::vector<std::string>;
    const std::string debounce = "WaitForDebounce(500)";
    struct Case {
        const char* devChanAttr;
        double value;
        V calls;
        long unit;
        double shown; // NAN: a text result
    } cases[] = {
        {"PIO2_A5|CH3:OUTPUT.OUT", 1, {"ConfigureOutputMux(\"CH3\", 1)", debounce}, 0, 1},
        {"PIO2_A5|CH3:OUTPUT.OUT", 0, {"ConfigureOutputMux(\"CH3\", 0)", debounce}, 0, 0},
        {"PIO2_A5|CHA:OUTPUT.AIN",
         1,
         {"ConfigureOutputMux(\"CH1\", 2)", "ConfigureOutputMux(\"CH2\", 2)",
          "ConfigureOutputMux(\"CH3\", 2)", "ConfigureOutputMux(\"CH4\", 2)", debounce},
         0,
         1},
        {"PIO2_A5|GROUNDED", 1, {"ConfigureGround(1)", debounce}, 0, 1},
        {"PIO2_A5|CH2:ANALOG", 0, {"ConfigureChannelMode(\"CH2\", 0)"}, 0, NAN},
        {"PIO2_A5|CH2:ANALOG.VOH",
         3.3,
         {"GetAttributeViReal64(\"CH2\", 0x118c51, &)", "ConfigureChannelLevels(\"CH2\", 3.3, 0)"},
         5,
         3.3},
        {"PIO2_A5|CH4:ANALOG.ILIM", 0.05, {"ConfigureChannelCurrentLimit(\"CH4\", 0.05)"}, 9, 0.05},
        {"PIO2_A5|CHB:DIGITAL",
         0,
         {"ConfigureChannelMode(\"CH5\", 2)", "ConfigureChannelMode(\"CH6\", 2)",
          "ConfigureChannelMode(\"CH7\", 2)", "ConfigureChannelMode(\"CH8\", 2)"},
         0,
         NAN},
        {"PIO2_A5|CHA:DIGITAL.VIH",
         2.5,
         {"GetAttributeViReal64(\"GRP_A\", 0x118c54, &)",
          "GetAttributeViReal64(\"GRP_A\", 0x118c56, &)", "ConfigureGroup(\"GRP_A\", 0, 2.5, 0.8)"},
         5,
         2.5},
        {"PIO2_A5|CHC:PWM.FREQ",
         500,
         {"GetAttributeViReal64(\"GRP_C\", 0x118c58, &)", "ConfigureSquareWave(\"GRP_C\", 500, 50)",
          "GetAttributeViReal64(\"GRP_C\", 0x118c57, &)"},
         17,
         500},
        {"PIO2_A5|CH9:PWM.VOL",
         0.5,
         {"GetAttributeViReal64(\"CH9\", 0x118c52, &)", "ConfigureChannelLevels(\"CH9\", 5, 0.5)"},
         5,
         0.5},
        {"PIO2_A5|CH7:PATTERN", 0, {"ConfigureChannelMode(\"CH7\", 3)"}, 0, NAN},
        {"PIO2_A5|CH6:WAVEFORM", 0, {"ConfigureChannelMode(\"CH6\", 1)"}, 0, NAN},
        {"PIO2_A5|SENSING",
         1,
         {"ConfigureRemoteSensing(\"CH4\", 1)", "ConfigureRemoteSensing(\"CH8\", 1)",
          "ConfigureRemoteSensing(\"CH12\", 1)", "ConfigureRemoteSensing(\"CH16\", 1)", debounce},
         0,
         1},
        {"PIO2_A5|RESET", 0, {"reset()"}, 0, NAN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.devChanAttr);
        Fresh();
        ASSERT_EQ(Conf(c.devChanAttr, c.value), 0) << LastAlert();
        EXPECT_EQ(Calls(), c.calls);
        const rvo::Result r = lastResult();
        if (std::isnan(c.shown)) {
            EXPECT_EQ(r.kind, rvo::ResultKind::Text);
        } else {
            EXPECT_EQ(r.unit, c.unit);
            EXPECT_DOUBLE_EQ(r.kind == rvo::ResultKind::Real ? r.value : r.valueInt, c.shown);
        }
    }
    // Combinations the step refuses before anything is sent.
    for (const char* bad :
         {"PIO2_A5|CH3:ANALOG.ILIM", "PIO2_A5|ANALOG.ILIM", "PIO2_A5|CH4:DIGITAL.VIH",
          "PIO2_A5|CHA:WAVEFORM", "PIO2_A5|CH3:SENSING", "PIO2_A5|CH1:OUTPUT",
          "PIO2_A5|CH17:ANALOG", "PIO2_A5|ANALOG.VOL", "PIO2_A5|BLINK"}) {
        SCOPED_TRACE(bad);
        Fresh();
        EXPECT_EQ(Conf(bad, 1), -2);
        EXPECT_NE(LastAlert().find("0x81000006"), std::string::npos) << LastAlert();
        EXPECT_NE(LastAlert().find(bad), std::string::npos) << LastAlert();
        EXPECT_TRUE(Calls().empty());
    }
}

TEST_F(AdioSteps, SetAndGetWorkUnderTheirMasks) {
    ASSERT_EQ(SetOut("PIO2_A5|CHB:DOUT", 0x1234), 0) << LastAlert();
    EXPECT_EQ(Calls(), std::vector<std::string>{"SetDigitalOutputState(0xf0, 0x1234)"});
    EXPECT_EQ(Written("BitMask"), 0x00F0);
    EXPECT_EQ(Written("BitValues"), 0x0030);
    Fresh();
    ASSERT_EQ(SetOut("PIO2_A5|CHD:PWM", 0xF), 0) << LastAlert();
    EXPECT_EQ(Calls(), std::vector<std::string>{"SquareWaveEnabled(0x8, 0xf)"});
    EXPECT_EQ(Written("BitValues"), 0x8);
    EXPECT_EQ(SetOut("PIO2_A5|CH1:PWM", 1), -2) << "PWM switches groups";
    EXPECT_EQ(SetOut("PIO2_A5|CH1:BLINK", 1), -2);

    // Every channel drives its own terminal and reads it back.
    ASSERT_EQ(Conf("PIO2_A5|OUTPUT.OUT", 1), 0) << LastAlert();
    ASSERT_EQ(SetOut("PIO2_A5|DOUT", 0xAB12), 0) << LastAlert();
    long state = 0;
    EXPECT_EQ(Get(&state, 0x00FF, 0x12), 0) << LastAlert();
    EXPECT_EQ(state, 0xAB12);
    EXPECT_EQ(lastResult().valueInt, 0x12);
    EXPECT_EQ(lastResult().highInt, 0x12);
    EXPECT_EQ(lastResult().verdict, rvo::Verdict::Pass);
    EXPECT_EQ(Get(&state, 0x0F00, 0x0C00), -1);
    EXPECT_EQ(lastResult().valueInt, 0x0B00);
}

// An input reads 1 at or above the group's input high level, 0 at or below its input low level
// and keeps its last value in between (a millivolt either side: the output relay and the open
// routing relay leave the terminal a hair below the level).
TEST_F(AdioSteps, InputThresholdsDecideAtTheirEdges) {
    ASSERT_EQ(Conf("PIO2_A5|CH1:ANALOG", 0), 0);
    ASSERT_EQ(Conf("PIO2_A5|CH1:OUTPUT.OUT", 1), 0);
    ASSERT_EQ(Conf("PIO2_A5|CHA:DIGITAL.VIH", 2.0), 0);
    ASSERT_EQ(Conf("PIO2_A5|CHA:DIGITAL.VIL", 0.8), 0);
    struct Step {
        double volts;
        long bit;
    } steps[] = {{2.001, 1}, {1.999, 1}, {0.801, 1}, {0.799, 0}, {1.999, 0}, {2.001, 1}, {-1, 0}};
    for (const Step& s : steps) {
        SCOPED_TRACE(s.volts);
        ASSERT_EQ(Conf("PIO2_A5|CH1:ANALOG.VOH", s.volts), 0) << LastAlert();
        long state = -1;
        ASSERT_EQ(Get(&state), 0);
        EXPECT_EQ(state & 1, s.bit);
    }
}

TEST_F(AdioSteps, TriggersMapToTheirCodesAndMasks) {
    struct Case {
        const char* devChanAttr;
        double enable;
        std::string call;
    } cases[] = {
        {"PIO2_A5|+IN:IMMEDIATE", 0, "ConfigureTriggerSource(0)"},
        {"PIO2_A5|+IN:XTI", 0, "ConfigureTriggerSource(1)"},
        {"PIO2_A5|+IN:SOFTWARE", 0, "ConfigureTriggerSource(2)"},
        {"PIO2_A5|+IN:PXI7", 0, "ConfigureTriggerSource(10)"},
        {"PIO2_A5|+OUT:PXI3.SEQSTART", 1, "ConfigureTriggerOutput(0x8, 1, 0x8, 0x8)"},
        {"PIO2_A5|-OUT:XTO.SCLK", 1, "ConfigureTriggerOutput(0x100, 2, 0x0, 0x100)"},
        {"PIO2_A5|+OUT:PXI0.GPT", 0.001, "ConfigureTriggerOutput(0x1, 0, 0x1, 0x0)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.devChanAttr);
        Fresh();
        ASSERT_EQ(CTRG_ADIO(++ref_, "Ctrg", 0x100, 0, "", c.devChanAttr, c.enable), 0)
            << LastAlert();
        EXPECT_EQ(Calls(), std::vector<std::string>{c.call});
    }
    for (const char* bad :
         {"PIO2_A5|IN:XTI", "PIO2_A5|+IN:XTO", "PIO2_A5|+OUT:PXI8.GPT", "PIO2_A5|+OUT:PXI1"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(CTRG_ADIO(++ref_, "Ctrg", 0x100, 0, "", bad, 1), -2);
        EXPECT_NE(LastAlert().find("0x81000006"), std::string::npos) << LastAlert();
    }

    // On a software trigger an armed acquisition waits for TRIG_ADIO SOFTWARE; until then a fetch
    // times out with the driver's text.
    auto trig = [&](const char* action) { return TRIG_ADIO(++ref_, "Trig", 0x100, 0, "", action); };
    double samples[4] = {};
    ASSERT_EQ(CTRG_ADIO(++ref_, "Ctrg", 0x100, 0, "", "PIO2_A5|+IN:SOFTWARE", 0), 0);
    ASSERT_EQ(Acq("PIO2_A5|CH1:VDC.CONFIG", 0, 0.004, 4, samples), 0) << LastAlert();
    ASSERT_EQ(trig("PIO2_A5|ARM"), 0);
    const double armed = bench_->clock().seconds();
    EXPECT_EQ(Acq("PIO2_A5|CH1:VDC.FETCH", 0, 0.004, 4, samples), -2);
    EXPECT_NE(LastAlert().find("Maximum time exceeded"), std::string::npos) << LastAlert();
    EXPECT_NEAR(bench_->clock().seconds() - armed, 0.104, 1e-9) << "the whole time-out";
    ASSERT_EQ(trig("PIO2_A5|ARM"), 0);
    ASSERT_EQ(trig("PIO2_A5|SOFTWARE"), 0);
    const double started = bench_->clock().seconds();
    ASSERT_EQ(Acq("PIO2_A5|CH1:VDC.FETCH", 0, 0.004, 4, samples), 0) << LastAlert();
    EXPECT_NEAR(bench_->clock().seconds() - started, 0.003, 1e-9) << "four samples 1 ms apart";
    ASSERT_EQ(trig("PIO2_A5|STOP"), 0);
    EXPECT_EQ(trig("PIO2_A5|PAUSE"), -2);

    Fresh();
    ASSERT_EQ(CORR_ADIO(++ref_, "Corr", 0x100, 0, "", "PIO2_A5|FAST"), 0);
    ASSERT_EQ(CORR_ADIO(++ref_, "Corr", 0x100, 0, "", "PIO2_A5|PRECISION"), 0);
    EXPECT_EQ(Calls(),
              (std::vector<std::string>{"PerformFastAutoCorrection()", "PerformAutoCorrection()"}));
    EXPECT_EQ(CORR_ADIO(++ref_, "Corr", 0x100, 0, "", "PIO2_A5|SLOW"), -2);
    EXPECT_NE(LastAlert().find("CORR_ADIO"), std::string::npos) << LastAlert();
}

// What the driver refuses reaches the operator with the driver's code and text.
TEST_F(AdioSteps, DriverRefusalsCarryTheDriversText) {
    struct Case {
        const char* devChanAttr;
        double value;
        const char* code;
        const char* text;
    } cases[] = {
        {"PIO2_A5|CH2:ANALOG.VOH", 30, "0xBFFA4012", "Parameter value out of range"},
        {"PIO2_A5|CH8:ANALOG.ILIM", 0.5, "0xBFFA4012", "Parameter value out of range"},
        {"PIO2_A5|CHA:DIGITAL.VIL", 2.5, "0xBFFA4012", "Parameter value out of range"},
        {"PIO2_A5|CHB:PWM.FREQ", 1e6, "0xBFFA4012", "Parameter value out of range"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.devChanAttr);
        EXPECT_EQ(Conf(c.devChanAttr, c.value), -2);
        EXPECT_NE(LastAlert().find(c.code), std::string::npos) << LastAlert();
        EXPECT_NE(LastAlert().find(c.text), std::string::npos) << LastAlert();
    }
}

// CH4 into 50 ohm: its output relay takes 0.15 ohm of the level until remote sensing makes up
// for it; the current limit holds the load at limit x 50 ohm.
TEST_F(AdioSteps, PowerChannelSensesAndLimits) {
    vbench::Pio2Of(*bench_, "PIO2_A5");
    {
        std::lock_guard lock(bench_->mutex());
        bench_->beforeChange();
        auto& c = bench_->circuit();
        c.add<vbench::Resistor>("rload", c.node("pio2_a5!ch4"), vbench::kGround, 50.0);
    }
    auto meas = [&] {
        double v = NAN;
        EXPECT_EQ(MEAS_ADIO(++ref_, "Meas", 0x100, 0, "", "", "PIO2_A5|CH4:VDC", "", NAN, "", 0.01,
                            &v, ""),
                  0)
            << LastAlert();
        return v;
    };
    ASSERT_EQ(Conf("PIO2_A5|CH4:ANALOG", 0), 0);
    ASSERT_EQ(Conf("PIO2_A5|CH4:ANALOG.ILIM", 0.2), 0);
    ASSERT_EQ(Conf("PIO2_A5|CH4:ANALOG.VOH", 3.0), 0);
    ASSERT_EQ(Conf("PIO2_A5|CH4:OUTPUT.OUT", 1), 0);
    struct Step {
        const char* devChanAttr;
        double value, volts;
    } steps[] = {
        {"PIO2_A5|CH4:SENSING", 0, 3.0 * 50 / 50.15},
        {"PIO2_A5|CH4:SENSING", 1, 3.0},
        {"PIO2_A5|CH4:ANALOG.ILIM", 0.02, 0.02 * 50},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.volts);
        ASSERT_EQ(Conf(s.devChanAttr, s.value), 0) << LastAlert();
        EXPECT_NEAR(meas(), s.volts, 5e-4);
    }
}

TEST_F(AdioSteps, MeasureSendsItsTiming) {
    double value = NAN;
    ASSERT_EQ(MEAS_ADIO(++ref_, "Meas", 0x100, 0, "", "", "PIO2_A5|CH1-CH9:VDC", "-3", 0, "3", 2.0,
                        &value, ""),
              0)
        << LastAlert();
    EXPECT_EQ(Calls(), (std::vector<std::string>{"ConfigureSampling(5000, 0.0004)",
                                                 "ConfigureAnalogMeasurement(\"CH1-CH9\", 3)",
                                                 "Initiate()", "FetchAverage(2100, &)"}));
    EXPECT_EQ(Written("SampleCount"), 5000);
    EXPECT_EQ(lastResult().unit, 5);
    EXPECT_EQ(MEAS_ADIO(++ref_, "Meas", 0x100, 0, "", "", "PIO2_A5|CH1-CH10:VDC", "", 0, "", 0,
                        &value, ""),
              -2);
    EXPECT_NE(LastAlert().find("0x81000007"), std::string::npos) << LastAlert();
}

// A square wave of 25 % duty between 0 and 4 V, sampled over whole periods, averages 1 V.
TEST_F(AdioSteps, SquareWaveRunsInVirtualTime) {
    ASSERT_EQ(Conf("PIO2_A5|CH9:PWM", 0), 0);
    ASSERT_EQ(Conf("PIO2_A5|CH9:ANALOG.VOH", 4.0), 0);
    ASSERT_EQ(Conf("PIO2_A5|CHC:PWM.FREQ", 250), 0);
    ASSERT_EQ(Conf("PIO2_A5|CHC:PWM.DUTY", 25), 0);
    EXPECT_DOUBLE_EQ(lastResult().value, 25);
    ASSERT_EQ(Conf("PIO2_A5|CH9:OUTPUT.OUT", 1), 0);
    ASSERT_EQ(SetOut("PIO2_A5|CHC:PWM", 0x4), 0);
    double samples[200];
    ASSERT_EQ(Acq("PIO2_A5|CH9:VDC.READ", 0, 0.04, 200, samples, "0.99", "1.01"), 0) << LastAlert();
    EXPECT_NEAR(lastResult().value, 1.0, 0.01);
    ASSERT_EQ(SetOut("PIO2_A5|CHC:PWM", 0), 0);
    ASSERT_EQ(Acq("PIO2_A5|CH9:VDC.READ", 0, 0.04, 200, samples, "-0.01", "0.01"), 0)
        << "off: the low level";
}

TEST_F(AdioSteps, AcquisitionRefusesItsLimits) {
    double samples[16];
    struct Case {
        const char* devChanAttr;
        double delay, measTime;
        long count;
        const char* code;
        const char* message;
    } cases[] = {
        {"PIO2_A5|CH1:VDC.READ", 0, 0, 5001, "0x8100000B", "SampleScount > 5000"},
        {"PIO2_A5|CH1:VDC.READ", 0, 0.001, 10, "0x8100000A",
         "SampleTime=MeasTime//SampleCount out of range [0.2...1000 ms]"},
        {"PIO2_A5|CH1:VDC.READ", 0.1, 0, 10, "0x8100000B", "Measurement delay out of range (0)"},
        {"PIO2_A5|VDC.READ", 0, 0, 10, "0x81000007", "PIO2_A5|VDC.READ"},
        {"PIO2_A5|CH1:PATTERN.READ", 0, 0, 10, "0x81000007", "PIO2_A5|CH1:PATTERN.READ"},
        {"PIO2_A5|CH1:VDC.LATER", 0, 0, 10, "0x81000007", "PIO2_A5|CH1:VDC.LATER"},
        {"PIO2_A5|CH1:VAC.READ", 0, 0, 10, "0x81000006", "PIO2_A5|CH1:VAC.READ"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        Fresh();
        EXPECT_EQ(Acq(c.devChanAttr, c.delay, c.measTime, c.count, samples), -2);
        EXPECT_NE(LastAlert().find(c.code), std::string::npos) << LastAlert();
        EXPECT_NE(LastAlert().find(c.message), std::string::npos) << LastAlert();
        EXPECT_TRUE(Calls().empty());
    }
}

TEST_F(AdioSteps, StimulusChecksComeInTheirOrder) {
    double wave[3] = {0, 1, 2};
    struct Case {
        const char* file;
        bool data;
        long count;
        double stimTime;
        const char* code;
        const char* message;
        long loaded;
    } cases[] = {
        {"wave.txt", false, 1, 0.001, "0x81000007", "Loading from file not supported", 0},
        {"", false, 1, 0.001, "0x81000008", "Invalid data pointer (NULL)", 0},
        {"", true, 1, 0.001, "0x81000009", "Sample count out of range (2..5000)", 0},
        {"", true, 5001, 0.001, "0x81000009", "Sample count out of range (2..5000)", 0},
        {"", true, 2, 0.0001, "0x81000009", "SampleTime out of range (<200e-6)", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        long loaded = 99;
        EXPECT_EQ(
            Stim("PIO2_A5|WAVEFORM", c.file, c.stimTime, c.data ? wave : nullptr, c.count, &loaded),
            -2);
        EXPECT_NE(LastAlert().find(c.code), std::string::npos) << LastAlert();
        EXPECT_NE(LastAlert().find(c.message), std::string::npos) << LastAlert();
        EXPECT_EQ(loaded, c.loaded);
    }
    Fresh();
    long loaded = 0;
    ASSERT_EQ(Stim("PIO2_A5|WAVEFORM", "", 0.001, wave, 3, &loaded), 0) << LastAlert();
    EXPECT_EQ(Calls(), (std::vector<std::string>{"SetAnalogWaveformMemory(3, &)",
                                                 "ConfigureSampling(3, 0.0005)", "Initiate()"}));
    Fresh();
    ASSERT_EQ(Stim("PIO2_A5|WAVEFORM.LOAD", "", 0.001, wave, 3, &loaded), 0) << LastAlert();
    EXPECT_EQ(Calls().back(), "ConfigureSampling(3, 0.0005)");
}

TEST_F(AdioSteps, FailedPatternLoadReportsTheDriverAndStartsNothing) {
    long words[4] = {0x10001, 0, 1, 0};
    bench_->faults().add(
        {"rspio2_SetDigitalDynamicMemory", 1, false, -1074118400, "pattern memory parity error"});
    long loaded = 7;
    EXPECT_EQ(Stim("PIO2_A5|PATTERN", "", 0.003, words, 4, &loaded), -2);
    EXPECT_NE(LastAlert().find("0xBFFA4100"), std::string::npos) << LastAlert();
    EXPECT_NE(LastAlert().find("pattern memory parity error"), std::string::npos) << LastAlert();
    EXPECT_EQ(loaded, 0);
    const auto calls = Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), "SetDigitalDynamicMemory(4, &)");
    EXPECT_EQ(bench_->journal().count("rspio2_Initiate"), 0u);
}

} // namespace
} // namespace kora
