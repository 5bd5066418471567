// Attaching the matrix channels of the application channel table to the bench's switch cards.
#pragma once

#include "bench/bench.h"
#include "frame/errors.h"

namespace kora {

// Attaches every matrix channel to the set-up switch card of its device name: card index,
// channel number (card index * 1000 + 1001 + pin index) and the card's pin bit. A pin that a
// channel of the same card already holds makes the new channel an alias of it. Errors are
// 0x81000012 with the setup's texts.
bool AttachMatrixChannels(BenchRecord* bench, StepError& error);

inline bool PinUsed(const SwitchCardRecord& card, int32_t pin) {
    return (card.usedPins[pin / 32] >> (pin % 32)) & 1u;
}

} // namespace kora
