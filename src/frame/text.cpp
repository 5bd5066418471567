#include "text.h"

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <locale.h>

namespace kora {

std::size_t CopyText(char* dst, std::size_t size, const char* src) {
    return CopyText(dst, size, src ? std::string_view(src) : std::string_view());
}

std::size_t CopyText(char* dst, std::size_t size, std::string_view src) {
    if (!dst || size == 0) {
        return 0;
    }
    std::size_t n = src.size() < size - 1 ? src.size() : size - 1;
    if (n) {
        std::memmove(dst, src.data(), n);
    }
    dst[n] = 0;
    return n;
}

std::size_t AppendText(char* dst, std::size_t size, std::string_view src) {
    if (!dst || size == 0) {
        return 0;
    }
    std::size_t len = strnlen(dst, size - 1);
    return len + CopyText(dst + len, size - len, src);
}

std::size_t FormatText(char* dst, std::size_t size, const char* format, ...) {
    if (!dst || size == 0) {
        return 0;
    }
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(dst, size, format, args);
    va_end(args);
    if (n < 0) {
        dst[0] = 0;
        return 0;
    }
    return static_cast<std::size_t>(n) < size ? static_cast<std::size_t>(n) : size - 1;
}

namespace {
locale_t cLocale() {
    static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}
} // namespace

double CLocaleAtof(const char* text) {
    if (!text) {
        return 0.0;
    }
    // from_chars reads the plain decimal forms several times faster than strtod; what it does
    // not take the same way (a sign '+', leading blanks, hexadecimal, a value out of range) goes
    // to strtod, so the value is always strtod's.
    const char c = text[0];
    if ((c >= '0' && c <= '9') || c == '-' || c == '.') {
        // Numbers are read from within longer lines: look no further than any number reaches.
        constexpr std::size_t kLongestNumber = 64;
        const std::size_t length = strnlen(text, kLongestNumber);
        double value = 0.0;
        const auto [end, ec] = std::from_chars(text, text + length, value);
        if (ec == std::errc() && *end != 'x' && *end != 'X' && length < kLongestNumber) {
            return value;
        }
    }
    return strtod_l(text, nullptr, cLocale());
}

long CLocaleAtol(const char* text) {
    if (!text) {
        return 0;
    }
    // atol stops at the first character that is not a digit; the sign and blanks lead.
    return strtol_l(text, nullptr, 10, cLocale());
}

int32_t TruncToInt32(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    if (value >= 2147483647.0) {
        return std::numeric_limits<int32_t>::max();
    }
    if (value <= -2147483648.0) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(value);
}

void TrimBlanks(char* text) {
    if (!text) {
        return;
    }
    std::size_t start = 0;
    while (text[start] == ' ' || text[start] == '\t') {
        ++start;
    }
    std::size_t end = std::strlen(text + start) + start;
    while (end > start && (text[end - 1] == ' ' || text[end - 1] == '\t')) {
        --end;
    }
    std::memmove(text, text + start, end - start);
    text[end - start] = 0;
}

} // namespace kora
