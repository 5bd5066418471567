// The instrument calls of the class libraries through their C functions: settings are checked
// against the words and ranges the libraries take, the state they keep decides what later calls
// answer, and what the virtual instruments cannot do yet is refused with a clear status.
#include "setup_station_fixture.h"

#include <dcpwr.h>
#include <diomgr.h>
#include <dmm.h>
#include <funcgen.h>
#include <siganl.h>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace kora::vbench::testing {
namespace {

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// One call of a table: what it is, the call, and the status and message part it must give.
struct Step {
    const char* what;
    std::function<int32_t(StatusBlock&)> call;
    int32_t status;
    const char* message = "";
};

void RunSteps(const std::vector<Step>& steps) {
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        StatusBlock s;
        EXPECT_EQ(step.call(s), step.status);
        EXPECT_EQ(s.error, step.status < 0 ? step.status : 0);
        EXPECT_EQ(s.warning, step.status > 0 ? step.status : 0);
        if (step.status == 0) {
            EXPECT_STREQ(s.message, "");
        } else {
            EXPECT_TRUE(Contains(s.message, step.message))
                << s.message << "\nexpected: " << step.message;
        }
    }
}

class VbenchClassInstruments : public SetupStation {
  protected:
    int32_t Open(decltype(&DMM_Setup) setup, const char* resource) {
        StatusBlock s;
        int32_t handle = 0;
        EXPECT_EQ(setup(0, "DEV", resource, "", &handle, &s.warning, &s.error, s.message), 0)
            << s.message;
        return handle;
    }
};

TEST_F(VbenchClassInstruments, DmmChecksItsSettingsAndTriggerState) {
    const int32_t h = Open(DMM_Setup, "CAN0::0::3");
    std::vector<double> values(4);
    int32_t read = 9;
    int32_t over = 7;
    RunSteps({
        {"measurement",
         [&](auto& s) {
             return DMM_Conf_Measurement(0, h, "2_WIRE_RES", 1e3, "AUTO_RANGE_OFF", 0.1, &s.warning,
                                         &s.error, s.message);
         },
         0},
        {"function in lower case",
         [&](auto& s) {
             return DMM_Conf_Measurement(0, h, "dc_volts", 10, "AUTO_RANGE_ON", 0, &s.warning,
                                         &s.error, s.message);
         },
         0},
        {"unknown function",
         [&](auto& s) {
             return DMM_Conf_Measurement(0, h, "OHMS", 10, "AUTO_RANGE_ON", 0, &s.warning, &s.error,
                                         s.message);
         },
         -15005, "function 'OHMS' (one of DC_VOLTS"},
        {"negative range",
         [&](auto& s) {
             return DMM_Conf_Measurement(0, h, "DC_VOLTS", -1, "AUTO_RANGE_ON", 0, &s.warning,
                                         &s.error, s.message);
         },
         -15006, "range -1"},
        {"null range mode",
         [&](auto& s) {
             return DMM_Conf_Measurement(0, h, "DC_VOLTS", 1, nullptr, 0, &s.warning, &s.error,
                                         s.message);
         },
         -15004, "range mode"},
        {"trigger source",
         [&](auto& s) {
             return DMM_Conf_Trigger(0, h, "TTL7", 0.01, &s.warning, &s.error, s.message);
         },
         0},
        {"trigger source TTL8",
         [&](auto& s) {
             return DMM_Conf_Trigger(0, h, "TTL8", 0, &s.warning, &s.error, s.message);
         },
         -15005, "trigger source 'TTL8'"},
        {"trigger outputs",
         [&](auto& s) {
             return DMM_Enable_Trigger_Output(0, h, 0x301, &s.warning, &s.error, s.message);
         },
         0},
        {"trigger output bit 10",
         [&](auto& s) {
             return DMM_Enable_Trigger_Output(0, h, 0x400, &s.warning, &s.error, s.message);
         },
         -15006, "output mask"},
        {"power line 60 Hz",
         [&](auto& s) {
             return DMM_Conf_Power_Line_Frequency(0, h, 60, &s.warning, &s.error, s.message);
         },
         0},
        {"power line 55 Hz",
         [&](auto& s) {
             return DMM_Conf_Power_Line_Frequency(0, h, 55, &s.warning, &s.error, s.message);
         },
         -15006, "power-line frequency 55"},
        {"pulse generator",
         [&](auto& s) {
             return DMM_Conf_Trigger_Signal(0, h, "IT2", "SOFTWARE", "NEGATIVE", "TTL3", "LOW", 0,
                                            3, 1e-6, 2e-6, &s.warning, &s.error, s.message);
         },
         0},
        {"pulse generator IT3",
         [&](auto& s) {
             return DMM_Conf_Trigger_Signal(0, h, "IT3", "SOFTWARE", "NEGATIVE", "TTL3", "LOW", 0,
                                            3, 1e-6, 2e-6, &s.warning, &s.error, s.message);
         },
         -15005, "generator 'IT3'"},
        {"over range",
         [&](auto& s) {
             return DMM_Is_Over_Range(0, h, 9.9e37, &over, &s.warning, &s.error, s.message);
         },
         0},
        {"read waits for its TTL7 trigger in vain",
         [&](auto& s) {
             return DMM_Read(0, h, 1, 4, values.data(), &read, &s.warning, &s.error, s.message);
         },
         DMM_ERR_NO_VALID_SAMPLE, "No valid sample: no trigger from TTL7"},
        {"fetch before initiate",
         [&](auto& s) {
             return DMM_Fetch(0, h, 1, 4, values.data(), &read, &s.warning, &s.error, s.message);
         },
         -15009, "DMM_Initiate"},
        {"software trigger before initiate",
         [&](auto& s) { return DMM_Send_Software_Trigger(0, h, &s.warning, &s.error, s.message); },
         -15009},
        {"initiate", [&](auto& s) { return DMM_Initiate(0, h, &s.warning, &s.error, s.message); },
         0},
        {"software trigger with TTL7 as source",
         [&](auto& s) { return DMM_Send_Software_Trigger(0, h, &s.warning, &s.error, s.message); },
         -15005, "TTL7, not SOFTWARE"},
        {"fetch after initiate",
         [&](auto& s) {
             return DMM_Fetch(0, h, 1, 4, values.data(), &read, &s.warning, &s.error, s.message);
         },
         DMM_ERR_NO_VALID_SAMPLE, "No valid sample"},
        {"abort", [&](auto& s) { return DMM_Abort(0, h, &s.warning, &s.error, s.message); }, 0},
        {"fetch after abort",
         [&](auto& s) {
             return DMM_Fetch(0, h, 1, 4, values.data(), &read, &s.warning, &s.error, s.message);
         },
         -15009},
        {"initiate again",
         [&](auto& s) { return DMM_Initiate(0, h, &s.warning, &s.error, s.message); }, 0},
        {"reset", [&](auto& s) { return DMM_Reset(0, h, &s.warning, &s.error, s.message); }, 0},
        {"reset ends the acquisition",
         [&](auto& s) {
             return DMM_Fetch(0, h, 1, 4, values.data(), &read, &s.warning, &s.error, s.message);
         },
         -15009},
        {"another handle",
         [&](auto& s) { return DMM_Reset(0, h + 1000, &s.warning, &s.error, s.message); }, -15002,
         "Invalid DMM handle"},
    });
    EXPECT_EQ(over, 1);
    EXPECT_EQ(read, 0);
    StatusBlock s;
    for (double v : {1.0, -5e30}) {
        DMM_Is_Over_Range(0, h, v, &over, &s.warning, &s.error, s.message);
        EXPECT_EQ(over, 0) << v;
    }
    DMM_Is_Over_Range(0, h, NAN, &over, &s.warning, &s.error, s.message);
    EXPECT_EQ(over, 1);
}

TEST_F(VbenchClassInstruments, FuncgenKeepsWaveformsSequencesAndChannels) {
    const int32_t h = Open(FUNCGEN_Setup, "CAN0::1::10");
    const double ramp[] = {-1, -0.5, 0, 0.5, 1};
    const double tooHigh[] = {0, 1.5};
    int32_t wave = 0, other = 0, sequence = 0;
    RunSteps({
        {"software trigger before generating",
         [&](auto& s) {
             return FUNCGEN_SendSoftwareTrigger(0, h, "CH1", &s.warning, &s.error, s.message);
         },
         -18014},
        {"no output enabled warns",
         [&](auto& s) { return FUNCGEN_InitiateGeneration(0, h, &s.warning, &s.error, s.message); },
         18001, "No channel output is enabled"},
        {"sine on both channels",
         [&](auto& s) {
             return FUNCGEN_ConfigureStandardWaveform(0, h, "", "SINE", 2, 1, 1e3, 0, 50,
                                                      &s.warning, &s.error, s.message);
         },
         0},
        {"beyond +-10 V",
         [&](auto& s) {
             return FUNCGEN_ConfigureStandardWaveform(0, h, "CH1", "SQUARE", 8, 7, 1e3, 0, 50,
                                                      &s.warning, &s.error, s.message);
         },
         -18006, "amplitude 8"},
        {"DC ignores the amplitude",
         [&](auto& s) {
             return FUNCGEN_ConfigureStandardWaveform(0, h, "CH2", "DC", 100, 5, 0, 0, 50,
                                                      &s.warning, &s.error, s.message);
         },
         0},
        {"duty cycle 100",
         [&](auto& s) {
             return FUNCGEN_ConfigureStandardWaveform(0, h, "CH1", "SQUARE", 1, 0, 1e3, 0, 100,
                                                      &s.warning, &s.error, s.message);
         },
         -18006, "duty cycle 100"},
        {"channel CH3",
         [&](auto& s) {
             return FUNCGEN_ConfigureOutputEnabled(0, h, "CH3", 1, &s.warning, &s.error, s.message);
         },
         -18005, "channel 'CH3'"},
        {"samples above 1",
         [&](auto& s) {
             return FUNCGEN_CreateArbWaveform(0, h, 2, tooHigh, &wave, &s.warning, &s.error,
                                              s.message);
         },
         -18006, "sample 1 1.5"},
        {"create waveform",
         [&](auto& s) {
             return FUNCGEN_CreateArbWaveform(0, h, 5, ramp, &wave, &s.warning, &s.error,
                                              s.message);
         },
         0},
        {"create another",
         [&](auto& s) {
             return FUNCGEN_CreateArbWaveform(0, h, 3, ramp, &other, &s.warning, &s.error,
                                              s.message);
         },
         0},
        {"arbitrary mode on CH1",
         [&](auto& s) {
             return FUNCGEN_ConfigureOutputMode(0, h, "CH1", "ARBITRARY", &s.warning, &s.error,
                                                s.message);
         },
         0},
        {"enable CH1",
         [&](auto& s) {
             return FUNCGEN_ConfigureOutputEnabled(0, h, "CH1", 1, &s.warning, &s.error, s.message);
         },
         0},
        {"nothing to play on CH1",
         [&](auto& s) { return FUNCGEN_InitiateGeneration(0, h, &s.warning, &s.error, s.message); },
         -18013, "CH1 in ARBITRARY"},
        {"gain beyond the output",
         [&](auto& s) {
             return FUNCGEN_ConfigureArbWaveform(0, h, "CH1", wave, 9, 2, &s.warning, &s.error,
                                                 s.message);
         },
         -18006, "gain 9"},
        {"unknown waveform",
         [&](auto& s) {
             return FUNCGEN_ConfigureArbWaveform(0, h, "CH1", 999, 1, 0, &s.warning, &s.error,
                                                 s.message);
         },
         -18010, "Unknown waveform handle"},
        {"play the waveform",
         [&](auto& s) {
             return FUNCGEN_ConfigureArbWaveform(0, h, "CH1", wave, 2, 0, &s.warning, &s.error,
                                                 s.message);
         },
         0},
        {"generate",
         [&](auto& s) { return FUNCGEN_InitiateGeneration(0, h, &s.warning, &s.error, s.message); },
         0},
        {"software trigger on an internally triggered channel",
         [&](auto& s) {
             return FUNCGEN_SendSoftwareTrigger(0, h, "CH1", &s.warning, &s.error, s.message);
         },
         -18005, "INTERNAL, not SOFTWARE"},
        {"software trigger source",
         [&](auto& s) {
             return FUNCGEN_ConfigureTriggerSource(0, h, "CH1", "software", &s.warning, &s.error,
                                                   s.message);
         },
         0},
        {"software trigger",
         [&](auto& s) {
             return FUNCGEN_SendSoftwareTrigger(0, h, "CH1", &s.warning, &s.error, s.message);
         },
         0},
        {"clear the waveform CH1 plays",
         [&](auto& s) {
             return FUNCGEN_ClearArbWaveform(0, h, wave, &s.warning, &s.error, s.message);
         },
         0},
        {"nothing left to play on CH1",
         [&](auto& s) { return FUNCGEN_InitiateGeneration(0, h, &s.warning, &s.error, s.message); },
         -18013, "CH1 in ARBITRARY"},
        {"sequence of one waveform twice",
         [&](auto& s) {
             const long list[] = {other, other};
             return FUNCGEN_CreateArbSequence(0, h, 2, list, &sequence, &s.warning, &s.error,
                                              s.message);
         },
         0},
        {"sequence of an unknown waveform",
         [&](auto& s) {
             const long list[] = {other, 77};
             int32_t q = 0;
             return FUNCGEN_CreateArbSequence(0, h, 2, list, &q, &s.warning, &s.error, s.message);
         },
         -18010, "waveform 77"},
        {"clear a waveform of a sequence",
         [&](auto& s) {
             return FUNCGEN_ClearArbWaveform(0, h, other, &s.warning, &s.error, s.message);
         },
         -18012},
        {"sequence on CH2",
         [&](auto& s) {
             return FUNCGEN_ConfigureArbSequence(0, h, "CH2", sequence, 1, 0, &s.warning, &s.error,
                                                 s.message);
         },
         0},
        {"clear the sequence CH2 plays",
         [&](auto& s) {
             return FUNCGEN_ClearArbSequence(0, h, sequence, &s.warning, &s.error, s.message);
         },
         0},
        {"reset", [&](auto& s) { return FUNCGEN_Reset(0, h, &s.warning, &s.error, s.message); }, 0},
        {"reset cleared the waveforms",
         [&](auto& s) {
             return FUNCGEN_ClearArbWaveform(0, h, wave, &s.warning, &s.error, s.message);
         },
         -18010},
        {"reset cleared the sequences",
         [&](auto& s) {
             return FUNCGEN_ClearArbSequence(0, h, sequence, &s.warning, &s.error, s.message);
         },
         -18011},
        {"reset disabled the outputs",
         [&](auto& s) { return FUNCGEN_InitiateGeneration(0, h, &s.warning, &s.error, s.message); },
         18001},
    });
}

TEST_F(VbenchClassInstruments, SiganlKeepsPathsAndWaitsForTriggers) {
    const int32_t h = Open(SIGANL_Setup, "CAN0::0::7");
    int32_t length = 0;
    char status = '?';
    std::vector<double> samples(16);
    int32_t read = 3;
    RunSteps({
        {"record on both paths",
         [&](auto& s) {
             return SIGANL_ConfigureAcquisitionRecord(0, h, "", 1e-3, 500, 0, &s.warning, &s.error,
                                                      s.message);
         },
         0},
        {"record on B",
         [&](auto& s) {
             return SIGANL_ConfigureAcquisitionRecord(0, h, "b", 1e-3, 2000, 0, &s.warning,
                                                      &s.error, s.message);
         },
         0},
        {"record of 0 samples",
         [&](auto& s) {
             return SIGANL_ConfigureAcquisitionRecord(0, h, "A", 1e-3, 0, 0, &s.warning, &s.error,
                                                      s.message);
         },
         -16006, "count 0"},
        {"length of A",
         [&](auto& s) {
             return SIGANL_ActualRecordLength(0, h, "A", &length, &s.warning, &s.error, s.message);
         },
         0},
        {"length of both paths",
         [&](auto& s) {
             return SIGANL_ActualRecordLength(0, h, "", &length, &s.warning, &s.error, s.message);
         },
         -16005, "path ''"},
        {"path C",
         [&](auto& s) {
             return SIGANL_ConfigureTrigger(0, h, "C", "IMMEDIATE", 0, &s.warning, &s.error,
                                            s.message);
         },
         -16005, "path 'C'"},
        {"immediate trigger",
         [&](auto& s) {
             return SIGANL_ConfigureTrigger(0, h, "", "IMMEDIATE", 0, &s.warning, &s.error,
                                            s.message);
         },
         0},
        {"edge at a negative level",
         [&](auto& s) {
             return SIGANL_ConfigureTrigger(0, h, "A", "EDGE", -2.5, &s.warning, &s.error,
                                            s.message);
         },
         0},
        {"negative delay",
         [&](auto& s) {
             return SIGANL_ConfigureTrigger(0, h, "A", "SOFTWARE", -1, &s.warning, &s.error,
                                            s.message);
         },
         -16006, "delay -1"},
        {"edge source of a channel",
         [&](auto& s) {
             return SIGANL_ConfigureEdgeTriggerSource(0, h, "B", "CHB3", 1, "NEGATIVE", &s.warning,
                                                      &s.error, s.message);
         },
         0},
        {"edge source TTL0 without VAL_",
         [&](auto& s) {
             return SIGANL_ConfigureEdgeTriggerSource(0, h, "B", "TTL0", 1, "NEGATIVE", &s.warning,
                                                      &s.error, s.message);
         },
         -16005, "trigger source 'TTL0'"},
        {"channel",
         [&](auto& s) {
             return SIGANL_ConfigureChannel(0, h, "CHA2", 10, 0, "DC", 1, 1, &s.warning, &s.error,
                                            s.message);
         },
         0},
        {"channel CHC1",
         [&](auto& s) {
             return SIGANL_ConfigureChannel(0, h, "CHC1", 10, 0, "DC", 1, 1, &s.warning, &s.error,
                                            s.message);
         },
         -16005, "channel 'CHC1'"},
        {"trigger output",
         [&](auto& s) {
             return SIGANL_ConfigureTriggerOutput(0, h, "VAL_TTL2", "VAL_OUT_SRC_IT1_B", "LOW",
                                                  &s.warning, &s.error, s.message);
         },
         0},
        {"status",
         [&](auto& s) {
             return SIGANL_AcquisitionStatus(0, h, "B", &status, &s.warning, &s.error, s.message);
         },
         0},
        {"acquisition starts on the board",
         [&](auto& s) {
             return SIGANL_InitiateAcquisition(0, h, "", &s.warning, &s.error, s.message);
         },
         0},
        {"read waits for an edge of A that never comes",
         [&](auto& s) {
             return SIGANL_ReadWaveform(0, h, "CHA1", 16, 1, samples.data(), &read, &s.warning,
                                        &s.error, s.message);
         },
         -16010, "Maximum time exceeded"},
        {"nothing complete to fetch",
         [&](auto& s) {
             return SIGANL_FetchWaveform(0, h, "CHA1", 16, samples.data(), &read, &s.warning,
                                         &s.error, s.message);
         },
         -16011},
        {"nothing to trigger",
         [&](auto& s) {
             return SIGANL_SendSoftwareTrigger(0, h, "A", &s.warning, &s.error, s.message);
         },
         -16009, "software trigger"},
        {"abort", [&](auto& s) { return SIGANL_Abort(0, h, "", &s.warning, &s.error, s.message); },
         0},
    });
    EXPECT_EQ(length, 500) << "path B's record is its own";
    EXPECT_EQ(status, 'U');
    EXPECT_EQ(read, 0);
    StatusBlock s;
    SIGANL_ActualRecordLength(0, h, "B", &length, &s.warning, &s.error, s.message);
    EXPECT_EQ(length, 2000);
    SIGANL_Reset(0, h, &s.warning, &s.error, s.message);
    SIGANL_ActualRecordLength(0, h, "B", &length, &s.warning, &s.error, s.message);
    EXPECT_EQ(length, 1000) << "the start record";
}

TEST_F(VbenchClassInstruments, DcpwrChannelsFollowTheirModeRangesAndTrigger) {
    StatusBlock setup;
    int32_t p = 0;
    ASSERT_EQ(DCPWR_Setup(0, "Bench_A", &p, &setup.warning, &setup.error, setup.message), 0);
    double max = 0;
    int32_t in = 5;
    int32_t sink = 9;
    double v = 1, a = 1, value = 0;
    const double volts[] = {1, -1, 1, -1};
    const double amps[] = {0.01, 0.02, 0.03, 0.04};
    auto state = [&](const char* which) {
        return [&, which](StatusBlock& s) {
            return DCPWR_Query_Output_State(0, p, "VBAT", which, &in, &s.warning, &s.error,
                                            s.message);
        };
    };
    struct Check {
        const char* what;
        std::function<int32_t(StatusBlock&)> call;
        int32_t status;
        const char* message;
        std::function<void()> after; // what must hold after the call
    };
    const Check checks[] = {
        {"voltage range 7 V takes the 10 V range",
         [&](auto& s) {
             return DCPWR_Conf_Output_Range(0, p, "VBAT", "VOLTAGE", 7, &s.warning, &s.error,
                                            s.message);
         },
         0, "", [&] {}},
        {"max voltage",
         [&](auto& s) {
             return DCPWR_Query_Max_Voltage_Level(0, p, "VBAT", 0.005, &max, &s.warning, &s.error,
                                                  s.message);
         },
         0, "", [&] { EXPECT_EQ(max, 10); }},
        {"level above the range",
         [&](auto& s) {
             return DCPWR_Conf_Voltage_Level(0, p, "VBAT", 12, &s.warning, &s.error, s.message);
         },
         -19007, "voltage 12", [&] {}},
        {"voltage range 12 V takes the 50 V range",
         [&](auto& s) {
             return DCPWR_Conf_Output_Range(0, p, "VBAT", "VOLTAGE", 12, &s.warning, &s.error,
                                            s.message);
         },
         0, "", [&] {}},
        {"level 12 V now",
         [&](auto& s) {
             return DCPWR_Conf_Voltage_Level(0, p, "VBAT", 12, &s.warning, &s.error, s.message);
         },
         0, "", [&] {}},
        {"voltage range 60 V",
         [&](auto& s) {
             return DCPWR_Conf_Output_Range(0, p, "VBAT", "VOLTAGE", 60, &s.warning, &s.error,
                                            s.message);
         },
         -19007, "up to 50 V", [&] {}},
        {"current range 50 mA takes 100 mA",
         [&](auto& s) {
             return DCPWR_Conf_Output_Range(0, p, "VBAT", "CURRENT", 0.05, &s.warning, &s.error,
                                            s.message);
         },
         0, "", [&] {}},
        {"max current",
         [&](auto& s) {
             return DCPWR_Query_Max_Current_Limit(0, p, "VBAT", 12, &max, &s.warning, &s.error,
                                                  s.message);
         },
         0, "", [&] { EXPECT_EQ(max, 0.1); }},
        {"limit above the range",
         [&](auto& s) {
             return DCPWR_Conf_Current_Limit(0, p, "VBAT", "REGULATE", 0.2, &s.warning, &s.error,
                                             s.message);
         },
         -19007, "current 0.2", [&] {}},
        {"limit that trips",
         [&](auto& s) {
             return DCPWR_Conf_Current_Limit(0, p, "VBAT", "TRIP", 0.08, &s.warning, &s.error,
                                             s.message);
         },
         0, "", [&] {}},
        {"behaviour CLAMP",
         [&](auto& s) {
             return DCPWR_Conf_Current_Limit(0, p, "VBAT", "CLAMP", 0.08, &s.warning, &s.error,
                                             s.message);
         },
         -19005, "behavior 'CLAMP'", [&] {}},
        {"disabled output", state("UNREGULATED"), 0, "", [&] { EXPECT_EQ(in, 1); }},
        {"enable",
         [&](auto& s) {
             return DCPWR_Conf_Output_Enabled(0, p, "VBAT", 1, &s.warning, &s.error, s.message);
         },
         0, "", [&] {}},
        {"regulates its voltage", state("CONSTANT_VOLTAGE"), 0, "", [&] { EXPECT_EQ(in, 1); }},
        {"not its current", state("CONSTANT_CURRENT"), 0, "", [&] { EXPECT_EQ(in, 0); }},
        {"temperature not monitored", state("OVER_TEMPERATURE"), DCPWR_ERR_STATE_NOT_SUPPORTED,
         "not monitored", [&] { EXPECT_EQ(in, 0); }},
        {"PWM in NORMAL mode",
         [&](auto& s) {
             return DCPWR_Conf_Output_PWM(0, p, "VBAT", 100, 50, &s.warning, &s.error, s.message);
         },
         DCPWR_ERR_NOT_APPLICABLE, "needs mode PWM", [&] {}},
        {"sink readings outside sink mode",
         [&](auto& s) {
             return DCPWR_Query_Sink_State(0, p, "VBAT", &sink, &v, &a, &s.warning, &s.error,
                                           s.message);
         },
         0, "", [&] { EXPECT_EQ(sink, 0); }},
        {"constant-current mode",
         [&](auto& s) {
             return DCPWR_Conf_Mode(0, p, "VBAT", "CONST_CURRENT", &s.warning, &s.error, s.message);
         },
         0, "", [&] {}},
        {"regulates its current", state("CONSTANT_CURRENT"), 0, "", [&] { EXPECT_EQ(in, 1); }},
        {"sink current",
         [&](auto& s) {
             return DCPWR_Conf_Const_Current(0, p, "VBAT", 0.05, &s.warning, &s.error, s.message);
         },
         0, "", [&] {}},
        {"sink resistance in CONST_CURRENT",
         [&](auto& s) {
             return DCPWR_Conf_Const_Resistance(0, p, "VBAT", 10, &s.warning, &s.error, s.message);
         },
         DCPWR_ERR_NOT_APPLICABLE, "CONST_RESISTANCE", [&] {}},
        {"a load with nothing to draw from reads, but does not regulate",
         [&](auto& s) {
             return DCPWR_Query_Sink_State(0, p, "VBAT", &sink, &v, &a, &s.warning, &s.error,
                                           s.message);
         },
         0, "", [&] { EXPECT_EQ(sink, 0x3); }},
        {"waveform outside ARB_WFM",
         [&](auto& s) {
             return DCPWR_Initiate_Arb_Wfm(0, p, "VBAT", &s.warning, &s.error, s.message);
         },
         DCPWR_ERR_NOT_APPLICABLE, "ARB_WFM", [&] {}},
        {"waveform mode",
         [&](auto& s) {
             return DCPWR_Conf_Mode(0, p, "VBAT", "ARB_WFM", &s.warning, &s.error, s.message);
         },
         0, "", [&] {}},
        {"nothing loaded",
         [&](auto& s) {
             return DCPWR_Initiate_Arb_Wfm(0, p, "VBAT", &s.warning, &s.error, s.message);
         },
         -19015, "DCPWR_Set_Arb_Wfm", [&] {}},
        {"points above the current range",
         [&](auto& s) {
             const double big[] = {0.5};
             return DCPWR_Set_Arb_Wfm(0, p, "VBAT", 1, nullptr, big, &s.warning, &s.error,
                                      s.message);
         },
         -19007, "point 0", [&] {}},
        {"load points",
         [&](auto& s) {
             return DCPWR_Set_Arb_Wfm(0, p, "VBAT", 4, volts, amps, &s.warning, &s.error,
                                      s.message);
         },
         0, "", [&] {}},
        {"play",
         [&](auto& s) {
             return DCPWR_Initiate_Arb_Wfm(0, p, "VBAT", &s.warning, &s.error, s.message);
         },
         0, "", [&] {}},
        {"playing", state("ARB_WFM_ACTIVE"), 0, "", [&] { EXPECT_EQ(in, 1); }},
        {"stop",
         [&](auto& s) {
             return DCPWR_Abort_Arb_Wfm(0, p, "VBAT", &s.warning, &s.error, s.message);
         },
         0, "", [&] {}},
        {"stopped", state("ARB_WFM_ACTIVE"), 0, "", [&] { EXPECT_EQ(in, 0); }},
        {"software trigger source",
         [&](auto& s) {
             return DCPWR_Conf_Trigger_Source(0, p, "VBAT", "SOFTWARE", &s.warning, &s.error,
                                              s.message);
         },
         0, "", [&] {}},
        {"trigger before arming",
         [&](auto& s) {
             return DCPWR_Send_Software_Trigger(0, p, "VBAT", &s.warning, &s.error, s.message);
         },
         -19011, "DCPWR_Initiate", [&] {}},
        {"arm",
         [&](auto& s) { return DCPWR_Initiate(0, p, "VBAT", &s.warning, &s.error, s.message); }, 0,
         "", [&] {}},
        {"trigger",
         [&](auto& s) {
             return DCPWR_Send_Software_Trigger(0, p, "VBAT", &s.warning, &s.error, s.message);
         },
         0, "", [&] {}},
        {"a trigger disarms",
         [&](auto& s) {
             return DCPWR_Send_Software_Trigger(0, p, "VBAT", &s.warning, &s.error, s.message);
         },
         -19011, "", [&] {}},
        {"trigger outputs beyond 0x3FF",
         [&](auto& s) {
             return DCPWR_Conf_Trigger_Output(0, p, "VBAT", 0x400, "CH1", 0, 0, &s.warning,
                                              &s.error, s.message);
         },
         -19007, "output mask", [&] {}},
        {"the stopped waveform leaves the level on the open output",
         [&](auto& s) {
             return DCPWR_Measure(0, p, "VBAT", "VOLTAGE", &value, &s.warning, &s.error, s.message);
         },
         0, "", [&] { EXPECT_NEAR(value, 12, 0.02); }},
        {"unknown quantity",
         [&](auto& s) {
             return DCPWR_Measure(0, p, "VBAT", "CHARGE", &value, &s.warning, &s.error, s.message);
         },
         -19005, "quantity 'CHARGE'", [&] {}},
        {"fetch before initiating",
         [&](auto& s) {
             std::vector<double> b(4);
             return DCPWR_Fetch_Acquisition(0, p, "VBAT", 1, 4, b.data(), nullptr, &s.warning,
                                            &s.error, s.message);
         },
         -19016, "DCPWR_Initiate_Acquisition", [&] {}},
        {"initiate without a configuration",
         [&](auto& s) {
             return DCPWR_Initiate_Acquisition(0, p, "VBAT", &s.warning, &s.error, s.message);
         },
         -19005, "DCPWR_Conf_Acquisition", [&] {}},
        {"reset",
         [&](auto& s) { return DCPWR_Reset(0, p, "VBAT", &s.warning, &s.error, s.message); }, 0, "",
         [&] {}},
        {"reset back to NORMAL and off", state("UNREGULATED"), 0, "", [&] { EXPECT_EQ(in, 1); }},
        {"reset back to the 50 V range",
         [&](auto& s) {
             return DCPWR_Query_Max_Voltage_Level(0, p, "VBAT", 0, &max, &s.warning, &s.error,
                                                  s.message);
         },
         0, "", [&] { EXPECT_EQ(max, 50); }},
        {"the other channel kept its state",
         [&](auto& s) {
             return DCPWR_Query_Output_State(0, p, "PSU_A5!CH1", "UNREGULATED", &in, &s.warning,
                                             &s.error, s.message);
         },
         0, "", [&] { EXPECT_EQ(in, 1); }},
    };
    for (const Check& c : checks) {
        SCOPED_TRACE(c.what);
        StatusBlock s;
        EXPECT_EQ(c.call(s), c.status);
        EXPECT_TRUE(Contains(s.message, c.message)) << s.message;
        c.after();
    }
    // Settling lets the station's settling time pass on the bench clock, at most the time-out.
    StatusBlock s;
    const double settling = bench_->station()->settlingTime;
    const int64_t t0 = bench_->clock().nowNs();
    EXPECT_EQ(DCPWR_Wait_Until_Settled(0, p, "VBAT", 5000, &s.warning, &s.error, s.message), 0);
    EXPECT_EQ(bench_->clock().nowNs() - t0, static_cast<int64_t>(settling * 1e9 + 0.5));
    const int64_t t1 = bench_->clock().nowNs();
    EXPECT_EQ(DCPWR_Wait_Until_Settled(0, p, "VBAT", 1, &s.warning, &s.error, s.message), 0);
    EXPECT_EQ(bench_->clock().nowNs() - t1, 1000000);
}

TEST_F(VbenchClassInstruments, DiomgrChannelsAndPortsKeepTheirState) {
    StatusBlock setup;
    int32_t d = 0;
    ASSERT_EQ(DIOMGR_Setup(0, "Bench_C", &d, &setup.warning, &setup.error, setup.message), 0);
    int32_t count = 5;
    RunSteps({
        {"loopback without a driver",
         [&](auto& s) {
             return DIOMGR_ConfigureLoopback(0, d, "D0", 1, &s.warning, &s.error, s.message);
         },
         -20013, "D0"},
        {"TTL driver",
         [&](auto& s) {
             return DIOMGR_ConfigureStimulus(0, d, "D0", "TTL", 5, 0, &s.warning, &s.error,
                                             s.message);
         },
         0},
        {"loopback of the driven channel",
         [&](auto& s) {
             return DIOMGR_ConfigureLoopback(0, d, "d0", 1, &s.warning, &s.error, s.message);
         },
         0},
        {"high below low",
         [&](auto& s) {
             return DIOMGR_ConfigureStimulus(0, d, "D1", "TRISTATE", 0, 3.3, &s.warning, &s.error,
                                             s.message);
         },
         -20006, "above the low level"},
        {"analog current limit 0.5 A",
         [&](auto& s) {
             return DIOMGR_ConfigureStimulus(0, d, "D1", "ANALOG", 3, 0.5, &s.warning, &s.error,
                                             s.message);
         },
         -20006, "current limit 0.5"},
        {"analog driver",
         [&](auto& s) {
             return DIOMGR_ConfigureStimulus(0, d, "D1", "ANALOG", 3, 0.05, &s.warning, &s.error,
                                             s.message);
         },
         0},
        {"driver mode ECL",
         [&](auto& s) {
             return DIOMGR_ConfigureStimulus(0, d, "D1", "ECL", 3, 0, &s.warning, &s.error,
                                             s.message);
         },
         -20005, "driver mode 'ECL'"},
        {"window receiver",
         [&](auto& s) {
             return DIOMGR_ConfigureResponse(0, d, "D2", "WINDOW", 2, 0.8, &s.warning, &s.error,
                                             s.message);
         },
         0},
        {"receiver thresholds swapped",
         [&](auto& s) {
             return DIOMGR_ConfigureResponse(0, d, "D2", "HYSTERESIS", 0.8, 2, &s.warning, &s.error,
                                             s.message);
         },
         -20006, "not below the low threshold"},
        {"a port that the bench does not configure",
         [&](auto& s) {
             return DIOMGR_PortStimulus(0, d, "PORTA", "01", &s.warning, &s.error, s.message);
         },
         -20014, "Unknown port: PORTA"},
        {"a pattern set that never ran",
         [&](auto& s) {
             return DIOMGR_GetPatternSetExecutedPatternCount(0, d, "SET1", &count, &s.warning,
                                                             &s.error, s.message);
         },
         -20016, "Unknown pattern set: SET1"},
        {"reset", [&](auto& s) { return DIOMGR_Reset(0, d, &s.warning, &s.error, s.message); }, 0},
        {"reset removed the drivers",
         [&](auto& s) {
             return DIOMGR_ConfigureLoopback(0, d, "D0", 1, &s.warning, &s.error, s.message);
         },
         -20013},
    });
    EXPECT_EQ(count, 0);
}

} // namespace
} // namespace kora::vbench::testing
