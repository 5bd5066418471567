// CONF_ADIO: the I/O module's output relays, ground relay, channel modes, levels, current limit,
// group thresholds, square waves, remote sensing and reset. Levels are set as pairs or triples:
// the value given replaces one of them and the others are read back from the driver first.
#include "exports/export.h"
#include "frame/text.h"
#include "instruments/adio_common.h"

#include <kora/step_methods.h>
#include <rvoapi.h>

namespace kora::adio {
namespace {

constexpr const char* kConfMethod = "CONF_ADIO";
constexpr const char* kFunctions =
    "OUTPUT,GROUNDED,ANALOG,DIGITAL,PWM,PATTERN,WAVEFORM,SENSING,RESET";
enum Function {
    kOutput = 1,
    kGrounded,
    kAnalog,
    kDigital,
    kPwm,
    kPattern,
    kWaveform,
    kSensing,
    kReset
};
constexpr const char* kOutputOptions = "OUT,AIN";
constexpr const char* kAnalogOptions = "VOH,ILIM";
constexpr const char* kDigitalOptions = "VOL,VIH,VIL";
constexpr const char* kPwmOptions = "FREQ,DUTY,VOL";
constexpr double kEnableThreshold = 0.001;
constexpr ViInt32 kDebounceMs = 500;
constexpr int kDevChanArgument = 6;

// How a function (and option) is verified, and the unit and label of OnLevFreqDC.
enum class Check { Text, Integer, Real };
struct Shown {
    Check check;
    long unit;
    const char* label;
};
constexpr Shown kTextShown{Check::Text, kUnitNone, nullptr};
constexpr Shown kOutputShown{Check::Integer, kUnitNone, "Output Relay"};
constexpr Shown kGroundedShown{Check::Integer, kUnitNone, "Grounded"};
constexpr Shown kSensingShown{Check::Integer, kUnitNone, "External Sense"};
constexpr Shown kHighShown{Check::Real, kUnitVolt, "HI Voltage"};
constexpr Shown kLimitShown{Check::Real, kUnitAmpere, "Max. Output Current"};
constexpr Shown kDigitalShown[] = {{Check::Real, kUnitVolt, "LO Voltage OUT"},
                                   {Check::Real, kUnitVolt, "HI Voltage IN"},
                                   {Check::Real, kUnitVolt, "LO Voltage IN"}};
constexpr Shown kPwmShown[] = {{Check::Real, kUnitHertz, "Frequency"},
                               {Check::Real, kUnitPercent, "Duty Cycle"},
                               {Check::Real, kUnitVolt, "LO Voltage OUT"}};
// The group attributes a DIGITAL option replaces, in rspio2_ConfigureGroup's order, and a PWM one.
constexpr ViAttr kGroupLevels[] = {RSPIO2_ATTR_GROUP_OUTPUT_LOW_LEVEL,
                                   RSPIO2_ATTR_GROUP_INPUT_HIGH_LEVEL,
                                   RSPIO2_ATTR_GROUP_INPUT_LOW_LEVEL};
constexpr ViAttr kSquareWave[] = {RSPIO2_ATTR_SQUARE_WAVE_FREQUENCY,
                                  RSPIO2_ATTR_SQUARE_WAVE_DUTY_CYCLE};
// Channel modes of the functions that only set one.
constexpr ViInt32 kModeOf[] = {-1,
                               -1,
                               -1,
                               RSPIO2_MODE_ANALOG,
                               RSPIO2_MODE_DIGITAL,
                               RSPIO2_MODE_PWM,
                               RSPIO2_MODE_PATTERN,
                               RSPIO2_MODE_WAVEFORM};

struct ConfRecord {
    StepHead head;  // selector: the function, 1-based
    int32_t option; // 1-based in the function's option list, 0 none
    Selection selection;
    double value;
    Shown shown;
};

// The option of a function and whether the selection suits it; false for an invalid combination.
bool CheckCombination(ConfRecord& r) {
    const char* suffix = r.head.parts.suffix;
    const Selection& s = r.selection;
    const bool none = suffix[0] == 0;
    const bool single = s.groupMask == 0;
    switch (r.head.selector) {
    case kOutput:
        r.option = MatchKeyword(suffix, kOutputOptions);
        r.shown = kOutputShown;
        return r.option != 0;
    case kGrounded:
        r.shown = kGroundedShown;
        return none;
    case kAnalog:
        r.option = none ? 0 : MatchKeyword(suffix, kAnalogOptions);
        r.shown = r.option == 1 ? kHighShown : r.option == 2 ? kLimitShown : kTextShown;
        return (none || r.option != 0) &&
               (r.option != 2 || (single && (s.channelMask & ~kPowerChannels) == 0));
    case kDigital:
        r.option = none ? 0 : MatchKeyword(suffix, kDigitalOptions);
        r.shown = r.option ? kDigitalShown[r.option - 1] : kTextShown;
        return none || (r.option != 0 && s.groupMask != 0);
    case kPwm:
        r.option = none ? 0 : MatchKeyword(suffix, kPwmOptions);
        r.shown = r.option ? kPwmShown[r.option - 1] : kTextShown;
        return none || r.option == 3 || (r.option != 0 && s.groupMask != 0);
    case kWaveform:
        r.shown = kTextShown;
        return none && single;
    case kSensing:
        r.shown = kSensingShown;
        if (s.channelMask == 0xFFFF) {
            r.selection = {0, static_cast<int32_t>(kPowerChannels)}; // exactly these four
        }
        return none && r.selection.groupMask == 0 &&
               (r.selection.channelMask & ~kPowerChannels) == 0;
    case kPattern:
    case kReset:
        r.shown = kTextShown;
        return none;
    default:
        return false;
    }
}

// Calls `call(name)` for every selected channel (or group), stopping at the first failure.
template <typename Call>
ViStatus ForEach(int32_t mask, int count, const char* (*name)(int), Call call) {
    for (int i = 0; i < count; ++i) {
        if (mask & (1 << i)) {
            if (const ViStatus status = call(name(i)); status != VI_SUCCESS) {
                return status;
            }
        }
    }
    return VI_SUCCESS;
}

// Executes the stored setting; the value to verify goes to `shownValue`.
ViStatus Execute(ViSession vi, const ConfRecord& r, double* shownValue) {
    const double v = r.value;
    const ViBoolean enable = v > kEnableThreshold ? VI_TRUE : VI_FALSE;
    const int32_t channels = r.selection.channelMask, groups = r.selection.groupMask;
    *shownValue = v;
    auto perChannel = [&](auto call) { return ForEach(channels, kChannels, ChannelName, call); };
    auto perGroup = [&](auto call) { return ForEach(groups, kGroups, GroupName, call); };
    switch (r.head.selector) {
    case kOutput:
        *shownValue = enable;
        return perChannel(
            [&](const char* c) { return rspio2_ConfigureOutputMux(vi, c, enable ? r.option : 0); });
    case kGrounded:
        *shownValue = enable;
        return rspio2_ConfigureGround(vi, enable);
    case kSensing:
        *shownValue = enable;
        return perChannel(
            [&](const char* c) { return rspio2_ConfigureRemoteSensing(vi, c, enable); });
    case kReset:
        return rspio2_reset(vi);
    case kAnalog:
        if (r.option == 1) {
            return perChannel([&](const char* c) {
                ViReal64 low = 0;
                const ViStatus s =
                    rspio2_GetAttributeViReal64(vi, c, RSPIO2_ATTR_OUTPUT_LOW_LEVEL, &low);
                return s != VI_SUCCESS ? s : rspio2_ConfigureChannelLevels(vi, c, v, low);
            });
        }
        if (r.option == 2) {
            return rspio2_ConfigureChannelCurrentLimit(vi, r.head.parts.channel, v);
        }
        break;
    case kDigital:
        if (r.option != 0) {
            return perGroup([&](const char* g) {
                ViReal64 levels[3] = {};
                for (int i = 0; i < 3; ++i) {
                    if (i == r.option - 1) {
                        levels[i] = v;
                    } else if (const ViStatus s =
                                   rspio2_GetAttributeViReal64(vi, g, kGroupLevels[i], &levels[i]);
                               s != VI_SUCCESS) {
                        return s;
                    }
                }
                return rspio2_ConfigureGroup(vi, g, levels[0], levels[1], levels[2]);
            });
        }
        break;
    case kPwm:
        if (r.option == 3) {
            return perChannel([&](const char* c) {
                ViReal64 high = 0;
                const ViStatus s =
                    rspio2_GetAttributeViReal64(vi, c, RSPIO2_ATTR_OUTPUT_HIGH_LEVEL, &high);
                return s != VI_SUCCESS ? s : rspio2_ConfigureChannelLevels(vi, c, high, v);
            });
        }
        if (r.option != 0) {
            return perGroup([&](const char* g) {
                ViReal64 wave[2] = {};
                for (int i = 0; i < 2; ++i) {
                    if (i == r.option - 1) {
                        wave[i] = v;
                    } else if (const ViStatus s =
                                   rspio2_GetAttributeViReal64(vi, g, kSquareWave[i], &wave[i]);
                               s != VI_SUCCESS) {
                        return s;
                    }
                }
                const ViStatus s = rspio2_ConfigureSquareWave(vi, g, wave[0], wave[1]);
                // What the module made of the value is what the step shows.
                return s != VI_SUCCESS ? s
                                       : rspio2_GetAttributeViReal64(
                                             vi, g, kSquareWave[r.option - 1], shownValue);
            });
        }
        break;
    default:
        break;
    }
    const ViInt32 mode = kModeOf[r.head.selector];
    return perChannel([&](const char* c) { return rspio2_ConfigureChannelMode(vi, c, mode); });
}

EN_NEV_RESULT RunConf(StepPass<ConfRecord>& pass, const char* devChanAttr, double value) {
    ConfRecord& r = *pass.record;
    const StepCall& call = pass.call;
    r.value = value;
    rvo_UpdateAttrR(r.head.component, &r.value);
    if (r.head.selector < kOutput || r.head.selector > kReset) {
        return Refuse(pass.error, kErrFunction, kInvalidSetting), -2;
    }
    DeviceRecord* d =
        FindModule(pass.error, pass.bench, r.head, ParamError(kDevChanArgument), devChanAttr);
    if (!d) {
        return -2;
    }
    const ViSession vi = static_cast<ViSession>(d->handle);
    double shown = 0;
    if (DriverFailed(pass.error, vi, Execute(vi, r, &shown))) {
        return -2;
    }
    const int f = r.head.selector;
    if ((f == kOutput || f == kGrounded || f == kSensing) &&
        DriverFailed(pass.error, vi, rspio2_WaitForDebounce(vi, kDebounceMs))) {
        return -2;
    }
    const char* channel = r.head.parts.channel;
    switch (r.shown.check) {
    case Check::Integer:
        return VerifyNumber(call, r.shown.unit, static_cast<long>(shown), channel);
    case Check::Real:
        return static_cast<EN_NEV_RESULT>(rvo_VerifyR(0, call.stepName, call.lineCode, r.shown.unit,
                                                      0, "", shown, "", 0, RVO_VERDICT_EXECUTIVE,
                                                      0.0, channel, call.comment));
    default:
        return VerifyText(call, r.head.parts.function, channel);
    }
}

} // namespace
} // namespace kora::adio

using namespace kora;
using namespace kora::adio;

KORA_EXPORT EN_NEV_RESULT CONF_ADIO(long stepRef, const char* stepName, long lineCode, long stepArg,
                                    const char* comment, const char* DevChanAttr,
                                    double OnLevFreqDC) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kConfMethod};
    return RunStandardPass<ConfRecord>(
        call, kKindNone, true,
        [&](auto& pass) {
            ConfRecord& r = *pass.record;
            r.head.selector = 0;
            r.option = 0;
            if (!CompileDevChanAttr(pass.error, r.head, DevChanAttr, kConfMethod, 1)) {
                return;
            }
            r.head.selector = MatchKeyword(r.head.parts.function, kFunctions);
            if (r.head.selector == 0 || !SelectionOf(r.head.parts.channel, &r.selection) ||
                !CheckCombination(r)) {
                r.head.selector = 0;
                Refuse(pass.error, ParamError(kDevChanArgument), DevChanAttr);
                return;
            }
            r.value = OnLevFreqDC;
            rvo_DefineAttrR("OnLevFreqDC", kConfMethod, &r.value, r.shown.unit, r.shown.label);
        },
        [&](auto& pass) { return RunConf(pass, DevChanAttr, OnLevFreqDC); });
}
