// The save of a bench's component program back into its component file: a backup copy first,
// then every component written by its class's test method (the generic writer for classes
// without one), under the executive's progress display.
#pragma once

#include "bench/bench.h"
#include "frame/errors.h"

#include <rvoapi.h>

#include <cstdint>

namespace kora {

// First argument of EXEC_ICTX that asks for the save instead of a run.
constexpr uint32_t kSaveRequest = 0x80000000u;

// Writes the model of `bench` (configured bench number `benchNumber`) into its file. Returns
// false with the error (backup, open, or the failing method's) in `error`.
bool SaveBenchProgram(BenchRecord& bench, int32_t benchNumber, StepError& error);

// The save entry of EXEC_ICTX: saves configured bench `benchIndex` (0: the selected bench) and
// reports a failure itself under "EXEC_ICTX: Save component definition file". Returns 1
// whatever happened, as the executive expects of a save request.
EN_NEV_RESULT RunSaveRequest(long benchIndex);

// The saver that CLEANUP_KORA's save question and the executive's save callback reach; the
// load step installs it. It goes through the save entry, so it always succeeds from the
// caller's view (a failure has been reported already).
bool SaveIctProgramOfBench(BenchRecord& bench, int32_t benchNumber, StepError& error);

} // namespace kora
