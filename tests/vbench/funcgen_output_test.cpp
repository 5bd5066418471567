// The function generator's outputs in the circuit: the value of every shape over its period,
// bursts and starts, the output and ground relays and the marker outputs on a small board.
#include <vbench/bench/virtual_bench.h>
#include <vbench/modules/funcgen_output.h>
#include <vbench/netlist/netlist_parser.h>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace kora::vbench {
namespace {

using Shape = FuncgenSignal::Shape;

TEST(FuncgenSignal, ShapesOverTheirPeriod) {
    const std::vector<double> steps = {1, 2, 3, 4};
    struct Case {
        const char* what;
        FuncgenSignal signal;
        double t;
        double volts;
    } cases[] = {
        {"dc", {Shape::Dc, 0, 1.5, 0, 0, 50, {}, {}, 0}, 7, 1.5},
        {"sine at a quarter", {Shape::Sine, 2, 0.5, 100, 0, 50, {}, {}, 0}, 0.0025, 1.5},
        {"sine with 90 degrees", {Shape::Sine, 2, 0, 100, 90, 50, {}, {}, 0}, 0, 1},
        {"square high part", {Shape::Square, 4, 0, 100, 0, 25, {}, {}, 0}, 0.0024, 2},
        {"square low part", {Shape::Square, 4, 0, 100, 0, 25, {}, {}, 0}, 0.0026, -2},
        {"triangle peak", {Shape::Triangle, 2, 0, 100, 0, 50, {}, {}, 0}, 0.0025, 1},
        {"triangle trough", {Shape::Triangle, 2, 0, 100, 0, 50, {}, {}, 0}, 0.0075, -1},
        {"ramp up at three quarters", {Shape::RampUp, 2, 0, 100, 0, 50, {}, {}, 0}, 0.0075, 0.5},
        {"ramp down at a quarter", {Shape::RampDown, 2, 0, 100, 0, 50, {}, {}, 0}, 0.0025, 0.5},
        {"third sample", {Shape::Samples, 0, 0, 10, 0, 50, steps, {}, 0}, 0.055, 3},
        {"sample of the next period", {Shape::Samples, 0, 0, 10, 0, 50, steps, {}, 0}, 0.101, 1},
        {"before the start", {Shape::Square, 4, 0.5, 100, 0, 50, {}, {}, 0}, -0.001, 0.5},
        {"within a burst", {Shape::Square, 4, 0.5, 100, 0, 50, {}, {}, 2}, 0.0101, 2.5},
        {"after a burst", {Shape::Square, 4, 0.5, 100, 0, 50, {}, {}, 2}, 0.0201, 0.5},
    };
    for (const Case& c : cases) {
        EXPECT_NEAR(c.signal.valueAt(c.t), c.volts, 1e-9) << c.what;
    }
    const FuncgenSignal square{Shape::Square, 4, 1, 100, 0, 25, {}, {}, 0};
    EXPECT_NEAR(square.mean(), 0, 1e-3); // 25 % at +3 V, 75 % at -1 V
    const FuncgenSignal marked{Shape::Samples, 0, 0, 10, 0, 50, steps, {0, 1, 0, 0}, 1};
    EXPECT_FALSE(marked.markerAt(0.01));
    EXPECT_TRUE(marked.markerAt(0.03));
    EXPECT_FALSE(marked.markerAt(0.13)); // the burst is over
}

// The generator FG's CH1 into 1 kohm, MO1 into 1 Mohm; the capacitor gives the board memory, so
// that each settle follows the clock.
class FuncgenOutputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        bench_ = std::make_shared<VirtualBench>();
        Station s;
        s.board = ParseNetlist(
            "gen\nRL fg!ch1 0 1k\nRM fg!mo1 0 1meg\nCX x 0 1n\nRX x 0 1k\n.end\n", "gen.cir");
        bench_->loadStation(std::move(s));
        VirtualBench::activate(bench_);
    }
    void TearDown() override { VirtualBench::activate(nullptr); }
    double At(const char* net, double afterSeconds) {
        bench_->wait(afterSeconds);
        return bench_->circuit().voltage(net);
    }
    std::shared_ptr<VirtualBench> bench_;
};

TEST_F(FuncgenOutputTest, RelaysStartsAndMarkersReachTheBoard) {
    FuncgenFrontEnd& fg = FuncgenFrontEndOf(*bench_, "FG");
    const std::vector<double> steps = {1, 2, 3, 4};
    FuncgenSignal stairs{Shape::Samples, 0, 0.5, 10, 0, 50, steps, {0, 1, 0, 0}, 0};
    // The 1 kohm load against the output's 50 ohm and the ground relay's 0.15 ohm.
    const double load = 1000.0 / 1050.15;
    fg.play(0, stairs, std::nullopt);
    EXPECT_NEAR(At("fg!ch1", 0.001), 0, 1e-8) << "output relay open";
    fg.setOutputEnabled(0, true);
    EXPECT_NEAR(At("fg!ch1", 0.001), 0, 1e-6) << "LO floating without the ground relay";
    fg.setGroundRelay(0, true);
    EXPECT_NEAR(At("fg!ch1", 0.001), 0.5 * load, 1e-4) << "armed: the offset";
    fg.setMarkerOutput(0, 0, true, true);
    fg.play(0, stairs, bench_->circuitNow() + 0.01); // started with a delay of 10 ms
    EXPECT_NEAR(At("fg!ch1", 0.005), 0.5 * load, 1e-4) << "within the delay";
    EXPECT_NEAR(At("fg!ch1", 0.04), 2 * load, 1e-4) << "second sample";
    EXPECT_NEAR(bench_->circuit().voltage("fg!mo1"), kFuncgenMarkerHigh, 1e-3) << "marker on";
    EXPECT_NEAR(At("fg!ch1", 0.055), 4 * load, 1e-4) << "fourth sample";
    EXPECT_NEAR(bench_->circuit().voltage("fg!mo1"), 0, 1e-6) << "marker off";
    fg.setMarkerOutput(0, 0, true, false);
    EXPECT_NEAR(At("fg!mo1", 0.001), kFuncgenMarkerHigh, 1e-3) << "active low, marker off";
    fg.setOutputEnabled(0, false);
    EXPECT_NEAR(At("fg!ch1", 0.001), 0, 1e-8) << "switched off";
}

} // namespace
} // namespace kora::vbench
