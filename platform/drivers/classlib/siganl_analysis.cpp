// SIGANL: the waveform analysis functions (no instrument: context 0, handle 0), over sample
// arrays whose sample i lies at time i × sampleInterval.
//
// - Events (SIGANL_FindWaveformEvent): the reference level is "MID" (middle of the two reference
//   levels), "LOW" (the lower) or "HIGH" (the higher). A rising event needs the signal below
//   level - hysteresis/2 first and then at or above level + hysteresis/2 (falling: the mirror
//   image); its time is where the straight line between the two samples around the last passage
//   of the level crosses it, and eventLevel is the level there. Occurrences count from the start
//   of the window ("FORWARD") or from its end ("BACKWARD"). No such event: eventTime -1,
//   eventLevel 0, and no error.
// - Time windows: from the first sample at or after the start to the last at or before the end;
//   an end of 0 means the end of the record.
// - Parameters (SIGANL_CalculateWaveformParameter): "VOLTAGE_AVERAGE", "VOLTAGE_RMS",
//   "VOLTAGE_MAX", "VOLTAGE_MIN", "VOLTAGE_PEAK_TO_PEAK" of the window.
// - Frequency (SIGANL_CalculateFrequency): "SLOPE" counts the rising events at level parameter1
//   with hysteresis parameter2 (volts): (events - 1) / (time from the first to the last);
//   "SLOPE_AUTO" does the same at the middle between the window's minimum and maximum, with
//   parameter2 as the hysteresis in parts of that span (0.5 = half of it); "FFT" takes the
//   strongest line of the Hann-windowed spectrum, refined between its neighbours.
// - Files (SIGANL_ImportWaveformData, SIGANL_ExportWaveformData): format "TEXT" is one line per
//   sample, numbers in C-locale form; a line may hold several columns (separated by blanks, tabs,
//   commas or semicolons) and `channel` picks one (0 = the first); empty lines and lines starting
//   with '#' are skipped. Format "BINARY" is the samples as little-endian 64-bit IEEE numbers
//   (channel 0 only). Format "" takes BINARY for the extensions ".bin" and ".dat", TEXT for any
//   other. Fewer samples than asked for is no error: countLoaded says how many came.
#include <siganl.h>

#include "classlib.h"
#include "siganl_codes.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace kora::drivers::siganl;
using kora::drivers::BadSetting;
using kora::drivers::BadValue;
using kora::drivers::CopyOut;
using kora::drivers::MatchWord;
using kora::drivers::Outcome;
using kora::vbench::DriverCall;
using kora::vbench::FormatArgs;

namespace {

constexpr std::array<const char*, 2> kDirections = {"FORWARD", "BACKWARD"};
constexpr std::array<const char*, 2> kSlopes = {"POS_SLOPE", "NEG_SLOPE"};
constexpr std::array<const char*, 3> kReferences = {"MID", "LOW", "HIGH"};
constexpr std::array<const char*, 5> kParameters = {"VOLTAGE_AVERAGE", "VOLTAGE_RMS", "VOLTAGE_MAX",
                                                    "VOLTAGE_MIN", "VOLTAGE_PEAK_TO_PEAK"};
constexpr std::array<const char*, 3> kMethods = {"SLOPE", "SLOPE_AUTO", "FFT"};
constexpr std::array<const char*, 2> kFormats = {"TEXT", "BINARY"};
// Tolerance of window edges, in samples, for times computed from other times.
constexpr double kEdgeTolerance = 1e-9;

// The frame of an analysis call: journal, fault, the reserved context and handle, and the status
// block (status, code, message).
class AnalysisCall {
  public:
    AnalysisCall(const char* function, std::string arguments, long context, long handle,
                 short* status, int32_t* code, char* message)
        : call_(kSiganl.interface, function, std::move(arguments)), status_(status), code_(code),
          message_(message) {
        if (status_) {
            *status_ = 0;
        }
        if (code_) {
            *code_ = 0;
        }
        if (message_) {
            message_[0] = '\0';
        }
        if (call_.fault()) {
            early_ = call_.fault()->code;
        } else if (context != 0 || handle != 0) {
            early_ = kErrContext;
        }
    }
    int32_t early() const { return early_; }
    int32_t finish(const Outcome& o) {
        if (o.status != 0) {
            if (status_) {
                *status_ = 1;
            }
            if (code_) {
                *code_ = o.status;
            }
            std::string text =
                call_.fault() && o.status == call_.fault()->code && !call_.fault()->message.empty()
                    ? call_.fault()->message
                    : kora::drivers::ClassLibStatusText(kSiganl, call_.bench(), o.status);
            if (!o.detail.empty()) {
                text += ": " + o.detail;
            }
            CopyOut(message_, CLASSLIB_MESSAGE_SIZE, text);
        }
        return call_.finish(o.status);
    }

  private:
    DriverCall call_;
    short* status_;
    int32_t* code_;
    char* message_;
    int32_t early_ = 0;
};

template <typename Body>
int32_t Analysis(const char* function, std::string arguments, long context, long handle,
                 short* status, int32_t* code, char* message, Body&& body) {
    AnalysisCall call(function, std::move(arguments), context, handle, status, code, message);
    if (call.early()) {
        return call.finish(call.early());
    }
    return call.finish(body());
}

// The checks every analysis of a sample array makes.
Outcome CheckRecord(long count, const double samples[], double interval, long minimum) {
    if (!samples) {
        return {kErrNullPointer, "samples"};
    }
    if (count < minimum) {
        return {kErrTooFewSamples,
                std::to_string(count) + " (at least " + std::to_string(minimum) + ")"};
    }
    if (!(interval > 0) || !std::isfinite(interval)) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.6g s (above 0 s)", interval);
        return {kErrInterval, buf};
    }
    return 0;
}

// Sample indexes [first, last] of a time window; end 0 = the end of the record.
Outcome Window(long count, double interval, double start, double end, long* first, long* last) {
    if (!(start >= 0) || !(end >= 0) || (end != 0 && end < start)) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "%.6g s to %.6g s", start, end);
        return {kErrWindow, buf};
    }
    *first = static_cast<long>(std::ceil(start / interval - kEdgeTolerance));
    *last = end == 0
                ? count - 1
                : std::min<long>(count - 1,
                                 static_cast<long>(std::floor(end / interval + kEdgeTolerance)));
    return 0;
}

struct Event {
    double time;
    double level;
};

// Every event of one slope in the samples [first, last], in time order.
std::vector<Event> Events(const double samples[], long first, long last, double interval,
                          bool rising, double level, double hysteresis) {
    std::vector<Event> events;
    const double half = hysteresis / 2;
    // Compare as if the signal were rising; a falling event is a rising one of the negated signal.
    const double sign = rising ? 1 : -1;
    const double lvl = sign * level;
    bool armed = false;
    for (long i = first; i <= last; ++i) {
        const double s = sign * samples[i];
        if (std::isnan(s)) {
            continue;
        }
        if (!armed) {
            armed = half > 0 ? s < lvl - half : s < lvl;
            continue;
        }
        if (s >= lvl + half) {
            // The last passage of the level before sample i.
            long j = i - 1;
            while (j > first && !(sign * samples[j] < lvl)) {
                --j;
            }
            const double a = sign * samples[j], b = sign * samples[j + 1];
            const double fraction = b != a ? (lvl - a) / (b - a) : 0;
            events.push_back({(j + std::clamp(fraction, 0.0, 1.0)) * interval, level});
            armed = false;
        }
    }
    return events;
}

// Radix-2 transform in place (size a power of two).
void Fft(std::vector<std::complex<double>>& a) {
    const std::size_t n = a.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) {
            j ^= bit;
        }
        j ^= bit;
        if (i < j) {
            std::swap(a[i], a[j]);
        }
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        const std::complex<double> step = std::polar(1.0, -2 * M_PI / static_cast<double>(len));
        for (std::size_t i = 0; i < n; i += len) {
            std::complex<double> w = 1;
            for (std::size_t k = 0; k < len / 2; ++k) {
                const auto u = a[i + k], v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
                w *= step;
            }
        }
    }
}

// The strongest spectral line of the samples [first, last], in hertz; 0 when there is none.
double SpectralPeak(const double samples[], long first, long last, double interval) {
    const long n = last - first + 1;
    double mean = 0;
    for (long i = first; i <= last; ++i) {
        mean += samples[i];
    }
    mean /= static_cast<double>(n);
    // Four times zero padding puts the bins close enough for the refinement between neighbours.
    const std::size_t size = std::bit_ceil(static_cast<std::size_t>(n) * 4);
    std::vector<std::complex<double>> a(size);
    for (long i = 0; i < n; ++i) {
        const double hann =
            0.5 - 0.5 * std::cos(2 * M_PI * static_cast<double>(i) / static_cast<double>(n - 1));
        a[static_cast<std::size_t>(i)] = (samples[first + i] - mean) * hann;
    }
    Fft(a);
    std::size_t peak = 0;
    double best = 0;
    for (std::size_t k = 1; k < size / 2; ++k) {
        if (std::abs(a[k]) > best) {
            best = std::abs(a[k]);
            peak = k;
        }
    }
    if (peak == 0 || best <= 1e-12 * static_cast<double>(n)) {
        return 0;
    }
    // Parabola through the logarithms of the peak and its neighbours (exact for a Gaussian line,
    // close for a Hann-windowed one).
    double delta = 0;
    if (peak + 1 < size / 2) {
        const double l = std::log(std::abs(a[peak - 1]) + 1e-300);
        const double c = std::log(best);
        const double r = std::log(std::abs(a[peak + 1]) + 1e-300);
        const double d = l - 2 * c + r;
        delta = d != 0 ? 0.5 * (l - r) / d : 0;
    }
    return (static_cast<double>(peak) + delta) / (static_cast<double>(size) * interval);
}

std::string Extension(const std::string& file) {
    return kora::drivers::UpperCase(std::filesystem::path(file).extension().string().c_str());
}

// "TEXT" or "BINARY" of a format argument ("" = by the file's extension); null when unknown.
const char* FormatOf(const char* format, const std::string& file) {
    if (format && format[0] != '\0') {
        return MatchWord(format, kFormats);
    }
    const std::string ext = Extension(file);
    return ext == ".BIN" || ext == ".DAT" ? kFormats[1] : kFormats[0];
}

// The value of column `column` of a text line; false for a line without it or with a word that
// is not a number there.
bool ColumnValue(const std::string& line, long column, double* value) {
    long index = 0;
    std::size_t pos = 0;
    while (pos < line.size()) {
        const std::size_t begin = line.find_first_not_of(" \t,;\r", pos);
        if (begin == std::string::npos) {
            break;
        }
        std::size_t end = line.find_first_of(" \t,;\r", begin);
        if (end == std::string::npos) {
            end = line.size();
        }
        if (index == column) {
            auto [ptr, ec] = std::from_chars(line.data() + begin, line.data() + end, *value);
            return ec == std::errc() && ptr == line.data() + end;
        }
        ++index;
        pos = end;
    }
    return false;
}

Outcome ImportText(std::ifstream& in, const std::string& file, long channel, long offset,
                   long count, double samples[], int32_t* loaded) {
    std::string line;
    long lineNo = 0, index = 0;
    while (*loaded < count && std::getline(in, line)) {
        ++lineNo;
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        double v = 0;
        if (!ColumnValue(line, channel, &v)) {
            return {kErrFileFormat, file + ":" + std::to_string(lineNo) + ": no number in column " +
                                        std::to_string(channel)};
        }
        if (index++ >= offset) {
            samples[(*loaded)++] = v;
        }
    }
    return 0;
}

Outcome ImportBinary(std::ifstream& in, const std::string& file, long channel, long offset,
                     long count, double samples[], int32_t* loaded) {
    if (channel != 0) {
        return BadValue(kSiganl, "channel", channel, "0 for a binary file");
    }
    in.seekg(0, std::ios::end);
    const auto bytes = static_cast<long long>(in.tellg());
    if (bytes % 8 != 0) {
        return {kErrFileFormat, file + ": " + std::to_string(bytes) +
                                    " bytes are no whole number of 8-byte samples"};
    }
    const long long available = std::max<long long>(0, bytes / 8 - offset);
    const long n = static_cast<long>(std::min<long long>(available, count));
    in.seekg(static_cast<std::streamoff>(offset) * 8);
    for (long i = 0; i < n; ++i) {
        unsigned char raw[8];
        in.read(reinterpret_cast<char*>(raw), 8);
        uint64_t bits = 0;
        for (int b = 7; b >= 0; --b) {
            bits = (bits << 8) | raw[b];
        }
        samples[i] = std::bit_cast<double>(bits);
    }
    *loaded = n;
    return 0;
}

} // namespace

extern "C" {

int32_t SIGANL_FindWaveformEvent(long context, long handle, long count, const double samples[],
                                 double sampleInterval, double startTime, double stopTime,
                                 const char* direction, const char* slope, long occurrence,
                                 const char* reference, double refLevel1, double refLevel2,
                                 double hysteresis, double* eventTime, double* eventLevel,
                                 short* status, int32_t* code,
                                 char message[CLASSLIB_MESSAGE_SIZE]) {
    return Analysis(
        __func__,
        FormatArgs(context, handle, count, samples, sampleInterval, startTime, stopTime, direction,
                   slope, occurrence, reference, refLevel1, refLevel2, hysteresis, eventTime,
                   eventLevel),
        context, handle, status, code, message, [&]() -> Outcome {
            if (!eventTime || !eventLevel) {
                return kErrNullPointer;
            }
            *eventTime = -1;
            *eventLevel = 0;
            if (Outcome o = CheckRecord(count, samples, sampleInterval, 2); o.status) {
                return o;
            }
            const char* d = MatchWord(direction, kDirections);
            const char* s = MatchWord(slope, kSlopes);
            const char* r = MatchWord(reference, kReferences);
            if (!d) {
                return BadSetting(kSiganl, "direction", direction, kDirections);
            }
            if (!s) {
                return BadSetting(kSiganl, "slope", slope, kSlopes);
            }
            if (!r) {
                return BadSetting(kSiganl, "reference", reference, kReferences);
            }
            if (occurrence < 1) {
                return BadValue(kSiganl, "occurrence", occurrence, "at least 1");
            }
            if (!(hysteresis >= 0)) {
                return BadValue(kSiganl, "hysteresis", hysteresis, "not negative");
            }
            long first = 0, last = 0;
            if (Outcome o = Window(count, sampleInterval, startTime, stopTime, &first, &last);
                o.status) {
                return o;
            }
            const double level = r == kReferences[0]   ? (refLevel1 + refLevel2) / 2
                                 : r == kReferences[1] ? std::min(refLevel1, refLevel2)
                                                       : std::max(refLevel1, refLevel2);
            const auto events =
                Events(samples, first, last, sampleInterval, s == kSlopes[0], level, hysteresis);
            if (static_cast<std::size_t>(occurrence) <= events.size()) {
                const Event& e = d == kDirections[0] ? events[occurrence - 1]
                                                     : events[events.size() - occurrence];
                *eventTime = e.time;
                *eventLevel = e.level;
            }
            return 0;
        });
}

int32_t SIGANL_CalculateWaveformParameter(long context, long handle, long count,
                                          const double samples[], double sampleInterval,
                                          double fromTime, double toTime, const char* parameter,
                                          double* value, short* status, int32_t* code,
                                          char message[CLASSLIB_MESSAGE_SIZE]) {
    return Analysis(
        __func__,
        FormatArgs(context, handle, count, samples, sampleInterval, fromTime, toTime, parameter,
                   value),
        context, handle, status, code, message, [&]() -> Outcome {
            if (!value) {
                return kErrNullPointer;
            }
            *value = NAN;
            if (Outcome o = CheckRecord(count, samples, sampleInterval, 1); o.status) {
                return o;
            }
            const char* p = MatchWord(parameter, kParameters);
            if (!p) {
                return BadSetting(kSiganl, "parameter", parameter, kParameters);
            }
            long first = 0, last = 0;
            if (Outcome o = Window(count, sampleInterval, fromTime, toTime, &first, &last);
                o.status) {
                return o;
            }
            if (first > last) {
                return {kErrWindow, "no sample in the window"};
            }
            double sum = 0, squares = 0;
            double lo = samples[first], hi = samples[first];
            for (long i = first; i <= last; ++i) {
                sum += samples[i];
                squares += samples[i] * samples[i];
                lo = std::min(lo, samples[i]);
                hi = std::max(hi, samples[i]);
            }
            const double n = static_cast<double>(last - first + 1);
            const std::size_t which = static_cast<std::size_t>(
                std::find(kParameters.begin(), kParameters.end(), p) - kParameters.begin());
            const double results[] = {sum / n, std::sqrt(squares / n), hi, lo, hi - lo};
            *value = results[which];
            return 0;
        });
}

int32_t SIGANL_CalculateFrequency(long context, long handle, long count, const double samples[],
                                  double sampleInterval, double fromTime, double toTime,
                                  const char* method, double parameter1, double parameter2,
                                  double* frequency, short* status, int32_t* code,
                                  char message[CLASSLIB_MESSAGE_SIZE]) {
    return Analysis(
        __func__,
        FormatArgs(context, handle, count, samples, sampleInterval, fromTime, toTime, method,
                   parameter1, parameter2, frequency),
        context, handle, status, code, message, [&]() -> Outcome {
            if (!frequency) {
                return kErrNullPointer;
            }
            *frequency = NAN;
            if (Outcome o = CheckRecord(count, samples, sampleInterval, 4); o.status) {
                return o;
            }
            const char* m = MatchWord(method, kMethods);
            if (!m) {
                return BadSetting(kSiganl, "method", method, kMethods);
            }
            long first = 0, last = 0;
            if (Outcome o = Window(count, sampleInterval, fromTime, toTime, &first, &last);
                o.status) {
                return o;
            }
            if (last - first + 1 < 4) {
                return {kErrTooFewSamples, "fewer than 4 samples in the window"};
            }
            if (m == kMethods[2]) {
                const double f = SpectralPeak(samples, first, last, sampleInterval);
                if (!(f > 0)) {
                    return {kErrNoFrequency, "the spectrum has no line"};
                }
                *frequency = f;
                return 0;
            }
            double level = parameter1, hysteresis = parameter2;
            if (m == kMethods[1]) {
                const auto [lo, hi] = std::minmax_element(samples + first, samples + last + 1);
                level = (*lo + *hi) / 2;
                hysteresis = parameter2 * (*hi - *lo);
            }
            if (!(hysteresis >= 0)) {
                return BadValue(kSiganl, "hysteresis", hysteresis, "not negative");
            }
            const auto events =
                Events(samples, first, last, sampleInterval, true, level, hysteresis);
            if (events.size() < 2 || !(events.back().time > events.front().time)) {
                return {kErrNoFrequency, std::to_string(events.size()) + " rising edge(s) found"};
            }
            *frequency =
                static_cast<double>(events.size() - 1) / (events.back().time - events.front().time);
            return 0;
        });
}

int32_t SIGANL_ImportWaveformData(long context, long handle, const char* fileName,
                                  const char* format, long channel, long offset, long count,
                                  double samples[], int32_t* countLoaded, short* status,
                                  int32_t* code, char message[CLASSLIB_MESSAGE_SIZE]) {
    return Analysis(
        __func__,
        FormatArgs(context, handle, fileName, format, channel, offset, count, samples, countLoaded),
        context, handle, status, code, message, [&]() -> Outcome {
            if (!fileName || !samples || !countLoaded) {
                return kErrNullPointer;
            }
            *countLoaded = 0;
            const char* f = FormatOf(format, fileName);
            if (!f) {
                return BadSetting(kSiganl, "format", format, kFormats);
            }
            if (channel < 0 || offset < 0 || count < 0) {
                return BadValue(kSiganl, "channel, offset and count",
                                std::min({channel, offset, count}), "not negative");
            }
            std::ifstream in(fileName, std::ios::binary);
            if (!in) {
                return {kErrFileRead, fileName};
            }
            return f == kFormats[0]
                       ? ImportText(in, fileName, channel, offset, count, samples, countLoaded)
                       : ImportBinary(in, fileName, channel, offset, count, samples, countLoaded);
        });
}

int32_t SIGANL_ExportWaveformData(long context, long handle, const char* fileName,
                                  const char* format, long append, long count,
                                  const double samples[], short* status, int32_t* code,
                                  char message[CLASSLIB_MESSAGE_SIZE]) {
    return Analysis(__func__, FormatArgs(context, handle, fileName, format, append, count, samples),
                    context, handle, status, code, message, [&]() -> Outcome {
                        if (!fileName || (count > 0 && !samples)) {
                            return kErrNullPointer;
                        }
                        const char* f = FormatOf(format, fileName);
                        if (!f) {
                            return BadSetting(kSiganl, "format", format, kFormats);
                        }
                        if (count < 0) {
                            return BadValue(kSiganl, "count", count, "not negative");
                        }
                        std::ofstream out(fileName, std::ios::binary |
                                                        (append ? std::ios::app : std::ios::trunc));
                        if (!out) {
                            return {kErrFileWrite, fileName};
                        }
                        for (long i = 0; i < count; ++i) {
                            if (f == kFormats[0]) {
                                char buf[40];
                                auto [end, ec] =
                                    std::to_chars(buf, buf + sizeof buf - 1, samples[i]);
                                *end++ = '\n';
                                out.write(buf, end - buf);
                            } else {
                                uint64_t bits = std::bit_cast<uint64_t>(samples[i]);
                                unsigned char raw[8];
                                for (int b = 0; b < 8; ++b, bits >>= 8) {
                                    raw[b] = static_cast<unsigned char>(bits & 0xFF);
                                }
                                out.write(reinterpret_cast<const char*>(raw), 8);
                            }
                        }
                        out.flush();
                        if (!out) {
                            return {kErrFileWrite, fileName};
                        }
                        return 0;
                    });
}

} // extern "C"
