// The connection sequences of the pin-at-a-time tests (contact pre-scan and group search, track
// walk, discharge, pin location), sent through the driver C functions as those tests send them,
// on the ICT station: each must close the circuit its test intends (docs/analog-bus.md).
#include "vbench/ict_station.h"

#include <vbench/circuit/elements.h>
#include <vbench/circuit/semiconductors.h>
#include <vbench/modules/matrix_card.h>

#include <numeric>

namespace kora::vbench {
namespace {

using namespace testing;

// Pins of tests/vbench/data/ict_fixture.txt.
constexpr int kP = 6, kQ = 7;     // the two ends of the lone 10 k
constexpr int kM1 = 18, kM2 = 19; // two needles on net m
constexpr int kN1 = 21, kN2 = 22; // two needles on net n, 10 ohm from m
constexpr int kC1 = 8, kC2 = 9;   // the 1 uF
constexpr int kOpen = 20;         // reaches nothing

class BusSequences : public IctStation {
  protected:
    void Abcd(int pin, int a, int b, int c = 0, int d = 0) {
        Ok(ZQsm160_quickConnectABCD(sm_, pin, a, b, c, d, 0), "quickConnectABCD");
        Debounce();
    }
    void Array(std::initializer_list<int> pins, BusLine first, BusLine second) {
        ViUInt32 mask[ZQSM160_MASK_WORDS] = {};
        for (int p : pins) {
            mask[(p - 1) / 32] |= 1u << ((p - 1) % 32);
        }
        Ok(ZQsm160_quickConnectArray(sm_, mask, line_[first], line_[second]), "array");
        Debounce();
    }
    // The contact and track tests' source and ammeter: terminals 0x88, 0x22, 0x88, 0x44 in
    // voltage mode; meter for current on 0x44 / 0x22.
    void ContactInstruments(double volts, double limit, double range) {
        Dcs(0x88, 0x22, 0x88, 0x44, 1, volts, limit);
        CurrentRange(range);
        Ok(rspsam_cnx_Matrix(psam_, 5, 255, 0x44), "terminal 5");
        Ok(rspsam_cnx_Matrix(psam_, 8, 255, 0x22), "terminal 8");
        Ok(rspsam_ConfigureMultiPoint(psam_, 1, 20, 10, 5e-6), "record");
    }
    void CurrentRange(double amperes) {
        Ok(rspsam_ConfigureMeasurement(psam_, RSPSAM_FUNCTION_CURRENT, amperes), "meter");
    }
    double MeanReading() {
        std::vector<double> v(64);
        ViInt32 n = 0;
        EXPECT_EQ(rspsam_ReadMultiPoint(psam_, 1000, 64, v.data(), &n), VI_SUCCESS);
        EXPECT_GT(n, 0);
        return std::accumulate(v.begin(), v.begin() + n, 0.0) / std::max(n, 1);
    }
    bool SourceAt(int query) {
        ViBoolean state = VI_FALSE;
        Ok(rspsam_dcs_QueryOutputState(psam_, query, &state), "query");
        return state != VI_FALSE;
    }
};

TEST_F(BusSequences, ContactPreScanDrivesThePinUnderTestAgainstAllOthers) {
    ContactInstruments(1.0, 0.01, 2e-4);
    Array({kP, kQ, kOpen}, kB2, kB1);
    EXPECT_LT(std::fabs(MeanReading()), 1e-6) << "base current with every pin on the return";
    // Each pin in turn on (2, 1): the 10 k's ends read 1 V / 10 k, the open pin nothing; each is
    // put back with (1, 2) before the next.
    const struct {
        int pin;
        double amperes;
    } cases[] = {{kP, 1e-4}, {kOpen, 0}, {kQ, 1e-4}};
    for (const auto& c : cases) {
        Abcd(c.pin, 2, 1);
        EXPECT_NEAR(MeanReading(), c.amperes, 1e-4 * 0.01 + 1e-6) << "pin P" << c.pin;
        Abcd(c.pin, 1, 2);
    }
}

TEST_F(BusSequences, GroupSearchAndTrackWalkMeasureEachPairAlone) {
    ContactInstruments(0.1, 0.1, 2e-5);
    Ok(ZQsm160_DisconnectAll(sm_), "disconnect");
    // Group search: P on (0, 1), Q on (0, 2) is the pair; Q parked on (2, 0) leaves P alone.
    Abcd(kP, 0, 1);
    Abcd(kQ, 0, 2);
    EXPECT_NEAR(0.1 / MeanReading(), 10e3, 10e3 * 0.005);
    Abcd(kQ, 2, 0);
    EXPECT_LT(std::fabs(MeanReading()), 1e-7);
    Abcd(kP, 1, 0);
    CurrentRange(0.1);
    // Track walk m1 -> n1 -> n2: the first pair reads the 10 ohm, the next the track of n.
    Abcd(kM1, 0, 1);
    Abcd(kN1, 0, 2);
    const double first = 0.1 / MeanReading();
    EXPECT_GT(first, 10);
    EXPECT_LT(first, 10 + 3);
    Abcd(kM1, 1, 0);
    Abcd(kN1, 2, 1);
    Abcd(kN2, 0, 2);
    EXPECT_LT(0.1 / MeanReading(), 3) << "a track reads the paths only";
}

TEST_F(BusSequences, DischargeUnitEmptiesThePinAndTheSourceHoldsIt) {
    // Charge the 1 uF to 5 V through the source on the stimulus line, its other end grounded.
    Dcs(0x88, 0x22, 0x88, 0x44, 1, 5.0, 0.1);
    Abcd(kC1, 0, 1);
    Abcd(kC2, 0, 0, 0, 4);
    bench_->wait(5e-3);
    Ok(ZQsm160_DisconnectAll(sm_), "disconnect");
    Abcd(kC2, 0, 0, 0, 4);
    // The discharge's configuration: unit on 0x88, meter for voltage on 0x88 / 0x22, source at
    // 0 V in current mode on 0x44, 0x33, 0x44, 0x22.
    Ok(rspsam_dch_ConfigureCurrent(psam_, 0), "discharge step");
    Ok(rspsam_dch_ConfigureEnabled(psam_, VI_TRUE), "discharge on");
    Ok(rspsam_cnx_Matrix(psam_, 0, 255, 0x88), "discharge unit");
    Ok(rspsam_ConfigureMeasurement(psam_, RSPSAM_FUNCTION_VOLTAGE, 10), "meter");
    Ok(rspsam_cnx_Matrix(psam_, 5, 255, 0x88), "terminal 5");
    Ok(rspsam_cnx_Matrix(psam_, 8, 255, 0x22), "terminal 8");
    Ok(rspsam_ConfigureMultiPoint(psam_, 1, 64, 10, 5e-6), "record");
    Dcs(0x44, 0x33, 0x44, 0x22, 0, 0.0, 0.1);
    Ok(rspsam_dch_ConfigureEnabled(psam_, VI_FALSE), "discharge held off");
    Abcd(kC1, 0, 1);
    EXPECT_NEAR(MeanReading(), 5.0, 0.05) << "the meter sees the pin, the source does not";
    Ok(rspsam_dch_ConfigureEnabled(psam_, VI_TRUE), "discharge on");
    bench_->wait(10e-3);
    EXPECT_LT(std::fabs(MeanReading()), 0.05) << "the discharge unit emptied it";
    Abcd(kC1, 1, 2);
    EXPECT_TRUE(SourceAt(0)) << "the source holds the pin at 0 V";
}

TEST_F(BusSequences, DiodeForwardVoltageIsReadAcrossTheForcedCurrent) {
    // A diode from P1 (HI: A1) to P20 (LO: B2), both otherwise unwired.
    Circuit& c = bench_->circuit();
    bench_->beforeChange();
    c.add<Diode>("test:d", c.node(bench_->matrixCard("MX1").pinNet(1)),
                 c.node(bench_->matrixCard("MX1").pinNet(kOpen)), DiodeParams{});
    Dcs(0x88, 0x22, 0x88, 0x11, 0, 2.0, 1e-3);
    Ok(rspsam_ConfigureMeasurement(psam_, RSPSAM_FUNCTION_VOLTAGE, 2.0), "meter");
    Ok(rspsam_mu_ConfigureLowpassFilter(psam_, 100e3), "filter");
    Ok(rspsam_cnx_Matrix(psam_, 5, 255, 0x88), "terminal 5");
    Ok(rspsam_cnx_Matrix(psam_, 8, 255, 0x44), "terminal 8");
    Ok(rspsam_ConfigureMultiPoint(psam_, 1, 20, 10, 5e-6), "record");
    Ok(rspict_cnx_ConfigureSwitches(pict_, 0, 0x0C, 0xC0, 0xC0, 0x3000), "pict switches");
    Ok(rspict_cmu_ConfigureSigCon(pict_, 1, 12, 1, 0, 10e-3), "cmu 10 mA");
    Pin(kA1, 1);
    Pin(kB2, kOpen);
    Debounce();
    // The forced current flows through the diode into the virtual ground at its cathode.
    std::vector<double> i(200);
    ViInt32 n = 0;
    Ok(rspict_cmu_Read(pict_, 1000, 200, i.data(), &n), "cmu read");
    ASSERT_GT(n, 0);
    EXPECT_NEAR(std::accumulate(i.begin(), i.begin() + n, 0.0) / n, 1e-3, 2e-5);
    const double uf = MeanReading();
    EXPECT_GT(uf, 0.6);
    EXPECT_LT(uf, 0.7);
    EXPECT_TRUE(SourceAt(1)) << "the source runs at its forced current";
}

// The operator's probe holds net p on system ground for a second of virtual time: only then, and
// only on p's channel, does the source limit.
TEST_F(BusSequences, PinLocationFindsTheProbedChannelWhileTheProbeTouches) {
    const double t0 = bench_->clock().seconds();
    ASSERT_TRUE(bench_->scheduleProbe("P", t0 + 1.0, t0 + 2.0)); // nets match without case
    EXPECT_FALSE(bench_->scheduleProbe("nowhere", t0, t0 + 1.0));
    Ok(ZQsm160_SetAttributeViBoolean(sm_, "", 1150002, VI_FALSE), "mark");
    Ok(ZQsm160_hscDisconnectAll(sm_), "disconnect");
    Ok(rspsam_ConfigureCoupling(psam_, 0), "coupling off");
    const int masks[6][2] = {{0, 0}, {1, 0x88}, {2, 0x88}, {3, 0x22}, {5, 0}, {8, 0}};
    for (const auto& m : masks) {
        Ok(rspsam_cnx_Matrix(psam_, m[0], 255, m[1]), "terminal");
    }
    Ok(rspsam_cnx_Gnd(psam_, 8, VI_TRUE), "ground 8");
    Ok(rspsam_cnx_Gnd(psam_, 4, VI_TRUE), "ground 4");
    Ok(rspsam_SetAttributeViInt32(psam_, "", 1150026, 1), "voltage mode");
    Ok(rspsam_dcs_ConfigureVoltageLevel(psam_, 0.5), "level");
    Ok(rspsam_dcs_ConfigureCurrentLimitRange(psam_, 0), "range");
    Ok(rspsam_dcs_ConfigureCurrentLimit(psam_, 0.01), "limit");
    Ok(rspsam_dcs_ConfigureOutputEnabled(psam_, VI_TRUE), "output");
    Ok(rspsam_ConfigureCoupling(psam_, 192), "coupling");
    Ok(ZQsm160_Connect(sm_, "LABa1", "ABa1"), "couple a1");
    Ok(ZQsm160_Connect(sm_, "LABa2", "ABa2"), "couple a2");
    const struct {
        double at;
        int pin;
        bool limits;
    } cases[] = {
        {0.5, kP, false}, {1.2, kP, true}, {1.4, kQ, false}, {1.6, kOpen, false}, {2.5, kP, false}};
    for (const auto& k : cases) {
        bench_->clock().waitSeconds(t0 + k.at - bench_->clock().seconds());
        Abcd(k.pin, 0, 1);
        EXPECT_EQ(SourceAt(1), k.limits) << "pin P" << k.pin << " at " << k.at << " s";
        Abcd(k.pin, 0, 0);
    }
}

TEST_F(BusSequences, DigitalTerminationPullsTheSenseLineTowardTheDriveLines) {
    // The digital test's lines: 5 V between the high drive line B2 and the low drive line C1
    // (sensed there), the meter on the sense line D2 against ground.
    Dcs(0x04, 0x20, 0x04, 0x20, 1, 5.0, 0.1);
    Ok(rspsam_ConfigureMeasurement(psam_, RSPSAM_FUNCTION_VOLTAGE, 10), "meter");
    Ok(rspsam_cnx_Matrix(psam_, 5, 255, 0x01), "terminal 5");
    Ok(rspsam_cnx_Gnd(psam_, 8, VI_TRUE), "terminal 8");
    Ok(rspsam_ConfigureMultiPoint(psam_, 1, 20, 10, 5e-6), "record");
    const struct {
        int high, low; // relay channels of sides A and B; 4 parks
        double volts;
    } cases[] = {{4, 4, 0.0}, {1, 4, 5.0}, {1, 1, 2.5}, {2, 1, 5.0 / 11}, {1, 3, 5.0 * 100 / 101},
                 {4, 2, 0.0}, {3, 3, 2.5}};
    for (const auto& c : cases) {
        for (int k = 1; k <= 4; ++k) {
            const std::string n = std::to_string(k);
            Ok(rspsam_Disconnect(psam_, ("RACH" + n).c_str(), "RACOM"), "open A");
            Ok(rspsam_Disconnect(psam_, ("RBCH" + n).c_str(), "RBCOM"), "open B");
        }
        const std::string h = std::to_string(c.high), l = std::to_string(c.low);
        Ok(rspsam_Connect(psam_, ("RACH" + h).c_str(), "RACOM"), "close A");
        Ok(rspsam_Connect(psam_, ("RBCH" + l).c_str(), "RBCOM"), "close B");
        EXPECT_NEAR(MeanReading(), c.volts, 0.02) << "DTERM " << c.high << "," << c.low;
    }
}

} // namespace
} // namespace kora::vbench
