// rspsu: the power supply module driver over the virtual bench's model (see
// vbench/modules/psu.h for channels, terminals, relays, ranges and the current-limit behaviour).
//
// What the arguments mean here:
// - Channels "CH1", "CH2"; terminals "CH1_HI", "CH1_LO", "CH1_SHI", "CH1_SLO" and the same for
//   CH2; bus lines "ABa1".."ABd2" (any case). CH1's terminals reach ABa1, ABa2, ABb1, ABb2, CH2's
//   reach ABc1, ABc2, ABd1, ABd2; another pair has no relay.
// - rspsu_ConfigureCoupling: bit 0 ABa1, 1 ABa2, 2 ABb1, 3 ABb2, 4 ABc1, 5 ABc2, 6 ABd1, 7 ABd2.
// - rspsu_ConfigureMode: 0 supply (voltage with current limit), 1 constant current (the limit as
//   current, the voltage level as compliance).
// - rspsu_ConfigureOutputRange: kind 0 current range (10 mA, 100 mA, 1 A), kind 1 voltage range
//   (10 V, 50 V), rounded up to the next range. A current range below the present current limit,
//   or a voltage range below the present voltage level, is refused: set the limit or level first.
// - Voltage levels within the voltage range, current limits from 0 to the current range.
// - rspsu_ConfigureMeasurement: samples averaged (at least 1), their interval in seconds, trigger
//   source 0 (immediate, the only one).
// - rspsu_Measure: quantity 0 current delivered out of HI (amperes), 1 regulated voltage (volts).
// - rspsu_DisconnectAll opens every terminal relay; coupling and ground relays stay.
#include <rspsu.h>

#include <vbench/bench/journal.h>
#include <vbench/bench/virtual_bench.h>
#include <vbench/modules/psu.h>

#include "driver_status.h"
#include "module_sessions.h"

#include <cmath>

using kora::drivers::SessionTable;
using kora::vbench::DriverCall;
using kora::vbench::FormatArgs;
using kora::vbench::Hex;
using kora::vbench::PsuModule;
using kora::vbench::PsuOf;

namespace {

constexpr const char* kInterface = "rspsu";

constexpr ViStatus kErrTerminal = -1074118640;   // 0xBFFA4010
constexpr ViStatus kErrValue = -1074118639;      // 0xBFFA4011
constexpr ViStatus kErrNoPath = -1074118651;     // 0xBFFA4005
constexpr ViStatus kErrChannel = -1074118631;    // 0xBFFA4019
constexpr ViStatus kErrLine = -1074118630;       // 0xBFFA401A
constexpr ViStatus kErrLimitAbove = -1074118629; // 0xBFFA401B
constexpr ViStatus kErrLevelAbove = -1074118628; // 0xBFFA401C

using kora::drivers::kErrNullPointer;
using kora::drivers::StatusText;

constexpr StatusText kStatusTexts[] = {
    {kErrTerminal, "Unknown terminal"},
    {kErrValue, "Value out of range"},
    {kErrNoPath, "No relay of the module connects this terminal and bus line"},
    {kErrChannel, "Unknown channel (CH1 or CH2)"},
    {kErrLine, "Unknown bus line (ABa1 to ABd2)"},
    {kErrLimitAbove, "The current limit exceeds this current range; lower the limit first"},
    {kErrLevelAbove, "The voltage level exceeds this voltage range; lower the level first"},
};

constexpr const char* kDriverRevision = "rspsu virtual bench 1.0";

SessionTable g_sessions;

template <typename Body>
ViStatus Call(const char* function, std::string arguments, ViSession vi, Body&& body) {
    return kora::drivers::WithSession(kInterface, function, std::move(arguments), g_sessions, vi,
                                      [&](DriverCall& call, const std::string& device) {
                                          return body(PsuOf(*call.bench(), device));
                                      });
}

// A call on one channel of an open session.
template <typename Body>
ViStatus ChannelCall(const char* function, std::string arguments, ViSession vi,
                     ViConstString channel, Body&& body) {
    return Call(function, std::move(arguments), vi, [&](PsuModule& m) {
        const int ch = PsuModule::channelOf(channel ? channel : "");
        if (ch < 0) {
            return kErrChannel;
        }
        return body(m, ch);
    });
}

ViStatus Open(const char* function, std::string arguments, ViRsrc resourceName,
              ViConstString options, ViBoolean reset, ViSession* vi) {
    return kora::drivers::OpenSession(
        kInterface, function, std::move(arguments), g_sessions, resourceName, options, reset, vi,
        [](DriverCall& call, const std::string& device) { PsuOf(*call.bench(), device).reset(); });
}

ViStatus Switch(const char* function, ViSession vi, ViConstString terminal, ViConstString line,
                bool closed) {
    return Call(function, FormatArgs(vi, terminal, line), vi, [&](PsuModule& m) {
        int ch = 0, t = 0;
        if (!PsuModule::terminalOf(terminal ? terminal : "", &ch, &t)) {
            return kErrTerminal;
        }
        const int l = PsuModule::lineOf(line ? line : "");
        if (l < 0) {
            return kErrLine;
        }
        if (!PsuModule::reaches(ch, l)) {
            return kErrNoPath;
        }
        m.setConnection(ch, t, l, closed);
        return VI_SUCCESS;
    });
}

} // namespace

extern "C" {

KORA_MODULE_DRIVER_ENTRIES(rspsu)

ViStatus rspsu_ConfigureCoupling(ViSession vi, ViInt32 couplingMask) {
    return Call(__func__, FormatArgs(vi, Hex{static_cast<uint32_t>(couplingMask)}), vi,
                [&](PsuModule& m) {
                    if (couplingMask < 0 || couplingMask > 0xFF) {
                        return kErrValue;
                    }
                    m.setCoupling(couplingMask);
                    return VI_SUCCESS;
                });
}

ViStatus rspsu_Connect(ViSession vi, ViConstString terminal, ViConstString line) {
    return Switch(__func__, vi, terminal, line, true);
}

ViStatus rspsu_Disconnect(ViSession vi, ViConstString terminal, ViConstString line) {
    return Switch(__func__, vi, terminal, line, false);
}

ViStatus rspsu_DisconnectAll(ViSession vi) {
    return Call(__func__, FormatArgs(vi), vi, [&](PsuModule& m) {
        m.disconnectAll();
        return VI_SUCCESS;
    });
}

ViStatus rspsu_ConfigureMode(ViSession vi, ViConstString channel, ViInt32 mode) {
    return ChannelCall(__func__, FormatArgs(vi, channel, mode), vi, channel,
                       [&](PsuModule& m, int ch) {
                           if (mode != PsuModule::kSupply && mode != PsuModule::kConstantCurrent) {
                               return kErrValue;
                           }
                           m.setMode(ch, mode);
                           return VI_SUCCESS;
                       });
}

ViStatus rspsu_ConfigureOutputRange(ViSession vi, ViConstString channel, ViInt32 kind,
                                    ViReal64 range) {
    return ChannelCall(
        __func__, FormatArgs(vi, channel, kind, range), vi, channel, [&](PsuModule& m, int ch) {
            if (kind == RSPSU_RANGE_CURRENT) {
                const double r = PsuModule::rangeFor(PsuModule::currentRanges(), range);
                if (!(range > 0) || r == 0) {
                    return kErrValue;
                }
                if (m.currentLimit(ch) > r) {
                    return kErrLimitAbove;
                }
                m.setCurrentRange(ch, r);
                return VI_SUCCESS;
            }
            if (kind == RSPSU_RANGE_VOLTAGE) {
                const double r = PsuModule::rangeFor(PsuModule::voltageRanges(), range);
                if (!(range > 0) || r == 0) {
                    return kErrValue;
                }
                if (std::fabs(m.voltageLevel(ch)) > r) {
                    return kErrLevelAbove;
                }
                m.setVoltageRange(ch, r);
                return VI_SUCCESS;
            }
            return kErrValue;
        });
}

ViStatus rspsu_ConfigureVoltageLevel(ViSession vi, ViConstString channel, ViReal64 volts) {
    return ChannelCall(__func__, FormatArgs(vi, channel, volts), vi, channel,
                       [&](PsuModule& m, int ch) {
                           if (!(std::fabs(volts) <= m.voltageRange(ch))) {
                               return kErrValue;
                           }
                           m.setVoltageLevel(ch, volts);
                           return VI_SUCCESS;
                       });
}

ViStatus rspsu_ConfigureCurrentLimit(ViSession vi, ViConstString channel, ViReal64 amperes) {
    return ChannelCall(__func__, FormatArgs(vi, channel, amperes), vi, channel,
                       [&](PsuModule& m, int ch) {
                           if (!(amperes >= 0 && amperes <= m.currentRange(ch))) {
                               return kErrValue;
                           }
                           m.setCurrentLimit(ch, amperes);
                           return VI_SUCCESS;
                       });
}

ViStatus rspsu_ConfigureOutputEnabled(ViSession vi, ViConstString channel, ViBoolean enabled) {
    return ChannelCall(__func__, FormatArgs(vi, channel, enabled), vi, channel,
                       [&](PsuModule& m, int ch) {
                           m.setOutputEnabled(ch, enabled != VI_FALSE);
                           return VI_SUCCESS;
                       });
}

ViStatus rspsu_ConfigureGround(ViSession vi, ViConstString channel, ViBoolean grounded) {
    return ChannelCall(__func__, FormatArgs(vi, channel, grounded), vi, channel,
                       [&](PsuModule& m, int ch) {
                           m.setGrounded(ch, grounded != VI_FALSE);
                           return VI_SUCCESS;
                       });
}

ViStatus rspsu_ConfigureRemoteSensing(ViSession vi, ViConstString channel, ViBoolean enabled) {
    return ChannelCall(__func__, FormatArgs(vi, channel, enabled), vi, channel,
                       [&](PsuModule& m, int ch) {
                           m.setRemoteSensing(ch, enabled != VI_FALSE);
                           return VI_SUCCESS;
                       });
}

ViStatus rspsu_ConfigureMeasurement(ViSession vi, ViConstString channel, ViInt32 sampleCount,
                                    ViReal64 sampleInterval, ViInt32 triggerSource) {
    return ChannelCall(__func__,
                       FormatArgs(vi, channel, sampleCount, sampleInterval, triggerSource), vi,
                       channel, [&](PsuModule& m, int ch) {
                           if (sampleCount < 1 || !(sampleInterval >= 0) ||
                               !std::isfinite(sampleInterval) || triggerSource != 0) {
                               return kErrValue;
                           }
                           m.setMeasurement(ch, sampleCount, sampleInterval);
                           return VI_SUCCESS;
                       });
}

ViStatus rspsu_Measure(ViSession vi, ViConstString channel, ViInt32 quantity, ViReal64* value) {
    return ChannelCall(__func__, FormatArgs(vi, channel, quantity, value), vi, channel,
                       [&](PsuModule& m, int ch) {
                           if (!value) {
                               return kErrNullPointer;
                           }
                           if (quantity == RSPSU_MEASURE_CURRENT) {
                               *value = m.measureCurrent(ch);
                           } else if (quantity == RSPSU_MEASURE_VOLTAGE) {
                               *value = m.measureVoltage(ch);
                           } else {
                               return kErrValue;
                           }
                           return VI_SUCCESS;
                       });
}

ViStatus rspsu_QueryCurrentLimit(ViSession vi, ViConstString channel, ViBoolean* limited) {
    return ChannelCall(__func__, FormatArgs(vi, channel, limited), vi, channel,
                       [&](PsuModule& m, int ch) {
                           if (!limited) {
                               return kErrNullPointer;
                           }
                           *limited = m.currentLimited(ch) ? VI_TRUE : VI_FALSE;
                           return VI_SUCCESS;
                       });
}

} // extern "C"
