// The bench records of a thread: one per configured bench plus the active bench in record 0.
// Plain, fixed-size, zero-filled on allocation; texts go in through CopyText only.
#pragma once

#include "bench/ict_settings.h"

#include <winapi.h>

#include <cstddef>
#include <cstdint>

namespace kora {

constexpr int kDmmSlots = 4;
constexpr int kScopeSlots = 4;
constexpr int kFuncgenSlots = 4;
constexpr int kAdioSlots = 16;
constexpr int kUrmSlots = 16;
constexpr int kSerialPorts = 16;
constexpr int kTimers = 8;
constexpr int kNamedArrays = 127;
constexpr int kSwitchCards = 32;
constexpr int kIctModules = 3;
constexpr int kHeldSessions = kSwitchCards + kIctModules + kAdioSlots;
constexpr int kHeldSectionSize = 80; // "device->" and a 64-character device name
constexpr int kMaxChannels = 5120;
constexpr int kChannelListSize = 163840;
constexpr int kCardPins = 160;

// Device classes of FindDevice.
enum DeviceClass : int32_t {
    kClassDmm = 1,
    kClassFuncgen = 2,
    kClassScope = 4,
    kClassAdio = 5,
    kClassUrm = 9,
};

// Driver kinds recorded from a device's "Type".
enum DriverKind : int32_t {
    kDriverPsam = 2,
    kDriverPio2 = 5,
    kDriverPfg = 9,
    kDriverPam = 10,
    kDriverIviDmm = 240,
    kDriverIviFgen = 241,
    kDriverIviScope = 242,
    kDriverOther = 255,
};

// Per-kind state of an instrument slot; the instrument steps own its meaning.
struct DeviceState {
    char triggerSource[32];
    int64_t value64; // -1 when set up
    int32_t value32; // -1 when set up
    int32_t value12; // 12 when set up
    int32_t triggerOutputMask;
    int32_t flags;
    double values[8];
    char text[256];
};

struct DeviceRecord {
    int32_t inUse;
    int32_t simulate;
    int32_t session; // resource-manager session, -1 none
    int32_t driverKind;
    int32_t handle; // driver handle, -1 none
    char key[64];
    char name[64];
    char type[32];
    char resourceDesc[128];
    char driverOption[128];
    DeviceState state;
};

struct SerialPortRecord {
    int32_t opened;
    HANDLE port;
    DCB dcb;
    COMMTIMEOUTS timeouts;
};

struct TimerRecord {
    int32_t stopped;
    int32_t direction;
    double start;
    double stop;
};

// One entry of the named-array registry; kind 0 marks the first free entry.
struct NamedArray {
    char name[32];
    int32_t kind;
    void* buffers[2];
    int64_t count;
    int64_t capacity;
};

struct ChannelRecord {
    int32_t kind;      // 1 SM160 pin, 2 PSAM connection, 0 other
    int32_t cardIndex; // -1 before matrix set-up
    int32_t pinIndex;  // 0..159 for P1..P160, -1 for other channels
    int32_t channelId; // pin index + the driver's id of P1
    int32_t channelNumber;
    int32_t aliasCount;
    char deviceName[64];
    char pinName[64];
    char appName[64];
    char aliasText[255];
};

struct SwitchCardRecord {
    int32_t inUse;
    int32_t handle;
    int32_t channelCount;
    uint32_t usedPins[(kCardPins + 31) / 32];
    ChannelRecord* channels[kCardPins];
    int32_t session;
    char key[64];
    char name[64];
    char type[32];
    char resourceDesc[128];
    char driverOption[128];
};

// ICT modules of a bench, in the slots of IctModuleSlot.
enum IctModuleSlot { kIctPsam, kIctPict, kIctPsu };
struct IctModuleRecord {
    int32_t inUse;
    int32_t handle;
    int32_t session;
    char key[64];
    char name[64];
    char type[32];
    char resourceDesc[128];
    char driverOption[128];
};

// Fixture cartridge cards of a bench, opened by name with the card library.
enum CartridgeSlot { kCartridgeAcc, kCartridgeVcc, kCartridgeVpc, kCartridgeSsc, kCartridgeSlots };

enum Compensation { kSysR0, kSysC0, kSysL0, kCmuD0, kCmuD1, kCmuD2, kCmuD3, kCompensationCount };

struct ComponentModel; // the compiled ICT program of a bench

struct BenchRecord {
    int32_t inUse;
    int32_t index;
    int32_t LastStepKind;
    int32_t PrevStepKind;
    int32_t channelCount;
    int32_t matrixChannelCount;
    int32_t switchCardCount;
    int32_t ictModuleCount;
    char name[64];
    int32_t panelId;
    void* station;
    void* logger;
    int32_t routeDisplay;
    int32_t aliasCount;
    DeviceRecord dmm[kDmmSlots];
    DeviceRecord scope[kScopeSlots];
    DeviceRecord funcgen[kFuncgenSlots];
    DeviceRecord adio[kAdioSlots];
    DeviceRecord urm[kUrmSlots];
    DeviceRecord routing;
    DeviceRecord dcpwr;
    DeviceRecord diomgr;
    DeviceRecord cartridge[kCartridgeSlots]; // by CartridgeSlot
    SerialPortRecord serial[kSerialPorts];
    TimerRecord timers[kTimers];
    NamedArray arrays[kNamedArrays];
    double compensation[kCompensationCount];
    SwitchCardRecord switchCards[kSwitchCards];
    IctModuleRecord ictModules[kIctModules];
    IctHardware ict;
    ChannelRecord channels[kMaxChannels];
    char* channelListPtr;
    char channelList[kChannelListSize];
    ComponentModel* ictProgram;
    int32_t ictModified;
    // Resource-manager sessions of managed devices (switch cards, ICT modules, ADIO) that this
    // bench opened, by device section. Resetting the record leaves them (they lie past the part
    // that is cleared): a new set-up of the bench reuses the session it holds instead of opening a
    // second one that no cleanup would close.
    char heldSessions[kHeldSessions][kHeldSectionSize];
};

} // namespace kora
