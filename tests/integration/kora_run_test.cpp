// kora-run as an engineer uses it: the real binary on program files, its console, exit status and
// reports read back with independent parsers (YAML for JSON, Qt's XML reader, SQLite).
#include "vbench/ngspice_runner.h"

#include <QFile>
#include <QXmlStreamReader>
#include <sqlite3.h>
#include <yaml-cpp/yaml.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int exit = -1;
    std::string out, err;
};

class KoraRun : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("kora_run_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path Write(const std::string& name, const std::string& text) {
        fs::path p = dir_ / name;
        std::ofstream(p) << text;
        return p;
    }
    static std::string Read(const fs::path& p) {
        std::ifstream in(p);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    Outcome Run(const std::string& args) {
        const fs::path out = dir_ / "stdout.txt", err = dir_ / "stderr.txt";
        std::string cmd = std::string(KORA_RUN_PATH) + " " + args + " >" + out.string() + " 2>" +
                          err.string() + " </dev/null";
        int status = std::system(cmd.c_str());
        Outcome o;
        o.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        o.out = Read(out);
        o.err = Read(err);
        return o;
    }
    fs::path dir_;
};

std::string Example(const char* name) {
    return (fs::path(KORA_EXAMPLES_DIR) / "programs" / name).string();
}

constexpr const char* kMixed = R"(program: Mixed
uut: {serial: SN-7, part: P-1}
variables:
  v: {type: real, value: 6.0}
steps:
  - method: COMPR_KORA
    name: Too high
    DevChanAttr: VDC
    LLimit: "4.75"
    Value: $v
    ULimit: "5.25"
  - method: COMPR_KORA
    name: Unknown value
    DevChanAttr: OHM
    LLimit: "1 k"
    ULimit: "2 k"
  - method: COMPI_KORA
    name: Count
    DevChanAttr: ""
    Value: 3
    ULimit: "<=3"
)";

TEST_F(KoraRun, ExampleProgramPasses) {
    Outcome o = Run(Example("compare.yaml"));
    EXPECT_EQ(o.exit, 0) << o.err;
    EXPECT_NE(o.out.find("Supply voltage                 5.0200 V           4.7500 V <= x <= "
                         "5.2500 V                PASS"),
              std::string::npos)
        << o.out;
    EXPECT_NE(o.out.find("Ripple                         12.0000 mV         x < 20.0000 mV"),
              std::string::npos);
    EXPECT_NE(o.out.find("UUT SN-0001 / KORA-DEMO-1: PASSED   8 steps, 6 results passed, 0 "
                         "failed, 26 done, 0 errors"),
              std::string::npos)
        << o.out;
    EXPECT_EQ(o.err, ""); // no progress line when the output is not a terminal
}

TEST_F(KoraRun, StationProgramBringsTheStationUpAndDown) {
    const fs::path log = dir_ / "station.log";
    Outcome o = Run(Example("station.yaml") + " --log " + log.string());
    EXPECT_EQ(o.exit, 0) << o.err << o.out;
    // The inventory of the set-up, the handles and the bench selection.
    for (const char* line :
         {"    DMM1                         \"LINE: DMM_A, GPIB0::22::INSTR\"",
          "    ICTX                         \"LINE: SM160(1),PSAM,PICT\"",
          "    DMM1                         \"LINE2: DMM_B, GPIB0::23::INSTR\"",
          "  Set up the station             15                 0 <= x",
          "  Select the functional bench    2 ", "UUT SN-0002 / KORA-DEMO-1: PASSED   7 steps"}) {
        EXPECT_NE(o.out.find(line), std::string::npos) << line << "\n" << o.out;
    }
    // The operator's log, from the first line of the set-up to the last of the cleanup.
    const std::string text = Read(log);
    EXPECT_EQ(text.rfind("ALLOC MEMORY: BENCHES=2\n\nRESMGR_Setup(COMPILE_BEGIN)\n\n", 0), 0u)
        << text;
    for (const char* part :
         {"KORA_Setup(BEGIN)\n\n LOCKED\n PROCESS_PRIORITY_CLASS=0x", " UNLOCK\nKORA_Setup(END)\n",
          "RESET Bench: LINE\nRESET Bench: LINE2\n",
          "   ICTX_Cleanup(LINE)\n      Close MATRIX_A7 driver\n",
          " FreeBenchMemory\n UNLOCK\nKORA_CLEANUP(END)\n"}) {
        EXPECT_NE(text.find(part), std::string::npos) << part;
    }
}

TEST_F(KoraRun, WholeBoardProgramTestsPartsThenPowersTheBoard) {
    Outcome o = Run(Example("board.yaml") + " --json " + (dir_ / "board.json").string());
    EXPECT_EQ(o.exit, 0) << o.err << o.out;
    for (const char* name :
         {"R1", "R2", "RL", "RF", "R5", "R6", "Supply current", "Divider output",
          "Regulator output", "Filter output at 1.6 kHz", "Board current with the load"}) {
        const std::size_t at = o.out.find(std::string(" ") + name + " ");
        ASSERT_NE(at, std::string::npos) << name << "\n" << o.out;
        const std::size_t end = o.out.find('\n', at);
        EXPECT_NE(o.out.substr(at, end - at).find("PASS"), std::string::npos) << name;
    }
    EXPECT_NE(o.out.find("PASSED   16 steps, 15 results passed, 0 failed"), std::string::npos)
        << o.out;
}

TEST_F(KoraRun, BenchLifeCycleThroughPrograms) {
    // A copy of the example station, so that its configuration can be broken on purpose.
    const fs::path station = dir_ / "station";
    fs::copy(fs::path(KORA_EXAMPLES_DIR) / "station", station);
    const std::string setup = "  - method: SETUP_KORA\n    BenchName: LINE\n    BenchCount: 2\n"
                              "    SW_Config: " +
                              (station / "system.ini").string() +
                              "\n    HW_Config: " + (station / "hardware.ini").string() + "\n";
    const std::string program =
        "program: Life cycle\nsteps:\n" + setup +
        "  - method: CLEANUP_KORA\n    DevChanAttr: SERIAL|COM1\n"
        "  - method: CONF_KORA\n    DevChanAttr: BENCH\n    SetValue: 2\n"
        "  - method: CONF_KORA\n    DevChanAttr: BENCH_AUTOSELECT\n    SetValue: 0\n" +
        setup + "  - method: CLEANUP_KORA\n";
    const fs::path log = dir_ / "cycle.log";
    Outcome o = Run(Write("cycle.yaml", program).string() + " --log " + log.string());
    EXPECT_EQ(o.exit, 0) << o.err << o.out;
    const std::string text = Read(log);
    EXPECT_EQ(text.find("remains open"), std::string::npos) << text;
    EXPECT_NE(text.find("      Close MATRIX_A7 driver"), std::string::npos) << text;

    // A misspelt channel table ends the set-up with the resource manager's error.
    std::string config = Read(station / "system.ini");
    const std::string key = "AppChannelTable = ";
    config.insert(config.find(key) + key.size(), "X");
    std::ofstream(station / "system.ini") << config;
    Outcome bad = Run(Write("bad.yaml", "program: Bad\nsteps:\n" + setup).string());
    EXPECT_EQ(bad.exit, 2) << bad.out;
    EXPECT_NE(bad.err.find("Read 'AppChannelTable' of BENCH"), std::string::npos) << bad.err;
}

TEST_F(KoraRun, MeasurementProgramReadsTheBoard) {
    Outcome o = Run(Example("measure.yaml"));
    EXPECT_EQ(o.exit, 0) << o.err << o.out;
    // Every measurement within its limits (the limits bracket the board's values closely).
    EXPECT_NE(o.out.find("UUT SN-0003 / KORA-DEMO-1: PASSED   9 steps, 5 results passed, 0 failed"),
              std::string::npos)
        << o.out;
    for (const char* step : {"Supply rail", "Divider midpoint", "R5 two-wire", "R5 four-wire"}) {
        const auto at = o.out.find(step);
        ASSERT_NE(at, std::string::npos) << step;
        const std::string line = o.out.substr(at, o.out.find('\n', at) - at);
        EXPECT_EQ(line.substr(line.size() - 4), "PASS") << line;
    }
}

// The board powered from a supply channel: currents within the limits around ngspice's operating
// points, the trip into the fault load, the electronic load on the regulator output.
TEST_F(KoraRun, PowerProgramPowersTheBoard) {
    Outcome o = Run(Example("power.yaml"));
    EXPECT_EQ(o.exit, 0) << o.err << o.out;
    EXPECT_NE(o.out.find("UUT SN-0004 / KORA-DEMO-1: PASSED   28 steps, 16 results passed, 0 "
                         "failed"),
              std::string::npos)
        << o.out;
    for (const char* step : {"Board current at 5 V", "Board current at 4 V", "Supply tripped",
                             "Load regulates its current", "Board current with the load"}) {
        const auto at = o.out.find(step);
        ASSERT_NE(at, std::string::npos) << step;
        const std::string line = o.out.substr(at, o.out.find('\n', at) - at);
        EXPECT_EQ(line.substr(line.size() - 4), "PASS") << line;
    }
}

// The I/O and relay modules on the powered board: logic levels, the inverter answering, the
// differential divider reading at ngspice's value, the captured pattern, the relay-switched load.
TEST_F(KoraRun, IoProgramReadsAndDrivesTheBoard) {
    const fs::path json = dir_ / "io.json";
    Outcome o = Run(Example("io.yaml") + " --json " + json.string());
    EXPECT_EQ(o.exit, 0) << o.err << o.out;
    EXPECT_NE(o.out.find("UUT SN-0005 / KORA-DEMO-1: PASSED"), std::string::npos) << o.out;
    // Bit 0 logic_hi, bit 2 dout (the inverse of the pattern played into din), bit 4 din.
    const YAML::Node report = YAML::LoadFile(json.string());
    EXPECT_EQ(report["variables"]["captured"].as<std::string>(), "[17, 5, 17, 17, 5]");
    EXPECT_NEAR(report["variables"]["div_mid"].as<double>(), 1.5986, 2e-3);
}

// The digital test module on the board's digital block: the NAND's truth table, the bus line
// read back by its bidirectional channel, the power outputs' states.
TEST_F(KoraRun, DigitalProgramDrivesTheLogicThroughTheDigitalManager) {
    const fs::path json = dir_ / "digital.json";
    Outcome o = Run(Example("digital.yaml") + " --json " + json.string());
    EXPECT_EQ(o.exit, 0) << o.err << o.out;
    EXPECT_NE(o.out.find("UUT SN-0007 / KORA-DEMO-1: PASSED"), std::string::npos) << o.out;
    const YAML::Node report = YAML::LoadFile(json.string());
    const struct {
        const char* variable;
        const char* text;
    } expected[] = {{"truth", "1 1 1 0"}, {"table", "1110"}, {"bus", "0 1 1"}, {"power", "NNTO"}};
    for (const auto& e : expected) {
        EXPECT_EQ(report["variables"][e.variable].as<std::string>(), e.text) << e.variable;
    }
}

TEST_F(KoraRun, IctProgramShowsEveryResistorAsAStep) {
    Outcome o = Run((fs::path(KORA_EXAMPLES_DIR) / "ict" / "ict.yaml").string());
    EXPECT_EQ(o.exit, 0) << o.err << o.out;
    EXPECT_NE(o.out.find("UUT SN-ICT-0001 / KORA-ICT-1: PASSED   5 steps, 15 results passed, 0 "
                         "failed"),
              std::string::npos)
        << o.out;
    // Each component is a step of its own under each program step, with its verdict.
    for (const char* name : {"R1", "R2", "R3", "R4", "R5", "R6", "R7"}) {
        const std::string label = std::string("    ") + name + " ";
        std::size_t at = 0;
        for (int pass = 0; pass < 2; ++pass, ++at) {
            at = o.out.find(label, at);
            ASSERT_NE(at, std::string::npos) << name << " pass " << pass << "\n" << o.out;
            const std::string line = o.out.substr(at, o.out.find('\n', at) - at);
            EXPECT_EQ(line.substr(line.size() - 4), "PASS") << line;
        }
    }
    EXPECT_EQ(o.out.find("    R8 "), std::string::npos) << "R8 is disabled";
}

// The pin tests' example: each fault of its board named, everything else passing.
TEST_F(KoraRun, PinTestProgramNamesTheBoardsFaults) {
    Outcome o = Run((fs::path(KORA_EXAMPLES_DIR) / "ict" / "pins.yaml").string());
    EXPECT_EQ(o.exit, 1) << o.err << o.out;
    const struct {
        const char* label;
        const char* verdict;
    } lines[] = {{"  Short                      \"SA - SB\"", "FAIL"},
                 {"  No Contact                 \"OPEN_N\"", "FAIL"},
                 {"  DK ", "PASS"},
                 {"  BULK ", "PASS"},
                 {"  TB1 - TB2                  51.", "FAIL"},
                 {"  TA1 - TA2 ", "PASS"},
                 {"Good track ", "PASS"},
                 {"Cracked track ", "FAIL"}};
    for (const auto& l : lines) {
        const auto at = o.out.find(l.label);
        ASSERT_NE(at, std::string::npos) << l.label << "\n" << o.out;
        const std::string line = o.out.substr(at, o.out.find('\n', at) - at);
        EXPECT_EQ(line.substr(line.size() - 4), l.verdict) << line;
    }
    EXPECT_NE(o.out.find("UUT SN-PINS-0001 / KORA-PINS-1: FAILED"), std::string::npos) << o.out;
}

TEST_F(KoraRun, PassivesProgramMeasuresEveryCapacitorAndInductor) {
    Outcome o = Run((fs::path(KORA_EXAMPLES_DIR) / "ict" / "passives.yaml").string());
    EXPECT_EQ(o.exit, 0) << o.err << o.out;
    EXPECT_NE(o.out.find("UUT SN-PAS-0001 / KORA-PAS-1: PASSED"), std::string::npos) << o.out;
    for (const char* name :
         {"C1", "C2", "C3", "C4", "C5", "C6", "C7", "L1", "L2", "L3", "L4", "L5"}) {
        const auto at = o.out.find(std::string("    ") + name + " ");
        ASSERT_NE(at, std::string::npos) << name << "\n" << o.out;
        const std::string line = o.out.substr(at, o.out.find('\n', at) - at);
        EXPECT_EQ(line.substr(line.size() - 4), "PASS") << line;
    }
}

// The logic example: ANALOG then DIGITAL on the good board; on the broken one exactly the NAND's
// vector with both inputs high fails, by its sub-result name.
TEST_F(KoraRun, LogicProgramFailsOnlyTheBrokenGatesVector) {
    const fs::path dir = fs::path(KORA_EXAMPLES_DIR) / "ict";
    Outcome good = Run((dir / "logic.yaml").string());
    EXPECT_EQ(good.exit, 0) << good.err << good.out;
    EXPECT_NE(good.out.find("KORA-LOGIC-1: PASSED   5 steps, 24 results passed, 0 failed"),
              std::string::npos)
        << good.out;
    for (const char* name : {"R1", "R2", "U1", "U2_U3", "U4"}) {
        const auto at = good.out.find(std::string("    ") + name + " ");
        ASSERT_NE(at, std::string::npos) << name << "\n" << good.out;
        const std::string line = good.out.substr(at, good.out.find('\n', at) - at);
        EXPECT_EQ(line.substr(line.size() - 4), "PASS") << line;
    }
    Outcome broken = Run((dir / "logic_broken.yaml").string());
    EXPECT_EQ(broken.exit, 1) << broken.err << broken.out;
    std::vector<std::string> failed;
    std::istringstream lines(broken.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.size() > 4 && line.substr(line.size() - 4) == "FAIL") {
            std::istringstream words(line.substr(3));
            std::string first, second;
            words >> first >> second;
            failed.push_back(first[0] == '[' ? first + " " + second : first);
        }
    }
    EXPECT_EQ(failed, (std::vector<std::string>{"[014] OUTPUT", "U2_U3"})) << broken.out;
}

// The semiconductor example: every correct part passes, each wrong one fails with the reading its
// component file's comment names, and no component is left without a test.
TEST_F(KoraRun, SemiconductorProgramFailsOnlyTheWrongParts) {
    Outcome o = Run((fs::path(KORA_EXAMPLES_DIR) / "ict" / "semis.yaml").string());
    EXPECT_EQ(o.exit, 1) << o.err << o.out;
    const struct {
        const char* component;
        const char* value; // how the reading begins ("" for any)
        const char* verdict;
    } lines[] = {
        {"D1", "", "PASS"},     {"D1", "", "PASS"},   {"D2", "", "PASS"},   {"D3", "1.14", "FAIL"},
        {"Z1", "5.10", "PASS"}, {"Z2", "60", "FAIL"}, {"Q1", "", "PASS"},   {"Q1", "", "PASS"},
        {"Q2", "", "PASS"},     {"Q2", "", "PASS"},   {"Q3", "63", "FAIL"}, {"Q3", "66", "FAIL"},
        {"M1", "", "PASS"},     {"M1", "", "PASS"},   {"M2", "", "PASS"},   {"M2", "", "PASS"}};
    std::size_t at = o.out.find("Semiconductors");
    at = o.out.rfind("SETUP", at);
    for (const auto& l : lines) {
        const std::string label = std::string("     ") + l.component + " ";
        at = o.out.find(label, at + 1);
        ASSERT_NE(at, std::string::npos) << l.component << "\n" << o.out;
        const std::string line = o.out.substr(at, o.out.find('\n', at) - at);
        EXPECT_EQ(line.substr(line.size() - 4), l.verdict) << line;
        const auto value = line.find_first_not_of(' ', label.size());
        EXPECT_EQ(line.compare(value, std::strlen(l.value), l.value), 0) << line;
    }
    EXPECT_EQ(o.out.find("NO TEST"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("UUT SN-SEMIS-0001 / KORA-SEMIS-1: FAILED"), std::string::npos) << o.out;
}

// The switching example: relays, photocouplers and varistors; the wrong ones fail with the
// readings its component file's comment names.
TEST_F(KoraRun, SwitchingProgramFailsOnlyTheWrongParts) {
    Outcome o = Run((fs::path(KORA_EXAMPLES_DIR) / "ict" / "switches.yaml").string());
    EXPECT_EQ(o.exit, 1) << o.err << o.out;
    const struct {
        const char* component;
        const char* value; // how the reading begins ("" for any)
        const char* verdict;
    } lines[] = {{"K1", "", "PASS"},  {"K1", "", "PASS"},    {"K1", "", "PASS"},
                 {"K2", "", "PASS"},  {"K2", "", "PASS"},    {"K2", "", "PASS"},
                 {"K3", "", "FAIL"},  {"K3", "5.0", "FAIL"}, {"U1", "", "PASS"},
                 {"U1", "", "PASS"},  {"U1", "", "PASS"},    {"U2", "2.6", "FAIL"},
                 {"U2", "", "PASS"},  {"RV1", "", "PASS"},   {"RV1", "", "PASS"},
                 {"RV2", "", "FAIL"}, {"RV2", "", "FAIL"}};
    std::size_t at = o.out.find("Switching parts");
    at = o.out.rfind("SETUP", at);
    for (const auto& l : lines) {
        const std::string label = std::string("     ") + l.component + " ";
        at = o.out.find(label, at + 1);
        ASSERT_NE(at, std::string::npos) << l.component << "\n" << o.out;
        const std::string line = o.out.substr(at, o.out.find('\n', at) - at);
        EXPECT_EQ(line.substr(line.size() - 4), l.verdict) << line;
        const auto value = line.find_first_not_of(' ', label.size());
        EXPECT_EQ(line.compare(value, std::strlen(l.value), l.value), 0) << line;
    }
    EXPECT_EQ(o.out.find("NO TEST"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("UUT SN-SWITCHES-0001 / KORA-SWITCHES-1: FAILED"), std::string::npos)
        << o.out;
}

TEST_F(KoraRun, RepeatedIctProgramStepMeasuresEveryTime) {
    // The example ICT program with its first EXEC_ICTX repeated: each repetition follows an ICT
    // step and finds the hardware as the one before left it.
    const fs::path ict = fs::path(KORA_EXAMPLES_DIR) / "ict";
    std::string text = Read(ict / "ict.yaml");
    for (std::size_t at; (at = text.find("${PROGRAM_DIR}")) != std::string::npos;) {
        text.replace(at, 14, ict.string());
    }
    const std::string first = "    StepId: 1000\n";
    ASSERT_NE(text.find(first), std::string::npos);
    text.insert(text.find(first) + first.size(), "    repeat: 2\n");
    Outcome o = Run(Write("repeat.yaml", text).string());
    EXPECT_EQ(o.exit, 0) << o.err << o.out;
    EXPECT_NE(o.out.find("PASSED   6 steps, 22 results passed, 0 failed"), std::string::npos)
        << o.out;
}

TEST_F(KoraRun, FailingLimitInEveryReport) {
    fs::path program = Write("mixed.yaml", kMixed);
    const fs::path json = dir_ / "r.json", junit = dir_ / "r.xml", db = dir_ / "r.db",
                   html = dir_ / "r.html";
    Outcome o =
        Run(program.string() + " --json " + json.string() + " --junit " + junit.string() +
            " --db " + db.string() + " --html " + html.string() + " --station-id 7 --panel 3");
    EXPECT_EQ(o.exit, 1) << o.out << o.err;
    // The HTML report lists the two failures first, each linked to its row.
    const std::string page = Read(html);
    const std::string listed = page.substr(0, page.find("id=\"failures-only\""));
    for (const char* row : {"r0-0", "r1-0"}) {
        EXPECT_NE(listed.find(std::string("href=\"#") + row + "\""), std::string::npos) << row;
        EXPECT_NE(page.find(std::string("class=\"result fail\" id=\"") + row + "\""),
                  std::string::npos)
            << row;
    }
    EXPECT_EQ(listed.find("#r2-0"), std::string::npos);
    EXPECT_NE(o.out.find("Too high                       6.0000 V"), std::string::npos);
    EXPECT_NE(o.out.find("FAIL"), std::string::npos);
    EXPECT_NE(o.out.find("UUT SN-7 / P-1: FAILED"), std::string::npos);

    YAML::Node j = YAML::LoadFile(json.string());
    EXPECT_EQ(j["uut"]["verdict"].as<std::string>(), "FAILED");
    ASSERT_EQ(j["steps"].size(), 3u);
    auto tooHigh = j["steps"][0]["results"][0];
    EXPECT_EQ(tooHigh["verdict"].as<std::string>(), "FAIL");
    EXPECT_EQ(tooHigh["value"].as<double>(), 6.0);
    EXPECT_EQ(tooHigh["high"].as<double>(), 5.25);
    EXPECT_EQ(tooHigh["unit_text"].as<std::string>(), "V");
    auto unknown = j["steps"][1]["results"][0];
    EXPECT_EQ(unknown["value"].as<std::string>(), "NaN"); // an omitted real is NaN
    EXPECT_EQ(unknown["verdict"].as<std::string>(), "FAIL");
    EXPECT_EQ(j["steps"][2]["results"][0]["verdict"].as<std::string>(), "PASS");
    EXPECT_EQ(j["summary"]["failed"].as<int>(), 2);
    EXPECT_EQ(j["steps"][0]["line"].as<int>(), 6);
    EXPECT_EQ(j["station_id"].as<int>(), 7);
    EXPECT_EQ(j["panel"].as<int>(), 3);
    EXPECT_EQ(j["run_uid"].as<std::string>().size(), 36u);

    QFile file(QString::fromStdString(junit.string()));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&file);
    int cases = 0, failures = 0;
    QString failureText;
    std::map<std::string, std::string> properties;
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement) {
            if (xml.name() == QLatin1String("property")) {
                properties[xml.attributes().value("name").toString().toStdString()] =
                    xml.attributes().value("value").toString().toStdString();
            } else if (xml.name() == QLatin1String("testcase")) {
                ++cases;
            } else if (xml.name() == QLatin1String("failure")) {
                ++failures;
                if (failureText.isEmpty()) {
                    failureText = xml.attributes().value("message").toString();
                }
            }
        }
    }
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    EXPECT_EQ(cases, 3);
    EXPECT_EQ(failures, 2);
    EXPECT_EQ(properties["station.id"], "7");
    EXPECT_EQ(properties["station.panel"], "3");
    EXPECT_EQ(properties["run.uid"], j["run_uid"].as<std::string>());
    EXPECT_EQ(failureText.toStdString(), "value 6.0000 V, limits 4.7500 V <= x <= 5.2500 V");

    // A second run appends; limits and NaN values survive as text.
    Run(program.string() + " --db " + db.string());
    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
    auto scalar = [&](const char* sql) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(handle, sql, -1, &st, nullptr);
        std::string v = sqlite3_step(st) == SQLITE_ROW && sqlite3_column_text(st, 0)
                            ? reinterpret_cast<const char*>(sqlite3_column_text(st, 0))
                            : "<none>";
        sqlite3_finalize(st);
        return v;
    };
    EXPECT_EQ(scalar("SELECT count(*) FROM uut_result"), "2");
    EXPECT_EQ(scalar("SELECT status FROM uut_result ORDER BY id LIMIT 1"), "FAILED");
    EXPECT_EQ(scalar("SELECT count(*) FROM step_result"), "6");
    EXPECT_EQ(scalar("SELECT numeric_value FROM step_result WHERE result_name='Unknown value'"),
              "NaN");
    EXPECT_EQ(scalar("SELECT low_limit || ' ' || low_operator || ' ' || high_operator || ' ' || "
                     "high_limit FROM numeric_limits JOIN step_result ON step_result.id = "
                     "numeric_limits.step_result WHERE result_name='Unknown value'"),
              "1000 <= <= 2000");
    sqlite3_close(handle);
}

TEST_F(KoraRun, ErrorAlertsAndStopping) {
    std::string text = R"(program: Errors
steps:
  - method: WRITE_KORA
    DevChanAttr: LOG
    Text: x
  - method: COMPI_KORA
    name: After
    Value: 1
)";
    fs::path program = Write("errors.yaml", text);
    Outcome go = Run(program.string() + " --json " + (dir_ / "go.json").string());
    EXPECT_EQ(go.exit, 2);
    // A step that needs a bench, on a thread without a set-up.
    EXPECT_NE(go.err.find("ERROR# -2130706414 (0x81000012)        PROGRAM LINE# 3"),
              std::string::npos)
        << go.err;
    EXPECT_NE(go.err.find("pBENCH==NULL"), std::string::npos) << go.err;
    EXPECT_NE(go.out.find("After"), std::string::npos); // continue: the next step ran
    Outcome stop = Run(program.string() + " --on-error stop --json " + (dir_ / "s.json").string());
    EXPECT_EQ(stop.exit, 2);
    EXPECT_EQ(stop.out.find("After"), std::string::npos);
    YAML::Node j = YAML::LoadFile((dir_ / "s.json").string());
    // The stop answer ends the run although the step was refused before its entry.
    EXPECT_TRUE(j["stopped"].as<bool>());
    EXPECT_EQ(j["steps"].size(), 1u);
    EXPECT_EQ(j["steps"][0]["step_result"].as<int>(), -5);
    EXPECT_EQ(j["alerts"][0]["answer"].as<int>(), -5);
}

TEST_F(KoraRun, RepeatAndCompilePhases) {
    fs::path program = Write("mixed.yaml", kMixed);
    Run(program.string() + " --repeat 2 --json " + (dir_ / "r.json").string());
    YAML::Node j = YAML::LoadFile((dir_ / "r.json").string());
    ASSERT_EQ(j["steps"].size(), 6u);
    EXPECT_EQ(j["steps"][0]["phase"].as<int>(), 2);
    EXPECT_EQ(j["steps"][3]["phase"].as<int>(), 1);
    EXPECT_EQ(j["steps"][3]["execution"].as<int>(), 2);

    Outcome c = Run(program.string() + " --compile --json " + (dir_ / "c.json").string());
    EXPECT_EQ(c.exit, 0);
    YAML::Node k = YAML::LoadFile((dir_ / "c.json").string());
    ASSERT_EQ(k["steps"].size(), 3u);
    for (const auto& s : k["steps"]) {
        EXPECT_EQ(s["phase"].as<int>(), 98);
        EXPECT_EQ(s["results"].size(), 0u);
    }
}

TEST_F(KoraRun, BadProgramsNameFileAndLineAndRunNothing) {
    struct Case {
        const char* text;
        int line;
        const char* message;
    } cases[] = {
        {"program: x\nsteps:\n  - method: COMPR_KORA\n    Value: [1\n", 5, ""},
        {"program: x\nsteps:\n  - method: MEASURE_ALL\n", 3, "unknown method 'MEASURE_ALL'"},
        {"program: x\nsteps:\n  - method: COMPR_KORA\n    Valeu: 1\n", 4,
         "'COMPR_KORA' has no argument 'Valeu'"},
        {"program: x\nsteps:\n  - method: COMPI_KORA\n    Value: 1.5\n", 4,
         "'Value' needs an integer, not '1.5'"},
        {"program: x\nsteps:\n  - method: COMPR_KORA\n    Value: $nope\n", 4,
         "unknown variable '$nope'"},
        {"program: x\nvariables:\n  t: {type: text}\nsteps:\n  - method: COMPR_KORA\n"
         "    Value: $t\n",
         6, "'Value' needs a number; '$t' is of type text"},
        {"program: x\nvariables:\n  s: {type: reals, size: 10}\nsteps:\n  - method: ACQ_DMM\n"
         "    SampleCount: 100\n    Samples: $s\n",
         5, "'Samples' ($s) holds 10 but 'SampleCount' is 100"},
        {"program: x\nvariables:\n  s: {type: reals}\nsteps: []\n", 3, "needs a positive 'size'"},
        {"program: x\nsteps:\n  - method: WRITE_KORA\n    Text: ${KORA_SURELY_UNSET_X}\n", 4,
         "'${KORA_SURELY_UNSET_X}' is neither a program setting nor an environment variable"},
    };
    for (const auto& c : cases) {
        fs::path program = Write("bad.yaml", c.text);
        Outcome o = Run(program.string());
        EXPECT_EQ(o.exit, 2) << c.text;
        EXPECT_EQ(o.out, "") << c.text; // nothing ran
        const std::string where = program.string() + ":" + std::to_string(c.line) + ": ";
        EXPECT_NE(o.err.find(where), std::string::npos) << o.err;
        EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
    }
}

TEST_F(KoraRun, MissingLibraryAndUnimplementedMethods) {
    fs::path program = Write("mixed.yaml", kMixed);
    Outcome o = Run("--library /nonexistent/libkora.so " + program.string());
    EXPECT_EQ(o.exit, 2);
    EXPECT_NE(o.err.find("cannot load libkora (/nonexistent/libkora.so)"), std::string::npos);
    // Every method of the table has a body now: a library without the step methods stands in for
    // a build that lacks one.
    const fs::path other = fs::path(KORA_LIBKORA_PATH).parent_path() / "libresmgr.so";
    fs::path dmm = Write("dmm.yaml", "program: x\nsteps:\n  - method: COMPI_KORA\n");
    Outcome u = Run("--library " + other.string() + " " + dmm.string());
    EXPECT_EQ(u.exit, 2);
    EXPECT_NE(u.err.find(":3: COMPI_KORA is not implemented in this build of libkora"),
              std::string::npos)
        << u.err;
    EXPECT_EQ(u.out, ""); // refused before anything ran
}

TEST_F(KoraRun, ScanListsTheRackOfTheStation) {
    Outcome table = Run("scan");
    EXPECT_EQ(table.exit, 0) << table.err;
    for (const char* line :
         {"PSAM    PSAM_A3          A3    CAN0::0::3     rspsam.dll",
          "PSYS1   PSYS1_2          A1    CAN1::0::1", "PSM5    PSM5_B6          B6    CAN1::1::14",
          "PAM     PAM_B4           B4    CAN0::0::12    rspam.dll",
          "URM     URM_2            0-2   URM0::2        VX_Urm.dll", "21 devices"}) {
        EXPECT_NE(table.out.find(line), std::string::npos) << line << "\n" << table.out;
    }
    const std::string scc = (fs::path(KORA_EXAMPLES_DIR) / "station" / "rack_scc.ini").string();
    Outcome shifted = Run("scan --hw " + scc);
    EXPECT_NE(shifted.out.find("PSAM    PSAM_A1          A1    CAN0::0::3"), std::string::npos)
        << shifted.out;
    EXPECT_NE(shifted.out.find("PFG     PFG_B0           B0"), std::string::npos);

    Outcome json = Run("scan --naming 2 --json");
    ASSERT_EQ(json.exit, 0) << json.err;
    const YAML::Node records = YAML::Load(json.out);
    ASSERT_EQ(records.size(), 21u) << json.out;
    EXPECT_EQ(records[1]["device"].as<std::string>(), "PSAM_1");
    EXPECT_EQ(records[1]["slotName"].as<std::string>(), "3");
    EXPECT_EQ(records[1]["slot"].as<int>(), 3);
    EXPECT_EQ(records[10]["device"].as<std::string>(), "PSYS1_2");
    EXPECT_EQ(records[20]["texts"][4].as<std::string>(), "URM_2");
    EXPECT_EQ(Run("scan --hw /nonexistent.ini").exit, 2);
}

// The compensation example: kora-run's operator takes the board out and inserts the short plate
// as the dialogs ask, the parts then read their own values, and the saved component file keeps
// each part's value, so that a load of it alone measures them right. An operator who answers
// without touching the fixture compensates the board itself away.
TEST_F(KoraRun, CompensationFollowsTheDialogsAndKeepsItsValuesInTheFile) {
    const fs::path ict = fs::path(KORA_EXAMPLES_DIR) / "ict";
    for (const char* f :
         {"compensation.yaml", "compensation.cir", "compensation-fixture.txt",
          "compensation-hardware.ini", "compensation-system.ini", "compensation.ict"}) {
        fs::copy_file(ict / f, dir_ / f);
    }
    const std::string program = (dir_ / "compensation.yaml").string();
    Outcome o = Run(program + " --save-ict yes");
    EXPECT_EQ(o.exit, 0) << o.err << o.out;
    for (const char* act :
         {"operator: board taken out of the fixture", "operator: short plate inserted",
          "operator: board back in the fixture"}) {
        EXPECT_NE(o.err.find(act), std::string::npos) << act << "\n" << o.err;
    }
    const std::string saved = Read(dir_ / "compensation.ict");
    for (const char* line : {"\n#CAP0, 8.", "\n#IND0, 3.9", "\n#RES0, 1.3"}) {
        EXPECT_NE(saved.find(line), std::string::npos) << line << "\n" << saved;
    }
    const fs::path reload =
        Write("reload.yaml", "program: Reload\nsteps:\n"
                             "  - method: SETUP_KORA\n    BenchName: COMP\n"
                             "    BenchCount: 1\n"
                             "    SW_Config: ${PROGRAM_DIR}/compensation-system.ini\n"
                             "    HW_Config: ${PROGRAM_DIR}/compensation-hardware.ini\n"
                             "  - method: LOAD_ICTX\n"
                             "    ComponentFile: ${PROGRAM_DIR}/compensation.ict\n"
                             "    BenchIndex: 1\n"
                             "  - method: EXEC_ICTX\n    Mode: ANALOG\n"
                             "    BenchIndex: 1\n    StepId: 1000\n    Variant: \"\"\n"
                             "  - method: CLEANUP_KORA\n");
    Outcome again = Run(reload.string());
    EXPECT_EQ(again.exit, 0) << again.err << again.out;
    EXPECT_NE(again.out.find("4 results passed, 0 failed"), std::string::npos) << again.out;

    fs::copy_file(ict / "compensation.ict", dir_ / "compensation.ict",
                  fs::copy_options::overwrite_existing);
    Outcome kept = Run(program + " --fixture keep");
    EXPECT_EQ(kept.exit, 1) << kept.err << kept.out;
    EXPECT_EQ(kept.err.find("operator:"), std::string::npos) << kept.err;
}

// The pin location tool on the example ICT station, started after the set-up: the probe touches
// r3_a, then r1_b. r3_a's needles show with those of r3_b, 10 ohm away and so within the
// source's reach (0.5 V, 10 mA); r1_a, 10 kohm from r1_b, stays out. Without a probe the
// operator's close ends the tool with an empty list, and 'never' leaves it to its 120 idle scans.
TEST_F(KoraRun, PinLocationListsTheNeedlesTheProbeTouches) {
    const std::string program = (fs::path(KORA_EXAMPLES_DIR) / "ict" / "pinlocation.yaml").string();
    const struct {
        const char* args;
        std::vector<const char*> shown, absent;
    } cases[] = {
        {" --pin-location --probe r3_a@2+4,r1_b@10s+4s",
         {"Pin location tool: PIN LOCATION:  BENCH[1]  -  SM160 MODULES=2\n",
          "  MATRIX_A1.P6        R3_A\n", "  MATRIX_A1.P7        R3_B\n",
          "  MATRIX_A2.P6        R3_SA\n", "  MATRIX_A2.P7        R3_SB\n",
          "  MATRIX_A1.P2        R1_B\n", "(window closed by the operator after 17."},
         {"MATRIX_A1.P1 ", "MATRIX_A1.P4 "}},
        {" --pin-location --progress-close 5",
         {"  (window closed by the operator after 5."},
         {"MATRIX_A"}},
        {" --pin-location --progress-close never",
         {"  (window closed by the tool after 1"},
         {"MATRIX_A"}},
    };
    for (const auto& c : cases) {
        Outcome o = Run(program + c.args);
        EXPECT_EQ(o.exit, 0) << c.args << "\n" << o.err << o.out;
        for (const char* text : c.shown) {
            EXPECT_NE(o.out.find(text), std::string::npos) << c.args << ": " << text << "\n"
                                                           << o.out;
        }
        for (const char* text : c.absent) {
            EXPECT_EQ(o.out.find(text), std::string::npos) << c.args << ": " << text << "\n"
                                                           << o.out;
        }
    }
    EXPECT_EQ(Run(program + " --pin-location --probe r3_a@soon").exit, 2);
    Outcome alone = Run(program + " --probe r3_a@2");
    EXPECT_EQ(alone.exit, 2);
    EXPECT_NE(alone.err.find("--pin-location"), std::string::npos) << alone.err;
    // The executive's station item names a bench the program does not have.
    const fs::path ict = fs::path(KORA_EXAMPLES_DIR) / "ict";
    const fs::path item2 =
        Write("item2.yaml", "program: Item 2\nexecutive:\n  item_index: 2\nsteps:\n"
                            "  - method: SETUP_KORA\n    BenchName: ICT\n    BenchCount: 1\n"
                            "    SW_Config: " +
                                (ict / "system.ini").string() +
                                "\n    HW_Config: " + (ict / "hardware.ini").string() + "\n");
    Outcome wrong = Run(item2.string() + " --pin-location");
    EXPECT_EQ(wrong.exit, 2) << wrong.out;
    EXPECT_NE(wrong.err.find("CALLBACK PINLOCATION"), std::string::npos) << wrong.err;
    EXPECT_NE(wrong.err.find("Invalid TEST INDEX selected"), std::string::npos) << wrong.err;
}

TEST_F(KoraRun, MethodReference) {
    Outcome all = Run("methods");
    EXPECT_EQ(all.exit, 0);
    EXPECT_NE(all.out.find("COMPR_KORA             KORA     -1    yes"), std::string::npos)
        << all.out;
    EXPECT_NE(all.out.find("MEAS_DMM               DMM      1     yes"), std::string::npos);
    EXPECT_NE(all.out.find("SET_DCPWR              DCPWR    1     yes"), std::string::npos);
    Outcome one = Run("methods WRITE_KORA");
    EXPECT_NE(one.out.find("WRITE_KORA (class KORA, kind -1, implemented in this build)"),
              std::string::npos)
        << one.out;
    EXPECT_NE(one.out.find("9   Written            int variable     out"), std::string::npos)
        << one.out;
    EXPECT_EQ(Run("methods NOPE").exit, 2);
}

} // namespace

TEST_F(KoraRun, SystemProgramRunsInVirtualTimeAndReportsItsParameters) {
    const fs::path json = dir_ / "s.json", junit = dir_ / "s.xml", db = dir_ / "s.db";
    const auto t0 = std::chrono::steady_clock::now();
    Outcome o = Run(Example("system.yaml") + " --set Line:Operator=bob --json " + json.string() +
                    " --junit " + junit.string() + " --db " + db.string());
    // The 2 s delay passes in virtual time.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
    // The operator the command line gave is not the one the program expects.
    EXPECT_EQ(o.exit, 1) << o.err << o.out;
    for (const char* line : {"Operator                       \"bob\"              x = \"anna\"",
                             "Delay between the stops        2.0000 s           1.9990 s <= x "
                             "<= 2.0010 s                PASS",
                             "Lid closed                     1                  x = 1",
                             "Every sample came back         4 "}) {
        EXPECT_NE(o.out.find(line), std::string::npos) << line << "\n" << o.out;
    }
    EXPECT_EQ(Run(Example("system.yaml")).exit, 0);
    YAML::Node j = YAML::LoadFile(json.string());
    ASSERT_EQ(j["parameters"].size(), 3u);
    EXPECT_EQ(j["parameters"][1]["name"].as<std::string>(), "Supply");
    EXPECT_EQ(j["parameters"][1]["value"].as<std::string>(), "5.02");
    EXPECT_EQ(j["parameters"][1]["unit"].as<int>(), 5);
    EXPECT_EQ(j["variables"]["back"].as<std::string>(), "[1, 2.5, -4, 7.5]");
    EXPECT_NE(Read(junit).find("<property name=\"parameter.Line:Firmware\" value=\"v2.5.0\"/>"),
              std::string::npos);
    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(handle,
                       "SELECT group_concat(name || '=' || value, ';') FROM system_parameter", -1,
                       &st, nullptr);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, 0))),
              "Fails=0;Supply=5.02;Firmware=v2.5.0");
    sqlite3_finalize(st);
    sqlite3_close(handle);
}

TEST_F(KoraRun, ExecutiveDeclarationsAreChecked) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"executive: {station: 1}\nsteps: []\n", ":1: unknown executive key 'station'"},
        {"executive:\n  parameters:\n    - {section: A, name: B, type: real, value: x}\nsteps: "
         "[]\n",
         ":3: 'x' is not of type real"},
        {"executive:\n  parameters:\n    - {section: A, name: B, type: int, unit: VOLT}\n"
         "steps: []\n",
         ":3: unknown unit 'VOLT'"},
    };
    for (const auto& c : cases) {
        Outcome o = Run(Write("bad.yaml", c.text).string());
        EXPECT_EQ(o.exit, 2);
        EXPECT_NE(o.err.find(c.error), std::string::npos) << o.err;
    }
    Outcome o = Run("--set Limits " + Example("system.yaml"));
    EXPECT_EQ(o.exit, 2);
    EXPECT_NE(o.err.find("write SECTION:NAME=VALUE"), std::string::npos) << o.err;
}

TEST_F(KoraRun, SerialProgramQueriesTheResponderTool) {
    const fs::path link = dir_ / "com3";
    const std::string tool = KORA_RESPONDER_PATH;
    const std::string linkArg = link.string();
    char* const argv[] = {const_cast<char*>(tool.c_str()),
                          const_cast<char*>("--link"),
                          const_cast<char*>(linkArg.c_str()),
                          const_cast<char*>("--idle"),
                          const_cast<char*>("30"),
                          nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, tool.c_str(), nullptr, nullptr, argv, environ), 0);
    for (int i = 0; i < 200 && !fs::is_symlink(link); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(fs::is_symlink(link));
    ::setenv("KORA_COM3", linkArg.c_str(), 1);
    Outcome o = Run(Example("serial.yaml"));
    ::unsetenv("KORA_COM3");
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(o.exit, 0) << o.err << o.out;
    EXPECT_NE(o.out.find("Voltage                        \"+5.0200E+00\\n\"    x = "
                         "\"+5.0200E+00\\n\"                      PASS"),
              std::string::npos)
        << o.out;
    EXPECT_FALSE(fs::exists(link)); // the tool takes its link away when it stops
}

// --- Function generator and waveform analysis (stimulus.yaml) ---------------------------------

// The filter's answer read by the meter agrees with ngspice's AC analysis of the board with the
// generator's source resistance and the meter's input; the shipped records read as generated.
TEST_F(KoraRun, StimulusProgramReadsTheFilterAsNgspiceDoes) {
    namespace ng = kora::vbench::testing;
    const fs::path json = dir_ / "stimulus.json";
    Outcome o = Run(Example("stimulus.yaml") + " --json " + json.string());
    EXPECT_EQ(o.exit, 0) << o.err << o.out;
    EXPECT_NE(o.out.find("UUT SN-0019 / KORA-DEMO-1: PASSED   29 steps, 17 results passed, 0 "
                         "failed"),
              std::string::npos)
        << o.out;
    if (ng::NgspicePath().empty()) {
        GTEST_SKIP() << "ngspice is not installed";
    }
    const YAML::Node j = YAML::LoadFile(json.string());
    const std::string board =
        ng::ReadText((fs::path(KORA_EXAMPLES_DIR) / "station" / "board.cir").string());
    // The generator's 50 ohm, its output relay and the four relays of 0.15 ohm in its loop; the
    // meter's 10 Mohm.
    const std::string netlist = board.substr(0, board.rfind(".end")) +
                                "VG g 0 DC 0 AC 0.70710678\nRG g fin 50.601\nRM fout 0 10Meg\n";
    for (auto [variable, hertz] :
         {std::pair{"vac_300", 300}, {"vac_1600", 1600}, {"vac_8000", 8000}}) {
        SCOPED_TRACE(variable);
        const std::string f = std::to_string(hertz);
        auto ref = ng::RunNgspice(netlist, {"ac lin 1 " + f + " " + f, "print v(fout)"});
        ASSERT_TRUE(ref.ran && ref.values.count("v(fout)")) << ref.log;
        const double expected = std::abs(ref.values["v(fout)"]);
        EXPECT_NEAR(j["variables"][variable].as<double>(), expected, 0.01 * expected);
    }
}

// --- Signal analyzer (waveforms.yaml) -----------------------------------------------------------

// The comparator's output acquired on its edge: the frequency is the generator's within the
// analyzer's time resolution, and the plateaus of the record agree with ngspice's transient of
// the board with the generator's source resistance and the analyzer's 1 Mohm.
TEST_F(KoraRun, WaveformsProgramAcquiresTheComparatorAsNgspiceDoes) {
    namespace ng = kora::vbench::testing;
    const fs::path json = dir_ / "waveforms.json";
    Outcome o = Run(Example("waveforms.yaml") + " --json " + json.string());
    EXPECT_EQ(o.exit, 0) << o.err << o.out;
    EXPECT_NE(o.out.find("UUT SN-0020 / KORA-DEMO-1: PASSED   15 steps, 6 results passed, 0 "
                         "failed"),
              std::string::npos)
        << o.out;
    const YAML::Node j = YAML::LoadFile(json.string());
    const double interval = 0.005 / 8192;
    EXPECT_NEAR(j["variables"]["frequency"].as<double>(), 1000, 1000 * 1000 * interval);
    // Plateau means of the record as the program saved it: the samples well above and well
    // below the middle.
    std::istringstream record(Read("/tmp/kora_waveforms_cout.txt"));
    double high = 0, low = 0;
    int highs = 0, lows = 0;
    for (double v = 0; record >> v;) {
        if (v > 4) {
            high += v;
            ++highs;
        } else if (v < 1) {
            low += v;
            ++lows;
        }
    }
    ASSERT_GT(highs, 1000);
    ASSERT_GT(lows, 1000);
    const double amplitude = high / highs - low / lows;
    if (ng::NgspicePath().empty()) {
        GTEST_SKIP() << "ngspice is not installed";
    }
    const std::string board =
        ng::ReadText((fs::path(KORA_EXAMPLES_DIR) / "station" / "board.cir").string());
    const std::string netlist = board.substr(0, board.rfind(".end")) +
                                "VS vcc 0 DC 5\nVG g 0 PULSE(0 5 0 1n 1n 0.5m 1m)\n"
                                "RG g cin 50.601\nRS cout 0 1Meg\n";
    auto ref =
        ng::RunNgspice(netlist, {"tran 1u 2m", "meas tran vhi avg v(cout) from=1.6m to=1.9m",
                                 "meas tran vlo avg v(cout) from=1.1m to=1.4m", "print vhi vlo"});
    ASSERT_TRUE(ref.ran && ref.values.count("vhi") && ref.values.count("vlo")) << ref.log;
    const double expected = ref.values["vhi"].real() - ref.values["vlo"].real();
    EXPECT_NEAR(amplitude, expected, 0.01 * expected);
}
