#include "ict_program_support.h"

#include "ictx/program/component_compile.h"
#include "ictx/program/vector_run.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kora {
namespace {

using test::Loaded;

// A synthetic board: Y = NOT A, Z follows what `volts` says; every drive and read is logged.
class FakeIo : public DigitalIo {
  public:
    std::map<std::string, int> driven;
    std::function<double(const std::string&)> volts = [this](const std::string& pin) {
        if (pin == "Y") {
            return driven["A"] == 1 ? 0.0 : 5.0;
        }
        return driven.count(pin) && driven[pin] >= 0 ? driven[pin] * 5.0 : NAN;
    };
    bool limits[3] = {};
    double clock = 0;
    int reads = 0;

    bool SetDriveLevels(double, double) override { return true; }
    bool SetControlLevels(double, double) override { return true; }
    bool SetLimits(double, double, double) override { return true; }
    bool DrivePin(const ChannelRecord& pin, int state) override {
        driven[pin.appName] = state;
        return true;
    }
    bool Settle() override { return true; }
    bool ReadPin(const ChannelRecord& pin, double* v) override {
        ++reads;
        *v = volts(pin.appName);
        return true;
    }
    bool DriveControl(const ChannelRecord*, bool, double* v) override {
        *v = 0;
        return true;
    }
    bool Delay(double s) override {
        clock += s;
        return true;
    }
    bool Terminate(uint32_t, uint32_t) override { return true; }
    bool LimitFlags(bool f[3]) override {
        for (int i = 0; i < 3; ++i) {
            f[i] = limits[i];
        }
        return true;
    }
    bool DriveCurrents(double* h, double* l) override {
        *h = *l = 0;
        return true;
    }
    double Now() override { return clock; }
};

struct Line {
    std::string name, value, expected, comment;
    bool failed;
};

class Collect : public VectorReport {
  public:
    std::vector<Line> lines;
    void Text(const char* n, const char* v, const char* e, bool f, const char* c) override {
        lines.push_back({n, v, e ? e : "", c ? c : "", f});
    }
    void Integer(const char* n, long v, long, long, bool f, const char* c) override {
        lines.push_back({n, std::to_string(v), "", c ? c : "", f});
    }
    void Real(const char* n, double v, double, double, long, bool f, const char* c) override {
        char text[32];
        std::snprintf(text, sizeof text, "%g", v);
        lines.push_back({n, text, "", c ? c : "", f});
    }
    void Debug(const char*) override {}
    int Count(const std::string& suffix) const {
        int n = 0;
        for (const Line& l : lines) {
            n += l.name.size() >= suffix.size() &&
                 l.name.compare(l.name.size() - suffix.size(), suffix.size(), suffix) == 0;
        }
        return n;
    }
};

class VectorRun : public ::testing::Test {
  protected:
    test::CPtr<BenchRecord> bench_ = test::MakeBench({"A", "B", "Y", "Z"});
    Loaded l_;
    FakeIo io_;
    Collect report_;
    VectorState state_;

    int Run(const std::string& body) {
        const std::string text =
            "[20, \"U5\", \"DIGITAL\", \"\", \"\"]\nVDI=5,0\nVDO=3.5,1.5\n" + body;
        EXPECT_EQ(l_.Parse(bench_.get(), text), 1) << l_.error;
        char error[kMessageSize] = {};
        EXPECT_EQ(CompileComponent(&l_[0], error), 0) << error;
        return RunVectors(l_[0].firstItem, l_[0].itemCount, io_, report_, state_);
    }
};

TEST_F(VectorRun, JumpsRepeatsAndExits) {
    struct Case {
        const char* body;
        int outputs; // DO items run
        int result;
        char exit;
        const char* last; // value of the last sub-result
    } cases[] = {
        // REPEAT=3 runs its block four times; the outer REPEAT brings it back, and the inner one
        // starts from 3 again: 2 x 4.
        {"LABEL=\"OUT\"\nLABEL=\"IN\"\nDO=H,\"Y\"\nREPEAT=3,\"IN\"\nREPEAT=1,\"OUT\"\n", 8, 0, 0,
         "0"},
        // REPEAT=0 repeats until another jump leaves: ?PASS=2 lets it pass twice, then on.
        {"LABEL=\"L\"\nDO=H,\"Y\"\n?PASS=2,\"L\"\nDO=L,\"Y\"\n?FAIL=0,\">FAILED\"\nREPEAT=0,"
         "\"L\"\n",
         4, -1, 'T', "[EXIT T] \"FAILED\""},
        // ?FAIL=1 retries once, then goes on to the end.
        {"LABEL=\"L\"\nDO=L,\"Y\"\n?FAIL=1,\"L\"\n", 2, -1, 0, "0"},
        // ?FAIL does not act after a pass; GOTO to a ">>" label ends with exit mode A.
        {"DO=H,\"Y\"\n?FAIL=0,\">FAILED\"\nGOTO=\">>DONE\"\nDO=H,\"Y\"\n", 1, 0, 'A', "EXIT"},
        // A failed check before a plain GOTO: the GOTO skips a DO, the result stays failed.
        {"DO=L,\"Y\"\nGOTO=\"SKIP\"\nDO=H,\"Y\"\nLABEL=\"SKIP\"\n", 1, -1, 0, "SKIP"},
    };
    for (const Case& c : cases) {
        l_ = Loaded();
        report_ = Collect();
        state_ = VectorState();
        EXPECT_EQ(Run(c.body), c.result) << c.body;
        EXPECT_EQ(report_.Count("OUTPUT"), c.outputs) << c.body;
        EXPECT_EQ(state_.exitMode, c.exit) << c.body;
        ASSERT_FALSE(report_.lines.empty());
        const Line& last = report_.lines.back();
        EXPECT_TRUE(last.value == c.last || last.comment == c.last) << c.body << last.value;
    }
}

TEST_F(VectorRun, FlagsOfFailAndPass) {
    // ?FAIL=2 after three failures: flag 1, 1, then 0 with the counter below zero.
    Run("LABEL=\"L\"\nDO=L,\"Y\"\n?FAIL=2,\"L\"\n");
    std::vector<std::string> flags, counts;
    for (const Line& l : report_.lines) {
        if (l.name.find("?FAIL") != std::string::npos) {
            flags.push_back(l.value);
            counts.push_back(l.comment);
        }
    }
    EXPECT_EQ(flags, (std::vector<std::string>{"1", "1", "0"}));
    EXPECT_EQ(counts, (std::vector<std::string>{"2/1", "2/0", "2/-1"}));
    EXPECT_EQ(report_.lines.back().name, "[005]  ?FAIL");
}

TEST_F(VectorRun, StatesWithWildcardsAndCountMismatch) {
    struct Case {
        const char* body;
        bool jumps; // the DO behind the label is skipped
    } cases[] = {
        {"DI=HL,\"A,B\"\nSTAT=\"A,B,Y\"\n?STEQ=H-L,\"L\"\nDO=H,\"Y\"\nLABEL=\"L\"\n", true},
        {"DI=HL,\"A,B\"\nSTAT=\"A,B,Y\"\n?STEQ=L--,\"L\"\nDO=H,\"Y\"\nLABEL=\"L\"\n", false},
        {"DI=HL,\"A,B\"\nSTAT=\"A,B,Y\"\n?STNE=L--,\"L\"\nDO=H,\"Y\"\nLABEL=\"L\"\n", true},
        {"DI=HL,\"A,B\"\nSTAT=\"A,B,Y\"\n?STNE=H-L,\"L\"\nDO=H,\"Y\"\nLABEL=\"L\"\n", false},
    };
    for (const Case& c : cases) {
        l_ = Loaded();
        report_ = Collect();
        Run(c.body);
        EXPECT_EQ(report_.Count("OUTPUT"), c.jumps ? 0 : 1) << c.body;
    }
    l_ = Loaded();
    report_ = Collect();
    state_ = VectorState();
    EXPECT_EQ(Run("STAT=\"A,B\"\n?STEQ=HLHL,\"L\"\nDO=H,\"Y\"\nLABEL=\"L\"\n"), -1);
    EXPECT_EQ(report_.lines.back().value, "STATE COUNT MISMATCH (2/4)");
    EXPECT_EQ(report_.lines.back().name, "[004]  ?STAT");
    EXPECT_TRUE(report_.lines.back().failed);
    EXPECT_EQ(report_.Count("OUTPUT"), 0);
}

TEST_F(VectorRun, OutputsDecodeAtTheThresholds) {
    struct Case {
        double volts;
        const char* expected;
        const char* read;
        bool failed;
    } cases[] = {
        {3.5, "H", "H", false}, {3.49, "H", "Z", true}, {1.5, "L", "L", false},
        {1.51, "L", "Z", true}, {2.5, "-", "Z", false}, {NAN, "H", "-", true},
        {NAN, "-", "-", false}, {0.0, "H", "L", true},
    };
    for (const Case& c : cases) {
        l_ = Loaded();
        report_ = Collect();
        state_ = VectorState();
        io_.volts = [&](const std::string&) { return c.volts; };
        Run(std::string("DO=") + c.expected + ",\"Z\"\n");
        const Line& out = report_.lines.back();
        EXPECT_EQ(out.value, c.read) << c.volts;
        EXPECT_EQ(out.expected, c.expected) << c.volts;
        EXPECT_EQ(out.failed, c.failed) << c.volts;
    }
}

TEST_F(VectorRun, InputsKeepTheirStateAndPlaceholdersDriveNothing) {
    Run("DI=HL,\"A,B\"\nDI=Z-,\"A,B\"\nDI=0b01,\"1,Y\"\n");
    EXPECT_EQ(io_.driven["A"], -1);
    EXPECT_EQ(io_.driven["B"], 0); // don't care: left as the first DI drove it
    EXPECT_EQ(io_.driven["Y"], 1);
    EXPECT_EQ(io_.driven.count("1"), 0u);
}

TEST_F(VectorRun, TimeoutAndCurrentLimitJumps) {
    io_.limits[1] = true;
    EXPECT_EQ(Run("TO=0.5\nMD=0.2\n?TO=\"L\"\nMD=0.4\n?TO=\">LATE\"\nDO=H,\"Y\"\nLABEL=\"L\"\n"),
              -1);
    EXPECT_EQ(state_.exitMode, 'T');
    EXPECT_EQ(report_.Count("OUTPUT"), 0);
    report_ = Collect();
    l_ = Loaded();
    state_ = VectorState();
    EXPECT_EQ(Run("?ILIM=\">>LIMIT\"\nDO=H,\"Y\"\n"), 0);
    EXPECT_EQ(state_.exitMode, 'A');
    EXPECT_EQ(report_.lines.back().value, "0,1,0");
    EXPECT_EQ(report_.lines.back().comment, "[EXIT A] \"LIMIT\"");
}

} // namespace
} // namespace kora
