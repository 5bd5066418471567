#include "ictx/program/pin_list.h"

#include "frame/errors.h"
#include "frame/text.h"

#include <cstring>

namespace kora {

namespace {

constexpr const char* kTooManyPins = "To many channels defined (max=%u)";
constexpr const char* kNotInTable = "'%s' not in channel table found";

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && IsBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

int Compare(std::string_view name, const char* appName) {
    const std::size_t len = strnlen(appName, sizeof ChannelRecord::appName);
    return name.compare(std::string_view(appName, len));
}

bool Valid(const ChannelRecord& ch) {
    return ch.channelNumber >= 0 && ch.appName[0] != 0;
}

} // namespace

const ChannelRecord* FindChannel(const BenchRecord* bench, std::string_view name) {
    if (!bench || name.empty()) {
        return nullptr;
    }
    int32_t count = bench->channelCount;
    if (count < 0 || count > kMaxChannels) {
        return nullptr;
    }
    // The matrix channels lead the table sorted by name (as the table reader leaves them); a
    // table filled in another order is still searched entry by entry below.
    int32_t matrix = bench->matrixChannelCount;
    if (matrix > count) {
        matrix = count;
    }
    int32_t lo = 0, hi = matrix;
    while (lo < hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        const int c = Compare(name, bench->channels[mid].appName);
        if (c == 0) {
            if (Valid(bench->channels[mid])) {
                return &bench->channels[mid];
            }
            break;
        }
        if (c < 0) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    for (int32_t i = 0; i < count; ++i) {
        const ChannelRecord& ch = bench->channels[i];
        if (Valid(ch) && Compare(name, ch.appName) == 0) {
            return &ch;
        }
    }
    return nullptr;
}

uint32_t ResolvePinList(const BenchRecord* bench, const char* text, uint32_t maxPins, PinRef* pins,
                        uint32_t* count, UsedChannels* used, char* error) {
    *count = 0;
    if (!text) {
        return 0;
    }
    uint32_t n = 0;
    const char* p = text;
    while (*p) {
        const char* start = p;
        while (*p && *p != ',' && *p != ';') {
            ++p;
        }
        const char separator = *p;
        std::string_view raw(start, static_cast<std::size_t>(p - start));
        if (separator) {
            ++p;
        }
        std::string_view name = Trim(raw);
        // A separator that ends the list ("A;") adds no empty name.
        if (name.empty() && separator == 0 && n > 0) {
            break;
        }
        if (n >= maxPins) {
            FormatText(error, kMessageSize, kTooManyPins, static_cast<unsigned>(maxPins));
            *count = n;
            return kErrResource;
        }
        PinRef& pin = pins[n];
        pin = PinRef{};
        pin.forced = -1;
        pin.endOfGroup = separator != ',' ? 1 : 0;
        if (name.size() == 1 && (name[0] == '-' || name[0] == '0' || name[0] == '1')) {
            pin.forced = name[0] == '-' ? -1 : name[0] - '0';
            pin.name = name.data();
            pin.nameLength = 1;
            ++n;
            continue;
        }
        if (name.size() > 2 && (name[0] == '0' || name[0] == '1') && name[1] == '=') {
            pin.forced = name[0] - '0';
            name = Trim(name.substr(2));
        }
        pin.name = name.data();
        pin.nameLength = static_cast<uint32_t>(name.size());
        pin.channel = FindChannel(bench, name);
        if (!pin.channel) {
            char shown[kMessageSize];
            CopyText(shown, name);
            FormatText(error, kMessageSize, kNotInTable, shown);
            *count = n;
            return kErrResource;
        }
        if (used && pin.channel->cardIndex >= 0 && pin.channel->cardIndex < kSwitchCards &&
            pin.channel->pinIndex >= 0 && pin.channel->pinIndex < kCardPins) {
            const auto bit = static_cast<uint32_t>(pin.channel->pinIndex);
            used->bits[pin.channel->cardIndex][bit / 32] |= 1u << (bit % 32);
        }
        ++n;
    }
    if (n > 0) {
        pins[n - 1].endOfGroup = 1;
    }
    *count = n;
    return 0;
}

} // namespace kora
