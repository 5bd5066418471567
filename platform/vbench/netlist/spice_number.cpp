#include <vbench/netlist/spice_number.h>

#include <cctype>
#include <charconv>
#include <cmath>

namespace kora::vbench {

namespace {

char Lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (Lower(text[i]) != prefix[i]) {
            return false;
        }
    }
    return true;
}

// Scale factor of the letters after the number; the longer names come first so that "meg" is not
// read as milli and "mil" not as milli either.
double ScaleOf(std::string_view suffix) {
    if (suffix.empty()) {
        return 1;
    }
    if (StartsWithNoCase(suffix, "meg")) {
        return 1e6;
    }
    if (StartsWithNoCase(suffix, "mil")) {
        return 25.4e-6;
    }
    switch (Lower(suffix[0])) {
    case 't':
        return 1e12;
    case 'g':
        return 1e9;
    case 'k':
        return 1e3;
    case 'm':
        return 1e-3;
    case 'u':
        return 1e-6;
    case 'n':
        return 1e-9;
    case 'p':
        return 1e-12;
    case 'f':
        return 1e-15;
    default:
        return 1; // unit letters only ("V", "Ohm", "A", "Hz")
    }
}

} // namespace

std::optional<double> ParseSpiceNumber(std::string_view text) {
    std::size_t pos = 0;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    if (pos >= text.size() ||
        !(std::isdigit(static_cast<unsigned char>(text[pos])) || text[pos] == '.')) {
        return std::nullopt;
    }
    double value = 0;
    const char* begin = text.data() + pos;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(begin, end, value, std::chars_format::general);
    if (ec != std::errc() || ptr == begin) {
        return std::nullopt;
    }
    std::string_view suffix(ptr, static_cast<std::size_t>(end - ptr));
    for (char c : suffix) {
        if (!std::isalpha(static_cast<unsigned char>(c))) {
            return std::nullopt; // "1k5", "3.3.3": not a SPICE number
        }
    }
    value *= ScaleOf(suffix);
    if (!std::isfinite(value)) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

} // namespace kora::vbench
