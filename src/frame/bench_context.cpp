#include "bench_context.h"

#include <winapi.h>

#include <cstdlib>

namespace kora {

namespace {

BenchContext gContexts[kBenchContextSlots];
std::atomic<uint32_t> gEpoch{1};

BenchContext* FindSlot(uint32_t thread) {
    for (auto& slot : gContexts) {
        if (slot.inUse.load(std::memory_order_acquire) != 0 &&
            slot.threadId.load(std::memory_order_acquire) == thread) {
            return &slot;
        }
    }
    return nullptr;
}

void ReleaseArrays(BenchRecord& bench) {
    for (auto& entry : bench.arrays) {
        std::free(entry.buffers[0]);
        std::free(entry.buffers[1]);
        entry.buffers[0] = entry.buffers[1] = nullptr;
    }
}

} // namespace

BenchRecord* AllocBenchContext(int32_t count) {
    const uint32_t thread = GetCurrentThreadId();
    for (auto& slot : gContexts) {
        if (slot.inUse.load(std::memory_order_relaxed) != 0) {
            continue;
        }
        if (slot.inUse.exchange(1, std::memory_order_acq_rel) != 0) {
            continue; // another thread won this slot
        }
        auto* benches = count > 0 ? static_cast<BenchRecord*>(std::calloc(
                                        static_cast<std::size_t>(count), sizeof(BenchRecord)))
                                  : nullptr;
        slot.benches.store(benches, std::memory_order_relaxed);
        slot.benchCount.store(benches ? count : 0, std::memory_order_relaxed);
        slot.threadId.store(thread, std::memory_order_release);
        gEpoch.fetch_add(1, std::memory_order_acq_rel);
        return benches;
    }
    return nullptr;
}

void FreeBenchContext() {
    const uint32_t thread = GetCurrentThreadId();
    for (auto& slot : gContexts) {
        if (slot.inUse.load(std::memory_order_acquire) == 0 ||
            slot.threadId.load(std::memory_order_acquire) != thread) {
            continue;
        }
        BenchRecord* benches = slot.benches.load(std::memory_order_relaxed);
        const int32_t count = benches ? slot.benchCount.load(std::memory_order_relaxed) : 0;
        if (count > 0) {
            ReleaseArrays(benches[0]);
        }
        // Each configured bench owns its component program; record 0 only borrows one.
        for (int32_t b = 1; b < count; ++b) {
            std::free(benches[b].ictProgram);
            benches[b].ictProgram = nullptr;
        }
        std::free(benches);
        slot.benches.store(nullptr, std::memory_order_relaxed);
        slot.benchCount.store(0, std::memory_order_relaxed);
        slot.threadId.store(0, std::memory_order_relaxed);
        slot.inUse.exchange(0, std::memory_order_acq_rel);
    }
}

int32_t BenchCount() {
    BenchContext* slot = FindSlot(GetCurrentThreadId());
    return slot ? slot->benchCount.load(std::memory_order_relaxed) : 0;
}

BenchRecord* BenchByIndex(int32_t index) {
    BenchContext* slot = FindSlot(GetCurrentThreadId());
    if (!slot || index < 0 || index >= slot->benchCount.load(std::memory_order_relaxed)) {
        return nullptr;
    }
    BenchRecord* benches = slot->benches.load(std::memory_order_relaxed);
    return benches ? benches + index : nullptr;
}

uint32_t BenchMemoryEpoch() {
    return gEpoch.load(std::memory_order_acquire);
}

BenchRecord* ActiveBench() {
    return BenchByIndex(0);
}

} // namespace kora
