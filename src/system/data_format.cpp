#include "system/data_format.h"

#include <cmath>
#include <cstdlib>
#include <locale.h>

namespace kora {
namespace {

// Data files read and write the same in every locale.
class CLocaleScope {
  public:
    CLocaleScope() {
        static locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
        previous_ = uselocale(c);
    }
    ~CLocaleScope() { uselocale(previous_); }
    CLocaleScope(const CLocaleScope&) = delete;
    CLocaleScope& operator=(const CLocaleScope&) = delete;

  private:
    locale_t previous_;
};

int64_t FileSize(std::FILE* file) {
    if (std::fseek(file, 0, SEEK_END) != 0) {
        return 0;
    }
    const long size = std::ftell(file);
    std::rewind(file);
    return size > 0 ? size : 0;
}

double Scaled(double v, double gain, double offset) {
    if (!std::isnan(gain)) {
        v *= gain;
    }
    if (!std::isnan(offset)) {
        v += offset;
    }
    return v;
}

// Gives back the unused room of a text read; an empty result frees the array.
template <typename T> DataStatus Shrink(T** values, int64_t count) {
    if (count == 0) {
        std::free(*values);
        *values = nullptr;
        return DataStatus::Ok;
    }
    void* smaller = std::realloc(*values, static_cast<std::size_t>(count) * sizeof(T));
    if (!smaller) {
        return DataStatus::ShrinkFailed;
    }
    *values = static_cast<T*>(smaller);
    return DataStatus::Ok;
}

template <typename T> DataStatus ReadBinary(std::FILE* file, T** values, int64_t* count) {
    const int64_t wanted = FileSize(file) / static_cast<int64_t>(sizeof(T));
    if (wanted == 0) {
        return DataStatus::Ok;
    }
    *values = static_cast<T*>(std::malloc(static_cast<std::size_t>(wanted) * sizeof(T)));
    if (!*values) {
        return DataStatus::NoMemory;
    }
    *count = static_cast<int64_t>(
        std::fread(*values, sizeof(T), static_cast<std::size_t>(wanted), file));
    return *count < wanted ? DataStatus::NotAllRead : DataStatus::Ok;
}

} // namespace

DataStatus ReadAnalogData(std::FILE* file, DataFormat format, double gain, double offset,
                          double** values, int64_t* count) {
    *values = nullptr;
    *count = 0;
    if (format == DataFormat::Binary) {
        const DataStatus status = ReadBinary(file, values, count);
        for (int64_t i = 0; i < *count; ++i) {
            (*values)[i] = Scaled((*values)[i], gain, offset);
        }
        return status;
    }
    *values = static_cast<double*>(std::malloc(kTextFileRoom * sizeof(double)));
    if (!*values) {
        return DataStatus::NoMemory;
    }
    CLocaleScope c;
    double v = 0;
    while (*count < kTextFileRoom && std::fscanf(file, "%lf", &v) == 1) {
        (*values)[(*count)++] = Scaled(v, gain, offset);
    }
    return Shrink(values, *count);
}

DataStatus ReadDigitalData(std::FILE* file, DataFormat format, int32_t** values, int64_t* count) {
    *values = nullptr;
    *count = 0;
    if (format == DataFormat::Binary) {
        return ReadBinary(file, values, count);
    }
    *values = static_cast<int32_t*>(std::malloc(kTextFileRoom * sizeof(int32_t)));
    if (!*values) {
        return DataStatus::NoMemory;
    }
    CLocaleScope c;
    for (;;) {
        if (*count >= kTextFileRoom) {
            break;
        }
        // A word is 32 bits: wider numbers keep their low 32 bits, as the target's 32-bit
        // `long` would have read them.
        if (format == DataFormat::Hex) {
            unsigned long word = 0;
            if (std::fscanf(file, "%lX", &word) != 1) {
                break;
            }
            (*values)[(*count)++] = static_cast<int32_t>(static_cast<uint32_t>(word));
        } else {
            long word = 0;
            if (std::fscanf(file, "%li", &word) != 1) {
                break;
            }
            (*values)[(*count)++] = static_cast<int32_t>(static_cast<uint32_t>(word));
        }
    }
    return Shrink(values, *count);
}

int64_t WriteAnalogData(std::FILE* file, DataFormat format, const double* values, int64_t count) {
    if (format == DataFormat::Binary) {
        return static_cast<int64_t>(
            std::fwrite(values, sizeof(double), static_cast<std::size_t>(count), file));
    }
    CLocaleScope c;
    int64_t written = 0;
    for (int64_t i = 0; i < count; ++i) {
        written += std::fprintf(file, "%lf\n", values[i]) > 0;
    }
    return written;
}

int64_t WriteDigitalData(std::FILE* file, DataFormat format, const int32_t* values, int64_t count) {
    if (format == DataFormat::Binary) {
        return static_cast<int64_t>(
            std::fwrite(values, sizeof(int32_t), static_cast<std::size_t>(count), file));
    }
    int64_t written = 0;
    for (int64_t i = 0; i < count; ++i) {
        // Eight hex digits of the 32-bit word, also for a negative one.
        const int n =
            format == DataFormat::Hex
                ? std::fprintf(file, "%08lX\n",
                               static_cast<unsigned long>(static_cast<uint32_t>(values[i])))
                : std::fprintf(file, "%li\n", static_cast<long>(values[i]));
        written += n > 0;
    }
    return written;
}

} // namespace kora
