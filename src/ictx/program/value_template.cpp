#include "ictx/program/value_template.h"

#include "frame/errors.h"
#include "frame/text.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace kora {

namespace {

constexpr const char* kBadDefinition = "Invalid PARAMETER DEFINITION: \"%s=...\"";
constexpr const char* kBadGroupName = "%s: Invalid GROUP NAME (#...)";

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// A field in double quotes, from the next quote to the following one (or the end); what stands
// between the closing quote and the next comma is passed over.
bool QuotedField(const char*& p, std::string_view& field) {
    const char* open = FindChar(p, '"');
    if (!open) {
        return false;
    }
    const char* close = FindChar(open + 1, '"');
    const char* end = close ? close : open + 1 + std::strlen(open + 1);
    field = TrimRight(std::string_view(open + 1, static_cast<std::size_t>(end - open - 1)));
    p = close ? close + 1 : end;
    while (*p && *p != ',') {
        ++p;
    }
    return true;
}

// A field up to the next comma; the comma before it, if any, separates it from the last.
bool UnquotedField(const char*& p, bool& separated, std::string_view& field) {
    while (IsBlank(*p)) {
        ++p;
    }
    if (separated && *p == ',') {
        ++p;
        while (IsBlank(*p)) {
            ++p;
        }
    }
    if (*p == 0) {
        return false;
    }
    const char* start = p;
    while (*p && *p != ',') {
        ++p;
    }
    field = TrimRight(std::string_view(start, static_cast<std::size_t>(p - start)));
    separated = true;
    return true;
}

// Numbers of a field, which ends before a comma, a blank or the end of the line: read within
// the field by from_chars, as CLocaleAtof and the integer rule would read them in the line.
// Whatever from_chars does not take the same way (a '+', hexadecimal, a value out of range)
// goes to those.
constexpr std::size_t kLongestNumber = 64;

bool PlainNumberStart(std::string_view field) {
    if (field.empty() || field.size() >= kLongestNumber) {
        return false;
    }
    const char c = field[0];
    return (c >= '0' && c <= '9') || c == '-' || c == '.';
}

double FieldReal(std::string_view field) {
    if (PlainNumberStart(field)) {
        const char* last = field.data() + field.size();
        double value = 0.0;
        const auto [end, ec] = std::from_chars(field.data(), last, value);
        if (ec == std::errc() && (end == last || (*end != 'x' && *end != 'X'))) {
            return value;
        }
    }
    return CLocaleAtof(field.data());
}

int32_t FieldInteger(std::string_view field) {
    if (PlainNumberStart(field) && field[0] != '.') {
        const char* last = field.data() + field.size();
        long value = 0;
        const auto [end, ec] = std::from_chars(field.data(), last, value);
        if (ec == std::errc()) {
            if (end != last && (*end == '.' || *end == 'e' || *end == 'E')) {
                return TruncToInt32(FieldReal(field));
            }
            return static_cast<int32_t>(std::clamp<long>(value, INT32_MIN, INT32_MAX));
        }
    }
    return ReadTemplateInteger(field.data());
}

} // namespace

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && IsBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

int32_t ReadTemplateInteger(const char* text) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end && (*end == '.' || *end == 'e' || *end == 'E')) {
        return TruncToInt32(CLocaleAtof(text));
    }
    if (v > INT32_MAX) {
        return INT32_MAX;
    }
    if (v < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(v);
}

bool ReadTemplate(const char* tmpl, const char* keyword, const char* value, TemplateFields& f,
                  char* error) {
    const char* p = value;
    bool separated = false;
    std::size_t i = 0;
    if (tmpl[0] == '+') {
        f.raw = value;
        f.hasRaw = true;
        i = 1;
    }
    for (; tmpl[i]; ++i) {
        const char element = tmpl[i];
        const bool optional = tmpl[i + 1] == '?';
        const bool keep = tmpl[i + 1] == '+';
        std::string_view field;
        bool present;
        if (element == 'P' || element == 's' || element == 'S') {
            present = QuotedField(p, field);
            if (present && element == 'S' && (field.empty() || field[0] != '#')) {
                FormatText(error, kMessageSize, kBadGroupName, keyword);
                return false;
            }
            if (present && f.textCount < 2) {
                f.text[f.textCount] = field;
                f.hasText[f.textCount] = true;
            }
            ++f.textCount;
        } else if (element == 'R' || element == 'L') {
            int n = 0;
            while (UnquotedField(p, separated, field)) {
                if (n < kSubTests) {
                    if (element == 'R') {
                        f.list[n] = FieldReal(field);
                    } else {
                        f.intList[n] = FieldInteger(field);
                    }
                }
                ++n;
            }
            present = n > 0;
            f.listCount = n < kSubTests ? n : kSubTests;
        } else {
            present = UnquotedField(p, separated, field);
            if (present && element == 'r' && f.realCount < 3) {
                f.reals[f.realCount++] = FieldReal(field);
            } else if (present && element == 'l' && f.intCount < 2) {
                f.ints[f.intCount++] = FieldInteger(field);
            } else if (present && element == 'v') {
                char message[kMessageSize];
                if (!ParseValueDefinition(field, &f.value, message, sizeof message)) {
                    FormatText(error, kMessageSize, "%s: %s", message, keyword);
                    return false;
                }
            }
        }
        if (!present && !optional) {
            FormatText(error, kMessageSize, kBadDefinition, keyword);
            return false;
        }
        if (keep) {
            f.raw = field;
            f.hasRaw = present;
        }
        if (optional || keep) {
            ++i;
        }
    }
    return true;
}

} // namespace kora
