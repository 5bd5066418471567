// UCM: the control-module library of the fixture cartridge cards, over the virtual bench.
//
// The cards present are those the station lists under the key "Cartridges" of its
// [VirtualBench] section, in that order (see vbench/bench/station.h); names match without regard
// to case. Each card is scanned with a description by its name and a serial number
// "VB-<NAME>-<position>" (position in the list from 01), hardware revision "1.0".
//
// Ports (16 bits each), shared by every handle of a card on the bench: isolated outputs and
// open-drain outputs, 0 at power-on and after UCM_ResetFPGA; isolated inputs and status inputs as
// the station's "<CARD>Inputs" key gives them, else 0 (the fixture wires nothing to them) and
// 0xFFFF (every supply of the card good, no power fail). Tests drive the inputs and read the
// outputs through ucm_fixture.h.
#include <ucm.h>

#include "classlib.h"
#include "ucm_fixture.h"

#include <cstdio>
#include <map>
#include <string>
#include <vector>

using kora::drivers::ClassSessions;
using kora::drivers::PerBench;
using kora::drivers::UpperCase;
using kora::vbench::DriverCall;
using kora::vbench::FormatArgs;
using kora::vbench::Hex;

namespace {

constexpr const char* kInterface = "UCM";

constexpr UCM_STATUS kErrNoBench = -101;
constexpr UCM_STATUS kErrNotPresent = -102;
constexpr UCM_STATUS kErrHandle = -103;
constexpr UCM_STATUS kErrNullPointer = -104;

struct StatusText {
    UCM_STATUS status;
    const char* text;
};

constexpr StatusText kStatusTexts[] = {
    {UCM_OK, "No error"},
    {UCM_STATUS_NO_CARDS, "No control card found"},
    {kErrNoBench, "No virtual bench is active"},
    {kErrNotPresent, "The control card is not present"},
    {kErrHandle, "Invalid control card handle"},
    {kErrNullPointer, "Null pointer passed for a required parameter"},
};

struct CardKind {
    const char* name;
    const char* description;
};

constexpr CardKind kCardKinds[] = {
    {"SSC", "System Control Cartridge"},
    {"SCC", "System Cartridge Controller"},
    {"VPC", "Vacuum, Pneumatic and Actuator Control Cartridge"},
    {"VCC", "Vacuum Control Cartridge"},
    {"ACC", "Pneumatic Control Cartridge"},
};
constexpr const char* kOtherCard = "Control Card";
constexpr const char* kHardwareRevision = "1.0";

constexpr uint16_t kPowerOnOutputs = 0x0000;
constexpr uint16_t kIsolatedInputs = 0x0000;
constexpr uint16_t kStatusInputs = 0xFFFF;

struct Ports {
    uint16_t isolatedOut = kPowerOnOutputs;
    uint16_t openDrainOut = kPowerOnOutputs;
    uint16_t isolatedIn = kIsolatedInputs;
    uint16_t statusIn = kStatusInputs;
};

struct OpenCard {
    std::string name; // upper case
};

ClassSessions<OpenCard> g_handles;
PerBench<std::map<std::string, Ports>> g_ports;

const char* DescriptionOf(const std::string& upper) {
    for (const auto& k : kCardKinds) {
        if (upper == k.name) {
            return k.description;
        }
    }
    return kOtherCard;
}

std::string SerialOf(const std::string& upper, std::size_t position) {
    char buf[UCM_TEXT_SIZE];
    std::snprintf(buf, sizeof buf, "VB-%s-%02zu", upper.c_str(), position + 1);
    return buf;
}

// The ports of an open card; null with *status set when the handle is not open on this bench.
Ports* PortsOf(const DriverCall& call, UCM_HANDLE handle, UCM_STATUS* status) {
    const OpenCard* card = g_handles.find(call, handle);
    if (!card) {
        *status = kErrHandle;
        return nullptr;
    }
    return &g_ports.of(call.bench())[card->name];
}

// The frame of a call on an open card.
template <typename Body>
UCM_STATUS WithCard(const char* function, std::string arguments, UCM_HANDLE handle, Body&& body) {
    DriverCall call(kInterface, function, std::move(arguments));
    if (call.fault()) {
        return call.finish(call.fault()->code);
    }
    UCM_STATUS status = UCM_OK;
    Ports* ports = PortsOf(call, handle, &status);
    if (!ports) {
        return call.finish(status);
    }
    return call.finish(body(*ports));
}

} // namespace

extern "C" {

UCM_STATUS UCM_Scan(UCM_CARD_INFO cards[], uint32_t maxCount, uint32_t* found) {
    DriverCall call(kInterface, __func__, FormatArgs(cards, maxCount, found));
    if (call.fault()) {
        return call.finish(call.fault()->code);
    }
    if (!found || (!cards && maxCount > 0)) {
        return call.finish(kErrNullPointer);
    }
    *found = 0;
    if (!call.bench()) {
        return call.finish(kErrNoBench);
    }
    const auto* station = call.bench()->station();
    if (!station || station->cartridges.empty()) {
        return call.finish(UCM_STATUS_NO_CARDS);
    }
    for (std::size_t i = 0; i < station->cartridges.size() && *found < maxCount; ++i) {
        const std::string upper = UpperCase(station->cartridges[i].c_str());
        UCM_CARD_INFO& info = cards[*found];
        kora::drivers::CopyOut(info.name, UCM_TEXT_SIZE, station->cartridges[i]);
        kora::drivers::CopyOut(info.description, UCM_TEXT_SIZE, DescriptionOf(upper));
        kora::drivers::CopyOut(info.serialNumber, UCM_TEXT_SIZE, SerialOf(upper, i));
        ++*found;
    }
    return call.finish(UCM_OK);
}

UCM_STATUS UCM_Init(const char* name, UCM_HANDLE* handle, char* serialNumber, char* hwRevision) {
    DriverCall call(kInterface, __func__,
                    FormatArgs(name, handle, kora::vbench::kOut, kora::vbench::kOut));
    if (call.fault()) {
        return call.finish(call.fault()->code);
    }
    if (!name || !handle) {
        return call.finish(kErrNullPointer);
    }
    *handle = 0;
    if (!call.bench()) {
        return call.finish(kErrNoBench);
    }
    const std::string upper = UpperCase(name);
    const auto* station = call.bench()->station();
    const auto& present = station ? station->cartridges : std::vector<std::string>{};
    for (std::size_t i = 0; i < present.size(); ++i) {
        if (UpperCase(present[i].c_str()) != upper) {
            continue;
        }
        kora::drivers::CopyOut(serialNumber, UCM_TEXT_SIZE, SerialOf(upper, i));
        kora::drivers::CopyOut(hwRevision, UCM_TEXT_SIZE, kHardwareRevision);
        auto& ports = g_ports.of(call.bench());
        if (!ports.count(upper)) { // the card's ports, at power-on the first time
            Ports& p = ports[upper];
            if (auto in = station->cartridgeInputs.find(upper);
                in != station->cartridgeInputs.end()) {
                p.isolatedIn = in->second.isolated;
                p.statusIn = in->second.status;
            }
        }
        *handle = g_handles.open(call, OpenCard{upper});
        return call.finish(UCM_OK);
    }
    return call.finish(kErrNotPresent);
}

UCM_STATUS UCM_Close(UCM_HANDLE handle) {
    DriverCall call(kInterface, __func__, FormatArgs(handle));
    if (call.fault()) {
        return call.finish(call.fault()->code);
    }
    if (!g_handles.find(call, handle)) {
        return call.finish(kErrHandle);
    }
    g_handles.close(handle);
    return call.finish(UCM_OK);
}

UCM_STATUS UCM_ResetFPGA(UCM_HANDLE handle) {
    return WithCard(__func__, FormatArgs(handle), handle, [](Ports& p) {
        p.isolatedOut = kPowerOnOutputs;
        p.openDrainOut = kPowerOnOutputs;
        return UCM_OK;
    });
}

UCM_STATUS UCM_SetIsolatedOUT(UCM_HANDLE handle, uint16_t mask, uint16_t value) {
    return WithCard(__func__, FormatArgs(handle, Hex{mask}, Hex{value}), handle, [&](Ports& p) {
        p.isolatedOut = static_cast<uint16_t>((p.isolatedOut & ~mask) | (value & mask));
        return UCM_OK;
    });
}

UCM_STATUS UCM_SetOpenDrainOUT(UCM_HANDLE handle, uint16_t mask, uint16_t value) {
    return WithCard(__func__, FormatArgs(handle, Hex{mask}, Hex{value}), handle, [&](Ports& p) {
        p.openDrainOut = static_cast<uint16_t>((p.openDrainOut & ~mask) | (value & mask));
        return UCM_OK;
    });
}

UCM_STATUS UCM_GetIsolatedIN(UCM_HANDLE handle, uint16_t* value) {
    return WithCard(__func__, FormatArgs(handle, value), handle, [&](Ports& p) {
        if (!value) {
            return kErrNullPointer;
        }
        *value = p.isolatedIn;
        return UCM_OK;
    });
}

UCM_STATUS UCM_GetIsolatedOUT(UCM_HANDLE handle, uint16_t* value) {
    return WithCard(__func__, FormatArgs(handle, value), handle, [&](Ports& p) {
        if (!value) {
            return kErrNullPointer;
        }
        *value = p.isolatedOut;
        return UCM_OK;
    });
}

UCM_STATUS UCM_GetStatusIN(UCM_HANDLE handle, uint16_t* value) {
    return WithCard(__func__, FormatArgs(handle, value), handle, [&](Ports& p) {
        if (!value) {
            return kErrNullPointer;
        }
        *value = p.statusIn;
        return UCM_OK;
    });
}

const char* UCM_StatusToMSG(UCM_STATUS status) {
    // The text lives until the thread's next call: an injected fault's message, or the no-bench
    // text with the reason why no station is active.
    thread_local std::string text;
    DriverCall call(kInterface, __func__, FormatArgs(status));
    if (call.bench()) {
        if (auto injected = call.bench()->faults().messageFor(status); injected) {
            text = *injected;
            call.finish(UCM_OK);
            return text.c_str();
        }
    }
    text.clear();
    for (const auto& s : kStatusTexts) {
        if (s.status == status) {
            text = s.text;
        }
    }
    if (text.empty()) {
        text = "Unknown UCM status " + std::to_string(status);
    } else if (status == kErrNoBench) {
        const std::string why = kora::vbench::VirtualBench::activationError();
        if (!why.empty()) {
            text += ": " + why;
        }
    }
    call.finish(UCM_OK);
    return text.c_str();
}

} // extern "C"

namespace kora::drivers::ucm {

namespace {
Ports* ActivePorts(const std::string& card) {
    auto bench = kora::vbench::VirtualBench::active();
    if (!bench) {
        return nullptr;
    }
    return &g_ports.of(bench.get())[UpperCase(card.c_str())];
}
} // namespace

bool SetFixtureInputs(const std::string& card, uint16_t isolatedIn, uint16_t statusIn) {
    Ports* p = ActivePorts(card);
    if (p) {
        p->isolatedIn = isolatedIn;
        p->statusIn = statusIn;
    }
    return p != nullptr;
}

std::optional<CardOutputs> FixtureOutputs(const std::string& card) {
    Ports* p = ActivePorts(card);
    if (!p) {
        return std::nullopt;
    }
    return CardOutputs{p->isolatedOut, p->openDrainOut};
}

} // namespace kora::drivers::ucm
