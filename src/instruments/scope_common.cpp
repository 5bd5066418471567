// The helpers of the signal analyzer steps (see scope_common.h).
#include "instruments/scope_common.h"

#include "frame/text.h"
#include "routing/routing.h"

#include <QString>
#include <rvoapi.h>

#include <algorithm>
#include <cmath>

namespace kora::scope {
namespace {

constexpr double kInputLimit = 125.0;
constexpr double kRangeMargin = 1.2;
constexpr const char* kFailedValue = "ERROR";
constexpr const char* kCommentJoin = "%1 | %2";

} // namespace

DeviceRecord* FindAnalyzer(BenchRecord* bench, const char* device) {
    DeviceRecord* d = FindDevice(bench, kClassScope, device);
    if (!d || !d->inUse) {
        return nullptr;
    }
    rvo_SetSTEPDeviceName(d->name);
    return d;
}

bool RefuseKeyword(StepError& error, uint32_t code, const char* devChanAttr) {
    rvo_SetSTEPResult(-2);
    return error.Set(code, OrNull(devChanAttr));
}

RangeOffset RangeFor(const LimitRecord& limits, double nominal) {
    // fmin/fmax: a nominal value that is not a number leaves the limits alone.
    const double lower = std::fmin(nominal, std::max(limits.low, -kInputLimit));
    const double upper = std::fmax(nominal, std::min(limits.high, kInputLimit));
    return {std::min((upper - lower) * kRangeMargin, kInputLimit), (upper + lower) / 2};
}

EN_NEV_RESULT FailAsResult(const StepCall& call, StepError& error, const char* channel) {
    rvo_SetSTEPResult(-2);
    const QString message = QString::fromLocal8Bit(error.message).simplified();
    const QString comment =
        call.comment && call.comment[0]
            ? QString(kCommentJoin).arg(QString::fromLocal8Bit(call.comment), message)
            : message;
    rvo_VerifyS(0, call.stepName, call.lineCode, 0, kFailedValue, nullptr, nullptr, -2, 0.0,
                channel, comment.toLocal8Bit().constData());
    error.Clear();
    return -2;
}

bool RouteCommand(StepError& error, const BenchRecord* bench, const char* command) {
    if (!bench || bench->routing.handle < 0) {
        return true;
    }
    int32_t status = 0, code = 0;
    char message[kMessageSize] = {};
    RouteExecute(bench, command, &status, &code, message);
    return code < 0 ? error.Set(static_cast<uint32_t>(code), message) : true;
}

EN_NEV_RESULT VerifyText(const StepCall& call, const char* value, const char* channel) {
    return static_cast<EN_NEV_RESULT>(rvo_VerifyS(0, call.stepName, call.lineCode, 0, value,
                                                  nullptr, nullptr, RVO_VERDICT_EXECUTIVE, 0.0,
                                                  channel, call.comment));
}

double ValidMean(const double* samples, int32_t count, char* warning) {
    double sum = 0;
    int32_t valid = 0;
    for (int32_t i = 0; i < count; ++i) {
        if (!std::isnan(samples[i])) {
            sum += samples[i];
            ++valid;
        }
    }
    if (valid < count) {
        FormatWarning("NAN", static_cast<uint32_t>(count - valid), kNanText, warning);
    }
    return valid > 0 ? sum / valid : kOverRangeValue;
}

void CommentWithWarning(const StepCall& call, const char* warning, char* out, std::size_t size) {
    if (warning[0]) {
        FormatText(out, size, "%s KORA warning: %s", OrEmpty(call.comment), warning);
    } else {
        CopyText(out, size, OrEmpty(call.comment));
    }
}

} // namespace kora::scope
