// The seven wire modes of the resistor test on the example ICT station (examples/ict), at driver
// level: each resistor of the example's component file is measured with the instrument masks the
// library's resistor test sends for its wire mode, its needles put on the bus lines by the
// pin-to-bus rule, and read by the PSAM's meter or, guarded, by the PICT's virtual-ground ammeter.
// The reading is held against the part on the example's board (within the meter's accuracy and
// what the leads may add) and against the component's limits. The component file and the channel
// table are read as the load and set-up steps read them, so a needle, a name or a limit of the
// example that does not fit its board fails here.
#include "bench/bench.h"
#include "bench/channel_table.h"
#include "frame/errors.h"
#include "ictx/program/component_load.h"
#include "ictx/program/component_model.h"

#include <resmgr.h>
#include <resmgr/resmgr_inspect.h>
#include <vbench/bench/virtual_bench.h>

#include <rspict.h>
#include <rspsam.h>
#include <zqsm160.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <numeric>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kora::vbench {
namespace {

namespace fs = std::filesystem;

const fs::path kExample = fs::path(KORA_EXAMPLES_DIR) / "ict";
constexpr const char* kBenchSection = "BENCH_ICT";

// Station values of examples/ict/hardware.ini.
constexpr double kRelay = 0.2, kBus = 0.05;
// A needle's way to its system bus line: crosspoint, card coupling relay and bus line.
constexpr double kPinPath = kRelay + kRelay + kBus;
// What one lead of a two-wire measurement adds: at least its needle's path, at most that and the
// module's coupling and terminal relays up to where the source senses or the meter reads.
constexpr double kLeadMin = kPinPath, kLeadMax = kPinPath + 2 * kRelay;

constexpr int kSamples = 200;
constexpr double kInterval = 5e-6;
constexpr int kImmediate = 1;
constexpr double kMuLowpass = 100e3; // "FILTER" 100000; the CMU's filter code 0 goes with it
constexpr ViAttr kSourceMode = 1150026;
constexpr ViAttr kBusCoupling = 1150002;

enum class Wires { TwoVoltage, TwoCurrent, FourVSensed, FourCSensed, Guarded3, Guarded4, Guarded6 };

const char* NameOf(Wires w) {
    static const char* const names[] = {"2-VOLTAGE", "2-CURRENT", "4-VSENSED", "4-CSENSED",
                                        "3-GUARDED", "4-GUARDED", "6-GUARDED"};
    return names[static_cast<int>(w)];
}
bool Guarded(Wires w) {
    return w >= Wires::Guarded3;
}
bool CurrentMode(Wires w) {
    return w == Wires::TwoCurrent || w == Wires::FourCSensed;
}
bool Sensed(Wires w) {
    return w == Wires::FourVSensed || w == Wires::FourCSensed || w == Wires::Guarded6;
}

struct CmuMasks {
    int m1, m2, m3, m4, m5;
};

// What the resistor test sends for a wire mode. The source always gets output on, the voltage,
// the limit, current-limit range 0 and force LO grounded besides these.
struct Configuration {
    std::array<int, 4> dcs; // masks of source terminals 1 (force HI), 4 (force LO), 2, 3 (sense)
    int sourceMode;         // attribute 1150026: 1 voltage source, 0 current source of the limit
    int function;           // measurement unit: RSPSAM_FUNCTION_*, 0 = left as it is
    int t5, t8;             // measurement unit terminals; terminal 8 is never grounded here
    int signal;             // CMU signal code: 2 for the guarded signal mode 7, 0 for mode 0
    CmuMasks cmu;
};

Configuration ConfigurationOf(Wires w, bool hiEven, bool loEven) {
    constexpr CmuMasks kOff = {0, 0, 0, 0, 0};
    switch (w) {
    case Wires::TwoVoltage:
        return {{0x88, 0x22, 0x88, 0x44}, 1, RSPSAM_FUNCTION_CURRENT, 0x44, 0x22, 0, kOff};
    case Wires::TwoCurrent:
        return {{0x88, 0x44, 0x88, 0x44}, 0, RSPSAM_FUNCTION_VOLTAGE, 0x88, 0x44, 0, kOff};
    case Wires::FourVSensed:
        return {{0x88, 0, 0x22, 0x11}, 1, RSPSAM_FUNCTION_CURRENT, 0x44, 0, 0, kOff};
    case Wires::FourCSensed:
        return {{0x88, 0x44, 0x88, 0x44}, 0, RSPSAM_FUNCTION_VOLTAGE, 0x22, 0x11, 0, kOff};
    case Wires::Guarded3:
        return {{0x88, 0x22, 0x88, 0x22}, 0, 0, 0, 0, 2, {0x0C, 0xC0, 0xC0, 0xC00, 0}};
    case Wires::Guarded4:
        return {{0x88, 0x22, 0x88, 0x11}, 0, 0, 0, 0, 2, {0x0C, 0xC0, 0xC0, 0x3000, 0}};
    case Wires::Guarded6: {
        // Six-wire guarding sends only force HI and sense HI, each on its pin's A line; force LO,
        // sense LO and the source mode stay as the guarded modes leave them.
        Configuration k = ConfigurationOf(Wires::Guarded4, hiEven, loEven);
        k.dcs[0] = hiEven ? 0x80 : 0x08;
        k.dcs[2] = hiEven ? 0x08 : 0x80;
        // The CMU on the LO pin's B line, sensing the virtual ground on the other.
        k.cmu =
            loEven ? CmuMasks{0x04, 0xC0, 0x80, 0x3000, 0} : CmuMasks{0x08, 0xC0, 0x40, 0x3000, 0};
        return k;
    }
    }
    return {};
}

bool Named(const char* pin) {
    return pin && pin[0];
}

// The wire mode a component's pins and mode character select.
Wires SelectedWires(const ComponentRecord& c) {
    const int senses = Named(c.ts[0]) + Named(c.ts[1]);
    const bool guard = std::any_of(std::begin(c.gp), std::end(c.gp), Named);
    const bool current = c.sub[0].mode == 'C';
    if (!guard && senses == 0) {
        return current ? Wires::TwoCurrent : Wires::TwoVoltage;
    }
    if (!guard && senses == 2) {
        return current ? Wires::FourCSensed : Wires::FourVSensed;
    }
    if (guard && senses == 0) {
        return Named(c.gs) ? Wires::Guarded4 : Wires::Guarded3;
    }
    if (guard && senses == 2 && Named(c.gs)) {
        return Wires::Guarded6;
    }
    return Wires::TwoVoltage;
}

// Bus line of a pin: the group by its role, the line by the parity of its pin number.
enum Group { kGroupA = 0, kGroupB = 2, kGroupC = 4, kGroupD = 6 };
int LineOf(Group group, int pin) {
    return group + (pin % 2 == 0 ? 0 : 1);
}

// Stated accuracy of one sample (three sigma) of the PSAM's meter and of the CMU.
double PsamAccuracy(double value, double range) {
    return 5e-4 * std::fabs(value) + 2e-4 * range;
}
double CmuAccuracy(double value, double range) {
    return 1e-3 * std::fabs(value) + 5e-4 * range;
}

// The CMU's current ranges; the gain code is the index.
constexpr double kCmuRanges[] = {1e-6, 2e-6, 5e-6, 10e-6, 20e-6, 50e-6, 100e-6, 200e-6, 500e-6,
                                 1e-3, 2e-3, 5e-3, 10e-3, 20e-3, 50e-3, 100e-3, 200e-3};
int GainCode(double range) {
    const auto* it = std::find_if(std::begin(kCmuRanges), std::end(kCmuRanges),
                                  [&](double r) { return r >= range * (1 - 1e-9); });
    return static_cast<int>(it - std::begin(kCmuRanges));
}

double Parallel(double a, double b) {
    return a * b / (a + b);
}

// The parts of the example's board by name.
class Board {
  public:
    explicit Board(const Netlist& netlist) : netlist_(netlist) {}
    double operator()(const char* name) const {
        const Element* e = netlist_.findElement(name);
        return e ? e->value : std::numeric_limits<double>::quiet_NaN();
    }

  private:
    const Netlist& netlist_;
};

struct Needle {
    std::string name;
    std::string card;
    int pin = 0; // pin index (P1 = 0): its parity picks the bus line
    ViInt32 channel = 0;
};

struct Reading {
    double ohms = std::numeric_limits<double>::quiet_NaN();
    double accuracy = 0; // of the meter, in ohms
};

template <typename T> struct FreeDeleter {
    void operator()(T* p) const { std::free(p); }
};

enum class Verdict { Pass, Below, Above };

// One measurement: a component of the example wired as `wires`. The reading must lie within
// [expected + addMin, expected + addMax] widened by the meter's accuracy, and `verdict` says where
// it falls against the component's limits.
struct Case {
    const char* component;
    Wires wires;
    double (*expected)(const Board&); // what the wiring reads on the board, leads apart
    double addMin, addMax;            // ohms the wiring adds to that
    Verdict verdict;
    double range = 0; // measurement range, 0: the component's own
};

class VbenchIctWireModes : public ::testing::Test {
  protected:
    void SetUp() override {
        LoadProgram();
        if (HasFatalFailure()) {
            return;
        }
        bench_ = std::make_shared<VirtualBench>();
        bench_->loadStation(LoadStation((kExample / "hardware.ini").string()));
        VirtualBench::activate(bench_);
        for (const StationDevice& d : bench_->station()->devices) {
            ViSession vi = 0;
            if (d.type == "SM160") {
                ASSERT_EQ(ZQsm160_InitWithOptions(d.resource.c_str(), 1, 1, "", &vi), VI_SUCCESS);
                ASSERT_EQ(ZQsm160_SetAttributeViBoolean(vi, "", kBusCoupling, VI_TRUE), VI_SUCCESS);
                cards_[d.name] = vi;
            } else if (d.type == "PSAM") {
                ASSERT_EQ(rspsam_InitWithOptions(d.resource.c_str(), 1, 1, "", &psam_), VI_SUCCESS);
                ASSERT_EQ(rspsam_ConfigureCoupling(psam_, 255), VI_SUCCESS);
            } else if (d.type == "PICT") {
                ASSERT_EQ(rspict_InitWithOptions(d.resource.c_str(), 1, 1, "", &pict_), VI_SUCCESS);
            }
        }
        ASSERT_EQ(cards_.size(), 2u) << "the example has two matrix cards";
        ASSERT_NE(psam_, 0);
        ASSERT_NE(pict_, 0);
        static const char* const lines[] = {"LABA1", "LABA2", "LABB1", "LABB2",
                                            "LABC1", "LABC2", "LABD1", "LABD2"};
        for (std::size_t i = 0; i < lines_.size(); ++i) {
            ASSERT_EQ(ZQsm160_getChannelId(0, lines[i], &lines_[i]), VI_SUCCESS);
        }
    }
    void TearDown() override {
        if (pict_) {
            rspict_close(pict_);
        }
        if (psam_) {
            rspsam_close(psam_);
        }
        for (const auto& [name, vi] : cards_) {
            ZQsm160_close(vi);
        }
        VirtualBench::activate(nullptr);
    }

    // The channel table of bench ICT and the component file, as the set-up and load steps read
    // them.
    void LoadProgram() {
        resmgr::inspect::Reset();
        int32_t warning = 0, code = 0;
        char message[kMessageSize] = {};
        RESMGR_Setup(0, (kExample / "hardware.ini").c_str(), (kExample / "system.ini").c_str(),
                     &warning, &code, message);
        ASSERT_EQ(code, 0) << message;
        channels_.reset(static_cast<BenchRecord*>(std::calloc(1, sizeof(BenchRecord))));
        StepError error;
        const bool read = ReadAppChannelTable(channels_.get(), kBenchSection, error);
        RESMGR_Cleanup(0, &warning, &code, message);
        resmgr::inspect::Reset();
        ASSERT_TRUE(read) << error.message;

        model_.reset(static_cast<ComponentModel*>(std::calloc(1, sizeof(ComponentModel))));
        strings_.reset(static_cast<char*>(std::malloc(kStringBufferSize)));
        char text[kMessageSize] = {};
        const std::string file = (kExample / "board.ict").string();
        ASSERT_GT(LoadComponentProgram(channels_.get(), model_.get(), file.c_str(), nullptr,
                                       strings_.get(), kStringBufferSize, text),
                  0)
            << text;
    }

    const ComponentRecord* Component(const char* name) const {
        for (int32_t i = 0; i < model_->componentCount; ++i) {
            const ComponentRecord& c = model_->components[i];
            if (c.classCode == kClassResistor && std::strcmp(c.name, name) == 0) {
                return &c;
            }
        }
        return nullptr;
    }

    // The matrix pin of an application channel name, as the test-pin lookup finds it.
    std::optional<Needle> NeedleOf(const char* name) const {
        for (int32_t i = 0; i < channels_->channelCount; ++i) {
            const ChannelRecord& ch = channels_->channels[i];
            if (ch.kind == 1 && std::strcmp(ch.appName, name) == 0 && cards_.count(ch.deviceName)) {
                return Needle{name, ch.deviceName, ch.pinIndex, ch.channelId};
            }
        }
        return std::nullopt;
    }

    void Ok(ViStatus s, const char* what) { ASSERT_EQ(s, VI_SUCCESS) << what; }

    // Sends a configuration with the component's source settings; `range` is the measurement
    // unit's range, `currentRange` the CMU's.
    void Configure(const Configuration& k, const SubTest& s, double range, double currentRange) {
        Ok(rspsam_SetAttributeViInt32(psam_, "", kSourceMode, k.sourceMode), "source mode");
        Ok(rspsam_cnx_Gnd(psam_, 4, VI_TRUE), "force LO ground");
        const int terminals[] = {1, 4, 2, 3};
        for (std::size_t i = 0; i < 4; ++i) {
            Ok(rspsam_cnx_Matrix(psam_, terminals[i], 255, k.dcs[i]), "source terminal");
        }
        Ok(rspsam_dcs_ConfigureVoltageLevel(psam_, s.v), "voltage");
        Ok(rspsam_dcs_ConfigureCurrentLimitRange(psam_, 0), "limit range");
        Ok(rspsam_dcs_ConfigureCurrentLimit(psam_, s.c), "limit");
        Ok(rspsam_dcs_ConfigureOutputEnabled(psam_, VI_TRUE), "output");

        if (k.function != 0) {
            Ok(rspsam_ConfigureMeasurement(psam_, k.function, range), "measurement");
        }
        Ok(rspsam_cnx_Matrix(psam_, 5, 255, k.t5), "terminal 5");
        Ok(rspsam_cnx_Gnd(psam_, 8, VI_FALSE), "terminal 8 ground");
        Ok(rspsam_cnx_Matrix(psam_, 8, 255, k.t8), "terminal 8");
        Ok(rspsam_ConfigureMultiPoint(psam_, 1, kSamples, 10, kInterval), "record");
        Ok(rspsam_mu_ConfigureLowpassFilter(psam_, kMuLowpass), "filter");
        Ok(rspsam_ConfigureTrigger(psam_, kImmediate, 0), "trigger");

        Ok(rspict_cmu_ConfigureSigCon(pict_, k.signal, GainCode(currentRange), 1, 0, currentRange),
           "signal");
        Ok(rspict_cmu_ConfigureRecorder(pict_, kSamples, kInterval), "recorder");
        Ok(rspict_cmu_ConfigureTrigger(pict_, kImmediate, 0), "cmu trigger");
        Ok(rspict_cnx_ConfigureSwitches(pict_, k.cmu.m5, k.cmu.m1, k.cmu.m2, k.cmu.m3, k.cmu.m4),
           "switches");
    }

    // Mean of a record of the PSAM's meter or of the CMU.
    double Mean(bool cmu) {
        std::vector<double> buffer(kSamples);
        ViInt32 n = 0;
        const ViStatus s = cmu ? rspict_cmu_Read(pict_, 1000, kSamples, buffer.data(), &n)
                               : rspsam_ReadMultiPoint(psam_, 1000, kSamples, buffer.data(), &n);
        EXPECT_EQ(s, VI_SUCCESS) << (cmu ? "CMU" : "PSAM") << " read";
        EXPECT_EQ(n, kSamples);
        return n > 0 ? std::accumulate(buffer.begin(), buffer.begin() + n, 0.0) / n : NAN;
    }

    // Measures component `c` wired as `w`: configures the instruments, connects its needles in
    // the library's order, reads and disconnects. `range` overrides the component's range.
    Reading Measure(const ComponentRecord& c, Wires w, double range) {
        const SubTest& s = c.sub[0];
        if (range <= 0) {
            range = CurrentMode(w) ? s.vr : s.cr;
        }
        // Needles in connection order with their bus lines.
        std::vector<std::pair<Needle, int>> wiring;
        bool missing = false;
        auto needle = [&](const char* name) {
            auto n = NeedleOf(name ? name : "");
            EXPECT_TRUE(n.has_value()) << c.name << ": pin '" << (name ? name : "") << "'";
            missing = missing || !n;
            return n.value_or(Needle{});
        };
        const Needle hi = needle(c.tp[0]), lo = needle(c.tp[1]);
        const bool hiEven = hi.pin % 2 == 0, loEven = lo.pin % 2 == 0;
        if (w == Wires::Guarded6) {
            const Needle sh = needle(c.ts[0]), sl = needle(c.ts[1]);
            EXPECT_NE(sh.pin % 2, hi.pin % 2) << c.name << ": HI and sense HI of one parity";
            EXPECT_NE(sl.pin % 2, lo.pin % 2) << c.name << ": LO and sense LO of one parity";
            wiring = {{hi, LineOf(kGroupA, hi.pin)},
                      {sh, LineOf(kGroupA, sh.pin)},
                      {lo, LineOf(kGroupB, lo.pin)},
                      {sl, LineOf(kGroupB, sl.pin)}};
        } else {
            wiring = {{hi, LineOf(kGroupA, hi.pin)}, {lo, LineOf(kGroupB, lo.pin)}};
            if (Sensed(w)) {
                const Needle sh = needle(c.ts[0]), sl = needle(c.ts[1]);
                wiring.push_back({sh, LineOf(kGroupC, sh.pin)});
                wiring.push_back({sl, LineOf(kGroupD, sl.pin)});
            }
        }
        if (Guarded(w)) {
            for (const char* gp : c.gp) {
                if (Named(gp)) {
                    const Needle g = needle(gp);
                    wiring.push_back({g, LineOf(kGroupC, g.pin)});
                }
            }
            if (w != Wires::Guarded3) {
                const Needle gs = needle(c.gs);
                wiring.push_back({gs, LineOf(kGroupD, gs.pin)});
            }
        }
        if (missing) {
            return {};
        }

        Configure(ConfigurationOf(w, hiEven, loEven), s, range, CurrentMode(w) ? s.cr : range);
        std::set<std::string> used;
        for (const auto& [n, line] : wiring) {
            Ok(ZQsm160_quickConnect(cards_.at(n.card), 1, lines_[static_cast<std::size_t>(line)],
                                    n.channel),
               n.name.c_str());
            used.insert(n.card);
        }
        Ok(ZQsm160_WaitForDebounce(cards_.at(wiring.back().first.card), 1000), "debounce");
        if (Guarded(w)) {
            Ok(rspict_WaitForSettling(pict_), "settling");
        }
        const double mean = Mean(Guarded(w));
        for (const std::string& card : used) {
            Ok(ZQsm160_hscDisconnectAll(cards_.at(card)), "disconnect");
        }

        Reading r;
        if (CurrentMode(w)) {
            r.ohms = mean / s.c;
            r.accuracy = PsamAccuracy(mean, range) / s.c;
        } else {
            r.ohms = s.v / mean;
            const double a = Guarded(w) ? CmuAccuracy(mean, range) : PsamAccuracy(mean, range);
            r.accuracy = r.ohms * a / std::fabs(mean);
        }
        return r;
    }

    // Measures one case and holds the reading against the board and the component's limits.
    // ownWires: the case's wiring is the one the component's pins and mode select.
    void Check(const Case& k, bool ownWires) {
        const std::string what = std::string(k.component) + " in " + NameOf(k.wires);
        const ComponentRecord* c = Component(k.component);
        ASSERT_NE(c, nullptr) << what;
        const SubTest& s = c->sub[0];
        if (ownWires) {
            EXPECT_EQ(SelectedWires(*c), k.wires) << what;
            // Every component the example tests must pass; the wrong part is switched off.
            EXPECT_EQ((c->flags & kFlagDisabled) == 0, k.verdict == Verdict::Pass) << what;
        }
        const Reading r = Measure(*c, k.wires, k.range);
        const double ohms = k.expected(Board(bench_->station()->board));
        EXPECT_GE(r.ohms, ohms + k.addMin - r.accuracy) << what;
        EXPECT_LE(r.ohms, ohms + k.addMax + r.accuracy) << what;
        switch (k.verdict) {
        case Verdict::Pass:
            EXPECT_TRUE(r.ohms >= s.ll && r.ohms <= s.ul)
                << what << ": " << r.ohms << " not within " << s.ll << " .. " << s.ul;
            break;
        case Verdict::Below:
            EXPECT_LT(r.ohms, s.ll) << what;
            break;
        case Verdict::Above:
            EXPECT_GT(r.ohms, s.ul) << what;
            break;
        }
    }

    std::unique_ptr<BenchRecord, FreeDeleter<BenchRecord>> channels_;
    std::unique_ptr<ComponentModel, FreeDeleter<ComponentModel>> model_;
    std::unique_ptr<char, FreeDeleter<char>> strings_;
    std::shared_ptr<VirtualBench> bench_;
    std::map<std::string, ViSession> cards_;
    ViSession psam_ = 0, pict_ = 0;
    std::array<ViInt32, 8> lines_{};
};

TEST_F(VbenchIctWireModes, EveryResistorReadsItsPartInItsOwnWireMode) {
    const Case cases[] = {
        // Two wires: both leads add to the part.
        {"R1", Wires::TwoVoltage, [](const Board& b) { return b("r1"); }, 2 * kLeadMin,
         2 * kLeadMax, Verdict::Pass},
        {"R2", Wires::TwoCurrent, [](const Board& b) { return b("r2"); }, 2 * kLeadMin,
         2 * kLeadMax, Verdict::Pass},
        // Four wires: the sense needles take the leads out.
        {"R3", Wires::FourVSensed, [](const Board& b) { return b("r3"); }, 0, 0, Verdict::Pass},
        {"R4", Wires::FourCSensed, [](const Board& b) { return b("r4"); }, 0, 0, Verdict::Pass},
        // Guarded on three wires: the guard current (1 V / 4.7 k) lifts the guard by its
        // needle's path, which pushes some 2 ohm worth of current through R52 into LO, while the
        // unsensed HI and LO leads add as much again; both stay within 5 ohm of the 10 k.
        {"R5", Wires::Guarded3, [](const Board& b) { return b("r5"); }, -5, 5, Verdict::Pass},
        // Four wires: the guard is held at its own needle. The LO lead stays in series with the
        // part and lets kPinPath / R62 of its current escape through R62 (45 ohm of 100 k); the
        // HI lead drops up to 0.5 mA x kLeadMax of the source's volt (40 ohm).
        {"R6", Wires::Guarded4, [](const Board& b) { return b("r6"); }, 0, 100, Verdict::Pass},
        // Six wires: every lead sensed.
        {"R7", Wires::Guarded6, [](const Board& b) { return b("r7"); }, 0, 0, Verdict::Pass},
        // The wrong part: 5.6 k fitted where the file expects 4.7 k.
        {"R8", Wires::TwoVoltage, [](const Board& b) { return b("r8"); }, 2 * kLeadMin,
         2 * kLeadMax, Verdict::Above},
    };
    for (const Case& k : cases) {
        Check(k, true);
    }
}

// Each resistor in a wiring of fewer wires than its own misses its limits by what the example's
// board is built to show.
TEST_F(VbenchIctWireModes, FewerWiresMissTheLimits) {
    const Case cases[] = {
        // Unguarded, the guarded 10 k reads its parallel path with it.
        {"R5", Wires::TwoVoltage,
         [](const Board& b) { return Parallel(b("r5"), b("r51") + b("r52")); }, 2 * kLeadMin,
         2 * kLeadMax, Verdict::Below, 500e-6},
        // The 10 ohm on two wires reads its leads as well.
        {"R3", Wires::TwoVoltage, [](const Board& b) { return b("r3"); }, 2 * kLeadMin,
         2 * kLeadMax, Verdict::Above},
        // The 100 k on three wires: the guard current through R61 lifts the guard by its
        // needle's path, which pushes kPinPath / (R61 R62) of the source's voltage through R62
        // into LO, some 2 % on top of the part's current. The leads add as in four wires (up to
        // 100 ohm); the guard, sensed on both C lines while its current runs on one, lifts a
        // little more than its needle's path alone (up to 300 ohm).
        {"R6", Wires::Guarded3,
         [](const Board& b) { return b("r6") / (1 + kPinPath * b("r6") / (b("r61") * b("r62"))); },
         -300, 100, Verdict::Below},
        // The 47 ohm on four guarded wires reads its unsensed leads: each carries the part's
        // current and its neighbour's (R71 on HI, R72 on LO), so each counts 1 + R7 / 100 times;
        // the LO lead is the needle's path, the HI lead up to 2 kRelay longer (1 + R7 / R71 is
        // below 1.5).
        {"R7", Wires::Guarded4,
         [](const Board& b) {
             return b("r7") + kPinPath * (1 + b("r7") / b("r72")) +
                    kLeadMin * (1 + b("r7") / b("r71"));
         },
         0, 2 * kRelay * 1.5, Verdict::Above},
    };
    for (const Case& k : cases) {
        Check(k, false);
    }
}

} // namespace
} // namespace kora::vbench
