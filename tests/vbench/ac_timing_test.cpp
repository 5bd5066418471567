// Records that line up in time: a PSAM voltage record against a CMU current record, both started
// by the PSAM's software trigger, the PSAM's later by the bench's default CMU delay of its filter
// as the capacitor test sets it. A pure capacitor and a pure inductor (1 mohm relays and bus
// lines) must read -90 and +90 degrees at every stimulus frequency.
#include "vbench/ict_station.h"

#include <vbench/bench/virtual_bench.h>
#include <vbench/modules/pict.h>
#include <vbench/modules/psam.h>
#include <vbench/solver/solver.h>

#include <rspict.h>
#include <rspsam.h>
#include <zqsm160.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace kora::vbench {
namespace {

namespace fs = std::filesystem;
using testing::AnalyseSine;
using testing::PhaseDifference;
using testing::Sine;

constexpr const char* kBoard = "pure parts\nC1 c1 c2 1u\nL1 l1 l2 10m\n";
constexpr const char* kFixture = "MX1 P1 c1\nMX1 P2 c2\nMX1 P3 l1\nMX1 P4 l2\n";
constexpr int kTriggerLine = 111;
constexpr double kCmuDelay100k = 8.5e-6; // the bench's CMUD3 default

class AcTiming : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("kora_ac_timing_" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        std::ofstream(dir_ / "board.cir") << kBoard;
        std::ofstream(dir_ / "fixture.txt") << kFixture;
        std::ofstream(dir_ / "hw.ini") << "[device->MX1]\nType = SM160\nResourceDesc = PXI1::10\n"
                                          "[device->PSAM1]\nType = PSAM\nResourceDesc = PXI1::11\n"
                                          "[device->PICT1]\nType = PICT\nResourceDesc = PXI1::12\n"
                                          "[VirtualBench]\nBoard = board.cir\n"
                                          "Fixture = fixture.txt\nRelayResistance = 0.001\n"
                                          "BusResistance = 0.001\nNoiseSeed = 99\n";
        bench_ = std::make_shared<VirtualBench>();
        bench_->loadStation(LoadStation((dir_ / "hw.ini").string()));
        VirtualBench::activate(bench_);
        ASSERT_EQ(ZQsm160_InitWithOptions("PXI1::10", 1, 1, "", &sm_), VI_SUCCESS);
        ASSERT_EQ(rspsam_InitWithOptions("PXI1::11", 1, 1, "", &psam_), VI_SUCCESS);
        ASSERT_EQ(rspsam_ConfigureCoupling(psam_, 255), VI_SUCCESS);
        ASSERT_EQ(rspict_InitWithOptions("PXI1::12", 1, 1, "", &pict_), VI_SUCCESS);
        for (const char* name : {"LABA1", "LABB2"}) {
            ViInt32 id = 0;
            ASSERT_EQ(ZQsm160_getChannelId(0, name, &id), VI_SUCCESS);
            lines_.push_back(id);
        }
    }
    void TearDown() override {
        rspict_close(pict_);
        rspsam_close(psam_);
        ZQsm160_close(sm_);
        VirtualBench::activate(nullptr);
        fs::remove_all(dir_);
    }
    static void Ok(ViStatus s, const char* what) { ASSERT_EQ(s, VI_SUCCESS) << what; }

    // The capacitor test's 2-VOLTAGE set-up and measurement at frequency code f (0.1 V sine),
    // `periods` periods; the phase of the voltage against the current.
    double Phase(int hiPin, int loPin, int f, int periods) {
        static constexpr int kPerPeriod[] = {400, 200, 20};
        static constexpr double kInterval[] = {25e-6, 5e-6, 5e-6};
        const int n = kPerPeriod[f] * periods;
        Ok(ZQsm160_hscDisconnectAll(sm_), "release");
        Ok(rspict_aos_SetMode(pict_, 0), "aos ac");
        Ok(rspict_aos_ConfigureIct(pict_, f, 0, 0), "aos sine");
        Ok(rspict_aos_EnableOutput(pict_, VI_TRUE), "aos on");
        Ok(rspsam_ConfigureMeasurement(psam_, RSPSAM_FUNCTION_VOLTAGE, 0.2), "voltmeter");
        Ok(rspsam_mu_ConfigureLowpassFilter(psam_, 100e3), "filter");
        Ok(rspsam_ConfigureMultiPoint(psam_, 1, n, 10, kInterval[f]), "psam record");
        Ok(rspsam_ConfigureTrigger(psam_, kTriggerLine, kCmuDelay100k), "psam trigger");
        Ok(rspsam_cnx_Matrix(psam_, 5, 255, 0x88), "terminal 5");
        Ok(rspsam_cnx_Matrix(psam_, 8, 255, 0x22), "terminal 8");
        Ok(rspict_cmu_ConfigAutoRange(pict_, VI_TRUE), "auto-range");
        Ok(rspict_cmu_ConfigureSigCon(pict_, 1, 15, 1, 0, 0.1), "sigcon");
        Ok(rspict_cmu_ConfigureRecorder(pict_, n, kInterval[f]), "recorder");
        Ok(rspict_cmu_ConfigureTrigger(pict_, kTriggerLine, 0), "cmu trigger");
        Ok(rspict_cnx_ConfigureSwitches(pict_, 3, 0x0C, 0xC0, 0xC0, 0xC00), "switches");
        Ok(ZQsm160_quickConnect(sm_, 1, lines_[0], hiPin), "HI");
        Ok(ZQsm160_quickConnect(sm_, 1, lines_[1], loPin), "LO");
        Ok(ZQsm160_WaitForDebounce(sm_, 1000), "debounce");
        Ok(rspict_WaitForSettling(pict_), "settling");
        Ok(rspsam_Initiate(psam_), "psam initiate");
        Ok(rspict_cmu_Initiate(pict_), "cmu initiate");
        Ok(rspsam_trig_SendSoftwareSignal(psam_, 0), "trigger");
        std::vector<double> u(static_cast<std::size_t>(n)), i(static_cast<std::size_t>(n));
        ViInt32 nu = 0, ni = 0, state = -1;
        double range = 0;
        Ok(rspsam_FetchMultiPoint(psam_, 2100, n, u.data(), &nu), "psam fetch");
        Ok(rspict_cmu_FetchData(pict_, 1000, n, i.data(), &ni, &range, &state), "cmu fetch");
        EXPECT_EQ(nu, n);
        EXPECT_EQ(ni, n);
        EXPECT_EQ(state, 0);
        return PhaseDifference(AnalyseSine(u, periods), AnalyseSine(i, periods));
    }

    fs::path dir_;
    std::shared_ptr<VirtualBench> bench_;
    ViSession sm_ = 0, psam_ = 0, pict_ = 0;
    std::vector<ViInt32> lines_;
};

TEST_F(AcTiming, PureCapacitorAndInductorReadQuarterPeriodAtEveryFrequency) {
    const struct {
        const char* what;
        int hi, lo;
        double degrees;
    } parts[] = {{"1 uF", 1, 2, -90}, {"10 mH", 3, 4, 90}};
    for (const auto& p : parts) {
        for (int f = 0; f < 3; ++f) {
            EXPECT_NEAR(Phase(p.hi, p.lo, f, 4), p.degrees, 0.1)
                << p.what << ", frequency code " << f;
        }
    }
}

TEST_F(AcTiming, SineLeavesTheAnalysesWithTheIctCleanup) {
    Phase(1, 2, 1, 1);
    // The clean-up opens every switch and leaves the sine running behind them.
    Ok(rspict_cnx_ConfigureSwitches(pict_, 0, 0, 0, 0, 0), "switches open");
    ASSERT_TRUE(PictOf(*bench_, "PICT1").sineRunning());
    const auto out = bench_->circuit().findNode(PictOf(*bench_, "PICT1").aosOutputNet());
    ASSERT_TRUE(out.has_value());
    const AcSolution s = bench_->solver().ac(1e3);
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(std::abs(s.at(*out)), 0.0);
}

TEST_F(AcTiming, PsamRecordWaitsForItsTrigger) {
    Ok(rspsam_ConfigureTrigger(psam_, kTriggerLine, 0), "trigger line");
    Ok(rspsam_ConfigureMultiPoint(psam_, 1, 10, 10, 5e-6), "record");
    Ok(rspsam_Initiate(psam_), "initiate");
    const int64_t armed = bench_->clock().nowNs();
    bench_->clock().wait(1'000'000);
    std::vector<double> u(10);
    ViInt32 n = 0;
    // The trigger a millisecond after the Initiate starts the record then, not before.
    Ok(rspsam_trig_SendSoftwareSignal(psam_, 0), "trigger");
    Ok(rspsam_FetchMultiPoint(psam_, 100, 10, u.data(), &n), "fetch");
    EXPECT_EQ(n, 10);
    const double expectedEnd =
        1e-3 + bench_->sourceMeasureModule("PSAM1").sampleDelay() + 10 * 5e-6;
    EXPECT_NEAR(static_cast<double>(bench_->clock().nowNs() - armed) * 1e-9, expectedEnd, 1e-9);
    // Armed again without a trigger: the fetch times out.
    Ok(rspsam_Initiate(psam_), "initiate again");
    EXPECT_NE(rspsam_FetchMultiPoint(psam_, 5, 10, u.data(), &n), VI_SUCCESS);
}

} // namespace
} // namespace kora::vbench
