// The argument checks of the relay module steps (see urm_args.h).
#include "instruments/urm_args.h"

#include <cstring>
#include <string_view>

namespace kora::urm {
namespace {

constexpr uint32_t kErrBank = 0x81000002u;
constexpr uint32_t kErrBits = 0x81000003u;

constexpr const char* kBankMessage =
    "You have passed an invalied value for 'Bank'. Only values from A to D are allowed!";
constexpr const char* kNoBitsMessage = "You did not pass any bits to set!";
constexpr const char* kNoValidBitsMessage =
    "You did not pass any valid bits to set. The bits must be separated by commas!";
constexpr const char* kTooManyBitsMessage =
    "You have passed more than 8 bits. Only 8 bits are allowed (0...7)!";
constexpr const char* kBitRangeMessage =
    "You passed a value greater than 7. Only values from 0 to 7 are allowed!";
constexpr const char* kCompareMessage =
    "You passed an invalid value for a compare value. Only 'ON' or 'OFF' are allowed!";
constexpr const char* kBitMessage =
    "You passed an invalid value for a Bit. Only values from 0 to 7 are allowed!";

constexpr const char* kBanks = "ABCD";
constexpr int32_t kHighestBit = 7;
constexpr const char* kInKeyword = "IN";
constexpr const char* kOnKeyword = "ON";
constexpr const char* kOffKeyword = "OFF";
constexpr const char* kInputWord = "INPUT";
constexpr const char* kOutputWord = "OUTPUT";
constexpr const char* kOnWord = "ON";
constexpr const char* kOffWord = "OFF";

std::string_view Trimmed(std::string_view part) {
    while (!part.empty() && (part.front() == ' ' || part.front() == '\t')) {
        part.remove_prefix(1);
    }
    while (!part.empty() && (part.back() == ' ' || part.back() == '\t')) {
        part.remove_suffix(1);
    }
    return part;
}

// A decimal integer with an optional sign; false for anything else or more than the list holds.
bool DecimalOf(std::string_view part, int32_t* out) {
    part = Trimmed(part);
    bool negative = false;
    if (!part.empty() && (part.front() == '-' || part.front() == '+')) {
        negative = part.front() == '-';
        part.remove_prefix(1);
    }
    if (part.empty() || part.size() > 6) {
        return false;
    }
    int32_t value = 0;
    for (char c : part) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    *out = negative ? -value : value;
    return true;
}

} // namespace

bool ParseBank(StepError& error, const char* bank, int32_t* out) {
    const char* at = bank && bank[0] ? std::strchr(kBanks, bank[0]) : nullptr;
    if (!at) {
        return error.Set(kErrBank, kBankMessage);
    }
    *out = static_cast<int32_t>(at - kBanks);
    return true;
}

bool ParseBitList(StepError& error, const char* bits, BitList* out) {
    out->fill(kUnusedPlace);
    if (!bits) {
        return error.Set(kErrBits, kNoBitsMessage);
    }
    std::string_view parts[kListPlaces + 1];
    int count = 0;
    std::string_view rest(bits);
    for (;;) {
        const auto comma = rest.find(',');
        const std::string_view part = rest.substr(0, comma);
        if (!part.empty()) {
            if (count == kListPlaces) {
                return error.Set(kErrBits, kTooManyBitsMessage);
            }
            parts[count++] = part;
        }
        if (comma == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(comma + 1);
    }
    if (count == 0) {
        return error.Set(kErrBits, kNoValidBitsMessage);
    }
    for (int i = 0; i < count; ++i) {
        int32_t bit = 0;
        if (!DecimalOf(parts[i], &bit) || bit < 0 || bit > kHighestBit) {
            out->fill(kUnusedPlace);
            return error.Set(kErrBits, kBitRangeMessage);
        }
        (*out)[static_cast<std::size_t>(i)] = bit;
    }
    return true;
}

bool CheckBit(StepError& error, long bit) {
    return bit >= 0 && bit <= kHighestBit ? true : error.Set(kErrBits, kBitMessage);
}

bool ParseCompareValue(StepError& error, const char* text, int32_t* expected) {
    if (text && std::strcmp(text, kOnKeyword) == 0) {
        *expected = 1;
    } else if (text && std::strcmp(text, kOffKeyword) == 0) {
        *expected = 0;
    } else {
        return error.Set(kErrBits, kCompareMessage);
    }
    return true;
}

int32_t DirectionMode(const char* text, const char** word) {
    const bool input = text && std::strcmp(text, kInKeyword) == 0;
    *word = input ? kInputWord : kOutputWord;
    return input ? 0 : 1;
}

int32_t SwitchState(const char* text, const char** word) {
    const bool on = text && std::strcmp(text, kOnKeyword) == 0;
    *word = on ? kOnWord : kOffWord;
    return on ? 1 : 0;
}

} // namespace kora::urm
