#include "bench/channel_table.h"
#include "frame/args.h"

#include <resmgr.h>
#include <resmgr/resmgr_inspect.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace kora {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPhysical = R"([device->MX1]
Type = SM160
ResourceDesc = PXI1::10::INSTR
[device->MX2]
Type = SM160
[device->PSAM1]
Type = PSAM
[device->DMM1]
Type = PSAM_DMM
)";

class ChannelTable : public ::testing::Test {
  protected:
    void SetUp() override {
        resmgr::inspect::Reset();
        dir_ = fs::temp_directory_path() /
               ("kora_channels_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
        bench_.reset(static_cast<BenchRecord*>(std::calloc(1, sizeof(BenchRecord))));
    }
    void TearDown() override {
        int32_t w = 0, e = 0;
        char m[1024];
        RESMGR_Cleanup(0, &w, &e, m);
        resmgr::inspect::Reset();
        fs::remove_all(dir_);
    }
    // Loads a software configuration whose bench "B1" uses the given table section text.
    bool Load(const std::string& table, const std::string& benchKeys = "AppChannelTable = T1\n") {
        std::ofstream(dir_ / "hw.ini") << kPhysical;
        std::ofstream(dir_ / "sw.ini") << "[B1]\n" << benchKeys << "[T1]\n" << table;
        int32_t w = 0, e = 0;
        char m[1024] = {};
        RESMGR_Setup(0, (dir_ / "hw.ini").c_str(), (dir_ / "sw.ini").c_str(), &w, &e, m);
        EXPECT_EQ(e, 0) << m;
        return ReadAppChannelTable(bench_.get(), "B1", error_);
    }
    fs::path dir_;
    std::unique_ptr<BenchRecord, decltype(&std::free)> bench_{nullptr, &std::free};
    StepError error_;
};

TEST_F(ChannelTable, MatrixChannelsFirstSortedWithKeywordList) {
    ASSERT_TRUE(Load("VCC = PSAM1!HI\n"
                     "R2_B = MX1!P17\n"
                     "OTHER = DMM1!IN\n"
                     "R1_A = MX2!P160\n"
                     "GND = MX1!P1\n"))
        << error_.message;
    BenchRecord& b = *bench_;
    ASSERT_EQ(b.channelCount, 5);
    EXPECT_EQ(b.matrixChannelCount, 3);
    struct Expect {
        const char* app;
        int32_t kind, pin;
        const char *device, *pinName;
    } expected[] = {
        {"GND", 1, 0, "MX1", "P1"}, {"R1_A", 1, 159, "MX2", "P160"}, {"R2_B", 1, 16, "MX1", "P17"}};
    for (int i = 0; i < 3; ++i) {
        const ChannelRecord& ch = b.channels[i];
        EXPECT_STREQ(ch.appName, expected[i].app);
        EXPECT_EQ(ch.kind, expected[i].kind);
        EXPECT_EQ(ch.pinIndex, expected[i].pin);
        EXPECT_EQ(ch.channelId, expected[i].pin + 1); // the driver's id of P1 is 1
        EXPECT_EQ(ch.cardIndex, -1);
        EXPECT_STREQ(ch.deviceName, expected[i].device);
        EXPECT_STREQ(ch.pinName, expected[i].pinName);
    }
    // The two other channels follow: PSAM connection kind 2, anything else kind 0.
    int psam = b.channels[3].kind == 2 ? 3 : 4;
    EXPECT_STREQ(b.channels[psam].appName, "VCC");
    EXPECT_EQ(b.channels[7 - psam].kind, 0);
    EXPECT_EQ(b.channels[7 - psam].pinIndex, -1);
    EXPECT_STREQ(b.channelList, "-,GND,R1_A,R2_B");
    EXPECT_EQ(MatchKeyword("R1_A", b.channelList), 3);
    EXPECT_EQ(MatchKeyword("-", b.channelList), 1);
    EXPECT_EQ(MatchKeyword("VCC", b.channelList), 0);
}

TEST_F(ChannelTable, EmptyAndMissingTables) {
    ASSERT_TRUE(Load(""));
    EXPECT_EQ(bench_->channelCount, 0);
    EXPECT_STREQ(bench_->channelList, "-,");
    ASSERT_TRUE(Load("", "SYSTEM_PANEL_ID = 1\n")); // no AppChannelTable key at all
    EXPECT_EQ(bench_->channelCount, 0);
    EXPECT_STREQ(bench_->channelList, "-,");
    // A table that names a section the file lacks is the resource manager's error, not an empty
    // table that would let a misspelt name pass unnoticed.
    EXPECT_FALSE(Load("", "AppChannelTable = T9\n"));
    EXPECT_EQ(error_.code, static_cast<uint32_t>(RESMGR_ERR_SECTION_NOT_FOUND));
    EXPECT_NE(std::string(error_.message).find("\n\nRead 'AppChannelTable' of BENCH \"B1\""),
              std::string::npos);
}

TEST_F(ChannelTable, OnlyPinsAbove160AreRefusedWhenReading) {
    // P0 and X5 name no pin of the card: read as matrix channels without a pin, left out of the
    // keyword list; the matrix set-up refuses them on their card.
    ASSERT_TRUE(Load("A = MX1!P0\nB = MX1!X5\nC = MX1!P160\n")) << error_.message;
    EXPECT_EQ(bench_->matrixChannelCount, 3);
    EXPECT_EQ(bench_->channels[0].pinIndex, 159);
    EXPECT_EQ(bench_->channels[1].pinIndex, -1);
    EXPECT_STREQ(bench_->channelList, "-,C");
}

TEST_F(ChannelTable, BadEntriesAreRefusedWithTheBenchNamed) {
    struct Case {
        const char* table;
        const char* message;
    } cases[] = {
        {"A = MX1P1\n", "Invalid physical channel name <device>!<pin> (MX1P1)"},
        {"A = MX1!\n", "Invalid physical channel name <device>!<pin> (MX1!)"},
        {"A = MX1!P161\n", "\"A\": Invalid physical channel name \"MX1!P161\""},
        {"A = MX1!P99999999999\n", "\"A\": Invalid physical channel name \"MX1!P99999999999\""},
    };
    for (const auto& c : cases) {
        error_.Clear();
        EXPECT_FALSE(Load(c.table)) << c.table;
        EXPECT_EQ(error_.code, 0x81000012u);
        EXPECT_EQ(std::string(error_.message),
                  std::string(c.message) + "\n\nRead 'AppChannelTable' of BENCH \"B1\"");
        EXPECT_EQ(bench_->channelCount, 0);
    }
}

TEST_F(ChannelTable, AtMost5120Channels) {
    std::string table;
    for (int i = 0; i < kMaxChannels + 1; ++i) {
        table += "C" + std::to_string(i) + " = PSAM1!X\n";
    }
    EXPECT_FALSE(Load(table));
    EXPECT_EQ(std::string(error_.message),
              "More than 5120 channels defined\n\nRead 'AppChannelTable' of BENCH \"B1\"");
    table.erase(table.rfind("C5120"));
    error_.Clear();
    EXPECT_TRUE(Load(table)) << error_.message;
    EXPECT_EQ(bench_->channelCount, kMaxChannels);
}

} // namespace
} // namespace kora
