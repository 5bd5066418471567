// The helpers of the analog and digital I/O steps (see adio_common.h).
#include "instruments/adio_common.h"

#include "frame/text.h"

#include <rvoapi.h>

namespace kora::adio {
namespace {

constexpr const char* kSelectionList =
    "CH1,CH2,CH3,CH4,CH5,CH6,CH7,CH8,CH9,CH10,CH11,CH12,CH13,CH14,CH15,CH16,CHA,CHB,CHC,CHD";
constexpr const char* kMeasurementList =
    "CH1,CH2,CH3,CH4,CH5,CH6,CH7,CH8,CH9,CH10,CH11,CH12,CH13,CH14,CH15,CH16,CH1-CH9,CH2-CH10,"
    "CH3-CH11,CH4-CH12,CH5-CH13,CH6-CH14,CH7-CH15,CH8-CH16";
constexpr const char* kChannelNames[kChannels] = {"CH1",  "CH2",  "CH3",  "CH4",  "CH5",  "CH6",
                                                  "CH7",  "CH8",  "CH9",  "CH10", "CH11", "CH12",
                                                  "CH13", "CH14", "CH15", "CH16"};
constexpr const char* kGroupNames[kGroups] = {"GRP_A", "GRP_B", "GRP_C", "GRP_D"};

} // namespace

bool SelectionOf(const char* text, Selection* out) {
    if (!text || !text[0]) {
        *out = {0xF, 0xFFFF};
        return true;
    }
    const int k = MatchKeyword(text, kSelectionList);
    if (k == 0) {
        return false;
    }
    if (k <= kChannels) {
        *out = {0, 1 << (k - 1)};
    } else {
        const int g = k - kChannels - 1;
        *out = {1 << g, 0xF << (4 * g)};
    }
    return true;
}

int MeasurementChannel(const char* text) {
    return MatchKeyword(text, kMeasurementList);
}

const char* ChannelName(int channel) {
    return kChannelNames[channel];
}

const char* GroupName(int group) {
    return kGroupNames[group];
}

DeviceRecord* FindModule(StepError& error, BenchRecord* bench, const StepHead& head, uint32_t code,
                         const char* devChanAttr) {
    DeviceRecord* d = FindDevice(bench, kClassAdio, head.parts.device);
    if (!d) {
        Refuse(error, code, devChanAttr);
        return nullptr;
    }
    rvo_SetSTEPDeviceName(d->name);
    return d;
}

bool DriverFailed(StepError& error, ViSession vi, ViStatus status) {
    if (status == VI_SUCCESS) {
        return false;
    }
    char text[VI_ERROR_MESSAGE_SIZE] = {};
    rspio2_error_message(vi, status, text);
    error.Set(static_cast<uint32_t>(status), text);
    return true;
}

const char* KeywordOf(const StepHead& head) {
    return head.parts.channel[0] ? head.parts.channel : head.parts.function;
}

bool Refuse(StepError& error, uint32_t code, const char* devChanAttr) {
    rvo_SetSTEPResult(-2);
    return error.Set(code, OrNull(devChanAttr));
}

EN_NEV_RESULT VerifyText(const StepCall& call, const char* value, const char* channel) {
    return static_cast<EN_NEV_RESULT>(rvo_VerifyS(0, call.stepName, call.lineCode, 0, value,
                                                  nullptr, nullptr, RVO_VERDICT_EXECUTIVE, 0.0,
                                                  channel, call.comment));
}

EN_NEV_RESULT VerifyNumber(const StepCall& call, long unit, long value, const char* channel) {
    return static_cast<EN_NEV_RESULT>(rvo_VerifyI(0, call.stepName, call.lineCode, unit, 0, "",
                                                  value, "", 0, RVO_VERDICT_EXECUTIVE, 0.0, channel,
                                                  call.comment));
}

} // namespace kora::adio
