// LOAD_ICTX and EXEC_ICTX on the example station: what the operator sees (results, alerts,
// attributes, the component steps), what the component methods are called with, and the save of
// a program back into its file. Component methods are replaced by a recording fake where a test
// needs one, so that the walk itself is what is checked.
#include "bench/bench_setup.h"
#include "frame/bench_context.h"
#include "ictx/program/component_model.h"
#include "ictx/program/component_writer.h"
#include "ictx/program/exec_step.h"
#include "ictx/program/ictx_save.h"
#include "support/station.h"

#include <kora/step_methods.h>
#include <vbench/bench/virtual_bench.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

namespace kora {
namespace {

namespace fs = std::filesystem;

// ---- a recording component method ----------------------------------------------------------

struct MethodCall {
    long stepId;
    std::string name;
    long option;
    long inVariant;
    uint32_t mode;
    int32_t benchIndex;
};

std::vector<MethodCall> g_calls;
std::map<std::string, EN_NEV_RESULT> g_results; // by component name; 0 when absent
std::map<std::string, uint32_t> g_codes;        // error code set with the result

constexpr const char* kFakeError = "fake method failed";

EN_NEV_RESULT FakeMethod(ComponentCall& call) {
    g_calls.push_back({call.stepId, call.name ? call.name : "", call.option, call.inVariant,
                       call.mode, call.benchIndex});
    const std::string name = call.name ? call.name : "";
    if (g_codes.count(name)) {
        *call.errorCode = g_codes[name];
        std::snprintf(call.errorText, kMessageSize, "%s", kFakeError);
    }
    if (call.mode == kMethodSave && !g_codes.count(name)) {
        WriteComponentSection(call.file, call.record, call.availableVariants);
        return 0;
    }
    return g_results.count(name) ? g_results[name] : 0;
}

ComponentMethod ResistorsOnly(uint32_t classCode) {
    return classCode == kClassResistor ? FakeMethod : nullptr;
}
ComponentMethod NoMethods(uint32_t) {
    return nullptr;
}

// ---- the fixture ----------------------------------------------------------------------------

class IctxSteps : public test::StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        g_calls.clear();
        g_results.clear();
        g_codes.clear();
        SetComponentMethodLookup(ResistorsOnly);
    }
    void TearDown() override {
        SetComponentMethodLookup(nullptr);
        SetIctParameterSaver(nullptr);
        for (const auto& f : files_) {
            fs::remove(f);
            fs::remove(f + "~");
        }
        StationTest::TearDown();
    }

    std::string Program(const std::string& text) {
        const fs::path p =
            fs::temp_directory_path() / ("kora_ictx_" + std::to_string(::getpid()) + "_" +
                                         std::to_string(files_.size()) + ".ict");
        std::ofstream(p, std::ios::trunc) << text;
        files_.push_back(p.string());
        return p.string();
    }

    static long Load(const std::string& file, long bench, long stepRef = 10) {
        return LOAD_ICTX(stepRef, "Load", 0x500, 0, "", file.c_str(), bench);
    }
    static long Exec(const char* mode, long bench, long firstStep, const char* variant,
                     long stepRef = 20, const char* comment = "") {
        return EXEC_ICTX(stepRef, "Exec", 0x600, 0, comment, mode, bench, firstStep, variant);
    }
    static long SaveRequest(long bench) {
        return EXEC_ICTX(static_cast<long>(kSaveRequest), nullptr, 0, 0, nullptr, nullptr, bench, 0,
                         nullptr);
    }

    std::vector<rvo::Result> ResultsOf(long stepRef) const {
        std::vector<rvo::Result> out;
        for (const auto& r : results()) {
            if (r.stepRef == stepRef) {
                out.push_back(r);
            }
        }
        return out;
    }
    std::vector<MethodCall> CallsIn(uint32_t mode) const {
        std::vector<MethodCall> out;
        for (const auto& c : g_calls) {
            if (c.mode == mode) {
                out.push_back(c);
            }
        }
        return out;
    }
    bool Logged(const std::string& text) const {
        for (const auto& line : Log()) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    std::vector<std::string> files_;
};

std::string Resistor(int index, const char* name, const char* nv, const char* variants = "") {
    return "[" + std::to_string(index) + ", \"" + name + "\", \"RESISTOR\", \"" + variants +
           "\", \"\"]\nTP=\"R5_A\"\nTP=\"R5_B\"\nNV=" + nv + "\n";
}

// A SETUP with variants, resistors in and out of them, parts without a test and one capacitor.
const std::string kBoard = "[1, \"S1\", \"SETUP\", \"V1,V2\", \"\"]\n" +
                           Resistor(10, "R1", "1000") + Resistor(11, "R2", "2200", "V1") +
                           Resistor(12, "R3", "4700", "V2") +
                           "[20, \"X1\", \"CONNECTOR\", \"\", \"header\"]\nPI=\"CON-10\"\n"
                           "PT=\"PIN HEADER\"\nTP=\"VCC\"\nTP=\"NOPE\"\nGP=\"GND\"\n"
                           "[21, \"X2\", \"NOTEST\", \"V2\", \"\"]\nPI=\"JMP\"\n"
                           "[30, \"C1\", \"CAPACITOR\", \"\", \"\"]\nTP=\"VCC\"\nTP=\"GND\"\n"
                           "NV=1e-7\n";

// ---- LOAD_ICTX -------------------------------------------------------------------------------

TEST_F(IctxSteps, LoadReportsEachClassAndTheTotal) {
    ASSERT_EQ(Setup(), 0) << LastAlert();
    const std::string file = Program(kBoard);
    ASSERT_EQ(Load(file, 1), 0) << LastAlert();
    const std::map<long, std::pair<std::string, long>> expected = {
        {1001, {"SETUP", 1}},   {1005, {"RESISTOR", 3}}, {1006, {"CAPACITOR", 1}},
        {1099, {"NO TEST", 2}}, {0, {"Load", 7}},
    };
    std::map<long, std::pair<std::string, long>> reported;
    for (const auto& r : ResultsOf(10)) {
        EXPECT_EQ(r.unit, 2) << r.name;
        EXPECT_TRUE(reported.emplace(r.resultNo, std::make_pair(r.name, r.valueInt)).second)
            << "reported twice: " << r.resultNo;
    }
    EXPECT_EQ(reported, expected);
    EXPECT_EQ(lastResult().channel, "LINE: " + file);
    // A program without #SORT is not sorted; TQsort is offered after the load all the same.
    const auto* tq = rvo().attribute(10, "TQsort");
    ASSERT_NE(tq, nullptr);
    EXPECT_EQ(tq->group, "-DETAILS");
    EXPECT_EQ(tq->unitOrOption, 1296);
    const ComponentModel* model = BenchByIndex(1)->ictProgram;
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(BenchByIndex(0)->ictProgram, model); // bench 1 is the selected bench
    EXPECT_STREQ(model->components[0].name, "S1");
    EXPECT_STREQ(model->components[1].name, "R1"); // file order
}

TEST_F(IctxSteps, BenchIndexZeroLoadsEveryBenchFromOneParse) {
    ASSERT_EQ(Setup(), 0) << LastAlert();
    const std::string file = Program(kBoard);
    ASSERT_EQ(Load(file, 0), 0) << LastAlert();
    EXPECT_EQ(lastResult().channel, "LINE[1...2]: " + file);
    const ComponentModel* one = BenchByIndex(1)->ictProgram;
    const ComponentModel* two = BenchByIndex(2)->ictProgram;
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);
    ASSERT_NE(one, two); // each bench owns its program
    ASSERT_EQ(one->componentCount, 7);
    ASSERT_EQ(two->componentCount, one->componentCount);
    EXPECT_EQ(std::memcmp(one->components, two->components,
                          sizeof(ComponentRecord) * static_cast<size_t>(one->componentCount)),
              0);
    EXPECT_STREQ(two->fileName, one->fileName);
    EXPECT_STREQ(two->variants, "-,V1,V2");

    // A later load of bench 2 alone keeps bench 2's model and leaves the selected bench 1 alone;
    // selecting bench 2 makes the active bench run bench 2's program.
    ASSERT_EQ(Load(Program(Resistor(5, "RX", "10")), 2, 11), 0) << LastAlert();
    EXPECT_EQ(BenchByIndex(2)->ictProgram, two);
    EXPECT_EQ(two->componentCount, 1);
    EXPECT_EQ(BenchByIndex(0)->ictProgram, one);
    ASSERT_EQ(Conf("BENCH", 2), 0) << LastAlert();
    EXPECT_EQ(BenchByIndex(0)->ictProgram, two);
}

TEST_F(IctxSteps, LoadFailuresAreReportedWithTheirTexts) {
    struct Case {
        const char* what;
        std::string text;
        long bench;
        std::vector<std::string> report;
    };
    const std::vector<Case> cases = {
        {"bench past the last", kBoard, 3, {"BENCH selector out of range", "(0x81000007)"}},
        {"negative bench", kBoard, -1, {"BENCH selector out of range"}},
        {"variant not in SETUP",
         "[1, \"S1\", \"SETUP\", \"V1,V2\", \"\"]\n" + Resistor(4, "R9", "10", "V3"),
         1,
         {"(0x81000012)", "LINE 2\n\nR9: Invalid VARIANT 'V3' defined\n\nAvailable: -,V1,V2"}},
        {"variant without SETUP",
         Resistor(4, "R9", "10", "V1"),
         1,
         {"R9: Invalid VARIANT 'V1' defined\n\nAvailable: -\n"}},
        {"compile errors collected",
         "[1, \"S1\", \"SETUP\", \"\", \"\"]\n[7, \"RA\", \"RESISTOR\"]\nTP=\"R5_A\"\n" +
             Resistor(8, "RB", "10") + "[9, \"RC\", \"RESISTOR\"]\nTP=\"R5_A\"\n",
         1,
         {"(0x81000012)",
          "NOMINAL VALUE not defined RA (ID=7)\nNOMINAL VALUE not defined RC (ID=9)"}},
        {"parse error",
         "[1, \"R1\", \"RESISTOR\"]\nNV\n",
         1,
         {"Invalid PARAMETER VALUE definition"}},
    };
    ASSERT_EQ(Setup(), 0) << LastAlert();
    long ref = 100;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ++ref;
        EXPECT_EQ(Load(Program(c.text), c.bench, ref), -2);
        for (const auto& part : c.report) {
            EXPECT_NE(LastAlert().find(part), std::string::npos) << LastAlert();
        }
        EXPECT_NE(LastAlert().find("LOAD_ICTX"), std::string::npos);
        EXPECT_TRUE(ResultsOf(ref).empty()); // no counts after a failed load
        EXPECT_EQ(rvo().attribute(ref, "TQsort"), nullptr);
    }
}

TEST_F(IctxSteps, CompileErrorsStillLeaveTheProgramOnEveryBench) {
    ASSERT_EQ(Setup(), 0) << LastAlert();
    const std::string file =
        Program(Resistor(3, "RA", "47") + "[4, \"RB\", \"RESISTOR\"]\nTP=\"R5_A\"\n");
    EXPECT_EQ(Load(file, 0), -2);
    for (int32_t b : {1, 2}) {
        const ComponentModel* m = BenchByIndex(b)->ictProgram;
        ASSERT_NE(m, nullptr) << b;
        ASSERT_EQ(m->componentCount, 2) << b;
        EXPECT_EQ(m->components[0].classCode, kClassResistor);
        EXPECT_EQ(m->components[1].classCode, kClassFailed); // kept with class 0
    }
}

TEST_F(IctxSteps, SortedProgramGivesItsSortTime) {
    ASSERT_EQ(Setup(), 0) << LastAlert();
    ASSERT_EQ(Load(Program("[1, \"S1\", \"SETUP\"]\n#SORT\n" + Resistor(2, "RB", "4700") +
                           Resistor(3, "RA", "100")),
                   1),
              0)
        << LastAlert();
    const ComponentModel* m = BenchByIndex(1)->ictProgram;
    EXPECT_STREQ(m->components[0].name, "S1");
    EXPECT_STREQ(m->components[1].name, "RA");
    EXPECT_STREQ(m->components[2].name, "RB");
    const auto* tq = rvo().attribute(10, "TQsort");
    ASSERT_NE(tq, nullptr);
    EXPECT_GE(*static_cast<double*>(tq->address), 0.0);
}

// ---- EXEC_ICTX -------------------------------------------------------------------------------

TEST_F(IctxSteps, ModeDecidesClassesAndCompensationAttributes) {
    struct Case {
        const char* mode;
        const char* type;
        bool analog;
    };
    const Case cases[] = {
        {"ANALOG:", "ANALOG", true},
        {"DIGITAL:", "DIGITAL", false},
        {"ICTX|DIGITAL:ALL", "DIGITAL", false},
        {"", "ANALOG", true},
        {"DIGITAL", "DIGITAL", false}, // a mode written alone counts as the channel part
    };
    ASSERT_EQ(Setup(), 0) << LastAlert();
    ASSERT_EQ(Load(Program(kBoard), 1), 0) << LastAlert();
    long ref = 200;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        g_calls.clear();
        ++ref;
        const long firstStep = ref * 1000;
        EXPECT_EQ(Exec(c.mode, 0, firstStep, "", ref), 0) << LastAlert();
        const auto* type = rvo().attribute(ref, "TYPE");
        ASSERT_NE(type, nullptr);
        EXPECT_EQ(type->text, c.type);
        EXPECT_EQ(rvo().attribute(ref, "NAME")->text, std::string(c.type) + " | BENCH=LINE");
        struct Compensation {
            const char* name;
            long unit;
            int index;
        };
        for (const Compensation& k :
             {Compensation{"SYSR0", 13, kSysR0}, Compensation{"SYSC0", 2062, kSysC0},
              Compensation{"SYSL0", 1551, kSysL0}}) {
            const auto* a = rvo().attribute(ref, k.name);
            EXPECT_EQ(a != nullptr, c.analog) << k.name;
            if (a) {
                EXPECT_EQ(a->group, "COMPENSATION");
                EXPECT_EQ(a->unitOrOption, k.unit);
                EXPECT_EQ(a->address, &BenchByIndex(1)->compensation[k.index]);
            }
        }
        // The resistors are declared and measured in ANALOG mode only; the parts without a
        // method become generic steps in ANALOG mode only.
        EXPECT_EQ(g_calls.size(), c.analog ? 6u : 0u);
        EXPECT_EQ(rvo().step(firstStep + 20) != nullptr, c.analog);
        EXPECT_EQ(rvo().step(firstStep + 30) != nullptr, c.analog); // capacitor: no method yet
    }
}

TEST_F(IctxSteps, ComponentsWithoutMethodAreGenericStepsNeverMeasured) {
    ASSERT_EQ(Setup(), 0) << LastAlert();
    ASSERT_EQ(Load(Program(kBoard), 1), 0) << LastAlert();
    EXPECT_EQ(Exec("ANALOG:", 1, 5000, ""), 0) << LastAlert();
    const rvo::Step* x1 = rvo().step(5020);
    ASSERT_NE(x1, nullptr);
    EXPECT_EQ(x1->methodName, "NO TEST");
    EXPECT_EQ(x1->stepName, "X1");
    EXPECT_EQ(x1->lineCode, 20 << 8 | 8);
    EXPECT_EQ(x1->stepArg & 5, 5); // declared, not tested
    struct Expected {
        const char* name;
        const char* group;
        const char* text;
        const char* category;
    };
    const Expected attrs[] = {
        {"NAME", "CONNECTOR", "X1", "header"},  {"TYPE", "CONNECTOR", "PIN HEADER", ""},
        {"PART.ID", "CONNECTOR", "CON-10", ""}, {"INFO", "CONNECTOR", "", ""},
        {"VARIANT", "CONNECTOR", "", ""},       {"TP1", "TEST PINS", "VCC", "Test"},
        {"GP1", "TEST PINS", "GND", "Guard"},
    };
    const auto defined = rvo().attributes(5020);
    ASSERT_EQ(defined.size(), std::size(attrs));
    for (size_t i = 0; i < defined.size(); ++i) {
        SCOPED_TRACE(attrs[i].name);
        EXPECT_EQ(defined[i].name, attrs[i].name);
        EXPECT_EQ(defined[i].group, attrs[i].group);
        EXPECT_EQ(defined[i].text, attrs[i].text);
        EXPECT_EQ(defined[i].category, attrs[i].category);
    }
    EXPECT_EQ(defined[5].list, BenchByIndex(1)->channelList);
    EXPECT_TRUE(Logged("'NOPE' not in channel table found"));
    const auto x1Results = ResultsOf(5020);
    ASSERT_EQ(x1Results.size(), 1u);
    EXPECT_EQ(x1Results[0].kind, rvo::ResultKind::Text);
    EXPECT_EQ(x1Results[0].text, "CON-10");
    ASSERT_NE(rvo().step(5021), nullptr);
    EXPECT_EQ(rvo().attribute(5021, "VARIANT")->text, "V2");

    // Later runs measure the resistors again; the generic steps are never entered again.
    g_calls.clear();
    EXPECT_EQ(Exec("ANALOG:", 1, 5000, ""), 0) << LastAlert();
    EXPECT_EQ(rvo().step(5020)->entries, 1);
    EXPECT_EQ(rvo().step(5021)->entries, 1);
    ASSERT_EQ(g_calls.size(), 3u);
    for (const auto& c : g_calls) {
        EXPECT_EQ(c.name[0], 'R');
    }
}

TEST_F(IctxSteps, DefineAndExecuteWalksCallTheMethodsInModelOrder) {
    ASSERT_EQ(Setup(), 0) << LastAlert();
    ASSERT_EQ(Load(Program(kBoard), 1), 0) << LastAlert();
    rvo().scriptPhases({RVO_PHASE_COMPILE});
    EXPECT_EQ(Exec("ANALOG:", 0, 100, "V2"), 0) << LastAlert();
    const auto* tCompile = rvo().attribute(20, "TCompile");
    ASSERT_NE(tCompile, nullptr);
    EXPECT_EQ(tCompile->group, "-DETAILS");
    EXPECT_EQ(tCompile->unitOrOption, 1296);
    EXPECT_EQ(rvo().attribute(20, "RESULTS")->category, "BOOL");
    EXPECT_EQ(rvo().attribute(20, "BENCH")->category, "Index");
    EXPECT_EQ(rvo().attribute(20, "STEP ID")->category, "First component");
    EXPECT_EQ(rvo().attribute(20, "NAME")->text, "ANALOG | BENCH=LINE | VAR");
    EXPECT_TRUE(ResultsOf(20).empty()); // compile only: nothing measured, nothing reported
    ASSERT_EQ(g_calls.size(), 3u);
    for (const auto& c : g_calls) {
        EXPECT_EQ(c.inVariant, 1) << c.name; // declared whatever the variant
        EXPECT_EQ(c.benchIndex, 1);
    }

    g_calls.clear();
    rvo().scriptPhases({RVO_PHASE_RUN});
    EXPECT_EQ(Exec("ANALOG:", 0, 100, "V2"), 0) << LastAlert();
    struct Expected {
        long stepId;
        const char* name;
        long inVariant;
    };
    const Expected expected[] = {{110, "R1", 1}, {111, "R2", 0}, {112, "R3", 1}};
    ASSERT_EQ(g_calls.size(), std::size(expected));
    for (size_t i = 0; i < g_calls.size(); ++i) {
        EXPECT_EQ(g_calls[i].stepId, expected[i].stepId);
        EXPECT_EQ(g_calls[i].name, expected[i].name);
        EXPECT_EQ(g_calls[i].inVariant, expected[i].inVariant) << expected[i].name;
    }
    const rvo::Result total = lastResult();
    EXPECT_EQ(total.resultNo, 0);
    EXPECT_EQ(total.name, "Exec");
    EXPECT_EQ(total.unit, 4);
    EXPECT_EQ(total.valueInt, 0);
    EXPECT_EQ(total.channel, "ANALOG | BENCH=LINE | VAR=V2");
    EXPECT_EQ(total.comment, "RESET: ROUTE,ICTX");
}

TEST_F(IctxSteps, MethodResultsDecideTheWalkAndTheStepResult) {
    struct Case {
        const char* what;
        std::map<std::string, EN_NEV_RESULT> results;
        std::map<std::string, uint32_t> codes;
        long stepResult;
        size_t measured;
        long failures;
    };
    const std::vector<Case> cases = {
        {"all pass", {}, {}, 0, 3, 0},
        {"two fail", {{"R1", -1}, {"R3", -1}}, {}, -1, 3, 2},
        {"stop the program", {{"R1", -3}}, {}, -3, 1, 0},
        {"stop with -5", {{"R2", -5}}, {}, -5, 2, 0},
        {"error with a code stops", {{"R1", -2}}, {{"R1", 0x81000012u}}, -2, 1, 0},
        {"error already handled goes on", {{"R1", -2}}, {}, -2, 3, 0},
        {"a later failure decides", {{"R1", -2}, {"R2", -1}}, {}, -1, 3, 1},
    };
    ASSERT_EQ(Setup(), 0) << LastAlert();
    ASSERT_EQ(Load(Program(kBoard), 1), 0) << LastAlert();
    long ref = 300;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ++ref;
        rvo().scriptPhases({RVO_PHASE_COMPILE}); // declare with every method passing
        g_results.clear();
        g_codes.clear();
        Exec("ANALOG:", 1, ref * 100, "", ref, "run");
        g_calls.clear();
        g_results = c.results;
        g_codes = c.codes;
        rvo().scriptPhases({RVO_PHASE_RUN});
        EXPECT_EQ(Exec("ANALOG:", 1, ref * 100, "", ref, "run"), c.stepResult);
        EXPECT_EQ(g_calls.size(), c.measured);
        EXPECT_EQ(rvo().step(ref)->stepResult, c.stepResult);
        const rvo::Result total = lastResult();
        EXPECT_EQ(total.stepRef, ref);
        EXPECT_EQ(total.valueInt, c.failures);
        EXPECT_EQ(total.comment, "run");
    }
}

TEST_F(IctxSteps, RefusalsComeBeforeAnyHardwareIsTouched) {
    ASSERT_EQ(Setup(), 0) << LastAlert();
    ASSERT_EQ(Load(Program(kBoard), 0), 0) << LastAlert(); // every bench; LINE2 has no ICT modules
    const struct {
        long bench;
        const char* variant;
        const char* text;
    } cases[] = {
        {1, "V9", "LINE 1\n\nS1: Invalid VARIANT 'V9' selected\n\nAvailable: V1,V2"},
        {2, "", "ICTDevice PSAM not defined"},
        {3, "", "BENCH selector out of range"},
    };
    long ref = 20;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        bench_->journal().clear();
        g_calls.clear();
        EXPECT_EQ(Exec("ANALOG:", c.bench, 100, c.variant, ++ref), -2);
        EXPECT_NE(LastAlert().find(c.text), std::string::npos) << LastAlert();
        EXPECT_NE(LastAlert().find("EXEC_ICTX"), std::string::npos);
        EXPECT_EQ(bench_->journal().total(), 0u);
        EXPECT_LE(g_calls.size(), 3u); // at most declared, never measured
    }
    EXPECT_TRUE(ResultsOf(21).empty());

    // Without a SETUP section there is no variant to select at all.
    ASSERT_EQ(Load(Program(Resistor(2, "R1", "10")), 1, 11), 0) << LastAlert();
    EXPECT_EQ(Exec("ANALOG:", 1, 100, "V1", 31), -2);
    EXPECT_NE(LastAlert().find("Invalid VARIANT 'V1' selected\n\nAvailable: \n"), std::string::npos)
        << LastAlert();
}

TEST_F(IctxSteps, FailedHardwareSetupSkipsTheWalk) {
    ASSERT_EQ(Setup(), 0) << LastAlert();
    ASSERT_EQ(Load(Program(kBoard), 1), 0) << LastAlert();
    rvo().scriptPhases({RVO_PHASE_COMPILE});
    Exec("ANALOG:", 1, 100, "");
    g_calls.clear();
    vbench::FaultRule rule;
    rule.function = "ZQsm160_hscDisconnectAll";
    rule.occurrence = bench_->faults().calls(rule.function) + 1;
    rule.persistent = true;
    rule.code = -1074003951;
    rule.message = "matrix gone";
    bench_->faults().add(rule);
    bench_->journal().clear();
    rvo().scriptPhases({RVO_PHASE_RUN});
    EXPECT_EQ(Exec("ANALOG:", 1, 100, ""), -1);
    EXPECT_TRUE(g_calls.empty());
    const rvo::Result total = lastResult();
    EXPECT_EQ(total.valueInt, 0);
    EXPECT_NE(total.comment.find("matrix gone"), std::string::npos) << total.comment;
    // The set-up's one attempt; a clean-up would have disconnected the matrix again.
    EXPECT_EQ(bench_->journal().count("ZQsm160_hscDisconnectAll"), 1u);
}

TEST_F(IctxSteps, AnIctStepAfterAnotherLeavesTheHardwareAsItIs) {
    ASSERT_EQ(Setup(), 0) << LastAlert();
    ASSERT_EQ(Load(Program(kBoard), 1), 0) << LastAlert();
    EXPECT_EQ(Exec("ANALOG:", 1, 100, "", 20), 0);
    EXPECT_EQ(lastResult().comment, "RESET: ROUTE,ICTX");
    // The step after an ICT step neither sets the hardware up nor releases it: no driver call at
    // all reaches the modules or the matrix (the component methods here are recording stubs).
    bench_->journal().clear();
    EXPECT_EQ(Exec("DIGITAL:", 1, 100, "", 21), 0);
    EXPECT_EQ(lastResult().comment, ""); // no reset, so the empty comment stays
    EXPECT_EQ(bench_->journal().total(), 0u);
    BenchByIndex(0)->LastStepKind = 1; // an instrument step used the matrix in between
    EXPECT_EQ(Exec("DIGITAL:", 1, 100, "", 22), 0);
    EXPECT_EQ(lastResult().comment, "RESET: ICTX");
    EXPECT_GE(bench_->journal().count("ZQsm160_hscDisconnectAll"), 2u); // set up and released
}

TEST_F(IctxSteps, TheBoardsResistorIsMeasuredByItsTestMethod) {
    SetComponentMethodLookup(nullptr); // the library's own methods
    ASSERT_EQ(Setup(), 0) << LastAlert();
    ASSERT_EQ(Load(Program("[1, \"S1\", \"SETUP\", \"\", \"\"]\n" + Resistor(5, "R5", "2200") +
                           "[6, \"J1\", \"JUMPER\", \"\", \"\"]\nPI=\"J\"\n"),
                   1),
              0)
        << LastAlert();
    EXPECT_EQ(Exec("ANALOG:", 1, 7000, ""), 0) << LastAlert();
    const auto measured = ResultsOf(7005);
    ASSERT_FALSE(measured.empty());
    EXPECT_EQ(measured.back().kind, rvo::ResultKind::Real);
    EXPECT_NEAR(measured.back().value, 2200.0, 2200.0 * 0.01);
    EXPECT_EQ(measured.back().verdict, rvo::Verdict::Pass);
    EXPECT_EQ(ResultsOf(7006).size(), 1u); // the jumper's PI text, declared once, never measured
    EXPECT_EQ(lastResult().valueInt, 0);   // no failed component
    EXPECT_GT(bench_->journal().count("ZQsm160_hscDisconnectAll"), 0u);
}

// ---- the save ----------------------------------------------------------------------------------

TEST_F(IctxSteps, SaveRequestWritesTheFileWithBackupAndProgress) {
    SetComponentMethodLookup(NoMethods);
    ASSERT_EQ(Setup(), 0) << LastAlert();
    const std::string file = Program(kBoard);
    ASSERT_EQ(Load(file, 1), 0) << LastAlert();
    EXPECT_EQ(SaveRequest(0), 1);
    EXPECT_TRUE(alerts().empty()) << LastAlert();
    EXPECT_EQ(test::ReadFile(file + "~"), kBoard);
    const std::string saved = test::ReadFile(file);
    EXPECT_EQ(saved.rfind("# DATE ", 0), 0u) << saved;
    EXPECT_NE(saved.find("\n# TIME "), std::string::npos);
    EXPECT_NE(saved.find("[20, \"X1\", \"CONNECTOR\", \"\", \"header\"]"), std::string::npos);
    EXPECT_NE(saved.find("[1, \"S1\", \"SETUP\", \"V1,V2\", \"\"]"), std::string::npos);
    EXPECT_NE(saved.find("[21, \"X2\", \"NOTEST\", \"V2\", \"\"]"), std::string::npos);
    EXPECT_TRUE(Logged("Saving ICTX Parameters\n" + file));
    EXPECT_FALSE(rvo().progressOpen());
    EXPECT_EQ(rvo().progressPosition(), 6);

    // The saved file loads back as the same program.
    const long before = static_cast<long>(results().size());
    ASSERT_EQ(Load(file, 1, 11), 0) << LastAlert();
    const auto again = results();
    EXPECT_EQ(again.back().valueInt, 7);
    EXPECT_EQ(static_cast<long>(again.size()) - before, 5);
}

TEST_F(IctxSteps, CleanupQuestionAndCallbackReachTheSave) {
    SetComponentMethodLookup(NoMethods);
    ASSERT_EQ(Setup(), 0) << LastAlert();
    const std::string file = Program(kBoard);
    ASSERT_EQ(Load(file, 1), 0) << LastAlert();
    BenchRecord* line = BenchByIndex(1);

    line->ictModified = 1;
    rvo().setStation(3, 1);
    EXPECT_EQ(rvo().invokeCallback(RVO_CALLBACK_SAVE, 0x80000000L), 0);
    EXPECT_EQ(line->ictModified, 0);
    EXPECT_EQ(test::ReadFile(file + "~"), kBoard);
    EXPECT_EQ(test::ReadFile(file).rfind("# DATE ", 0), 0u);

    fs::remove(file + "~");
    line->ictModified = 1;
    rvo().scriptAlertAnswers({RVO_ANSWER_SAVE});
    EXPECT_EQ(Cleanup("HOLM|ICTX"), 0) << LastAlert();
    EXPECT_EQ(alerts().back().title, "SAVE ICTX PARAMETERS");
    EXPECT_EQ(line->ictModified, 0);
    EXPECT_TRUE(fs::exists(file + "~"));
}

TEST_F(IctxSteps, SaveFailuresAreReportedUnderTheSaveName) {
    ASSERT_EQ(Setup(), 0) << LastAlert();
    const std::string file = Program(kBoard);
    ASSERT_EQ(Load(file, 1), 0) << LastAlert();

    // A method that fails in save mode stops the save: the file holds what came before it.
    g_codes["R2"] = 0x81000011u;
    EXPECT_EQ(SaveRequest(1), 1);
    std::string report = LastAlert();
    EXPECT_NE(report.find("EXEC_ICTX: Save component definition file"), std::string::npos);
    EXPECT_NE(report.find(kFakeError), std::string::npos) << report;
    EXPECT_NE(report.find("(0x81000011)"), std::string::npos) << report;
    const std::string partial = test::ReadFile(file);
    EXPECT_NE(partial.find("\"R1\""), std::string::npos);
    EXPECT_EQ(partial.find("\"R2\""), std::string::npos);
    EXPECT_FALSE(rvo().progressOpen());
    EXPECT_EQ(rvo().progressPosition(), 2); // the failing component's place
    for (const auto& c : CallsIn(kMethodSave)) {
        EXPECT_EQ(c.benchIndex, 1);
    }

    // Without the file there is nothing to back up, and the file is not written.
    fs::remove(file);
    g_codes.clear();
    EXPECT_EQ(SaveRequest(1), 1);
    report = LastAlert();
    EXPECT_NE(report.find("Component File Backup Error"), std::string::npos) << report;
    EXPECT_NE(report.find("(0x81000012)"), std::string::npos);
    EXPECT_FALSE(fs::exists(file));

    EXPECT_EQ(SaveRequest(5), 1);
    EXPECT_NE(LastAlert().find("BENCH selector out of range"), std::string::npos);
}

} // namespace
} // namespace kora
