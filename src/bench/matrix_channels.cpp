#include "bench/matrix_channels.h"

#include "bench/channel_table.h"
#include "frame/text.h"

#include <strings.h>

namespace kora {

namespace {

constexpr const char* kNoCard = "_Setup_MDEVICES: No suitable matrix card for channel (%s) found";
constexpr const char* kCardFull = "_Setup_MDEVICES: More than 160 channels per card defined";
constexpr const char* kBadIndex = "_Setup_MDEVICES: Invalid matrix channel index (%li)";

int32_t FindCard(const BenchRecord& bench, const char* deviceName) {
    for (int32_t i = 0; i < kSwitchCards; ++i) {
        if (bench.switchCards[i].inUse && strcasecmp(bench.switchCards[i].name, deviceName) == 0) {
            return i;
        }
    }
    return -1;
}

void MakeAliases(BenchRecord& bench, ChannelRecord& holder, ChannelRecord& alias) {
    holder.aliasCount++;
    alias.aliasCount++;
    char entry[80];
    FormatText(entry, sizeof entry, "|%s", alias.appName);
    AppendText(holder.aliasText, sizeof holder.aliasText, entry);
    FormatText(entry, sizeof entry, "|%s", holder.appName);
    AppendText(alias.aliasText, sizeof alias.aliasText, entry);
    bench.aliasCount++;
}

} // namespace

bool AttachMatrixChannels(BenchRecord* bench, StepError& error) {
    ChannelTableChanged();
    for (int32_t i = 0; i < bench->channelCount; ++i) {
        ChannelRecord& ch = bench->channels[i];
        if (ch.kind != 1) {
            continue;
        }
        const int32_t cardIndex = FindCard(*bench, ch.deviceName);
        if (cardIndex < 0) {
            return error.SetF(kErrResource, kNoCard, ch.appName);
        }
        SwitchCardRecord& card = bench->switchCards[cardIndex];
        if (ch.pinIndex < 0 || ch.pinIndex >= kCardPins) {
            return error.SetF(kErrResource, kBadIndex, static_cast<long>(ch.pinIndex));
        }
        ch.cardIndex = cardIndex;
        ch.channelNumber = cardIndex * 1000 + 1001 + ch.pinIndex;
        if (PinUsed(card, ch.pinIndex)) {
            for (int32_t k = 0; k < card.channelCount; ++k) {
                if (card.channels[k]->pinIndex == ch.pinIndex) {
                    MakeAliases(*bench, *card.channels[k], ch);
                    break;
                }
            }
            continue;
        }
        if (card.channelCount >= kCardPins) {
            return error.Set(kErrResource, kCardFull);
        }
        card.channels[card.channelCount++] = &ch;
        card.usedPins[ch.pinIndex / 32] |= 1u << (ch.pinIndex % 32);
    }
    return true;
}

} // namespace kora
