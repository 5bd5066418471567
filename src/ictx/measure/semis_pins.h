// The test pins of the semiconductor, switch and four-wire classes: which pin of the component
// file (TP1 .. TP4, and the photocoupler's supply pin on the first sense line) plays which role,
// and which bus group each role takes in each sub-test. Every such class finds its pins here and
// nowhere else, so that the wiring of a class can be read (and changed) in one table.
#pragma once

#include "bench/bench.h"
#include "ictx/measure/ict_hardware.h"
#include "ictx/program/component_model.h"

#include <cstdint>

namespace kora {

// TP1 .. TP4, then the first and second sense pin (TS): a photocoupler's supply pin, a shunt's
// sense pins.
constexpr int kRolePins = 6;

// A bus group; the pin's parity picks its line 1 (even pin index) or 2 (odd).
enum class BusGroup { A, B, C, D };

// One sub-test's connection: the pin (index into the role table) on each group it uses, -1 for
// none. `hi` is the end the stimulus drives, `lo` the end it returns through.
struct RolePair {
    int hi;
    BusGroup hiGroup;
    int lo;
    BusGroup loGroup;
    int gate = -1; // a third pin driven on its own (FET gate)
    BusGroup gateGroup = BusGroup::B;
    int senseHi = -1; // four wires: the meter's own pins
    BusGroup senseHiGroup = BusGroup::A;
    int senseLo = -1;
    BusGroup senseLoGroup = BusGroup::B;
    int ctrlHi = -1; // the control circuit of a switch (coil, LED): its driven end
    BusGroup ctrlHiGroup = BusGroup::A;
    int ctrlLo = -1; // and its return
    BusGroup ctrlLoGroup = BusGroup::D;
    int supply = -1; // the supply pin of a switch's output side
    BusGroup supplyGroup = BusGroup::D;
};

// The pins of a sub-test in the order they take their lines: hi, lo, gate, senseHi, senseLo,
// ctrlHi, ctrlLo, supply; with the group of each.
constexpr int kPairSlots = 8;
struct PairSlot {
    int pin;
    BusGroup group;
};
void SlotsOf(const RolePair& p, PairSlot (&slots)[kPairSlots]);

struct ClassRoles {
    uint32_t classCode;
    const char* names[kRolePins]; // attribute names of the pins in "TEST PINS", null = unused
    const char* pinError;         // a required pin missing
    RolePair pairs[kSubTests];    // per sub-test
};

// The roles of a class; null for classes that keep the two-pin roles of the frame.
const ClassRoles* RolesOf(uint32_t classCode);

// The record's text of role pin k (TP1 .. TP4, TS1, TS2).
const char* RolePinText(const ComponentRecord& record, int k);
const char*& RolePinRef(ComponentRecord& record, int k);

// The bus line a pin takes in a group; and its bit in the analog bus order of the PSU's masks
// (bit 0 ABa1 .. bit 7 ABd2) and in the PSAM's and PICT's mask layout.
BusLine LineOf(BusGroup group, const ChannelRecord& pin);
// The line of role pin `role` in sub-test pair `p`: its group's line by parity, unless a pin
// before it in the pair's order holds that line already; then the group's other line. Two pins
// of a switch's circuits may share a group, and must not meet on one line.
BusLine RoleLine(const RolePair& p, int role, const ChannelRecord* const (&pins)[kRolePins]);
int32_t PsuBit(BusLine line);
int32_t PsamBit(BusLine line);
int32_t PictBit(BusLine line);

} // namespace kora
