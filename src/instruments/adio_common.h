// What the analog and digital I/O steps share: the channel and group selections with their masks,
// the module a step names, the driver status turned into the step's error, and the verifications
// that carry no limits.
#pragma once

#include "frame/args.h"
#include "frame/errors.h"
#include "frame/step_frame.h"

#include <rspio2.h>

#include <cstdint>

namespace kora::adio {

constexpr long kUnitNone = 0;
constexpr long kUnitVolt = 5;
constexpr long kUnitAmpere = 9;
constexpr long kUnitHertz = 17;
constexpr long kUnitPercent = 19;
constexpr long kUnitMask = 0x19;
constexpr long kUnitSecondWord = 0x510;
constexpr long kUnitCount = 2;
constexpr double kOverRangeValue = 9999000000.0;
constexpr int kChannels = 16;
constexpr int kGroups = 4;
constexpr uint32_t kPowerChannels = 0x8888; // CH4, CH8, CH12, CH16
constexpr const char* kDataList = "NO,YES";
constexpr const char* kDetails = "-DETAILS";
constexpr const char* kSettleCommand = "?#";

// The sampling of a measurement: MeasTime as given, the time and count acquired, and the time
// between samples.
struct Timing {
    double measTime;
    double acqTime;
    double sampleTime;
    int32_t sampleCount;
};
// MEAS_ADIO: at most 5000 samples 200 us apart, stretched to fill a longer MeasTime; its fetch
// time-out in ms.
Timing MeasTiming(double measTime);
int32_t MeasTimeoutMs(const Timing& t);
// ACQ_ADIO: SampleCount samples spread over MeasTime, or 200 us apart; `acqCount` is the count
// acquired (at least 1).
Timing AcqTiming(double measTime, long sampleCount, int32_t* acqCount);

// The channel or group selection of CONF_ADIO and SET_ADIO.
struct Selection {
    int32_t groupMask;
    int32_t channelMask;
};
// The masks of a selection text ("" selects everything); false for any other word.
bool SelectionOf(const char* text, Selection* out);

// The measurement channel list of MEAS_ADIO and ACQ_ADIO; 0 when `text` is none of them.
int MeasurementChannel(const char* text);

// Driver names of the channels and groups, 0-based.
const char* ChannelName(int channel);
const char* GroupName(int group);

// The step's module (device class 5) named by the device part; null with `code` and the
// DevChanAttr text when the bench has none.
DeviceRecord* FindModule(StepError& error, BenchRecord* bench, const StepHead& head, uint32_t code,
                         const char* devChanAttr);

// A driver status other than 0 becomes the step's error: its code with the driver's text. True
// when it failed.
bool DriverFailed(StepError& error, ViSession vi, ViStatus status);

// The keyword of a step whose DevChanAttr names one word: the channel part, or the function part
// when there is no channel part.
const char* KeywordOf(const StepHead& head);

// Refuses a keyword or selection: "Invalid function parameter #N" with the DevChanAttr text.
bool Refuse(StepError& error, uint32_t code, const char* devChanAttr);

// Records a text (rvo_VerifyS, mode 0) or an integer without limits.
EN_NEV_RESULT VerifyText(const StepCall& call, const char* value, const char* channel);
EN_NEV_RESULT VerifyNumber(const StepCall& call, long unit, long value, const char* channel);

} // namespace kora::adio
