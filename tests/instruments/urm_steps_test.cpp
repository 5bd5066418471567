// The relay module steps: the bit-list parser and every argument message, the sub-results of a
// list with their names and result codes, GET_URM's comparison, and a relay contact of the
// example station switching a load of the powered board in virtual time.
#include "instruments/urm_args.h"
#include "support/station.h"

#include <vbench/modules/psu.h>
#include <vbench/modules/urm.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace kora {
namespace {

TEST(UrmArgs, BitListsAndTheirMessages) {
    const std::string range =
        "You passed a value greater than 7. Only values from 0 to 7 are allowed!";
    struct Case {
        const char* text;
        std::vector<int32_t> bits; // the used places, in order
        std::string message;       // "" when accepted
    } cases[] = {
        {"0,3,7", {0, 3, 7}, ""},
        {"1,,2", {1, 2}, ""},
        {",5, 6 ,", {5, 6}, ""},
        {"7,6,5,4,3,2,1,0", {7, 6, 5, 4, 3, 2, 1, 0}, ""},
        {nullptr, {}, "You did not pass any bits to set!"},
        {"", {}, "You did not pass any valid bits to set. The bits must be separated by commas!"},
        {",,", {}, "You did not pass any valid bits to set. The bits must be separated by commas!"},
        {"0,1,2,3,4,5,6,7,0",
         {},
         "You have passed more than 8 bits. Only 8 bits are allowed (0...7)!"},
        {"8", {}, range},
        {"1,x", {}, range},
        {"-1", {}, range},
        {"2 3", {}, range},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "<null>");
        StepError error;
        urm::BitList list;
        const bool ok = urm::ParseBitList(error, c.text, &list);
        EXPECT_EQ(ok, c.message.empty());
        EXPECT_EQ(error.message, c.message);
        EXPECT_EQ(error.code, c.message.empty() ? 0u : 0x81000003u);
        std::vector<int32_t> used;
        for (int32_t bit : list) {
            if (bit != urm::kUnusedPlace) {
                used.push_back(bit);
            }
        }
        EXPECT_EQ(used, c.bits);
    }
}

class UrmSteps : public test::StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        ASSERT_EQ(Setup(), 0) << LastAlert();
        bench_->journal().clear();
    }
    long Config(const char* bank, const char* bits, const char* direction) {
        return CONFIG_URM(++ref_, "Config", 0x100, 0, "cfg", "URM_1", bank, bits, direction);
    }
    long Set(const char* bank, const char* bits, const char* state,
             const char* devChanAttr = "URM_1") {
        return SET_URM(++ref_, "Set", 0x100, 0, "set", devChanAttr, bank, bits, state);
    }
    long Get(const char* bank, long bit, const char* compare, long* value = nullptr) {
        return GET_URM(++ref_, "Get", 0x100, 0, "get", "URM_1", bank, bit, compare, value);
    }
    long ref_ = 300;
};

TEST_F(UrmSteps, ListStepsReportOneSubResultPerBit) {
    ASSERT_EQ(Config("B", "0,3,7", "OUT"), 0) << LastAlert();
    ASSERT_EQ(Set("B", "0,3,7", "ON"), 0) << LastAlert();
    const auto all = results();
    std::vector<std::string> seen;
    for (const auto& r : all) {
        if (r.stepName != "Config" && r.stepName != "Set") {
            continue;
        }
        seen.push_back(std::to_string(r.resultNo) + " " + r.name + " " +
                       std::to_string(r.lineCode) + " " + r.lowOp);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "0 Config 49152 ", "1 Set bit B0 to OUTPUT 50944 ==",
                        "2 Set bit B3 to OUTPUT 50944 ==", "3 Set bit B7 to OUTPUT 50944 ==",
                        "0 Set 77312 ", "1 Set bit B0 to ON 79104 ==",
                        "2 Set bit B3 to ON 79104 ==", "3 Set bit B7 to ON 79104 =="}));
    std::vector<std::string> calls;
    for (const auto& e : bench_->journal().entries()) {
        if (e.interface == "VX_Urm") {
            calls.push_back(e.function + "(" + e.arguments.substr(e.arguments.find(", ") + 2) +
                            ")");
        }
    }
    EXPECT_EQ(calls,
              (std::vector<std::string>{"VX_Urm_Set_Mode(1, 0, 1)", "VX_Urm_Set_Mode(1, 3, 1)",
                                        "VX_Urm_Set_Mode(1, 7, 1)", "VX_Urm_Set(1, 0, 1)",
                                        "VX_Urm_Set(1, 3, 1)", "VX_Urm_Set(1, 7, 1)"}));
    // Anything but "IN" is an output, anything but "ON" is off.
    ASSERT_EQ(Set("B", "3", "on"), 0);
    EXPECT_EQ(lastResult().name, "Set bit B3 to OFF");
    long value = -1;
    ASSERT_EQ(Get("B", 7, "ON", &value), 0);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(lastResult().verdict, rvo::Verdict::Pass);
    EXPECT_EQ(lastResult().lineCode, 0x1A600);
    EXPECT_EQ(Get("B", 3, "ON", &value), -1);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(lastResult().verdict, rvo::Verdict::Fail);
}

TEST_F(UrmSteps, ArgumentErrorsCarryTheirCodeAndMessage) {
    struct Case {
        const char* what;
        std::function<long()> step;
        const char* code;
        const char* message;
    } cases[] = {
        {"bank E", [&] { return Set("E", "1", "ON"); }, "0x81000002",
         "You have passed an invalied value for 'Bank'. Only values from A to D are allowed!"},
        {"no bank", [&] { return Set(nullptr, "1", "ON"); }, "0x81000002",
         "You have passed an invalied value for 'Bank'. Only values from A to D are allowed!"},
        {"bit 8", [&] { return Set("A", "8", "ON"); }, "0x81000003",
         "You passed a value greater than 7. Only values from 0 to 7 are allowed!"},
        {"GET bit 8", [&] { return Get("A", 8, "ON"); }, "0x81000003",
         "You passed an invalid value for a Bit. Only values from 0 to 7 are allowed!"},
        {"compare in lower case", [&] { return Get("A", 1, "on"); }, "0x81000003",
         "You passed an invalid value for a compare value. Only 'ON' or 'OFF' are allowed!"},
        {"no such module", [&] { return Set("A", "1", "ON", "URM_9"); }, "0x81000007", "URM_9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.step(), -2);
        const std::string alert = LastAlert();
        EXPECT_NE(alert.find(c.code), std::string::npos) << alert;
        EXPECT_NE(alert.find(c.message), std::string::npos) << alert;
    }
    EXPECT_EQ(bench_->journal().count("VX_Urm_Set"), 0u);
}

// Bank A bit 0 of URM_1 closes a contact from load_sw to ground: RSW (220 ohm from vcc) then
// loads the supply, and only while the bit is an output and on.
TEST_F(UrmSteps, ContactSwitchesTheBoardsLoadAfterItsOperateTime) {
    ASSERT_EQ(PowerBoard(5), 0) << LastAlert();
    auto& supply = vbench::PsuOf(*bench_, "SUPPLY_A6");
    const double idle = supply.trueCurrent(0);
    ASSERT_EQ(Set("A", "0", "ON"), 0) << LastAlert();
    EXPECT_NEAR(supply.trueCurrent(0), idle, 1e-9) << "an input does not close its contact";
    ASSERT_EQ(Config("A", "0", "OUT"), 0);
    EXPECT_TRUE(vbench::UrmOf(*bench_, "URM_1").contactClosed(0, 0));
    EXPECT_NEAR(supply.trueCurrent(0) - idle, 5.0 / (220 + 0.08), 2e-5);
    const double before = bench_->clock().seconds();
    ASSERT_EQ(Set("A", "0", "OFF"), 0);
    EXPECT_NEAR(bench_->clock().seconds() - before, 4e-3, 1e-9);
    EXPECT_NEAR(supply.trueCurrent(0), idle, 1e-9);
    // Switching a bit without a contact, or to the state it has, takes no time.
    const double after = bench_->clock().seconds();
    ASSERT_EQ(Set("A", "0,1", "OFF"), 0);
    EXPECT_EQ(bench_->clock().seconds(), after);
}

// A relay a program left switched on is open again when the next program sets up: its board is
// not loaded by what the last one left.
TEST_F(UrmSteps, NextProgramStartsWithTheRelaysOpen) {
    auto& urm = vbench::UrmOf(*bench_, "URM_1");
    ASSERT_EQ(Config("A", "0", "OUT"), 0) << LastAlert();
    ASSERT_EQ(Set("A", "0", "ON"), 0) << LastAlert();
    ASSERT_EQ(Cleanup(nullptr), 0) << LastAlert();
    EXPECT_TRUE(urm.contactClosed(0, 0)) << "closing leaves the relays as they are";

    const double before = bench_->clock().seconds();
    ASSERT_EQ(Setup(), 0) << LastAlert();
    EXPECT_FALSE(urm.contactClosed(0, 0));
    EXPECT_EQ(urm.mode(0, 0), vbench::UrmModule::kInput);
    EXPECT_GE(bench_->clock().seconds() - before, 4e-3) << "the contact took its operate time";
    long value = -1;
    EXPECT_EQ(Get("A", 0, "OFF", &value), 0);
    EXPECT_EQ(value, 0);
}

// A contact key the station cannot wire makes the module fail to open, as missing hardware would.
class UrmStation : public test::StationTest {};

TEST_F(UrmStation, ContactKeysTheStationCannotWire) {
    for (const char* key :
         {"ContactA0 = nowhere, 0", "ContactA0 = load_sw, load_sw", "ContactA8 = load_sw, 0",
          "ContactE0 = load_sw, 0", "ContactA0 = load_sw"}) {
        SCOPED_TRACE(key);
        UseStation(EditedStation("hardware.ini", "ContactA0 = load_sw, 0", key));
        EXPECT_EQ(Setup(), -2);
        EXPECT_NE(LastAlert().find("0xBFFA4034"), std::string::npos) << LastAlert();
        FreeBenchContext();
        rvo().reset();
    }
}

} // namespace
} // namespace kora
