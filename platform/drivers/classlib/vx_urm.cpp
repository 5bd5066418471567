// VX_Urm: the library of the universal relay/IO modules, over the virtual bench.
//
// The modules are the station's devices of Type "URM" (see vbench/bench/station.h); their
// resource descriptors "<interface><frame>::<slot>[::...]" give the frame and slot of the scan.
// A module opened with hardware 0 is simulated and needs no device of the station; otherwise
// the station must hold a device with that resource descriptor. The only model is "GEN".
//
// Each module has four banks A..D (0..3) of eight bits, all inputs at power-on. VX_Urm_Set drives
// a bit, whatever its mode, and VX_Urm_Get reads what was last driven onto it (0 until then); the
// bits belong to the module's model on the bench (vbench/modules/urm.h), so every handle of it
// sees the same ones, and a bit that is an output and on closes the contact the station wires
// into the board, after the contact's operate time.
//
// The first session on a module starts from power-on: opening a module that no session holds
// resets it, as a driver's initialisation with reset does, so that a relay a program left switched
// on (its switch-off failed, the program stopped half-way) does not load the next program's board.
// Sessions opened while another is open on the module share its bits; one that the thread's
// earlier program never closed does not count (see ClassSessions::anyHeldOnBench).
#include <vx_urm.h>

#include "classlib.h"

#include <vbench/modules/urm.h>

#include <array>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

using kora::drivers::ClassSessions;
using kora::drivers::kErrNoBench;
using kora::drivers::kErrNullPointer;
using kora::drivers::kErrSession;
using kora::drivers::PerBench;
using kora::drivers::UpperCase;
using kora::vbench::DriverCall;
using kora::vbench::FormatArgs;

namespace {

constexpr const char* kInterface = "VX_Urm";

constexpr ViStatus kErrBank = -1074118608;    // 0xBFFA4030
constexpr ViStatus kErrBit = -1074118607;     // 0xBFFA4031
constexpr ViStatus kErrMode = -1074118606;    // 0xBFFA4032
constexpr ViStatus kErrModel = -1074118605;   // 0xBFFA4033
constexpr ViStatus kErrContact = -1074118604; // 0xBFFA4034: the station's contact keys

constexpr const char* kModel = "GEN";
constexpr const char* kDriverRevision = "VX_Urm 1.2.0 (virtual bench)";
constexpr const char* kFirmwareRevision = "URM FW 1.05";
constexpr const char* kModuleType = "URM";
constexpr int kBanks = 4;
constexpr int kBits = 8;

struct OpenModule {
    std::string device; // upper case
};

ClassSessions<OpenModule> g_handles;
// The modules opened simulated while no bench was active.
std::map<std::string, std::unique_ptr<kora::vbench::UrmModule>> g_benchless;

kora::vbench::UrmModule& ModuleOf(const DriverCall& call, const std::string& device) {
    if (call.bench()) {
        return kora::vbench::UrmOf(*call.bench(), device);
    }
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    auto& m = g_benchless[device];
    if (!m) {
        m = std::make_unique<kora::vbench::UrmModule>(device);
    }
    return *m;
}

// The frame of a call on one bit of an open module.
template <typename Body>
ViStatus WithBit(const char* function, std::string arguments, ViSession handle, ViInt32 bank,
                 ViInt32 bit, Body&& body) {
    DriverCall call(kInterface, function, std::move(arguments));
    if (call.fault()) {
        return call.finish(call.fault()->code);
    }
    const OpenModule* open = g_handles.find(call, handle);
    if (!open) {
        return call.finish(kErrSession);
    }
    if (bank < 0 || bank >= kBanks) {
        return call.finish(kErrBank);
    }
    if (bit < 0 || bit >= kBits) {
        return call.finish(kErrBit);
    }
    try {
        return call.finish(body(ModuleOf(call, open->device)));
    } catch (const std::invalid_argument&) {
        return call.finish(kErrContact);
    }
}

void Text(char* out, const std::string& text) {
    kora::drivers::CopyOut(out, VX_URM_TEXT_SIZE, text);
}

} // namespace

extern "C" {

ViStatus VX_Urm_Scan(VX_URM_MODULE_INFO modules[], ViInt32 maxCount, ViInt32* found) {
    DriverCall call(kInterface, __func__, FormatArgs(modules, maxCount, found));
    if (call.fault()) {
        return call.finish(call.fault()->code);
    }
    if (!found || (!modules && maxCount > 0)) {
        return call.finish(kErrNullPointer);
    }
    *found = 0;
    if (!call.bench()) {
        return call.finish(kErrNoBench);
    }
    const auto* station = call.bench()->station();
    if (!station) {
        return call.finish(VI_SUCCESS);
    }
    for (const auto& d : station->devices) {
        if (*found >= maxCount) {
            break;
        }
        if (UpperCase(d.type.c_str()) != kModuleType) {
            continue;
        }
        VX_URM_MODULE_INFO& info = modules[*found];
        info = VX_URM_MODULE_INFO{};
        const auto address = kora::vbench::FrameSlotAddress(d.resource);
        info.frame = address ? address->frame : 0;
        info.slot = address ? address->slot : 0;
        char serial[64];
        std::snprintf(serial, sizeof serial, "VB-URM-%d-%02d", info.frame, info.slot);
        Text(info.description, "Universal Relay/IO Module");
        Text(info.manufacturer, "KORA virtual bench");
        Text(info.model, kModel);
        Text(info.deviceName, d.name);
        Text(info.serialNumber, serial);
        Text(info.revision, "firmware 1.0, driver 1.0");
        Text(info.resourceDesc, d.resource);
        Text(info.driverOption, "Simulate=0");
        ++*found;
    }
    return call.finish(VI_SUCCESS);
}

ViStatus VX_Urm_Open_With_Options(ViConstString model, ViRsrc resourceDesc, ViInt32 hardware,
                                  ViSession* handle) {
    DriverCall call(kInterface, __func__, FormatArgs(model, resourceDesc, hardware, handle));
    if (call.fault()) {
        return call.finish(call.fault()->code);
    }
    if (!model || !resourceDesc || !handle) {
        return call.finish(kErrNullPointer);
    }
    *handle = 0;
    if (UpperCase(model) != kModel) {
        return call.finish(kErrModel);
    }
    std::string device;
    const ViStatus status =
        kora::drivers::OpenStationDevice(call, resourceDesc, hardware == 0, &device);
    if (status != VI_SUCCESS) {
        return call.finish(status);
    }
    const std::string upper = UpperCase(device.c_str());
    try {
        kora::vbench::UrmModule& module = ModuleOf(call, upper);
        if (!g_handles.anyHeldOnBench(call,
                                      [&](const OpenModule& m) { return m.device == upper; })) {
            module.reset();
        }
    } catch (const std::invalid_argument&) {
        return call.finish(kErrContact);
    }
    *handle = g_handles.open(call, OpenModule{upper});
    return call.finish(VI_SUCCESS);
}

ViStatus VX_Urm_Close(ViSession handle) {
    DriverCall call(kInterface, __func__, FormatArgs(handle));
    if (call.fault()) {
        return call.finish(call.fault()->code);
    }
    if (!g_handles.find(call, handle)) {
        return call.finish(kErrSession);
    }
    g_handles.close(handle);
    return call.finish(VI_SUCCESS);
}

ViStatus VX_Urm_Revision_Query(ViSession handle, ViChar driverRevision[VI_REVISION_SIZE],
                               ViChar firmwareRevision[VI_REVISION_SIZE]) {
    DriverCall call(kInterface, __func__, FormatArgs(handle));
    if (call.fault()) {
        return call.finish(call.fault()->code);
    }
    if (!driverRevision || !firmwareRevision) {
        return call.finish(kErrNullPointer);
    }
    if (!g_handles.find(call, handle)) {
        return call.finish(kErrSession);
    }
    kora::drivers::CopyOut(driverRevision, VI_REVISION_SIZE, kDriverRevision);
    kora::drivers::CopyOut(firmwareRevision, VI_REVISION_SIZE, kFirmwareRevision);
    return call.finish(VI_SUCCESS);
}

ViStatus VX_Urm_Set_Mode(ViSession handle, ViInt32 bank, ViInt32 bit, ViInt32 mode) {
    return WithBit(__func__, FormatArgs(handle, bank, bit, mode), handle, bank, bit,
                   [&](kora::vbench::UrmModule& m) {
                       if (mode != VX_URM_MODE_INPUT && mode != VX_URM_MODE_OUTPUT) {
                           return kErrMode;
                       }
                       m.setMode(bank, bit, mode);
                       return VI_SUCCESS;
                   });
}

ViStatus VX_Urm_Set(ViSession handle, ViInt32 bank, ViInt32 bit, ViInt32 state) {
    return WithBit(__func__, FormatArgs(handle, bank, bit, state), handle, bank, bit,
                   [&](kora::vbench::UrmModule& m) {
                       m.set(bank, bit, state != 0);
                       return VI_SUCCESS;
                   });
}

ViStatus VX_Urm_Get(ViSession handle, ViInt32 bank, ViInt32 bit, ViInt32* value) {
    return WithBit(__func__, FormatArgs(handle, bank, bit, value), handle, bank, bit,
                   [&](kora::vbench::UrmModule& m) {
                       if (!value) {
                           return kErrNullPointer;
                       }
                       *value = m.state(bank, bit) ? 1 : 0;
                       return VI_SUCCESS;
                   });
}

} // extern "C"
