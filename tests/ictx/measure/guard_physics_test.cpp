// Guarding as a real guard behaves, through the library's resistor test on a virtual station: a
// 47 k with 220 + 330 around it through a guard node, 0.5 ohm on every lead. Each wire mode's
// reading must agree with ngspice on the same board plus ideal instruments wired by that mode's
// masks (docs/analog-bus.md), with tiny and with the example station's relays, whatever the
// order in which the modes run.
#include "ictx/program/ict_program_support.h"
#include "support/station.h"
#include "vbench/ngspice_runner.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace kora::test {
namespace {

using vbench::testing::NgspicePath;
using vbench::testing::RunNgspice;

constexpr double kVolts = 1.0;

// The part, its path around through g, and a 0.5 ohm lead to every needle.
constexpr const char* kBoard = "guarded 47 k\n"
                               "R1 h l 47k\nR2 h g 220\nR3 g l 330\n"
                               "RHI h nh 0.5\nRLO l nl 0.5\nRG g ng 0.5\n"
                               "RGS g ngs 0.5\nRSH h nsh 0.5\nRSL l nsl 0.5\n.end\n";
// HI P1 (even: A1), LO P2 (odd: B2), guard P3 (C1) on the first card; on the second, guard sense
// P3 (D1) and the six-wire sense pins of the other parity: sense HI P2 (A2), sense LO P1 (B1).
constexpr const char* kFixture = "MATRIX_A1 P1 nh\nMATRIX_A1 P2 nl\nMATRIX_A1 P3 ng\n"
                                 "MATRIX_A2 P2 nsh\nMATRIX_A2 P1 nsl\nMATRIX_A2 P3 ngs\n";
constexpr const char* kChannels = "[CHANNELS_ICT]\nHI = MATRIX_A1!P1\nLO = MATRIX_A1!P2\n"
                                  "G = MATRIX_A1!P3\nSH = MATRIX_A2!P2\nSL = MATRIX_A2!P1\n"
                                  "GS = MATRIX_A2!P3\n";

enum Mode { kTwoVoltage, kThreeGuarded, kFourGuarded, kSixGuarded, kModes };
constexpr const char* kModeNames[kModes] = {"2-VOLTAGE", "3-GUARDED", "4-GUARDED", "6-GUARDED"};

// The component of a mode: pins, and a range that holds its current.
std::string Component(Mode mode, int section) {
    static constexpr const char* kPins[kModes] = {
        "TP=\"HI\"\nTP=\"LO\"\n", "TP=\"HI\"\nTP=\"LO\"\nGP=\"G\"\n",
        "TP=\"HI\"\nTP=\"LO\"\nGP=\"G\"\nGS=\"GS\"\n",
        "TP=\"HI\"\nTP=\"LO\"\nTS=\"SH\"\nTS=\"SL\"\nGP=\"G\"\nGS=\"GS\"\n"};
    std::ostringstream s;
    s << "[" << section << ", \"" << kModeNames[mode] << "\", \"RESISTOR\", \"\", \"\"]\n"
      << kPins[mode] << "MM=\"V\"\nNV=47000\nNV+=90\nNV-=-90\nV=" << kVolts
      << "\nC=0.05\nAR=0\nMA=400\nCR=" << (mode == kTwoVoltage ? "0.002" : "0.00005") << "\n";
    return s.str();
}

// ---- the reference: the same board, every relay and bus line as a resistor, ideal instruments --

// Line order a1 a2 b1 b2 c1 c2 d1 d2; the PSAM's mask bit of each.
constexpr int kPsamBit[8] = {7, 3, 6, 2, 5, 1, 4, 0};
constexpr const char* kLine[8] = {"a1", "a2", "b1", "b2", "c1", "c2", "d1", "d2"};
// The PICT's masks 1..4: line of each bit (-1 none).
int PictLine(int mask, int bit) {
    switch (mask) {
    case 1:
        return bit < 8 ? bit : -1;
    case 2:
        return bit == 6 ? 4 : bit == 7 ? 5 : -1;
    case 3:
        return bit == 6 ? 2 : bit == 7 ? 3 : bit == 8 ? 6 : bit == 9 ? 7 : -1;
    default:
        return bit >= 10 && bit <= 13 ? bit - 6 : -1;
    }
}

struct Wiring {
    std::array<int, 4> dcs;                        // terminals 1, 4, 2, 3
    int t5, t8;                                    // meter, 2-VOLTAGE only
    std::array<int, 4> pict;                       // masks 1..4
    std::vector<std::pair<const char*, int>> pins; // needle net (card x/y by the name) and line
};

Wiring WiringOf(Mode mode) {
    switch (mode) {
    case kTwoVoltage:
        return {{0x88, 0x22, 0x88, 0x44}, 0x44, 0x22, {0, 0, 0, 0}, {{"nh", 0}, {"nl", 3}}};
    case kThreeGuarded:
        return {{0x88, 0x22, 0x88, 0x22},
                0,
                0,
                {0x0C, 0xC0, 0xC0, 0xC00},
                {{"nh", 0}, {"nl", 3}, {"ng", 4}}};
    case kFourGuarded:
        return {{0x88, 0x22, 0x88, 0x11},
                0,
                0,
                {0x0C, 0xC0, 0xC0, 0x3000},
                {{"nh", 0}, {"nl", 3}, {"ng", 4}, {"ngs", 6}}};
    default:
        return {{0x80, 0x22, 0x08, 0x11},
                0,
                0,
                {0x08, 0xC0, 0x40, 0x3000},
                {{"nh", 0}, {"nl", 3}, {"ng", 4}, {"ngs", 6}, {"nsh", 1}, {"nsl", 2}}};
    }
}

std::string Reference(Mode mode, double relay, double bus) {
    const Wiring w = WiringOf(mode);
    std::ostringstream n;
    n << "reference\nR1 h l 47k\nR2 h g 220\nR3 g l 330\nRHI h nh 0.5\nRLO l nl 0.5\n"
         "RG g ng 0.5\nRGS g ngs 0.5\nRSH h nsh 0.5\nRSL l nsl 0.5\n";
    int k = 0;
    auto r = [&](const std::string& a, const std::string& b, double ohms) {
        n << "RX" << ++k << " " << a << " " << b << " " << ohms << "\n";
    };
    // Matrix: crosspoint, and the coupling of each card line that holds a pin.
    std::array<std::array<bool, 8>, 2> used{};
    for (const auto& [net, line] : w.pins) {
        const int card =
            std::string(net) == "ngs" || std::string(net) == "nsh" || std::string(net) == "nsl" ? 1
                                                                                                : 0;
        r(net, std::string(card ? "cy" : "cx") + kLine[line], relay);
        used[static_cast<std::size_t>(card)][static_cast<std::size_t>(line)] = true;
    }
    for (int card = 0; card < 2; ++card) {
        for (int line = 0; line < 8; ++line) {
            if (used[static_cast<std::size_t>(card)][static_cast<std::size_t>(line)]) {
                r(std::string(card ? "cy" : "cx") + kLine[line], std::string("s") + kLine[line],
                  relay + bus);
            }
        }
    }
    // PSAM: coupling of all lines, terminal relays, ground reference, sense bridges, source.
    const int terminals[4] = {1, 4, 2, 3};
    for (int line = 0; line < 8; ++line) {
        r(std::string("p") + kLine[line], std::string("s") + kLine[line], relay);
        for (int t = 0; t < 4; ++t) {
            if ((w.dcs[static_cast<std::size_t>(t)] >> kPsamBit[line]) & 1) {
                r("t" + std::to_string(terminals[t]), std::string("p") + kLine[line], relay);
            }
        }
        if ((w.t5 >> kPsamBit[line]) & 1) {
            r("t5", std::string("p") + kLine[line], relay);
        }
        if ((w.t8 >> kPsamBit[line]) & 1) {
            r("t8", std::string("p") + kLine[line], relay);
        }
    }
    r("t4", "0", relay + 10);
    r("t2", "t1", 10e3);
    r("t3", "t4", 10e3);
    n << "VSET ref t3 DC " << kVolts << "\nESRC t1 t4 ref t2 1e9\n";
    if (mode == kTwoVoltage) {
        n << "VAM t5 t8 DC 0\n";
    }
    // PICT: CMU input and sense, guard output and sense; each amplifier holds its sense at 0 V.
    const char* unit[4] = {"ci", "go", "cs", "gs"};
    for (int m = 1; m <= 4; ++m) {
        for (int bit = 0; bit < 16; ++bit) {
            const int line = PictLine(m, bit);
            if (line >= 0 && ((w.pict[static_cast<std::size_t>(m - 1)] >> bit) & 1)) {
                r(unit[m - 1], std::string("s") + kLine[line], relay);
            }
        }
    }
    if (mode != kTwoVoltage) {
        r("cs", "ci", 10e3);
        r("gs", "go", 10e3);
        n << "VAM ci cix DC 0\nECMU cix 0 0 cs 1e9\nEGD go 0 0 gs 1e9\n";
    }
    n << ".end\n";
    return n.str();
}

class GuardPhysics : public StationTest {
  protected:
    void TearDown() override {
        StationTest::TearDown();
        if (!dir_.empty()) {
            fs::remove_all(dir_);
        }
    }

    void UseGuardStation(double relay, double bus) {
        dir_ = fs::temp_directory_path() / ("kora_guard_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        const fs::path example = fs::path(KORA_EXAMPLES_DIR) / "ict";
        for (const char* f : {"hardware.ini", "system.ini"}) {
            fs::copy_file(example / f, dir_ / f);
        }
        std::string hw = ReadFile(dir_ / "hardware.ini");
        hw = std::regex_replace(hw, std::regex("RelayResistance = [^\n]*"),
                                "RelayResistance = " + std::to_string(relay));
        hw = std::regex_replace(hw, std::regex("BusResistance = [^\n]*"),
                                "BusResistance = " + std::to_string(bus));
        std::ofstream(dir_ / "hardware.ini", std::ios::trunc) << hw;
        std::string sys = ReadFile(dir_ / "system.ini");
        sys = sys.substr(0, sys.find("[CHANNELS_ICT]")) + kChannels;
        std::ofstream(dir_ / "system.ini", std::ios::trunc) << sys;
        std::ofstream(dir_ / "board.cir") << kBoard;
        std::ofstream(dir_ / "fixture.txt") << kFixture;
        UseStation(dir_);
        ASSERT_EQ(Setup("ICT", 1), 0) << LastAlert();
    }

    // Runs the modes in `order` as one program; the reading of each mode.
    std::array<double, kModes> Run(const std::array<Mode, kModes>& order, long stepRef) {
        std::string ict = "[1, \"SETUP\", \"SETUP\", \"\", \"guard board\"]\n";
        for (int i = 0; i < kModes; ++i) {
            ict += Component(order[static_cast<std::size_t>(i)], 10 * (i + 1));
        }
        const std::string file = (dir_ / "board.ict").string();
        std::ofstream(file, std::ios::trunc) << ict;
        EXPECT_EQ(LOAD_ICTX(stepRef, "Load", 0x200, 0, "", file.c_str(), 1), 0) << LastAlert();
        const std::size_t before = results().size();
        EXPECT_NE(EXEC_ICTX(stepRef + 1, "Exec", 0x300, 0, "", "ANALOG", 1, stepRef * 100, ""), -2)
            << LastAlert();
        std::array<double, kModes> out{};
        const auto all = results();
        for (std::size_t i = before; i < all.size(); ++i) {
            const auto& r = all[i];
            for (int m = 0; m < kModes; ++m) {
                if (r.stepName == kModeNames[m] && r.resultNo == 0) {
                    out[static_cast<std::size_t>(m)] = r.value;
                }
            }
        }
        return out;
    }

    fs::path dir_;

    // Each mode's reading against its reference, in all 24 orders of the modes.
    void CheckEveryOrder(double relay, double bus) {
        UseGuardStation(relay, bus);
        std::array<double, kModes> expected{};
        for (int m = 0; m < kModes; ++m) {
            const auto ref =
                RunNgspice(Reference(static_cast<Mode>(m), relay, bus), {"op", "print i(vam)"});
            ASSERT_TRUE(ref.ran && ref.values.count("i(vam)")) << ref.log;
            expected[static_cast<std::size_t>(m)] = kVolts / ref.values.at("i(vam)").real();
        }
        // Guarding sensed at the guard needle and sensing both ends reads the part itself.
        EXPECT_NEAR(expected[kSixGuarded], 47e3, 47e3 * 1e-3);
        std::array<Mode, kModes> order = {kTwoVoltage, kThreeGuarded, kFourGuarded, kSixGuarded};
        long stepRef = 10;
        do {
            const auto read = Run(order, stepRef);
            stepRef += 2;
            for (int m = 0; m < kModes; ++m) {
                const double e = expected[static_cast<std::size_t>(m)];
                EXPECT_NEAR(read[static_cast<std::size_t>(m)], e, e * 1e-3)
                    << kModeNames[m] << " in the order " << order[0] << order[1] << order[2]
                    << order[3];
            }
        } while (std::next_permutation(order.begin(), order.end()));
    }
};

TEST_F(GuardPhysics, TinyRelaysAgreeWithNgspiceInEveryOrder) {
    if (NgspicePath().empty()) {
        GTEST_SKIP() << "ngspice is not installed";
    }
    CheckEveryOrder(1e-3, 1e-3);
}

TEST_F(GuardPhysics, ExampleStationRelaysAgreeWithNgspiceInEveryOrder) {
    if (NgspicePath().empty()) {
        GTEST_SKIP() << "ngspice is not installed";
    }
    CheckEveryOrder(0.2, 0.05);
}

} // namespace
} // namespace kora::test
