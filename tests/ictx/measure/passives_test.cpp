// The capacitor and inductor tests on the passives example board (examples/ict/passives.*):
// every part, in every wire mode, reads its netlist value and what ngspice's AC analysis of the
// same part gives for the model the component verifies; the compensation values, the range
// search and the other models show in the value and in the verification comment.
#include "support/station.h"
#include "vbench/ngspice_runner.h"

#include <cmath>
#include <complex>
#include <map>
#include <numbers>
#include <regex>
#include <sstream>
#include <string>

namespace kora::test {
namespace {

using vbench::testing::NgspicePath;
using vbench::testing::RunNgspice;

const fs::path kExample = fs::path(KORA_EXAMPLES_DIR) / "ict";

struct Reading {
    double value = 0;
    std::string comment;
};

class Passives : public StationTest {
  protected:
    void TearDown() override {
        StationTest::TearDown();
        if (!dir_.empty()) {
            fs::remove_all(dir_);
        }
    }

    // The example's station in a temporary folder, with the component file and the physical
    // layer file edited; the readings of one run of the component file.
    std::map<std::string, Reading> Run(const std::vector<std::pair<std::string, std::string>>& ict,
                                       const std::string& hardwareTail = "") {
        dir_ = fs::temp_directory_path() / ("kora_passives_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        for (const char* f : {"passives-hardware.ini", "passives-system.ini", "passives.cir",
                              "passives-fixture.txt", "passives.ict"}) {
            fs::copy_file(kExample / f, dir_ / f);
        }
        std::ofstream(dir_ / "passives-hardware.ini", std::ios::app) << hardwareTail;
        std::string text = ReadFile(dir_ / "passives.ict");
        for (const auto& [from, to] : ict) {
            const auto at = text.find(from);
            EXPECT_NE(at, std::string::npos) << from;
            if (at != std::string::npos) {
                text.replace(at, from.size(), to);
            }
        }
        std::ofstream(dir_ / "passives.ict", std::ios::trunc) << text;
        hw_ = (dir_ / "passives-hardware.ini").string();
        sw_ = (dir_ / "passives-system.ini").string();
        bench_ = std::make_shared<VirtualBench>();
        bench_->loadStation(vbench::LoadStation(hw_));
        VirtualBench::activate(bench_);
        std::map<std::string, Reading> out;
        EXPECT_EQ(Setup("PASSIVES", 1), 0) << LastAlert();
        const std::string file = (dir_ / "passives.ict").string();
        EXPECT_EQ(LOAD_ICTX(10, "Load", 0x200, 0, "", file.c_str(), 1), 0) << LastAlert();
        EXPECT_NE(EXEC_ICTX(11, "Exec", 0x300, 0, "", "ANALOG", 1, 1000, ""), -2) << LastAlert();
        for (const auto& r : results()) {
            if (r.resultNo == 0 && std::string("CLR").find(r.stepName[0]) != std::string::npos) {
                out[r.stepName] = {r.value, r.comment};
            }
        }
        return out;
    }

    fs::path dir_;
};

// The part's own lines of the board: every element whose first node is the part's.
std::string PartNetlist(const std::string& part) {
    std::istringstream in(ReadFile(kExample / "passives.cir"));
    std::ostringstream out;
    out << part << " alone\n";
    std::string line;
    const std::regex element("^[A-Za-z]\\w* " + part + "_\\w+ .*");
    while (std::getline(in, line)) {
        if (std::regex_match(line, element)) {
            out << line << "\n";
        }
    }
    return out.str();
}

TEST_F(Passives, EveryPartReadsItsNetlistValueAndNgspicesInEveryMode) {
    if (NgspicePath().empty()) {
        GTEST_SKIP() << "ngspice is not installed";
    }
    const struct {
        const char* name;
        double nominal, frequency;
        bool series, guarded;
        const char* comment;
    } parts[] = {
        {"C1", 100e-12, 1e4, false, false, "CAP-PAR.2V"},
        {"C2", 10e-9, 1e4, false, false, "CAP-PAR.2V"},
        {"C3", 1e-6, 1e3, true, false, "CAP-SER.4VS"},
        {"C4", 220e-9, 1e3, false, true, "CAP-PAR.3G"},
        {"C5", 47e-6, 100, true, true, "CAP-SER.4G"},
        {"C6", 1000e-6, 100, true, false, "CAP-SER.4VS"},
        {"C7", 4.7e-6, 1e3, true, true, "CAP-SER.6G"},
        {"L1", 10e-6, 1e4, true, false, "IND-SER.4VS"},
        {"L2", 1e-3, 1e4, true, false, "IND-SER.2V"},
        {"L3", 100e-3, 1e3, true, false, "IND-SER.2V"},
        {"L4", 10e-3, 1e3, true, true, "IND-SER.4G"},
        {"L5", 4.7e-3, 1e4, false, false, "IND-PAR.2V"},
    };
    const auto read = Run({});
    for (const auto& p : parts) {
        SCOPED_TRACE(p.name);
        ASSERT_TRUE(read.count(p.name));
        const Reading& r = read.at(p.name);
        EXPECT_EQ(r.comment, p.comment);
        EXPECT_NEAR(r.value, p.nominal, p.nominal * 0.01);
        // ngspice: the part driven at HI, LO and the guard node held at 0 V as the CMU and the
        // guard driver hold them; the current into LO.
        std::string part = p.name;
        for (char& c : part) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        std::string deck =
            PartNetlist(part) + "VT " + part + "_a 0 dc 0 ac 1\nVL " + part + "_b 0 dc 0\n";
        if (p.guarded) {
            deck += "VG " + part + "_g 0 dc 0\n";
        }
        const std::string f = std::to_string(p.frequency);
        const auto ref = RunNgspice(deck + ".end\n", {"ac lin 1 " + f + " " + f, "print i(vl)"});
        ASSERT_TRUE(ref.ran && ref.values.count("i(vl)")) << ref.log;
        const std::complex<double> y = ref.values.at("i(vl)");
        const std::complex<double> z = 1.0 / y;
        const double w = 2 * std::numbers::pi * p.frequency;
        const bool inductor = p.name[0] == 'L';
        const double expected = inductor ? (p.series ? z.imag() / w : -1 / (w * y.imag()))
                                         : (p.series ? -1 / (w * z.imag()) : y.imag() / w);
        EXPECT_NEAR(r.value, expected, std::fabs(expected) * 0.01);
    }
}

TEST_F(Passives, AutomaticZeroReportsTheOffsetOfEveryRangeInOrder) {
    Run({});
    std::vector<std::string> names;
    double first = 0;
    for (const auto& r : results()) {
        if (r.name.rfind("OFFS.", 0) == 0) {
            first = names.empty() ? r.value : first;
            names.push_back(r.name);
        }
    }
    ASSERT_EQ(names.size(), 16u);
    EXPECT_EQ(names.front(), "OFFS.1uA");
    EXPECT_EQ(names[9], "OFFS.1mA");
    EXPECT_EQ(names.back(), "OFFS.100mA");
    EXPECT_NEAR(first, 10e-9, 0.1e-9); // the station's offset of the 1 uA range
}

TEST_F(Passives, CompensationRangeSearchAndModelsShowInValueAndComment) {
    const struct {
        const char* what;
        std::vector<std::pair<std::string, std::string>> ict;
        std::string hardware;
        const char* part;
        double value, tolerance;
        const char* comment;
    } cases[] = {
        {"system capacitance subtracted",
         {},
         "\n[ICTX]\nSYSC0 = 10e-12\n",
         "C1",
         90e-12,
         1e-12,
         "CAP-PAR.2V,CAP0"},
        {"system inductance subtracted",
         {},
         "\n[ICTX]\nSYSL0 = 1e-6\n",
         "L1",
         9e-6,
         1e-7,
         "IND-SER.4VS,IND0"},
        {"range search",
         {{"NV=1e-6\nCR=0.002", "NV=1e-6\nCR=0.0002\nAR=1"}},
         "",
         "C3",
         1e-6,
         1e-8,
         "CAP-SER.4VS,AR"},
        {"over range without search",
         {{"NV=1e-6\nCR=0.002", "NV=1e-6\nCR=0.0002\nAR=0"}},
         "",
         "C3",
         999000000,
         0,
         "CAP-SER.4VS,ORC"},
        {"impedance",
         {{"MM=\"CP\"\nNV=10e-9", "MM=\"ZM\"\nNV=1600\nF=10000"}},
         "",
         "C2",
         1591.4,
         8,
         "IMP-MAG.2V"},
        {"phase", {{"MM=\"LP\"", "MM=\"ZP\""}}, "", "L5", 88.31, 0.2, "IMP-PHASE.2V"},
        {"voltage over range",
         {{"V=1\nCR=20e-6", "V=1\nVR=0.1\nCR=20e-6"}},
         "",
         "C1",
         999000000,
         0,
         "CAP-PAR.2V,ORV"},
        {"automatic zero", {}, "", "R1", 1e6, 1e3, "RESISTOR.2V,CUR0"},
        {"offsets left at 0 without automatic zero",
         {{"*/\nAZ=1\n", "*/\nAZ=0\n"}},
         "",
         "R1",
         1e6 / 1.02,
         1e3,
         "RESISTOR.2V,CUR0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto read = Run(c.ict, c.hardware);
        ASSERT_TRUE(read.count(c.part));
        EXPECT_NEAR(read.at(c.part).value, c.value, c.tolerance);
        EXPECT_EQ(read.at(c.part).comment, c.comment);
        TearDown();
        SetUp();
    }
}

} // namespace
} // namespace kora::test
