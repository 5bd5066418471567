// The resistor test on the example ICT board, called as the execute step calls it: every wire
// mode reads its part, guarding removes the parallel path, errors are reported with the module
// and the matrix is released, and edits in the step editor reach the component record.
#include "ictx/measure/component_tests.h"
#include "ictx/measure/ict_hardware.h"
#include "ictx/program/component_load.h"

#include "ictx/program/ict_program_support.h"
#include "support/station.h"

#include <rspict.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace kora::test {
namespace {

const fs::path kIctStation = fs::path(KORA_EXAMPLES_DIR) / "ict";

class ResistorTest : public StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        UseStation(kIctStation);
        ASSERT_EQ(Setup("ICT", 1), 0) << LastAlert();
        bench1_ = BenchByIndex(1);
        ASSERT_NE(bench1_, nullptr);
        Load((kIctStation / "board.ict").string());
    }

    void Load(const std::string& file, const std::string* text = nullptr) {
        std::string_view view;
        if (text) {
            view = *text;
        }
        char error[kMessageSize] = {};
        ASSERT_GT(LoadComponentProgram(bench1_, loaded_.model.get(), file.c_str(),
                                       text ? &view : nullptr, loaded_.strings.data(),
                                       loaded_.strings.size(), error),
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

    // Calls the component's method as the execute step does; the step result.
    long Run(ComponentRecord* r, long stepId = 0) {
        ComponentCall call;
        call.stepId = stepId ? stepId : 1000 + r->index;
        call.name = r->name;
        call.bench = bench1_;
        call.benchIndex = 1;
        call.record = r;
        call.availableVariants = loaded_.model->variants;
        call.errorCode = &code_;
        call.errorText = text_;
        return TestResistor(call);
    }

    rvo::Result ResultOf(const char* name) {
        for (const auto& r : results()) {
            if (r.text == name || r.name == name) {
                return r;
            }
        }
        ADD_FAILURE() << "no result " << name;
        return {};
    }

    BenchRecord* bench1_ = nullptr;
    Loaded loaded_;
    uint32_t code_ = 0;
    char text_[kMessageSize] = {};
};

TEST_F(ResistorTest, EveryWireModeReadsItsPartWithinTheMetersAccuracy) {
    struct Case {
        const char* name;
        const char* tag;
        double ohms;
        double tolerance; // relative
        const char* graph;
    } cases[] = {
        {"R1", "RESISTOR.2V", 10e3, 0.002, "CURRENT"},
        {"R2", "RESISTOR.2C", 1e3, 0.003, "VOLTAGE"},
        {"R3", "RESISTOR.4VS", 10, 0.003, "CURRENT"},
        {"R4", "RESISTOR.4CS", 47, 0.003, "VOLTAGE"},
        {"R5", "RESISTOR.3G", 10e3, 0.005, "CURRENT"},
        {"R6", "RESISTOR.4G", 100e3, 0.005, "CURRENT"},
        {"R7", "RESISTOR.6G", 47, 0.005, "CURRENT"},
    };
    for (const auto& c : cases) {
        rvo().reset();
        ComponentRecord* record = Find(c.name);
        EXPECT_EQ(Run(record), 0) << c.name << ": " << text_;
        const auto* graph = rvo().attribute(1000 + record->index, "GRAPH");
        ASSERT_NE(graph, nullptr);
        EXPECT_EQ(graph->text, c.graph) << c.name;
        const auto results = this->results();
        ASSERT_EQ(results.size(), 1u) << c.name;
        const auto& r = results.front();
        EXPECT_NEAR(r.value, c.ohms, c.ohms * c.tolerance) << c.name;
        EXPECT_EQ(r.comment.rfind(c.tag, 0), 0u) << c.name << ": " << r.comment;
        EXPECT_EQ(r.unit, 13);
        EXPECT_EQ(r.verdict, rvo::Verdict::Pass) << c.name;
    }
}

TEST_F(ResistorTest, GuardingRemovesTheParallelPath) {
    // R5 in two wires: its 4.7 k + 4.7 k path is read with it.
    std::string text = ReadFile(kIctStation / "board.ict");
    const std::string guard = "GP=\"R5_G\"\n";
    const auto at = text.find(guard);
    ASSERT_NE(at, std::string::npos);
    text.erase(at, guard.size());
    Load("unguarded.ict", &text);
    Run(Find("R5"));
    const double parallel = 10e3 * 9.4e3 / 19.4e3;
    EXPECT_NEAR(lastResult().value, parallel, parallel * 0.005);
    EXPECT_EQ(lastResult().comment.rfind("RESISTOR.2V", 0), 0u);
    EXPECT_EQ(lastResult().verdict, rvo::Verdict::Fail);
}

TEST_F(ResistorTest, PinProblemsAreReportedBeforeAnyConnection) {
    const auto expectRefused = [&](const char* name, const char* message, std::size_t results) {
        EXPECT_EQ(code_, kErrResource) << name;
        char alert[kReportSize];
        FormatText(alert, sizeof alert, "ICTX_RESISTOR[ %li ]\n\nBENCH=%s\n\n%s",
                   static_cast<long>(Find(name)->index), bench1_->name, message);
        EXPECT_EQ(LastAlert(), alert);
        EXPECT_EQ(Calls("ZQsm160_quickConnect"), 0u) << name;
        EXPECT_EQ(this->results().size(), results) << name;
    };
    struct Case {
        const char* name;
        const char* from; // edit of the component file
        const char* to;
        const char* message;
    } cases[] = {
        {"R1", "TP=\"R1_B\"\n", "", "Invalid test pin selection (HI|LO)"},
        // Six wires need HI and sense HI on pins of different parity (R6_A is even like R7_A).
        {"R7", "TS=\"R7_SA\"", "TS=\"R6_A\"",
         "TP HI/SH: Have to be odd/even or even/odd pin number"},
    };
    for (const auto& c : cases) {
        std::string text = ReadFile(kIctStation / "board.ict");
        text.replace(text.find(c.from), std::strlen(c.from), c.to);
        Load("edited.ict", &text);
        rvo().scriptAlertAnswers({0});
        EXPECT_EQ(Run(Find(c.name)), -2) << c.name;
        expectRefused(c.name, c.message, 0);
    }

    // A method chosen in the step editor that the part's pins do not serve: the guard checks come
    // first, six-wire guarding asks for its guard sense before its sense pins.
    const struct {
        const char* name;
        const char* method;
        const char* message;
    } edits[] = {{"R1", "3-GUARDED", "Invalid GUARD pin selection (GPx)"},
                 {"R5", "6-GUARDED", "Invalid GUARD pin selection (GPx|GS)"}};
    long stepId = 3000;
    for (const auto& e : edits) {
        Load((kIctStation / "board.ict").string());
        Run(Find(e.name), ++stepId);
        ASSERT_TRUE(rvo().editAttribute(stepId, "METHOD", e.method));
        rvo().invokeAttributeCallback(stepId, 0x80000001);
        bench_->journal().clear();
        const std::size_t before = results().size();
        rvo().scriptAlertAnswers({0});
        EXPECT_EQ(Run(Find(e.name), stepId), -2);
        expectRefused(e.name, e.message, before);
    }
}

TEST_F(ResistorTest, GuardedReadWithoutSampleLeavesTheValueInvalid) {
    bench_->faults().reset();
    bench_->faults().add(
        {"rspict_cmu_Read", 1, false, static_cast<int32_t>(RSPICT_ERROR_NO_SAMPLES), "no sample"});
    EXPECT_EQ(Run(Find("R5")), -1) << text_;
    EXPECT_TRUE(alerts().empty()) << LastAlert();
    EXPECT_EQ(lastResult().value, -999000000.0);
    EXPECT_EQ(lastResult().comment, "RESISTOR.3G");
}

TEST_F(ResistorTest, DriverFaultMidwayNamesTheModuleAndReleasesEveryCard) {
    // R6's guard sense needle sits on the second card: the fault hits after both were used.
    bench_->faults().reset();
    bench_->faults().add(
        {"ZQsm160_quickConnect", 4, false, static_cast<int32_t>(0xBFFA1234), "crosspoint welded"});
    rvo().scriptAlertAnswers({0});
    EXPECT_EQ(Run(Find("R6")), -2);
    EXPECT_EQ(code_, 0xBFFA1234u);
    EXPECT_NE(LastAlert().find("SM160: crosspoint welded"), std::string::npos) << LastAlert();
    // Both cards of the used-module mask are disconnected, and no value was verified.
    EXPECT_EQ(Calls("ZQsm160_hscDisconnectAll"), 2u);
    EXPECT_TRUE(results().empty());

    // The operator's stop answer ends with -5.
    bench_->faults().reset();
    bench_->faults().add(
        {"rspsam_ReadMultiPoint", 1, false, static_cast<int32_t>(0xBFFA4444), "meter fault"});
    rvo().scriptAlertAnswers({RVO_ANSWER_STOP});
    EXPECT_EQ(Run(Find("R1")), -5);
    EXPECT_NE(LastAlert().find("PSAM: meter fault"), std::string::npos) << LastAlert();
}

TEST_F(ResistorTest, RepeatAnswerMeasuresAgainWithTheSameBlock) {
    rvo().scriptExitAnswers({RVO_EXIT_AGAIN, 0});
    EXPECT_EQ(Run(Find("R1"), 4000), 0);
    const auto all = results();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_NEAR(all[0].value, all[1].value, 10e3 * 0.002);
    EXPECT_EQ(rvo().step(4000)->entries, 2);
}

TEST_F(ResistorTest, LikeComponentsSendNoConfigurationAfterTheFirst) {
    // One hundred copies of R1 with their own step IDs.
    std::string text = "[1, \"SETUP\", \"SETUP\", \"\", \"\"]\n";
    for (int i = 0; i < 100; ++i) {
        char section[256];
        FormatText(section, sizeof section,
                   "[%d, \"R%d\", \"RESISTOR\", \"\", \"\"]\nTP=\"R1_A\"\nTP=\"R1_B\"\n"
                   "MM=\"V\"\nNV=10000\nV=1\nC=0.001\nCR=0.0002\n",
                   10 + i, i);
        text += section;
    }
    Load("hundred.ict", &text);
    const ComponentModel& m = *loaded_.model;
    for (int32_t i = 0; i < m.componentCount; ++i) {
        if (m.components[i].classCode == kClassResistor) {
            Run(&loaded_.model->components[i]);
            if (i == 1) {
                bench_->journal().clear();
            }
        }
    }
    const auto counts = bench_->journal().counts();
    for (const auto& [function, n] : counts) {
        const bool configuration = function.find("Configure") != std::string::npos ||
                                   function.find("cnx_") != std::string::npos ||
                                   function.find("SetAttribute") != std::string::npos;
        EXPECT_FALSE(configuration) << function << " x" << n;
    }
    EXPECT_EQ(bench_->journal().count("rspsam_ReadMultiPoint"), 99u);
    EXPECT_EQ(results().size(), 100u);
}

TEST_F(ResistorTest, LimitEditThroughTheStepEditorReachesTheRecordAndMarksTheBench) {
    ComponentRecord* r1 = Find("R1");
    Run(r1, 2000);
    ASSERT_EQ(bench1_->ictModified, 0);
    ASSERT_TRUE(rvo().editAttribute(2000, "VALIDATION|ADJUST|LIMITS", "10"));
    ASSERT_TRUE(rvo().editAttribute(2000, "VALIDATION|ADJUST|NOM", "1"));
    EXPECT_EQ(rvo().invokeAttributeCallback(2000, 0x80000001), 0);
    EXPECT_DOUBLE_EQ(r1->sub[0].ul, 11000);
    EXPECT_DOUBLE_EQ(r1->sub[0].ll, 9000);
    EXPECT_EQ(bench1_->ictModified, 1);
    const auto* ul = rvo().attribute(2000, "UL");
    ASSERT_NE(ul, nullptr);
    EXPECT_DOUBLE_EQ(*static_cast<double*>(ul->address), 11000);

    // A setting edit lands in the record too, and an unknown variant is refused.
    ASSERT_TRUE(rvo().editAttribute(2000, "VOLTAGE", "0.5"));
    rvo().invokeAttributeCallback(2000, 0x80000001);
    EXPECT_DOUBLE_EQ(r1->sub[0].v, 0.5);
    // An edit out of bounds is brought back to the nearer bound before it is stored, so neither
    // the next run nor the saved file sees it.
    const struct {
        const char* name;
        const char* edit;
        double stored;
        double SubTest::*field;
    } bounded[] = {{"VOLTAGE", "12", 5.0, &SubTest::v},   {"VOLTAGE", "0.01", 0.2, &SubTest::v},
                   {"I.LIMIT", "1", 0.1, &SubTest::c},    {"DELAY", "-1", 0.0, &SubTest::md},
                   {"INTERVAL", "0", 1e-6, &SubTest::mi}, {"UL", "1e20", 1e16, &SubTest::ul}};
    for (const auto& c : bounded) {
        SCOPED_TRACE(std::string(c.name) + "=" + c.edit);
        ASSERT_TRUE(rvo().editAttribute(2000, c.name, c.edit));
        rvo().invokeAttributeCallback(2000, 0x80000001);
        EXPECT_DOUBLE_EQ(r1->sub[0].*c.field, c.stored);
        EXPECT_DOUBLE_EQ(*static_cast<double*>(rvo().attribute(2000, c.name)->address), c.stored);
    }
    ASSERT_TRUE(rvo().editAttribute(2000, "AVERAGE", "0"));
    rvo().invokeAttributeCallback(2000, 0x80000001);
    EXPECT_EQ(r1->sub[0].ma, 1);
    ASSERT_TRUE(rvo().editAttribute(2000, "VOLTAGE", "12"));
    rvo().invokeAttributeCallback(2000, 0x80000001);
    const size_t alertsBefore = alerts().size();
    // Shown-only values are the run's own: an edit of them changes nothing.
    ASSERT_TRUE(rvo().editAttribute(2000, "CUR0", "5"));
    ASSERT_TRUE(rvo().editAttribute(2000, "RES0", "7"));
    Run(r1, 2000); // measures at the bound: no driver refuses the setting
    EXPECT_EQ(alerts().size(), alertsBefore) << LastAlert();
    for (const char* shown : {"CUR0", "RES0"}) {
        EXPECT_NE(*static_cast<double*>(rvo().attribute(2000, shown)->address), 5.0) << shown;
        EXPECT_NE(*static_cast<double*>(rvo().attribute(2000, shown)->address), 7.0) << shown;
    }
    // 5 V on the fixed range is over range: a value the method did not compute is verified as it
    // is, never corrected.
    EXPECT_EQ(lastResult().comment, "RESISTOR.2V,OR");
    EXPECT_EQ(lastResult().value, -999000000.0);

    ASSERT_TRUE(rvo().editAttribute(2000, "VARIANT", "NOPE"));
    rvo().scriptAlertAnswers({0});
    EXPECT_EQ(rvo().invokeAttributeCallback(2000, 0x80000001), -2);
    EXPECT_NE(LastAlert().find("Invalid VARIANT 'NOPE' defined"), std::string::npos);
    EXPECT_STREQ(r1->variantText, "");
}

} // namespace
} // namespace kora::test
