// The ICT station of tests/vbench/data/ict_station.ini, brought up through the drivers: the
// matrix card with its bus coupling on, the PSAM coupled to the analog bus, the PICT and the PSU
// opened with a reset. Tests drive it through the driver C functions only and look at the bench
// (clock, journal, faults, models) where a driver has no call for it.
#pragma once

#include "vbench/ngspice_runner.h"

#include <vbench/bench/virtual_bench.h>

#include <rspict.h>
#include <rspsam.h>
#include <rspsu.h>
#include <zqsm160.h>

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

namespace kora::vbench::testing {

// Analog bus lines in the order of the card's lines LABA1 .. LABD2.
enum BusLine { kA1, kA2, kB1, kB2, kC1, kC2, kD1, kD2 };

// Station values of ict_station.ini.
constexpr double kRelay = 0.2, kBus = 0.05, kSettling = 2e-3;
// A pin's way to its system bus line: crosspoint, card coupling relay and bus line.
constexpr double kPinPath = kRelay + kRelay + kBus;

class IctStation : public ::testing::Test {
  protected:
    void SetUp() override {
        bench_ = std::make_shared<VirtualBench>();
        bench_->loadStation(LoadStation(VbenchDataDir() + "ict_station.ini"));
        VirtualBench::activate(bench_);
        ASSERT_EQ(ZQsm160_InitWithOptions("CAN0::0::1", 1, 1, "", &sm_), VI_SUCCESS);
        ASSERT_EQ(ZQsm160_SetAttributeViBoolean(sm_, "", 1150002, VI_TRUE), VI_SUCCESS);
        ASSERT_EQ(rspsam_InitWithOptions("CAN0::0::2", 1, 1, "", &psam_), VI_SUCCESS);
        ASSERT_EQ(rspsam_ConfigureCoupling(psam_, 255), VI_SUCCESS);
        ASSERT_EQ(rspict_InitWithOptions("CAN0::0::3", 1, 1, "", &pict_), VI_SUCCESS);
        ASSERT_EQ(rspsu_InitWithOptions("CAN0::0::4", 1, 1, "", &psu_), VI_SUCCESS);
        static const char* names[] = {"LABA1", "LABA2", "LABB1", "LABB2",
                                      "LABC1", "LABC2", "LABD1", "LABD2"};
        for (int i = 0; i < 8; ++i) {
            ASSERT_EQ(ZQsm160_getChannelId(0, names[i], &line_[static_cast<std::size_t>(i)]),
                      VI_SUCCESS);
        }
    }
    void TearDown() override {
        rspsu_close(psu_);
        rspict_close(pict_);
        rspsam_close(psam_);
        ZQsm160_close(sm_);
        VirtualBench::activate(nullptr);
    }

    static void Ok(ViStatus s, const char* what) { ASSERT_EQ(s, VI_SUCCESS) << what; }

    // Puts a pin (P1..P160) on a bus line, as the library's pin connection does.
    void Pin(BusLine line, int pin) {
        Ok(ZQsm160_quickConnect(sm_, 1, line_[static_cast<std::size_t>(line)], pin), "pin");
    }
    void Debounce() { Ok(ZQsm160_WaitForDebounce(sm_, 1000), "debounce"); }
    void ReleasePins() { Ok(ZQsm160_hscDisconnectAll(sm_), "disconnect"); }

    // The PSAM's DC source: masks of terminals 1, 4, 2, 3, attribute 1150026, level, limit;
    // current-limit range 0, terminal 4 grounded, output on.
    void Dcs(int t1, int t4, int t2, int t3, int mode, double volts, double amperes) {
        Ok(rspsam_SetAttributeViInt32(psam_, "", 1150026, mode), "source mode");
        Ok(rspsam_cnx_Gnd(psam_, 4, VI_TRUE), "ground");
        const int masks[4][2] = {{1, t1}, {4, t4}, {2, t2}, {3, t3}};
        for (const auto& m : masks) {
            Ok(rspsam_cnx_Matrix(psam_, m[0], 255, m[1]), "source terminal");
        }
        Ok(rspsam_dcs_ConfigureVoltageLevel(psam_, volts), "voltage");
        Ok(rspsam_dcs_ConfigureCurrentLimitRange(psam_, 0), "limit range");
        Ok(rspsam_dcs_ConfigureCurrentLimit(psam_, amperes), "limit");
        Ok(rspsam_dcs_ConfigureOutputEnabled(psam_, VI_TRUE), "output");
    }

    std::shared_ptr<VirtualBench> bench_;
    ViSession sm_ = 0, psam_ = 0, pict_ = 0, psu_ = 0;
    std::array<ViInt32, 8> line_{};
};

// The single-frequency analysis of a record of k periods: amplitude, mean and phase in degrees.
struct Sine {
    double amplitude = 0, offset = 0, phase = 0;
};

inline Sine AnalyseSine(const std::vector<double>& x, int periods) {
    const double n = static_cast<double>(x.size());
    double a = 0, b = 0, sum = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double angle = 2 * std::numbers::pi * periods * static_cast<double>(i) / n;
        a += x[i] * std::cos(angle);
        b += x[i] * std::sin(angle);
        sum += x[i];
    }
    a *= 2 / n;
    b *= 2 / n;
    return {std::hypot(a, b), sum / n, std::atan2(a, b) * 180 / std::numbers::pi};
}

// Phase of u against i in degrees, within -180 .. 180.
inline double PhaseDifference(const Sine& u, const Sine& i) {
    double d = std::fmod(u.phase - i.phase, 360.0);
    if (d > 180) {
        d -= 360;
    } else if (d <= -180) {
        d += 360;
    }
    return d;
}

} // namespace kora::vbench::testing
