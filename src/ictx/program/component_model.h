// The compiled ICT program of a bench: one ComponentRecord per section of the component file,
// one VectorItem per digital vector line, all texts pointing into the loader's string buffer.
// Plain fixed-size records; a model is allocated zero-filled with its bench and overwritten by
// the next load.
#pragma once

#include "bench/bench.h"

#include <cstddef>
#include <cstdint>

namespace kora {

constexpr int32_t kMaxComponents = 5120;
constexpr int32_t kMaxVectorItems = 4096;
constexpr std::size_t kStringBufferSize = 1024000;
constexpr std::size_t kComponentFileNameSize = 1024;
constexpr std::size_t kVariantTextSize = 128;
constexpr int kSubTests = 3;
constexpr int kMaxTestPins = 4;
constexpr int kMaxSensePins = 2;
constexpr int kMaxGuardPins = 4;
constexpr uint32_t kMaxVectorPins = 32;
constexpr int kMaxValueDigits = 32;
constexpr int kVariantWords = 5; // 160 variants

// Class codes. The parser gives the codes of the class texts; compile refines transistors, FETs
// and relays and sets 0 when a component's checks fail.
enum ComponentClass : uint32_t {
    kClassFailed = 0,
    kClassSetup = 1,
    kClassDischarge = 2,
    kClassContact = 3,
    kClassTrack = 4,
    kClassCapacitor = 5,
    kClassInductor = 6,
    kClassResistor = 7,
    kClassDiode = 15,
    kClassPhotocoupler = 16,
    kClassTransistor = 17,
    kClassNpn = 18,
    kClassPnp = 19,
    kClassFet = 20,
    kClassNFet = 21,
    kClassPFet = 22,
    kClassShunt = 23,
    kClassZDiode = 24,
    kClassVaristor = 25,
    kClassRelay = 26,
    kClassRelayNo = 27,
    kClassRelayNc = 28,
    kClassNoTest = 29,
    kClassDigital = 30,
};

// Vector item types, numbered as the keywords that create them.
enum VectorType : uint32_t {
    kItemVdi = 31,
    kItemVdo = 32,
    kItemVdc = 33,
    kItemIlim = 34,
    kItemDi = 35,
    kItemDo = 36,
    kItemDc = 37,
    kItemMd = 38,
    kItemComment = 39,
    kItemLabel = 40,
    kItemFail = 41,
    kItemPass = 42,
    kItemStateEq = 43,
    kItemStateNe = 44,
    kItemIlimJump = 45,
    kItemRepeat = 46,
    kItemGoto = 47,
    kItemGroup = 48,
    kItemStat = 49,
    kItemDterm = 50,
    kItemTo = 51,
    kItemToJump = 52,
    kItemVmir = 53,
    kItemVmor = 54,
    kItemInsert = 55,
    kItemPart = 56,
};

// Section flags (pre-processor lines; COMPENSATION is set by the compensation step only).
enum ComponentFlag : uint32_t {
    kFlagDisabled = 1,
    kFlagNoReport = 2,
    kFlagLocked = 4,
    kFlagAbortOnFail = 8,
    kFlagSort = 16,
    kFlagCompensation = 32,
    kFlagSelected = 64, // chosen by the compensation step for a fixture compensation
};

// Report option: one value from the last of #DISABLED, #NOREPORT, #LOCKED; read as bits.
enum ReportOption : uint32_t {
    kReportOff = 1,
    kReportDisabled = 2,
    kReportLocked = 4,
};

// Presence bits of the parameter mask, one per parameter given in the file (or derived limit).
enum ParamBit : uint32_t {
    kParamPI = 1u << 0,
    kParamPT = 1u << 1,
    kParamTP = 1u << 2,
    kParamTS = 1u << 3,
    kParamGP = 1u << 4,
    kParamGS = 1u << 5,
    kParamNV = 1u << 6,
    kParamNVPlus = 1u << 7,
    kParamNVMinus = 1u << 8,
    kParamUL = 1u << 9,
    kParamLL = 1u << 10,
    kParamMC = 1u << 11,
    kParamV = 1u << 12,
    kParamVO = 1u << 13,
    kParamVR = 1u << 14,
    kParamC = 1u << 15,
    kParamCR = 1u << 16,
    kParamF = 1u << 17,
    kParamAR = 1u << 18,
    kParamMM = 1u << 19,
    kParamMA = 1u << 20,
    kParamMD = 1u << 21,
    kParamMT = 1u << 22,
    kParamMF = 1u << 23,
    kParamMI = 1u << 24,
    kParamSV = 1u << 25,
    kParamSC = 1u << 26,
    kParamSI = 1u << 27,
    kParamSD = 1u << 28,
    kParamTL = 1u << 29,
    kParamRL = 1u << 30, // shared by RL and XS
    kParamXO = 1u << 31,
};
constexpr uint32_t kParam2AZ = 1; // in the second parameter mask

// The settings and limits of one sub-test. Units: volts, amperes, ohms, farads, henries, hertz,
// seconds; tolerances in percent.
struct SubTest {
    uint32_t enable; // 1 measure, 0 skip
    char mode;       // from MM, '1' until compiled
    uint32_t modeIndex;
    double nv;
    double nvPlus;
    double nvMinus; // a negative number
    double ll;
    double ul;
    double mc;
    double vr;
    uint32_t vrIndex;
    double v;
    uint32_t vIndex;
    double vo;
    uint32_t voIndex;
    double cr;
    uint32_t crIndex;
    double c;
    double f;
    uint32_t fIndex;
    int32_t mf;
    uint32_t mfIndex;
    double sv;
    double sc;
    int32_t sd;
    int32_t si;
    int32_t ar;
    int32_t az;
    int32_t ma;
    double mt;
    double md;
    double mi;
};

// One resolved pin of a vector pin list. The name is not terminated: use nameLength.
struct PinRef {
    const ChannelRecord* channel; // null for a placeholder
    uint32_t nameLength;
    const char* name;
    int32_t endOfGroup; // 1 when followed by ';' or last in the list
    int32_t forced;     // -1 none, 0 or 1
};

struct VectorItem {
    uint32_t type;   // VectorType
    char format;     // 'd', 'x', 'b', 's' of the value definition
    char jumpMode;   // 'T' or 'A' for a ">" or ">>" target, 0 otherwise
    uint8_t digits;  // digits of the value definition
    int32_t line;    // source line; negative while a jump is not linked
    uint32_t part;   // part number of the last PART line before it
    uint32_t value;  // value bits; DTERM high selector; INSERT part; LABEL reference count
    uint32_t second; // DTERM low selector; INSERT: number of items inserted after it
    int32_t offset;  // linked jump: label position minus jump position
    uint32_t mask;
    uint32_t pinCount;
    uint32_t stateCount;
    uint32_t count; // ?FAIL, ?PASS, REPEAT count; 1 for GOTO
    uint32_t counter;
    double level[3];
    const char* raw;            // value as written (templates with '+'); GROUP name
    const char* label;          // LABEL name, jump target, insertion section name
    const char* pins;           // pin list as written, or "#group"
    const char* comment;        // end-of-line comment; the text of a comment item
    PinRef pin[kMaxVectorPins]; // the first pinCount are set
};

struct ComponentRecord {
    uint32_t classCode;
    int32_t index; // 0 = insertion section, not tested
    uint32_t flags;
    uint32_t reportOption;
    uint32_t variantWord;
    uint32_t variantSet[kVariantWords];
    char variantText[kVariantTextSize];
    int32_t headerLine;
    uint32_t paramMask;
    uint32_t paramMask2;
    uint32_t subTestCount;
    int32_t itemCount;
    const char* name;
    const char* classText;
    const char* variants;
    const char* comment;
    const char* info;
    const char* pi;
    const char* pt;
    const char* tp[kMaxTestPins];
    const char* ts[kMaxSensePins];
    const char* gp[kMaxGuardPins];
    const char* gs;
    const char* tl;
    const char* rl; // RL of DISCHARGE, XS of CONTACT
    const char* xo;
    const char* mm;
    VectorItem* firstItem;
    SubTest sub[kSubTests];
    double compensation; // the fixture compensation value measured on its pins (RES0, CAP0, IND0)
};

struct ComponentModel {
    char fileName[kComponentFileNameSize];
    int32_t componentCount;
    ComponentRecord setup; // copy of the SETUP section
    const char* variants;  // available variants: "-" then the SETUP variants
    int32_t itemCount;     // vector pool position
    uint32_t loadSerial;   // which load of the process filled it (1, 2, ...)
    ComponentRecord components[kMaxComponents];
    VectorItem items[kMaxVectorItems];
};

// Used matrix channels of a pin list, one 160-bit set per switch card.
struct UsedChannels {
    uint32_t bits[kSwitchCards][(kCardPins + 31) / 32];
};

} // namespace kora
