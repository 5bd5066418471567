// The status codes of the SIGANL library, shared by its instrument calls (siganl.cpp) and its
// analysis functions (siganl_analysis.cpp).
#pragma once

#include "classlib.h"

namespace kora::drivers::siganl {

inline constexpr int32_t kErrContext = -16001;
inline constexpr int32_t kErrHandle = -16002;
inline constexpr int32_t kErrNotPresent = -16003;
inline constexpr int32_t kErrNullPointer = -16004;
inline constexpr int32_t kErrSetting = -16005;
inline constexpr int32_t kErrValue = -16006;
inline constexpr int32_t kErrNoBench = -16007;
inline constexpr int32_t kErrNotSupported = -16008;
inline constexpr int32_t kErrNoAcquisition = -16009;
inline constexpr int32_t kErrTimeout = -16010;
inline constexpr int32_t kErrNotComplete = -16011;
// Analysis functions.
inline constexpr int32_t kErrTooFewSamples = -16020;
inline constexpr int32_t kErrInterval = -16021;
inline constexpr int32_t kErrWindow = -16022;
inline constexpr int32_t kErrNoFrequency = -16023;
inline constexpr int32_t kErrFileRead = -16024;
inline constexpr int32_t kErrFileFormat = -16025;
inline constexpr int32_t kErrFileWrite = -16026;

inline constexpr StatusText kStatusTexts[] = {
    {kErrContext, "Invalid argument: the reserved context must be 0"},
    {kErrHandle, "Invalid SIGANL handle"},
    {kErrNotPresent, "Device not present"},
    {kErrNullPointer, "Null pointer passed for a required parameter"},
    {kErrSetting, "Invalid setting"},
    {kErrValue, "Value out of range"},
    {kErrNoBench, "No virtual bench is active"},
    {kErrNotSupported, "Not supported by the virtual instrument"},
    {kErrNoAcquisition, "No acquisition initiated (SIGANL_InitiateAcquisition)"},
    {kErrTimeout, "Maximum time exceeded before the acquisition completed"},
    {kErrNotComplete, "Acquisition not complete"},
    {kErrTooFewSamples, "Too few samples for the analysis"},
    {kErrInterval, "Invalid sample interval"},
    {kErrWindow, "Invalid time window"},
    {kErrNoFrequency, "No periodic signal found"},
    {kErrFileRead, "Cannot read the waveform file"},
    {kErrFileFormat, "Invalid waveform file"},
    {kErrFileWrite, "Cannot write the waveform file"},
};

inline constexpr ClassLibrary kSiganl = {"SIGANL",    kStatusTexts, kErrContext,
                                         kErrNoBench, kErrHandle,   kErrNullPointer,
                                         kErrSetting, kErrValue,    kErrNotPresent};

} // namespace kora::drivers::siganl
