// The diode, Z-diode, transistor and FET tests on the semiconductor example board: each part read
// at its netlist's value, the wrong parts failing with the readings the component file's comment
// names, the masks and settings each class sends, the pin errors and the result names.
#include "ictx/measure/component_tests.h"
#include "ictx/measure/ict_hardware.h"
#include "ictx/program/component_load.h"

#include "ictx/program/ict_program_support.h"
#include "support/station.h"
#include "vbench/ngspice_runner.h"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace kora::test {
namespace {

const fs::path kSemis = fs::path(KORA_EXAMPLES_DIR) / "ict";

class SemisTest : public StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        hw_ = (kSemis / "semis_hardware.ini").string();
        sw_ = (kSemis / "semis_system.ini").string();
        bench_ = std::make_shared<VirtualBench>();
        bench_->loadStation(vbench::LoadStation(hw_));
        VirtualBench::activate(bench_);
        ASSERT_EQ(Setup("SEMIS", 1), 0) << LastAlert();
        bench1_ = BenchByIndex(1);
        ASSERT_NE(bench1_, nullptr);
        Load(ReadFile(kSemis / "semis.ict"));
    }

    void Load(const std::string& text) {
        std::string_view view = text;
        char error[kMessageSize] = {};
        ASSERT_GT(LoadComponentProgram(bench1_, loaded_.model.get(), "semis.ict", &view,
                                       loaded_.strings.data(), loaded_.strings.size(), error),
                  0)
            << error;
        char setupError[kMessageSize];
        ASSERT_EQ(IctSetup(1, *bench1_, 0, 0, nullptr, setupError), 0u) << setupError;
        bench_->journal().clear();
        rvo().reset();
    }

    ComponentRecord* Find(const char* name) {
        ComponentModel& m = *loaded_.model;
        for (int32_t i = 0; i < m.componentCount; ++i) {
            if (std::strcmp(m.components[i].name, name) == 0) {
                return &m.components[i];
            }
        }
        ADD_FAILURE() << name;
        return nullptr;
    }

    long Run(const char* name) {
        ComponentRecord* r = Find(name);
        ComponentCall call;
        call.stepId = 1000 + r->index;
        call.name = r->name;
        call.bench = bench1_;
        call.benchIndex = 1;
        call.record = r;
        call.availableVariants = loaded_.model->variants;
        call.errorCode = &code_;
        call.errorText = text_;
        return FindComponentMethod(r->classCode)(call);
    }

    BenchRecord* bench1_ = nullptr;
    Loaded loaded_;
    uint32_t code_ = 0;
    char text_[kMessageSize] = {};
};

// The driver calls that wire a test: matrix terminals, PICT switches, PSU connections, source
// mode and polarity, gate drive and the pins' bus lines, in the order sent, without the session
// handle (its number depends on the tests run before).
std::string Wiring(const vbench::Journal& journal) {
    static const char* const kWiring[] = {"rspsam_cnx_Matrix",
                                          "rspict_cnx_ConfigureSwitches",
                                          "rspsu_Connect",
                                          "rspsam_SetAttributeViInt32",
                                          "rspsam_dcs_ConfigureCurrentLimit",
                                          "rspict_aos_ConfigureDc",
                                          "ZQsm160_quickConnect",
                                          "rspsu_Disconnect"};
    std::string out;
    for (const auto& e : journal.entries()) {
        for (const char* f : kWiring) {
            if (e.function == f) {
                const auto comma = e.arguments.find(", ");
                out += e.function.substr(e.function.find('_') + 1) + "(" +
                       e.arguments.substr(comma == std::string::npos ? 0 : comma + 2) + ") ";
            }
        }
    }
    return out;
}

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
        Load(ReadFile(kSemis / "semis.ict"));
        EXPECT_EQ(Run(c.name), 0) << c.name << ": " << text_;
        EXPECT_EQ(Wiring(bench_->journal()), c.wiring) << c.name;
    }
}

TEST_F(SemisTest, ResultsCarryTheirNamesTagsAndVerdicts) {
    // The whole file in order: every part after another, as the execute step walks them.
    struct Case {
        const char* result;
        const char* comment;
        double value;
        double tolerance; // absolute
        bool pass;
    } cases[] = {
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
    };
    for (const char* name :
         {"D1", "D2", "D3", "Z1", "Z2", "Q1", "Q2", "Q3", "M1", "M2", "S1", "S2"}) {
        Run(name);
    }
    const auto all = results();
    ASSERT_EQ(all.size(), std::size(cases));
    for (std::size_t i = 0; i < all.size(); ++i) {
        const auto& c = cases[i];
        EXPECT_EQ(all[i].name, c.result) << i;
        EXPECT_EQ(all[i].comment, c.comment) << c.result;
        EXPECT_NEAR(all[i].value, c.value, c.tolerance) << c.result;
        EXPECT_EQ(all[i].verdict, c.pass ? rvo::Verdict::Pass : rvo::Verdict::Fail) << c.result;
    }
    // The detail text names the pin pair of the sub-test.
    EXPECT_EQ(all[1].channel, "D1_A-D1_K");
    EXPECT_EQ(all[7].channel, "Q1_B-Q1_C");
}

TEST_F(SemisTest, MissingPinsAndModulesAreReportedBeforeAnyConnection) {
    struct Case {
        const char* name;
        const char* from; // edit of the component file
        const char* to;
        const char* alert; // the class's format
        const char* message;
    } cases[] = {
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
    };
    for (const auto& c : cases) {
        std::string text = ReadFile(kSemis / "semis.ict");
        text.replace(text.find(c.from), std::strlen(c.from), c.to);
        Load(text);
        rvo().scriptAlertAnswers({0});
        EXPECT_EQ(Run(c.name), -2) << c.name;
        EXPECT_EQ(code_, kErrResource) << c.name;
        char alert[kReportSize];
        FormatText(alert, sizeof alert, c.alert, static_cast<long>(Find(c.name)->index),
                   bench1_->name, c.message);
        EXPECT_EQ(LastAlert(), alert);
        EXPECT_EQ(Calls("ZQsm160_quickConnect"), 0u) << c.name;
        EXPECT_TRUE(results().empty()) << c.name;
    }
    // The Z-diode's current comes from the supply; the reverse current needs the PICT.
    bench1_->ictModules[kIctPsu].inUse = 0;
    bench1_->ictModules[kIctPict].inUse = 0;
    Load(ReadFile(kSemis / "semis.ict"));
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
