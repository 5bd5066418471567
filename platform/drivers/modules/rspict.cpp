// rspict: the ICT expansion module driver over the virtual bench's model (see
// vbench/modules/pict.h for the switch masks, the CMU, the AOS and the guard driver).
//
// What the numeric arguments mean here:
// - rspict_aos_SetMode: 1 DC, 0 AC (sine).
// - rspict_aos_ConfigureIct: frequency code 0 100 Hz, 1 1 kHz, 2 10 kHz; amplitude code 0 0.1 V,
//   1 0.2 V, 2 1 V; offset code 0 none, 1 +amplitude, 2 -amplitude.
// - rspict_aos_ConfigureDc: the range code picks the series resistance of the DC output (0 none,
//   1 10 ohm, 2 100 ohm, 3 1 kohm); the range argument (0, 10, 100, 1000, the same in ohms) is
//   taken as given; the level is in volts, within +/-10 V.
// - rspict_cmu_ConfigureSigCon: signal code 0 recorder input open, 1 and 2 the input current;
//   gain code 0..16 the ranges 1 uA .. 200 mA in 1-2-5 steps; coupling 1 (DC, the module's only
//   one); filter code 3 400 Hz, 2 4 kHz, 1 40 kHz, 0 none; the gain range in amperes is taken as
//   given (the code decides).
// - rspict_cmu_ConfigureTrigger: source 1 immediate, 111 the PSAM's trigger line (its software
//   trigger); the delay in seconds.
// - rspict_cmu_FetchData hands back the record's state: 0 ok, 1 under range, 2 over range (the
//   samples beyond 110 % are NaN), 4 time-out (no samples); the call itself succeeds. A record
//   that holds no sample at all is the error 0xBFFA402B.
// - rspict_cmu_Read returns the warning 0x3FFA2001 when a sample is over range (NaN), the codes
//   of the PSAM's read, and a time-out error when the record is longer than the time-out.
// - rspict_cnx_ConfigureSwitches: masks as in pict.h; a bit that reaches no line is refused.
// - Time-outs are in milliseconds; a negative one does not limit.
#include <rspict.h>

#include <vbench/bench/journal.h>
#include <vbench/bench/virtual_bench.h>
#include <vbench/modules/pict.h>

#include "driver_status.h"
#include "module_sessions.h"

#include <algorithm>
#include <cmath>

using kora::drivers::SessionTable;
using kora::vbench::DriverCall;
using kora::vbench::FormatArgs;
using kora::vbench::Hex;
using kora::vbench::PictModule;
using kora::vbench::PictOf;

namespace {

constexpr const char* kInterface = "rspict";

constexpr ViStatus kWarnOverRange = 0x3FFA2001; // a read met over range (samples NaN)
constexpr ViStatus kErrNoSamples = RSPICT_ERROR_NO_SAMPLES;
constexpr ViStatus kErrValue = -1074118639;      // 0xBFFA4011
constexpr ViStatus kErrNoRecord = -1074118635;   // 0xBFFA4015
constexpr ViStatus kErrTimeout = -1074118634;    // 0xBFFA4016
constexpr ViStatus kErrSwitchMask = -1074118632; // 0xBFFA4018

using kora::drivers::kErrNullPointer;
using kora::drivers::StatusText;

constexpr StatusText kStatusTexts[] = {
    {kWarnOverRange, "Measurement over range"},
    {kErrNoSamples, "The record holds no sample"},
    {kErrValue, "Value out of range"},
    {kErrNoRecord, "No record was started (rspict_cmu_Initiate)"},
    {kErrTimeout, "The record did not complete within the time-out"},
    {kErrSwitchMask, "A switch mask has a bit that reaches no bus line"},
};

constexpr const char* kDriverRevision = "rspict virtual bench 1.0";
constexpr double kMaxRecorderSamples = 1 << 20;

SessionTable g_sessions;

// A call on an open session, with the session's PICT.
template <typename Body>
ViStatus Call(const char* function, std::string arguments, ViSession vi, Body&& body) {
    return kora::drivers::WithSession(kInterface, function, std::move(arguments), g_sessions, vi,
                                      [&](DriverCall& call, const std::string& device) {
                                          return body(PictOf(*call.bench(), device));
                                      });
}

ViStatus Open(const char* function, std::string arguments, ViRsrc resourceName,
              ViConstString options, ViBoolean reset, ViSession* vi) {
    return kora::drivers::OpenSession(
        kInterface, function, std::move(arguments), g_sessions, resourceName, options, reset, vi,
        [](DriverCall& call, const std::string& device) { PictOf(*call.bench(), device).reset(); });
}

double TimeoutSeconds(ViInt32 timeoutMs) {
    return timeoutMs < 0 ? -1.0 : timeoutMs * 1e-3;
}

bool Finite(double value) {
    return std::isfinite(value);
}

// Copies up to count samples; the number copied goes to *actual.
void CopySamples(const PictModule::Record& r, ViInt32 count, ViReal64 buffer[], ViInt32* actual) {
    const auto n =
        std::min<std::size_t>(static_cast<std::size_t>(std::max(count, 0)), r.samples.size());
    std::copy(r.samples.begin(), r.samples.begin() + static_cast<long>(n), buffer);
    *actual = static_cast<ViInt32>(n);
}

} // namespace

extern "C" {

KORA_MODULE_DRIVER_ENTRIES(rspict)

ViStatus rspict_WaitForSettling(ViSession vi) {
    return Call(__func__, FormatArgs(vi), vi, [&](PictModule& m) {
        m.waitForSettling();
        return VI_SUCCESS;
    });
}

// ---- analog output source ---------------------------------------------------------------------

ViStatus rspict_aos_SetMode(ViSession vi, ViInt32 mode) {
    return Call(__func__, FormatArgs(vi, mode), vi, [&](PictModule& m) {
        if (mode != 0 && mode != 1) {
            return kErrValue;
        }
        m.setAosAc(mode == 0);
        return VI_SUCCESS;
    });
}

ViStatus rspict_aos_ConfigureIct(ViSession vi, ViInt32 frequencyCode, ViInt32 amplitudeCode,
                                 ViInt32 offsetCode) {
    return Call(__func__, FormatArgs(vi, frequencyCode, amplitudeCode, offsetCode), vi,
                [&](PictModule& m) {
                    auto code = [](ViInt32 c) { return c >= 0 && c <= 2; };
                    if (!code(frequencyCode) || !code(amplitudeCode) || !code(offsetCode)) {
                        return kErrValue;
                    }
                    m.configureSine(frequencyCode, amplitudeCode, offsetCode);
                    return VI_SUCCESS;
                });
}

ViStatus rspict_aos_ConfigureDc(ViSession vi, ViInt32 range, ViInt32 rangeCode, ViReal64 level) {
    return Call(__func__, FormatArgs(vi, range, rangeCode, level), vi, [&](PictModule& m) {
        if (range < 0 || rangeCode < 0 || rangeCode > 3 ||
            !(std::fabs(level) <= PictModule::kMaxDcLevel)) {
            return kErrValue;
        }
        m.configureDc(rangeCode, level);
        return VI_SUCCESS;
    });
}

ViStatus rspict_aos_EnableOutput(ViSession vi, ViBoolean enabled) {
    return Call(__func__, FormatArgs(vi, enabled), vi, [&](PictModule& m) {
        m.setAosEnabled(enabled != VI_FALSE);
        return VI_SUCCESS;
    });
}

// ---- complex measurement unit -----------------------------------------------------------------

ViStatus rspict_cmu_ConfigAutoRange(ViSession vi, ViBoolean enabled) {
    return Call(__func__, FormatArgs(vi, enabled), vi, [&](PictModule& m) {
        m.setAutoRange(enabled != VI_FALSE);
        return VI_SUCCESS;
    });
}

ViStatus rspict_cmu_ConfigureSigCon(ViSession vi, ViInt32 signalCode, ViInt32 gainCode,
                                    ViInt32 coupling, ViInt32 filterCode, ViReal64 gainRange) {
    return Call(__func__, FormatArgs(vi, signalCode, gainCode, coupling, filterCode, gainRange), vi,
                [&](PictModule& m) {
                    const int gains = static_cast<int>(PictModule::gainRanges().size());
                    if (signalCode < 0 || signalCode > 2 || gainCode < 0 || gainCode >= gains ||
                        coupling != 1 || filterCode < 0 || filterCode > 3 || !(gainRange >= 0) ||
                        !Finite(gainRange)) {
                        return kErrValue;
                    }
                    m.setSignalConditioning(signalCode, gainCode, filterCode);
                    return VI_SUCCESS;
                });
}

ViStatus rspict_cmu_ConfigureTrigger(ViSession vi, ViInt32 source, ViReal64 delay) {
    return Call(__func__, FormatArgs(vi, source, delay), vi, [&](PictModule& m) {
        if ((source != PictModule::kTriggerImmediate && source != PictModule::kTriggerPsamLine) ||
            !(delay >= 0) || !Finite(delay)) {
            return kErrValue;
        }
        m.setTrigger(source, delay);
        return VI_SUCCESS;
    });
}

ViStatus rspict_cmu_ConfigureRecorder(ViSession vi, ViInt32 sampleCount, ViReal64 sampleInterval) {
    return Call(__func__, FormatArgs(vi, sampleCount, sampleInterval), vi, [&](PictModule& m) {
        if (sampleCount < 0 || sampleCount > kMaxRecorderSamples || !(sampleInterval >= 0) ||
            !Finite(sampleInterval)) {
            return kErrValue;
        }
        m.setRecorder(sampleCount, sampleInterval);
        return VI_SUCCESS;
    });
}

ViStatus rspict_cmu_Initiate(ViSession vi) {
    return Call(__func__, FormatArgs(vi), vi, [&](PictModule& m) {
        m.initiate();
        return VI_SUCCESS;
    });
}

ViStatus rspict_cmu_FetchData(ViSession vi, ViInt32 timeoutMs, ViInt32 count, ViReal64 buffer[],
                              ViInt32* actualCount, ViReal64* range, ViInt32* state) {
    return Call(__func__, FormatArgs(vi, timeoutMs, count, buffer, actualCount, range, state), vi,
                [&](PictModule& m) {
                    if (!actualCount || !range || !state || (count > 0 && !buffer)) {
                        return kErrNullPointer;
                    }
                    if (!m.armed()) {
                        return kErrNoRecord;
                    }
                    const PictModule::Record r = m.fetch(TimeoutSeconds(timeoutMs));
                    CopySamples(r, count, buffer, actualCount);
                    *range = r.range;
                    *state = static_cast<ViInt32>(r.state);
                    if (r.state != PictModule::CmuState::Timeout && r.samples.empty()) {
                        return kErrNoSamples;
                    }
                    return VI_SUCCESS;
                });
}

ViStatus rspict_cmu_Read(ViSession vi, ViInt32 timeoutMs, ViInt32 count, ViReal64 buffer[],
                         ViInt32* actualCount) {
    return Call(__func__, FormatArgs(vi, timeoutMs, count, buffer, actualCount), vi,
                [&](PictModule& m) {
                    if (!actualCount || (count > 0 && !buffer)) {
                        return kErrNullPointer;
                    }
                    PictModule::Record r;
                    if (!m.read(TimeoutSeconds(timeoutMs), &r)) {
                        *actualCount = 0;
                        return kErrTimeout;
                    }
                    CopySamples(r, count, buffer, actualCount);
                    if (r.samples.empty()) {
                        return kErrNoSamples;
                    }
                    return r.state == PictModule::CmuState::OverRange ? kWarnOverRange : VI_SUCCESS;
                });
}

// ---- switches ---------------------------------------------------------------------------------

ViStatus rspict_cnx_ConfigureSwitches(ViSession vi, ViInt32 mask5, ViInt32 mask1, ViInt32 mask2,
                                      ViInt32 mask3, ViInt32 mask4) {
    auto hex = [](ViInt32 v) { return Hex{static_cast<uint32_t>(v)}; };
    return Call(
        __func__, FormatArgs(vi, hex(mask5), hex(mask1), hex(mask2), hex(mask3), hex(mask4)), vi,
        [&](PictModule& m) {
            const std::array<int, PictModule::kMasks> masks = {mask1, mask2, mask3, mask4, mask5};
            for (int i = 0; i < PictModule::kMasks; ++i) {
                if (!PictModule::validMask(i + 1, masks[static_cast<std::size_t>(i)])) {
                    return kErrSwitchMask;
                }
            }
            m.setSwitches(masks);
            return VI_SUCCESS;
        });
}

} // extern "C"
