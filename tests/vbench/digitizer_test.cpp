// The signal analyzer's model in the circuit: records of a generator's square wave taken from the
// transient in virtual time, the triggers, the status of a path as the clock passes, and the
// front end's range clipping and bandwidth.
#include <vbench/bench/virtual_bench.h>
#include <vbench/modules/digitizer.h>
#include <vbench/modules/funcgen_output.h>
#include <vbench/netlist/netlist_parser.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numeric>

namespace kora::vbench {
namespace {

using Kind = DigitizerTrigger::Kind;
using Status = Digitizer::Status;

// The generator FG's CH1 drives net in directly and, through 1 kohm, the 10 nF capacitor at out
// (10 us); the analyzer SC watches in at CHA1 and out at CHA2.
class DigitizerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        bench_ = std::make_shared<VirtualBench>();
        Station s;
        s.board = ParseNetlist("rc\nRW fg!ch1 sc!cha1 1m\nRLO fg!ch1_lo 0 1m\nR1 sc!cha1 sc!cha2 "
                               "1k\nC1 sc!cha2 0 10n\n.end\n",
                               "rc.cir");
        bench_->loadStation(std::move(s));
        VirtualBench::activate(bench_);
        FuncgenFrontEnd& fg = FuncgenFrontEndOf(*bench_, "FG");
        // 0 V / 4 V at 1 kHz, high in the first half of each period.
        fg.play(0, {FuncgenSignal::Shape::Square, 4, 2, 1000, 0, 50, {}, {}, 0},
                bench_->circuitNow());
        fg.setOutputEnabled(0, true);
        bench_->wait(0.0102); // into a low half: the record below starts on a rising edge
    }
    void TearDown() override { VirtualBench::activate(nullptr); }
    Digitizer& scope() { return DigitizerOf(*bench_, "SC"); }
    std::shared_ptr<VirtualBench> bench_;
};

double Mean(const std::vector<double>& v) {
    return v.empty() ? NAN
                     : std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
}

TEST_F(DigitizerTest, ImmediateRecordFollowsTheClock) {
    Digitizer& d = scope();
    EXPECT_EQ(d.status(0), Status::Unknown);
    d.setRecord(0, 0.004, 4000, 0);
    d.initiate(0);
    ASSERT_TRUE(d.completeAt(0));
    EXPECT_EQ(d.status(0), Status::InProgress);
    const std::vector<double>& in = d.samples(0);
    ASSERT_EQ(in.size(), 4000u);
    // Four whole periods: half at 4 V (less the 50 ohm against the 1 Mohm input), half at 0 V.
    EXPECT_NEAR(Mean(in), 2 * 1e6 / (1e6 + 50), 0.01);
    EXPECT_NEAR(*std::max_element(in.begin(), in.end()), 4, 0.01);
    bench_->clock().waitSeconds(0.0039);
    EXPECT_EQ(d.status(0), Status::InProgress);
    bench_->clock().waitSeconds(0.0002);
    EXPECT_EQ(d.status(0), Status::Complete);
    d.abort(0);
    EXPECT_EQ(d.status(0), Status::Unknown);
}
} // namespace
} // namespace kora::vbench
