#include "ictx/program/value_definition.h"

#include "frame/text.h"

namespace kora {

namespace {

constexpr const char* kDigitsZero = "Invalid VALUE DEFINITION (DIGITS=0)";
constexpr const char* kTooManyDigits = "Invalid VALUE DEFINITION (%li DIGITS, MAX=%li)";
constexpr const char* kBadState = "Invalid STATE VALUE (L|H|X|-) definition \"%s\"";
constexpr const char* kBadHex = "Invalid HEX VALUE definition \"%s\"";
constexpr const char* kBadBinary = "Invalid BINARY VALUE definition \"%s\"";
constexpr const char* kBadDecimal = "Invalid DECIMAL VALUE definition \"%s\"";
constexpr uint32_t kMaxDigits = 32;
constexpr std::size_t kShownSize = 1024; // longer definitions are shown cut

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool Fail(char* error, std::size_t size, const char* format, std::string_view text) {
    char shown[kShownSize];
    CopyText(shown, text);
    FormatText(error, size, format, shown);
    return false;
}

int HexNibble(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

} // namespace

bool ParseValueDefinition(std::string_view text, ValueDefinition* out, char* error,
                          std::size_t errorSize) {
    *out = ValueDefinition{};
    char format = 's';
    std::string_view digits = text;
    if (!text.empty() && IsDigit(text[0])) {
        if (text.size() > 1 && (text[1] == 'x' || text[1] == 'b')) {
            format = text[1];
            digits = text.substr(2);
        } else {
            format = 'd';
        }
    }
    if (digits.empty()) {
        FormatText(error, errorSize, "%s", kDigitsZero);
        return false;
    }
    if (digits.size() > kMaxDigits) {
        FormatText(error, errorSize, kTooManyDigits, static_cast<long>(digits.size()),
                   static_cast<long>(kMaxDigits));
        return false;
    }
    uint32_t value = 0, mask = 0;
    for (char c : digits) {
        switch (format) {
        case 's':
        case 'b': {
            uint32_t v, m;
            if (c == '1' || (format == 's' && c == 'H')) {
                v = 1, m = 0;
            } else if (c == '0' || (format == 's' && c == 'L')) {
                v = 0, m = 0;
            } else if (c == 'Z') {
                v = 0, m = 1;
            } else if (c == '-') {
                v = 1, m = 1;
            } else {
                return Fail(error, errorSize, format == 's' ? kBadState : kBadBinary, text);
            }
            value = (value << 1) | v;
            mask = (mask << 1) | m;
            break;
        }
        case 'x': {
            uint32_t v, m;
            int nibble = HexNibble(c);
            if (nibble >= 0) {
                v = static_cast<uint32_t>(nibble), m = 0;
            } else if (c == 'Z') {
                v = 0, m = 0xF;
            } else if (c == '-') {
                v = 0xF, m = 0xF;
            } else {
                return Fail(error, errorSize, kBadHex, text);
            }
            value = (value << 4) | v;
            mask = (mask << 4) | m;
            break;
        }
        default:
            if (!IsDigit(c)) {
                return Fail(error, errorSize, kBadDecimal, text);
            }
            value = value * 10u + static_cast<uint32_t>(c - '0');
            break;
        }
    }
    out->value = value;
    out->mask = mask;
    out->digits = static_cast<uint32_t>(digits.size());
    out->format = format;
    out->states = format == 'd' ? 32u : format == 'x' ? 4u * out->digits : out->digits;
    return true;
}

bool FormatValueDefinition(uint32_t value, uint32_t mask, uint32_t digits, char format, char* out,
                           std::size_t size) {
    char text[80];
    std::size_t n = 0;
    bool representable = true;
    switch (format) {
    case 'b':
    case 's': {
        if (format == 'b') {
            text[n++] = '0';
            text[n++] = 'b';
        }
        const uint32_t count = digits > kMaxDigits ? kMaxDigits : digits;
        for (uint32_t i = count; i-- > 0;) {
            const bool v = (value >> i) & 1u;
            if ((mask >> i) & 1u) {
                text[n++] = v ? '-' : 'Z';
            } else if (format == 'b') {
                text[n++] = v ? '1' : '0';
            } else {
                text[n++] = v ? 'H' : 'L';
            }
        }
        text[n] = 0;
        break;
    }
    case 'x': {
        text[n++] = '0';
        text[n++] = 'x';
        const uint32_t count = digits > 8 ? 8 : digits;
        for (uint32_t i = count; i-- > 0;) {
            const uint32_t v = (value >> (4 * i)) & 0xFu;
            const uint32_t m = (mask >> (4 * i)) & 0xFu;
            char c;
            if (m == 0) {
                c = "0123456789ABCDEF"[v];
            } else if (m == 0xF && v == 0) {
                c = 'Z';
            } else if (m == 0xF && v == 0xF) {
                c = '-';
            } else {
                c = '?';
            }
            representable = representable && c != '?';
            text[n++] = c;
        }
        text[n] = 0;
        break;
    }
    default: {
        const uint32_t bits = digits == 0 || digits >= 32 ? 0xFFFFFFFFu : (1u << digits) - 1u;
        if (mask & bits) {
            FormatText(text, sizeof text, "(TRI=%ld) %ld", static_cast<long>(mask & bits),
                       static_cast<long>(value & bits));
            representable = false;
        } else {
            FormatText(text, sizeof text, "%ld", static_cast<long>(value & bits));
        }
        break;
    }
    }
    CopyText(out, size, text);
    return representable;
}

} // namespace kora
