// STIM_DCPWR: plays caller-supplied voltage and current arrays on a channel as an arbitrary
// waveform behind the PAC.
#include "exports/export.h"
#include "frame/text.h"
#include "instruments/dcpwr_common.h"

#include <kora/step_methods.h>
#include <rvoapi.h>

#include <cmath>
#include <cstring>

namespace kora::dcpwr {
namespace {

constexpr const char* kStimMethod = "STIM_DCPWR";
constexpr const char* kStimKeywords = "PWR,PWR[X]";
constexpr const char* kArbMode = "ARB_WFM";
constexpr const char* kPacAutomatic = "AUTOMATIC";
constexpr double kMinSampleTime = 0.0001;
constexpr const char* kCycleTooShort = "Cycle time is to short (min: 0.1ms * samples)";
constexpr const char* kCountOutOfRange = "Sample count is out of range (>=0)";

struct StimRecord {
    StepHead head;
    int32_t sampleCount;
    int32_t cycleCount;
    double voltageMax;
    double currentMax;
    double cycleTime;
    double sampleTime;
    char data[8];
};

// The largest magnitude of the points, or `fallback` without points.
double Largest(const double* points, long count, double fallback) {
    if (!points) {
        return fallback;
    }
    double most = 0;
    for (long i = 0; i < count; ++i) {
        most = std::fmax(most, std::fabs(points[i]));
    }
    return most;
}

EN_NEV_RESULT RunStim(StepPass<StimRecord>& pass, long sampleCount, const double* volts,
                      double voltageMax, const double* amperes, double currentMax, double cycleTime,
                      long cycleCount) {
    StimRecord& r = *pass.record;
    const StepCall& call = pass.call;
    r.sampleCount = TruncToInt32(static_cast<double>(sampleCount));
    r.cycleTime = cycleTime;
    r.cycleCount = TruncToInt32(static_cast<double>(cycleCount));
    rvo_UpdateAttrI(r.head.component, &r.sampleCount);
    rvo_UpdateAttrR(r.head.component, &r.cycleTime);
    rvo_UpdateAttrI(r.head.component, &r.cycleCount);
    rvo_ReadAttrSList(r.head.component, r.data, sizeof r.data);
    if (r.head.selector == 0) {
        return InvalidSetting(pass.error), -2;
    }
    const char* channel = ChannelOf(r.head);
    ShowChannelDevice(pass.bench, channel);
    const long session = SessionOf(pass.bench);
    Status s;
    DCPWR_Abort_Arb_Wfm(0, session, channel, &s.warning, &s.error, s.message);
    s.clear(); // nothing may be playing
    DCPWR_Conf_Output_Enabled(0, session, channel, 0, &s.warning, &s.error, s.message);
    if (s.failed(pass.error)) {
        return -2;
    }
    DCPWR_Conf_Voltage_Level(0, session, channel, 0.0, &s.warning, &s.error, s.message);
    if (s.failed(pass.error)) {
        return -2;
    }
    DCPWR_Conf_Mode(0, session, channel, kArbMode, &s.warning, &s.error, s.message);
    if (s.failed(pass.error)) {
        return -2;
    }
    DCPWR_Conf_PAC_Control(0, session, channel, kPacAutomatic, 0.0, &s.warning, &s.error,
                           s.message);
    if (s.failed(pass.error)) {
        return -2;
    }
    r.voltageMax = Largest(volts, sampleCount, voltageMax);
    rvo_UpdateAttrR(r.head.component, &r.voltageMax);
    DCPWR_Conf_Output_Range(0, session, channel, "VOLTAGE", r.voltageMax, &s.warning, &s.error,
                            s.message);
    if (s.failed(pass.error)) {
        return -2;
    }
    if (!volts) {
        DCPWR_Conf_Voltage_Level(0, session, channel, r.voltageMax, &s.warning, &s.error,
                                 s.message);
        if (s.failed(pass.error)) {
            return -2;
        }
    }
    r.currentMax = Largest(amperes, sampleCount, currentMax);
    rvo_UpdateAttrR(r.head.component, &r.currentMax);
    DCPWR_Conf_Output_Range(0, session, channel, "CURRENT", r.currentMax, &s.warning, &s.error,
                            s.message);
    if (s.failed(pass.error)) {
        return -2;
    }
    if (!amperes) {
        DCPWR_Conf_Current_Limit(0, session, channel, "REGULATE", r.currentMax, &s.warning,
                                 &s.error, s.message);
        if (s.failed(pass.error)) {
            return -2;
        }
    }
    r.sampleTime = cycleTime / static_cast<double>(sampleCount);
    rvo_UpdateAttrR(r.head.component, &r.sampleTime);
    if (!(r.sampleTime >= kMinSampleTime)) {
        pass.error.Set(ParamError(11), kCycleTooShort);
        return -2;
    }
    DCPWR_Conf_Arb_Wfm(0, session, channel, 0, r.sampleTime, cycleCount, &s.warning, &s.error,
                       s.message);
    if (s.failed(pass.error)) {
        return -2;
    }
    if (volts || amperes) {
        if (sampleCount <= 0) {
            pass.error.Set(ParamError(6), kCountOutOfRange);
            return -2;
        }
        DCPWR_Set_Arb_Wfm(0, session, channel, sampleCount, volts, amperes, &s.warning, &s.error,
                          s.message);
        if (s.failed(pass.error)) {
            return -2;
        }
        DCPWR_Conf_Output_Enabled(0, session, channel, 1, &s.warning, &s.error, s.message);
        if (s.failed(pass.error)) {
            return -2;
        }
        DCPWR_Initiate_Arb_Wfm(0, session, channel, &s.warning, &s.error, s.message);
        if (s.failed(pass.error)) {
            return -2;
        }
    }
    if (std::strcmp(r.data, "YES") == 0) {
        if (volts) {
            rvo_VerifyRE(1, "DATA U", call.lineCode, kUnitVolt, sampleCount, volts, cycleTime, "");
        }
        if (amperes) {
            rvo_VerifyRE(2, "DATA I", call.lineCode, kUnitAmpere, sampleCount, amperes, cycleTime,
                         "");
        }
    }
    return VerifyText(call, channel, "", call.comment);
}

} // namespace
} // namespace kora::dcpwr

using namespace kora;
using namespace kora::dcpwr;

KORA_EXPORT EN_NEV_RESULT STIM_DCPWR(long stepRef, const char* stepName, long lineCode,
                                     long stepArg, const char* comment, const char* DevChanAttr,
                                     long SampleCount, double* Voltages, double VoltageMax,
                                     double* Currents, double CurrentMax, double CycleTime,
                                     long CycleCount) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kStimMethod};
    return RunStandardPass<StimRecord>(
        call, kKindInstrument, true,
        [&](auto& pass) {
            StimRecord& r = *pass.record;
            r.head.selector = 0;
            if (!CompileDevChanAttr(pass.error, r.head, DevChanAttr, kStimMethod, 0)) {
                return;
            }
            r.head.selector = MatchKeyword(r.head.parts.function, kStimKeywords);
            if (r.head.selector == 0) {
                RefuseKeyword(pass.error, 6, DevChanAttr);
                return;
            }
            r.sampleCount = TruncToInt32(static_cast<double>(SampleCount));
            r.cycleCount = TruncToInt32(static_cast<double>(CycleCount));
            r.voltageMax = VoltageMax;
            r.currentMax = CurrentMax;
            r.cycleTime = CycleTime;
            r.sampleTime = SampleCount > 0 ? CycleTime / static_cast<double>(SampleCount) : NAN;
            CopyText(r.data, "NO");
            rvo_DefineAttrI("SampleCount", kStimMethod, &r.sampleCount, kUnitCount, nullptr);
            rvo_DefineAttrR("VoltageMax", kStimMethod, &r.voltageMax, kUnitVolt, nullptr);
            rvo_DefineAttrR("CurrentMax", kStimMethod, &r.currentMax, kUnitAmpereWord, nullptr);
            rvo_DefineAttrR("CycleTime", kStimMethod, &r.cycleTime, kUnitSecondWord, nullptr);
            rvo_DefineAttrI("CycleCount", kStimMethod, &r.cycleCount, kUnitCount, nullptr);
            rvo_DefineAttrSList("DATA", kDetails, r.data, sizeof r.data, kDataList, nullptr);
            rvo_DefineAttrR("SampleTime", kDetails, &r.sampleTime, kUnitSecondWord, nullptr);
        },
        [&](auto& pass) {
            return RunStim(pass, SampleCount, Voltages, VoltageMax, Currents, CurrentMax, CycleTime,
                           CycleCount);
        });
}
