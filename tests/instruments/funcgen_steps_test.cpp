// The function generator steps against the FUNCGEN journal: the call sequence of each step and
// keyword, the arbitrary waveform cache over repeated executions, the marker windows, and the
// codes and texts of bad input.
#include "support/station.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace kora {
namespace {

using CallList = std::vector<std::string>;

class FuncgenSteps : public test::StationTest {
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
    // The FUNCGEN calls since Fresh() without context and handle: "Function(args)".
    CallList Sent() const {
        CallList out;
        for (const auto& e : bench_->journal().entries()) {
            if (e.interface != "FUNCGEN") {
                continue;
            }
            std::string args = e.arguments;
            for (int skip = 0; skip < 2; ++skip) {
                const auto comma = args.find(", ");
                args = comma == std::string::npos ? "" : args.substr(comma + 2);
            }
            out.push_back(e.function.substr(8) + "(" + args + ")");
        }
        return out;
    }
    std::string ReportedCode() const {
        const std::string alert = LastAlert();
        const auto at = alert.find("(0x");
        return at == std::string::npos ? "" : alert.substr(at + 1, alert.find(')', at) - at - 1);
    }
    long Stim(long ref, const char* devChanAttr, long count, double* samples, double gain,
              double offset, long markerIndex = 0, long markerLength = 0, long* handle = nullptr) {
        return STIM_FUNCGEN(ref, "Stim", 0x600, 0, "", devChanAttr, count, samples, gain, offset,
                            0.001, 0, markerIndex, markerLength, handle);
    }
};

TEST_F(FuncgenSteps, SetSendsEachWaveformInItsOrder) {
    struct Case {
        const char* devChanAttr;
        double dc, pp, frequency, phaseDuty;
        long cycles;
        CallList calls;
        bool realResult; // VDC records its level, the others the channel
    } cases[] = {
        {"FGEN_A|CH1:VDC.PRE_OFF",
         2.5,
         9,
         9,
         9,
         0,
         {"ConfigureOutputEnabled(\"CH1\", 0)", "ConfigureOperationMode(\"CH1\", \"CONTINUOUS\")",
          "ConfigureOutputMode(\"CH1\", \"FUNCTION\")",
          "ConfigureStandardWaveform(\"CH1\", \"DC\", 0, 2.5, 0, 0, 0)"},
         true},
        {"FGEN_A|CH2:SINE",
         0,
         2,
         1000,
         90,
         3,
         {"ConfigureOperationMode(\"CH2\", \"BURST\")", "ConfigureBurstCount(\"CH2\", 3)",
          "ConfigureOutputMode(\"CH2\", \"FUNCTION\")",
          "ConfigureStandardWaveform(\"CH2\", \"SINE\", 2, 0, 1000, 90, 50)",
          "ConfigureOutputEnabled(\"CH2\", 1)"},
         false},
        {"FGEN_A|CH1:SQUARE.OFF_ON",
         1,
         2,
         500,
         25,
         0,
         {"ConfigureOutputEnabled(\"CH1\", 0)", "ConfigureOperationMode(\"CH1\", \"CONTINUOUS\")",
          "ConfigureOutputMode(\"CH1\", \"FUNCTION\")",
          "ConfigureStandardWaveform(\"CH1\", \"SQUARE\", 2, 1, 500, 0, 25)",
          "ConfigureOutputEnabled(\"CH1\", 1)"},
         false},
        {"CH1:RAMP_DOWN.POST_ON",
         0,
         4,
         50,
         0,
         0,
         {"ConfigureOperationMode(\"CH1\", \"CONTINUOUS\")",
          "ConfigureOutputMode(\"CH1\", \"FUNCTION\")",
          "ConfigureStandardWaveform(\"CH1\", \"RAMP_DOWN\", 4, 0, 50, 0, 50)",
          "ConfigureOutputEnabled(\"CH1\", 1)"},
         false},
    };
    long ref = 100;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.devChanAttr);
        Fresh();
        rvo().reset();
        EXPECT_EQ(SET_FUNCGEN(++ref, "Set", 0x500, 0, "", "", c.devChanAttr, c.dc, c.pp,
                              c.frequency, c.phaseDuty, c.cycles, ""),
                  0)
            << LastAlert();
        EXPECT_EQ(Sent(), c.calls);
        const auto results = this->results();
        ASSERT_EQ(results.size(), 1u); // one result per execution, VDC included
        EXPECT_EQ(results[0].channel, c.devChanAttr);
        if (c.realResult) {
            EXPECT_EQ(results[0].unit, 5);
            EXPECT_EQ(results[0].value, c.dc);
        } else {
            const std::string d = c.devChanAttr;
            const auto bar = d.find('|');
            EXPECT_EQ(results[0].text, d.substr(bar == std::string::npos ? 0 : bar + 1, 3));
        }
    }
}

// Each row is one more execution of the same STIM_FUNCGEN step.
TEST_F(FuncgenSteps, StimCachesItsWaveformBetweenExecutions) {
    std::vector<double> a = {0, 0.5, 1, 0.5}, b = {0, -0.5, -1};
    struct Run {
        const char* what;
        double* samples;
        long count;
        double gain, offset;
        long markerLength;
        CallList calls; // after the leading operation and output mode calls
        long handle;
    } runs[] = {
        {"first",
         a.data(),
         4,
         2,
         0,
         2,
         {"CreateArbWaveform(4, &, &)", "ConfigureArbMarker(\"CH1\", 1, &)",
          "ConfigureArbWaveform(\"CH1\", 1, 2, 0)"},
         1},
        {"same array and settings", a.data(), 4, 2, 0, 2, {}, 1},
        {"new gain", a.data(), 4, 3, 0, 2, {"ConfigureArbWaveform(\"CH1\", 1, 3, 0)"}, 1},
        {"new marker window", a.data(), 4, 3, 0, -1, {"ConfigureArbMarker(\"CH1\", 1, &)"}, 1},
        {"array refilled in place",
         a.data(),
         4,
         3,
         0,
         -1,
         {"ClearArbWaveform(1)", "CreateArbWaveform(4, &, &)", "ConfigureArbMarker(\"CH1\", 2, &)",
          "ConfigureArbWaveform(\"CH1\", 2, 3, 0)"},
         2},
        {"another array",
         b.data(),
         3,
         3,
         0,
         0,
         {"ClearArbWaveform(2)", "CreateArbWaveform(3, &, &)",
          "ConfigureArbWaveform(\"CH1\", 3, 3, 0)"},
         3},
    };
    long handle = 0;
    for (const Run& r : runs) {
        SCOPED_TRACE(r.what);
        if (std::string(r.what) == "array refilled in place") {
            a[1] = 0.25;
        }
        Fresh();
        EXPECT_EQ(Stim(7, "FGEN_A|CH1:WAVEFORM.PRE_OFF", r.count, r.samples, r.gain, r.offset, 1,
                       r.markerLength, &handle),
                  0)
            << LastAlert();
        CallList want = {"ConfigureOutputEnabled(\"CH1\", 0)",
                         "ConfigureOperationMode(\"CH1\", \"CONTINUOUS\")",
                         "ConfigureOutputMode(\"CH1\", \"ARBITRARY\")"};
        want.insert(want.end(), r.calls.begin(), r.calls.end());
        want.push_back("ConfigureArbFrequency(\"CH1\", 1000)");
        EXPECT_EQ(Sent(), want);
        EXPECT_EQ(handle, r.handle); // the cached one when nothing was loaded
    }
}

TEST_F(FuncgenSteps, MarkerWindowsCoverTheirSamples) {
    struct Case {
        long index, length;
        std::vector<double> markers;
    } cases[] = {
        {10, -3, {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 0}},
        {10, 3, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1}},
        {1, -5, {1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {-2, 4, {1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {20, -5, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    std::vector<double> samples(12, 0.5);
    long ref = 300;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.index) + " " + std::to_string(c.length));
        ++ref;
        ASSERT_EQ(Stim(ref, "FGEN_A|CH2:WAVEFORM", 12, samples.data(), 1, 0, c.index, c.length), 0)
            << LastAlert();
        ASSERT_TRUE(rvo().editAttribute(ref, "DATA", "YES"));
        const std::size_t before = results().size();
        ASSERT_EQ(Stim(ref, "FGEN_A|CH2:WAVEFORM", 12, samples.data(), 1, 0, c.index, c.length), 0);
        const auto all = this->results();
        const std::vector<rvo::Result> results(all.begin() + static_cast<long>(before), all.end());
        ASSERT_EQ(results.size(), 3u);
        EXPECT_EQ(results[0].name, "DATA");
        EXPECT_EQ(results[1].name, "MARKER");
        EXPECT_EQ(results[1].series, c.markers);
    }
}

TEST_F(FuncgenSteps, ExecCreatesItsSequenceOnceAndRefusesNoCycleTime) {
    std::vector<double> a = {0, 1}, b = {1, 0};
    long wa = 0, wb = 0;
    ASSERT_EQ(Stim(701, "FGEN_A|CH1:WAVEFORM", 2, a.data(), 1, 0, 0, 0, &wa), 0) << LastAlert();
    ASSERT_EQ(Stim(702, "FGEN_A|CH2:WAVEFORM", 2, b.data(), 1, 0, 0, 0, &wb), 0);
    long handles[] = {wa, wb, wa};
    const auto exec = [&](double gain, double cycleTime) {
        return EXEC_FUNCGEN(703, "Exec", 0x700, 0, "", "FGEN_A|CH1:SEQUENCE", 3, handles, gain, 0,
                            cycleTime, 2);
    };
    const CallList lead = {"ConfigureOperationMode(\"CH1\", \"BURST\")",
                           "ConfigureBurstCount(\"CH1\", 2)",
                           "ConfigureOutputMode(\"CH1\", \"SEQUENCE\")"};
    struct Case {
        double gain, cycleTime;
        CallList calls;
        long result;
    } cases[] = {
        {2,
         0.01,
         {"CreateArbSequence(3, &, &)", "ConfigureArbSequence(\"CH1\", 1, 2, 0)",
          "ConfigureArbFrequency(\"CH1\", 100)", "ConfigureOutputEnabled(\"CH1\", 1)"},
         0},
        {2, 0.01, {"ConfigureArbFrequency(\"CH1\", 100)", "ConfigureOutputEnabled(\"CH1\", 1)"}, 0},
        {1, 0, {"ConfigureArbSequence(\"CH1\", 1, 1, 0)"}, -2},
    };
    for (const Case& c : cases) {
        Fresh();
        EXPECT_EQ(exec(c.gain, c.cycleTime), c.result) << LastAlert();
        CallList want = lead;
        want.insert(want.end(), c.calls.begin(), c.calls.end());
        EXPECT_EQ(Sent(), want);
    }
    EXPECT_EQ(ReportedCode(), "0x8100000B");
    EXPECT_NE(LastAlert().find("OUT OF RANGE (<=0)"), std::string::npos) << LastAlert();
}

// Two waveforms in a sequence reach the filter input one after the other, with gain and offset.
TEST_F(FuncgenSteps, SequencePlaysItsWaveformsInTurnOnTheBoard) {
    ASSERT_GE(EXEC_ROUTE(710, "Route", 0x700, 0, "", "FGEN_A!CH1>MATRIX_A7!P24,FGEN_A!CH1_LO>GND"),
              0)
        << LastAlert();
    std::vector<double> a = {0.5, -0.5}, b = {1, 0};
    long handles[2] = {0, 0};
    ASSERT_EQ(Stim(711, "FGEN_A|CH1:WAVEFORM.PRE_OFF", 2, a.data(), 1, 0, 0, 0, &handles[0]), 0);
    ASSERT_EQ(Stim(712, "FGEN_A|CH1:WAVEFORM.PRE_OFF", 2, b.data(), 1, 0, 0, 0, &handles[1]), 0);
    ASSERT_EQ(
        EXEC_FUNCGEN(713, "Exec", 0x700, 0, "", "FGEN_A|CH1:SEQUENCE", 2, handles, 2, 0.5, 0.4, 0),
        0)
        << LastAlert();
    // Four samples of 0.1 s each from the start, gain 2 and offset 0.5: 1.5, -0.5, 2.5, 0.5 V,
    // looked at in the middle of each.
    bench_->wait(0.05);
    for (double volts : {1.5, -0.5, 2.5, 0.5, 1.5}) {
        EXPECT_NEAR(bench_->circuit().voltage("fin"), volts, 0.01);
        bench_->wait(0.1);
    }
}

TEST_F(FuncgenSteps, ConfTriggerAndTrigStepsSendTheirCalls) {
    struct Case {
        const char* method;
        const char* devChanAttr;
        double value;
        CallList calls;
    } cases[] = {
        {"CONF",
         "FGEN_A|GROUNDED",
         1,
         {"ConfigureGroundRelay(\"CH1\", 1)", "ConfigureGroundRelay(\"CH2\", 1)"}},
        {"CONF", "CH2:GROUNDED", 0.05, {"ConfigureGroundRelay(\"CH2\", 0)"}},
        {"CONF", "RESET", 0, {"Reset()"}},
        {"CTRG",
         "+IN:PXI3",
         0.002,
         {"ConfigureTriggerSource(\"CH1\", \"TTL3\")", "ConfigureTriggerDelay(\"CH1\", 0.002)",
          "ConfigureTriggerSource(\"CH2\", \"TTL3\")", "ConfigureTriggerDelay(\"CH2\", 0.002)"}},
        {"CTRG",
         "+IN2:IMMEDIATE",
         0,
         {"ConfigureTriggerSource(\"CH2\", \"INTERNAL\")", "ConfigureTriggerDelay(\"CH2\", 0)"}},
        {"CTRG", "-OUT1:MO2", 1, {"ConfigureMarkerOutput(\"CH1\", \"MO2\", 1, \"LOW\")"}},
        {"CTRG", "+OUT2:MO1", 0, {"ConfigureMarkerOutput(\"CH2\", \"MO1\", 0, \"HIGH\")"}},
        {"TRIG",
         "START",
         0,
         {"ConfigureOutputEnabled(\"CH1\", 1)", "ConfigureOutputEnabled(\"CH2\", 1)"}},
        {"TRIG", "CH2:STOP", 0, {"ConfigureOutputEnabled(\"CH2\", 0)"}},
        {"TRIG",
         "STOP",
         0,
         {"ConfigureOutputEnabled(\"CH1\", 0)", "ConfigureOutputEnabled(\"CH2\", 0)"}},
        {"TRIG", "ARM", 0, {"InitiateGeneration()"}},
    };
    long ref = 500;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.devChanAttr);
        Fresh();
        const std::string m = c.method;
        const long result =
            m == "CONF"   ? CONF_FUNCGEN(++ref, "Conf", 0x800, 0, "", c.devChanAttr, c.value)
            : m == "CTRG" ? CTRG_FUNCGEN(++ref, "Ctrg", 0x800, 0, "", c.devChanAttr, c.value)
                          : TRIG_FUNCGEN(++ref, "Trig", 0x800, 0, "", c.devChanAttr);
        EXPECT_EQ(result, 0) << LastAlert();
        EXPECT_EQ(Sent(), c.calls);
    }
    // Armed with no output on: a warning of the library goes into the comment.
    EXPECT_NE(lastResult().comment.find("KORA warning: WARNING[0x00004651]"), std::string::npos)
        << lastResult().comment;
}

TEST_F(FuncgenSteps, BadInputIsRefusedWithItsCode) {
    double samples[2] = {0, 1};
    long handles[1] = {1};
    struct Case {
        const char* what;
        std::function<long()> call;
        const char* code;
        const char* text;
    } cases[] = {
        {"SET unknown function",
         [&] { return SET_FUNCGEN(401, "S", 0x100, 0, "", "", "CH1:NOISE", 0, 1, 1, 0, 0, ""); },
         "0x81000007", "CH1:NOISE"},
        {"SET unknown channel",
         [&] { return SET_FUNCGEN(402, "S", 0x100, 0, "", "", "CH3:SINE", 0, 1, 1, 0, 0, ""); },
         "0x81000007", "CH3:SINE"},
        {"SET unknown generator",
         [&] { return SET_FUNCGEN(403, "S", 0x100, 0, "", "", "FG9|CH1:SINE", 0, 1, 1, 0, 0, ""); },
         "0x81000007", "FG9|CH1:SINE"},
        {"STIM unknown keyword", [&] { return Stim(404, "CH1:SEQUENCE", 2, samples, 1, 0); },
         "0x81000006", "CH1:SEQUENCE"},
        {"EXEC unknown keyword",
         [&] {
             return EXEC_FUNCGEN(405, "E", 0x100, 0, "", "CH1:WAVEFORM", 1, handles, 1, 0, 1, 0);
         },
         "0x81000006", "CH1:WAVEFORM"},
        {"CONF unknown action", [&] { return CONF_FUNCGEN(406, "C", 0x100, 0, "", "CH1:OPEN", 1); },
         "0x81000006", "CH1:OPEN"},
        {"CTRG unknown source",
         [&] { return CTRG_FUNCGEN(407, "T", 0x100, 0, "", "+IN1:PXI8", 0); }, "0x81000006",
         "+IN1:PXI8"},
        {"CTRG marker on an input",
         [&] { return CTRG_FUNCGEN(408, "T", 0x100, 0, "", "+IN:MO1", 0); }, "0x81000006",
         "+IN:MO1"},
        {"TRIG unknown action", [&] { return TRIG_FUNCGEN(409, "T", 0x100, 0, "", "CH1:FIRE"); },
         "0x81000006", "CH1:FIRE"},
        {"library refuses a sample",
         [&] {
             double wild[2] = {0, 3};
             return Stim(410, "CH1:WAVEFORM", 2, wild, 1, 0);
         },
         "0xFFFFB9AA", "sample 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        rvo().reset();
        EXPECT_EQ(c.call(), -2);
        EXPECT_EQ(ReportedCode(), c.code);
        EXPECT_NE(LastAlert().find(c.text), std::string::npos) << LastAlert();
    }
}

} // namespace
} // namespace kora
