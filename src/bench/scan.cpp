// SCAN_FOR_KORA_DEVICES: what is in the rack. The modules of the four module buses, each named,
// slotted and asked for its revisions, then the relay modules, one record each for the
// configuration tool that writes the physical layer file. No bench and no step: the scan runs
// before there is a configuration.
//
// Choices where the platform leaves room:
// - With a system cartridge the cartridge sits in slots 1 and 2: a module there has no slot name
//   (as slot 0 has), and slot 9 becomes "B0".
// - A kind with an empty description gets the module name alone in text 2 (no dangling ", ").
// - A module whose attributes cannot be read keeps its record, so the tool still shows it: what
//   was read stays, and text 5 (the device name) holds "Error InitDeviceStruct".
// - Text 7 holds both revisions, "<firmware>, <driver>".
#include "bench/bench_config.h"
#include "exports/export.h"
#include "frame/text.h"

#include <kora/step_methods.h>
#include <rspam.h>
#include <rspdft.h>
#include <rspfg.h>
#include <rsphdt.h>
#include <rspict.h>
#include <rspio2.h>
#include <rspio3b.h>
#include <rspmb.h>
#include <rspsam.h>
#include <rspsm.h>
#include <rspsu.h>
#include <rspsys.h>
#include <rvoapi.h>
#include <ucm.h>
#include <util.h>
#include <vx_urm.h>

#include <cstring>
#include <string>

#include <strings.h>

namespace kora::scan {

namespace {

// Texts of a record, numbered as the configuration tool numbers them.
enum Text : int {
    kTextCode = 1,
    kTextName = 2,
    kTextDevice = 5,
    kTextRevision = 7,
    kTextResource = 8,
    kTextSlot = 9,
    kTextDriverLibrary = 10,
    kTextDriverPrefix = 11,
    kTextOptions = 12,
    kTextAttribute7 = 13,
    kTextAttribute8 = 14,
};

struct Kind {
    const char* code;
    const char* description;
};

// Indexed by the module kind (attribute 1).
constexpr Kind kKinds[] = {
    {"OTHER", "Other"},
    {"PSAM", "Analog Source and Measurement Module"},
    {"PAM", "Signal Analyzer Module"},
    {"PDFT", "Digital Functional Test Module"},
    {"PFG", "Function Generator Module"},
    {"PHDT", "High-Speed Digital Test Module"},
    {"PICT", "ICT Expansion Module"},
    {"PIO1", ""},
    {"PIO2", "Analog and Digital I/O Module"},
    {"PSU", "Power Supply/Load Module"},
    {"PMB", "Switch Matrix Module"},
    {"PSM1", "Power Switching Module"},
    {"PSM2", "Multiplex/Switch Module"},
    {"PSYS1", ""},
    {"PSYS2", ""},
    {"PSU12", "Power Supply/Load Module"},
    {"PIO3B", "Digital I/O Module"},
    {"PSM3", "Power Switching Module up to 30 A"},
    {"PSM4", "Power Switching Module up to 16 A"},
    {"PSM5", "Power Switching Module up to 16 A"},
};
constexpr Kind kUnknownKind = {"UNKNOWN", "UNKNOWN DEVICE"};
constexpr int kKindCount = static_cast<int>(sizeof kKinds / sizeof kKinds[0]);

// The system modules are numbered whatever the naming mode: their slot says nothing.
constexpr int32_t kKindSystem1 = 13;
constexpr int32_t kKindSystem2 = 14;
constexpr long kNamingByNumber = 2;

struct Driver {
    ViStatus (*init)(ViRsrc, ViBoolean, ViBoolean, ViSession*);
    ViStatus (*revisionQuery)(ViSession, ViChar[], ViChar[]);
    ViStatus (*close)(ViSession);
};

#define KORA_SCAN_DRIVER(prefix)                                                                   \
    Driver {                                                                                       \
        prefix##_init, prefix##_revision_query, prefix##_close                                     \
    }
// Indexed by the module kind; kinds without a driver have none.
constexpr Driver kDrivers[] = {
    {},
    KORA_SCAN_DRIVER(rspsam),
    KORA_SCAN_DRIVER(rspam),
    KORA_SCAN_DRIVER(rspdft),
    KORA_SCAN_DRIVER(rspfg),
    KORA_SCAN_DRIVER(rsphdt),
    KORA_SCAN_DRIVER(rspict),
    {},
    KORA_SCAN_DRIVER(rspio2),
    KORA_SCAN_DRIVER(rspsu),
    KORA_SCAN_DRIVER(rspmb),
    KORA_SCAN_DRIVER(rspsm1),
    KORA_SCAN_DRIVER(rspsm2),
    KORA_SCAN_DRIVER(rspsys),
    KORA_SCAN_DRIVER(rspsys),
    KORA_SCAN_DRIVER(rspsu),
    KORA_SCAN_DRIVER(rspio3b),
    KORA_SCAN_DRIVER(rspsm3),
    KORA_SCAN_DRIVER(rspsm4),
    KORA_SCAN_DRIVER(rspsm5),
};
#undef KORA_SCAN_DRIVER
static_assert(sizeof kDrivers / sizeof kDrivers[0] == sizeof kKinds / sizeof kKinds[0]);

constexpr const char* kBusTemplate = "CAN0::0";
constexpr std::size_t kBusFrameDigit = 3;
constexpr std::size_t kBusLineDigit = 6;
constexpr long kSortBySlot = 2;
constexpr uint32_t kMaxCards = 10;
constexpr int32_t kMaxRelayModules = 16;
constexpr int32_t kSlotsPerRow = 8;
constexpr int32_t kLastSlot = 16;
constexpr int32_t kCartridgeSlots = 2;
constexpr const char* kSystemCartridge = "SCC";
constexpr const char* kEndOfCards = "SSC";
constexpr const char* kDriverOptions = "Simulate=0,RangeCheck=1";
constexpr const char* kRelayCode = "URM";
constexpr const char* kRelayLibrary = "VX_Urm.dll";
constexpr const char* kRelayPrefix = "VX_Urm";

constexpr const char* kLogScan = "Scan %s";
constexpr const char* kLogModulesFound = "%ld Modules found on %s";
constexpr const char* kLogCardsFound = "%lu UCM Modules found";
constexpr const char* kLogFoundDevice = "Found Device: %s";
constexpr const char* kLogFirmware = "%s Firmware: %s";
constexpr const char* kLogDriver = "%s Driver: %s";
constexpr const char* kLogOpenFailed = "ERROR: Opening Device %s for query.";
constexpr const char* kLogNoDriver = "ERROR: Unknown Devive!";
constexpr const char* kInitFailed = "Error InitDeviceStruct";

const Kind& KindOf(int32_t kind) {
    return kind >= 0 && kind < kKindCount ? kKinds[kind] : kUnknownKind;
}

char* TextOf(KoraScanRecord& r, int number) {
    return r.text[number - 1];
}

void SetText(KoraScanRecord& r, int number, const char* text) {
    CopyText(TextOf(r, number), sizeof r.text[0], text);
}

// True when the chassis holds a system cartridge; false with `failed` set when the card scan
// itself failed.
bool HasSystemCartridge(bool& failed) {
    UCM_CARD_INFO cards[kMaxCards] = {};
    uint32_t found = 0;
    const UCM_STATUS status = UCM_Scan(cards, kMaxCards, &found);
    failed = false;
    if (status == UCM_STATUS_NO_CARDS) {
        found = 0;
    } else if (status != UCM_OK) {
        LogLine("%s", UCM_StatusToMSG(status));
        failed = true;
        return false;
    }
    LogLine(kLogCardsFound, static_cast<unsigned long>(found));
    for (uint32_t i = 0; i < found && i < kMaxCards; ++i) {
        if (strcasecmp(cards[i].name, kEndOfCards) == 0) {
            break;
        }
        if (strcasecmp(cards[i].name, kSystemCartridge) == 0) {
            return true;
        }
    }
    return false;
}

// Reads the module's attributes into the record; false (the library's message logged) when one
// cannot be read.
class ModuleReader {
  public:
    ModuleReader(int32_t list, long index) : list_(list), index_(index) {}

    bool Int(long attribute, int32_t* value) {
        return Check(UTIL_Module_Attribute_Int(0, list_, index_, attribute, value, &warning_,
                                               &error_, message_));
    }
    bool Text(long attribute, char* value) {
        char text[256] = {};
        const bool ok = Check(UTIL_Module_Attribute_Text(0, list_, index_, attribute, text,
                                                         &warning_, &error_, message_));
        CopyText(value, 256, text);
        return ok;
    }

  private:
    bool Check(int32_t status) {
        if (status != 0) {
            LogLine("%s", message_);
            return false;
        }
        return true;
    }
    int32_t list_;
    long index_;
    int32_t warning_ = 0, error_ = 0;
    char message_[CLASSLIB_MESSAGE_SIZE] = {};
};

void SlotName(int32_t slot, long naming, bool systemCartridge, char* out, std::size_t size) {
    if (naming == kNamingByNumber) {
        FormatText(out, size, "%ld", static_cast<long>(slot));
        return;
    }
    out[0] = 0;
    const int32_t first = systemCartridge ? kCartridgeSlots + 1 : 1;
    if (slot < first || slot > kLastSlot) {
        return;
    }
    if (slot <= kSlotsPerRow) {
        FormatText(out, size, "A%ld", static_cast<long>(slot - (systemCartridge ? 2 : 0)));
    } else {
        FormatText(out, size, "B%ld", static_cast<long>(slot - (systemCartridge ? 9 : 8)));
    }
}

// Fills everything but the device name and the revisions.
bool ReadModule(ModuleReader& reader, KoraScanRecord& r, long naming, int32_t& kind) {
    char name[256] = {};
    if (!reader.Int(UTIL_ATTR_KIND, &kind) || !reader.Text(UTIL_ATTR_KIND, name)) {
        return false;
    }
    const Kind& k = KindOf(kind);
    SetText(r, kTextCode, k.code);
    CopyText(TextOf(r, kTextName), sizeof r.text[0], name);
    if (name[0] != 0 && k.description[0] != 0) {
        AppendText(TextOf(r, kTextName), sizeof r.text[0], ", ");
        AppendText(TextOf(r, kTextName), sizeof r.text[0], k.description);
    }
    if (!reader.Text(UTIL_ATTR_RESOURCE_DESC, TextOf(r, kTextResource))) {
        return false;
    }
    bool cardsFailed = false;
    const bool systemCartridge = HasSystemCartridge(cardsFailed);
    if (cardsFailed) {
        return false;
    }
    int32_t slot = 0;
    if (!reader.Int(UTIL_ATTR_SLOT, &slot)) {
        return false;
    }
    SlotName(slot, naming, systemCartridge, TextOf(r, kTextSlot), sizeof r.text[0]);
    r.value[0] = slot;
    if (!reader.Int(UTIL_ATTR_BUS_ADDRESS, &r.value[1]) ||
        !reader.Text(UTIL_ATTR_DRIVER_LIBRARY, TextOf(r, kTextDriverLibrary)) ||
        !reader.Text(UTIL_ATTR_DRIVER_PREFIX, TextOf(r, kTextDriverPrefix))) {
        return false;
    }
    SetText(r, kTextOptions, kDriverOptions);
    return reader.Text(UTIL_ATTR_SERIAL_NUMBER, TextOf(r, kTextAttribute7)) &&
           reader.Text(UTIL_ATTR_HW_REVISION, TextOf(r, kTextAttribute8));
}

void QueryRevisions(int32_t kind, KoraScanRecord& r) {
    const Driver* driver =
        kind >= 0 && kind < kKindCount && kDrivers[kind].init ? &kDrivers[kind] : nullptr;
    const char* device = TextOf(r, kTextDevice);
    if (!driver) {
        LogLine("%s", kLogNoDriver);
        return;
    }
    ViSession vi = 0;
    if (driver->init(TextOf(r, kTextResource), VI_FALSE, VI_FALSE, &vi) != VI_SUCCESS) {
        LogLine(kLogOpenFailed, device);
        return;
    }
    ViChar driverRevision[VI_REVISION_SIZE] = {}, firmwareRevision[VI_REVISION_SIZE] = {};
    driver->revisionQuery(vi, driverRevision, firmwareRevision);
    driver->close(vi);
    LogLine(kLogFirmware, device, firmwareRevision);
    LogLine(kLogDriver, device, driverRevision);
    FormatText(TextOf(r, kTextRevision), sizeof r.text[0], "%s, %s", firmwareRevision,
               driverRevision);
}

// The running numbers of the kinds named so far.
struct KindCounters {
    int counts[kKindCount + 1] = {};
    int next(int32_t kind) { return ++counts[kind >= 0 && kind < kKindCount ? kind : kKindCount]; }
};

void NameDevice(KoraScanRecord& r, int32_t kind, long naming, KindCounters& counters) {
    const char* code = TextOf(r, kTextCode);
    if (naming != kNamingByNumber && kind != kKindSystem1 && kind != kKindSystem2) {
        FormatText(TextOf(r, kTextDevice), sizeof r.text[0], "%s%s%s", code, "_",
                   TextOf(r, kTextSlot));
    } else {
        FormatText(TextOf(r, kTextDevice), sizeof r.text[0], "%s_%d", code, counters.next(kind));
    }
    LogLine(kLogFoundDevice, TextOf(r, kTextDevice));
}

// The bus modules into table[found..maxCount); returns the new count.
uint32_t ScanBuses(int32_t maxCount, uint32_t found, KoraScanRecord* table, long naming) {
    KindCounters counters;
    for (int frame = 0; frame < 2; ++frame) {
        for (int line = 0; line < 2; ++line) {
            std::string bus = kBusTemplate;
            bus[kBusFrameDigit] = static_cast<char>('0' + frame);
            bus[kBusLineDigit] = static_cast<char>('0' + line);
            LogLine(kLogScan, bus.c_str());
            int32_t list = -1, count = 0, warning = 0, error = 0;
            char message[CLASSLIB_MESSAGE_SIZE] = {};
            if (UTIL_Module_Search(0, bus.c_str(), &list, &count, &warning, &error, message) != 0) {
                LogLine("%s", message);
                count = 0;
            }
            LogLine(kLogModulesFound, static_cast<long>(count), bus.c_str());
            if (count > 0 &&
                UTIL_Module_Sort_List(0, list, kSortBySlot, &warning, &error, message) != 0) {
                LogLine("%s", message);
            }
            for (long i = 0; i < count && found < static_cast<uint32_t>(maxCount); ++i) {
                KoraScanRecord& r = table[found++];
                ModuleReader reader(list, i);
                int32_t kind = -1;
                if (!ReadModule(reader, r, naming, kind)) {
                    SetText(r, kTextDevice, kInitFailed);
                    LogLine("%s", kInitFailed);
                    continue;
                }
                NameDevice(r, kind, naming, counters);
                QueryRevisions(kind, r);
            }
            if (list >= 0) {
                UTIL_Module_Free_List(0, list, &warning, &error, message);
            }
        }
    }
    return found;
}

uint32_t ScanRelayModules(int32_t maxCount, uint32_t found, KoraScanRecord* table) {
    VX_URM_MODULE_INFO modules[kMaxRelayModules] = {};
    ViInt32 count = 0;
    if (VX_Urm_Scan(modules, kMaxRelayModules, &count) != VI_SUCCESS) {
        return found;
    }
    for (ViInt32 i = 0;
         i < count && i < kMaxRelayModules && found < static_cast<uint32_t>(maxCount); ++i) {
        const VX_URM_MODULE_INFO& m = modules[i];
        KoraScanRecord& r = table[found++];
        SetText(r, kTextCode, kRelayCode);
        SetText(r, 2, m.description);
        SetText(r, 3, m.manufacturer);
        SetText(r, 4, m.model);
        SetText(r, kTextDevice, m.deviceName);
        SetText(r, 6, m.serialNumber);
        SetText(r, kTextRevision, m.revision);
        SetText(r, kTextResource, m.resourceDesc);
        FormatText(TextOf(r, kTextSlot), sizeof r.text[0], "%ld-%ld", static_cast<long>(m.frame),
                   static_cast<long>(m.slot));
        SetText(r, kTextDriverLibrary, kRelayLibrary);
        SetText(r, kTextDriverPrefix, kRelayPrefix);
        SetText(r, kTextOptions, m.driverOption);
        for (int e = 0; e < 4; ++e) {
            SetText(r, kTextAttribute7 + e, m.extra[e]);
        }
    }
    return found;
}

} // namespace

} // namespace kora::scan

KORA_EXPORT long SCAN_FOR_KORA_DEVICES(int32_t maxCount, uint32_t* foundCount,
                                       KoraScanRecord* table) {
    if (foundCount) {
        *foundCount = 0;
    }
    if (maxCount <= 0 || !table) {
        return 0;
    }
    std::memset(table, 0, sizeof(KoraScanRecord) * static_cast<std::size_t>(maxCount));
    const long naming = rvo_DeviceNaming();
    uint32_t found = kora::scan::ScanBuses(maxCount, 0, table, naming);
    found = kora::scan::ScanRelayModules(maxCount, found, table);
    if (foundCount) {
        *foundCount = found;
    }
    return 0;
}
