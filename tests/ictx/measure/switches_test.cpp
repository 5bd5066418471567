// The relay, photocoupler and varistor tests on the switching example board: each part read at
// its netlist's value, the wrong parts failing with the readings the component file's comment
// names, the wiring each class sends, the pin and module errors, the result names, the edits
// and the relay's operate time against the test's wait.
#include "ictx/measure/example_board.h"
#include "vbench/ngspice_runner.h"

#include <cmath>
#include <cstring>
#include <string>

namespace kora::test {
namespace {

const fs::path kExamples = fs::path(KORA_EXAMPLES_DIR) / "ict";

// The driver calls that wire a test.
const std::vector<const char*> kWiring = {
    "rspsam_cnx_Matrix",           "rspict_cnx_ConfigureSwitches",     "rspsu_Connect",
    "rspsu_ConfigureVoltageLevel", "rspsam_dcs_ConfigureVoltageLevel", "rspict_aos_ConfigureDc",
    "ZQsm160_quickConnect"};

class SwitchesTest : public ExampleBoardTest {
  protected:
    void SetUp() override {
        ExampleBoardTest::SetUp();
        Open("switches", "SWITCHES");
    }
};

TEST_F(SwitchesTest, EachClassWiresItsPinsAsDesigned) {
    struct Case {
        const char* name;
        const char* wiring;
    } cases[] = {
        // The coil on the supply's second channel (COIL+ C, COIL- D) at rest, every pin on its
        // line, the coil on; the contact fed by the source on A against B with the meter across
        // it; the coil off, then on again with the meter across the coil; at rest at the end.
        {"K1", "cnx_ConfigureSwitches(0x0, 0x0, 0x0, 0x0, 0x0) "
               "Connect(\"CH2_HI\", \"ABc1\") Connect(\"CH2_LO\", \"ABd2\") "
               "ConfigureVoltageLevel(\"CH2\", 0) "
               "quickConnect(1, 1001, 3) quickConnect(1, 1004, 4) quickConnect(1, 1005, 1) "
               "quickConnect(1, 1008, 2) ConfigureVoltageLevel(\"CH2\", 5) "
               "cnx_Matrix(1, 0xff, 0x88) cnx_Matrix(4, 0xff, 0x44) cnx_Matrix(2, 0xff, 0x88) "
               "cnx_Matrix(3, 0xff, 0x44) dcs_ConfigureVoltageLevel(5) "
               "cnx_Matrix(5, 0xff, 0x88) cnx_Matrix(8, 0xff, 0x44) "
               "ConfigureVoltageLevel(\"CH2\", 0) ConfigureVoltageLevel(\"CH2\", 5) "
               "cnx_Matrix(5, 0xff, 0x20) cnx_Matrix(8, 0xff, 0x1) "
               "ConfigureVoltageLevel(\"CH2\", 0) "},
        // The supply on SUPPLY+ (D1: the cathode holds D2) against the emitter's C line; the LED
        // from the AOS on A into the CMU on D2; the output on B and C; 5 mA (6.2 V through
        // 1 kohm), dark, 5 mA again with the meter across the LED.
        {"U1", "Connect(\"CH2_HI\", \"ABd1\") Connect(\"CH2_LO\", \"ABc1\") "
               "aos_ConfigureDc(1000, 3, 0) cnx_ConfigureSwitches(0x1, 0x80, 0x0, 0x0, 0x0) "
               "quickConnect(1, 1003, 15) quickConnect(1, 1005, 17) quickConnect(1, 1001, 13) "
               "quickConnect(1, 1008, 14) quickConnect(1, 1007, 16) aos_ConfigureDc(1000, 3, 6.2) "
               "cnx_Matrix(5, 0xff, 0x44) cnx_Matrix(8, 0xff, 0x22) aos_ConfigureDc(1000, 3, 0) "
               "aos_ConfigureDc(1000, 3, 6.2) cnx_Matrix(5, 0xff, 0x80) cnx_Matrix(8, 0xff, 0x1) "
               "aos_ConfigureDc(1000, 3, 0) ConfigureVoltageLevel(\"CH2\", 0) "},
        // Source HI on A, its LO with the meter's + on D, the meter's - on C; four pulses each
        // way from 0 V.
        {"RV1", "cnx_ConfigureSwitches(0x0, 0x0, 0x0, 0x0, 0x0) "
                "cnx_Matrix(1, 0xff, 0x88) cnx_Matrix(4, 0xff, 0x11) cnx_Matrix(2, 0xff, 0x88) "
                "cnx_Matrix(3, 0xff, 0x11) quickConnect(1, 1001, 23) quickConnect(1, 1006, 24) "
                "cnx_Matrix(5, 0xff, 0x11) cnx_Matrix(8, 0xff, 0x22) "
                "dcs_ConfigureVoltageLevel(8.2) dcs_ConfigureVoltageLevel(0) "
                "dcs_ConfigureVoltageLevel(8.2) dcs_ConfigureVoltageLevel(0) "
                "dcs_ConfigureVoltageLevel(8.2) dcs_ConfigureVoltageLevel(0) "
                "dcs_ConfigureVoltageLevel(8.2) dcs_ConfigureVoltageLevel(0) "
                "dcs_ConfigureVoltageLevel(-8.2) dcs_ConfigureVoltageLevel(0) "
                "dcs_ConfigureVoltageLevel(-8.2) dcs_ConfigureVoltageLevel(0) "
                "dcs_ConfigureVoltageLevel(-8.2) dcs_ConfigureVoltageLevel(0) "
                "dcs_ConfigureVoltageLevel(-8.2) dcs_ConfigureVoltageLevel(0) "},
    };
    for (const auto& c : cases) {
        Load(BoardText());
        EXPECT_EQ(Run(c.name), 0) << c.name << ": " << text_;
        EXPECT_EQ(Wiring(kWiring), c.wiring) << c.name;
    }
}

TEST_F(SwitchesTest, ResultsCarryTheirNamesTagsAndVerdicts) {
    ExpectResults({"K1", "K2", "K3", "U1", "U2", "RV1", "RV2"},
                  {
                      {"K1.USW.ON", "USW.ON", 0.0, 0.02, true},
                      {"K1.USW.OFF", "USW.OFF", 5.0, 0.01, true},
                      {"K1.RCOIL", "RCOIL", 200.0, 2.0, true},
                      {"K2.USW.ON", "USW.ON", 5.0, 0.01, true},
                      {"K2.USW.OFF", "USW.OFF", 0.0, 0.02, true},
                      {"K2.RCOIL", "RCOIL", 200.0, 2.0, true},
                      {"K3.USW.ON", "USW.ON", 0.0, 0.02, false},
                      {"K3.USW.OFF", "USW.OFF", 5.0, 0.01, false},
                      {"U1.USW.ON", "USW.ON", 0.086, 0.01, true},
                      // The output's 4.7 kohm pull-up against the 1 Mohm of the board's rest.
                      {"U1.USW.OFF", "USW.OFF", 4.977, 0.01, true},
                      {"U1.VFD", "UFD", 1.211, 0.01, true},
                      {"U2.USW.ON", "USW.ON", 2.65, 0.05, false},
                      {"U2.USW.OFF", "USW.OFF", 4.977, 0.01, true},
                      {"ICLAMP+", "VARISTOR.ICLAMP+", 0.979e-3, 0.01e-3, true},
                      {"I.CLAMP-", "VARISTOR.ICLAMP-", 0.979e-3, 0.01e-3, true},
                      {"ICLAMP+", "VARISTOR.ICLAMP+", 0.37e-6, 0.05e-6, false},
                      {"I.CLAMP-", "VARISTOR.ICLAMP-", 0.37e-6, 0.05e-6, false},
                  });
    const auto all = results();
    // The detail text names the pin pair of the sub-test.
    EXPECT_EQ(all[0].channel, "K1_SH-K1_SL");
    EXPECT_EQ(all[2].channel, "K1_CP-K1_CN");
    EXPECT_EQ(all[10].channel, "U1_A-U1_K");
    EXPECT_EQ(all[13].channel, "RV1_A-RV1_B");
}

TEST_F(SwitchesTest, MissingPinsAndModulesAreReportedBeforeAnyConnection) {
    ExpectPinErrors({
        {"K1", "TP=\"K1_CN\"\n", "", "ICTX_RELAY[ % li ]\n\nBENCH=%s\n\n%s",
         "Invalid test pin selection (COIL+|COIL-|CONT1|CONT2)"},
        {"U1", "TS=\"U1_VCC\"\n", "", "ICTX_PHOTOCOUPLER[ % li ]\n\nBENCH=%s\n\n%s",
         "Invalid test pin selection (DIODE+|DIODE-|CONT1|CONT2)"},
        {"RV1", "TP=\"RV1_B\"\n", "TP=\"NOWHERE\"\n", "ICTX_VARISTOR[ %li ]\n\nBENCH=%s\n\n%s",
         "Invalid test pin selection (HI|LO)"},
    });
    bench1_->ictModules[kIctPsu].inUse = 0;
    Load(BoardText());
    for (const char* name : {"K1", "RV1"}) {
        rvo().scriptAlertAnswers({0});
        EXPECT_EQ(Run(name), -2) << name;
        EXPECT_NE(LastAlert().find("ERROR: No PSU available"), std::string::npos) << LastAlert();
    }
    bench1_->ictModules[kIctPict].inUse = 0;
    rvo().scriptAlertAnswers({0});
    EXPECT_EQ(Run("U1"), -2);
    EXPECT_NE(LastAlert().find("ERROR: No PICT available"), std::string::npos) << LastAlert();
    EXPECT_EQ(Calls("ZQsm160_quickConnect"), 0u);
}

TEST_F(SwitchesTest, EditsReachTheRecord) {
    ComponentRecord* k1 = Find("K1");
    ComponentRecord* rv1 = Find("RV1");
    ASSERT_EQ(Run("K1"), 0) << text_;
    ASSERT_EQ(Run("RV1"), 0) << text_;
    ASSERT_TRUE(rvo().editAttribute(1000 + k1->index, "SETTINGS|USW.ON|STIM.COIL|ILIM", "0.05"));
    ASSERT_TRUE(rvo().editAttribute(1000 + k1->index, "VALIDATION|COIL|ENABLED", "0"));
    EXPECT_EQ(rvo().invokeAttributeCallback(1000 + k1->index, 0x80000001), 0);
    EXPECT_EQ(k1->sub[0].sc, 0.05);
    EXPECT_EQ(k1->sub[2].enable, 0u);
    ASSERT_TRUE(rvo().editAttribute(1000 + rv1->index, "SETTINGS|I.CLAMP+|STIM|DUTYCYCLE", "25"));
    ASSERT_TRUE(rvo().editAttribute(1000 + rv1->index, "SETTINGS|I.CLAMP-|MEAS|PERIODS", "2"));
    EXPECT_EQ(rvo().invokeAttributeCallback(1000 + rv1->index, 0x80000001), 0);
    EXPECT_EQ(rv1->sub[0].sd, 25);
    EXPECT_EQ(rv1->sub[1].ma, 2);
    EXPECT_TRUE(bench1_->ictModified);
}

TEST_F(SwitchesTest, ARelayReadTooSoonAfterItsCoilFindsTheContactStillMoving) {
    // The coil's 2.5 ms time constant closes K1's contact some 3 ms after the coil is switched
    // on: read 1 ms after, the contact is still open, and it never closes before the coil goes
    // off again (with the default wait it does, see above).
    std::string text = BoardText();
    text.replace(text.find("NV=0,5,200"), 10, "NV=0,5,200\nMD=0.001,0.001,0.001");
    Load(text);
    EXPECT_EQ(Run("K1"), -1);
    EXPECT_NEAR(Value("K1.USW.ON"), 5.0, 0.01);
    EXPECT_NEAR(Value("K1.USW.OFF"), 5.0, 0.01);
}

TEST_F(SwitchesTest, ReadingsAgreeWithNgspice) {
    namespace ng = kora::vbench::testing;
    if (ng::NgspicePath().empty()) {
        GTEST_SKIP() << "ngspice is not installed";
    }
    // ngspice's operating point with the stimulus the test applies: the LED through the AOS's
    // 1 kohm at the level for 5 mA (its forward voltage's nominal 1.2 V plus 5 V), the output's
    // supply at 5 V, the varistor at 8.2 V.
    const char* stimulus = "VA u1_x 0 6.2\nRA u1_x u1_a 1k\nVK u1_k 0 0\nVCC u1_vcc 0 5\n"
                           "VE u1_e 0 0\nVR rv1_a 0 8.2\nVRB rv1_b 0 0\n";
    const std::string board = ReadFile(kExamples / "switches.cir");
    auto ref = ng::RunNgspice(board.substr(0, board.rfind(".end")) + stimulus,
                              {"op", "print v(u1_a) v(u1_c) i(vrb)"});
    ASSERT_TRUE(ref.ran) << ref.log;
    Run("U1");
    Run("RV1");
    EXPECT_NEAR(Value("U1.VFD"), ref.values["v(u1_a)"].real(), 0.01 * 1.2);
    EXPECT_NEAR(Value("U1.USW.ON"), ref.values["v(u1_c)"].real(), 0.01);
    // The varistor's own current, without its pull-down's: the one that leaves at its LO pin.
    const double clamp = ref.values["i(vrb)"].real();
    EXPECT_NEAR(Value("ICLAMP+"), clamp, 0.01 * clamp);
}

} // namespace
} // namespace kora::test
