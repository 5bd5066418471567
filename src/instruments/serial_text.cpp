#include "instruments/serial_text.h"

#include <cstdio>
#include <cstring>

namespace kora {
namespace {

constexpr std::size_t kDisplayLimit = 250;
constexpr std::size_t kCommaKept = 84;
constexpr const char* kMore = "...";

} // namespace

SerialFormatCheck CheckSerialFormat(const char* text, SerialFormat* format) {
    const char* t = text ? text : "";
    const std::size_t n = std::strlen(t);
    auto at = [&](std::size_t i) { return i < n ? t[i] : '\0'; };
    if (at(0) < '5' || at(0) > '8') {
        return SerialFormatCheck::DataBits;
    }
    if (at(1) != 'B') {
        return SerialFormatCheck::MissingLetter;
    }
    static constexpr const char* kParities = "NOE";
    const char* parity = at(2) ? std::strchr(kParities, at(2)) : nullptr;
    if (!parity) {
        return SerialFormatCheck::Parity;
    }
    if (at(3) != 'P') {
        return SerialFormatCheck::MissingLetter;
    }
    // '1' one stop bit, '2' two, '3' one and a half, as the control block codes them.
    static constexpr uint8_t kStopCodes[] = {0, 2, 1};
    if (at(4) < '1' || at(4) > '3') {
        return SerialFormatCheck::StopBits;
    }
    if (at(5) != 'S') {
        return SerialFormatCheck::MissingLetter;
    }
    format->dataBits = static_cast<uint8_t>(at(0) - '0');
    format->parity = static_cast<uint8_t>(parity - kParities);
    format->stopBits = kStopCodes[at(4) - '1'];
    return SerialFormatCheck::Ok;
}

void FormatByteDisplay(const unsigned char* bytes, std::size_t count, char* out) {
    std::size_t len = 0;
    std::size_t shown = 0;
    out[0] = 0;
    for (; shown < count; ++shown) {
        if (len > kDisplayLimit) {
            std::memcpy(out + len, kMore, std::strlen(kMore) + 1);
            return;
        }
        std::snprintf(out + len, kByteDisplaySize - len, "%02X,", bytes[shown]);
        len += 3;
    }
    if (shown > 0 && shown < kCommaKept) {
        out[len - 1] = 0;
    }
}

} // namespace kora
