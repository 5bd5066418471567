// The digital test on the logic example board, called as the execute step calls it: its debug
// lines, the release of the matrix, and an edit in the step editor saved back with the section's
// INSERT line instead of the vectors it inserted.
#include "ictx/measure/component_tests.h"
#include "ictx/measure/ict_hardware.h"
#include "ictx/program/component_load.h"
#include "ictx/program/component_writer.h"

#include "ictx/program/ict_program_support.h"
#include "support/station.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kora::test {
namespace {

const fs::path kIct = fs::path(KORA_EXAMPLES_DIR) / "ict";

class DigitalTest : public StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        hw_ = (kIct / "logic_hardware.ini").string();
        sw_ = (kIct / "logic_system.ini").string();
        bench_ = std::make_shared<VirtualBench>();
        bench_->loadStation(vbench::LoadStation(hw_));
        VirtualBench::activate(bench_);
        ASSERT_EQ(Setup("LOGIC", 1), 0) << LastAlert();
        bench1_ = BenchByIndex(1);
        ASSERT_NE(bench1_, nullptr);
        Load(nullptr);
    }

    void Load(const std::string* text) {
        std::string_view view;
        if (text) {
            view = *text;
        }
        char error[kMessageSize] = {};
        ASSERT_GT(LoadComponentProgram(bench1_, loaded_.model.get(),
                                       (kIct / "logic.ict").string().c_str(),
                                       text ? &view : nullptr, loaded_.strings.data(),
                                       loaded_.strings.size(), error),
                  0)
            << error;
        ASSERT_EQ(IctSetup(1, *bench1_, 0, 0, nullptr, error), 0u) << error;
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

    long Run(ComponentRecord* r, long stepId) {
        ComponentCall call;
        call.stepId = stepId;
        call.name = r->name;
        call.bench = bench1_;
        call.benchIndex = 1;
        call.record = r;
        call.availableVariants = loaded_.model->variants;
        call.errorCode = &code_;
        call.errorText = text_;
        return TestDigital(call);
    }

    std::string Written(const ComponentRecord* r) {
        char* buffer = nullptr;
        std::size_t size = 0;
        std::FILE* f = open_memstream(&buffer, &size);
        WriteComponentSection(f, r, loaded_.model->variants);
        std::fclose(f);
        std::string s(buffer, size);
        std::free(buffer);
        return s;
    }

    BenchRecord* bench1_ = nullptr;
    Loaded loaded_;
    uint32_t code_ = 0;
    char text_[kMessageSize] = {};
};

TEST_F(DigitalTest, DetailsWriteDebugLinesAndTheMatrixIsReleased) {
    ComponentRecord* u1 = Find("U1");
    Run(u1, 3000); // defines the step; DETAILS is off
    ASSERT_TRUE(rvo().editAttribute(3000, "DETAILS", "1"));
    EXPECT_EQ(rvo().invokeAttributeCallback(3000, 0x80000001), 0);
    const std::size_t earlier = Log().size();
    bench_->journal().clear();
    EXPECT_EQ(Run(u1, 3000), 0) << text_;
    std::string log;
    const auto lines = Log();
    for (std::size_t i = earlier; i < lines.size(); ++i) {
        log += lines[i] + "\n";
    }
    EXPECT_NE(log.find("--- DIGITAL: U1   IH/IL="), std::string::npos) << log;
    EXPECT_NE(log.find("[007] DI 'A'=L, IH/L: "), std::string::npos) << log;
    EXPECT_NE(log.find("[008] 'Y1'=5.00 V"), std::string::npos) << log;
    EXPECT_NE(log.find("[010] 'Y1'=0.00 V"), std::string::npos) << log;
    EXPECT_GE(bench_->journal().count("ZQsm160_hscDisconnectAll"), 1u);
}

TEST_F(DigitalTest, EditedSectionIsSavedWithItsInsertLine) {
    ComponentRecord* u2 = Find("U2_U3");
    const std::string before = Written(u2);
    EXPECT_NE(before.find("INSERT=2,\"GATES\""), std::string::npos) << before;
    EXPECT_EQ(before.find("DI=LL"), std::string::npos) << before;
    Run(u2, 3010);
    ASSERT_EQ(bench1_->ictModified, 0);
    ASSERT_TRUE(rvo().editAttribute(3010, "REPORT", "0"));
    EXPECT_EQ(rvo().invokeAttributeCallback(3010, 0x80000001), 0);
    EXPECT_EQ(bench1_->ictModified, 1);
    const std::string after = Written(u2);
    EXPECT_NE(after.find("#NOREPORT\n"), std::string::npos) << after;
    EXPECT_NE(after.find("INSERT=2,\"GATES\""), std::string::npos) << after;
    EXPECT_EQ(after.find("DI=LL"), std::string::npos) << after;

    // Read back, the section has the same items as before the edit.
    const std::string file = ReadFile(kIct / "logic.ict");
    std::string edited = file;
    const auto at = edited.find("[110, \"U2_U3\"");
    const auto end = edited.find("[120,", at);
    edited.replace(at, end - at, after.substr(after.find("[110,")) + "\n");
    Loaded again;
    ASSERT_GT(again.Parse(bench1_, edited, "logic.ict"), 0) << again.error;
    const ComponentRecord* u2again = nullptr;
    for (int32_t i = 0; i < again.count; ++i) {
        if (std::strcmp(again[i].name, "U2_U3") == 0) {
            u2again = &again[i];
        }
    }
    ASSERT_NE(u2again, nullptr);
    EXPECT_EQ(u2again->reportOption & kReportOff, kReportOff);
    ASSERT_EQ(u2again->itemCount, u2->itemCount);
    for (int32_t i = 0; i < u2->itemCount; ++i) {
        EXPECT_EQ(u2again->firstItem[i].type, u2->firstItem[i].type) << i;
        EXPECT_EQ(u2again->firstItem[i].value, u2->firstItem[i].value) << i;
    }
}

// A high drive held against the inverter's low output runs the PSU's high channel into its
// 1 mA limit, which ?ILIM sees; with a limit the gate can give, it does not.
TEST_F(DigitalTest, CurrentLimitOfADriveFightingAnOutputIsSeen) {
    for (const char* limit : {"0.001", "0.1"}) {
        SCOPED_TRACE(limit);
        const std::string text = std::string("[1, \"SETUP\", \"SETUP\", \"\", \"\"]\n"
                                             "[100, \"FIGHT\", \"DIGITAL\", \"\", \"\"]\n"
                                             "VDI=5.0,0.0\nILIM=") +
                                 limit + "," + limit +
                                 ",0.01\nDI=HH,\"A,Y1\"\n?ILIM=\">>LIMIT\"\nDI=L,\"Y1\"\n";
        loaded_ = Loaded();
        Load(&text);
        ComponentRecord* fight = Find("FIGHT");
        EXPECT_EQ(Run(fight, 3020), 0) << text_;
        const bool tight = std::string(limit) == "0.001";
        bool found = false;
        for (const auto& r : results()) {
            if (r.name == "[004]  ?ILIM") {
                found = true;
                EXPECT_EQ(r.text, tight ? "0,1,0" : "0,0,0");
                EXPECT_EQ(r.comment, tight ? "[EXIT A] \"LIMIT\"" : "LIMIT");
            }
        }
        EXPECT_TRUE(found);
    }
}

// An input that nothing drives reads its own 100 kohm pull-down, unless DTERM switches the
// termination network onto the sense line: then the divider of the drive levels, 5 V and 0 V.
TEST_F(DigitalTest, TerminationDecidesWhatAnUndrivenPinReads) {
    const std::string text = "[1, \"SETUP\", \"SETUP\", \"\", \"\"]\n"
                             "[100, \"TERM\", \"DIGITAL\", \"\", \"\"]\n"
                             "VDI=5.0,0.0\nDI=Z,\"A\"\n"
                             "DTERM=0,0\nVMIR=-0.05,0.05,\"A\"\n"
                             "DTERM=1,0\nVMIR=4.9,5.0,\"A\"\n"
                             "DTERM=1,1\nVMIR=2.4,2.55,\"A\"\n"
                             "DTERM=2,1\nVMIR=0.4,0.5,\"A\"\n";
    loaded_ = Loaded();
    Load(&text);
    EXPECT_EQ(Run(Find("TERM"), 3030), 0) << text_;
    int checked = 0;
    for (const auto& r : results()) {
        if (r.name.find("VMIR") != std::string::npos) {
            ++checked;
            EXPECT_EQ(r.verdict, rvo::Verdict::Pass) << r.name << " " << r.value;
        }
    }
    EXPECT_EQ(checked, 4);
}

} // namespace
} // namespace kora::test
