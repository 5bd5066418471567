// Whole ICT runs of the example board through SETUP_KORA, LOAD_ICTX, EXEC_ICTX and CLEANUP_KORA:
// verdicts per component, abort on fail, and an edited limit that survives the save at clean-up.
#include "ictx/program/component_load.h"

#include "ictx/program/ict_program_support.h"
#include "support/station.h"

#include <cmath>
#include <cstring>
#include <sstream>
#include <string>

namespace kora::test {
namespace {

const fs::path kIctStation = fs::path(KORA_EXAMPLES_DIR) / "ict";

class IctRun : public StationTest {
  protected:
    void TearDown() override {
        StationTest::TearDown();
        if (!dir_.empty()) {
            fs::remove_all(dir_);
        }
    }

    // A copy of the example ICT station whose component file has the edits applied.
    void UseEditedIct(const std::vector<std::pair<std::string, std::string>>& edits,
                      const std::vector<std::string>& dropKeys = {}) {
        dir_ = fs::temp_directory_path() / ("kora_ict_run_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        for (const auto& e : fs::directory_iterator(kIctStation)) {
            fs::copy_file(e.path(), dir_ / e.path().filename());
        }
        std::string text = ReadFile(dir_ / "board.ict");
        for (const auto& [from, to] : edits) {
            const auto at = text.find(from);
            ASSERT_NE(at, std::string::npos) << from;
            text.replace(at, from.size(), to);
        }
        // Lines that begin with one of `dropKeys` go.
        std::istringstream in(text);
        std::string kept, line;
        while (std::getline(in, line)) {
            bool drop = false;
            for (const auto& key : dropKeys) {
                drop = drop || line.rfind(key, 0) == 0;
            }
            if (!drop) {
                kept += line + "\n";
            }
        }
        std::ofstream(dir_ / "board.ict", std::ios::trunc) << kept;
        UseStation(dir_);
        ASSERT_EQ(Setup("ICT", 1), 0) << LastAlert();
        file_ = (dir_ / "board.ict").string();
        ASSERT_EQ(LOAD_ICTX(2, "Load", 0x200, 0, "", file_.c_str(), 1), 0) << LastAlert();
    }

    // Each program step declares its components under step ids of its own (firstId + section).
    static long Exec(long stepRef = 3, const char* mode = "ANALOG", long firstId = 1000) {
        return EXEC_ICTX(stepRef, "Exec", 0x300, 0, "", mode, 1, firstId, "");
    }

    // Values and verdicts of every component result, in the order they came.
    std::vector<std::pair<std::string, rvo::Result>> ComponentRun() const {
        std::vector<std::pair<std::string, rvo::Result>> out;
        for (const auto& r : results()) {
            if (r.stepRef > 1000 && r.resultNo == 0 && r.kind == rvo::ResultKind::Real) {
                out.emplace_back(r.stepName, r);
            }
        }
        return out;
    }

    // Every component of the second half of `run` passes and reads within `tolerance` of the
    // same component in the first half.
    static void
    ExpectSecondHalfRepeatsFirst(const std::vector<std::pair<std::string, rvo::Result>>& run,
                                 double tolerance) {
        ASSERT_EQ(run.size() % 2, 0u);
        const std::size_t half = run.size() / 2;
        ASSERT_GE(half, 7u);
        for (std::size_t i = 0; i < half; ++i) {
            const auto& [name, first] = run[i];
            const auto& second = run[i + half].second;
            EXPECT_EQ(run[i + half].first, name);
            EXPECT_EQ(first.verdict, rvo::Verdict::Pass) << name;
            EXPECT_EQ(second.verdict, rvo::Verdict::Pass) << name << " " << second.value;
            EXPECT_NEAR(second.value, first.value, std::fabs(first.value) * tolerance) << name;
        }
    }

    // The component results of the run, by component name.
    std::map<std::string, rvo::Result> ComponentResults() const {
        std::map<std::string, rvo::Result> out;
        for (const auto& r : results()) {
            if (r.stepRef > 1000 && r.resultNo == 0 && r.kind == rvo::ResultKind::Real) {
                out[r.stepName] = r;
            }
        }
        return out;
    }

    fs::path dir_;
    std::string file_;
};

TEST_F(IctRun, WrongPartFailsOnlyItsComponent) {
    UseEditedIct({{"#DISABLED\n", ""}});
    EXPECT_EQ(Exec(), -1);
    const auto byName = ComponentResults();
    ASSERT_EQ(byName.size(), 8u);
    for (const auto& [name, r] : byName) {
        EXPECT_EQ(r.verdict, name == "R8" ? rvo::Verdict::Fail : rvo::Verdict::Pass) << name;
    }
    EXPECT_NEAR(byName.at("R8").value, 5.6e3, 5.6e3 * 0.003);
    EXPECT_EQ(byName.at("R8").comment, "RESISTOR.2V");
    // The program step reports one failed component.
    const auto own = lastResult();
    EXPECT_EQ(own.stepRef, 3);
    EXPECT_EQ(own.valueInt, 1);
}

TEST_F(IctRun, ComponentsWithoutSourceSettingsPassInEveryWireMode) {
    // Only pins, nominal, tolerance and mode: the compiled defaults must measure every part.
    UseEditedIct({}, {"V=", "C=", "CR=", "VR="});
    EXPECT_EQ(Exec(), 0) << LastAlert();
    const auto byName = ComponentResults();
    ASSERT_EQ(byName.size(), 7u);
    for (const auto& [name, r] : byName) {
        EXPECT_EQ(r.verdict, rvo::Verdict::Pass) << name << " " << r.value << " " << r.comment;
    }
}

TEST_F(IctRun, ConsecutiveProgramStepsMeasureAsTheFirst) {
    // ANALOG, DIGITAL, ANALOG: only the first prepares the hardware and only it releases it, so
    // the later ones find the matrix opened and marked as left by the ICT clean-up.
    UseEditedIct({});
    ASSERT_EQ(Exec(3), 0) << LastAlert();
    EXPECT_EQ(Exec(4, "DIGITAL", 2000), 0) << LastAlert();
    ASSERT_EQ(Exec(5, "ANALOG", 3000), 0) << LastAlert();
    EXPECT_EQ(Calls("ZQsm160_SetAttributeViBoolean"), 4u)
        << "one setup and one clean-up, two cards";
    ExpectSecondHalfRepeatsFirst(ComponentRun(), 0.003);
}

TEST_F(IctRun, RepeatedProgramStepPreparesAndMeasuresAgain) {
    UseEditedIct({});
    rvo().scriptExitAnswersFor(3, {RVO_EXIT_AGAIN, 0});
    ASSERT_EQ(Exec(3), 0) << LastAlert();
    // Each pass sets the hardware up and releases it, as after a step of another kind.
    EXPECT_EQ(Calls("ZQsm160_SetAttributeViBoolean"), 8u);
    EXPECT_NE(BenchByIndex(0)->PrevStepKind, 2);
    ExpectSecondHalfRepeatsFirst(ComponentRun(), 0.003);
}

TEST_F(IctRun, AbortOnFailStopsTheWalk) {
    // R2 expects 4.7 k on its 1 k part and stops the program when it fails.
    UseEditedIct({{"[20, \"R2\", \"RESISTOR\", \"\", \"1k 2-CURRENT\"]\n",
                   "[20, \"R2\", \"RESISTOR\", \"\", \"1k 2-CURRENT\"]\n#ABORTONFAIL\n"},
                  {"NV=1000\n", "NV=4700\n"}});
    EXPECT_EQ(Exec(), -3);
    const auto byName = ComponentResults();
    EXPECT_EQ(byName.size(), 2u);
    EXPECT_EQ(byName.at("R1").verdict, rvo::Verdict::Pass);
    EXPECT_EQ(byName.at("R2").verdict, rvo::Verdict::Fail);
    // The matrix is released after the stop.
    EXPECT_GE(Calls("ZQsm160_hscDisconnectAll"), 2u);
}

TEST_F(IctRun, EditedLimitIsSavedAtCleanupAndLoadsBack) {
    UseEditedIct({});
    ASSERT_EQ(Exec(), 0) << LastAlert();
    // R1 is section 10: step 1010. Limits of 5 % around the nominal.
    ASSERT_TRUE(rvo().editAttribute(1010, "VALIDATION|ADJUST|LIMITS", "5"));
    ASSERT_TRUE(rvo().editAttribute(1010, "VALIDATION|ADJUST|NOM", "1"));
    ASSERT_EQ(rvo().invokeAttributeCallback(1010, 0x80000001), 0);
    ASSERT_EQ(BenchByIndex(1)->ictModified, 1);

    rvo().scriptAlertAnswers({RVO_ANSWER_SAVE});
    EXPECT_EQ(Cleanup(nullptr), 0) << LastAlert();
    const auto all = alerts();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.front().title, "SAVE ICTX PARAMETERS");
    EXPECT_NE(all.front().text.find(file_), std::string::npos) << all.front().text;
    ASSERT_TRUE(fs::exists(file_ + "~"));
    EXPECT_EQ(ReadFile(file_ + "~"), ReadFile(kIctStation / "board.ict"));

    // The saved file loads with the edited limits and still checks on the board's pins.
    Loaded reloaded;
    auto bench =
        MakeBench({"R1_A",  "R1_B",  "R2_A",  "R2_B",  "R3_A",  "R3_B", "R3_SA", "R3_SB", "R4_A",
                   "R4_B",  "R4_SA", "R4_SB", "R5_A",  "R5_B",  "R5_G", "R6_A",  "R6_B",  "R6_G",
                   "R6_GS", "R7_A",  "R7_B",  "R7_SA", "R7_SB", "R7_G", "R7_GS", "R8_A",  "R8_B"});
    char error[kMessageSize] = {};
    ASSERT_GT(LoadComponentProgram(bench.get(), reloaded.model.get(), file_.c_str(), nullptr,
                                   reloaded.strings.data(), reloaded.strings.size(), error),
              0)
        << error;
    const ComponentModel& m = *reloaded.model;
    const ComponentRecord* r1 = nullptr;
    for (int32_t i = 0; i < m.componentCount; ++i) {
        if (std::strcmp(m.components[i].name, "R1") == 0) {
            r1 = &m.components[i];
        }
    }
    ASSERT_NE(r1, nullptr);
    EXPECT_DOUBLE_EQ(r1->sub[0].ul, 10500);
    EXPECT_DOUBLE_EQ(r1->sub[0].ll, 9500);
}

} // namespace
} // namespace kora::test
