// The process-wide table that gives each executive thread its own bench array.
#pragma once

#include "bench/bench.h"

#include <atomic>
#include <cstdint>

namespace kora {

constexpr int kBenchContextSlots = 32;

struct BenchContext {
    std::atomic<uint32_t> inUse{0};
    std::atomic<uint32_t> threadId{0};
    std::atomic<BenchRecord*> benches{nullptr};
    std::atomic<int32_t> benchCount{0};
};

// Claims a free slot for the calling thread with `count` zero-filled bench records. Returns the
// array, or null when all slots are taken or memory is short (the slot then holds count 0).
BenchRecord* AllocBenchContext(int32_t count);
// Releases every slot of the calling thread, with the named-array buffers of its active bench.
void FreeBenchContext();
int32_t BenchCount();
BenchRecord* BenchByIndex(int32_t index);
// The calling thread's active bench (record 0), or null.
BenchRecord* ActiveBench();

// A step's kept data may point into the bench memory (bench and channel records, component
// programs) or cache what the instruments opened in it hold: valid while no bench memory is
// allocated afresh. Each allocation starts a new epoch; a step that noted the epoch with its
// pointers or cache takes them afresh when it has changed.
uint32_t BenchMemoryEpoch();

} // namespace kora
