// rspsm1 .. rspsm5: the drivers of the power switching and multiplexer modules PSM1 to PSM5. Each
// module switches its matrix lines "LABa1".."LABd2" onto the analog bus lines "ABa1".."ABd2",
// each line onto the bus line of the same name only. Nothing of a station's circuit hangs on a
// PSM's matrix lines, so the bench keeps only the state of these eight relays
// (vbench/modules/relay_module.h). Names match without regard to case. A disconnect of a pair
// that is not connected returns RSPSM_ERROR_NOT_CONNECTED and changes nothing.
//
// The five drivers share one body; each has its own sessions, journal interface ("rspsm1" ..)
// and relay state.
#include <rspsm.h>

#include <vbench/bench/journal.h>
#include <vbench/bench/virtual_bench.h>
#include <vbench/modules/relay_module.h>

#include "driver_status.h"
#include "module_sessions.h"

#include <array>
#include <cctype>
#include <string>

using kora::drivers::SessionTable;
using kora::vbench::DriverCall;
using kora::vbench::FormatArgs;
using kora::vbench::Hex;
using kora::vbench::RelayModule;
using kora::vbench::RelayModuleOf;

namespace {

constexpr ViStatus kErrLinePair = -1074118627; // 0xBFFA401D

using kora::drivers::StatusText;

constexpr StatusText kStatusTexts[] = {
    {RSPSM_ERROR_NOT_CONNECTED, "The matrix line is not connected to the bus line"},
    {kErrLinePair, "Invalid line pair: a matrix line LABa1..LABd2 and its bus line ABa1..ABd2"},
};

std::string Upper(const char* text) {
    std::string out = text ? text : "";
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

// The relay of a matrix line and its bus line ("LABA1-ABA1"), or "" when the names are no pair.
std::string PairOf(const char* matrixLine, const char* busLine) {
    const std::string m = Upper(matrixLine), b = Upper(busLine);
    const bool line = b.size() == 4 && b.compare(0, 2, "AB") == 0 && b[2] >= 'A' && b[2] <= 'D' &&
                      (b[3] == '1' || b[3] == '2');
    if (!line || m != "L" + b) {
        return {};
    }
    return m + "-" + b;
}

// One PSM driver: sessions and the body of its calls.
struct Psm {
    const char* interface;
    const char* revision;
    SessionTable sessions;

    ViStatus open(const char* function, std::string arguments, ViRsrc resource,
                  ViConstString options, ViBoolean reset, ViSession* vi) {
        return kora::drivers::OpenSession(
            interface, function, std::move(arguments), sessions, resource, options, reset, vi,
            [this](DriverCall& call, const std::string& device) {
                RelayModuleOf(*call.bench(), interface, device).closed.clear();
            });
    }
    ViStatus close(const char* function, ViSession vi) {
        return kora::drivers::CloseSession(interface, function, sessions, vi);
    }
    ViStatus revisionQuery(const char* function, ViSession vi, ViChar driver[], ViChar firmware[]) {
        return kora::drivers::RevisionQuery(interface, function, sessions, vi, revision, driver,
                                            firmware);
    }
    ViStatus errorMessage(const char* function, ViSession vi, ViStatus status, ViChar message[]) {
        DriverCall call(interface, function, FormatArgs(vi, Hex{static_cast<uint32_t>(status)}));
        return kora::drivers::ErrorMessage(call, kStatusTexts, status, message);
    }
    ViStatus connect(const char* function, ViSession vi, ViConstString matrixLine,
                     ViConstString busLine, bool closed) {
        return kora::drivers::WithSession(
            interface, function, FormatArgs(vi, matrixLine, busLine), sessions, vi,
            [&](DriverCall& call, const std::string& device) -> ViStatus {
                const std::string pair = PairOf(matrixLine, busLine);
                if (pair.empty()) {
                    return kErrLinePair;
                }
                RelayModule& m = RelayModuleOf(*call.bench(), interface, device);
                if (closed) {
                    m.closed.insert(pair);
                    return VI_SUCCESS;
                }
                return m.closed.erase(pair) ? VI_SUCCESS : RSPSM_ERROR_NOT_CONNECTED;
            });
    }
};

std::array<Psm, 5> g_psm = {{
    {"rspsm1", "rspsm1 virtual bench 1.0", {}},
    {"rspsm2", "rspsm2 virtual bench 1.0", {}},
    {"rspsm3", "rspsm3 virtual bench 1.0", {}},
    {"rspsm4", "rspsm4 virtual bench 1.0", {}},
    {"rspsm5", "rspsm5 virtual bench 1.0", {}},
}};

} // namespace

// The C functions of driver rspsmN, each handing its own name to the shared body.
#define KORA_RSPSM_DRIVER(N)                                                                       \
    ViStatus rspsm##N##_init(ViRsrc resourceName, ViBoolean idQuery, ViBoolean reset,              \
                             ViSession* vi) {                                                      \
        return g_psm[N - 1].open(__func__, FormatArgs(resourceName, idQuery, reset, vi),           \
                                 resourceName, nullptr, reset, vi);                                \
    }                                                                                              \
    ViStatus rspsm##N##_InitWithOptions(ViRsrc resourceName, ViBoolean idQuery, ViBoolean reset,   \
                                        ViConstString optionString, ViSession* vi) {               \
        return g_psm[N - 1].open(__func__,                                                         \
                                 FormatArgs(resourceName, idQuery, reset, optionString, vi),       \
                                 resourceName, optionString, reset, vi);                           \
    }                                                                                              \
    ViStatus rspsm##N##_close(ViSession vi) {                                                      \
        return g_psm[N - 1].close(__func__, vi);                                                   \
    }                                                                                              \
    ViStatus rspsm##N##_revision_query(ViSession vi, ViChar driverRevision[VI_REVISION_SIZE],      \
                                       ViChar firmwareRevision[VI_REVISION_SIZE]) {                \
        return g_psm[N - 1].revisionQuery(__func__, vi, driverRevision, firmwareRevision);         \
    }                                                                                              \
    ViStatus rspsm##N##_error_message(ViSession vi, ViStatus status,                               \
                                      ViChar message[VI_ERROR_MESSAGE_SIZE]) {                     \
        return g_psm[N - 1].errorMessage(__func__, vi, status, message);                           \
    }                                                                                              \
    ViStatus rspsm##N##_Connect(ViSession vi, ViConstString matrixLine, ViConstString busLine) {   \
        return g_psm[N - 1].connect(__func__, vi, matrixLine, busLine, true);                      \
    }                                                                                              \
    ViStatus rspsm##N##_Disconnect(ViSession vi, ViConstString matrixLine,                         \
                                   ViConstString busLine) {                                        \
        return g_psm[N - 1].connect(__func__, vi, matrixLine, busLine, false);                     \
    }

extern "C" {

KORA_RSPSM_DRIVER(1)
KORA_RSPSM_DRIVER(2)
KORA_RSPSM_DRIVER(3)
KORA_RSPSM_DRIVER(4)
KORA_RSPSM_DRIVER(5)

} // extern "C"

#undef KORA_RSPSM_DRIVER
