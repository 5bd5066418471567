// What the function generator steps share: the generator look-up, the status block of a FUNCGEN
// call, the output switching of the suffix part, the operation mode and the verification texts.
#pragma once

#include "frame/args.h"
#include "frame/errors.h"
#include "frame/step_frame.h"

#include <funcgen.h>

#include <cstdint>

namespace kora::funcgen {

constexpr long kUnitVolt = 5;
constexpr long kUnitHertz = 17;
constexpr long kUnitPercent = 19;
constexpr long kUnitDegree = 20;
constexpr long kUnitCount = 2;
constexpr long kUnitNumber = 3;
constexpr long kUnitSecond = 0x10;
constexpr long kUnitSecondWord = 0x510;
constexpr const char* kChannelList = "CH1,CH2";
constexpr const char* kChannelNames[] = {"CH1", "CH2"};
constexpr const char* kSwitchings = "PRE_OFF,POST_ON,OFF_ON";
enum Switching { kPreOff = 1, kPostOn, kOffOn };

// The status block of one FUNCGEN call; `failed` moves an error into the step's error.
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

// The generator of the step's device part in the active bench (an empty part: the first one);
// null when the bench has no such generator set up.
DeviceRecord* FindGenerator(BenchRecord* bench, const char* device);

// The generator of a step, named to the executive; error `code` with the DevChanAttr text and -2
// as the step result when there is none.
DeviceRecord* GeneratorOf(BenchRecord* bench, const StepHead& head, StepError& error, uint32_t code,
                          const char* devChanAttr);

// The output switching of a suffix: PRE_OFF and OFF_ON as named, anything else POST_ON.
int32_t SwitchingOf(const char* suffix);
inline bool OffBefore(int32_t switching) {
    return switching == kPreOff || switching == kOffOn;
}
inline bool OnAfter(int32_t switching) {
    return switching == kPostOn || switching == kOffOn;
}

// FUNCGEN_ConfigureOutputEnabled on one channel; false with the error set.
bool EnableOutput(StepError& error, long handle, const char* channel, long on);

// The operation mode of a cycle count: 0 "CONTINUOUS", any other "BURST" with that count.
bool ConfigureCycles(StepError& error, long handle, const char* channel, long cycleCount);

// Refuses a keyword: error `code` with the DevChanAttr text, step result -2.
bool RefuseKeyword(StepError& error, uint32_t code, const char* devChanAttr);

// Records the step's outcome as a text (rvo_VerifyS, mode 0).
EN_NEV_RESULT VerifyText(const StepCall& call, const char* value, const char* channel,
                         const char* comment);
// Records a number without limits.
EN_NEV_RESULT VerifyReal(const StepCall& call, long unit, double value, const char* channel,
                         const char* comment);
EN_NEV_RESULT VerifyInt(const StepCall& call, long value, const char* channel);

} // namespace kora::funcgen
