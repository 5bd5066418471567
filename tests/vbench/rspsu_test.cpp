// The power supply module through the driver C functions (rspsu, with ZQsm160 for the pins), on
// the ICT station: the library's start preset and a supply preset of channel 2 into the 100 ohm
// load of the board, its readings, current limiting, remote sensing, argument checks, journal and
// faults.
#include "vbench/ict_station.h"

#include <vbench/bench/virtual_bench.h>
#include <vbench/modules/psu.h>

#include <rspsu.h>
#include <zqsm160.h>

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace kora::vbench {
namespace {

using testing::kC1;
using testing::kC2;
using testing::kD1;
using testing::kD2;
using testing::kPinPath;
using testing::kRelay;

constexpr double kLoad = 100;
// Channel 2's loop through the load with local sensing: on each side a terminal relay, the
// module's coupling relay and the pin's path.
constexpr double kLoop = kLoad + 2 * (kRelay + kRelay + kPinPath);

class VbenchRspsu : public testing::IctStation {
  protected:
    // The library's start preset: coupling and connections open, both channels supplying 5 V
    // with a 5 mA limit on the 10 mA range, ten samples 100 us apart.
    void StartPreset() {
        Ok(rspsu_ConfigureCoupling(psu_, 0), "coupling off");
        Ok(rspsu_DisconnectAll(psu_), "disconnect all");
        Ok(rspsu_ConfigureGround(psu_, "CH1", VI_FALSE), "ground CH1");
        Ok(rspsu_ConfigureGround(psu_, "CH2", VI_FALSE), "ground CH2");
        for (const char* ch : {"CH1", "CH2"}) {
            Ok(rspsu_ConfigureMode(psu_, ch, 0), "mode");
            Ok(rspsu_ConfigureOutputRange(psu_, ch, RSPSU_RANGE_VOLTAGE, 50.0), "voltage range");
            Ok(rspsu_ConfigureVoltageLevel(psu_, ch, 5.0), "level");
            Ok(rspsu_ConfigureCurrentLimit(psu_, ch, 0.005), "limit");
            Ok(rspsu_ConfigureOutputRange(psu_, ch, RSPSU_RANGE_CURRENT, 0.01), "current range");
            Ok(rspsu_ConfigureOutputEnabled(psu_, ch, VI_TRUE), "output");
            Ok(rspsu_ConfigureMeasurement(psu_, ch, 10, 0.0001, 0), "measurement");
        }
    }
    // Channel 2 on the C and D lines as a grounded supply on the 100 mA range: HI on ABc1, LO on
    // ABd1, the CH2 side of the module coupled; the load's needles on the same lines.
    void Channel2OnTheLoad(double volts, double limit) {
        Ok(rspsu_Connect(psu_, "CH2_HI", "ABc1"), "HI");
        Ok(rspsu_Connect(psu_, "CH2_LO", "ABd1"), "LO");
        Ok(rspsu_ConfigureGround(psu_, "CH2", VI_TRUE), "ground");
        Ok(rspsu_ConfigureVoltageLevel(psu_, "CH2", volts), "level");
        Ok(rspsu_ConfigureOutputRange(psu_, "CH2", RSPSU_RANGE_CURRENT, 0.1), "range");
        Ok(rspsu_ConfigureCurrentLimit(psu_, "CH2", limit), "limit");
        Ok(rspsu_ConfigureCoupling(psu_, 0xF0), "coupling");
        Pin(kC1, 12);
        Pin(kD1, 13);
        Debounce();
    }
    double Measure(ViInt32 quantity) {
        ViReal64 v = NAN;
        Ok(rspsu_Measure(psu_, "CH2", quantity, &v), "measure");
        return v;
    }
    static double CurrentAccuracy(double amperes) { return 1e-3 * std::fabs(amperes) + 5e-4 * 0.1; }
    static double VoltageAccuracy(double volts) { return 5e-4 * std::fabs(volts) + 2e-4 * 50; }
};

TEST_F(VbenchRspsu, SupplyIntoTheBoardLoadReadsItsVoltageCurrentAndLimit) {
    struct Case {
        const char* what;
        double volts, limit;       // level (compliance in mode 1) and current limit
        double amperes, voltsRead; // what the channel reads
        int mode;                  // 0 supply, 1 constant current
        bool coupled, remote;      // CH2 side coupled; sensing on the load's own needles
        bool limited;              // the current-limit flag
    } cases[] = {
        {"5 V into 100 ohm and the relays", 5, 0.1, 5 / kLoop, 5, 0, true, false, false},
        {"5 V sensed at the load", 5, 0.1, 5 / kLoad, 5, 0, true, true, false},
        {"20 mA limit", 5, 0.02, 0.02, 0.02 * kLoop, 0, true, false, true},
        {"constant 20 mA, 5 V compliance", 5, 0.02, 0.02, 0.02 * kLoop, 1, true, false, true},
        {"constant 20 mA held at a 1 V compliance", 1, 0.02, 1 / kLoop, 1, 1, true, false, false},
        {"coupling open: nothing on the load", 5, 0.1, 0, 5, 0, false, false, false},
    };
    for (const auto& c : cases) {
        ReleasePins();
        StartPreset();
        Channel2OnTheLoad(c.volts, c.limit);
        Ok(rspsu_ConfigureMode(psu_, "CH2", c.mode), "mode");
        if (c.remote) {
            Ok(rspsu_Connect(psu_, "CH2_SHI", "ABc2"), "sense HI");
            Ok(rspsu_Connect(psu_, "CH2_SLO", "ABd2"), "sense LO");
            Pin(kC2, 14);
            Pin(kD2, 15);
            Debounce();
        }
        Ok(rspsu_ConfigureRemoteSensing(psu_, "CH2", c.remote), "sensing");
        if (!c.coupled) {
            Ok(rspsu_ConfigureCoupling(psu_, 0), "coupling off");
        }
        const double amperes = Measure(RSPSU_MEASURE_CURRENT);
        const double volts = Measure(RSPSU_MEASURE_VOLTAGE);
        EXPECT_NEAR(amperes, c.amperes, CurrentAccuracy(c.amperes)) << c.what;
        EXPECT_NEAR(volts, c.voltsRead, VoltageAccuracy(c.voltsRead)) << c.what;
        EXPECT_EQ(PsuOf(*bench_, "PSU1").currentLimited(1), c.limited) << c.what;
        if (c.remote) {
            EXPECT_NEAR(volts / amperes, kLoad, 2e-3 * kLoad) << "V/I is the load itself";
        }
    }
    // Channel 1 stayed at its start preset, open: no current.
    ViReal64 ch1 = NAN;
    Ok(rspsu_Measure(psu_, "CH1", RSPSU_MEASURE_CURRENT, &ch1), "CH1");
    EXPECT_NEAR(ch1, 0, 1e-3 * 0.01);
}

TEST_F(VbenchRspsu, RangesLimitsAndNamesAreChecked) {
    StartPreset();
    Ok(rspsu_ConfigureOutputRange(psu_, "CH2", RSPSU_RANGE_CURRENT, 1.0), "1 A range");
    Ok(rspsu_ConfigureCurrentLimit(psu_, "CH2", 0.5), "0.5 A limit");
    struct Bad {
        const char* what;
        ViStatus (*call)(ViSession);
        ViStatus code;
        const char* text;
    } bad[] = {
        {"range below the limit",
         [](ViSession vi) { return rspsu_ConfigureOutputRange(vi, "CH2", 0, 0.1); },
         static_cast<ViStatus>(0xBFFA401B),
         "The current limit exceeds this current range; lower the limit first"},
        {"voltage range below the level",
         [](ViSession vi) {
             rspsu_ConfigureVoltageLevel(vi, "CH1", 20);
             return rspsu_ConfigureOutputRange(vi, "CH1", 1, 10);
         },
         static_cast<ViStatus>(0xBFFA401C),
         "The voltage level exceeds this voltage range; lower the level first"},
        {"limit above the range",
         [](ViSession vi) { return rspsu_ConfigureCurrentLimit(vi, "CH1", 0.02); },
         static_cast<ViStatus>(0xBFFA4011), "Value out of range"},
        {"level above the range",
         [](ViSession vi) { return rspsu_ConfigureVoltageLevel(vi, "CH1", 60); },
         static_cast<ViStatus>(0xBFFA4011), "Value out of range"},
        {"CH1 reaches no C line", [](ViSession vi) { return rspsu_Connect(vi, "CH1_HI", "ABc1"); },
         static_cast<ViStatus>(0xBFFA4005),
         "No relay of the module connects this terminal and bus line"},
        {"no terminal CH3_HI", [](ViSession vi) { return rspsu_Connect(vi, "CH3_HI", "ABa1"); },
         static_cast<ViStatus>(0xBFFA4010), "Unknown terminal"},
        {"no line ABe1", [](ViSession vi) { return rspsu_Disconnect(vi, "CH1_HI", "ABe1"); },
         static_cast<ViStatus>(0xBFFA401A), "Unknown bus line (ABa1 to ABd2)"},
        {"no channel CH3", [](ViSession vi) { return rspsu_ConfigureMode(vi, "CH3", 0); },
         static_cast<ViStatus>(0xBFFA4019), "Unknown channel (CH1 or CH2)"},
        {"mode 2", [](ViSession vi) { return rspsu_ConfigureMode(vi, "CH1", 2); },
         static_cast<ViStatus>(0xBFFA4011), "Value out of range"},
        {"quantity 2",
         [](ViSession vi) {
             ViReal64 v = 0;
             return rspsu_Measure(vi, "CH1", 2, &v);
         },
         static_cast<ViStatus>(0xBFFA4011), "Value out of range"},
        {"trigger source 1",
         [](ViSession vi) { return rspsu_ConfigureMeasurement(vi, "CH1", 10, 1e-4, 1); },
         static_cast<ViStatus>(0xBFFA4011), "Value out of range"},
        {"coupling mask 0x100", [](ViSession vi) { return rspsu_ConfigureCoupling(vi, 0x100); },
         static_cast<ViStatus>(0xBFFA4011), "Value out of range"},
    };
    for (const auto& b : bad) {
        EXPECT_EQ(b.call(psu_), b.code) << b.what;
        ViChar text[VI_ERROR_MESSAGE_SIZE] = {};
        Ok(rspsu_error_message(psu_, b.code, text), "message");
        EXPECT_STREQ(text, b.text) << b.what;
    }
    // In the order the library keeps, the lower range is accepted.
    Ok(rspsu_ConfigureCurrentLimit(psu_, "CH2", 0.05), "limit first");
    EXPECT_EQ(rspsu_ConfigureOutputRange(psu_, "CH2", RSPSU_RANGE_CURRENT, 0.1), VI_SUCCESS);
    // A range between the module's ranges is rounded up to the next.
    EXPECT_EQ(rspsu_ConfigureOutputRange(psu_, "CH2", RSPSU_RANGE_CURRENT, 0.06), VI_SUCCESS);
    EXPECT_DOUBLE_EQ(PsuOf(*bench_, "PSU1").currentRange(1), 0.1);
}

TEST_F(VbenchRspsu, JournalAndInjectedFault) {
    bench_->journal().clear();
    Ok(rspsu_Connect(psu_, "CH2_HI", "ABc1"), "connect");
    Ok(rspsu_ConfigureCoupling(psu_, 0xF0), "coupling");
    EXPECT_EQ(bench_->journal().last("rspsu_Connect")->arguments,
              std::to_string(psu_) + ", \"CH2_HI\", \"ABc1\"");
    EXPECT_EQ(bench_->journal().last("rspsu_ConfigureCoupling")->arguments,
              std::to_string(psu_) + ", 0xf0");

    bench_->faults().add(
        {"rspsu_Measure", 1, true, static_cast<ViStatus>(0xBFFA4F31), "PAC module not responding"});
    for (int attempt = 0; attempt < 2; ++attempt) {
        ViReal64 v = -1;
        EXPECT_EQ(rspsu_Measure(psu_, "CH2", RSPSU_MEASURE_VOLTAGE, &v),
                  static_cast<ViStatus>(0xBFFA4F31));
        EXPECT_EQ(v, -1) << "a failed call touches nothing";
    }
    ViChar text[VI_ERROR_MESSAGE_SIZE] = {};
    Ok(rspsu_error_message(psu_, static_cast<ViStatus>(0xBFFA4F31), text), "message");
    EXPECT_STREQ(text, "PAC module not responding");
    EXPECT_EQ(bench_->journal().count("rspsu_Measure"), 2u);
    EXPECT_EQ(bench_->journal().failures(), 2u);
    EXPECT_EQ(bench_->journal().countOf("rspsu"), 5u);
}

} // namespace
} // namespace kora::vbench
