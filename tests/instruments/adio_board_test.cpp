// The I/O module and the relay module on the powered example board: analog readings against
// ngspice's operating point, the board's logic outputs, its inverter answering a driven input, a
// pattern played into it and captured back, a waveform read back, over range, and a load the relay
// module switches in.
#include "support/station.h"
#include "vbench/ngspice_runner.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace kora {
namespace {

class AdioBoard : public test::StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        ASSERT_EQ(Setup(), 0) << LastAlert();
        ASSERT_EQ(PowerBoard(5), 0) << LastAlert();
    }
    void Conf(const char* devChanAttr, double value) {
        ASSERT_EQ(CONF_ADIO(++ref_, "Conf", 0x100, 0, "", devChanAttr, value), 0) << LastAlert();
    }
    void Route(const char* text) {
        ASSERT_EQ(EXEC_ROUTE(++ref_, "Route", 0x100, 0, "", text), 1) << LastAlert();
    }
    double Meas(const char* devChanAttr, const char* low = "", const char* high = "",
                long verdict = 0) {
        double value = NAN;
        EXPECT_EQ(MEAS_ADIO(++ref_, "Meas", 0x100, 0, "", "", devChanAttr, low, NAN, high, 0.01,
                            &value, ""),
                  verdict)
            << LastAlert();
        return value;
    }
    long Inputs() {
        long state = -1;
        EXPECT_EQ(GET_ADIO(++ref_, "Get", 0x100, 0, "", "PIO2_A5|DIN", &state, 0, 0), 0)
            << LastAlert();
        return state;
    }
    double SupplyCurrent() {
        double value = NAN;
        EXPECT_EQ(MEAS_DCPWR(++ref_, "I", 0x100, 0, "", "", "SUPPLY_A6!CH1|ADC", "", NAN, "", 0.01,
                             &value, ""),
                  0)
            << LastAlert();
        return value;
    }
    long ref_ = 700;
};

// div_mid against ground (differential, CH4-CH12) and the inverter's output (single-ended, CH3)
// read what ngspice computes for the same netlist, within the module's accuracy of 0.05 % of the
// reading and 0.02 % of the 5 V range.
TEST_F(AdioBoard, AnalogReadingsAgreeWithNgspice) {
    if (vbench::testing::NgspicePath().empty()) {
        GTEST_SKIP() << "ngspice is not installed";
    }
    Conf("PIO2_A5|CH4:OUTPUT.AIN", 1);
    Conf("PIO2_A5|CH12:OUTPUT.AIN", 1);
    Conf("PIO2_A5|CH3:OUTPUT.AIN", 1);
    Route("PIO2_A5!CH4>MATRIX_A7!P2,PIO2_A5!CH12>MATRIX_A7!P3,PIO2_A5!CH3>MATRIX_A7!P23");
    const double divMid = Meas("PIO2_A5|CH4-CH12:VDC", "0", "2");
    const double dout = Meas("PIO2_A5|CH3:VDC", "0", "5");
    std::string board = test::ReadFile(test::kStation / "board.cir");
    board = board.substr(0, board.find("\n.end")) + "\nVSUP vcc 0 DC 5\n.end\n";
    auto ref = vbench::testing::RunNgspice(board, {"op", "print v(div_mid)", "print v(dout)"});
    ASSERT_TRUE(ref.ran) << ref.log;
    for (auto [ours, net] : {std::pair{divMid, "v(div_mid)"}, std::pair{dout, "v(dout)"}}) {
        SCOPED_TRACE(net);
        const double theirs = ref.values.at(net).real();
        EXPECT_NEAR(ours, theirs, 5e-4 * theirs + 2e-4 * 5) << ref.log;
    }
}

TEST_F(AdioBoard, LogicOutputsAndTheInverterAnswer) {
    Conf("PIO2_A5|CHA:OUTPUT.AIN", 1);
    Conf("PIO2_A5|CH5:OUTPUT.OUT", 1);
    Route("PIO2_A5!CH1>MATRIX_A7!P20,PIO2_A5!CH2>MATRIX_A7!P21,PIO2_A5!CH3>MATRIX_A7!P23,"
          "PIO2_A5!CH5>MATRIX_A7!P22");
    struct Case {
        long din;
        long expected; // CH1 logic_hi, CH2 logic_lo, CH3 dout
    } cases[] = {{0, 0x5}, {1, 0x1}, {0, 0x5}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.din);
        ASSERT_EQ(SET_ADIO(++ref_, "Set", 0x100, 0, "", "PIO2_A5|CH5:DOUT", c.din ? 0x10 : 0), 0);
        EXPECT_EQ(Inputs() & 0x7, c.expected);
    }

    // A pattern on din, captured on dout a sample later each: the inverse of what was played.
    Conf("PIO2_A5|CH5:PATTERN", 0);
    long played[] = {0x10, 0, 0x10, 0x10, 0};
    long loaded = 0;
    ASSERT_EQ(
        STIM_ADIO(++ref_, "Stim", 0x100, 0, "", "PIO2_A5|PATTERN", "", 0.004, played, 5, &loaded),
        0)
        << LastAlert();
    long captured[5] = {};
    ASSERT_EQ(ACQ_ADIO(++ref_, "Acq", 0x100, 0, "", "", "PIO2_A5|PATTERN.READ", "", "", "", 0,
                       0.005, 5, captured, ""),
              0)
        << LastAlert();
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ((captured[i] >> 2) & 1, played[i] ? 0 : 1);
    }
}

TEST_F(AdioBoard, WaveformPlaysAndOverRangeReads) {
    Conf("PIO2_A5|CH8:WAVEFORM", 0);
    Conf("PIO2_A5|CH8:OUTPUT.OUT", 1);
    double wave[] = {0.5, 1.5, 2.5, 3.5};
    ASSERT_EQ(
        STIM_ADIO(++ref_, "Stim", 0x100, 0, "", "PIO2_A5|WAVEFORM", "", 0.003, wave, 4, nullptr), 0)
        << LastAlert();
    double samples[4] = {};
    ASSERT_EQ(ACQ_ADIO(++ref_, "Acq", 0x100, 0, "", "", "PIO2_A5|CH8:VDC.READ", "1.9", "", "2.1", 0,
                       0.004, 4, samples, ""),
              0)
        << LastAlert();
    for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(samples[i], wave[i], 2e-3) << i;
    }
    EXPECT_NEAR(lastResult().value, 2.0, 2e-3);
    EXPECT_EQ(lastResult().verdict, rvo::Verdict::Pass);
    // The playback holds its last sample; limits within 1 V make the 1 V range too small.
    EXPECT_EQ(Meas("PIO2_A5|CH8:VDC", "0", "1", -1), 9999000000.0);
    EXPECT_NEAR(Meas("PIO2_A5|CH8:VDC", "0", "5"), 3.5, 2e-3);
}

TEST_F(AdioBoard, RelayBitSwitchesTheBoardsLoad) {
    const double idle = SupplyCurrent();
    ASSERT_EQ(CONFIG_URM(++ref_, "Cfg", 0x100, 0, "", "URM_1", "A", "0", "OUT"), 0);
    ASSERT_EQ(SET_URM(++ref_, "On", 0x100, 0, "", "URM_1", "A", "0", "ON"), 0);
    EXPECT_NEAR(SupplyCurrent() - idle, 5.0 / 220.08, 1e-4);
    long value = -1;
    ASSERT_EQ(GET_URM(++ref_, "Get", 0x100, 0, "", "URM_1", "A", 0, "ON", &value), 0);
    EXPECT_EQ(value, 1);
    ASSERT_EQ(SET_URM(++ref_, "Off", 0x100, 0, "", "URM_1", "A", "0", "OFF"), 0);
    EXPECT_NEAR(SupplyCurrent(), idle, 1e-4);
}

} // namespace
} // namespace kora
