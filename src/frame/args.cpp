#include "args.h"

#include "errors.h"
#include "text.h"

#include <cmath>
#include <cstring>
#include <strings.h>

namespace kora {

namespace {

constexpr const char* kArrayStillUsed = "Array allocation error - '%s' still used";
constexpr const char* kArrayNotFound = "Array '%s' not found";

bool IsOpChar(char c) {
    return c == '<' || c == '=';
}

// Reads "B0101" and "H1F" forms as a signed 32-bit integer, up to the first other character. The
// prefix must be the text's first character: " B101" is no binary number.
bool ReadPrefixedInteger(const char* p, double* value) {
    if (*p != 'B' && *p != 'H') {
        return false;
    }
    const bool binary = *p == 'B';
    uint32_t v = 0;
    for (++p;; ++p) {
        int digit;
        if (binary && (*p == '0' || *p == '1')) {
            digit = *p - '0';
        } else if (!binary && *p >= '0' && *p <= '9') {
            digit = *p - '0';
        } else if (!binary && *p >= 'a' && *p <= 'f') {
            digit = *p - 'a' + 10;
        } else if (!binary && *p >= 'A' && *p <= 'F') {
            digit = *p - 'A' + 10;
        } else {
            break;
        }
        v = v * (binary ? 2u : 16u) + static_cast<uint32_t>(digit);
    }
    *value = static_cast<double>(static_cast<int32_t>(v));
    return true;
}

// A value relative to the nominal when the value part ends in "%", "-" or "+".
double ApplyRelative(double value, char suffix, double nominal) {
    switch (suffix) {
    case '%':
        return nominal + std::fabs(nominal) * value / 100.0;
    case '-':
        return nominal - value;
    case '+':
        return nominal + value;
    default:
        return value;
    }
}

double ReadLimitValue(const char* text, char suffix, double nominal) {
    double v;
    if (!ReadPrefixedInteger(text, &v)) {
        v = ParseScaled(text);
    }
    return ApplyRelative(v, suffix, nominal);
}

} // namespace

int MatchKeyword(const char* text, const char* list, char separator) {
    if (!text || !list) {
        return 0;
    }
    int index = 1;
    const char* t = text;
    bool matching = true;
    for (const char* p = list;; ++p) {
        const char c = *p;
        if (c == ' ' || c == '\t') {
            continue;
        }
        if (c == separator || c == 0) {
            if (matching && *t == 0) {
                return index;
            }
            if (c == 0) {
                return 0;
            }
            ++index;
            t = text;
            matching = true;
            continue;
        }
        if (matching) {
            if (*t == c) {
                ++t;
            } else {
                matching = false;
            }
        }
    }
}

uint32_t SplitDevChanAttr(const char* text, DevChanParts* parts) {
    if (!parts) {
        return 0;
    }
    std::memset(parts, 0, sizeof *parts);
    if (!text) {
        return 0;
    }
    std::size_t segment = 0;
    bool deviceTaken = false, channelTaken = false, nonEmptyClosed = false;
    std::size_t i = 0;
    for (; text[i]; ++i) {
        const char c = text[i];
        const std::size_t len = i - segment;
        if (c == '|' && !deviceTaken && !nonEmptyClosed) {
            if (len >= sizeof parts->device) {
                return kErrLength;
            }
            CopyText(parts->device, std::string_view(text + segment, len));
        } else if (c == ':' && !channelTaken) {
            if (len >= sizeof parts->channel) {
                return kErrLength;
            }
            CopyText(parts->channel, std::string_view(text + segment, len));
        } else {
            continue;
        }
        (c == '|' ? deviceTaken : channelTaken) = true;
        nonEmptyClosed = nonEmptyClosed || len > 0;
        segment = i + 1;
    }
    std::string_view rest(text + segment, i - segment);
    std::size_t dot = rest.find('.');
    std::string_view function = rest.substr(0, dot);
    std::string_view suffix =
        dot == std::string_view::npos ? std::string_view() : rest.substr(dot + 1);
    if (function.size() >= sizeof parts->function || suffix.size() >= sizeof parts->suffix) {
        return kErrLength;
    }
    CopyText(parts->function, function);
    CopyText(parts->suffix, suffix);
    return 0;
}

DeviceRecord* FindDevice(BenchRecord* bench, int deviceClass, const char* name) {
    if (!bench) {
        return nullptr;
    }
    DeviceRecord* slots;
    int count;
    switch (deviceClass) {
    case kClassDmm:
        slots = bench->dmm, count = kDmmSlots;
        break;
    case kClassFuncgen:
        slots = bench->funcgen, count = kFuncgenSlots;
        break;
    case kClassScope:
        slots = bench->scope, count = kScopeSlots;
        break;
    case kClassAdio:
        slots = bench->adio, count = kAdioSlots;
        break;
    case kClassUrm:
        slots = bench->urm, count = kUrmSlots;
        break;
    default:
        return nullptr;
    }
    if (!name || !*name) {
        return &slots[0];
    }
    for (int i = 0; i < count; ++i) {
        if (slots[i].inUse && strcasecmp(slots[i].name, name) == 0) {
            return &slots[i];
        }
    }
    return nullptr;
}

NamedArray* FindArray(BenchRecord* bench, int32_t kind, const char* name, int mode, char* message) {
    const char* n = name ? name : "";
    auto report = [&](const char* format) -> NamedArray* {
        if (message) {
            FormatText(message, kMessageSize, format, n);
        }
        return nullptr;
    };
    if (message) {
        message[0] = 0;
    }
    if (!bench) {
        return report(kArrayNotFound);
    }
    for (auto& entry : bench->arrays) {
        if (entry.kind == 0) {
            // The first free entry: create here unless only finding. The registry keeps at most
            // 31 characters of a name, so a longer name is refused instead of being cut.
            if (mode == kArrayFind || kind == 0 || std::strlen(n) >= sizeof entry.name) {
                return report(kArrayNotFound);
            }
            entry.kind = kind;
            CopyText(entry.name, n);
            return &entry;
        }
        if (entry.kind == kind && std::strcmp(entry.name, n) == 0) {
            if (mode == kArrayCreate) {
                return report(kArrayStillUsed);
            }
            return &entry;
        }
    }
    return report(kArrayNotFound);
}

double PrefixFactor(char letter) {
    switch (letter) {
    case 'G':
        return 1e9;
    case 'M':
        return 1e6;
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
    default:
        return 1.0;
    }
}

double ParseScaled(const char* text) {
    if (!text) {
        return 0.0;
    }
    // The text is cut at the prefix marker before the number is read: " 5 m" reads the empty
    // text before its first blank, 0.
    const char* marker = std::strchr(text, '*');
    if (!marker) {
        marker = std::strchr(text, ' ');
    }
    if (!marker) {
        return CLocaleAtof(text);
    }
    char number[128];
    CopyText(number, sizeof number,
             std::string_view(text, static_cast<std::size_t>(marker - text)));
    return CLocaleAtof(number) * PrefixFactor(marker[1]);
}

void ParseLimits(const char* lowText, double nominal, const char* nominalText, const char* highText,
                 LimitRecord* r) {
    if (!r) {
        return;
    }
    std::memset(r, 0, sizeof *r);
    double nom = nominalText ? ParseScaled(nominalText) : nominal;
    const bool noNominal = std::isnan(nom);
    if (noNominal) {
        nom = 0.0;
    }
    r->nominal = nom;
    r->nominalInt = TruncToInt32(nom);

    const bool haveLow = lowText && *lowText;
    if (haveLow) {
        CopyText(r->lowOp, "<=");
        const std::size_t len = std::strlen(lowText);
        std::size_t end = 0;
        while (end < len && !IsOpChar(lowText[end])) {
            ++end;
        }
        // The first two operator characters from there on, wherever they stand, are the
        // operator.
        char op[3] = {};
        int ops = 0;
        for (std::size_t i = end; i < len && ops < 2; ++i) {
            if (IsOpChar(lowText[i])) {
                op[ops++] = lowText[i];
            }
        }
        if (ops > 0) {
            CopyText(r->lowOp, op);
        }
        std::size_t valueEnd = end;
        while (valueEnd > 0 && lowText[valueEnd - 1] == ' ') {
            --valueEnd;
        }
        const char suffix = valueEnd > 0 ? lowText[valueEnd - 1] : 0;
        r->low = ReadLimitValue(lowText, suffix, nom);
        r->lowInt = TruncToInt32(r->low);
    }

    const bool haveHigh = highText && *highText;
    if (haveHigh) {
        CopyText(r->highOp, "<=");
        const char* p = highText;
        char op[4] = {};
        int ops = 0;
        while (*p == ' ' || IsOpChar(*p)) {
            if (*p != ' ' && ops < 3) {
                op[ops++] = *p;
            }
            ++p;
        }
        if (ops > 0) {
            CopyText(r->highOp, op);
        }
        const char suffix = highText[std::strlen(highText) - 1];
        r->high = ReadLimitValue(p, suffix, nom);
        r->highInt = TruncToInt32(r->high);
    }

    if (haveLow && haveHigh && noNominal) {
        r->nominal = (r->low + r->high) / 2.0;
        r->nominalInt = TruncToInt32(r->nominal);
    }
    r->range = std::fmax(std::fabs(r->low), std::fmax(std::fabs(r->nominal), std::fabs(r->high)));
    r->rangeInt = TruncToInt32(r->range) + (r->range < 2147483647.0 ? 1 : 0);
}

void AppendDetail(char* buffer, std::size_t size, const char* label, const char* text) {
    if (!buffer || size == 0 || !text || !*text) {
        return;
    }
    std::size_t len = strnlen(buffer, size - 1);
    std::size_t room = size - 1 - len;
    if (label) {
        const std::size_t labelLen = std::strlen(label);
        if (labelLen > room) {
            if (room >= 1) {
                AppendText(buffer, size, "|");
            }
            return;
        }
        if (len > 0) {
            AppendText(buffer, size, " | ");
        }
        len = AppendText(buffer, size, label);
        room = size - 1 - len;
    }
    if (std::strlen(text) <= room) {
        AppendText(buffer, size, text);
    } else if (room >= 1) {
        AppendText(buffer, size, " ");
    }
}

} // namespace kora
