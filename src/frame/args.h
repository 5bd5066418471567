// Shared operations on the texts that step methods receive: keyword lists, DevChanAttr, numbers
// with unit prefixes, limit texts, devices and named arrays of the active bench, details.
#pragma once

#include "bench/bench.h"

#include <cstddef>
#include <cstdint>

namespace kora {

// DevChanAttr split into its parts: [device "|"] [channel ":"] function ["." suffix].
struct DevChanParts {
    char device[32];
    char channel[192];
    char function[128];
    char suffix[128];
};

// Low limit, nominal and high limit of a step, with their integer forms and operators.
struct LimitRecord {
    double low;
    double nominal;
    double high;
    double range;
    int32_t lowInt;
    int32_t nominalInt;
    int32_t highInt;
    int32_t rangeInt;
    char lowOp[4];
    char highOp[4];
};
static_assert(sizeof(LimitRecord) == 56);

// 1-based index of `text` in the comma list `list` (blanks of the list ignored), 0 when absent.
int MatchKeyword(const char* text, const char* list, char separator = ',');

// Splits `text` into `parts`; 0, or 0x81000014 when a part is too long.
uint32_t SplitDevChanAttr(const char* text, DevChanParts* parts);

// The device of `deviceClass` named `name` (case-insensitive) in the bench; an empty name gives
// the class's first slot. Null for an unknown class or name.
DeviceRecord* FindDevice(BenchRecord* bench, int deviceClass, const char* name);

enum ArrayMode { kArrayFind = 0, kArrayFindOrCreate = -1, kArrayCreate = 1 };
// Finds or creates a named array of the bench; null with `message` (1024 bytes) set otherwise.
NamedArray* FindArray(BenchRecord* bench, int32_t kind, const char* name, int mode, char* message);

// Multiplier of a unit prefix letter: G M k m u n p; 1.0 for any other character.
double PrefixFactor(char letter);
// A number with an optional prefix after "*" or a blank: "4.7*k" and "4.7 k" give 4700.
double ParseScaled(const char* text);
// Parses the limit texts and the nominal into `record`.
void ParseLimits(const char* lowText, double nominal, const char* nominalText, const char* highText,
                 LimitRecord* record);

// Appends " | label" and `text` to a bounded detail text (see the rules in the source).
void AppendDetail(char* buffer, std::size_t size, const char* label, const char* text);

} // namespace kora
