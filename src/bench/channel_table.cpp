#include "bench/channel_table.h"

#include "frame/text.h"

#include <resmgr.h>
#include <zqsm160.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

namespace kora {

namespace {

constexpr long kSoftwareConfig = 1;
constexpr long kPhysicalLayer = 0;
constexpr const char* kTableKey = "AppChannelTable";
constexpr const char* kTooManyChannels = "More than %li channels defined";
constexpr const char* kInvalidPhysical = "Invalid physical channel name <device>!<pin> (%s)";
constexpr const char* kInvalidPin = "\"%s\": Invalid physical channel name \"%s\"";
constexpr const char* kReadSuffix = "\n\nRead 'AppChannelTable' of BENCH \"%s\"";
constexpr const char* kMatrixType = "SM160";
constexpr const char* kPsamType = "PSAM";

std::atomic<uint32_t> gGeneration{1};

// A matrix card's pin "P<n>" has index n - 1. Any other pin text (or "P0") names no pin: such a
// channel is read, and the matrix set-up refuses it on its card.
int32_t MatrixPinIndex(const char* pin) {
    if (pin[0] != 'P' || pin[1] < '0' || pin[1] > '9') {
        return -1;
    }
    const long n = std::strtol(pin + 1, nullptr, 10);
    return static_cast<int32_t>(std::min<long>(n, kCardPins + 1) - 1);
}

bool ResmgrFailed(StepError& error, int32_t code, const char* message) {
    if (code != 0) {
        error.Set(static_cast<uint32_t>(code), message);
        return true;
    }
    return false;
}

bool ReadChannels(BenchRecord* bench, const char* benchSection, StepError& error) {
    int32_t warning = 0, code = 0, status = 0;
    char message[kMessageSize] = {};
    ViInt32 firstId = 0;
    ZQsm160_getChannelId(0, "P1", &firstId);
    bench->channelCount = 0;
    bench->matrixChannelCount = 0;

    char table[256] = {};
    RESMGR_Get_Key_Value(0, kSoftwareConfig, benchSection, kTableKey, table, sizeof table, &status,
                         &warning, &code, message);
    if (ResmgrFailed(error, code, message)) {
        return false;
    }
    if (status != RESMGR_KEY_FOUND || table[0] == 0) {
        return true;
    }
    int32_t count = 0;
    RESMGR_Number_Of_Keys(0, kSoftwareConfig, table, &count, &warning, &code, message);
    if (ResmgrFailed(error, code, message)) {
        return false;
    }
    if (count > kMaxChannels) {
        error.SetF(kErrResource, kTooManyChannels, static_cast<long>(kMaxChannels));
        return false;
    }
    for (int32_t n = 1; n <= count; ++n) {
        ChannelRecord& ch = bench->channels[bench->channelCount];
        std::memset(&ch, 0, sizeof ch);
        ch.cardIndex = -1;
        ch.pinIndex = -1;
        char name[RESMGR_NAME_SIZE] = {};
        char value[RESMGR_VALUE_SIZE] = {};
        RESMGR_Nth_Key_Name(0, kSoftwareConfig, table, n, name, &warning, &code, message);
        if (ResmgrFailed(error, code, message)) {
            return false;
        }
        RESMGR_Nth_Key_Value(0, kSoftwareConfig, table, n, value, &warning, &code, message);
        if (ResmgrFailed(error, code, message)) {
            return false;
        }
        char* bang = std::strchr(value, '!');
        if (!bang || bang[1] == 0) {
            error.SetF(kErrResource, kInvalidPhysical, value);
            return false;
        }
        CopyText(ch.appName, name);
        CopyText(ch.deviceName, std::string_view(value, static_cast<std::size_t>(bang - value)));
        CopyText(ch.pinName, bang + 1);

        char section[256];
        FormatText(section, sizeof section, "device->%s", ch.deviceName);
        char type[64] = {};
        RESMGR_Get_Key_Value(0, kPhysicalLayer, section, "Type", type, sizeof type, &status,
                             &warning, &code, message);
        if (ResmgrFailed(error, code, message)) {
            return false;
        }
        if (std::strcmp(type, kMatrixType) == 0) {
            ch.kind = 1;
            ch.pinIndex = MatrixPinIndex(ch.pinName);
            if (ch.pinIndex >= kCardPins) {
                error.SetF(kErrResource, kInvalidPin, name, value);
                return false;
            }
            ch.channelId = ch.pinIndex + firstId;
            bench->matrixChannelCount++;
        } else if (std::strcmp(type, kPsamType) == 0) {
            ch.kind = 2;
        }
        bench->channelCount++;
    }
    // Matrix channels first, in byte order of their names; the others follow.
    std::stable_sort(bench->channels, bench->channels + bench->channelCount,
                     [](const ChannelRecord& a, const ChannelRecord& b) {
                         if ((a.pinIndex >= 0) != (b.pinIndex >= 0)) {
                             return a.pinIndex >= 0;
                         }
                         return a.pinIndex >= 0 && std::strcmp(a.appName, b.appName) < 0;
                     });
    return true;
}

} // namespace

void ChannelTableChanged() {
    gGeneration.fetch_add(1, std::memory_order_acq_rel);
}

uint32_t ChannelTableGeneration() {
    return gGeneration.load(std::memory_order_acquire);
}

void BuildChannelList(BenchRecord* bench) {
    ChannelTableChanged();
    bench->channelListPtr = bench->channelList;
    CopyText(bench->channelList, "-,");
    std::size_t len = 2;
    int matrix = 0;
    for (int32_t i = 0; i < bench->channelCount; ++i) {
        if (bench->channels[i].pinIndex < 0) {
            continue;
        }
        AppendText(bench->channelList, sizeof bench->channelList, bench->channels[i].appName);
        len = AppendText(bench->channelList, sizeof bench->channelList, ",");
        ++matrix;
    }
    if (matrix > 0 && len > 0 && bench->channelList[len - 1] == ',') {
        bench->channelList[len - 1] = 0;
    }
}

bool ReadAppChannelTable(BenchRecord* bench, const char* benchSection, StepError& error) {
    bench->channelList[0] = 0;
    bool ok = ReadChannels(bench, benchSection, error);
    if (!ok) {
        bench->channelCount = 0;
        bench->matrixChannelCount = 0;
        char suffix[512];
        FormatText(suffix, sizeof suffix, kReadSuffix, benchSection ? benchSection : "");
        AppendText(error.message, sizeof error.message, suffix);
    }
    BuildChannelList(bench);
    return ok;
}

} // namespace kora
