// Status codes and texts that every driver stand-in shares, and the common body of their
// *_error_message functions.
#pragma once

#include <platform_types.h>
#include <vbench/bench/virtual_bench.h>

#include <span>

namespace kora::drivers {

constexpr ViStatus kErrSession = -1074118655;     // 0xBFFA4001
constexpr ViStatus kErrNullPointer = -1074118653; // 0xBFFA4003
constexpr ViStatus kErrNoBench = -1074118647;     // 0xBFFA4009

struct StatusText {
    ViStatus code;
    const char* text;
};

// The text of `status` into `message`: a message injected with a fault first, then the driver's
// own table, then the shared codes, else "Unknown status code 0x...". Finishes `call`.
ViStatus ErrorMessage(vbench::DriverCall& call, std::span<const StatusText> own, ViStatus status,
                      ViChar message[VI_ERROR_MESSAGE_SIZE]);

} // namespace kora::drivers
