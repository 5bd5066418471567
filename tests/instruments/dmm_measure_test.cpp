// Multimeter measurements on the example board, routed through the matrix: values against the
// circuit's known answers, the second read after an over-range, routing warnings and failures
// in the result comment and the error, and invalid samples of an acquisition.
#include "support/station.h"

#include <route.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

namespace kora {
namespace {

class DmmMeasure : public test::StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        ASSERT_EQ(Setup(), 0) << LastAlert();
        ASSERT_EQ(PowerBoard(), 0) << LastAlert();
        bench_->journal().clear();
    }
    long Meas(const char* pre, const char* devChanAttr, const char* low, const char* high,
              double* value, const char* post = "#|", long ref = 0) {
        return MEAS_DMM(ref ? ref : ++ref_, "Meas", 0xA00, 0, "note", pre, devChanAttr, low, 0,
                        high, 0.02, value, post);
    }
    long ref_ = 700;
};

TEST_F(DmmMeasure, ReadsTheBoardThroughTheMatrix) {
    // The divider 10k / 4.7k from 5 V, loaded by the meter's 10 Mohm input.
    const double r2 = 4700.0 * 10e6 / (4700.0 + 10e6);
    const double divider = 5.0 * r2 / (10000.0 + r2);
    const struct {
        const char* pre;
        const char* function;
        double expected, tolerance;
    } cases[] = {
        {"DMM_A!HI>VCC,DMM_A!LO>GND", "VDC", 5.0, 5.0 * 1e-4},
        {"DMM_A!HI>DIV_MID,DMM_A!LO>GND", "VDC", divider, divider * 1e-4},
        {"DMM_A!HI>R5_A,DMM_A!SHI>R5_A,DMM_A!LO>R5_B,DMM_A!SLO>R5_B", "RES_4W", 2200.0, 0.5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pre);
        double value = NAN;
        EXPECT_EQ(Meas(c.pre, c.function, "", "", &value), 0) << LastAlert();
        EXPECT_NEAR(value, c.expected, c.tolerance);
        EXPECT_EQ(lastResult().value, value);
        // "#|" undid the pre-routing: only the supply's connections stay.
        char display[2048] = "x";
        int32_t length = -1, warning = 0, error = 0;
        char message[1024];
        ROUTE_GetDisplayString(0, BenchByIndex(0)->routing.handle, display, sizeof display, &length,
                               &warning, &error, message);
        EXPECT_EQ(std::string(display).find("DMM_A"), std::string::npos) << display;
        EXPECT_NE(std::string(display).find("SUPPLY_A6!CH1_HI"), std::string::npos) << display;
    }
    // Two wires add the leads (relays and bus) to the resistor.
    double twoWire = NAN;
    EXPECT_EQ(Meas("DMM_A!HI>R5_A,DMM_A!LO>R5_B", "RES", "", "", &twoWire), 0) << LastAlert();
    EXPECT_GT(twoWire, 2200.3);
    EXPECT_LT(twoWire, 2202.0);
}

TEST_F(DmmMeasure, OverRangeGivesASecondReadInAutoRange) {
    double value = NAN;
    // Limits of 0.1 V make the range 0.1 V: the 5 V rail is over range at first.
    Meas("DMM_A!HI>VCC,DMM_A!LO>GND", "VDC", "0", "0.1", &value);
    EXPECT_NEAR(value, 5.0, 0.001);
    EXPECT_EQ(lastResult().verdict, rvo::Verdict::Fail);
    EXPECT_EQ(lastResult().comment, "note (2nd Read with AUTORANGE: OR1=1, OR2=0) ");
    const auto configs = bench_->journal().calls("DMM_Conf_Measurement");
    ASSERT_EQ(configs.size(), 2u);
    EXPECT_NE(configs[1].arguments.find("AUTO_RANGE_ON"), std::string::npos);

    // An open meter is over range in every range: the verified value says so, no error.
    const size_t alerts = this->alerts().size();
    Meas("", "RES", "0", "100", &value, "");
    EXPECT_EQ(value, 9999000000.0);
    EXPECT_EQ(lastResult().comment, "note (2nd Read with AUTORANGE: OR1=1, OR2=1) ");
    EXPECT_EQ(this->alerts().size(), alerts);
}

TEST_F(DmmMeasure, TwoWireAfterFourWireOpensTheSenseConnectionsFirst) {
    double value = NAN;
    ASSERT_EQ(Meas("DMM_A!HI>R5_A,DMM_A!SHI>R5_A,DMM_A!LO>R5_B,DMM_A!SLO>R5_B", "RES_4W", "", "",
                   &value, ""),
              0)
        << LastAlert();
    bench_->journal().clear();
    ASSERT_EQ(Meas("", "RES", "", "", &value, ""), 0) << LastAlert();
    const auto order = bench_->journal().entries();
    ASSERT_GE(order.size(), 2u);
    EXPECT_EQ(order[0].function, "ROUTE_Execute");
    EXPECT_NE(order[0].arguments.find("\"%\""), std::string::npos) << order[0].arguments;
    EXPECT_EQ(order[1].function, "DMM_Conf_Measurement");
    // The open relays leave the meter on nothing: the resistance is over range.
    EXPECT_EQ(value, 9999000000.0);
}

TEST_F(DmmMeasure, RoutingWarningsAndFailures) {
    double value = NAN;
    // Undoing a connection that was never made is a warning: the value is still recorded.
    EXPECT_EQ(Meas("DMM_A!HI>VCC,DMM_A!LO>GND", "VDC", "4.9", "5.1", &value,
                   "DMM_A!HI|VCC,DMM_A!LO|GND,DMM_A!SHI|VCC"),
              0)
        << LastAlert();
    const std::string comment = lastResult().comment;
    EXPECT_EQ(comment.rfind("note  PostRoute WARNING[0x", 0), 0u) << comment;
    EXPECT_NEAR(lastResult().value, 5.0, 0.001);

    // A connection the matrix cannot make fails the step with the engineer's channel names.
    EXPECT_EQ(Meas("DMM_A!HI>DMM_A!LO", "VDC", "", "", &value, ""), -2);
    const std::string alert = LastAlert();
    EXPECT_NE(alert.find("ERROR# -37005"), std::string::npos) << alert;
    EXPECT_NE(alert.find("DMM_A!HI (DMM_HI) > DMM_A!LO (DMM_LO)"), std::string::npos) << alert;
}

TEST_F(DmmMeasure, InvalidSamplesAreLeftOutOfTheMean) {
    bench_->faults().add({"DMM_Sample", 3, false, 0, ""});
    bench_->faults().add({"DMM_Sample", 7, false, 0, ""});
    double samples[10];
    EXPECT_EQ(ACQ_DMM(800, "Acq", 0xB00, 0, "note", "DMM_A!HI>VCC,DMM_A!LO>GND", "VDC.READ", "4.9",
                      "5", "5.1", 0.0, 0.001, 10, samples, "#|"),
              0)
        << LastAlert();
    int nan = 0;
    double sum = 0;
    for (double s : samples) {
        if (std::isnan(s)) {
            ++nan;
        } else {
            sum += s;
        }
    }
    EXPECT_EQ(nan, 2);
    EXPECT_DOUBLE_EQ(lastResult().value, sum / 8);
    EXPECT_EQ(lastResult().comment, "note KORA warning: NAN WARNING[0x00000002]: Invalid "
                                    "measurement sample detected");
}

} // namespace
} // namespace kora
