// Source and measure unit control on the ICT station (tests/vbench/ict_station.h): the calls the
// five configuration operations send through the real drivers, as the bench's journal records
// them, and the reads on the simulated board.
#include "ictx/measure/unit_control.h"

#include "vbench/ict_station.h"

#include <functional>
#include <string>
#include <vector>

namespace kora {
namespace {

using vbench::testing::IctStation;
namespace bus = vbench::testing;
using Calls = std::vector<std::string>;

// One configuration of all five units, as a component test states it.
struct Config {
    int32_t dcsMode = 1, dcsMasks[4] = {0x88, 0x22, 0x88, 0x44}, attribute = 1;
    double volts = 1.0, limit = 0.01;
    int32_t limitRange = 0, ground = 1;

    int32_t function = kMuCurrent, mask5 = 0x44, mask8 = 0x22;
    double range = 1e-3;
    int32_t filter = 40000, samples = 200;
    double interval = 5e-6, delay = 0;
    int32_t source = 1;

    int32_t aosMode = kAosAc;
    double frequency = 1000, level = 0.2, offset = 0, dcRange = 100;

    int32_t signal = 6, cmuMasks[5] = {0x0C, 0, 0, 0, 0};
    double gain = 1e-3, corner = 1000;
    int32_t cmuSamples = 200;
    double cmuInterval = 5e-6, cmuDelay = 0;
    int32_t cmuSource = 1;

    int32_t preset = 10, psuMasks[4] = {0, 0, 0x40, 0x80};
    double psuVolts[2] = {kKeepReal, 1.0}, psuLimits[2] = {kKeepReal, 0.1};
};

class UnitControl : public IctStation {
  protected:
    void SetUp() override {
        IctStation::SetUp();
        MarkUnknown(hw_.dcs);
        MarkUnknown(hw_.mu);
        MarkUnknown(hw_.aos);
        MarkUnknown(hw_.cmu);
        MarkUnknown(hw_.psu);
        bench_->journal().clear();
    }

    // The calls since the journal was last cleared, as "function(arguments)" without the session.
    Calls Sent() const {
        Calls out;
        for (const auto& e : bench_->journal().entries()) {
            const auto comma = e.arguments.find(", ");
            out.push_back(e.function + "(" +
                          (comma == std::string::npos ? "" : e.arguments.substr(comma + 2)) + ")");
        }
        return out;
    }
    std::size_t Count(const char* function) const { return bench_->journal().count(function); }
    void Clear() { bench_->journal().clear(); }

    ViStatus ResetDcs() {
        return ConfigureDcs(hw_.dcs, psam_, kResetUnit, 0, 0, 0, 0, 0, 0.0, 0.0, 0, kKeep);
    }
    ViStatus ResetMu() {
        return ConfigureMu(hw_.mu, psam_, kResetUnit, kKeep, kKeep, -1, kKeep, kKeep, -1, -1,
                           kKeep);
    }
    ViStatus ResetAos() {
        return ConfigureAos(hw_.aos, pict_, kResetUnit, kKeepReal, kKeepReal, kKeepReal, kKeepReal);
    }
    ViStatus ResetCmu() {
        return ConfigureCmu(hw_.cmu, pict_, kResetUnit, kKeep, kKeep, kKeep, kKeep, kKeep, -1, -1,
                            kKeep, -1, -1, kKeep);
    }
    ViStatus ResetPsu() {
        return ConfigurePsu(hw_.psu, psu_, kResetUnit, kKeep, kKeep, kKeepReal, kKeepReal, kKeep,
                            kKeep, kKeepReal, kKeepReal);
    }
    void ResetAll() {
        for (ViStatus s : {ResetDcs(), ResetMu(), ResetAos(), ResetCmu(), ResetPsu()}) {
            ASSERT_EQ(s, VI_SUCCESS);
        }
        Clear();
    }

    ViStatus Apply(const Config& c) {
        const ViStatus statuses[] = {
            ConfigureDcs(hw_.dcs, psam_, c.dcsMode, c.dcsMasks[0], c.dcsMasks[1], c.dcsMasks[2],
                         c.dcsMasks[3], c.attribute, c.volts, c.limit, c.limitRange, c.ground),
            ConfigureMu(hw_.mu, psam_, c.function, c.mask5, c.mask8, c.range, c.filter, c.samples,
                        c.interval, c.delay, c.source),
            ConfigureAos(hw_.aos, pict_, c.aosMode, c.frequency, c.level, c.offset, c.dcRange),
            ConfigureCmu(hw_.cmu, pict_, c.signal, c.cmuMasks[0], c.cmuMasks[1], c.cmuMasks[2],
                         c.cmuMasks[3], c.cmuMasks[4], c.gain, c.corner, c.cmuSamples,
                         c.cmuInterval, c.cmuDelay, c.cmuSource),
            ConfigurePsu(hw_.psu, psu_, c.preset, c.psuMasks[0], c.psuMasks[1], c.psuVolts[0],
                         c.psuLimits[0], c.psuMasks[2], c.psuMasks[3], c.psuVolts[1],
                         c.psuLimits[1]),
        };
        for (ViStatus s : statuses) {
            if (s != VI_SUCCESS) {
                return s;
            }
        }
        return VI_SUCCESS;
    }

    IctHardware hw_{};
};

constexpr int32_t kFault = static_cast<int32_t>(0xBFFA4099);

TEST_F(UnitControl, ResetSequencesSendTheListedCallsInOrder) {
    const struct {
        const char* what;
        std::function<ViStatus()> reset;
        Calls calls;
    } cases[] = {
        {"DCS",
         [this] { return ResetDcs(); },
         {"rspsam_cnx_Gnd(4, 1)", "rspsam_SetAttributeViInt32(\"\", 1150026, 0)",
          "rspsam_cnx_Matrix(1, 0xff, 0x0)", "rspsam_cnx_Matrix(4, 0xff, 0x0)",
          "rspsam_cnx_Matrix(2, 0xff, 0x0)", "rspsam_cnx_Matrix(3, 0xff, 0x0)",
          "rspsam_dcs_ConfigureVoltageLevel(0)", "rspsam_dcs_ConfigureCurrentLimitRange(0)",
          "rspsam_dcs_ConfigureCurrentLimit(0)", "rspsam_dcs_ConfigureOutputEnabled(0)"}},
        {"MU",
         [this] { return ResetMu(); },
         {"rspsam_cnx_Gnd(8, 0)", "rspsam_ConfigureDmmMethod(0)",
          "rspsam_ConfigureMeasurement(1, 5)", "rspsam_ConfigureMultiPoint(1, 200, 10, 5e-06)",
          "rspsam_ConfigureTrigger(1, 0)",
          "rspsam_trig_ConfigureSignal(0, 3, 0, 1e-06, 1e-06, 111, 1, 0, 1)",
          "rspsam_trig_EnableOutput(1)", "rspsam_trig_Abort(0)"}},
        {"AOS",
         [this] { return ResetAos(); },
         {"rspict_aos_SetMode(1)", "rspict_aos_ConfigureIct(0, 1, 0)",
          "rspict_aos_ConfigureDc(1000, 3, 2)", "rspict_aos_EnableOutput(0)"}},
        {"CMU",
         [this] { return ResetCmu(); },
         {"rspict_cmu_ConfigAutoRange(0)", "rspict_cmu_ConfigureSigCon(0, 15, 1, 1, 0.1)",
          "rspict_cmu_ConfigureTrigger(1, 0)", "rspict_cmu_ConfigureRecorder(200, 5e-06)"}},
        {"PSU", [this] { return ResetPsu(); },
         [] {
             Calls c = {"rspsu_ConfigureCoupling(0x0)",      "rspsu_DisconnectAll()",
                        "rspsu_ConfigureGround(\"CH1\", 0)", "rspsu_ConfigureGround(\"CH2\", 0)",
                        "rspsu_ConfigureMode(\"CH1\", 0)",   "rspsu_ConfigureMode(\"CH2\", 0)"};
             for (const std::string ch : {"\"CH1\"", "\"CH2\""}) {
                 c.insert(c.end(), {"rspsu_ConfigureOutputRange(" + ch + ", 1, 50)",
                                    "rspsu_ConfigureVoltageLevel(" + ch + ", 5)",
                                    "rspsu_ConfigureCurrentLimit(" + ch + ", 0.005)",
                                    "rspsu_ConfigureOutputRange(" + ch + ", 0, 0.01)",
                                    "rspsu_ConfigureOutputEnabled(" + ch + ", 1)",
                                    "rspsu_ConfigureMeasurement(" + ch + ", 10, 0.0001, 0)"});
             }
             return c;
         }()},
    };
    for (const auto& c : cases) {
        Clear();
        ASSERT_EQ(c.reset(), VI_SUCCESS) << c.what;
        EXPECT_EQ(Sent(), c.calls) << c.what;
    }
    EXPECT_EQ(hw_.mu.filter, 400);
    EXPECT_EQ(hw_.mu.function, kMuVoltage);
    EXPECT_EQ(hw_.aos.mode, kAosDc);
    EXPECT_EQ(hw_.psu.preset, 8);
}

// A whole configuration stated twice sends nothing the second time; a changed setting sends just
// what it needs, and stating it again sends nothing.
TEST_F(UnitControl, OnlyDifferencesReachTheDrivers) {
    ResetAll();
    const Config base;
    ASSERT_EQ(Apply(base), VI_SUCCESS);
    EXPECT_GT(bench_->journal().total(), 10u);
    Clear();
    ASSERT_EQ(Apply(base), VI_SUCCESS);
    EXPECT_EQ(Sent(), Calls{});

    // Each change, with the calls it sends; stated again it sends nothing.
    const struct {
        const char* what;
        void (*change)(Config&);
        Calls calls;
    } cases[] = {
        // clang-format off
        {"DCS voltage", [](Config& c) { c.volts = 2; }, {"rspsam_dcs_ConfigureVoltageLevel(2)"}},
        {"DCS voltage kept", [](Config& c) { c.volts = kKeepReal; }, {}},
        {"DCS mask 3", [](Config& c) { c.dcsMasks[3] = 0x11; },
         {"rspsam_cnx_Matrix(3, 0xff, 0x11)"}},
        {"DCS current mode", [](Config& c) { c.attribute = 0; },
         {"rspsam_SetAttributeViInt32(\"\", 1150026, 0)"}},
        {"DCS attribute 5 is 1", [](Config& c) { c.attribute = 5; }, {}},
        {"DCS limit range", [](Config& c) { c.limitRange = 1; },
         {"rspsam_dcs_ConfigureCurrentLimitRange(1)"}},
        {"DCS ground off", [](Config& c) { c.ground = 0; }, {"rspsam_cnx_Gnd(4, 0)"}},
        {"DCS output -1 disables", [](Config& c) { c.dcsMode = kKeep; },
         {"rspsam_dcs_ConfigureOutputEnabled(0)"}},
        {"MU range (filter again)", [](Config& c) { c.range = 2e-3; },
         {"rspsam_ConfigureMeasurement(3, 0.002)", "rspsam_mu_ConfigureLowpassFilter(40000)"}},
        {"MU voltage", [](Config& c) { c.function = kMuVoltage, c.range = 10, c.filter = kKeep; },
         {"rspsam_ConfigureMeasurement(1, 10)"}},
        {"MU widest filter", [](Config& c) { c.filter = 0; },
         {"rspsam_mu_ConfigureLowpassFilter(100000)"}},
        {"MU terminal 8 grounded", [](Config& c) { c.mask8 = kKeep; },
         {"rspsam_cnx_Matrix(8, 0xff, 0x0)", "rspsam_cnx_Gnd(8, 1)"}},
        {"MU samples", [](Config& c) { c.samples = 1600; },
         {"rspsam_ConfigureMultiPoint(1, 1600, 10, 5e-06)"}},
        {"MU delay", [](Config& c) { c.delay = 1e-3; }, {"rspsam_ConfigureTrigger(1, 0.001)"}},
        {"MU source 0 keeps", [](Config& c) { c.source = 0, c.delay = -1; }, {}},
        {"AOS 1 V", [](Config& c) { c.level = 1.5; }, {"rspict_aos_ConfigureIct(1, 2, 0)"}},
        {"AOS 0.1 V", [](Config& c) { c.level = 0.15; }, {"rspict_aos_ConfigureIct(1, 0, 0)"}},
        {"AOS below 0.1 V keeps", [](Config& c) { c.level = 0.05; }, {}},
        {"AOS negative offset", [](Config& c) { c.offset = -0.5; },
         {"rspict_aos_ConfigureIct(1, 1, 2)"}},
        {"AOS DC", [](Config& c) { c.aosMode = kAosDc; },
         {"rspict_aos_SetMode(1)", "rspict_aos_ConfigureDc(100, 2, 0.2)"}},
        {"AOS off", [](Config& c) { c.aosMode = 0; }, {"rspict_aos_EnableOutput(0)"}},
        {"CMU gain", [](Config& c) { c.gain = 1.5e-3; },
         {"rspict_cmu_ConfigureSigCon(1, 10, 1, 2, 0.0015)"}},
        {"CMU 400 Hz", [](Config& c) { c.corner = 400; },
         {"rspict_cmu_ConfigureSigCon(1, 9, 1, 3, 0.001)"}},
        {"CMU signal 7", [](Config& c) { c.signal = 7; },
         {"rspict_cmu_ConfigureSigCon(2, 9, 1, 2, 0.001)"}},
        {"CMU mode 5 is code 0", [](Config& c) { c.signal = 5; },
         {"rspict_cmu_ConfigureSigCon(0, 9, 1, 2, 0.001)"}},
        {"CMU switch 5", [](Config& c) { c.cmuMasks[4] = 0x03; },
         {"rspict_cnx_ConfigureSwitches(0x3, 0xc, 0x0, 0x0, 0x0)"}},
        {"CMU masks kept", [](Config& c) { c.cmuMasks[0] = c.cmuMasks[1] = kKeep; }, {}},
        {"CMU recorder", [](Config& c) { c.cmuSamples = 400; },
         {"rspict_cmu_ConfigureRecorder(400, 5e-06)"}},
        {"CMU trigger line", [](Config& c) { c.cmuSource = 111; },
         {"rspict_cmu_ConfigureTrigger(111, 0)"}},
        {"PSU voltage", [](Config& c) { c.psuVolts[1] = 2; },
         {"rspsu_ConfigureVoltageLevel(\"CH2\", 2)"}},
        {"PSU preset 9", [](Config& c) { c.preset = 9; },
         {"rspsu_ConfigureOutputRange(\"CH2\", 0, 0.1)"}},
        {"PSU preset 11 lowers the limit first", [](Config& c) { c.preset = 11, c.psuLimits[1] = 0.005; },
         {"rspsu_ConfigureCurrentLimit(\"CH2\", 0.005)", "rspsu_ConfigureOutputRange(\"CH2\", 0, 0.01)", "rspsu_ConfigureCoupling(0xff)"}},
        {"PSU preset 11 without a limit", [](Config& c) { c.preset = 11, c.psuLimits[1] = kKeepReal; },
         {"rspsu_ConfigureCurrentLimit(\"CH2\", 0.01)", "rspsu_ConfigureOutputRange(\"CH2\", 0, 0.01)", "rspsu_ConfigureCoupling(0xff)"}},
        {"PSU preset 8 opens the coupling", [](Config& c) { c.preset = 8; },
         {"rspsu_ConfigureCoupling(0x0)"}},
        // clang-format on
    };
    for (const auto& c : cases) {
        ASSERT_EQ(Apply(base), VI_SUCCESS) << c.what;
        Config changed = base;
        c.change(changed);
        Clear();
        ASSERT_EQ(Apply(changed), VI_SUCCESS) << c.what;
        EXPECT_EQ(Sent(), c.calls) << c.what;
        Clear();
        ASSERT_EQ(Apply(changed), VI_SUCCESS) << c.what;
        EXPECT_EQ(Sent(), Calls{}) << c.what << ", stated again";
    }
}

TEST_F(UnitControl, DriverFaultStopsAndARepeatSendsOnlyWhatIsMissing) {
    const Config base;
    const struct {
        const char* what;
        bool reset; // start from the reset caches, else from unknown ones
        const char* failing;
        int skip; // calls of it that succeed first
        Calls repeat;
    } cases[] = {
        {"DCS terminal 2",
         false,
         "rspsam_cnx_Matrix",
         2,
         {"rspsam_cnx_Matrix(2, 0xff, 0x88)", "rspsam_cnx_Matrix(3, 0xff, 0x44)",
          "rspsam_dcs_ConfigureVoltageLevel(1)", "rspsam_dcs_ConfigureCurrentLimitRange(0)",
          "rspsam_dcs_ConfigureCurrentLimit(0.01)", "rspsam_dcs_ConfigureOutputEnabled(1)"}},
        {"MU filter",
         true,
         "rspsam_mu_ConfigureLowpassFilter",
         0,
         {"rspsam_mu_ConfigureLowpassFilter(40000)"}},
        {"PSU CH2_LO",
         true,
         "rspsu_Connect",
         1,
         {"rspsu_Connect(\"CH2_LO\", \"ABd2\")", "rspsu_ConfigureGround(\"CH2\", 1)",
          "rspsu_ConfigureVoltageLevel(\"CH2\", 1)", "rspsu_ConfigureOutputRange(\"CH2\", 0, 1)",
          "rspsu_ConfigureCurrentLimit(\"CH2\", 0.1)", "rspsu_ConfigureCoupling(0xf0)"}},
    };
    for (const auto& c : cases) {
        TearDown(); // a fresh station per case
        SetUp();
        if (c.reset) {
            ResetAll();
        }
        bench_->faults().add(
            {c.failing, bench_->faults().calls(c.failing) + 1 + c.skip, false, kFault, "relay"});
        EXPECT_EQ(Apply(base), kFault) << c.what;
        Clear();
        EXPECT_EQ(Apply(base), VI_SUCCESS) << c.what;
        EXPECT_EQ(Sent(), c.repeat) << c.what;
    }
}

TEST_F(UnitControl, PsuLinesLeaveBeforeOthersEnterInBitOrder) {
    ResetAll();
    const struct {
        int32_t from[4], to[4];
        Calls calls;
    } cases[] = {
        {{0x01, 0x02, 0, 0},
         {0x02, 0x01, 0, 0},
         {"rspsu_Disconnect(\"CH1_HI\", \"ABa1\")", "rspsu_Disconnect(\"CH1_LO\", \"ABa2\")",
          "rspsu_Connect(\"CH1_HI\", \"ABa2\")", "rspsu_Connect(\"CH1_LO\", \"ABa1\")"}},
        {{0x03, 0, 0x10, 0},
         {0x0A, 0, 0x30, kKeep},
         {"rspsu_Disconnect(\"CH1_HI\", \"ABa1\")", "rspsu_Connect(\"CH1_HI\", \"ABb2\")",
          "rspsu_Connect(\"CH2_HI\", \"ABc2\")"}},
        {{0, 0, 0, 0xC0},
         {0x10, 0x0C, 0x01, 0x40}, // lines of the other channel are not the terminal's
         {"rspsu_Disconnect(\"CH2_LO\", \"ABd2\")", "rspsu_Connect(\"CH1_LO\", \"ABb1\")",
          "rspsu_Connect(\"CH1_LO\", \"ABb2\")"}},
    };
    for (const auto& c : cases) {
        auto move = [&](const int32_t* m) {
            return ConfigurePsu(hw_.psu, psu_, kKeep, m[0], m[1], kKeepReal, kKeepReal, m[2], m[3],
                                kKeepReal, kKeepReal);
        };
        ASSERT_EQ(move(c.from), VI_SUCCESS);
        Clear();
        ASSERT_EQ(move(c.to), VI_SUCCESS);
        EXPECT_EQ(Sent(), c.calls);
    }
}

TEST(UnitControlArithmetic, SmoothingAndCoverage) {
    const struct {
        std::vector<double> samples;
        bool smoothing;
        int32_t count;
        double mean;
    } reads[] = {
        {{1, 2, 3, 4, 5, 6}, true, 6, 3.5},             // too few to smooth
        {{0, 0, 0, 64, 0, 0, 0}, true, 1, 20},          // the middle tap
        {{64, 0, 0, 0, 0, 0, 0, 0}, true, 2, 0.5},      // first tap, then nothing
        {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, true, 4, 4.5}, // a ramp stays a ramp
        {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, false, 10, 4.5},
    };
    for (const auto& r : reads) {
        std::vector<double> s = r.samples;
        int32_t used = -1;
        EXPECT_DOUBLE_EQ(MeanOfRecord(s.data(), static_cast<int32_t>(s.size()), r.smoothing, &used),
                         r.mean);
        EXPECT_EQ(used, r.count);
    }
    const struct {
        double mean, range;
        int32_t coverage;
    } coverages[] = {
        {0.5, 4, 13},     // 12.5 rounds up
        {0.0625, 1, 6},   // 6.25
        {0.125, 0.5, 25}, // 25.0
        {-0.5, 4, -12},   // -12.5 + 0.5
        {-1, 100, 0},     // -0.5: the integer part, not the floor
        {-2, 100, -1},    // -1.5
        {1, 0, 0},        // no range
        {1, -1, 0},
    };
    for (const auto& c : coverages) {
        EXPECT_EQ(RangeCoverage(c.mean, c.range), c.coverage) << c.mean << " of " << c.range;
    }
}

// Without the board's capacitor and inductor a record is one solution, not one per sample.
void DropStoredCharge(vbench::VirtualBench& bench) {
    ASSERT_TRUE(bench.circuit().remove("c1"));
    ASSERT_TRUE(bench.circuit().remove("l1"));
}

// The station's 10 k (P6, P7) on the A1 and B2 lines; V-mode (1 V, the current read) or C-mode
// (100 uA, the voltage read) as the resistor test drives it.
class TenKilohm : public UnitControl {
  protected:
    void SetUp() override {
        UnitControl::SetUp();
        DropStoredCharge(*bench_);
        ResetAll();
        Pin(bus::kA1, 6);
        Pin(bus::kB2, 7);
        Debounce();
        Clear();
    }
    void Measure(int32_t function, double range, int32_t samples = 200) {
        const bool current = function == kMuCurrent;
        ASSERT_EQ(ConfigureDcs(hw_.dcs, psam_, 1, 0x88, current ? 0x22 : 0x44, 0x88, 0x44,
                               current ? 1 : 0, current ? 1.0 : 5.0, current ? 0.01 : 100e-6, 0, 1),
                  VI_SUCCESS);
        ASSERT_EQ(ConfigureMu(hw_.mu, psam_, function, current ? 0x44 : 0x88, current ? 0x22 : 0x44,
                              range, 0, samples, 5e-6, 0, 1),
                  VI_SUCCESS);
        Clear();
    }
};

TEST_F(TenKilohm, ReadsSmoothOverRangeAndReportEmptyRecords) {
    Measure(kMuCurrent, 1e-3, 1600);
    ReadResult r;
    ASSERT_EQ(ReadMultiPoint(psam_, nullptr, 1600, true, 100, 1e-3, &r), VI_SUCCESS);
    EXPECT_EQ(r.count, 1594);
    EXPECT_NEAR(r.mean, 1.0 / 10e3, 1e-7);
    EXPECT_EQ(r.coverage, 10);
    std::vector<double> buffer(100);
    ASSERT_EQ(ReadMultiPoint(psam_, buffer.data(), 100, false, 100, 1e-3, &r), VI_SUCCESS);
    EXPECT_EQ(r.count, 100);

    // 100 uA on the 50 uA range: every sample NaN, counted as 60 uA.
    ASSERT_EQ(ConfigureMu(hw_.mu, psam_, kMuCurrent, kKeep, kKeep, 50e-6, kKeep, 200, -1, -1, 0),
              VI_SUCCESS);
    EXPECT_EQ(ReadMultiPoint(psam_, nullptr, 200, true, 100, 50e-6, &r), RSPSAM_WARN_OVER_RANGE);
    EXPECT_NEAR(r.mean, 60e-6, 1e-15);
    EXPECT_EQ(r.coverage, 120);

    EXPECT_EQ(ReadMultiPoint(psam_, nullptr, 0, false, 100, 1e-3, &r), RSPSAM_ERROR_NO_SAMPLES);
    ASSERT_EQ(ConfigureMu(hw_.mu, psam_, kKeep, kKeep, kKeep, -1, kKeep, 0, -1, -1, 0), VI_SUCCESS);
    EXPECT_EQ(ReadMultiPoint(psam_, nullptr, 200, false, 100, 1e-3, &r), RSPSAM_ERROR_NO_SAMPLES);

    // The CMU between the AOS (1 V DC on A1) and the B2 line: the same rules on rspict_cmu_Read.
    ASSERT_EQ(ResetDcs(), VI_SUCCESS);
    ASSERT_EQ(ConfigureAos(hw_.aos, pict_, kAosDc, kKeepReal, 1.0, kKeepReal, 0), VI_SUCCESS);
    for (double gain : {200e-6, 50e-6}) {
        ASSERT_EQ(
            ConfigureCmu(hw_.cmu, pict_, 6, 0x08, 0, 0, 0, 0x01, gain, 100000, 200, 5e-6, 0, 1),
            VI_SUCCESS);
        const ViStatus s = CmuRead(pict_, nullptr, 200, false, 100, gain, &r);
        EXPECT_EQ(s, gain < 100e-6 ? RSPSAM_WARN_OVER_RANGE : VI_SUCCESS);
        EXPECT_EQ(r.coverage, gain < 100e-6 ? 120 : 50);
    }
}

TEST_F(TenKilohm, AutoRangeFollowsTheSteppingRules) {
    const struct {
        int32_t function, start;
        bool autoRange;
        int32_t steps, flag, index;
        int32_t coverageLow, coverageHigh;
    } cases[] = {
        {kMuCurrent, 15, true, -8, 0, 7, 25, 110}, // down from 100 mA to 200 uA
        {kMuCurrent, 6, true, 1, 0, 7, 25, 110},   // 100 % steps up, 50 % stays
        {kMuCurrent, 5, true, 2, 0, 7, 25, 110},   // over range steps up
        {kMuCurrent, 0, true, 7, 0, 7, 25, 110},
        {kMuCurrent, 5, false, 0, 1, 5, 120, 120}, // over, no auto-range
        {kMuCurrent, 15, false, 0, -1, 15, 0, 0},  // under
        {kMuCurrent, 9, false, 0, 0, 9, 10, 10},   // low, but not under
        {kMuVoltage, 12, true, -5, 0, 7, 25, 110}, // 1 V: down from 100 V to 2 V
        {kMuVoltage, 0, true, 7, 0, 7, 25, 110},   // up from 10 mV
    };
    for (const auto& c : cases) {
        const double* table = c.function == kMuCurrent ? kMuCurrentRanges : kMuVoltageRanges;
        Measure(c.function, table[c.start]);
        AutoRangeResult r;
        ASSERT_EQ(ReadAutoRange(hw_.mu, psam_, c.start, c.autoRange, nullptr, 200, false, 1000, &r),
                  c.flag > 0 ? RSPSAM_WARN_OVER_RANGE : VI_SUCCESS);
        const std::string what = std::to_string(c.function) + " from " + std::to_string(c.start);
        EXPECT_EQ(r.steps, c.steps) << what;
        EXPECT_EQ(r.overUnder, c.flag) << what;
        EXPECT_EQ(r.rangeIndex, c.index) << what;
        EXPECT_EQ(r.range, table[c.index]) << what;
        EXPECT_GE(r.coverage, c.coverageLow) << what;
        EXPECT_LE(r.coverage, c.coverageHigh) << what;
        EXPECT_EQ(Count("rspsam_ConfigureMeasurement"),
                  static_cast<std::size_t>(std::abs(c.steps)));
        EXPECT_EQ(Count("rspsam_ReadMultiPoint"), static_cast<std::size_t>(std::abs(c.steps) + 1));
        EXPECT_EQ(c.function == kMuCurrent ? hw_.mu.currentRange : hw_.mu.voltageRange,
                  table[c.index])
            << what;
    }

    // A failing step stops the read; the cache holds the range that was set.
    Measure(kMuCurrent, kMuCurrentRanges[15]);
    bench_->faults().add({"rspsam_ConfigureMeasurement",
                          bench_->faults().calls("rspsam_ConfigureMeasurement") + 2, false, kFault,
                          "relay"});
    AutoRangeResult r;
    EXPECT_EQ(ReadAutoRange(hw_.mu, psam_, 15, true, nullptr, 200, false, 1000, &r), kFault);
    EXPECT_EQ(r.rangeIndex, 14);
    EXPECT_EQ(hw_.mu.currentRange, kMuCurrentRanges[14]);

    MarkUnknown(hw_.mu);
    EXPECT_EQ(ReadAutoRange(hw_.mu, psam_, 0, true, nullptr, 200, false, 1000, &r),
              static_cast<ViStatus>(0x81000001u));
    hw_.mu.function = kMuVoltage;
    EXPECT_EQ(ReadAutoRange(hw_.mu, psam_, 13, true, nullptr, 200, false, 1000, &r),
              static_cast<ViStatus>(0x81000003u));
}

// About 130 mA from the PSU's CH2 (ABc1) through the 10 ohm (P18, P22) into the PSAM's ammeter
// (terminal 5 on ABd1, terminal 8 grounded) on the top range: over range, no step.
TEST_F(UnitControl, AutoRangeStopsOverRangeAtTheTopCurrentRange) {
    DropStoredCharge(*bench_);
    ResetAll();
    Pin(bus::kC1, 18);
    Pin(bus::kD1, 22);
    Debounce();
    ASSERT_EQ(
        ConfigurePsu(hw_.psu, psu_, 10, kKeep, kKeep, kKeepReal, kKeepReal, 0x10, 0, 1.5, 0.5),
        VI_SUCCESS);
    for (int32_t start : {15, 14}) {
        ASSERT_EQ(ConfigureMu(hw_.mu, psam_, kMuCurrent, 0x10, kKeep, kMuCurrentRanges[start], 0,
                              200, 5e-6, 0, 1),
                  VI_SUCCESS);
        Clear();
        AutoRangeResult r;
        EXPECT_EQ(ReadAutoRange(hw_.mu, psam_, start, true, nullptr, 200, false, 1000, &r),
                  RSPSAM_WARN_OVER_RANGE);
        EXPECT_EQ(r.overUnder, 1);
        EXPECT_EQ(r.rangeIndex, 15);
        EXPECT_EQ(r.steps, 15 - start);
        EXPECT_EQ(r.coverage, 120);
        EXPECT_EQ(Count("rspsam_ConfigureMeasurement"), static_cast<std::size_t>(15 - start));
    }
    ViReal64 amperes = 0;
    ASSERT_EQ(rspsu_Measure(psu_, "CH2", RSPSU_MEASURE_CURRENT, &amperes), VI_SUCCESS);
    EXPECT_GT(amperes, 0.11);
}

// 1 mA into the 1 uF (P8, P9) from 0 V: the first 2 ms record reads about 20 % of 5 V and steps
// down; the next reads over 110 % of 2 V and steps up once, which ends the search.
TEST_F(UnitControl, AStepUpAfterAStepDownEndsTheSearch) {
    ASSERT_TRUE(bench_->circuit().remove("l1"));
    ResetAll();
    Pin(bus::kA1, 8);
    Pin(bus::kB2, 9);
    Debounce();
    ASSERT_EQ(ConfigureMu(hw_.mu, psam_, kMuVoltage, 0x88, 0x44, 5.0, 0, 100, 20e-6, 0, 1),
              VI_SUCCESS);
    ASSERT_EQ(ConfigureDcs(hw_.dcs, psam_, 1, 0x88, 0x44, 0x88, 0x44, 0, 30.0, 1e-3, 0, 1),
              VI_SUCCESS);
    Clear();
    AutoRangeResult r;
    ASSERT_EQ(ReadAutoRange(hw_.mu, psam_, 8, true, nullptr, 100, false, 1000, &r),
              RSPSAM_WARN_OVER_RANGE);
    EXPECT_EQ(r.steps, 0);
    EXPECT_EQ(r.overUnder, 0);
    EXPECT_EQ(r.rangeIndex, 8);
    EXPECT_GE(r.coverage, 86);
    EXPECT_LE(r.coverage, 110);
    EXPECT_EQ(Sent(),
              (Calls{"rspsam_ReadMultiPoint(1000, 100, &, &)", "rspsam_ConfigureMeasurement(1, 2)",
                     "rspsam_ReadMultiPoint(1000, 100, &, &)", "rspsam_ConfigureMeasurement(1, 5)",
                     "rspsam_ReadMultiPoint(1000, 100, &, &)"}));
}

} // namespace
} // namespace kora
