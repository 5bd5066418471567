#include "ictx/measure/semis_pins.h"

namespace kora {

namespace {

constexpr const char* kTwoPinError = "Invalid test pin selection (HI|LO)";
constexpr const char* kBipolarError = "Invalid test pin selection (COLLECTOR|BASE|EMITTER)";
constexpr const char* kFetError = "Invalid test pin selection (DRAIN|GATE|SOURCE)";
constexpr const char* kShuntError = "Invalid test pin selection (FORCE+|FORCE-|SENSE+|SENSE-)";

using G = BusGroup;

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
