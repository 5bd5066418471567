// The pin tests (discharge, contact and short, track) on the pin-test example board, run through
// the execute step and as step methods: the faults of the board are each named, each fault
// removed passes, the driver calls follow the bus document, and errors leave the matrix open.
#include "ictx/measure/contact_scan.h"
#include "ictx/measure/example_board.h"

#include <kora/step_methods.h>
#include <vbench/circuit/elements.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace kora::test {
namespace {

const fs::path kPins = fs::path(KORA_EXAMPLES_DIR) / "ict";

class PinTests : public ExampleBoardTest {
  protected:
    void SetUp() override {
        ExampleBoardTest::SetUp();
        Station({});
    }

    // A copy of the pin-test station with `edits` (file, from, to) applied, made active and set
    // up; the component file loaded from `ict` (the example's when empty).
    void Station(const std::vector<std::array<std::string, 3>>& edits,
                 const std::string& ict = "") {
        const fs::path dir =
            fs::temp_directory_path() /
            ("kora_pins_" + std::to_string(::getpid()) + "_" + std::to_string(++copies_));
        fs::remove_all(dir);
        fs::create_directories(dir);
        const std::pair<const char*, const char*> files[] = {
            {"pins.cir", "pins.cir"},
            {"pins_fixture.txt", "pins_fixture.txt"},
            {"pins_hardware.ini", "hardware.ini"},
            {"pins_system.ini", "system.ini"},
            {"pins.ict", "pins.ict"}};
        for (const auto& [from, to] : files) {
            std::string text = ReadFile(kPins / from);
            for (const auto& [file, find, replace] : edits) {
                if (file != from) {
                    continue;
                }
                const auto at = text.find(find);
                EXPECT_NE(at, std::string::npos) << find;
                if (at != std::string::npos) {
                    text.replace(at, find.size(), replace);
                }
            }
            if (std::string(from) == "pins.ict" && !ict.empty()) {
                text = ict;
            }
            std::ofstream(dir / to) << text;
        }
        FreeBenchContext();
        VirtualBench::activate(nullptr);
        resmgr::inspect::Reset();
        UseStation(dir);
        ASSERT_EQ(Setup("PINS", 1), 0) << LastAlert();
        bench1_ = BenchByIndex(1);
        LoadAs((dir / "pins.ict").string());
    }

    // Results named `name` (a sub-result's name or the step's own).
    std::vector<rvo::Result> Named(const std::string& name) const {
        std::vector<rvo::Result> out;
        for (const auto& r : results()) {
            if (r.name == name) {
                out.push_back(r);
            }
        }
        return out;
    }
    // The state text of a pin's contact result.
    std::string StateOf(const char* pin) const {
        const auto r = Named(pin);
        return r.empty() ? "no result" : r.back().channel;
    }
    std::vector<std::string> Texts(const char* name) const {
        std::vector<std::string> out;
        for (const auto& r : Named(name)) {
            out.push_back(r.text);
        }
        return out;
    }
    double CapacitorVolts(const char* name) {
        bench_->settle();
        auto* c = dynamic_cast<vbench::Capacitor*>(bench_->circuit().find(name));
        return c ? c->voltage() : NAN;
    }

    int copies_ = 0;
};

TEST(PinStates, EveryStateHasItsText) {
    const std::pair<int32_t, const char*> cases[] = {
        {-5, ""},     {-4, "-----"}, {-3, "-----"}, {-2, "-----"},  {-1, "SHORT"},
        {0, "OPEN"},  {1, "CONT+C"}, {2, "CONT"},   {3, "CONT+"},   {4, "CONT++"},
        {5, "CONT-"}, {6, "CONT--"}, {9, "OPEN"},   {7, "INVALID"}, {-6, "INVALID"}};
    for (const auto& [state, text] : cases) {
        EXPECT_STREQ(PinStateText(state), text) << state;
    }
}

TEST_F(PinTests, ExampleBoardNamesEachFault) {
    EXPECT_GT(CapacitorVolts("cbulk"), 59.0);
    EXPECT_EQ(Run("DCH"), 0) << text_;
    EXPECT_LT(std::fabs(CapacitorVolts("cbulk")), 0.5) << "the bulk capacitor is emptied";
    const auto bulk = Named("BULK");
    ASSERT_EQ(bulk.size(), 1u);
    // The first reading comes after the relay's debounce, with the unit already drawing.
    double first = 0;
    ASSERT_EQ(std::sscanf(bulk[0].channel.c_str(), "PIN=%lfV, DCH>DCS>GND", &first), 1)
        << bulk[0].channel;
    EXPECT_NEAR(first, 60, 0.2);
    EXPECT_NE(bulk[0].channel.find(", DCH>DCS>GND"), std::string::npos) << bulk[0].channel;
    EXPECT_GT(bulk[0].time, 0.05) << "470 uF from 60 V takes its time";
    EXPECT_LT(bulk[0].time, 0.5);
    // The current steps as the voltage passes 50, 25 and 12.5 V.
    std::vector<std::string> steps;
    for (const auto& e : bench_->journal().calls("rspsam_dch_ConfigureCurrent")) {
        const std::string step = e.arguments.substr(e.arguments.rfind(',') + 2);
        if (step != "0") {
            steps.push_back(step);
        }
    }
    EXPECT_EQ(steps, (std::vector<std::string>{"1", "2", "3"}));

    rvo().reset();
    EXPECT_EQ(Run("PINS"), -1);
    EXPECT_EQ(Texts("Short"), std::vector<std::string>{"SA - SB"});
    EXPECT_EQ(Texts("No Contact"), std::vector<std::string>{"OPEN_N"});
    EXPECT_EQ(Named("Short")[0].comment, "MATRIX_A1.P5 - MATRIX_A1.P6");
    const std::pair<const char*, const char*> states[] = {
        {"SA", "SHORT"},    {"SB", "SHORT"}, {"OPEN_N", "OPEN"}, {"DK", "CONT--"},
        {"BULK", "CONT+C"}, {"VCC", "CONT"}, {"TA2", "CONT++"}};
    for (const auto& [pin, state] : states) {
        EXPECT_EQ(StateOf(pin), state) << pin;
    }
    const auto count = Named("PINS");
    ASSERT_FALSE(count.empty());
    EXPECT_EQ(count.back().valueInt, 2) << "one short group, one open needle";

    rvo().reset();
    EXPECT_EQ(Run("TRACK_A"), 0) << text_;
    EXPECT_LT(Named("TA1 - TA2").at(0).value, 5.0);
    EXPECT_EQ(Run("TRACK_B"), -1);
    EXPECT_NEAR(Named("TB1 - TB2").at(0).value, 52, 3);
}

TEST_F(PinTests, EachFaultRemovedPasses) {
    const struct {
        std::array<std::string, 3> edit;
        const char* component;
    } cases[] = {
        {{"pins.cir", "RSHORT sa sb 0.1", "RSHORT sa sb 100k"}, "PINS"},
        {{"pins.cir", "RTB tb1 tb2 50", "RTB tb1 tb2 2"}, "TRACK_B"},
    };
    for (const auto& c : cases) {
        std::vector<std::array<std::string, 3>> edits{c.edit};
        if (std::string(c.component) == "PINS") {
            edits.push_back(
                {"pins_fixture.txt", "MATRIX_A1 P9 ", "MATRIX_A1 P8  n8\nMATRIX_A1 P9 "});
            edits.push_back({"pins.cir", ".end", "R8 n8 0 1k\n.end"});
        }
        Station(edits);
        ASSERT_EQ(Run("DCH"), 0) << text_;
        rvo().reset();
        EXPECT_EQ(Run(c.component), 0) << c.component << ": " << text_;
    }
}

TEST_F(PinTests, GroupSearchReportsAPairATripleAndAPinShortedToGround) {
    // Three more nets joined by bridges, and x with a bridge to the board's ground.
    Station({{"pins.cir", ".end", "RT12 t1 t2 0.1\nRT23 t2 t3 0.1\nRT3 t3 0 1k\nRX x 0 0.2\n.end"},
             {"pins_fixture.txt", "MATRIX_A1 P9 ",
              "MATRIX_A1 P13 t1\nMATRIX_A1 P14 t2\nMATRIX_A1 P15 t3\nMATRIX_A1 P20 x\n"
              "MATRIX_A1 P9 "},
             {"pins_system.ini", "TA1 =",
              "T1 = MATRIX_A1!P13\nT2 = MATRIX_A1!P14\n"
              "T3 = MATRIX_A1!P15\nX = MATRIX_A1!P20\nTA1 ="}},
            "[3, \"PINS\", \"CONTACT\", \"\", \"\"]\nMM=\"F-A\"\nNV=50\n"
            "TL=\"SA,SB,VCC,N1,T1,T2,T3,X\"\n");
    // By the current limit: x reaches the tester's ground through its 10 ohm reference, which
    // no pin on the ammeter sees, so it has no partner in the list.
    EXPECT_EQ(Run("PINS"), -1);
    EXPECT_EQ(Texts("Short"), (std::vector<std::string>{"SA - SB", "T1 - T2 - T3", "X - ALL"}));
    std::vector<long> numbers;
    for (const auto& r : Named("Short")) {
        numbers.push_back(r.resultNo);
    }
    EXPECT_EQ(numbers, (std::vector<long>{30000, 30001, 30002}));
    EXPECT_EQ(StateOf("VCC"), "OPEN") << "no short, no contact test";
}

TEST_F(PinTests, ReversedVoltageFindsThePinBehindADiode) {
    // The contact test's 5 V on dk: with dk at D1's cathode the positive voltage blocks and the
    // reversed one (-5 V) conducts; turned round, the positive one conducts.
    const struct {
        const char* diode;
        const char* state;
    } cases[] = {{"D1 n1 dk DMOD", "CONT--"}, {"D1 dk n1 DMOD", "CONT++"}};
    for (const auto& c : cases) {
        Station({{"pins.cir", "D1 n1 dk DMOD", c.diode}},
                "[3, \"PINS\", \"CONTACT\", \"\", \"\"]\nMM=\"-NA\"\nTL=\"DK,N1\"\n");
        Run("PINS");
        EXPECT_EQ(StateOf("DK"), c.state) << c.diode;
    }
}

TEST_F(PinTests, LimitsFollowTheSettings) {
    // Short: UPPER LIMIT is NV, the source's limit V / NV; contact: LOWER LIMIT the second NV.
    Station({}, "[3, \"PINS\", \"CONTACT\", \"\", \"\"]\nMM=\"NNA\"\nV=0.5\nNV=20\nTL=\"VCC\"\n");
    Run("PINS");
    const auto vcc = Named("VCC");
    ASSERT_EQ(vcc.size(), 1u);
    EXPECT_EQ(vcc[0].low, 20);
    EXPECT_EQ(vcc[0].high, 1e4) << "NV given sets the contact limit to its lower bound";
    EXPECT_EQ(vcc[0].lowOp, "<=");
    const auto* limit = rvo().attribute(1003, "CURRENT LIMIT");
    ASSERT_NE(limit, nullptr);
    EXPECT_DOUBLE_EQ(*static_cast<const double*>(limit->address), 0.5 / 20);

    // The current-limit contact mode sets 0.1 mA before the contact limit for every check.
    Station({}, "[3, \"PINS\", \"CONTACT\", \"\", \"\"]\nMM=\"-FA\"\nTL=\"VCC\"\n");
    Run("PINS");
    std::vector<std::string> limits;
    for (const auto& e : bench_->journal().calls("rspsam_dcs_ConfigureCurrentLimit")) {
        limits.push_back(e.arguments.substr(e.arguments.rfind(',') + 2));
    }
    EXPECT_EQ(limits, (std::vector<std::string>{"5e-06", "0.0001", "5e-06"}));
    EXPECT_EQ(StateOf("VCC"), "CONT+");
}

TEST_F(PinTests, OnePassSendsTheBusDocumentsConnections) {
    Station({}, "[3, \"PINS\", \"CONTACT\", \"\", \"\"]\nMM=\"N--\"\nTL=\"SA,SB\"\n");
    Run("PINS");
    std::vector<std::string> calls;
    for (const auto& e : bench_->journal().callsOf("ZQsm160")) {
        if (e.function != "ZQsm160_WaitForDebounce") {
            const auto comma = e.arguments.find(',');
            calls.push_back(e.function.substr(8) + "(" +
                            (comma == std::string::npos ? "" : e.arguments.substr(comma + 2)) +
                            ")");
        }
    }
    // SA is P5 (bit 4), SB P6 (bit 5): one mask word 0x30 onto LABB2 and LABB1; each pin to
    // the park and stimulus lines and back; the pair alone on stimulus and return, each pin
    // released after it.
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front().rfind("quickConnectArray(", 0), 0u) << calls.front();
    EXPECT_NE(calls.front().find("0x30"), std::string::npos) << calls.front();
    const std::vector<std::string> moves(calls.begin() + 1, calls.end());
    EXPECT_EQ(moves, (std::vector<std::string>{
                         "quickConnectABCD(5, 2, 1, 0, 0, 0)", "quickConnectABCD(5, 1, 2, 0, 0, 0)",
                         "quickConnectABCD(6, 2, 1, 0, 0, 0)", "quickConnectABCD(6, 1, 2, 0, 0, 0)",
                         "DisconnectAll()", "quickConnectABCD(5, 0, 1, 0, 0, 0)",
                         "quickConnectABCD(6, 0, 2, 0, 0, 0)", "quickConnectABCD(6, 0, 0, 0, 0, 0)",
                         "quickConnectABCD(5, 0, 0, 0, 0, 0)", "hscDisconnectAll()"}));
}

TEST_F(PinTests, DriverFaultInTheGroupSearchIsReportedAndEveryModuleOpened) {
    ASSERT_EQ(Run("DCH"), 0) << text_;
    // The pre-scan moves each of the 10 pins of the short test twice; the 22nd move puts SB on
    // the return line for the first pair of the group search.
    bench_->faults().reset();
    bench_->faults().add({"ZQsm160_quickConnectABCD", 22, false, -0x4001, "relay stuck"});
    rvo().reset();
    bench_->journal().clear();
    EXPECT_EQ(Run("PINS"), -2);
    EXPECT_EQ(bench_->journal().count("ZQsm160_DisconnectAll"), 1u) << "in the group search";
    EXPECT_EQ(std::string(text_), "SM160: relay stuck");
    std::vector<std::string> after; // the matrix calls from the failing move on
    for (const auto& e : bench_->journal().callsOf("ZQsm160")) {
        if (!after.empty() || e.injected) {
            after.push_back(e.function);
        }
    }
    EXPECT_EQ(after,
              (std::vector<std::string>{"ZQsm160_quickConnectABCD", "ZQsm160_hscDisconnectAll",
                                        "ZQsm160_error_message"}));
    EXPECT_EQ(Named("Short").size(), 0u);
}

TEST_F(PinTests, DischargeToGroundGroundsAtOnce) {
    Station({{"pins_system.ini", "KORAdischargeGND = 0", "KORAdischargeGND = 1"}});
    EXPECT_EQ(Run("DCH"), -1) << "the charged pin's first reading is verified";
    const auto bulk = Named("BULK");
    ASSERT_EQ(bulk.size(), 1u);
    EXPECT_EQ(bulk[0].channel.substr(bulk[0].channel.find(',')), ", DCH>GND");
    EXPECT_EQ(bulk[0].verdict, rvo::Verdict::Fail);
    EXPECT_LT(std::fabs(CapacitorVolts("cbulk")), 0.5) << "the card's ground emptied it";
    for (const auto& e : bench_->journal().calls("rspsam_dch_ConfigureCurrent")) {
        EXPECT_EQ(e.arguments.substr(e.arguments.rfind(',') + 2), "0");
    }
}

TEST_F(PinTests, DebugPinShowsItsChecks) {
    Station({}, "[3, \"PINS\", \"CONTACT\", \"\", \"\"]\nMM=\"N--\"\nTL=\"SA,SB,VCC\"\n");
    Run("PINS");
    ASSERT_TRUE(rvo().editAttribute(1003, "DETAILS|DEBUG PIN", "SA"));
    rvo().invokeAttributeCallback(1003, 0x80000001);
    const std::size_t before = results().size();
    Run("PINS");
    std::vector<std::string> graphs;
    const auto all = results();
    for (std::size_t k = before; k < all.size(); ++k) {
        const auto& r = all[k];
        if (r.kind == rvo::ResultKind::Series) {
            graphs.push_back(r.name);
        }
    }
    // SA stays shorted through the pre-scan's ten re-checks 1 ms apart (no reversal after a
    // short), and is then checked against SB alone.
    std::vector<std::string> expected{"SA->ALL - SHORT - Current graph"};
    for (int ms = 1; ms <= 10; ++ms) {
        expected.push_back("SA->ALL - SHORT - Current graph after " + std::to_string(ms) + " ms");
    }
    expected.push_back("SA->SB - SHORT - Current graph");
    EXPECT_EQ(graphs, expected);
}

TEST_F(PinTests, BenchWithoutSourceModuleIsRefused) {
    Station({{"pins_system.ini", "ICTDevice = PSAM_A3\n", ""}});
    for (const char* name : {"DCH", "PINS", "TRACK_A"}) {
        EXPECT_EQ(Run(name), -2) << name;
        EXPECT_STREQ(text_, "No ICT DEVICE of Type PSAM defined") << name;
    }
    EXPECT_EQ(bench_->journal().count("ZQsm160_quickConnectABCD"), 0u);
}

TEST_F(PinTests, TrackNeedsTwoPinsAndNamedOnes) {
    const struct {
        const char* list;
        const char* message;
    } cases[] = {{"TA1", "At least 2 TEST PINS needed"},
                 {"TA1,NOPE", "TRACK pin 'NOPE' not defined"}};
    for (const auto& c : cases) {
        Station({}, std::string("[4, \"T\", \"TRACK\", \"\", \"\"]\nTL=\"") + c.list + "\"\n");
        EXPECT_EQ(Run("T"), -2);
        EXPECT_EQ(std::string(text_), c.message);
        EXPECT_EQ(bench_->journal().count("ZQsm160_quickConnectABCD"), 0u);
    }
}

TEST_F(PinTests, EditsInTheStepEditorReachTheRecord) {
    rvo().setCompileOnly(true); // the definitions are all an edit needs
    const auto text = [](const char* t) { return std::string(t ? t : ""); };
    const struct {
        const char* component;
        const char* attribute;
        const char* edit;
        std::function<bool(const ComponentRecord&)> stored;
    } cases[] = {
        {"PINS", "VALIDATION|SHORT|UPPER LIMIT", "20",
         [](const ComponentRecord& r) { return r.sub[0].nv == 20 && r.sub[0].c == 0.2 / 20; }},
        {"PINS", "VALIDATION|SHORT|ENABLED", "CURRENT-LIMIT",
         [](const ComponentRecord& r) { return r.sub[0].mode == 'F'; }},
        {"PINS", "TEST PINS|EXCLUDE FROM SHORT", "TA2",
         [&](const ComponentRecord& r) { return text(r.rl) == "TA2"; }},
        {"TRACK_A", "VALIDATION|UL", "1000",
         [](const ComponentRecord& r) { return r.sub[0].nv == 100; }},
        {"DCH", "SETTINGS|TIMEOUT", "2",
         [](const ComponentRecord& r) { return r.sub[2].mt == 2 && r.sub[0].mt == 2; }},
        {"DCH", "TEST PINS|REFERENCE", "GND",
         [&](const ComponentRecord& r) { return text(r.rl) == "GND"; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.component) + " " + c.attribute);
        ComponentRecord* r = Find(c.component);
        Run(c.component);
        bench1_->ictModified = 0;
        ASSERT_TRUE(rvo().editAttribute(1000 + r->index, c.attribute, c.edit));
        EXPECT_EQ(rvo().invokeAttributeCallback(1000 + r->index, 0x80000001), 0);
        EXPECT_TRUE(c.stored(*r));
        EXPECT_EQ(bench1_->ictModified, 1);
    }
    rvo().setCompileOnly(false);
}

TEST_F(PinTests, StepMethodsBuildTheirComponent) {
    EXPECT_EQ(DISCHARGE_ICTX(7001, "Discharge", 0x700, 0, "", "", 1, "BULK", "GND", 500), 0)
        << LastAlert();
    EXPECT_LT(std::fabs(CapacitorVolts("cbulk")), 0.5);
    EXPECT_EQ(Named("GND").at(0).channel.rfind("REF=", 0), 0u) << "reference pins first";
    EXPECT_EQ(TRACK_ICTX(7002, "Track", 0x710, 0, "", "", 0, 0.2, "TB1,TB2", NAN, NAN), -1);
    EXPECT_EQ(CONTACT_ICTX(7003, "Contact", 0x720, 0, "", "1,SHORT", 0, NAN, NAN, "SA,SB,VCC", "",
                           "", NAN, NAN, NAN, NAN),
              -1);
    EXPECT_EQ(Texts("Short"), std::vector<std::string>{"SA - SB"});
    // Once the group is compiled a pass takes over only the reals: the kept selection and modes
    // stay, the short test's voltage (and its test current) follow the argument.
    rvo().reset();
    rvo().setGroupCompiled(true);
    bench_->journal().clear();
    EXPECT_EQ(CONTACT_ICTX(7003, "Contact", 0x720, 0, "", "1,OPEN", 0, 0.5, NAN, "VCC", "", "", NAN,
                           NAN, NAN, NAN),
              -1);
    rvo().setGroupCompiled(false);
    EXPECT_EQ(Texts("Short"), std::vector<std::string>{"SA - SB"});
    EXPECT_EQ(Texts("No Contact"), std::vector<std::string>{});
    std::vector<std::string> levels;
    for (const auto& e : bench_->journal().calls("rspsam_dcs_ConfigureVoltageLevel")) {
        levels.push_back(e.arguments.substr(e.arguments.rfind(',') + 2));
    }
    EXPECT_NE(std::find(levels.begin(), levels.end(), "0.5"), levels.end());
    EXPECT_EQ(std::find(levels.begin(), levels.end(), "0.2"), levels.end());
    rvo().reset();
    EXPECT_EQ(CONTACT_ICTX(7004, "Contact", 0x730, 0, "", "3,SHORT", 0, NAN, NAN, "", "", "", NAN,
                           NAN, NAN, NAN),
              -2);
    EXPECT_NE(LastAlert().find("BenchIndex out of range"), std::string::npos) << LastAlert();
}

} // namespace
} // namespace kora::test
