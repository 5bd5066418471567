// rspsam: the source and measure module driver over the virtual bench's model (see
// vbench/modules/psam.h for terminals, bus-line masks, source modes and the meter).
//
// A module is opened by resource descriptor: the station must hold a device with it, unless the
// options of rspsam_InitWithOptions hold "Simulate=1" (see OpenStationDevice). Its model lives on
// the bench either way, so opening needs an active bench.
//
// What the numeric arguments mean here:
// - Attribute 1150026: 1 the DC source is a voltage source with current limit, 0 a current source
//   (the current limit is its current, the voltage level its compliance).
// - rspsam_dcs_QueryOutputState: query 1 asks whether the source runs at its current (the limit
//   in voltage mode, the set current in current mode), query 0 whether it runs at its voltage.
// - Current-limit ranges 0..4: 100 mA, 10 mA, 1 mA, 100 uA, 10 uA; voltage levels up to 30 V.
// - rspsam_ConfigureMeasurement: function 1 voltage, 3 current; the range is rounded up to the
//   meter's next range, and the low-pass filter returns to its start value of 400 Hz (a new
//   function or range starts from the filter the module powers up with).
// - Relay pairs "RACH1".."RACH4" with "RACOM" and "RBCH1".."RBCH4" with "RBCOM" switch the
//   module's digital termination network (SourceMeasureModule::setTermination): channel n of side
//   A or B.
// - rspsam_ConfigureTrigger: source 111 is the trigger line, which the module's software trigger
//   (rspsam_trig_SendSoftwareSignal) drives: a record started with rspsam_Initiate then begins at
//   the first software trigger after it (the PICT's CMU, on the same line, begins with it), and
//   rspsam_FetchMultiPoint waits for it (a fetch without a trigger times out). Any other source
//   begins the record at rspsam_Initiate; rspsam_ReadMultiPoint always begins at once. The
//   trigger generators' settings and the DMM method are kept as given.
#include <rspsam.h>

#include <vbench/bench/journal.h>
#include <vbench/bench/virtual_bench.h>
#include <vbench/modules/psam.h>

#include "driver_status.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

using kora::vbench::DriverCall;
using kora::vbench::FormatArgs;
using kora::vbench::SourceMeasureModule;
using kora::vbench::VirtualBench;

namespace {

constexpr const char* kInterface = "rspsam";

constexpr ViStatus kErrTerminal = -1074118640;  // 0xBFFA4010
constexpr ViStatus kErrValue = -1074118639;     // 0xBFFA4011
constexpr ViStatus kErrAttribute = -1074118638; // 0xBFFA4012
constexpr ViStatus kErrFunction = -1074118637;  // 0xBFFA4013
constexpr ViStatus kErrRelay = -1074118636;     // 0xBFFA4014
constexpr ViStatus kErrNoRecord = -1074118635;  // 0xBFFA4015
constexpr ViStatus kErrTimeout = -1074118634;   // 0xBFFA4016

using kora::drivers::kErrNoBench;
using kora::drivers::kErrNullPointer;
using kora::drivers::kErrSession;
using kora::drivers::StatusText;

// The driver's own codes; the shared ones come with driver_status.h.
constexpr StatusText kStatusTexts[] = {
    {RSPSAM_WARN_OVER_RANGE, "Measurement over range"},
    {RSPSAM_ERROR_NO_SAMPLES, "The record holds no sample"},
    {kErrTerminal, "Invalid terminal"},
    {kErrValue, "Value out of range"},
    {kErrAttribute, "Attribute not supported"},
    {kErrFunction, "Invalid measurement function"},
    {kErrRelay, "Unknown relay channel"},
    {kErrNoRecord, "No record was started (rspsam_Initiate)"},
    {kErrTimeout, "The record did not complete within the time-out"},
};

constexpr ViAttr kAttrSourceMode = 1150026;
constexpr ViInt32 kTriggerLine = 111;
constexpr double kStartLowpass = 400;
constexpr double kMaxVoltage = 30;
constexpr const char* kDriverRevision = "rspsam virtual bench 1.0";
constexpr const char* kFirmwareRevision = "virtual";

struct Session {
    std::weak_ptr<VirtualBench> bench;
    std::string module;
    std::vector<double> record;
    bool recordValid = false;
    bool recordOverRange = false;
    ViInt32 triggerSource = 1;
    bool armed = false;     // waiting for the software trigger
    bool triggered = false; // the trigger came; the record is taken when fetched
    int64_t triggerNs = 0;
    std::set<std::string> closedPairs;
};

std::mutex g_sessionsMutex;
std::map<ViSession, Session> g_sessions;
ViSession g_nextSession = 1;

// Runs `body(module, session)` for a call on an open session of the active bench, with the
// journal and fault injection around it.
template <typename Body>
ViStatus Call(const char* function, std::string arguments, ViSession vi, Body&& body) {
    const std::string traced = kora::drivers::DriverTraceWanted() ? arguments : std::string();
    DriverCall call(kInterface, function, std::move(arguments));
    if (call.fault()) {
        return call.finish(call.fault()->code);
    }
    if (!call.bench()) {
        return call.finish(kErrNoBench);
    }
    Session* session = nullptr;
    {
        std::lock_guard lock(g_sessionsMutex);
        auto it = g_sessions.find(vi);
        if (it != g_sessions.end() && it->second.bench.lock().get() == call.bench()) {
            session = &it->second;
        }
    }
    if (!session) {
        return call.finish(kErrSession);
    }
    const ViStatus status =
        call.finish(body(call.bench()->sourceMeasureModule(session->module), *session));
    if (kora::drivers::DriverTraceWanted()) {
        kora::drivers::TraceDriverCall(session->module, function, traced, status);
    }
    return status;
}

ViStatus Open(const char* function, std::string arguments, ViRsrc resourceName, ViBoolean reset,
              ViConstString options, ViSession* vi) {
    DriverCall call(kInterface, function, std::move(arguments));
    if (call.fault()) {
        return call.finish(call.fault()->code);
    }
    if (!vi || !resourceName) {
        return call.finish(kErrNullPointer);
    }
    // The module's model lives on the bench, also for a simulated module.
    if (!call.bench()) {
        return call.finish(kErrNoBench);
    }
    std::string name;
    if (const ViStatus opened = kora::drivers::OpenStationDevice(
            call, resourceName, kora::drivers::OptionSimulates(options), &name);
        opened != VI_SUCCESS) {
        return call.finish(opened);
    }
    SourceMeasureModule& m = call.bench()->sourceMeasureModule(name);
    if (reset) {
        m.setOutputEnabled(false);
        m.setCoupling(0);
        for (int t : SourceMeasureModule::kTerminals) {
            m.setTerminalLines(t, 0xFF, 0);
            m.setTerminalGround(t, false);
        }
        m.setDischargeEnabled(false);
        for (int side = 0; side < 2; ++side) {
            for (int channel = 1; channel <= 4; ++channel) {
                m.setTermination(side, channel, false);
            }
        }
    }
    std::lock_guard lock(g_sessionsMutex);
    *vi = g_nextSession++;
    Session& s = g_sessions[*vi];
    s.bench = VirtualBench::active();
    s.module = name;
    return call.finish(VI_SUCCESS);
}

bool ValidPair(const std::string& channel, const std::string& common) {
    static const std::set<std::string> a = {"RACH1", "RACH2", "RACH3", "RACH4"};
    static const std::set<std::string> b = {"RBCH1", "RBCH2", "RBCH3", "RBCH4"};
    return (a.count(channel) && common == "RACOM") || (b.count(channel) && common == "RBCOM");
}

std::string Upper(const char* text) {
    std::string out = text ? text : "";
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

ViStatus CopyRecord(const Session& s, ViInt32 count, ViReal64 buffer[], ViInt32* actual) {
    if (!actual || (count > 0 && !buffer)) {
        return kErrNullPointer;
    }
    const auto n =
        std::min<std::size_t>(static_cast<std::size_t>(std::max(count, 0)), s.record.size());
    std::copy(s.record.begin(), s.record.begin() + static_cast<long>(n), buffer);
    *actual = static_cast<ViInt32>(n);
    if (n == 0) {
        return RSPSAM_ERROR_NO_SAMPLES;
    }
    return s.recordOverRange ? RSPSAM_WARN_OVER_RANGE : VI_SUCCESS;
}

ViStatus TakeRecord(SourceMeasureModule& m, Session& s, ViInt32 timeoutMs, int64_t triggerNs = -1) {
    const double duration = m.sampleCount() * m.sampleInterval();
    if (timeoutMs >= 0 && duration > timeoutMs * 1e-3) {
        VirtualBench::active()->clock().waitSeconds(timeoutMs * 1e-3);
        return kErrTimeout;
    }
    s.record = m.takeRecord(&s.recordOverRange, triggerNs);
    s.recordValid = true;
    return VI_SUCCESS;
}

} // namespace

extern "C" {

ViStatus rspsam_init(ViRsrc resourceName, ViBoolean idQuery, ViBoolean reset, ViSession* vi) {
    return Open(__func__, FormatArgs(resourceName, idQuery, reset, vi), resourceName, reset,
                nullptr, vi);
}

ViStatus rspsam_InitWithOptions(ViRsrc resourceName, ViBoolean idQuery, ViBoolean reset,
                                ViConstString optionString, ViSession* vi) {
    return Open(__func__, FormatArgs(resourceName, idQuery, reset, optionString, vi), resourceName,
                reset, optionString, vi);
}

ViStatus rspsam_close(ViSession vi) {
    DriverCall call(kInterface, __func__, FormatArgs(vi));
    if (call.fault()) {
        return call.finish(call.fault()->code);
    }
    std::lock_guard lock(g_sessionsMutex);
    return call.finish(g_sessions.erase(vi) ? VI_SUCCESS : kErrSession);
}

ViStatus rspsam_revision_query(ViSession vi, ViChar driverRevision[VI_REVISION_SIZE],
                               ViChar firmwareRevision[VI_REVISION_SIZE]) {
    return Call(__func__, FormatArgs(vi, kora::vbench::kOut, kora::vbench::kOut), vi,
                [&](SourceMeasureModule&, Session&) {
                    if (!driverRevision || !firmwareRevision) {
                        return kErrNullPointer;
                    }
                    std::snprintf(driverRevision, VI_REVISION_SIZE, "%s", kDriverRevision);
                    std::snprintf(firmwareRevision, VI_REVISION_SIZE, "%s", kFirmwareRevision);
                    return VI_SUCCESS;
                });
}

ViStatus rspsam_error_message(ViSession vi, ViStatus status,
                              ViChar message[VI_ERROR_MESSAGE_SIZE]) {
    DriverCall call(kInterface, __func__,
                    FormatArgs(vi, kora::vbench::Hex{static_cast<uint32_t>(status)}));
    return kora::drivers::ErrorMessage(call, kStatusTexts, status, message);
}

ViStatus rspsam_ConfigureCoupling(ViSession vi, ViInt32 couplingMask) {
    return Call(__func__, FormatArgs(vi, kora::vbench::Hex{static_cast<uint32_t>(couplingMask)}),
                vi, [&](SourceMeasureModule& m, Session&) {
                    if (couplingMask < 0 || couplingMask > 0xFF) {
                        return kErrValue;
                    }
                    m.setCoupling(couplingMask);
                    return VI_SUCCESS;
                });
}

ViStatus rspsam_SetAttributeViInt32(ViSession vi, ViConstString channel, ViAttr attribute,
                                    ViInt32 value) {
    return Call(__func__, FormatArgs(vi, channel, attribute, value), vi,
                [&](SourceMeasureModule& m, Session&) {
                    if (attribute != kAttrSourceMode) {
                        return kErrAttribute;
                    }
                    if (value != 0 && value != 1) {
                        return kErrValue;
                    }
                    m.setVoltageMode(value == 1);
                    return VI_SUCCESS;
                });
}

ViStatus rspsam_Connect(ViSession vi, ViConstString channel, ViConstString common) {
    return Call(__func__, FormatArgs(vi, channel, common), vi,
                [&](SourceMeasureModule& m, Session& s) {
                    const std::string ch = Upper(channel), com = Upper(common);
                    if (!ValidPair(ch, com)) {
                        return kErrRelay;
                    }
                    m.setTermination(ch[1] == 'A' ? 0 : 1, ch.back() - '0', true);
                    s.closedPairs.insert(ch);
                    return VI_SUCCESS;
                });
}

ViStatus rspsam_Disconnect(ViSession vi, ViConstString channel, ViConstString common) {
    return Call(__func__, FormatArgs(vi, channel, common), vi,
                [&](SourceMeasureModule& m, Session& s) {
                    const std::string ch = Upper(channel), com = Upper(common);
                    if (!ValidPair(ch, com)) {
                        return kErrRelay;
                    }
                    m.setTermination(ch[1] == 'A' ? 0 : 1, ch.back() - '0', false);
                    s.closedPairs.erase(ch);
                    return VI_SUCCESS;
                });
}

ViStatus rspsam_cnx_Gnd(ViSession vi, ViInt32 terminal, ViBoolean connect) {
    return Call(__func__, FormatArgs(vi, terminal, connect), vi,
                [&](SourceMeasureModule& m, Session&) {
                    if (!SourceMeasureModule::isTerminal(terminal)) {
                        return kErrTerminal;
                    }
                    m.setTerminalGround(terminal, connect != VI_FALSE);
                    return VI_SUCCESS;
                });
}

ViStatus rspsam_cnx_Matrix(ViSession vi, ViInt32 terminal, ViInt32 affectedMask,
                           ViInt32 connectMask) {
    using kora::vbench::Hex;
    return Call(__func__,
                FormatArgs(vi, terminal, Hex{static_cast<uint32_t>(affectedMask)},
                           Hex{static_cast<uint32_t>(connectMask)}),
                vi, [&](SourceMeasureModule& m, Session&) {
                    if (!SourceMeasureModule::isTerminal(terminal)) {
                        return kErrTerminal;
                    }
                    if (affectedMask < 0 || affectedMask > 0xFF || connectMask < 0 ||
                        connectMask > 0xFF) {
                        return kErrValue;
                    }
                    m.setTerminalLines(terminal, affectedMask, connectMask);
                    return VI_SUCCESS;
                });
}

ViStatus rspsam_dcs_ConfigureVoltageLevel(ViSession vi, ViReal64 volts) {
    return Call(__func__, FormatArgs(vi, volts), vi, [&](SourceMeasureModule& m, Session&) {
        if (!(std::fabs(volts) <= kMaxVoltage)) {
            return kErrValue;
        }
        m.setVoltageLevel(volts);
        return VI_SUCCESS;
    });
}

ViStatus rspsam_dcs_ConfigureCurrentLimitRange(ViSession vi, ViInt32 range) {
    return Call(__func__, FormatArgs(vi, range), vi, [&](SourceMeasureModule& m, Session&) {
        if (range < 0 || range >= SourceMeasureModule::currentLimitRanges()) {
            return kErrValue;
        }
        m.setCurrentLimitRange(range);
        return VI_SUCCESS;
    });
}

ViStatus rspsam_dcs_ConfigureCurrentLimit(ViSession vi, ViReal64 amperes) {
    return Call(__func__, FormatArgs(vi, amperes), vi, [&](SourceMeasureModule& m, Session&) {
        if (!(std::fabs(amperes) <= SourceMeasureModule::currentLimitRangeMax(0))) {
            return kErrValue;
        }
        m.setCurrentLimit(amperes);
        return VI_SUCCESS;
    });
}

ViStatus rspsam_dcs_ConfigureOutputEnabled(ViSession vi, ViBoolean enabled) {
    return Call(__func__, FormatArgs(vi, enabled), vi, [&](SourceMeasureModule& m, Session&) {
        m.setOutputEnabled(enabled != VI_FALSE);
        return VI_SUCCESS;
    });
}

ViStatus rspsam_dcs_QueryOutputState(ViSession vi, ViInt32 query, ViBoolean* state) {
    return Call(__func__, FormatArgs(vi, query, state), vi, [&](SourceMeasureModule& m, Session&) {
        if (!state) {
            return kErrNullPointer;
        }
        if (query != 0 && query != 1) {
            return kErrValue;
        }
        *state = (query == 1 ? m.currentRegulated() : m.voltageRegulated()) ? VI_TRUE : VI_FALSE;
        return VI_SUCCESS;
    });
}

ViStatus rspsam_ConfigureDmmMethod(ViSession vi, ViInt32 method) {
    return Call(__func__, FormatArgs(vi, method), vi, [&](SourceMeasureModule&, Session&) {
        return method < 0 ? kErrValue : VI_SUCCESS;
    });
}

ViStatus rspsam_ConfigureMeasurement(ViSession vi, ViInt32 function, ViReal64 range) {
    return Call(
        __func__, FormatArgs(vi, function, range), vi, [&](SourceMeasureModule& m, Session&) {
            if (function != RSPSAM_FUNCTION_VOLTAGE && function != RSPSAM_FUNCTION_CURRENT) {
                return kErrFunction;
            }
            const auto f = function == RSPSAM_FUNCTION_VOLTAGE
                               ? SourceMeasureModule::Function::Voltage
                               : SourceMeasureModule::Function::Current;
            if (!m.setMeasurement(f, range)) {
                return kErrValue;
            }
            m.setLowpass(kStartLowpass);
            return VI_SUCCESS;
        });
}

ViStatus rspsam_ConfigureMultiPoint(ViSession vi, ViInt32 triggerCount, ViInt32 sampleCount,
                                    ViInt32 sampleTrigger, ViReal64 sampleInterval) {
    return Call(__func__, FormatArgs(vi, triggerCount, sampleCount, sampleTrigger, sampleInterval),
                vi, [&](SourceMeasureModule& m, Session&) {
                    if (triggerCount < 1 || sampleCount < 0 || !(sampleInterval >= 0)) {
                        return kErrValue;
                    }
                    m.setRecord(sampleCount, sampleInterval);
                    return VI_SUCCESS;
                });
}

ViStatus rspsam_ConfigureTrigger(ViSession vi, ViInt32 source, ViReal64 delay) {
    return Call(__func__, FormatArgs(vi, source, delay), vi,
                [&](SourceMeasureModule& m, Session& s) {
                    if (!(delay >= 0)) {
                        return kErrValue;
                    }
                    m.setTriggerDelay(delay);
                    s.triggerSource = source;
                    return VI_SUCCESS;
                });
}

ViStatus rspsam_mu_ConfigureLowpassFilter(ViSession vi, ViReal64 frequency) {
    return Call(__func__, FormatArgs(vi, frequency), vi, [&](SourceMeasureModule& m, Session&) {
        if (!(frequency > 0)) {
            return kErrValue;
        }
        m.setLowpass(frequency);
        return VI_SUCCESS;
    });
}

ViStatus rspsam_Initiate(ViSession vi) {
    return Call(__func__, FormatArgs(vi), vi, [&](SourceMeasureModule& m, Session& s) {
        s.triggered = false;
        if (s.triggerSource == kTriggerLine) {
            s.armed = true;
            s.recordValid = false;
            return VI_SUCCESS;
        }
        s.armed = false;
        return TakeRecord(m, s, -1);
    });
}

ViStatus rspsam_ReadMultiPoint(ViSession vi, ViInt32 timeoutMs, ViInt32 count, ViReal64 buffer[],
                               ViInt32* actualCount) {
    return Call(__func__, FormatArgs(vi, timeoutMs, count, buffer, actualCount), vi,
                [&](SourceMeasureModule& m, Session& s) {
                    if (!actualCount || (count > 0 && !buffer)) {
                        return kErrNullPointer;
                    }
                    const ViStatus st = TakeRecord(m, s, timeoutMs);
                    if (st != VI_SUCCESS) {
                        *actualCount = 0;
                        return st;
                    }
                    return CopyRecord(s, count, buffer, actualCount);
                });
}

ViStatus rspsam_FetchMultiPoint(ViSession vi, ViInt32 timeoutMs, ViInt32 count, ViReal64 buffer[],
                                ViInt32* actualCount) {
    return Call(__func__, FormatArgs(vi, timeoutMs, count, buffer, actualCount), vi,
                [&](SourceMeasureModule& m, Session& s) {
                    if (s.triggered) {
                        s.triggered = false;
                        if (const ViStatus st = TakeRecord(m, s, -1, s.triggerNs);
                            st != VI_SUCCESS) {
                            return st;
                        }
                    } else if (s.armed) {
                        // No trigger came; in virtual time none will while the caller waits.
                        VirtualBench::active()->clock().waitSeconds(std::max(timeoutMs, 0) * 1e-3);
                        return kErrTimeout;
                    }
                    if (!s.recordValid) {
                        return kErrNoRecord;
                    }
                    return CopyRecord(s, count, buffer, actualCount);
                });
}

ViStatus rspsam_trig_ConfigureSignal(ViSession vi, ViInt32 generator, ViInt32 source, ViInt32 slope,
                                     ViReal64 pulseWidth, ViReal64 pulsePause, ViInt32 output,
                                     ViInt32 polarity, ViInt32 delay, ViInt32 pulseCount) {
    return Call(__func__,
                FormatArgs(vi, generator, source, slope, pulseWidth, pulsePause, output, polarity,
                           delay, pulseCount),
                vi, [&](SourceMeasureModule&, Session&) {
                    return generator < 0 || pulseWidth < 0 || pulsePause < 0 ? kErrValue
                                                                             : VI_SUCCESS;
                });
}

ViStatus rspsam_trig_EnableOutput(ViSession vi, ViInt32 outputMask) {
    return Call(__func__, FormatArgs(vi, outputMask), vi,
                [&](SourceMeasureModule&, Session&) { return VI_SUCCESS; });
}

ViStatus rspsam_trig_SendSoftwareSignal(ViSession vi, ViInt32 generator) {
    return Call(__func__, FormatArgs(vi, generator), vi, [&](SourceMeasureModule& m, Session& s) {
        if (generator < 0) {
            return kErrValue;
        }
        // The record begins now; the bench takes it when it is fetched, so that the trigger
        // returns at once, as the module's does, and the CMU on the same line starts with it.
        if (s.armed) {
            s.armed = false;
            s.triggered = true;
            s.triggerNs = VirtualBench::active()->clock().nowNs();
        }
        (void)m;
        return VI_SUCCESS;
    });
}

ViStatus rspsam_trig_Abort(ViSession vi, ViInt32 generator) {
    return Call(__func__, FormatArgs(vi, generator), vi, [&](SourceMeasureModule&, Session&) {
        return generator < 0 ? kErrValue : VI_SUCCESS;
    });
}

ViStatus rspsam_dch_ConfigureCurrent(ViSession vi, ViInt32 step) {
    return Call(__func__, FormatArgs(vi, step), vi, [&](SourceMeasureModule& m, Session&) {
        if (step < 0 || step > 3) {
            return kErrValue;
        }
        m.setDischargeStep(step);
        return VI_SUCCESS;
    });
}

ViStatus rspsam_dch_ConfigureEnabled(ViSession vi, ViBoolean enabled) {
    return Call(__func__, FormatArgs(vi, enabled), vi, [&](SourceMeasureModule& m, Session&) {
        m.setDischargeEnabled(enabled != VI_FALSE);
        return VI_SUCCESS;
    });
}

} // extern "C"
