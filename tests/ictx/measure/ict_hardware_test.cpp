// The ICT hardware of the example station's line bench: test pins, the way of a pin onto the bus,
// and what set-up and clean-up send to the modules (journal) and report (sub-results, errors).
#include "ictx/measure/ict_hardware.h"

#include "bench/channel_table.h"
#include "frame/text.h"
#include "support/station.h"

#include <algorithm>
#include <string>
#include <vector>

namespace kora::test {
namespace {

class IctHardwareTest : public StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        ASSERT_EQ(Setup(), 0);
        bench_->journal().clear();
        rvo().reset();
        line_ = BenchByIndex(1);
        ASSERT_NE(line_, nullptr);
    }

    // Functions of the journal in call order, of the given interfaces only.
    std::vector<std::string> Sequence(std::initializer_list<const char*> interfaces) const {
        std::vector<std::string> out;
        for (const auto& e : bench_->journal().entries()) {
            for (const char* i : interfaces) {
                if (e.interface == i) {
                    out.push_back(e.function + "(" + e.arguments + ")");
                }
            }
        }
        return out;
    }

    BenchRecord* line_ = nullptr;
};

TEST_F(IctHardwareTest, TestPinsResolveByExactNameAmongMatrixPins) {
    struct Case {
        const char* name;
        bool found;
        int32_t count; // matrix pins walked
        const char* error;
    } cases[] = {
        {"VCC", true, 5, ""},
        {"R5_B", true, 4, ""},
        {"vcc", false, 0, "'vcc' not in channel table found"},
        {"DMM_HI", false, 0, "'DMM_HI' not in channel table found"}, // not a matrix pin
        {"", false, 0, "No pin name defined"},
        {nullptr, false, 0, "No pin name defined"},
    };
    for (const auto& c : cases) {
        char error[kMessageSize] = {};
        int32_t count = -1;
        const ChannelRecord* pin = ResolveTestPin(*line_, c.name, &count, error);
        EXPECT_EQ(pin != nullptr, c.found) << OrNull(c.name);
        if (pin) {
            EXPECT_STREQ(pin->appName, c.name);
        } else {
            EXPECT_STREQ(error, c.error);
            EXPECT_EQ(count, 0);
        }
    }
    // Pins are sorted by name, so the walk to a pin counts the pins before it.
    char error[kMessageSize];
    int32_t vcc = 0, gnd = 0;
    ResolveTestPin(*line_, "VCC", &vcc, error);
    ResolveTestPin(*line_, "GND", &gnd, error);
    EXPECT_GT(vcc, gnd);
}

// Resolving follows the table as whoever rewrites it left it: a channel taken off its card
// no longer counts, and a renamed one answers to its new name only.
TEST_F(IctHardwareTest, TestPinsFollowTheRewrittenTable) {
    char error[kMessageSize];
    int32_t before = 0;
    ASSERT_NE(ResolveTestPin(*line_, "VCC", &before, error), nullptr);
    ChannelRecord& first = line_->channels[0];
    const std::string firstName = first.appName;
    first.cardIndex = -1;
    ChannelTableChanged();
    struct Case {
        const char* name;
        bool found;
        int32_t count;
    } cases[] = {{"VCC", true, before - 1}, {firstName.c_str(), false, 0}};
    for (const auto& c : cases) {
        int32_t count = -1;
        EXPECT_EQ(ResolveTestPin(*line_, c.name, &count, error) != nullptr, c.found) << c.name;
        EXPECT_EQ(count, c.count) << c.name;
    }
    ChannelRecord& vcc = *const_cast<ChannelRecord*>(ResolveTestPin(*line_, "VCC", &before, error));
    CopyText(vcc.appName, "VCC2");
    ChannelTableChanged();
    int32_t count = 0;
    EXPECT_EQ(ResolveTestPin(*line_, "VCC", &count, error), nullptr);
    EXPECT_EQ(ResolveTestPin(*line_, "VCC2", &count, error), &vcc);
}

TEST_F(IctHardwareTest, RoleAndPinParityPickTheBusLine) {
    ChannelRecord even{}, odd{};
    even.pinIndex = 4;
    odd.pinIndex = 7;
    struct Case {
        PinRole role;
        BusLine even, odd;
    } cases[] = {
        {PinRole::Hi, kLabA1, kLabA2},      {PinRole::Lo, kLabB1, kLabB2},
        {PinRole::SenseHi, kLabC1, kLabC2}, {PinRole::SenseLo, kLabD1, kLabD2},
        {PinRole::Guard, kLabC1, kLabC2},   {PinRole::GuardSense, kLabD1, kLabD2},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BusLineOf(c.role, even), c.even);
        EXPECT_EQ(BusLineOf(c.role, odd), c.odd);
    }
    // Six wires: the sense pins take the other line of the force pin's group.
    EXPECT_EQ(BusLineOf(PinRole::SenseHi, odd, true, kLabA1), kLabA2);
    EXPECT_EQ(BusLineOf(PinRole::SenseHi, even, true, kLabA2), kLabA1);
    EXPECT_EQ(BusLineOf(PinRole::SenseLo, even, true, kLabB1), kLabB2);
    EXPECT_EQ(BusLineOf(PinRole::SenseLo, odd, true, kLabB2), kLabB1);
}

TEST_F(IctHardwareTest, SetupOpensTheBenchAndResetsTheUnitsInOrder) {
    for (double& offset : line_->ict.currentOffsets) {
        offset = 1e-6;
    }
    char error[kMessageSize];
    double elapsed = -1;
    ASSERT_EQ(IctSetup(1, *line_, 0, 1, &elapsed, error), 0u) << error;
    EXPECT_GE(elapsed, 0);
    EXPECT_TRUE(std::all_of(std::begin(line_->ict.currentOffsets),
                            std::end(line_->ict.currentOffsets), [](double o) { return o == 0; }));

    const auto calls = Sequence({"ROUTE", "ZQsm160", "rspsam", "rspio2"});
    ASSERT_GE(calls.size(), 6u);
    // Routes first, then the bench's modules are opened, then the PSAM takes the bus.
    EXPECT_EQ(calls[0].rfind("ROUTE_Execute(", 0), 0u) << calls[0];
    const auto at = [&](const std::string& prefix) {
        return std::find_if(calls.begin(), calls.end(),
                            [&](const std::string& c) { return c.rfind(prefix, 0) == 0; }) -
               calls.begin();
    };
    EXPECT_LT(at("ZQsm160_hscDisconnectAll"), at("rspsam_ConfigureCoupling"));
    EXPECT_LT(at("rspio2_ConfigureCoupling"), at("rspsam_cnx_Gnd"));
    EXPECT_LT(at("rspsam_cnx_Gnd"), at("ZQsm160_SetAttributeViBoolean"));
    EXPECT_EQ(Calls("rspsam_ConfigureCoupling"), 2u); // opened, then coupled to the whole bus
    EXPECT_EQ(Calls("rspict_aos_EnableOutput"), 1u);

    // One timing sub-result per action, numbered on from 1, the total last.
    const auto results = rvo().results();
    ASSERT_FALSE(results.empty());
    for (std::size_t i = 0; i < results.size(); ++i) {
        EXPECT_EQ(results[i].resultNo, static_cast<long>(i + 1));
        EXPECT_EQ(results[i].unit, 16);
    }
    EXPECT_EQ(results.front().name, "DISCONNECT");
    EXPECT_EQ(results.front().channel, "ROUTE");
    EXPECT_EQ(results.front().comment, "OBSOLETE");
    EXPECT_EQ(results.back().name, "ICTX SETUP");
    EXPECT_DOUBLE_EQ(results.back().value, elapsed);

    // Report level 0: nothing recorded.
    rvo().reset();
    ASSERT_EQ(IctSetup(1, *line_, 1, 0, &elapsed, error), 0u) << error;
    EXPECT_TRUE(rvo().results().empty());
}

TEST_F(IctHardwareTest, ModuleErrorsCarryTheirHeadAndStopTheSetup) {
    struct Case {
        const char* function;
        const char* head;
        const char* after; // a call the failure must prevent
    } cases[] = {
        {"ZQsm160_hscDisconnectAll", "SM160 ERROR: 0xBFFA0042\n - ", "rspsam_ConfigureCoupling"},
        {"rspsam_cnx_Gnd", "PSAM ERROR: 0xBFFA0042\n - ", "rspict_cmu_ConfigureSigCon"},
        {"rspict_aos_SetMode", "PICT ERROR: 0xBFFA0042\n - ", "ZQsm160_SetAttributeViBoolean"},
        {"rspio2_ConfigureCoupling", "PIO2 ERROR: 0xBFFA0042\n - ", "rspsam_cnx_Gnd"},
    };
    for (const auto& c : cases) {
        bench_->faults().reset();
        bench_->journal().clear();
        bench_->faults().add(
            {c.function, 1, false, static_cast<int32_t>(0xBFFA0042), "relay stuck"});
        char error[kMessageSize];
        EXPECT_EQ(IctSetup(1, *line_, 0, 0, nullptr, error), 0xBFFA0042u) << c.function;
        EXPECT_EQ(std::string(error), std::string(c.head) + "relay stuck") << c.function;
        EXPECT_EQ(Calls(c.after), 0u) << c.function;
    }
}

TEST_F(IctHardwareTest, CleanupReleasesTheMatrixAndReportsItsTotal) {
    char error[kMessageSize];
    ASSERT_EQ(IctSetup(1, *line_, 0, 0, nullptr, error), 0u) << error;
    bench_->journal().clear();
    double elapsed = -1;
    ASSERT_EQ(IctCleanup(101, *line_, true, 1, &elapsed, error), 0u) << error;
    const auto sm = Sequence({"ZQsm160"});
    ASSERT_EQ(sm.size(), 2u);
    EXPECT_EQ(sm[0].rfind("ZQsm160_hscDisconnectAll", 0), 0u);
    EXPECT_NE(sm[1].find("1150002"), std::string::npos);
    // The CMU leaves every switch open.
    const auto cmu = bench_->journal().last("rspict_cnx_ConfigureSwitches");
    ASSERT_TRUE(cmu.has_value());
    EXPECT_NE(cmu->arguments.find("0x0, 0x0, 0x0, 0x0, 0x0"), std::string::npos) << cmu->arguments;
    const auto results = rvo().results();
    ASSERT_FALSE(results.empty());
    EXPECT_EQ(results.front().resultNo, 101);
    EXPECT_EQ(results.front().comment, "HOLM");
    EXPECT_EQ(results.back().name, "ICTX CLEANUP");

    // A matrix failure is reported with the driver's text and still times the clean-up.
    bench_->faults().reset();
    bench_->faults().add(
        {"ZQsm160_hscDisconnectAll", 1, false, static_cast<int32_t>(0xBFFA0043), "card gone"});
    elapsed = -1;
    EXPECT_EQ(IctCleanup(101, *line_, false, 0, &elapsed, error), 0xBFFA0043u);
    EXPECT_STREQ(error, "card gone");
    EXPECT_GE(elapsed, 0);
}

} // namespace
} // namespace kora::test
