// The diode, Z-diode, transistor and FET tests on the semiconductor example board: each part read
// at its netlist's value, the wrong parts failing with the readings the component file's comment
// names, the masks and settings each class sends, the pin errors and the result names.
#include "ictx/measure/example_board.h"
#include "vbench/ngspice_runner.h"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace kora::test {
namespace {

const fs::path kSemis = fs::path(KORA_EXAMPLES_DIR) / "ict";

// The driver calls that wire a test: matrix terminals, PICT switches, PSU connections, source
// mode and polarity, gate drive and the pins' bus lines.
const std::vector<const char*> kWiring = {"rspsam_cnx_Matrix",
                                          "rspict_cnx_ConfigureSwitches",
                                          "rspsu_Connect",
                                          "rspsam_SetAttributeViInt32",
                                          "rspsam_dcs_ConfigureCurrentLimit",
                                          "rspict_aos_ConfigureDc",
                                          "ZQsm160_quickConnect",
                                          "rspsu_Disconnect"};

class SemisTest : public ExampleBoardTest {
  protected:
    void SetUp() override {
        ExampleBoardTest::SetUp();
        Open("semis", "SEMIS");
    }
};

TEST_F(SemisTest, EachClassWiresItsPinsAsDesigned) {
    struct Case {
        const char* name;
        const char* wiring;
    } cases[] = {
        // Meter across A and B, current source A -> anode, cathode on B at the CMU's virtual
        // ground; then the reverse current with the meter off and the source in voltage mode.
        {"D1", "cnx_Matrix(5, 0xff, 0x88) cnx_Matrix(8, 0xff, 0x44) "
               "cnx_Matrix(1, 0xff, 0x88) cnx_Matrix(4, 0xff, 0x22) "
               "cnx_Matrix(2, 0xff, 0x88) cnx_Matrix(3, 0xff, 0x11) "
               "dcs_ConfigureCurrentLimit(0.001) "
               "cnx_ConfigureSwitches(0x0, 0xc, 0xc0, 0xc0, 0x3000) "
               "quickConnect(1, 1001, 1) quickConnect(1, 1004, 2) "
               "cnx_Matrix(5, 0xff, 0x0) cnx_Matrix(8, 0xff, 0x0) "
               "SetAttributeViInt32(\"\", 1150026, 1) dcs_ConfigureCurrentLimit(0.0001) "},
        // The supply's second channel: HI on the cathode's D line, LO on the anode's C line.
        {"Z1", "cnx_ConfigureSwitches(0x0, 0x0, 0x0, 0x0, 0x0) "
               "Connect(\"CH2_HI\", \"ABd2\") Connect(\"CH2_LO\", \"ABc1\") "
               "cnx_Matrix(5, 0xff, 0x11) cnx_Matrix(8, 0xff, 0x22) "
               "quickConnect(1, 1008, 8) quickConnect(1, 1005, 7) "},
        // Base on A, emitter and then collector on C; a PNP's current runs the other way.
        {"Q2", "cnx_ConfigureSwitches(0x0, 0x0, 0x0, 0x0, 0x0) "
               "cnx_Matrix(5, 0xff, 0x88) cnx_Matrix(8, 0xff, 0x22) "
               "cnx_Matrix(1, 0xff, 0x88) cnx_Matrix(4, 0xff, 0x22) "
               "cnx_Matrix(2, 0xff, 0x88) cnx_Matrix(3, 0xff, 0x22) "
               "dcs_ConfigureCurrentLimit(-0.001) "
               "quickConnect(1, 1001, 15) quickConnect(1, 1006, 16) "
               "quickConnect(1, 1001, 15) quickConnect(1, 1006, 14) "},
        // P channel: source on A, drain on C, gate on B through 1 kohm at -5 V, then +5 V.
        {"M2", "aos_ConfigureDc(1000, 3, -5) cnx_ConfigureSwitches(0x8, 0x0, 0x0, 0x0, 0x0) "
               "cnx_Matrix(5, 0xff, 0x88) cnx_Matrix(8, 0xff, 0x22) "
               "cnx_Matrix(1, 0xff, 0x88) cnx_Matrix(4, 0xff, 0x22) "
               "cnx_Matrix(2, 0xff, 0x88) cnx_Matrix(3, 0xff, 0x22) "
               "dcs_ConfigureCurrentLimit(0.001) "
               "quickConnect(1, 1001, 25) quickConnect(1, 1005, 23) "
               "quickConnect(1, 1004, 24) aos_ConfigureDc(1000, 3, 5) "
               "quickConnect(1, 1001, 25) quickConnect(1, 1005, 23) "
               "quickConnect(1, 1004, 24) "},
        // Shunt: the supply's HI and LO with its senses on the force needles (C, D), the meter
        // on the sense needles (A, B); the senses leave after the read.
        {"S1", "cnx_ConfigureSwitches(0x0, 0x0, 0x0, 0x0, 0x0) "
               "Connect(\"CH2_HI\", \"ABc2\") Connect(\"CH2_LO\", \"ABd1\") "
               "Connect(\"CH2_SHI\", \"ABc2\") Connect(\"CH2_SLO\", \"ABd1\") "
               "cnx_Matrix(5, 0xff, 0x88) cnx_Matrix(8, 0xff, 0x44) "
               "quickConnect(1, 1006, 26) quickConnect(1, 1007, 27) "
               "quickConnect(1, 1002, 28) quickConnect(1, 1003, 29) "
               "Disconnect(\"CH2_SHI\", \"ABc2\") Disconnect(\"CH2_SLO\", \"ABd1\") "},
    };
    for (const auto& c : cases) {
        Load(BoardText());
        EXPECT_EQ(Run(c.name), 0) << c.name << ": " << text_;
        EXPECT_EQ(Wiring(kWiring), c.wiring) << c.name;
    }
}

TEST_F(SemisTest, ResultsCarryTheirNamesTagsAndVerdicts) {
    // The whole file in order: every part after another, as the execute step walks them.
    ExpectResults({"D1", "D2", "D3", "Z1", "Z2", "Q1", "Q2", "Q3", "M1", "M2", "S1", "S2"},
                  {
                      {"D1", "DIODE.UF", 0.6113, 0.006, true},
                      {"IR", "DIODE.IR,URC", 0, 1e-7, true},
                      {"D2", "DIODE.UF", 0.1881, 0.002, true},
                      {"D3", "DIODE.UF", 1.1415, 0.01, false},
                      {"VREVERSE", "Z-DIODE.UR", 5.100, 0.05, true},
                      {"VREVERSE", "Z-DIODE.UR", 0.60, 0.02, false},
                      {"Q1.UBE", "UBE", 0.6636, 0.006, true},
                      {"Q1.UBC", "UBC", 0.6313, 0.006, true},
                      {"Q2.UBE", "UBE", -0.6636, 0.006, true},
                      {"Q2.UBC", "UBC", -0.6313, 0.006, true},
                      {"Q3.UBE", "UBE", 0.6313, 0.006, false},
                      {"Q3.UBC", "UBC", 0.6636, 0.006, false},
                      {"M1.UDS.ON", "UDS.ON", 0.008, 0.005, true},
                      {"M1.UDS.OFF", "UDS.OFF", 5.0, 0.01, true},
                      {"M2.UDS.ON", "UDS.ON", 0.008, 0.005, true},
                      {"M2.UDS.OFF", "UDS.OFF", 5.0, 0.01, true},
                      {"SHUNT", "SHUNT", 0.010, 0.0001, true},
                      {"SHUNT", "SHUNT", 0.022, 0.0002, false},
                  });
    const auto all = results();
    // The detail text names the pin pair of the sub-test.
    EXPECT_EQ(all[1].channel, "D1_A-D1_K");
    EXPECT_EQ(all[7].channel, "Q1_B-Q1_C");
}

TEST_F(SemisTest, MissingPinsAndModulesAreReportedBeforeAnyConnection) {
    ExpectPinErrors({
        {"D2", "TP=\"D2_K\"\n", "", "ICTX_DIODE[ %li ]\n\nBENCH=%s\n\n%s",
         "Invalid test pin selection (HI|LO)"},
        {"Z1", "TP=\"Z1_A\"\n", "TP=\"NOWHERE\"\n", "ICTX_ZDIODE[ %li ]\n\nBENCH=%s\n\n%s",
         "Invalid test pin selection (HI|LO)"},
        {"Q1", "TP=\"Q1_E\"\n", "", "ICTX_TRANSISTOR_BIP[ %li ]\n\nBENCH=%s\n\n%s",
         "Invalid test pin selection (COLLECTOR|BASE|EMITTER)"},
        {"M1", "TP=\"M1_S\"\n", "", "ICTX_TRANSISTOR_FET[ % li ]\n\nBENCH=%s\n\n%s",
         "Invalid test pin selection (DRAIN|GATE|SOURCE)"},
        {"S1", "TS=\"S1_SN\"\n", "", "ICTX_SHUNT[ % li ]\n\nBENCH=%s\n\n%s",
         "Invalid test pin selection (FORCE+|FORCE-|SENSE+|SENSE-)"},
    });
    // The Z-diode's current comes from the supply; the reverse current needs the PICT.
    bench1_->ictModules[kIctPsu].inUse = 0;
    bench1_->ictModules[kIctPict].inUse = 0;
    Load(BoardText());
    for (auto [name, message] : {std::pair{"Z1", "ERROR: No PSU available"},
                                 {"D1", "ERROR: No PICT available"},
                                 {"M1", "ERROR: No PICT available"},
                                 {"S1", "ERROR: No PSU available"}}) {
        rvo().scriptAlertAnswers({0});
        EXPECT_EQ(Run(name), -2) << name;
        EXPECT_NE(LastAlert().find(message), std::string::npos) << LastAlert();
    }
    EXPECT_EQ(Calls("ZQsm160_quickConnect"), 0u);
}

TEST_F(SemisTest, EditsOfEverySubTestReachTheRecord) {
    ComponentRecord* d1 = Find("D1");
    const long step = 1000 + d1->index;
    ASSERT_EQ(Run("D1"), 0) << text_;
    ASSERT_TRUE(rvo().editAttribute(step, "VALIDATION|IR|UL", "2e-06"));
    ASSERT_TRUE(rvo().editAttribute(step, "VALIDATION|IR|ENABLED", "0"));
    ASSERT_TRUE(rvo().editAttribute(step, "SETTINGS|UF|STIM|I.LIMIT", "0.002"));
    ASSERT_TRUE(rvo().editAttribute(step, "TEST PINS|LO", "D2_K"));
    EXPECT_EQ(rvo().invokeAttributeCallback(step, 0x80000001), 0);
    EXPECT_EQ(d1->sub[1].ul, 2e-6);
    EXPECT_EQ(d1->sub[1].enable, 0u);
    EXPECT_EQ(d1->sub[0].c, 0.002);
    EXPECT_STREQ(d1->tp[1], "D2_K");
    EXPECT_TRUE(bench1_->ictModified);
    // The reverse current is off now, and the forward current runs into the other cathode's net,
    // where no diode returns it: the source stops at its compliance.
    const std::size_t before = results().size();
    ASSERT_EQ(Run("D1"), -1) << text_ << LastAlert();
    ASSERT_EQ(results().size(), before + 1);
    EXPECT_NEAR(results().back().value, d1->sub[0].v, 0.01);
    // With both sub-tests off nothing is connected or verified.
    ASSERT_TRUE(rvo().editAttribute(step, "VALIDATION|UF|ENABLED", "0"));
    EXPECT_EQ(rvo().invokeAttributeCallback(step, 0x80000001), 0);
    bench_->journal().clear();
    EXPECT_EQ(Run("D1"), 0);
    EXPECT_EQ(results().size(), before + 1);
    EXPECT_EQ(Calls("ZQsm160_quickConnect"), 0u);
}

TEST_F(SemisTest, ForwardAndZenerVoltagesAgreeWithNgspice) {
    namespace ng = kora::vbench::testing;
    if (ng::NgspicePath().empty()) {
        GTEST_SKIP() << "ngspice is not installed";
    }
    // Each reading against ngspice's operating point of the board with the test's current forced
    // into the driven pin and the return pin held at 0 V.
    struct Case {
        const char* component;
        const char* result;
        const char* stimulus; // added to the board
        const char* node;
        double sign;
    } cases[] = {
        {"D1", "D1", "I1 0 d1_a DC 1m\nV1 d1_k 0 0\n", "d1_a", 1},
        {"D2", "D2", "I1 0 d2_a DC 1m\nV1 d2_k 0 0\n", "d2_a", 1},
        {"Z1", "VREVERSE", "I1 0 z1_k DC 5m\nV1 z1_a 0 0\n", "z1_k", 1},
        {"Q1", "Q1.UBE", "I1 0 q1_b DC 1m\nV1 q1_e 0 0\n", "q1_b", 1},
        {"Q1", "Q1.UBC", "I1 0 q1_b DC 1m\nV1 q1_c 0 0\n", "q1_b", 1},
        {"Q2", "Q2.UBE", "I1 q2_b 0 DC 1m\nV1 q2_e 0 0\n", "q2_b", 1},
    };
    const std::string board = ReadFile(kSemis / "semis.cir");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.result);
        auto ref = ng::RunNgspice(board.substr(0, board.rfind(".end")) + c.stimulus,
                                  {"op", std::string("print v(") + c.node + ")"});
        const std::string key = std::string("v(") + c.node + ")";
        ASSERT_TRUE(ref.ran && ref.values.count(key)) << ref.log;
        const double expected = c.sign * ref.values[key].real();
        rvo().reset();
        Run(c.component);
        bool found = false;
        for (const auto& r : results()) {
            if (r.name == c.result) {
                found = true;
                EXPECT_NEAR(r.value, expected, 0.01 * std::fabs(expected));
            }
        }
        EXPECT_TRUE(found);
    }
}

} // namespace
} // namespace kora::test
