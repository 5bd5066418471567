// The fixture cartridges' signal groups: what reaches the card library, what comes back.
#include "support/station.h"

#include <ucm_fixture.h>

#include <gtest/gtest.h>

#include <string>

namespace kora {
namespace {

class FixtureIo : public test::StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        ASSERT_EQ(Setup(), 0) << LastAlert();
        bench_->journal().clear();
    }
    std::string LastCall(const char* function) const {
        const auto calls = bench_->journal().calls(function);
        return calls.empty() ? "" : calls.back().arguments;
    }
    long ref_ = 100;
};

TEST_F(FixtureIo, OutputGroupsReachTheirBits) {
    const struct {
        const char* attr;
        long mask, value;
        const char* function; // the output kind written last
        uint16_t wantMask, wantValue;
    } cases[] = {
        {"SSC|ISOOUT", 0xFFFF, 0x1234, "UCM_SetIsolatedOUT", 0xFFFF, 0x1234},
        {"SSC|HPSWITCH", 0xFF, 0x0F, "UCM_SetOpenDrainOUT", 0x1FE0, 0x01E0},
        {"SSC|CH3:HPSWITCH", 0xFF, 0xFF, "UCM_SetOpenDrainOUT", 0x0080, 0x0080},
        {"SSC|GND_NO", 1, 1, "UCM_SetOpenDrainOUT", 0x0010, 0x0010},
        {"SSC|VFSWITCH", 7, 5, "UCM_SetOpenDrainOUT", 0xE000, 0xA000},
        // Bit 3 of the enable field is active low.
        {"SSC|VFENABLE", 7, 7, "UCM_SetOpenDrainOUT", 0x000E, 0x0006},
        {"SSC|VFENABLE", 7, 0, "UCM_SetOpenDrainOUT", 0x000E, 0x0008},
        {"VPC|PNEUMATIC", 0xFF, 0x81, "UCM_SetIsolatedOUT", 0x01FE, 0x0102},
        {"VPC|VACUUM", 1, 1, "UCM_SetIsolatedOUT", 0x0001, 0x0001},
        {"VPC|ACTUATOR", 0x7F, 0x7F, "UCM_SetIsolatedOUT", 0xF600, 0xF600},
        // A channel addresses one bit of the field; the values stay aligned to the field.
        {"VPC|CH2:ACTUATOR", 0x7F, 0x02, "UCM_SetIsolatedOUT", 0x0400, 0x0400},
        {"VPC|CH2:ACTUATOR", 0x7F, 0x01, "UCM_SetIsolatedOUT", 0x0400, 0x0000},
        {"VPC|CH2:ACTUATOR", 0x7F, 0x02, "UCM_SetIsolatedOUT", 0x0400, 0x0400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.attr);
        bench_->journal().clear();
        EXPECT_EQ(SET_SYSTEM(++ref_, "Set", 0x100, 0, "", c.attr, c.mask, c.value), 0)
            << LastAlert();
        char expected[64];
        std::snprintf(expected, sizeof expected, ", 0x%x, 0x%x", c.wantMask, c.wantValue);
        EXPECT_NE(LastCall(c.function).find(expected), std::string::npos)
            << LastCall(c.function) << " / " << expected;
        EXPECT_EQ(lastResult().valueInt, c.wantValue);
    }
    // The VPC groups drive both output kinds the same way.
    EXPECT_EQ(bench_->journal().calls("UCM_SetOpenDrainOUT").size(), 1u);
    EXPECT_EQ(bench_->journal().calls("UCM_SetIsolatedOUT").size(), 1u);
    const auto out = drivers::ucm::FixtureOutputs("VPC");
    ASSERT_TRUE(out);
    EXPECT_EQ(out->isolated & 0x0400, 0x0400);
    EXPECT_EQ(out->openDrain & 0x0400, 0x0400);
}

TEST_F(FixtureIo, InputsAndReadBack) {
    ASSERT_TRUE(drivers::ucm::SetFixtureInputs("SSC", 0x8005, 0xFFDF)); // power fail on bit 5
    ASSERT_TRUE(drivers::ucm::SetFixtureInputs("VPC", 0x0006, 0xFFFF));
    // The actuator field has no bit 11: bit 2 of the value is lost there.
    ASSERT_EQ(SET_SYSTEM(++ref_, "Set", 0x100, 0, "", "VPC|ACTUATOR", 0x7F, 0x0D), 0);
    const struct {
        const char* attr;
        long value;
    } cases[] = {
        {"SSC|ISOIN", 0x8005},      {"SSC|CH3:ISOIN", 4},        {"SSC|CH2:ISOIN", 0},
        {"SSC|PWRFAIL", 0x2},       {"VPC|VACUUM.IN", 0},        {"VPC|PNEUMATIC.IN", 0x3},
        {"VPC|ACTUATOR.OUT", 0x09}, {"VPC|CH1:ACTUATOR.OUT", 1}, {"VPC|CH4:ACTUATOR.OUT", 8},
        {"VPC|ACTUATOR.IN", 0},
    };
    for (const auto& c : cases) {
        long v = -1;
        EXPECT_EQ(GET_SYSTEM(++ref_, "Get", 0x100, 0, "", c.attr, &v, 0xFFFF, c.value), 0)
            << c.attr << " " << LastAlert();
        EXPECT_EQ(v, c.value) << c.attr;
    }
    // All status bits set: no power fail.
    ASSERT_TRUE(drivers::ucm::SetFixtureInputs("SSC", 0, 0xFFFF));
    long v = -1;
    EXPECT_EQ(GET_SYSTEM(++ref_, "Get", 0x100, 0, "", "SSC|PWRFAIL", &v, 0, 0), 0);
    EXPECT_EQ(v, 0);
    // Only the masked bits are compared.
    ASSERT_TRUE(drivers::ucm::SetFixtureInputs("SSC", 0x00F1, 0xFFFF));
    EXPECT_EQ(GET_SYSTEM(++ref_, "Get", 0x100, 0, "", "SSC|ISOIN", &v, 0x000F, 0x0001), 0);
    EXPECT_EQ(GET_SYSTEM(++ref_, "Get", 0x100, 0, "", "SSC|ISOIN", &v, 0x00FF, 0x0001), -1);
}

TEST_F(FixtureIo, RefusedGroupsAndMissingCartridges) {
    for (const char* bad : {"VPC|VACUUM", "VPC|VACUUM.X", "SSC|ISOOUT.IN", "XYZ|ISOIN",
                            "SSC|CH17:ISOIN", "VPC|CH3:ACTUATOR.IN", "VCC|PNEUMATIC.IN"}) {
        EXPECT_EQ(GET_SYSTEM(++ref_, "Get", 0x100, 0, "", bad, nullptr, 0, 0), -2) << bad;
        EXPECT_NE(LastAlert().find("0x81000006"), std::string::npos) << bad;
    }
    for (const char* bad : {"SSC|ISOIN", "SSC|CH2:GND_NO", "ACC|VACUUM", "SSC|PWRFAIL"}) {
        EXPECT_EQ(SET_SYSTEM(++ref_, "Set", 0x100, 0, "", bad, 1, 1), -2) << bad;
    }
    // The example bench has a VPC only.
    const struct {
        const char* attr;
        const char* message;
    } missing[] = {{"VCC|VACUUM", "NO VACUUM DEVICE INSTALLED => no execution"},
                   {"ACC|PNEUMATIC", "NO PNEUMATIC DEVICE INSTALLED => no execution"}};
    for (const auto& m : missing) {
        EXPECT_EQ(SET_SYSTEM(++ref_, "Set", 0x100, 0, "", m.attr, 1, 1), -2);
        EXPECT_NE(LastAlert().find(m.message), std::string::npos) << LastAlert();
    }
    BenchByIndex(0)->cartridge[kCartridgeVpc].inUse = 0;
    EXPECT_EQ(SET_SYSTEM(++ref_, "Set", 0x100, 0, "", "VPC|ACTUATOR", 1, 1), -2);
    EXPECT_NE(LastAlert().find("NO ACTUATOR DEVICE INSTALLED"), std::string::npos);
}

TEST_F(FixtureIo, CardFailuresCarryTheCardsStatus) {
    bench_->faults().add({"UCM_GetIsolatedIN", bench_->faults().calls("UCM_GetIsolatedIN") + 1,
                          false, -7, "lid sensor cable"});
    EXPECT_EQ(GET_SYSTEM(++ref_, "Get", 0x100, 0, "", "SSC|ISOIN", nullptr, 0, 0), -2);
    EXPECT_NE(LastAlert().find("ERROR# -7"), std::string::npos) << LastAlert();
    EXPECT_NE(LastAlert().find("lid sensor cable"), std::string::npos);
}

} // namespace
} // namespace kora
