// What the bench life-cycle steps share: copying a configured bench into the active one, the
// save callback of changed ICT parameters, and card-library status codes as step errors.
#pragma once

#include "bench/bench.h"
#include "frame/errors.h"

#include <cstdint>

namespace kora {

// The active bench takes a configured bench's identity and hardware: index, name, logger, every
// device slot, routing, DC power, DIOMGR and cartridge slots, switch cards and ICT modules with
// the channel table they point into, and the compensation values. Its serial ports, timers and
// named arrays stay its own.
void CopyBenchDevices(const BenchRecord& from, BenchRecord& active);

// Saves the changed ICT parameters of a bench into its component file. The component program
// side installs the saver; without one there is nothing that could have changed.
using IctParameterSaver = bool (*)(BenchRecord& bench, int32_t benchNumber, StepError& error);
void SetIctParameterSaver(IctParameterSaver saver);
bool SaveIctParameters(BenchRecord& bench, int32_t benchNumber, StepError& error);

// Registers with the executive the callback through which it asks to save changed ICT
// parameters of the bench that serves the current station.
void RegisterIctSaveCallback();

// A card-library status as a step error code: negative, as every driver error is.
inline uint32_t UcmErrorCode(int32_t status) {
    return static_cast<uint32_t>(status < 0 ? status : -status);
}

} // namespace kora
