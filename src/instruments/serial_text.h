// The texts of the serial port steps: the frame format "8BNP1S" and the byte display of binary
// data.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kora {

enum class SerialFormatCheck { Ok, DataBits, MissingLetter, Parity, StopBits };

// Port settings in the device-control block's own codes.
struct SerialFormat {
    uint8_t dataBits; // 5..8
    uint8_t parity;   // 0 none, 1 odd, 2 even
    uint8_t stopBits; // 0 one, 1 one and a half, 2 two
};

// Checks the six characters of a frame format in order (a null text counts as empty) and fills
// `format` when they are right.
SerialFormatCheck CheckSerialFormat(const char* text, SerialFormat* format);

// Size of the byte display, terminator included.
constexpr std::size_t kByteDisplaySize = 256;

// "41,0D,FF": two upper-case hex digits and a comma per byte; past 250 characters "..." ends the
// text before the 85th byte; below 84 bytes shown the last comma goes. `out` holds
// kByteDisplaySize bytes.
void FormatByteDisplay(const unsigned char* bytes, std::size_t count, char* out);

} // namespace kora
