#include "bench/bench_setup.h"

#include "bench/channel_table.h"
#include "frame/bench_context.h"
#include "frame/text.h"

#include <rvoapi.h>

#include <atomic>
#include <cstring>

namespace kora {

namespace {

constexpr const char* kSaveCallbackName = "CALLBACK ICTX_SAVE";
constexpr const char* kInvalidTestIndex = "Invalid TEST INDEX selected";

std::atomic<IctParameterSaver> g_saver{nullptr};

long SaveCallback(long reason, void* context, long contextSize) {
    (void)reason;
    RVO_STATION station = nullptr;
    if (context && contextSize == static_cast<long>(sizeof station)) {
        std::memcpy(&station, context, sizeof station);
    }
    const long index = station ? rvo_StationGetItemIndex(station) : 0;
    BenchRecord* bench = index >= 1 ? BenchByIndex(static_cast<int32_t>(index)) : nullptr;
    if (!bench) {
        ReportStepError(0, kSaveCallbackName, kErrResource, kInvalidTestIndex);
        return -2;
    }
    StepError error;
    if (!SaveIctParameters(*bench, static_cast<int32_t>(index), error)) {
        ReportStepError(0, kSaveCallbackName, error.code, error.message);
        return -2;
    }
    bench->ictModified = 0;
    rvo_SetAttributeCallback(2, 0);
    return 0;
}

} // namespace

void CopyBenchDevices(const BenchRecord& from, BenchRecord& active) {
    if (&from == &active) {
        return;
    }
    active.inUse = from.inUse;
    active.index = from.index;
    CopyText(active.name, from.name);
    active.panelId = from.panelId;
    // The station stays the active bench's own: a cleanup clears it in the configured benches, and
    // a selection after a selective cleanup must neither lose it nor hand a freed one on.
    active.logger = from.logger;
    active.routeDisplay = from.routeDisplay;
    std::memcpy(active.dmm, from.dmm, sizeof active.dmm);
    std::memcpy(active.scope, from.scope, sizeof active.scope);
    std::memcpy(active.funcgen, from.funcgen, sizeof active.funcgen);
    std::memcpy(active.adio, from.adio, sizeof active.adio);
    std::memcpy(active.urm, from.urm, sizeof active.urm);
    active.routing = from.routing;
    active.dcpwr = from.dcpwr;
    active.diomgr = from.diomgr;
    std::memcpy(active.cartridge, from.cartridge, sizeof active.cartridge);
    std::memcpy(active.compensation, from.compensation, sizeof active.compensation);

    // The channel table and what points into it.
    ChannelTableChanged();
    active.channelCount = from.channelCount;
    active.matrixChannelCount = from.matrixChannelCount;
    active.aliasCount = from.aliasCount;
    std::memcpy(active.channels, from.channels,
                sizeof(ChannelRecord) * static_cast<std::size_t>(from.channelCount));
    std::memcpy(active.channelList, from.channelList, sizeof active.channelList);
    active.channelListPtr = active.channelList;
    active.switchCardCount = from.switchCardCount;
    active.ictModuleCount = from.ictModuleCount;
    std::memcpy(active.ictModules, from.ictModules, sizeof active.ictModules);
    active.ict = from.ict;
    std::memcpy(active.switchCards, from.switchCards, sizeof active.switchCards);
    for (auto& card : active.switchCards) {
        for (auto*& channel : card.channels) {
            if (channel) {
                channel = active.channels + (channel - from.channels);
            }
        }
    }
    // The active bench runs the selected bench's component program but never owns it: the
    // model and its unsaved mark stay with the configured bench.
    active.ictProgram = from.ictProgram;
}

void SetIctParameterSaver(IctParameterSaver saver) {
    g_saver.store(saver);
}

bool SaveIctParameters(BenchRecord& bench, int32_t benchNumber, StepError& error) {
    const IctParameterSaver saver = g_saver.load();
    return saver ? saver(bench, benchNumber, error) : true;
}

void RegisterIctSaveCallback() {
    RVO_STATION station = rvo_StationCurrent();
    rvo_RegisterCallback(RVO_CALLBACK_SAVE, 0, SaveCallback, static_cast<long>(sizeof station),
                         &station);
}

} // namespace kora
