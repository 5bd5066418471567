// Analysis of a sample array through the SIGANL analysis functions: the square-wave amplitude
// from its plateaus and the frequency by one of the library's methods. Used by the waveform
// analysis steps and by any step that judges a record it acquired.
#pragma once

#include "frame/errors.h"

#include <cstdint>

namespace kora::siganl {

// The outcome of the SIGANL calls of one analysis: status non-zero after an error of the library,
// with its code and text.
struct AnalysisStatus {
    short status = 0;
    int32_t code = 0;
    char message[kMessageSize] = {};

    bool failed() const { return status != 0; }
};

// A record: count samples, one every `interval` seconds.
struct SampleRecord {
    long count;
    const double* samples;
    double interval;
};

// Mean high plateau minus mean low plateau of a square wave. Each plateau runs from an edge to
// the next edge of the other slope (edges where the signal crosses the middle of the two
// reference levels), less the skip fractions of its length at its start and end; its mean joins
// the running mean of its kind (the first one replaces a running mean of 0, each later one is
// averaged with it). Not-a-number after an error of the library.
double SquareAmplitude(const SampleRecord& record, double refLevel1, double refLevel2,
                       double startSkip, double endSkip, AnalysisStatus& status);

// The frequency by the SIGANL method name ("SLOPE", "SLOPE_AUTO", "FFT") with the two parameters
// as the library takes them. Not-a-number after an error of the library.
double RecordFrequency(const SampleRecord& record, const char* method, double parameter1,
                       double parameter2, AnalysisStatus& status);

// The verification comment: the step comment, or after an error of the library its text with
// every line feed turned into ", ", alone when the step comment is empty and "%1 (%2)" after it
// otherwise. `out` holds kWarningCommentSize bytes.
void AnalysisComment(const char* comment, const AnalysisStatus& status, char* out);

} // namespace kora::siganl
