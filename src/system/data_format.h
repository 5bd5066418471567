// The data-file formats of the file steps: analog values as text ("%lf" per line) or as 8-byte
// doubles, digital words as decimal or hexadecimal text or as 4-byte words, all without a header.
// Words are 32 bits in the files and in the named arrays whatever the width of `long` is.
#pragma once

#include <cstdint>
#include <cstdio>

namespace kora {

enum class DataFormat { Binary, Ascii, Hex };

enum class DataStatus { Ok, NoMemory, NotAllRead, ShrinkFailed };

// Room of the text readers: at most this many values are read from a text file.
constexpr int64_t kTextFileRoom = 1048576;

// Reads every value of the file into a new malloc'ed array (null for none) and its count.
// Analog values are multiplied by gain and then shifted by offset, each unless it is NaN.
DataStatus ReadAnalogData(std::FILE* file, DataFormat format, double gain, double offset,
                          double** values, int64_t* count);
DataStatus ReadDigitalData(std::FILE* file, DataFormat format, int32_t** values, int64_t* count);

// Writes count values; returns how many were written.
int64_t WriteAnalogData(std::FILE* file, DataFormat format, const double* values, int64_t count);
int64_t WriteDigitalData(std::FILE* file, DataFormat format, const int32_t* values, int64_t count);

} // namespace kora
