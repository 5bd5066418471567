// Bounded text handling for the fixed-size character fields of records and messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kora {

// Copies `src` (null = "") into `dst` of `size` bytes, cutting it to fit and always terminating.
// Returns the number of characters copied. The one way texts enter fixed fields.
std::size_t CopyText(char* dst, std::size_t size, const char* src);
std::size_t CopyText(char* dst, std::size_t size, std::string_view src);

template <std::size_t N> std::size_t CopyText(char (&dst)[N], const char* src) {
    return CopyText(dst, N, src);
}
template <std::size_t N> std::size_t CopyText(char (&dst)[N], std::string_view src) {
    return CopyText(dst, N, src);
}

// Appends `src` to the text in `dst` (size bytes), cut to fit; returns the new length.
std::size_t AppendText(char* dst, std::size_t size, std::string_view src);

// printf-style formatting into a bounded buffer (cut, always terminated); returns the length.
std::size_t FormatText(char* dst, std::size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The text of a possibly null argument, as shown in messages.
inline const char* OrNull(const char* s) {
    return s ? s : "<NULL>";
}
inline const char* OrEmpty(const char* s) {
    return s ? s : "";
}

// Removes leading and trailing blanks and tabs in place.
void TrimBlanks(char* text);

// Numbers follow the C locale's rules whatever the process locale is.
double CLocaleAtof(const char* text);

// strchr for a character other than the terminator, as a plain loop: the fields of a line are
// a few characters long, shorter than the library call's set-up.
inline const char* FindChar(const char* text, char c) {
    for (; *text; ++text) {
        if (*text == c) {
            return text;
        }
    }
    return nullptr;
}
inline char* FindChar(char* text, char c) {
    return const_cast<char*>(FindChar(static_cast<const char*>(text), c));
}
long CLocaleAtol(const char* text);

// Truncation toward zero into 32 bits, saturating where a double does not fit (NaN gives 0).
int32_t TruncToInt32(double value);

} // namespace kora
