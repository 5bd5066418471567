// System parameters, station items, drives and the network echo as the executive records them.
#include "support/station.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace kora {
namespace {

class SystemParams : public test::StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        rvo().setStation(9, 3);
        ASSERT_EQ(Setup(), 0) << LastAlert();
        rvo().setSysPara({"Limits", "Supply", 0, 0.0, "", 0, "", 0});
        rvo().setSysPara({"Limits", "Count", 0, 0.0, "", 0, "", 0});
        rvo().setSysPara({"Line", "Operator", 0, 0.0, "anna", 0, "the operator", 0});
    }
    long ref_ = 100;
};

TEST_F(SystemParams, RealUnitsFromTheOption) {
    const struct {
        const char* option;
        long unit;
    } cases[] = {{"VDC", 5},   {"VAC", 6},    {"VACDC", 7},  {"VRMS", 8},   {"ADC", 9},
                 {"AAC", 10},  {"AACDC", 11}, {"OHM", 13},   {"FARAD", 14}, {"HENRY", 15},
                 {"SEC", 16},  {"HERTZ", 17}, {"TESLA", 18}, {"PERC", 19},  {"DEG", 20},
                 {"DEGC", 21}, {"DEGF", 22},  {"JOULE", 23}, {"WATT", 24},  {"", 3},
                 {"hertz", 3}, {"ARMS", 3}};
    for (const auto& c : cases) {
        const std::string attr = std::string("RVO|Limits:Supply.") + c.option;
        EXPECT_EQ(SETR_SYSTEM(++ref_, "Set", 0x100, 0, nullptr, attr.c_str(), 1.5, "note"), 0);
        EXPECT_EQ(rvo().sysPara("Limits", "Supply")->unit, c.unit) << attr;
        EXPECT_EQ(lastResult().unit, c.unit) << attr;
        EXPECT_EQ(lastResult().comment, "note"); // the parameter comment stands in for none
    }
    const struct {
        const char* attr;
        long unit;
    } ints[] = {{"RVO|Limits:Count.FAILS", 4}, {"RVO|Limits:Count", 2}, {"RVO|Limits:Count.X", 2}};
    for (const auto& c : ints) {
        EXPECT_EQ(SETI_SYSTEM(++ref_, "Set", 0x100, 0, "c", c.attr, 7, nullptr), 0);
        EXPECT_EQ(rvo().sysPara("Limits", "Count")->unit, c.unit) << c.attr;
        EXPECT_EQ(rvo().sysPara("Limits", "Count")->intValue, 7);
    }
    EXPECT_EQ(SETS_SYSTEM(++ref_, "Set", 0x100, 0, "c", "RVO|Line:Operator", "bob", "new"), 0);
    const auto op = *rvo().sysPara("Line", "Operator");
    EXPECT_EQ(op.stringValue, "bob");
    EXPECT_EQ(op.unit, 0);
    EXPECT_EQ(op.comment, "new");
    EXPECT_EQ(op.written, 'S');
}

TEST_F(SystemParams, WrongNamesAndMissingParameters) {
    const struct {
        const char* attr;
        const char* message;
    } cases[] = {
        {"RVO|Limits:Missing", "PARAMETER not defined"},
        {"RVO|Supply", "RVO|Supply"},   // no section
        {"RVO|Limits:", "RVO|Limits:"}, // no name
        {"CPU|Limits:Supply", "CPU|Limits:Supply"},
        {nullptr, "<NULL>"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SETR_SYSTEM(++ref_, "Set", 0x100, 0, "", c.attr, 1.0, ""), -2);
        EXPECT_NE(LastAlert().find(c.message), std::string::npos) << LastAlert();
        EXPECT_EQ(GETR_SYSTEM(++ref_, "Get", 0x100, 0, "", c.attr, "", nullptr, ""), -2);
        EXPECT_NE(LastAlert().find(c.message), std::string::npos) << LastAlert();
    }
    EXPECT_NE(LastAlert().find("0x81000006"), std::string::npos);
}

TEST_F(SystemParams, ReadBackAgainstLimitsWithTheParametersUnitAndComment) {
    rvo().setSysPara({"Limits", "Supply", 0, 5.02, "", 5, "measured", 0});
    double v = 0;
    EXPECT_EQ(GETR_SYSTEM(++ref_, "Get", 0x100, 0, "step", "RVO|Limits:Supply", "4.75", &v, "5.25"),
              0);
    EXPECT_EQ(v, 5.02);
    auto r = lastResult();
    EXPECT_EQ(r.unit, 5);
    EXPECT_EQ(r.comment, "measured");
    EXPECT_EQ(r.verdict, rvo::Verdict::Pass);
    EXPECT_EQ(GETR_SYSTEM(++ref_, "Get", 0x100, 0, "step", "RVO|Limits:Supply", "5.1", &v, ""), -1);
    EXPECT_EQ(lastResult().verdict, rvo::Verdict::Fail);
}

TEST_F(SystemParams, TextIntoTheCallersBuffer) {
    rvo().setSysPara({"Line", "Operator", 0, 0.0, "anna", 0, "", 0});
    char buffer[8] = "xxxxxxx";
    EXPECT_EQ(GETS_SYSTEM(++ref_, "Get", 0x100, 0, "", "RVO|Line:Operator", buffer, 4, nullptr),
              -2);
    EXPECT_NE(LastAlert().find("Insufficient buffer size"), std::string::npos);
    EXPECT_STREQ(buffer, "xxxxxxx");
    EXPECT_EQ(GETS_SYSTEM(++ref_, "Get", 0x100, 0, "", "RVO|Line:Operator", buffer, 5, "anna"), 0);
    EXPECT_STREQ(buffer, "anna");
    EXPECT_EQ(lastResult().verdict, rvo::Verdict::Pass);
    EXPECT_EQ(GETS_SYSTEM(++ref_, "Get", 0x100, 0, "", "RVO|Line:Operator", nullptr, 0, "bob"), -1);
    EXPECT_EQ(lastResult().verdict, rvo::Verdict::Fail);
}

TEST_F(SystemParams, SerialNumberOfTheUnitUnderTest) {
    rvo().setUut(3, 42, "SN-77"); // nest of the station's item index
    char buffer[32] = {};
    EXPECT_EQ(GETS_SYSTEM(++ref_, "Get", 0x100, 0, "", "RVO|DUT.SERIALNO", buffer, 32, "SN-77"), 0);
    EXPECT_STREQ(buffer, "SN-77");
    for (const char* bad : {"RVO|DUT.SERIAL", "RVO|UUT.SERIALNO", "RVO|DUT"}) {
        EXPECT_EQ(GETS_SYSTEM(++ref_, "Get", 0x100, 0, "", bad, buffer, 32, nullptr), -2) << bad;
    }
}

TEST_F(SystemParams, StationItems) {
    rvo().setFixturePosition(4);
    rvo().setSysPara({"Limits", "Count", 12, 0.0, "", 2, "", 0});
    const struct {
        const char* attr;
        long value;
    } cases[] = {{"RVO|STATION_ID", 9},
                 {"RVO|ITEM_INDEX", 3},
                 {"RVO|PANEL_ID", 1}, // SYSTEM_PANEL_ID of the bench
                 {"RVO|FIXTURE_POS", 4},
                 {"RVO|Limits:Count", 12}};
    for (const auto& c : cases) {
        long v = -1;
        EXPECT_EQ(GETI_SYSTEM(++ref_, "Get", 0x100, 0, "", c.attr, &v, -1, c.value), 0) << c.attr;
        EXPECT_EQ(v, c.value) << c.attr;
        EXPECT_EQ(lastResult().verdict, rvo::Verdict::Pass) << c.attr;
    }
    long v = 0;
    EXPECT_EQ(GETI_SYSTEM(++ref_, "Get", 0x100, 0, "", "RVO|STATION_ID", &v, 0, 0), 0);
    EXPECT_EQ(lastResult().verdict, rvo::Verdict::Done); // no mask: reported only
    for (const char* bad : {"RVO|STATION", "CPU|STATION_ID", "RVO|Limits:", "HOST|DRIVES"}) {
        EXPECT_EQ(GETI_SYSTEM(++ref_, "Get", 0x100, 0, "", bad, &v, 0, 0), -2) << bad;
        EXPECT_NE(LastAlert().find(bad), std::string::npos);
    }
}

TEST_F(SystemParams, DrivesOfTheHostsMap) {
    const std::string dir = ::testing::TempDir();
    ::setenv("KORA_DRIVES", ("C=/;D=" + dir + ";E=/no/such/dir;x").c_str(), 1);
    long n = 0;
    EXPECT_EQ(GETI_SYSTEM(++ref_, "Drives", 0x100, 0, "", "CPU|DRIVES", &n, 0, 0), 0);
    EXPECT_EQ(n, 2);
    auto all = results();
    ASSERT_GE(all.size(), 3u);
    EXPECT_EQ(all[all.size() - 3].resultNo, 100);
    EXPECT_EQ(all[all.size() - 3].name, "/ (C:\\)");
    EXPECT_EQ(all[all.size() - 2].resultNo, 101);
    EXPECT_EQ(all[all.size() - 2].text.substr(all[all.size() - 2].text.size() - 3), " GB");
    EXPECT_EQ(GETI_SYSTEM(++ref_, "Vol", 0x100, 0, "", "CPU|:DRIVE_VOL.D:\\", &n, 0, 0), 0);
    all = results();
    EXPECT_EQ(all[all.size() - 3].name, "Drive");
    EXPECT_EQ(all[all.size() - 3].text,
              dir.substr(0, dir.size() - (dir.back() == '/')) + " (D:\\)");
    EXPECT_EQ(all[all.size() - 2].name, "FreeSpace (GB)");
    EXPECT_EQ(n, 1);
    EXPECT_EQ(GETI_SYSTEM(++ref_, "Vol", 0x100, 0, "", "CPU|:DRIVE_VOL.E:\\", &n, 0, 0), -1);
    EXPECT_EQ(n, 0);
    ::unsetenv("KORA_DRIVES");
}

TEST_F(SystemParams, EchoOverLoopback) {
    long v = -1;
    const long first =
        GETI_SYSTEM(++ref_, "Echo", 0x100, 0, "", "CPU|127.0.0.1:NW_ECHO.abcd", &v, -1, 1);
    EXPECT_EQ(first,
              GETI_SYSTEM(ref_, "Echo", 0x100, 0, "", "CPU|127.0.0.1:NW_ECHO.abcd", &v, -1, 1));
    const auto* status = rvo().attribute(ref_, "EchoStatus");
    ASSERT_NE(status, nullptr);
    if (*static_cast<const int32_t*>(status->address) == 0) {
        EXPECT_EQ(v, 4); // every byte came back
    } else {
        // The host refuses ICMP sockets: no error of the step, the reason in the log.
        EXPECT_EQ(v, 0);
        bool logged = false;
        for (const auto& line : Log()) {
            logged = logged || line.find("NW_ECHO") != std::string::npos;
        }
        EXPECT_TRUE(logged);
    }
    EXPECT_EQ(GETI_SYSTEM(++ref_, "Echo", 0x100, 0, "", "CPU|127.0.0.1:NW_ECHO", &v, 0, 0), -2);
}

} // namespace
} // namespace kora
