// Pin lists of vector items: names of the bench's channel table separated by ',' or ';'.
#pragma once

#include "ictx/program/component_model.h"

#include <cstdint>
#include <string_view>

namespace kora {

// The valid channel-table entry named `name` (exact, case-sensitive), or null.
const ChannelRecord* FindChannel(const BenchRecord* bench, std::string_view name);

// Splits and resolves `text` into at most `maxPins` pins. "-" is a placeholder, "1" and "0" are
// placeholders with a forced state, "1=NAME" and "0=NAME" force a state on NAME; ';' and the end
// of the list close a group of pins. Marks the channels in `used` when given. Returns 0, or
// kErrResource with the message in `error` (kMessageSize bytes); `count` gets the names read.
uint32_t ResolvePinList(const BenchRecord* bench, const char* text, uint32_t maxPins, PinRef* pins,
                        uint32_t* count, UsedChannels* used, char* error);

} // namespace kora
