// The helpers of the DC power steps (see dcpwr_common.h).
#include "instruments/dcpwr_common.h"

#include "bench/bench_config.h"
#include "bench/device.h"
#include "frame/text.h"
#include "routing/routing.h"

#include <resmgr.h>
#include <rvoapi.h>

#include <cstring>

namespace kora::dcpwr {
namespace {

constexpr const char* kSupplyKey = "DCPwrSupply";
constexpr const char* kLogicalNames = "LogicalNames";
constexpr const char* kChannelTableKey = "DCPWRChannelTable";

} // namespace

bool Status::failed(StepError& stepError) {
    if (error == 0) {
        return false;
    }
    if (error == kErrPacNotResponding) {
        AppendText(message, sizeof message, kPacText);
    }
    stepError.Set(static_cast<uint32_t>(error), message);
    return true;
}

bool Status::failedBut(StepError& stepError, int32_t tolerated) {
    if (error == tolerated) {
        clear();
        return false;
    }
    return failed(stepError);
}

void ShowChannelDevice(const BenchRecord* bench, const char* channel) {
    // Each look-up that fails leaves the channel name as the one shown.
    StepError ignored;
    char section[64] = {}, logical[256] = {}, table[256] = {}, physical[256] = {},
         tableName[256] = {};
    char device[256];
    CopyText(device, OrEmpty(channel));
    if (bench) {
        BenchSectionOf(bench->name, section, ignored);
    }
    if (bench &&
        ReadConfigKey(kSoftwareConfigFile, section, kSupplyKey, logical, sizeof logical, ignored) &&
        ReadConfigKey(kSoftwareConfigFile, kLogicalNames, DeviceNameOf(logical), table,
                      sizeof table, ignored) &&
        ReadConfigKey(kSoftwareConfigFile, table, kChannelTableKey, tableName, sizeof tableName,
                      ignored) &&
        ReadConfigKey(kSoftwareConfigFile, tableName, OrEmpty(channel), physical, sizeof physical,
                      ignored)) {
        if (char* bang = std::strchr(physical, '!')) {
            *bang = 0;
            CopyText(device, physical);
        }
    }
    rvo_SetSTEPDeviceName(device);
}

bool SettleRouting(StepError& error, const BenchRecord* bench) {
    if (!bench || bench->routing.handle < 0) {
        return true;
    }
    int32_t status = 0, code = 0;
    char message[kMessageSize] = {};
    RouteExecute(bench, kSettleCommand, &status, &code, message);
    if (code < 0) {
        return !error.Set(static_cast<uint32_t>(code), message);
    }
    return true;
}

void WarningComment(const char* comment, const char* warning, char* out) {
    if (warning && warning[0]) {
        FormatText(out, kWarningCommentSize, "%s KORA warning: %s", OrEmpty(comment), warning);
    } else {
        CopyText(out, kWarningCommentSize, OrEmpty(comment));
    }
}

void TraceRouting(const BenchRecord* bench, const char* stepName) {
    if (bench && bench->routeDisplay) {
        ShowRouting(bench, stepName);
    }
}

bool InvalidSetting(StepError& error) {
    rvo_SetSTEPResult(-2);
    return error.Set(kErrFunction, kInvalidSetting);
}

bool RefuseKeyword(StepError& error, int argument, const char* devChanAttr) {
    rvo_SetSTEPResult(-2);
    return error.Set(ParamError(argument), OrNull(devChanAttr));
}

EN_NEV_RESULT VerifyText(const StepCall& call, const char* value, const char* channel,
                         const char* comment) {
    return static_cast<EN_NEV_RESULT>(rvo_VerifyS(0, call.stepName, call.lineCode, 0, value,
                                                  nullptr, nullptr, RVO_VERDICT_EXECUTIVE, 0.0,
                                                  channel, comment));
}

EN_NEV_RESULT VerifyNumber(const StepCall& call, long value, const char* channel) {
    return static_cast<EN_NEV_RESULT>(rvo_VerifyI(0, call.stepName, call.lineCode, 0, 0, "", value,
                                                  "", 0, RVO_VERDICT_EXECUTIVE, 0.0, channel,
                                                  call.comment));
}

} // namespace kora::dcpwr
