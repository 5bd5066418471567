// The ICT expansion module through the driver C functions (rspict, with rspsam and ZQsm160), on
// the ICT station: the readings of its virtual-ground ammeter with and without guarding, AC
// impedance and phase with the sine stimulus, the states of its records, journal and faults.
// The switch masks are the ones the library's resistor and capacitor tests send.
#include "vbench/ict_station.h"

#include <vbench/bench/virtual_bench.h>

#include <rspict.h>
#include <rspsam.h>
#include <zqsm160.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <numbers>
#include <numeric>
#include <string>
#include <vector>

namespace kora::vbench {
namespace {

using testing::AnalyseSine;
using testing::BusLine;
using testing::kA1;
using testing::kA2;
using testing::kB1;
using testing::kB2;
using testing::kC1;
using testing::kD2;
using testing::kPinPath;
using testing::kRelay;
using testing::kSettling;
using testing::PhaseDifference;
using testing::Sine;

constexpr ViStatus kWarnOverRange = 0x3FFA2001;
constexpr ViStatus kErrNoRecord = static_cast<ViStatus>(0xBFFA4015);
constexpr ViStatus kErrTimeout = static_cast<ViStatus>(0xBFFA4016);
constexpr ViStatus kErrSwitchMask = static_cast<ViStatus>(0xBFFA4018);
constexpr int kTriggerLine = 111;

// The CMU's current ranges; the gain code is the index (as the library derives it).
constexpr double kRanges[] = {1e-6, 2e-6, 5e-6, 10e-6, 20e-6, 50e-6, 100e-6, 200e-6, 500e-6,
                              1e-3, 2e-3, 5e-3, 10e-3, 20e-3, 50e-3, 100e-3, 200e-3};

int GainCode(double range) {
    const auto* it = std::find_if(std::begin(kRanges), std::end(kRanges),
                                  [&](double r) { return r >= range * (1 - 1e-9); });
    return static_cast<int>(it - std::begin(kRanges));
}

// Stated accuracy of one CMU sample.
double Accuracy(double value, double range) {
    return 1e-3 * std::fabs(value) + 5e-4 * range;
}

struct CmuMasks {
    int m1, m2, m3, m4, m5;
};

class VbenchRspict : public testing::IctStation {
  protected:
    // The CMU as the library configures it: signal code, the range's gain code, filter none,
    // recorder, trigger and switches.
    void Cmu(int signal, double range, CmuMasks m, int samples, double interval, int trigger) {
        Ok(rspict_cmu_ConfigureSigCon(pict_, signal, GainCode(range), 1, 0, range), "sigcon");
        Ok(rspict_cmu_ConfigureRecorder(pict_, samples, interval), "recorder");
        Ok(rspict_cmu_ConfigureTrigger(pict_, trigger, 0), "trigger");
        Ok(rspict_cnx_ConfigureSwitches(pict_, m.m5, m.m1, m.m2, m.m3, m.m4), "switches");
    }
    // The PSAM's meter off the bus, as the guarded modes leave it.
    void MeterOff() {
        Ok(rspsam_cnx_Matrix(psam_, 5, 255, 0), "terminal 5");
        Ok(rspsam_cnx_Matrix(psam_, 8, 255, 0), "terminal 8");
        Ok(rspsam_cnx_Gnd(psam_, 8, VI_FALSE), "terminal 8 ground");
    }
    // Mean of a CMU read (rspict_cmu_Read) of the configured record.
    double ReadMean(ViStatus* status = nullptr) {
        std::vector<double> buffer(8192);
        ViInt32 n = 0;
        const ViStatus s = rspict_cmu_Read(pict_, 1000, 8192, buffer.data(), &n);
        if (status) {
            *status = s;
        } else {
            EXPECT_EQ(s, VI_SUCCESS);
        }
        return n > 0 ? std::accumulate(buffer.begin(), buffer.begin() + n, 0.0) / n : NAN;
    }

    struct AcRecords {
        std::vector<double> u, i;
        double range = 0;
        ViInt32 state = -1;
    };
    // The capacitor test's measurement: both records started by the PSAM's software trigger.
    AcRecords MeasureAc(int samples) {
        AcRecords r;
        Ok(rspict_WaitForSettling(pict_), "settling");
        Ok(rspsam_Initiate(psam_), "psam initiate");
        Ok(rspict_cmu_Initiate(pict_), "cmu initiate");
        Ok(rspsam_trig_SendSoftwareSignal(psam_, 0), "trigger");
        r.u.resize(static_cast<std::size_t>(samples));
        r.i.resize(static_cast<std::size_t>(samples));
        ViInt32 nu = 0, ni = 0;
        Ok(rspsam_FetchMultiPoint(psam_, 2100, samples, r.u.data(), &nu), "psam fetch");
        Ok(rspict_cmu_FetchData(pict_, 1000, samples, r.i.data(), &ni, &r.range, &r.state),
           "cmu fetch");
        EXPECT_EQ(nu, samples);
        EXPECT_EQ(ni, samples);
        return r;
    }
    // Sets up the capacitor test's 2-VOLTAGE wiring for HI and LO: the sine on the A lines, the
    // PSAM's voltmeter across A and C (the C lines held at 0 V by the guard), the CMU on B.
    void AcWiring(int hiPin, BusLine hiLine, int loPin, BusLine loLine, int frequencyCode,
                  int samples, double interval, double range) {
        ReleasePins();
        Dcs(0, 0, 0, 0, 0, 0.0, 0.0);
        Ok(rspict_aos_SetMode(pict_, 0), "aos ac");
        Ok(rspict_aos_ConfigureIct(pict_, frequencyCode, 2, 0), "aos sine");
        Ok(rspict_aos_EnableOutput(pict_, VI_TRUE), "aos on");
        Ok(rspsam_ConfigureMeasurement(psam_, RSPSAM_FUNCTION_VOLTAGE, 2.0), "voltmeter");
        Ok(rspsam_mu_ConfigureLowpassFilter(psam_, 100e3), "filter");
        Ok(rspsam_ConfigureMultiPoint(psam_, 1, samples, 10, interval), "psam record");
        // Later by the bench's default CMU delay of the 100 kHz filter, as the capacitor test does.
        Ok(rspsam_ConfigureTrigger(psam_, kTriggerLine, 8.5e-6), "psam trigger");
        Ok(rspsam_cnx_Matrix(psam_, 5, 255, 0x88), "terminal 5");
        Ok(rspsam_cnx_Gnd(psam_, 8, VI_FALSE), "terminal 8 ground");
        Ok(rspsam_cnx_Matrix(psam_, 8, 255, 0x22), "terminal 8");
        Cmu(1, range, {0x0C, 0xC0, 0xC0, 0xC00, 3}, samples, interval, kTriggerLine);
        Pin(hiLine, hiPin);
        Pin(loLine, loPin);
        Debounce();
    }
};

// Voltage mode with the CMU reading the current into the LO pin, in the wirings of the library's
// guarded resistor modes; the PSAM's source works as a current source held at the voltage by its
// compliance.
TEST_F(VbenchRspict, GuardingThroughTheVirtualGroundReadsTheResistorAlone) {
    const CmuMasks g3 = {0x0C, 0xC0, 0xC0, 0xC00, 0};
    const CmuMasks g4 = {0x0C, 0xC0, 0xC0, 0x3000, 0};
    const CmuMasks g6LoOdd = {0x08, 0xC0, 0x40, 0x3000, 0};
    // A guard held at 0 V on its own bus line still carries the 1 mA of the 1 k from a: the
    // guard pin's path lifts g by 1 mA x kPinPath, which pushes that / 1 k into the LO pin.
    const double threeWireError = 1e-3 * kPinPath / 1e3;
    struct Pinning {
        BusLine line;
        int pin;
    };
    struct Case {
        const char* what;
        Pinning hi, lo;
        std::vector<Pinning> more; // guard and sense pins
        std::array<int, 4> dcs;    // masks of terminals 1, 4, 2, 3
        CmuMasks cmu;
        double range;
        double amperes; // what the resistor network passes at the voltage
        double extra;   // allowed beyond the meter's accuracy
        double volts = 1.0, limit = 0.01;
    } cases[] = {
        {"10 k alone", {kA1, 6}, {kB2, 7}, {}, {0x88, 0x22, 0x88, 0x22}, g3, 200e-6, 1e-4, 0},
        {"10 k with 1 k + 1 k around it, no guard",
         {kA1, 2},
         {kB2, 3},
         {},
         {0x88, 0x22, 0x88, 0x22},
         g3,
         1e-3,
         1.0 / (10e3 * 2e3 / 12e3),
         0},
        {"three-wire guard on g",
         {kA1, 2},
         {kB2, 3},
         {{kC1, 4}},
         {0x88, 0x22, 0x88, 0x22},
         g3,
         200e-6,
         1e-4,
         threeWireError},
        {"four-wire guard: g sensed through its second needle",
         {kA1, 2},
         {kB2, 3},
         {{kC1, 4}, {kD2, 5}},
         {0x88, 0x22, 0x88, 0x11},
         g4,
         200e-6,
         1e-4,
         0},
        {"six wires: HI and LO sensed, g guarded and sensed",
         {kA1, 2},
         {kB2, 3},
         {{kA2, 17}, {kB1, 16}, {kC1, 4}, {kD2, 5}},
         {0x80, 0x22, 0x08, 0x11},
         g6LoOdd,
         200e-6,
         1e-4,
         0},
        // 0.1 V on 10 ohm, sensed at both ends on needles of their own: the pins' paths do
        // not count.
        {"10 ohm on six wires",
         {kA1, 18},
         {kB2, 21},
         {{kA2, 19}, {kB1, 22}},
         {0x80, 0x22, 0x08, 0x11},
         g6LoOdd,
         20e-3,
         0.01,
         0,
         0.1,
         0.05},
    };
    for (const auto& c : cases) {
        ReleasePins();
        MeterOff();
        Dcs(c.dcs[0], c.dcs[1], c.dcs[2], c.dcs[3], 0, c.volts, c.limit);
        Cmu(2, c.range, c.cmu, 200, 5e-6, 1);
        Pin(c.hi.line, c.hi.pin);
        Pin(c.lo.line, c.lo.pin);
        for (const auto& p : c.more) {
            Pin(p.line, p.pin);
        }
        Debounce();
        Ok(rspict_WaitForSettling(pict_), "settling");
        const double read = ReadMean();
        EXPECT_NEAR(read, c.amperes, Accuracy(c.amperes, c.range) + c.extra) << c.what;
        ViBoolean atCurrent = VI_TRUE;
        Ok(rspsam_dcs_QueryOutputState(psam_, 1, &atCurrent), "query");
        EXPECT_EQ(atCurrent, VI_FALSE) << c.what << ": held at its voltage, not at its current";
    }

    // The same 10 ohm on two wires: both pins' paths (and the relays of the sources) add to it.
    ReleasePins();
    Dcs(0x88, 0x22, 0x88, 0x22, 0, 0.1, 0.05);
    Cmu(2, 20e-3, g3, 200, 5e-6, 1);
    Pin(kA1, 18);
    Pin(kB2, 21);
    Debounce();
    const double twoWires = ReadMean();
    EXPECT_LT(twoWires, 0.1 / (10 + 2 * kPinPath));
    EXPECT_GT(twoWires, 0.1 / (10 + 4 * kPinPath));
}

// The sine on the HI pin, the PSAM's record of the voltage and the CMU's of the current, both
// started by the PSAM's software trigger, analysed at the sine's frequency as the library does.
TEST_F(VbenchRspict, SineStimulusGivesImpedanceAndPhaseOfCapacitorAndInductor) {
    constexpr int kPeriods = 2;
    struct Case {
        const char* what;
        int hiPin, loPin;
        BusLine hiLine, loLine;
        int frequencyCode;
        int perPeriod; // samples
        double hertz;
        double interval;
        std::complex<double> (*impedance)(double omega);
        double range;
    } cases[] = {
        {"1 uF at 1 kHz", 8, 9, kA1, kB2, 1, 200, 1e3, 5e-6,
         [](double w) { return std::complex<double>(0, -1 / (w * 1e-6)); }, 10e-3},
        {"1 uF at 100 Hz", 8, 9, kA1, kB2, 0, 400, 100, 25e-6,
         [](double w) { return std::complex<double>(0, -1 / (w * 1e-6)); }, 1e-3},
        {"1 uF at 10 kHz", 8, 9, kA1, kB2, 2, 20, 10e3, 5e-6,
         [](double w) { return std::complex<double>(0, -1 / (w * 1e-6)); }, 100e-3},
        {"100 mH at 1 kHz", 10, 11, kA1, kB2, 1, 200, 1e3, 5e-6,
         [](double w) { return std::complex<double>(0, w * 0.1); }, 2e-3},
    };
    for (const auto& c : cases) {
        const int samples = c.perPeriod * kPeriods;
        AcWiring(c.hiPin, c.hiLine, c.loPin, c.loLine, c.frequencyCode, samples, c.interval,
                 c.range);
        const AcRecords r = MeasureAc(samples);
        EXPECT_EQ(r.state, RSPICT_CMU_STATE_OK) << c.what;
        EXPECT_DOUBLE_EQ(r.range, c.range) << c.what;
        const Sine u = AnalyseSine(r.u, kPeriods), i = AnalyseSine(r.i, kPeriods);
        // The voltmeter sits on the A bus line, the virtual ground holds the B bus line: between
        // them the part and both pins' paths.
        const double w = 2 * std::numbers::pi * c.hertz;
        const std::complex<double> z = c.impedance(w) + 2 * kPinPath;
        EXPECT_NEAR(u.amplitude, 1.0, 0.01) << c.what << ": the sine's 1 V";
        EXPECT_NEAR(i.amplitude, u.amplitude / std::abs(z), 5e-3 * u.amplitude / std::abs(z))
            << c.what;
        EXPECT_NEAR(PhaseDifference(u, i), std::arg(z) * 180 / std::numbers::pi, 1.0) << c.what;
        EXPECT_NEAR(i.offset, 0, 1e-3 * c.range) << c.what << ": no offset, no DC current";
    }
    // The 1 uF at 1 kHz in the terms a test engineer states: 2 pi f C V, current leading by 90.
    AcWiring(8, kA1, 9, kB2, 1, 400, 5e-6, 10e-3);
    const AcRecords r = MeasureAc(400);
    const Sine u = AnalyseSine(r.u, kPeriods), i = AnalyseSine(r.i, kPeriods);
    const double expected = 2 * std::numbers::pi * 1e3 * 1e-6 * 1.0;
    EXPECT_NEAR(i.amplitude, expected, 5e-3 * expected);
    EXPECT_NEAR(PhaseDifference(u, i), -90, 0.5);
}

// The sine's offset: a resistor passes it as a direct current on top of the sine's current (in
// phase with the voltage), a capacitor blocks it.
TEST_F(VbenchRspict, SineOffsetDrivesADirectCurrentOnlyThroughResistiveParts) {
    constexpr int kPeriods = 2, kSamples = 400;
    struct Case {
        const char* what;
        int hiPin, loPin;
        int offsetCode;
        double volts;      // the offset
        double directAmps; // the current's mean
        double sineAmps;   // its amplitude
        double phase;      // of the voltage against the current
        double range;      // holds the current's peak
    } cases[] = {
        {"10 k, no offset", 6, 7, 0, 0, 0, 1e-4, 0, 200e-6},
        {"10 k, positive offset", 6, 7, 1, 1, 1e-4, 1e-4, 0, 500e-6},
        {"10 k, negative offset", 6, 7, 2, -1, -1e-4, 1e-4, 0, 500e-6},
        {"1 uF, positive offset", 8, 9, 1, 1, 0, 2 * std::numbers::pi * 1e3 * 1e-6, -90, 10e-3},
    };
    for (const auto& c : cases) {
        AcWiring(c.hiPin, kA1, c.loPin, kB2, 1, kSamples, 5e-6, c.range);
        Ok(rspict_aos_ConfigureIct(pict_, 1, 2, c.offsetCode), "offset");
        Ok(rspsam_ConfigureMeasurement(psam_, RSPSAM_FUNCTION_VOLTAGE, 5.0), "voltmeter");
        // A new range starts from the 400 Hz filter: open it again for the sine.
        Ok(rspsam_mu_ConfigureLowpassFilter(psam_, 100e3), "filter");
        const AcRecords r = MeasureAc(kSamples);
        const Sine u = AnalyseSine(r.u, kPeriods), i = AnalyseSine(r.i, kPeriods);
        EXPECT_NEAR(u.offset, c.volts, 0.01) << c.what;
        EXPECT_NEAR(u.amplitude, 1.0, 0.01) << c.what;
        EXPECT_NEAR(i.offset, c.directAmps, 0.01 * 1e-4 + 1e-3 * r.range) << c.what;
        EXPECT_NEAR(i.amplitude, c.sineAmps, 0.01 * c.sineAmps) << c.what;
        EXPECT_NEAR(PhaseDifference(u, i), c.phase, 1.0) << c.what;
    }

    // Without any capacitor or inductor on the board nothing else makes the circuit follow
    // virtual time: the PSAM's record must still see the sine on the 10 k.
    ASSERT_TRUE(bench_->circuit().remove("c1"));
    ASSERT_TRUE(bench_->circuit().remove("l1"));
    AcWiring(6, kA1, 7, kB2, 1, kSamples, 5e-6, 500e-6);
    Ok(rspict_aos_ConfigureIct(pict_, 1, 2, 1), "offset");
    const AcRecords r = MeasureAc(kSamples);
    const Sine u = AnalyseSine(r.u, kPeriods), i = AnalyseSine(r.i, kPeriods);
    EXPECT_NEAR(u.amplitude, 1.0, 0.01);
    EXPECT_NEAR(u.offset, 1.0, 0.01);
    EXPECT_NEAR(PhaseDifference(u, i), 0, 1.0);
}

TEST_F(VbenchRspict, RecordStatesRangesAndTimeOuts) {
    struct Case {
        const char* what;
        int frequencyCode;
        double range;
        bool autoRange;
        ViInt32 state;
        double rangeAfter;
    } cases[] = {
        {"6.3 mA on the 1 mA range", 1, 1e-3, false, RSPICT_CMU_STATE_OVER_RANGE, 1e-3},
        {"0.63 mA on the 100 mA range", 0, 100e-3, false, RSPICT_CMU_STATE_UNDER_RANGE, 100e-3},
        {"6.3 mA with auto-range from 100 mA", 1, 100e-3, true, RSPICT_CMU_STATE_OK, 10e-3},
    };
    for (const auto& c : cases) {
        const int samples = c.frequencyCode == 0 ? 400 : 200;
        const double interval = c.frequencyCode == 0 ? 25e-6 : 5e-6;
        AcWiring(8, kA1, 9, kB2, c.frequencyCode, samples, interval, c.range);
        Ok(rspict_cmu_ConfigAutoRange(pict_, c.autoRange), "auto-range");
        const AcRecords r = MeasureAc(samples);
        EXPECT_EQ(r.state, c.state) << c.what;
        EXPECT_DOUBLE_EQ(r.range, c.rangeAfter) << c.what;
        const auto nans =
            std::count_if(r.i.begin(), r.i.end(), [](double v) { return std::isnan(v); });
        EXPECT_EQ(nans > 0, c.state == RSPICT_CMU_STATE_OVER_RANGE) << c.what;
        Ok(rspict_cmu_ConfigAutoRange(pict_, VI_FALSE), "auto-range off");
    }

    // The same over-range record through rspict_cmu_Read: the PSAM's over-range warning.
    AcWiring(8, kA1, 9, kB2, 1, 200, 5e-6, 1e-3);
    ViStatus status = VI_SUCCESS;
    ReadMean(&status);
    EXPECT_EQ(status, kWarnOverRange);

    // Armed on the PSAM's trigger line, but no trigger comes: time-out after the time-out.
    std::vector<double> buffer(200);
    ViInt32 n = -1, state = -1;
    ViReal64 range = 0;
    Ok(rspict_cmu_Initiate(pict_), "initiate");
    const int64_t before = bench_->clock().nowNs();
    Ok(rspict_cmu_FetchData(pict_, 250, 200, buffer.data(), &n, &range, &state), "fetch");
    EXPECT_EQ(state, RSPICT_CMU_STATE_TIMEOUT);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(bench_->clock().nowNs() - before, 250'000'000);
    // Nothing armed any more; and a record longer than the time-out of a read.
    EXPECT_EQ(rspict_cmu_FetchData(pict_, 250, 200, buffer.data(), &n, &range, &state),
              kErrNoRecord);
    Ok(rspict_cmu_ConfigureRecorder(pict_, 1000, 1e-3), "long record");
    EXPECT_EQ(rspict_cmu_Read(pict_, 100, 200, buffer.data(), &n), kErrTimeout);

    ViChar text[VI_ERROR_MESSAGE_SIZE] = {};
    const struct {
        ViStatus code;
        const char* text;
    } texts[] = {
        {kWarnOverRange, "Measurement over range"},
        {kErrNoRecord, "No record was started (rspict_cmu_Initiate)"},
        {kErrTimeout, "The record did not complete within the time-out"},
        {kErrSwitchMask, "A switch mask has a bit that reaches no bus line"},
    };
    for (const auto& t : texts) {
        Ok(rspict_error_message(pict_, t.code, text), "error message");
        EXPECT_STREQ(text, t.text);
    }
}

// DC mode: the level behind the series resistance that the range code picks, read by the CMU.
TEST_F(VbenchRspict, AosDcLevelDrivesThroughTheSeriesResistanceOfItsRangeCode) {
    struct Case {
        ViInt32 range, code;
        double seriesOhms;
    } cases[] = {{0, 0, 0}, {10, 1, 10}, {100, 2, 100}, {1000, 3, 1e3}};
    Pin(kA1, 6);
    Pin(kB2, 7);
    Debounce();
    Cmu(2, 500e-6, {0x0C, 0, 0xC0, 0, 0x03}, 100, 5e-6, 1);
    Ok(rspict_aos_SetMode(pict_, 1), "dc");
    Ok(rspict_aos_EnableOutput(pict_, VI_TRUE), "on");
    for (const auto& c : cases) {
        Ok(rspict_aos_ConfigureDc(pict_, c.range, c.code, 2.0), "dc level");
        const double expected = 2.0 / (10e3 + c.seriesOhms + kRelay + 2 * kPinPath);
        EXPECT_NEAR(ReadMean(), expected, Accuracy(expected, 500e-6)) << c.seriesOhms << " ohm";
    }
    Ok(rspict_aos_EnableOutput(pict_, VI_FALSE), "off");
    EXPECT_NEAR(ReadMean(), 0, Accuracy(0, 500e-6));
}

TEST_F(VbenchRspict, JournalFaultsAndArgumentChecks) {
    bench_->journal().clear();
    Ok(rspict_cnx_ConfigureSwitches(pict_, 3, 0x0C, 0xC0, 0xC0, 0xC00), "switches");
    auto last = bench_->journal().last("rspict_cnx_ConfigureSwitches");
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->arguments, std::to_string(pict_) + ", 0x3, 0xc, 0xc0, 0xc0, 0xc00");

    // Settling takes the station's settling time of virtual time.
    const int64_t before = bench_->clock().nowNs();
    Ok(rspict_WaitForSettling(pict_), "settling");
    EXPECT_EQ(bench_->clock().nowNs() - before, static_cast<int64_t>(kSettling * 1e9));

    // Bits that reach no line, codes out of their tables, a handle that is not open.
    struct Bad {
        const char* what;
        ViStatus (*call)(ViSession);
        ViStatus expected;
    } bad[] = {
        {"guard output on an A line",
         [](ViSession vi) { return rspict_cnx_ConfigureSwitches(vi, 0, 0x0C, 0x01, 0, 0); },
         kErrSwitchMask},
        {"AOS output beyond the eight lines",
         [](ViSession vi) { return rspict_cnx_ConfigureSwitches(vi, 0x100, 0, 0, 0, 0); },
         kErrSwitchMask},
        {"amplitude code 3", [](ViSession vi) { return rspict_aos_ConfigureIct(vi, 1, 3, 0); },
         static_cast<ViStatus>(0xBFFA4011)},
        {"DC level beyond 10 V", [](ViSession vi) { return rspict_aos_ConfigureDc(vi, 0, 0, 12); },
         static_cast<ViStatus>(0xBFFA4011)},
        {"gain code 17",
         [](ViSession vi) { return rspict_cmu_ConfigureSigCon(vi, 1, 17, 1, 0, 0.1); },
         static_cast<ViStatus>(0xBFFA4011)},
        {"trigger source 2", [](ViSession vi) { return rspict_cmu_ConfigureTrigger(vi, 2, 0); },
         static_cast<ViStatus>(0xBFFA4011)},
        {"mode 2", [](ViSession vi) { return rspict_aos_SetMode(vi, 2); },
         static_cast<ViStatus>(0xBFFA4011)},
        {"no session", [](ViSession vi) { return rspict_aos_SetMode(vi + 100, 1); },
         static_cast<ViStatus>(0xBFFA4001)},
    };
    const std::size_t failuresBefore = bench_->journal().failures();
    for (const auto& b : bad) {
        EXPECT_EQ(b.call(pict_), b.expected) << b.what;
    }
    EXPECT_EQ(bench_->journal().failures() - failuresBefore, std::size(bad))
        << "every refused call is journaled with its error";

    // An injected fault: the call fails with its code and touches nothing; the driver's message
    // is the injected one.
    bench_->faults().add({"rspict_cmu_FetchData", 1, false, static_cast<ViStatus>(0xBFFA4F22),
                          "CMU record memory fault"});
    Ok(rspict_cmu_Initiate(pict_), "initiate");
    std::vector<double> buffer(4);
    ViInt32 n = -7, state = -7;
    ViReal64 range = -7;
    EXPECT_EQ(rspict_cmu_FetchData(pict_, 1000, 4, buffer.data(), &n, &range, &state),
              static_cast<ViStatus>(0xBFFA4F22));
    EXPECT_EQ(n, -7);
    EXPECT_EQ(state, -7);
    ViChar text[VI_ERROR_MESSAGE_SIZE] = {};
    Ok(rspict_error_message(pict_, static_cast<ViStatus>(0xBFFA4F22), text), "message");
    EXPECT_STREQ(text, "CMU record memory fault");
    auto failed = bench_->journal().last("rspict_cmu_FetchData");
    ASSERT_TRUE(failed.has_value());
    EXPECT_TRUE(failed->injected);
    // Only that one call failed: the record is still there for the next fetch.
    Ok(rspict_cmu_FetchData(pict_, 1000, 4, buffer.data(), &n, &range, &state), "fetch");
    EXPECT_EQ(n, 4);
}

} // namespace
} // namespace kora::vbench
