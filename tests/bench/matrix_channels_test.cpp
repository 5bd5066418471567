#include "bench/matrix_channels.h"
#include "frame/text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace kora {
namespace {

class MatrixChannels : public ::testing::Test {
  protected:
    void SetUp() override {
        bench_.reset(static_cast<BenchRecord*>(std::calloc(1, sizeof(BenchRecord))));
        Card(0, "MX1");
        Card(1, "MX2");
    }
    void Card(int i, const char* name) {
        bench_->switchCards[i].inUse = 1;
        CopyText(bench_->switchCards[i].name, name);
    }
    ChannelRecord& Channel(const char* app, const char* device, int32_t pin, int32_t kind = 1) {
        ChannelRecord& ch = bench_->channels[bench_->channelCount++];
        CopyText(ch.appName, app);
        CopyText(ch.deviceName, device);
        ch.kind = kind;
        ch.pinIndex = pin;
        ch.cardIndex = -1;
        return ch;
    }
    std::unique_ptr<BenchRecord, decltype(&std::free)> bench_{nullptr, &std::free};
    StepError error_;
};

TEST_F(MatrixChannels, AttachedToTheirCardsWithNumbers) {
    ChannelRecord& a = Channel("A", "MX1", 0);
    ChannelRecord& b = Channel("B", "mx2", 159); // card names match without regard to case
    ChannelRecord& other = Channel("VCC", "PSAM1", -1, 2);
    ASSERT_TRUE(AttachMatrixChannels(bench_.get(), error_)) << error_.message;
    EXPECT_EQ(a.cardIndex, 0);
    EXPECT_EQ(a.channelNumber, 1001);
    EXPECT_EQ(b.cardIndex, 1);
    EXPECT_EQ(b.channelNumber, 2160);
    EXPECT_EQ(other.cardIndex, -1);
    EXPECT_TRUE(PinUsed(bench_->switchCards[0], 0));
    EXPECT_FALSE(PinUsed(bench_->switchCards[0], 1));
    EXPECT_TRUE(PinUsed(bench_->switchCards[1], 159));
    EXPECT_EQ(bench_->switchCards[1].channelCount, 1);
    EXPECT_EQ(bench_->switchCards[1].channels[0], &b);
}

TEST_F(MatrixChannels, SharedPinMakesAliases) {
    ChannelRecord& first = Channel("GND", "MX1", 4);
    ChannelRecord& second = Channel("AGND", "MX1", 4);
    ChannelRecord& third = Channel("DGND", "MX1", 4);
    ChannelRecord& elsewhere = Channel("X", "MX2", 4); // same pin, other card: no alias
    ASSERT_TRUE(AttachMatrixChannels(bench_.get(), error_));
    EXPECT_EQ(bench_->switchCards[0].channelCount, 1);
    EXPECT_EQ(first.aliasCount, 2);
    EXPECT_STREQ(first.aliasText, "|AGND|DGND");
    EXPECT_EQ(second.aliasCount, 1);
    EXPECT_STREQ(second.aliasText, "|GND");
    EXPECT_STREQ(third.aliasText, "|GND");
    EXPECT_EQ(second.channelNumber, first.channelNumber);
    EXPECT_EQ(elsewhere.aliasCount, 0);
    EXPECT_EQ(bench_->aliasCount, 2);
}

TEST_F(MatrixChannels, ErrorsOfTheSetup) {
    Channel("LOST", "MX9", 3);
    EXPECT_FALSE(AttachMatrixChannels(bench_.get(), error_));
    EXPECT_EQ(error_.code, 0x81000012u);
    EXPECT_STREQ(error_.message,
                 "_Setup_MDEVICES: No suitable matrix card for channel (LOST) found");

    bench_->channelCount = 0;
    error_.Clear();
    Channel("BAD", "MX1", 160);
    EXPECT_FALSE(AttachMatrixChannels(bench_.get(), error_));
    EXPECT_STREQ(error_.message, "_Setup_MDEVICES: Invalid matrix channel index (160)");
}

TEST_F(MatrixChannels, AliasTextIsBounded) {
    ChannelRecord& holder = Channel("H", "MX1", 7);
    for (int i = 0; i < 100; ++i) {
        Channel(("ALIAS_NAME_" + std::to_string(i)).c_str(), "MX1", 7);
    }
    ASSERT_TRUE(AttachMatrixChannels(bench_.get(), error_));
    EXPECT_EQ(holder.aliasCount, 100);
    EXPECT_EQ(std::string(holder.aliasText).size(), sizeof holder.aliasText - 1);
}

} // namespace
} // namespace kora
