#include "frame/step_frame.h"
#include "frame/text.h"
#include "support/executive.h"

#include <cstring>
#include <string>

namespace kora {
namespace {

// A step method built on the standard pass that shows what each pass did.
struct ProbeRecord {
    StepHead head;
    int32_t runs;
    char stored[32];
};

struct Probe {
    int compiles = 0;
    int runs = 0;
};

EN_NEV_RESULT ProbeStep(long ref, const char* arg, Probe& probe, int32_t kind = kKindNone,
                        bool needsBench = false) {
    const StepCall call{ref, "Probe", 0x2A00, 0, "c", "PROBE_KORA"};
    return RunStandardPass<ProbeRecord>(
        call, kind, needsBench,
        [&](auto& pass) {
            probe.compiles++;
            CopyText(pass.record->stored, arg);
            if (std::strcmp(arg, "BAD") == 0) {
                pass.error.Set(ParamError(6), arg);
            }
        },
        [&](auto& pass) -> EN_NEV_RESULT {
            probe.runs++;
            pass.record->runs++;
            rvo_VerifyS(0, "Probe", 0x2A00, 0, pass.record->stored, nullptr, nullptr, 0, 0.0,
                        nullptr, nullptr);
            return pass.record->runs;
        });
}

class StepFrameTest : public test::ExecutiveTest {};

TEST_F(StepFrameTest, PhasesDecideCompileAndRun) {
    struct Case {
        long phase;
        const char* arg;
        int compiles, runs;
        EN_NEV_RESULT result;
        const char* recorded; // value of the verification, or null for none
    } cases[] = {
        {98, "FIRST", 1, 0, 0, nullptr}, // compile only: no verification
        {1, "SECOND", 0, 1, 1, "FIRST"}, // run from the stored record, no re-check
        {2, "THIRD", 1, 1, 2, "THIRD"},  // compile, then run
        {2, "BAD", 1, 0, -2, nullptr},   // a failed compile skips the run
        {1, "FOURTH", 0, 1, 3, "BAD"},   // run from whatever the compile stored
        {3, "X", 0, 0, 0, nullptr},      // other phases neither compile nor run
        {-4, "X", 0, 0, 0, nullptr},
    };
    for (const auto& c : cases) {
        Probe probe;
        const auto before = results().size();
        rvo().scriptPhases({c.phase});
        EXPECT_EQ(ProbeStep(7, c.arg, probe), c.result) << c.phase << " " << c.arg;
        EXPECT_EQ(probe.compiles, c.compiles) << c.phase << " " << c.arg;
        EXPECT_EQ(probe.runs, c.runs) << c.phase << " " << c.arg;
        auto r = results();
        if (c.recorded) {
            ASSERT_EQ(r.size(), before + 1);
            EXPECT_EQ(r.back().text, c.recorded);
        } else {
            EXPECT_EQ(r.size(), before);
        }
    }
    ASSERT_EQ(alerts().size(), 1u);
    EXPECT_NE(alerts()[0].text.find("PROGRAM LINE# 42\n\nPROBE_KORA\nInvalid function parameter "
                                    "#6\n\nBAD"),
              std::string::npos);
}

TEST_F(StepFrameTest, DefaultPhasesAreTwoThenOne) {
    Probe probe;
    EXPECT_EQ(ProbeStep(1, "A", probe), 1);
    EXPECT_EQ(ProbeStep(1, "B", probe), 2);
    EXPECT_EQ(probe.compiles, 1);
    EXPECT_EQ(rvo().step(1)->entries, 2);
    EXPECT_EQ(rvo().step(1)->lastPhase, 1);
}

TEST_F(StepFrameTest, RepeatLoopRunsUntilTheExecutiveStopsAnswering12) {
    Probe probe;
    rvo().scriptExitAnswers({12, 12, 12, 0});
    EXPECT_EQ(ProbeStep(3, "A", probe), 4); // the fourth pass's result
    EXPECT_EQ(probe.runs, 4);
    EXPECT_EQ(probe.compiles, 1); // only the first entry compiles
    EXPECT_EQ(results().size(), 4u);
}

TEST_F(StepFrameTest, MissingBenchIsReportedWithoutEnteringTheStep) {
    Probe probe;
    rvo().scriptExitAnswers({12, 0});
    EXPECT_EQ(ProbeStep(5, "A", probe, kKindInstrument, true), -2);
    EXPECT_EQ(probe.compiles + probe.runs, 0);
    EXPECT_EQ(rvo().step(5), nullptr); // the executive never saw an entry
    auto a = alerts();
    ASSERT_EQ(a.size(), 2u); // each pass of the repeat reports again
    EXPECT_EQ(a[0].text, "ERROR# -2130706414 (0x81000012)        PROGRAM LINE# 42\n\n"
                         "PROBE_KORA\nKORA resource error\n\npBENCH==NULL");
    // Steps that take no bench work on the same thread.
    EXPECT_EQ(ProbeStep(6, "A", probe), 1);
}

TEST_F(StepFrameTest, StepKindsAreNotedOnRunPhasesOnly) {
    ASSERT_NE(AllocBenchContext(2), nullptr);
    BenchRecord* active = BenchByIndex(0);
    struct Case {
        long ref;
        long phase;
        int32_t kind;
        int32_t last, prev;
    } cases[] = {
        {1, 2, kKindInstrument, 1, 0},  {2, 1, kKindIctProgram, 2, 1},
        {3, 2, kKindNone, 2, 1},        // kind -1 leaves no mark
        {4, 98, kKindInstrument, 2, 1}, // compile-only leaves no mark
        {5, 1, kKindInstrument, 1, 2},
    };
    for (const auto& c : cases) {
        Probe probe;
        rvo().scriptPhases({c.phase});
        ProbeStep(c.ref, "A", probe, c.kind, true);
        EXPECT_EQ(active->LastStepKind, c.last) << c.ref;
        EXPECT_EQ(active->PrevStepKind, c.prev) << c.ref;
    }
}

} // namespace
} // namespace kora
