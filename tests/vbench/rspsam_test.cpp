// The source and measure module through the driver C functions only (rspsam, with ZQsm160 for the
// pins), on a virtual station: the readings a test engineer expects from the board.
#include <vbench/bench/virtual_bench.h>

#include <rspsam.h>
#include <zqsm160.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

namespace kora::vbench {
namespace {

namespace fs = std::filesystem;

// 10 k between a and b with a 1 k + 1 k path around it through c; a 1 uF capacitor on cp.
constexpr const char* kBoard = "psam board\nR1 a b 10k\nR2 a c 1k\nR3 c b 1k\nC1 cp 0 1u\n";
// P10 is wired to nothing: an open pin.
constexpr const char* kFixture = "MX1 P2 a\nMX1 P3 b\nMX1 P4 c\nMX1 P6 cp\n";
constexpr double kRelay = 0.2, kBus = 0.05;

class VbenchRspsam : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("kora_rspsam_" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        std::ofstream(dir_ / "board.cir") << kBoard;
        std::ofstream(dir_ / "fixture.txt") << kFixture;
        std::ofstream(dir_ / "hw.ini") << "[device->MX1]\nType = SM160\nResourceDesc = PXI1::10\n"
                                          "[device->PSAM1]\nType = PSAM\nResourceDesc = PXI1::11\n"
                                          "[VirtualBench]\nBoard = board.cir\n"
                                          "Fixture = fixture.txt\nRelayResistance = 0.2\n"
                                          "BusResistance = 0.05\nNoiseSeed = 4711\n";
        bench_ = std::make_shared<VirtualBench>();
        bench_->loadStation(LoadStation((dir_ / "hw.ini").string()));
        VirtualBench::activate(bench_);
        ASSERT_EQ(ZQsm160_InitWithOptions("PXI1::10", 1, 1, "", &sm_), VI_SUCCESS);
        ASSERT_EQ(ZQsm160_SetAttributeViBoolean(sm_, "", 1150002, VI_TRUE), VI_SUCCESS);
        ASSERT_EQ(rspsam_InitWithOptions("PXI1::11", 1, 1, "", &psam_), VI_SUCCESS);
        ASSERT_EQ(rspsam_ConfigureCoupling(psam_, 255), VI_SUCCESS);
        ZQsm160_getChannelId(0, "LABA1", &laba1_);
        ZQsm160_getChannelId(0, "LABB1", &labb1_);
    }
    void TearDown() override {
        rspsam_close(psam_);
        ZQsm160_close(sm_);
        VirtualBench::activate(nullptr);
        fs::remove_all(dir_);
    }

    // Every call of these helpers must succeed.
    void Ok(ViStatus s, const char* what) { ASSERT_EQ(s, VI_SUCCESS) << what; }

    // Source terminals 1, 4, 2, 3 and the source mode (1 voltage, 0 current), force LO grounded.
    void Source(int t1, int t4, int t2, int t3, int mode, double volts, double amperes) {
        Ok(rspsam_SetAttributeViInt32(psam_, "", 1150026, mode), "mode");
        const int masks[4][2] = {{1, t1}, {4, t4}, {2, t2}, {3, t3}};
        for (const auto& m : masks) {
            Ok(rspsam_cnx_Matrix(psam_, m[0], 255, m[1]), "source terminal");
        }
        Ok(rspsam_cnx_Gnd(psam_, 4, VI_TRUE), "ground");
        Ok(rspsam_dcs_ConfigureCurrentLimitRange(psam_, 0), "limit range");
        Ok(rspsam_dcs_ConfigureVoltageLevel(psam_, volts), "voltage");
        Ok(rspsam_dcs_ConfigureCurrentLimit(psam_, amperes), "limit");
        Ok(rspsam_dcs_ConfigureOutputEnabled(psam_, VI_TRUE), "output");
    }
    // Meter function (1 voltage, 3 current) and range on terminals 5 and 8; 8 grounded when its
    // mask is 0; the widest low-pass filter (a new range starts at 400 Hz).
    void Meter(int function, double range, int t5, int t8, int samples = 200) {
        Ok(rspsam_ConfigureMeasurement(psam_, function, range), "measurement");
        Ok(rspsam_mu_ConfigureLowpassFilter(psam_, 100e3), "filter");
        Ok(rspsam_cnx_Matrix(psam_, 5, 255, t5), "terminal 5");
        Ok(rspsam_cnx_Matrix(psam_, 8, 255, t8), "terminal 8");
        Ok(rspsam_cnx_Gnd(psam_, 8, t8 == 0), "terminal 8 ground");
        Ok(rspsam_ConfigureMultiPoint(psam_, 1, samples, 10, 5e-6), "record");
        Ok(rspsam_ConfigureTrigger(psam_, 1, 0), "trigger");
    }
    void Pin(ViInt32 line, int pin) {
        Ok(ZQsm160_quickConnect(sm_, 1, line, pin), "pin");
        Ok(ZQsm160_WaitForDebounce(sm_, 1000), "debounce");
    }
    // Mean of a record; status of the read in *status when asked for.
    double Read(ViStatus* status = nullptr) {
        std::vector<double> buffer(8192);
        ViInt32 n = 0;
        ViStatus s = rspsam_ReadMultiPoint(psam_, 1000, 8192, buffer.data(), &n);
        if (status) {
            *status = s;
        } else {
            EXPECT_EQ(s, VI_SUCCESS);
        }
        if (n <= 0) {
            return NAN;
        }
        return std::accumulate(buffer.begin(), buffer.begin() + n, 0.0) / n;
    }
    static double Accuracy(double value, double range) {
        return 5e-4 * std::fabs(value) + 2e-4 * range;
    }

    fs::path dir_;
    std::shared_ptr<VirtualBench> bench_;
    ViSession sm_ = 0, psam_ = 0;
    ViInt32 laba1_ = 0, labb1_ = 0;
};

// Two-wire voltage mode: source on the A lines with its sense, the ammeter between the B lines
// (the LO pin) and the C lines (force LO).
TEST_F(VbenchRspsam, ResistorReadsItsCurrentWithinTheMetersAccuracy) {
    struct Case {
        const char* what;
        int hiPin, loPin;
        double ohms; // what the sensed loop holds besides its relays
        double range;
    } cases[] = {
        {"10 k alone (a to c, through 1 k)", 2, 4, 1e3 * 11e3 / 12e3, 2e-3},
        {"10 k with a 1 k + 1 k path around it", 2, 3, 10e3 * 2e3 / 12e3, 1e-3},
    };
    for (const auto& c : cases) {
        Ok(ZQsm160_hscDisconnectAll(sm_), "disconnect");
        Source(0x88, 0x22, 0x88, 0x44, 1, 1.0, 0.01);
        Meter(RSPSAM_FUNCTION_CURRENT, c.range, 0x44, 0x22);
        Pin(laba1_, c.hiPin);
        Pin(labb1_, c.loPin);
        // The sense points are the system bus lines; the crosspoint and card coupling of each
        // side lie inside the sensed loop.
        const double expected = 1.0 / (c.ohms + 2 * (kRelay + kRelay + kBus));
        const double read = Read();
        EXPECT_NEAR(read, expected, Accuracy(expected, c.range)) << c.what;
        ViBoolean state = VI_FALSE;
        Ok(rspsam_dcs_QueryOutputState(psam_, 0, &state), "query");
        EXPECT_EQ(state, VI_TRUE) << c.what << ": regulating its voltage";
    }

    // The plain 10 k between a and b, without its parallel path: lift R2 off the board.
    ASSERT_TRUE(bench_->circuit().remove("r2"));
    const double read = Read();
    const double expected = 1.0 / (10e3 + 2 * (kRelay + kRelay + kBus));
    EXPECT_NEAR(read, 100e-6, Accuracy(100e-6, 1e-3) + 1e-8);
    EXPECT_NEAR(read, expected, Accuracy(expected, 1e-3));
}

TEST_F(VbenchRspsam, CurrentSourceIntoAnOpenPinHitsItsCompliance) {
    struct Case {
        const char* what;
        int hiPin;
        double amperes, compliance;
        bool atCompliance;
        double volts; // read by the meter across the pins
    } cases[] = {
        {"100 uA into 10 k || 2 k", 2, 100e-6, 5, false, 100e-6 * (10e3 * 2e3 / 12e3)},
        {"1 mA into 10 k || 2 k", 2, 1e-3, 1, true, 1.0},
        {"100 uA into an open pin", 10, 100e-6, 5, true, 5.0},
    };
    for (const auto& c : cases) {
        Ok(ZQsm160_hscDisconnectAll(sm_), "disconnect");
        // Two-wire current mode: source and voltmeter on the A (HI) and B (LO) lines.
        Source(0x88, 0x44, 0x88, 0x44, 0, c.compliance, c.amperes);
        Meter(RSPSAM_FUNCTION_VOLTAGE, 10, 0x88, 0x44);
        Pin(laba1_, c.hiPin);
        Pin(labb1_, 3);
        ViBoolean atVoltage = VI_FALSE, atCurrent = VI_FALSE;
        Ok(rspsam_dcs_QueryOutputState(psam_, 0, &atVoltage), "query 0");
        Ok(rspsam_dcs_QueryOutputState(psam_, 1, &atCurrent), "query 1");
        EXPECT_EQ(atVoltage, c.atCompliance ? VI_TRUE : VI_FALSE) << c.what;
        EXPECT_EQ(atCurrent, c.atCompliance ? VI_FALSE : VI_TRUE) << c.what;
        const double read = Read();
        EXPECT_NEAR(read, c.volts, Accuracy(c.volts, 10) + 1e-3 * c.volts) << c.what;
    }
}

TEST_F(VbenchRspsam, VoltageSourceAtItsCurrentLimitReportsLimiting) {
    Source(0x88, 0x22, 0x88, 0x44, 1, 10.0, 1e-3); // 10 V into 1.67 k would need 6 mA
    Meter(RSPSAM_FUNCTION_CURRENT, 2e-3, 0x44, 0x22);
    Pin(laba1_, 2);
    Pin(labb1_, 3);
    ViBoolean limiting = VI_FALSE;
    Ok(rspsam_dcs_QueryOutputState(psam_, 1, &limiting), "query 1");
    EXPECT_EQ(limiting, VI_TRUE);
    EXPECT_NEAR(Read(), 1e-3, Accuracy(1e-3, 2e-3));
    // A smaller current-limit range caps the limit: 1 mA set, 100 uA allowed.
    Ok(rspsam_dcs_ConfigureCurrentLimitRange(psam_, 3), "range 3");
    Ok(rspsam_ConfigureMeasurement(psam_, RSPSAM_FUNCTION_CURRENT, 200e-6), "range");
    EXPECT_NEAR(Read(), 100e-6, Accuracy(100e-6, 200e-6));
}

TEST_F(VbenchRspsam, RecordStatusForOverRangeAndNoSamples) {
    Source(0x88, 0x22, 0x88, 0x44, 1, 1.0, 0.01);
    Meter(RSPSAM_FUNCTION_CURRENT, 200e-6, 0x44, 0x22, 16);
    Pin(laba1_, 2);
    Pin(labb1_, 3); // 600 uA on the 200 uA range
    std::vector<double> buffer(16);
    ViInt32 n = 0;
    EXPECT_EQ(rspsam_ReadMultiPoint(psam_, 1000, 16, buffer.data(), &n), RSPSAM_WARN_OVER_RANGE);
    ASSERT_EQ(n, 16);
    EXPECT_TRUE(std::isnan(buffer[0]));
    Ok(rspsam_ConfigureMultiPoint(psam_, 1, 0, 10, 5e-6), "empty record");
    EXPECT_EQ(rspsam_ReadMultiPoint(psam_, 1000, 16, buffer.data(), &n), RSPSAM_ERROR_NO_SAMPLES);
    EXPECT_EQ(n, 0);
    // A record longer than the time-out.
    Ok(rspsam_ConfigureMultiPoint(psam_, 1, 1000, 10, 1e-3), "long record");
    EXPECT_EQ(rspsam_ReadMultiPoint(psam_, 100, 16, buffer.data(), &n),
              static_cast<ViStatus>(0xBFFA4016));

    ViChar text[VI_ERROR_MESSAGE_SIZE] = {};
    rspsam_error_message(psam_, RSPSAM_WARN_OVER_RANGE, text);
    EXPECT_STREQ(text, "Measurement over range");
    rspsam_error_message(psam_, RSPSAM_ERROR_NO_SAMPLES, text);
    EXPECT_STREQ(text, "The record holds no sample");
    EXPECT_EQ(rspsam_cnx_Matrix(psam_, 6, 255, 0), static_cast<ViStatus>(0xBFFA4010));
    EXPECT_EQ(rspsam_SetAttributeViInt32(psam_, "", 1150027, 1), static_cast<ViStatus>(0xBFFA4012));
    EXPECT_EQ(rspsam_ConfigureMeasurement(psam_, 2, 1), static_cast<ViStatus>(0xBFFA4013));
    EXPECT_EQ(rspsam_dcs_ConfigureVoltageLevel(psam_, 31), static_cast<ViStatus>(0xBFFA4011));
    EXPECT_EQ(rspsam_Connect(psam_, "RACH5", "RACOM"), static_cast<ViStatus>(0xBFFA4014));
    EXPECT_EQ(rspsam_Connect(psam_, "RBCH2", "RBCOM"), VI_SUCCESS);
}

// A capacitor charged in one call keeps its charge while the relays change and virtual time
// passes, and decays through the discharge unit with R C.
TEST_F(VbenchRspsam, CapacitorChargeOutlivesTheCallsAndDecaysThroughTheDischargeUnit) {
    Source(0x88, 0, 0x88, 0, 1, 5.0, 0.01);
    Meter(RSPSAM_FUNCTION_VOLTAGE, 10, 0x88, 0, 1);
    Pin(laba1_, 6);
    bench_->clock().waitSeconds(10e-3);
    EXPECT_NEAR(Read(), 5.0, 0.01);

    // Source off and away, the pin released, a second of virtual time.
    Ok(rspsam_dcs_ConfigureOutputEnabled(psam_, VI_FALSE), "output off");
    Ok(rspsam_cnx_Matrix(psam_, 1, 255, 0), "force off the bus");
    Ok(rspsam_cnx_Matrix(psam_, 2, 255, 0), "sense off the bus");
    Ok(rspsam_cnx_Matrix(psam_, 5, 255, 0), "meter off the bus");
    Ok(ZQsm160_hscDisconnectAll(sm_), "release");
    bench_->clock().waitSeconds(1.0);
    Ok(rspsam_cnx_Matrix(psam_, 5, 255, 0x88), "meter back");
    Pin(laba1_, 6);
    const double held = Read();
    EXPECT_NEAR(held, 5.0, 0.01) << "still charged";

    // Discharge unit on the A lines: 1 k to ground.
    Ok(rspsam_dch_ConfigureCurrent(psam_, 0), "discharge step");
    Ok(rspsam_cnx_Matrix(psam_, 0, 255, 0x88), "discharge on the bus");
    Ok(rspsam_dch_ConfigureEnabled(psam_, VI_TRUE), "discharge on");
    bench_->clock().waitSeconds(1e-3);
    const double tau = 1e-6 * (1e3 + 3 * kRelay + kRelay + kBus); // unit relay, coupling, card
    const double expected = held * std::exp(-(1e-3 + 5e-6) / tau);
    EXPECT_NEAR(Read(), expected, Accuracy(expected, 10) + 2e-3 * expected);
}

TEST_F(VbenchRspsam, InjectedFaultAndJournal) {
    bench_->journal().clear();
    bench_->faults().add({"rspsam_ReadMultiPoint", 1, true, static_cast<ViStatus>(0xBFFA4F01),
                          "ADC not calibrated"});
    std::vector<double> buffer(4);
    ViInt32 n = -1;
    EXPECT_EQ(rspsam_ReadMultiPoint(psam_, 1000, 4, buffer.data(), &n),
              static_cast<ViStatus>(0xBFFA4F01));
    EXPECT_EQ(n, -1) << "a failed call touches nothing";
    ViChar text[VI_ERROR_MESSAGE_SIZE] = {};
    rspsam_error_message(psam_, static_cast<ViStatus>(0xBFFA4F01), text);
    EXPECT_STREQ(text, "ADC not calibrated");
    Ok(rspsam_cnx_Matrix(psam_, 1, 255, 0x88), "matrix");
    auto last = bench_->journal().last("rspsam_cnx_Matrix");
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->arguments, std::to_string(psam_) + ", 1, 0xff, 0x88");
    EXPECT_EQ(bench_->journal().countOf("rspsam"), 3u);
}

} // namespace
} // namespace kora::vbench
