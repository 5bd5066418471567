// The argument texts of the relay module steps: bank letter, bit list, direction, state and
// compare value, each checked in the defining phase with its own code and message.
#pragma once

#include "frame/errors.h"

#include <array>
#include <cstdint>

namespace kora::urm {

constexpr int kListPlaces = 8;
constexpr int32_t kUnusedPlace = -1;

// The bits of a list in the given order, unused places kUnusedPlace.
using BitList = std::array<int32_t, kListPlaces>;

// Bank 0..3 from the first character 'A'..'D'; false with 0x81000002 and the bank message.
bool ParseBank(StepError& error, const char* bank, int32_t* out);

// Splits the text at commas (empty parts dropped) into up to eight bits 0..7; false with
// 0x81000003 and the message of the first thing wrong. A negative bit is refused like one above
// 7: the list's unused places are -1, so letting it through would silently switch nothing.
bool ParseBitList(StepError& error, const char* bits, BitList* out);

// GET_URM's single bit: 0..7, else 0x81000003 with the bit message.
bool CheckBit(StepError& error, long bit);

// "ON" expects 1, "OFF" 0 (exactly, case-sensitive); else 0x81000003 with the compare message.
bool ParseCompareValue(StepError& error, const char* text, int32_t* expected);

// Exactly "IN" is input mode 0 ("INPUT"); anything else output mode 1 ("OUTPUT").
int32_t DirectionMode(const char* text, const char** word);
// Exactly "ON" is state 1 ("ON"); anything else 0 ("OFF").
int32_t SwitchState(const char* text, const char** word);

} // namespace kora::urm
