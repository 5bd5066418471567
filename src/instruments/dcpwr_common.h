// What the DC power steps share: the status block of a DCPWR call (with the PAC sentence after
// -10), the channel a step names, its display name, the routing commands and the comment texts.
#pragma once

#include "frame/args.h"
#include "frame/errors.h"
#include "frame/step_frame.h"

#include <dcpwr.h>

#include <cstdint>

namespace kora::dcpwr {

constexpr long kUnitVolt = 5;
constexpr long kUnitVoltRms = 8;
constexpr long kUnitAmpere = 9;
constexpr long kUnitOhm = 13;
constexpr long kUnitPercent = 19;
constexpr long kUnitHertz = 17;
constexpr long kUnitWatt = 24;
constexpr long kUnitAmpereWord = 0x509;
constexpr long kUnitSecondWord = 0x510;
constexpr long kUnitCount = 2;
constexpr double kOverRangeValue = 9999000000.0;
constexpr int32_t kErrPacNotResponding = DCPWR_ERR_PAC_NOT_RESPONDING;
constexpr int32_t kErrNotApplicable = DCPWR_ERR_NOT_APPLICABLE;
constexpr int32_t kErrStateNotSupported = DCPWR_ERR_STATE_NOT_SUPPORTED;
constexpr const char* kPacText =
    "\nPlease ensure that the PAC module is connected and switched on!";
constexpr const char* kSettleCommand = "?#";
constexpr const char* kRoutingCategory = "HOLM";
constexpr const char* kDataList = "NO,YES";
constexpr const char* kDetails = "-DETAILS";

// The status block of one DCPWR call.
struct Status {
    int32_t warning = 0;
    int32_t error = 0;
    char message[kMessageSize] = {};

    // Moves an error into the step's error (the PAC sentence appended after -10); true then.
    bool failed(StepError& stepError);
    // The same, with one code that is no failure here (cleared).
    bool failedBut(StepError& stepError, int32_t tolerated);
    void clear() {
        warning = error = 0;
        message[0] = 0;
    }
};

// The channel a step names: the device part of its DevChanAttr.
inline const char* ChannelOf(const StepHead& head) {
    return head.parts.device;
}

// The bench's DCPWR session.
inline long SessionOf(const BenchRecord* bench) {
    return bench ? bench->dcpwr.handle : -1;
}

// The name the executive shows for a channel: the device of its physical channel through the
// bench's DCPWR channel table, else the channel name itself.
void ShowChannelDevice(const BenchRecord* bench, const char* channel);

// The routing command "?#" on a bench with routing; false with the error set.
bool SettleRouting(StepError& error, const BenchRecord* bench);

// The verification comment: "%s KORA warning: %s" when a warning line was collected, else the
// step comment. `out` holds kWarningCommentSize bytes.
void WarningComment(const char* comment, const char* warning, char* out);

// The end of a step after its verification: the routing display when it is on.
void TraceRouting(const BenchRecord* bench, const char* stepName);

// A stored setting that cannot execute: 0x81000011 "INVALID SETTING => no execution".
bool InvalidSetting(StepError& error);

// Refuses a keyword: "Invalid function parameter #N" with the DevChanAttr text.
bool RefuseKeyword(StepError& error, int argument, const char* devChanAttr);

// Records the step's outcome as a text (rvo_VerifyS, mode 0).
EN_NEV_RESULT VerifyText(const StepCall& call, const char* value, const char* channel,
                         const char* comment);
// Records an integer without limits (rvo_VerifyI).
EN_NEV_RESULT VerifyNumber(const StepCall& call, long value, const char* channel);

} // namespace kora::dcpwr
