// Square-wave amplitude and frequency of a sample record (see waveform_analysis.h).
#include "instruments/waveform_analysis.h"

#include "frame/text.h"

#include <siganl.h>

#include <QString>

#include <cmath>

namespace kora::siganl {
namespace {

constexpr const char* kForward = "FORWARD";
constexpr const char* kRising = "POS_SLOPE";
constexpr const char* kFalling = "NEG_SLOPE";
constexpr const char* kMiddle = "MID";
constexpr const char* kAverage = "VOLTAGE_AVERAGE";
constexpr const char* kCommentWithError = "%1 (%2)";
constexpr const char* kLineJoin = ", ";

// The time of the first `slope` edge after `from`; negative when there is none. An interpolated
// edge can lie on the very time it is searched from: such an edge is the one found before, and
// the search goes on from the next sample.
double NextEdge(const SampleRecord& r, double from, const char* slope, double level1, double level2,
                AnalysisStatus& st) {
    double start = from;
    for (int tries = 0; tries < 2; ++tries) {
        double time = -1, level = 0;
        SIGANL_FindWaveformEvent(0, 0, r.count, r.samples, r.interval, start, 0, kForward, slope, 1,
                                 kMiddle, level1, level2, 0, &time, &level, &st.status, &st.code,
                                 st.message);
        if (st.failed() || time < 0 || from == 0 || time > from) {
            return st.failed() ? -1 : time;
        }
        start = (std::floor(from / r.interval) + 1) * r.interval;
        if (start >= static_cast<double>(r.count) * r.interval) {
            return -1;
        }
    }
    return -1;
}

// The running mean of the plateaus that start on `slope` edges and end on the next edge of the
// other slope.
double PlateauMean(const SampleRecord& r, const char* slope, const char* other, double level1,
                   double level2, double startSkip, double endSkip, AnalysisStatus& st) {
    double running = 0;
    double t1 = NextEdge(r, 0, slope, level1, level2, st);
    // Every plateau ends later than it starts, so no more plateaus than samples.
    for (long guard = 0; guard < r.count && !st.failed() && t1 >= 0; ++guard) {
        const double t2 = NextEdge(r, t1, other, level1, level2, st);
        if (st.failed() || t2 < 0) {
            break;
        }
        const double d = t2 - t1;
        double mean = NAN;
        SIGANL_CalculateWaveformParameter(0, 0, r.count, r.samples, r.interval, t1 + d * startSkip,
                                          t2 - d * endSkip, kAverage, &mean, &st.status, &st.code,
                                          st.message);
        if (st.failed()) {
            break;
        }
        running = running == 0 ? mean : (running + mean) / 2;
        t1 = NextEdge(r, t2, slope, level1, level2, st);
    }
    return st.failed() ? NAN : running;
}

} // namespace

double SquareAmplitude(const SampleRecord& record, double refLevel1, double refLevel2,
                       double startSkip, double endSkip, AnalysisStatus& status) {
    const double high =
        PlateauMean(record, kRising, kFalling, refLevel1, refLevel2, startSkip, endSkip, status);
    if (status.failed()) {
        return NAN;
    }
    const double low =
        PlateauMean(record, kFalling, kRising, refLevel1, refLevel2, startSkip, endSkip, status);
    return status.failed() ? NAN : high - low;
}

double RecordFrequency(const SampleRecord& record, const char* method, double parameter1,
                       double parameter2, AnalysisStatus& status) {
    double frequency = NAN;
    SIGANL_CalculateFrequency(0, 0, record.count, record.samples, record.interval, 0, 0, method,
                              parameter1, parameter2, &frequency, &status.status, &status.code,
                              status.message);
    return status.failed() ? NAN : frequency;
}

void AnalysisComment(const char* comment, const AnalysisStatus& status, char* out) {
    if (!status.failed()) {
        CopyText(out, kWarningCommentSize, OrEmpty(comment));
        return;
    }
    const QString text = QString::fromLocal8Bit(status.message).replace("\n", kLineJoin);
    const QString joined =
        OrEmpty(comment)[0] ? QString(kCommentWithError).arg(QString::fromLocal8Bit(comment), text)
                            : text;
    CopyText(out, kWarningCommentSize, joined.toLocal8Bit().toStdString());
}

} // namespace kora::siganl
