#include "ictx/measure/semis_pins.h"

namespace kora {

namespace {

constexpr const char* kTwoPinError = "Invalid test pin selection (HI|LO)";
constexpr const char* kBipolarError = "Invalid test pin selection (COLLECTOR|BASE|EMITTER)";
constexpr const char* kFetError = "Invalid test pin selection (DRAIN|GATE|SOURCE)";
constexpr const char* kShuntError = "Invalid test pin selection (FORCE+|FORCE-|SENSE+|SENSE-)";
constexpr const char* kPhotoError = "Invalid test pin selection (DIODE+|DIODE-|CONT1|CONT2)";
constexpr const char* kRelayError = "Invalid test pin selection (COIL+|COIL-|CONT1|CONT2)";

using G = BusGroup;

constexpr RolePair kRelaySwitch = {.hi = 2,
                                   .hiGroup = G::A,
                                   .lo = 3,
                                   .loGroup = G::B,
                                   .ctrlHi = 0,
                                   .ctrlHiGroup = G::C,
                                   .ctrlLo = 1};
constexpr RolePair kRelayCoil = {.hi = 0,
                                 .hiGroup = G::C,
                                 .lo = 1,
                                 .loGroup = G::D,
                                 .senseHi = 2,
                                 .senseHiGroup = G::A,
                                 .senseLo = 3,
                                 .senseLoGroup = G::B,
                                 .ctrlHi = 0,
                                 .ctrlHiGroup = G::C,
                                 .ctrlLo = 1};
constexpr RolePair kPhotoSwitch = {
    .hi = 2, .hiGroup = G::B, .lo = 3, .loGroup = G::C, .ctrlHi = 0, .ctrlLo = 1, .supply = 4};
constexpr RolePair kPhotoDiode = {.hi = 0,
                                  .hiGroup = G::A,
                                  .lo = 1,
                                  .loGroup = G::D,
                                  .senseHi = 2,
                                  .senseHiGroup = G::B,
                                  .senseLo = 3,
                                  .senseLoGroup = G::C,
                                  .supply = 4};

// Diode: the forced current runs from the anode (A, force HI) to the cathode (B, the CMU's
// virtual ground), as in the resistor's two-wire modes. Z-diode: the PSU's second channel drives
// the cathode (D) against the anode (C), the two groups that channel reaches. Bipolar
// transistors: each junction from the base (A) to the emitter or the collector (C, force LO);
// the polarity of the part sets the direction of the current, not the wiring, so an NPN and a
// PNP with the same needles are read on the same lines and the PNP's junctions read negative.
// FETs: the channel from drain (A) to source (C), the gate on its own (B) driven by the PICT's
// source; a P-channel part takes its source as the driven end. Shunt: the supply's second channel
// forces its current through FORCE+ (C) and FORCE- (D), the two groups it reaches, and the meter
// reads SENSE+ (A) against SENSE- (B), lines that carry no current.
constexpr ClassRoles kRoles[] = {
    {kClassDiode,
     {"HI", "LO", nullptr, nullptr, nullptr, nullptr},
     kTwoPinError,
     {{0, G::A, 1, G::B}, {0, G::A, 1, G::B}, {-1, G::A, -1, G::B}}},
    {kClassZDiode,
     {"HI", "LO", nullptr, nullptr, nullptr, nullptr},
     kTwoPinError,
     {{1, G::D, 0, G::C}, {-1, G::A, -1, G::B}, {-1, G::A, -1, G::B}}},
    {kClassNpn,
     {"COLLECTOR", "BASE", "EMITTER", nullptr, nullptr, nullptr},
     kBipolarError,
     {{1, G::A, 2, G::C}, {1, G::A, 0, G::C}, {-1, G::A, -1, G::B}}},
    {kClassPnp,
     {"COLLECTOR", "BASE", "EMITTER", nullptr, nullptr, nullptr},
     kBipolarError,
     {{1, G::A, 2, G::C}, {1, G::A, 0, G::C}, {-1, G::A, -1, G::B}}},
    {kClassNFet,
     {"DRAIN", "GATE", "SOURCE", nullptr, nullptr, nullptr},
     kFetError,
     {{0, G::A, 2, G::C, 1, G::B}, {0, G::A, 2, G::C, 1, G::B}, {-1, G::A, -1, G::B}}},
    {kClassPFet,
     {"DRAIN", "GATE", "SOURCE", nullptr, nullptr, nullptr},
     kFetError,
     {{2, G::A, 0, G::C, 1, G::B}, {2, G::A, 0, G::C, 1, G::B}, {-1, G::A, -1, G::B}}},
    {kClassShunt,
     {"FORCE+", "FORCE-", nullptr, nullptr, "SENSE+", "SENSE-"},
     kShuntError,
     {{0, G::C, 1, G::D, -1, G::B, 4, G::A, 5, G::B}, {-1, G::A, -1, G::B}, {-1, G::A, -1, G::B}}},
    // Relay: the switch as the resistor's two wires (SWITCH.HI A at the source, SWITCH.LO B at
    // the meter's other input), the coil on the two groups the supply's second channel reaches
    // (COIL+ C, COIL- D). The coil's sub-test reads the coil pins on those lines.
    {kClassRelayNo,
     {"COIL+", "COIL-", "SWITCH.HI", "SWITCH.LO", nullptr, nullptr},
     kRelayError,
     {kRelaySwitch, kRelaySwitch, kRelayCoil}},
    {kClassRelayNc,
     {"COIL+", "COIL-", "SWITCH.HI", "SWITCH.LO", nullptr, nullptr},
     kRelayError,
     {kRelaySwitch, kRelaySwitch, kRelayCoil}},
    // Photocoupler: the meter's prescribed masks (+ both B lines, - both C lines) take the switch
    // (SWITCH.HI B, SWITCH.LO C); the supply's second channel feeds SUPPLY+ on D and returns
    // through SWITCH.LO's C line; the LED is driven by the PICT's analog output on A and returns
    // into the CMU's virtual ground on the D line SUPPLY+ leaves free.
    {kClassPhotocoupler,
     {"DIODE+", "DIODE-", "SWITCH.HI", "SWITCH.LO", "SUPPLY+", nullptr},
     kPhotoError,
     {kPhotoSwitch, kPhotoSwitch, kPhotoDiode}},
    // Varistor: the source's force HI (A) drives HI, LO returns through the ammeter (meter - on
    // C, meter + with the source's LO on D).
    {kClassVaristor,
     {"HI", "LO", nullptr, nullptr, nullptr, nullptr},
     kTwoPinError,
     {{0, G::A, 1, G::C}, {0, G::A, 1, G::C}, {-1, G::A, -1, G::B}}},
};

// Line 1 of each group, in the order of BusGroup.
constexpr BusLine kFirstLine[] = {kLabA1, kLabB1, kLabC1, kLabD1};
// PSAM mask bit of each line (LABA1 .. LABD2).
constexpr int32_t kPsamBits[kBusLines] = {0x80, 0x08, 0x40, 0x04, 0x20, 0x02, 0x10, 0x01};

} // namespace

const ClassRoles* RolesOf(uint32_t classCode) {
    for (const ClassRoles& r : kRoles) {
        if (r.classCode == classCode) {
            return &r;
        }
    }
    return nullptr;
}

const char*& RolePinRef(ComponentRecord& record, int k) {
    return k < kMaxTestPins ? record.tp[k] : record.ts[k - kMaxTestPins];
}

const char* RolePinText(const ComponentRecord& record, int k) {
    return RolePinRef(const_cast<ComponentRecord&>(record), k);
}

BusLine LineOf(BusGroup group, const ChannelRecord& pin) {
    const int first = kFirstLine[static_cast<int>(group)];
    return static_cast<BusLine>(first + (pin.pinIndex & 1));
}

void SlotsOf(const RolePair& p, PairSlot (&slots)[kPairSlots]) {
    slots[0] = {p.hi, p.hiGroup};
    slots[1] = {p.lo, p.loGroup};
    slots[2] = {p.gate, p.gateGroup};
    slots[3] = {p.senseHi, p.senseHiGroup};
    slots[4] = {p.senseLo, p.senseLoGroup};
    slots[5] = {p.ctrlHi, p.ctrlHiGroup};
    slots[6] = {p.ctrlLo, p.ctrlLoGroup};
    slots[7] = {p.supply, p.supplyGroup};
}

BusLine RoleLine(const RolePair& p, int role, const ChannelRecord* const (&pins)[kRolePins]) {
    PairSlot slots[kPairSlots];
    SlotsOf(p, slots);
    BusLine taken[kPairSlots];
    int takenRole[kPairSlots];
    int count = 0;
    for (const PairSlot& s : slots) {
        if (s.pin < 0 || !pins[s.pin]) {
            continue;
        }
        BusLine line = LineOf(s.group, *pins[s.pin]);
        bool repeat = false;
        for (int i = 0; i < count; ++i) {
            repeat = repeat || takenRole[i] == s.pin;
        }
        if (!repeat) {
            for (int i = 0; i < count; ++i) {
                if (taken[i] == line) {
                    line = static_cast<BusLine>(line ^ 1);
                }
            }
        } else {
            for (int i = 0; i < count; ++i) {
                if (takenRole[i] == s.pin) {
                    line = taken[i];
                }
            }
        }
        if (s.pin == role) {
            return line;
        }
        taken[count] = line;
        takenRole[count++] = s.pin;
    }
    return pins[role] ? LineOf(BusGroup::A, *pins[role]) : kLabA1;
}

int32_t PsuBit(BusLine line) {
    return 1 << line;
}

int32_t PsamBit(BusLine line) {
    return kPsamBits[line];
}

int32_t PictBit(BusLine line) {
    return 1 << line;
}

} // namespace kora
