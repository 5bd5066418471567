// What the signal analyzer steps share: the analyzer look-up, the status block of a SIGANL call,
// the channel and path names, the range and offset rule, and the way a failure after the
// analyzer was found becomes a failed result instead of an alert.
#pragma once

#include "frame/args.h"
#include "frame/errors.h"
#include "frame/step_frame.h"

#include <siganl.h>

#include <cstdint>

namespace kora::scope {

constexpr long kUnitVolt = 5;
constexpr long kUnitSecond = 0x10;
constexpr long kUnitCount = 2;
constexpr double kOverRangeValue = 9999000000.0;
constexpr double kMinSampleTime = 5e-8;
constexpr int32_t kSampleStore = 8192;
constexpr const char* kChannelList = "CHA1,CHA2,CHA3,CHA4,CHB1,CHB2,CHB3,CHB4";
constexpr const char* kChannelNames[] = {"CHA1", "CHA2", "CHA3", "CHA4",
                                         "CHB1", "CHB2", "CHB3", "CHB4"};
constexpr const char* kPathNames[] = {"A", "B"};
constexpr const char* kImmediate = "IMMEDIATE";
constexpr const char* kSettle = "?#";
constexpr const char* kNanText = "Invalid measurement sample detected";
constexpr const char* kShortRecord = "Actual Sample count lower than expected sample count";
constexpr const char* kCountMismatch = "Read data count unequal expected value";

// The status block of one SIGANL call; `failed` moves an error into the step's error.
struct Status {
    int32_t warning = 0;
    int32_t error = 0;
    char message[kMessageSize] = {};

    bool failed(StepError& stepError) {
        if (error != 0) {
            stepError.Set(static_cast<uint32_t>(error), message);
            return true;
        }
        return false;
    }
};

// The analyzer of the step's device part in the active bench (an empty part: the first one);
// null when the bench has none set up. Names the device to the executive.
DeviceRecord* FindAnalyzer(BenchRecord* bench, const char* device);

// Refuses a keyword: error `code` with the DevChanAttr text, step result -2.
bool RefuseKeyword(StepError& error, uint32_t code, const char* devChanAttr);

// The range and offset of an input for limits and nominal value.
struct RangeOffset {
    double range;
    double offset;
};
RangeOffset RangeFor(const LimitRecord& limits, double nominal);

// A failure after the analyzer was found: step result -2 and a failed text result whose comment
// is the error message with its white space simplified, after the step comment and " | " when
// there is one. The error itself is cleared, so that no alert follows.
EN_NEV_RESULT FailAsResult(const StepCall& call, StepError& error, const char* channel);

// A routing command of the step ("?#", "%,?#") on a bench with routing.
bool RouteCommand(StepError& error, const BenchRecord* bench, const char* command);

// Records the step's outcome as a text.
EN_NEV_RESULT VerifyText(const StepCall& call, const char* value, const char* channel);

// The mean of the samples that are numbers (over range when none is); a NAN warning line for
// those that are not goes to `warning`.
double ValidMean(const double* samples, int32_t count, char* warning);

// The step comment with the warning: "%s KORA warning: %s", or the step comment alone.
void CommentWithWarning(const StepCall& call, const char* warning, char* out, std::size_t size);

} // namespace kora::scope
