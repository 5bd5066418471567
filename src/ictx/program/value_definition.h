// Value definitions of digital vector lines: up to 32 pin states written as state letters
// ("HLZ-"), binary ("0b10Z-"), hexadecimal ("0x1F") or decimal ("12"), held as value bits
// (the driven or expected level) and mask bits (high impedance or don't care).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kora {

struct ValueDefinition {
    uint32_t value;
    uint32_t mask;
    uint32_t digits; // characters after the prefix
    uint32_t states; // pin states defined: 32 decimal, 4 per hex digit, 1 per other digit
    char format;     // 's', 'x', 'b' or 'd'
};

// Reads a value definition. On failure returns false with the message in `error` (without the
// ": KEYWORD" the parser appends).
bool ParseValueDefinition(std::string_view text, ValueDefinition* out, char* error,
                          std::size_t errorSize);

// Writes value and mask bits back in `format` ('b', 's', 'x', 'd') with `digits` digits (for 'd'
// the number of value bits shown, 0 or 32 for all). Returns false when the result holds a
// state the format cannot express ('?' in hexadecimal, a masked decimal value).
bool FormatValueDefinition(uint32_t value, uint32_t mask, uint32_t digits, char format, char* out,
                           std::size_t size);

} // namespace kora
