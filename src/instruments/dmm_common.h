// What the multimeter steps share: the measuring functions, the device look-up and the calls of
// the DMM class library with their status block.
#pragma once

#include "frame/args.h"
#include "frame/errors.h"
#include "frame/step_frame.h"

#include <dmm.h>

#include <cstdint>

namespace kora::dmm {

constexpr const char* kFunctionKeywords = "VDC,ADC,RES,RES_4W,VAC,AAC,VACDC,AACDC";

struct Function {
    const char* keyword;
    const char* driverName;
    int32_t unit;
    bool ac;
};

constexpr Function kFunctions[] = {
    {"VDC", "DC_VOLTS", 5, false},          {"ADC", "DC_CURRENT", 9, false},
    {"RES", "2_WIRE_RES", 13, false},       {"RES_4W", "4_WIRE_RES", 13, false},
    {"VAC", "AC_VOLTS", 6, true},           {"AAC", "AC_CURRENT", 10, true},
    {"VACDC", "AC_PLUS_DC_VOLTS", 7, true}, {"AACDC", "AC_PLUS_DC_CURRENT", 11, true},
};
constexpr int kFourWireFunction = 4; // RES_4W, 1-based
constexpr int32_t kFourWireMarker = 140;
constexpr int32_t kUnitOhm = 13;
constexpr long kTimeUnit = 0x510;
constexpr long kUnitHertz = 17;
constexpr double kOverRangeValue = 9999000000.0;
constexpr int32_t kNoValidSample = DMM_ERR_NO_VALID_SAMPLE;
constexpr double kMinSampleTime = 5e-6;
constexpr int kSampleStore = 8192;

// The meter of the step's device part in the active bench (an empty part: the first meter); null
// when the bench has no such meter set up.
inline DeviceRecord* FindMeter(BenchRecord* bench, const char* device) {
    DeviceRecord* d = FindDevice(bench, kClassDmm, device);
    return d && d->inUse ? d : nullptr;
}

// The status block of one class-library call; `failed` moves an error into the step's error.
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

} // namespace kora::dmm
