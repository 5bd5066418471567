// COMPENSATE_ICTX on a fixture whose needles have strays of their own: each needle couples
// 160 pF to the fixture's body and has 2 uH in series, and every relay and bus line adds its
// resistance. A 10 pF capacitor, a 10 uH inductor and a 0.47 ohm resistor read their value plus
// the fixture's before the compensation and their own value after it; the system compensation on
// two spare needles stores the bench's value.
#include "support/station.h"

#include <cmath>
#include <limits>
#include <map>
#include <string>

namespace kora::test {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr const char* kBoard = "fixture strays\nC1 c1a c1b 10p\nL1 l1a l1b 10u\nRL1 l1a l1b 1meg\n"
                               "R1 r1a r1b 0.47\nRS sa sb 1g\n.end\n";
constexpr const char* kFixture = "MX1 P1 c1a\nMX1 P2 c1b\nMX1 P5 l1a\nMX1 P6 l1b\nMX1 P9 r1a\n"
                                 "MX1 P10 r1b\nMX1 P13 sa\nMX1 P14 sb\n";
constexpr const char* kProgram =
    "[1, \"SETUP\", \"SETUP\", \"\", \"\"]\n"
    "[10, \"C1\", \"CAPACITOR\", \"\", \"\"]\nTP=\"C1A\"\nTP=\"C1B\"\nNV=10e-12\nV=1\nCR=1e-4\n"
    "MA=4\n"
    "[20, \"L1\", \"INDUCTOR\", \"\", \"\"]\nTP=\"L1A\"\nTP=\"L1B\"\nNV=10e-6\nV=0.1\nMA=4\nAR=1\n"
    "[30, \"R1\", \"RESISTOR\", \"\", "
    "\"\"]\nTP=\"R1A\"\nTP=\"R1B\"\nNV=0.47\nMM=\"C\"\nV=1\nC=0.01\n"
    "VR=0.02\nAR=0\nMA=100\n";

class Compensation : public StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        dir_ = fs::temp_directory_path() / ("kora_compensation_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        std::ofstream(dir_ / "board.cir") << kBoard;
        std::ofstream(dir_ / "fixture.txt") << kFixture;
        std::ofstream(dir_ / "board.ict") << kProgram;
        std::ofstream(dir_ / "hardware.ini")
            << "[device->MX1]\nType = SM160\nResourceDesc = CAN0::0::1\n"
               "[device->PSAM1]\nType = PSAM\nResourceDesc = CAN0::0::3\n"
               "[device->PICT1]\nType = PICT\nResourceDesc = CAN0::0::4\n"
               "[VirtualBench]\nBoard = board.cir\nFixture = fixture.txt\nRelayResistance = 0.2\n"
               "BusResistance = 0.05\nNeedleCapacitance = 160p\nNeedleInductance = 2u\n"
               "NoiseSeed = 7\n";
        std::ofstream(dir_ / "system.ini")
            << "[LogicalNames]\nICT = BENCH_ICT\n[BENCH_ICT]\nType = BENCH\nAppChannelTable = CH\n"
               "KORAsetupROUTE = 0\nKORAsetupICTX = 1\nICTDevice = PSAM1\nICTDevice2 = PICT1\n"
               "SwitchDevice1 = MX1\n[CH]\nC1A = MX1!P1\nC1B = MX1!P2\nL1A = MX1!P5\n"
               "L1B = MX1!P6\nR1A = MX1!P9\nR1B = MX1!P10\nSA = MX1!P13\nSB = MX1!P14\n";
        UseStation(dir_);
        ASSERT_EQ(Setup("ICT", 1), 0) << LastAlert();
        const std::string file = (dir_ / "board.ict").string();
        ASSERT_EQ(LOAD_ICTX(2, "Load", 0x200, 0, "", file.c_str(), 1), 0) << LastAlert();
    }
    void TearDown() override {
        StationTest::TearDown();
        fs::remove_all(dir_);
    }

    double Read(const char* part, long stepRef) {
        const std::size_t before = results().size();
        EXPECT_NE(EXEC_ICTX(stepRef, "Exec", 0x300, 0, "", "ANALOG", 1, 1000, ""), -2)
            << LastAlert();
        const auto all = results();
        for (std::size_t i = before; i < all.size(); ++i) {
            if (all[i].stepName == part && all[i].resultNo == 0) {
                return all[i].value;
            }
        }
        ADD_FAILURE() << part << " not measured";
        return 0;
    }
    long Compensate(const char* type, const char* hi, const char* lo, long stepRef) {
        return COMPENSATE_ICTX(stepRef, "Compensate", 0x400, 0, "", type, "", kNaN, kNaN, kNaN, hi,
                               lo, 1);
    }

    fs::path dir_;
};

using Fixture = VirtualBench::Fixture;

TEST_F(Compensation, FixtureCompensationTakesTheFixtureOutOfEveryReading) {
    const struct {
        const char* type;
        const char* part;
        double value, stray, tolerance;
        Fixture fixture;
    } cases[] = {
        // Two needles of 160 pF to the body: 80 pF across the part.
        {"CAPACITORS", "C1", 10e-12, 80e-12, 0.3e-12, Fixture::Removed},
        // Two needles of 2 uH in series with it.
        {"INDUCTORS", "L1", 10e-6, 4e-6, 0.15e-6, Fixture::ShortPlate},
        // The relays, bus lines and needle contacts on both sides, some 1.4 ohm, in series.
        {"RESISTORS", "R1", 0.47, 1.0, 0.01, Fixture::ShortPlate},
    };
    long step = 10;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        const double before = Read(c.part, step++);
        EXPECT_GT(before, c.value + 0.5 * c.stray);
        bench_->setFixture(c.fixture);
        EXPECT_EQ(Compensate(c.type, "", "", step++), 0) << LastAlert();
        bench_->setFixture(Fixture::Board);
        EXPECT_NEAR(Read(c.part, step++), c.value, c.tolerance);
    }
}

TEST_F(Compensation, SystemCompensationStoresTheBenchValueWithinItsLimits) {
    const struct {
        const char* type;
        int index;
        double expected, tolerance;
        Fixture fixture;
    } cases[] = {
        {"CAPACITORS", kSysC0, 80e-12, 1e-12, Fixture::Removed},
        {"INDUCTORS", kSysL0, 4e-6, 0.1e-6, Fixture::ShortPlate},
        {"RESISTORS", kSysR0, 1.3, 0.3, Fixture::ShortPlate},
    };
    long step = 40;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        bench_->setFixture(c.fixture);
        EXPECT_EQ(Compensate(c.type, "SA", "SB", step++), 0) << LastAlert();
        const BenchRecord* bench = BenchByIndex(1);
        ASSERT_NE(bench, nullptr);
        EXPECT_NEAR(bench->compensation[c.index], c.expected, c.tolerance);
    }
    // The inductor's system compensation component is marked as such, the capacitor's by its
    // compensation value.
    std::map<std::string, std::string> comments;
    for (const auto& r : results()) {
        comments[r.stepName] = r.comment;
    }
    EXPECT_EQ(comments["SYSL0"], "IND-SER.2V.SYSL0");
    EXPECT_EQ(comments["SYSC0"], "CAP-PAR.2V.CAP0");
    // An unknown class word is refused with the word.
    EXPECT_EQ(Compensate("DIODES", "SA", "SB", step), -2);
    EXPECT_NE(LastAlert().find("DIODES"), std::string::npos) << LastAlert();
}

} // namespace
} // namespace kora::test
