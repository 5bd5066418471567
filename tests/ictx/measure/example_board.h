// An ICT example board of examples/ict on its own station (<name>_hardware.ini,
// <name>_system.ini, <name>.ict): set up, its component file loaded, one component run at a
// time, and what the tests of every class check alike: the driver calls that wired a test, the
// results in order, and the pin and module errors reported before anything is connected.
#pragma once

#include "ictx/measure/component_tests.h"
#include "ictx/measure/ict_hardware.h"
#include "ictx/program/component_load.h"
#include "ictx/program/ict_program_support.h"
#include "support/station.h"

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace kora::test {

inline const fs::path kIctExamples = fs::path(KORA_EXAMPLES_DIR) / "ict";

class ExampleBoardTest : public StationTest {
  protected:
    void Open(const std::string& name, const char* benchName) {
        name_ = name;
        hw_ = (kIctExamples / (name + "_hardware.ini")).string();
        sw_ = (kIctExamples / (name + "_system.ini")).string();
        bench_ = std::make_shared<VirtualBench>();
        bench_->loadStation(vbench::LoadStation(hw_));
        VirtualBench::activate(bench_);
        ASSERT_EQ(Setup(benchName, 1), 0) << LastAlert();
        bench1_ = BenchByIndex(1);
        ASSERT_NE(bench1_, nullptr);
        Load(BoardText());
    }
    std::string BoardText() const { return ReadFile(kIctExamples / (name_ + ".ict")); }

    void Load(const std::string& text) {
        std::string_view view = text;
        LoadAs(name_ + ".ict", &view);
    }
    // Loads the component file `file` (or `text` under its name), sets the ICT hardware up and
    // starts the journal and the executive afresh.
    void LoadAs(const std::string& file, const std::string_view* text = nullptr) {
        char error[kMessageSize] = {};
        ASSERT_GT(LoadComponentProgram(bench1_, loaded_.model.get(), file.c_str(), text,
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

    // The value of the last result of that name.
    double Value(const char* result) {
        const auto all = results();
        for (auto it = all.rbegin(); it != all.rend(); ++it) {
            if (it->name == result) {
                return it->value;
            }
        }
        ADD_FAILURE() << result;
        return 0;
    }

    struct ExpectedResult {
        const char* result;
        const char* comment;
        double value;
        double tolerance; // absolute
        bool pass;
    };
    // Runs the components in order and compares every result they recorded with `cases`.
    void ExpectResults(std::initializer_list<const char*> components,
                       const std::vector<ExpectedResult>& cases) {
        for (const char* name : components) {
            Run(name);
        }
        const auto all = results();
        ASSERT_EQ(all.size(), cases.size());
        for (std::size_t i = 0; i < all.size(); ++i) {
            const auto& c = cases[i];
            EXPECT_EQ(all[i].name, c.result) << i;
            EXPECT_EQ(all[i].comment, c.comment) << c.result;
            EXPECT_NEAR(all[i].value, c.value, c.tolerance) << c.result;
            EXPECT_EQ(all[i].verdict, c.pass ? rvo::Verdict::Pass : rvo::Verdict::Fail) << c.result;
        }
    }

    struct PinError {
        const char* name;
        const char* from; // edit of the component file
        const char* to;
        const char* alert; // the class's format
        const char* message;
    };
    // Each edited component fails with its class's alert before any matrix connection.
    void ExpectPinErrors(const std::vector<PinError>& cases) {
        for (const auto& c : cases) {
            std::string text = BoardText();
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
    }

    // The calls of those driver functions, in the order sent, without the session handle (its
    // number depends on the tests run before).
    std::string Wiring(const std::vector<const char*>& functions) const {
        std::string out;
        for (const auto& e : bench_->journal().entries()) {
            for (const char* f : functions) {
                if (e.function == f) {
                    const auto comma = e.arguments.find(", ");
                    out += e.function.substr(e.function.find('_') + 1) + "(" +
                           e.arguments.substr(comma == std::string::npos ? 0 : comma + 2) + ") ";
                }
            }
        }
        return out;
    }

    std::string name_;
    BenchRecord* bench1_ = nullptr;
    Loaded loaded_;
    uint32_t code_ = 0;
    char text_[kMessageSize] = {};
};

} // namespace kora::test
