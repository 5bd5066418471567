// What the tests of the classes with sub-tests share (diode and Z-diode, transistors and FETs):
// the data block with the role pins and one settings record per sub-test, their attributes, the
// method's entry loop, the DC reads, and the verification of each sub-test under its own name.
// The head, limits of sub-test 1, times and alert are the component frame's.
#pragma once

#include "ictx/measure/component_frame.h"
#include "ictx/measure/semis_pins.h"
#include "ictx/measure/unit_control.h"

#include <cmath>
#include <cstddef>

namespace kora {

constexpr const char* kSemiFilterList = "DIGITAL,400,4000,40000,100000,NONE";
constexpr const char* kSemiCurrentRangeList =
    "0.001,0.002,0.005,0.01,0.02,0.05,0.1,0.2,0.5,1,2,5,10,20,50,100";
constexpr const char* kNoPictAvailable = "ERROR: No PICT available";
constexpr const char* kNoPsuAvailable = "ERROR: No PSU available";
constexpr int32_t kSemiReadTimeoutMs = 1000;
constexpr int32_t kPsuCouplingOffPreset = 8;

// The settings, limits and outputs of one sub-test.
struct SubBlock {
    int32_t enabled; // "VALIDATION|x" "ENABLED"
    double voltage;
    double current;
    double delay;
    double interval;
    double time; // "TIME": samples x interval
    int32_t average;
    char filter[16];
    char rangeSel[16]; // "RANGE.SEL" of a CMU read
    double rangeI;     // "RANGE.I": the CMU range used
    double ul, nom, ll;
    char ulHint[32];
    char llHint[32];
    double value;
    int32_t valid;
    double mean;
    int32_t reads;
    double gateLevel; // FET: the gate voltage of this sub-test
    double gateImp;   // FET: "GATE.IMP"
    // A switch's control circuit (the file's SV and SC): a relay's coil voltage and current limit;
    // a photocoupler's output supply (sub-test 1's).
    double ctrlLevel;
    double ctrlCurrent;
    // A pulsed stimulus (varistor): the file's F, VO and SD (duty cycle in percent); the periods
    // are the sub-test's AVERAGE (MA).
    double frequency;
    double offset;
    int32_t duty;
    int32_t regulated; // the source ran at its current limit
    double auxMean;    // a second reading of the sub-test (the switch's short-circuit current)
};

struct SemiBlock {
    ComponentBlock head;
    const ClassRoles* roles;
    int32_t subTests;
    const ChannelRecord* rolePin[kRolePins];
    char roleText[kRolePins][64];
    SubBlock sub[kSubTests];
};

// What a class adds to the frame.
struct SemiClass {
    ClassTraits traits;
    int subTests;                       // sub-tests the class measures
    void (*defineSettings)(SemiBlock&); // class attributes between head and pins
    void (*defineDetails)(SemiBlock&);  // class details after "DETAILS"
    // The measurement once the pins are checked: each sub-test configured, connected, read and
    // verified. Returns the combined verification result; false in `ok` on a driver error.
    long (*measure)(SemiBlock&, PinConnector&, ModuleErrors&, StepError&);
};

// The method of a class: save mode, entry loop, define and measure phases.
EN_NEV_RESULT RunSemiMethod(ComponentCall& call, const SemiClass& cls);

// ---- attributes ---------------------------------------------------------------------------

// "SETTINGS|<label>|STIM" VOLTAGE and I.LIMIT; "SETTINGS|<label>|MEAS" DELAY, AVERAGE,
// INTERVAL, FILTER (or DELAY, TIME, FILTER with `timed`).
void DefineSubStim(SubBlock& s, const char* group, const char* voltageName,
                   const char* currentName);
void DefineSubMeas(SubBlock& s, const char* group, bool timed);
// "VALIDATION|<label>" (ENABLED when `switchable`), UL, NOM, LL with their hints.
void DefineSubLimits(SemiBlock& b, int k, const char* group, bool switchable, long unit);
// "TEST PINS" with the role names of the class, and "TEST PINS|GUARD" GP1..GP4 when asked.
void DefineRolePins(SemiBlock& b, bool guards);

// ---- measurement --------------------------------------------------------------------------

// The pins of sub-test k, resolved (null when the class does not use them there).
const ChannelRecord* HiPin(const SemiBlock& b, int k);
const ChannelRecord* LoPin(const SemiBlock& b, int k);
const ChannelRecord* GatePin(const SemiBlock& b, int k);

// Filter in hertz (0 the widest), smoothing and sample count of a sub-test.
struct SubRead {
    int32_t filterHertz;
    bool smoothing;
    int32_t samples;
};
SubRead ReadSettingsOf(const SubBlock& s, bool timed);

// Connects HI and LO of sub-test k (and its gate) on their groups and waits for the debounce.
bool ConnectPair(SemiBlock& b, int k, PinConnector& pins, ModuleErrors& errors);
// The bus line of role pin `role` in sub-test k (RoleLine); connects every pin of sub-test k on
// its line and waits for the debounce.
BusLine RoleBusLine(const SemiBlock& b, int k, int role);
bool ConnectRoles(SemiBlock& b, int k, PinConnector& pins, ModuleErrors& errors);
// A wait in the bench's time, rounded to whole milliseconds (none for 0).
void WaitSeconds(double seconds);

// The smallest range of a table that holds `value`; the largest when none does.
template <std::size_t N> double RangeAtLeast(const double (&ranges)[N], double value) {
    for (double r : ranges) {
        if (r >= std::fabs(value)) {
            return r;
        }
    }
    return ranges[N - 1];
}

// The PSU's coupling off, where the bench has one.
bool PsuCouplingOff(BenchRecord& bench, ModuleErrors& errors);

// A PSAM meter read into sub-test k's mean and the graph; the over-range warning reported as
// `overRange`.
bool ReadMeter(SemiBlock& b, int k, const SubRead& m, double range, const char* graph,
               bool& overRange, ModuleErrors& errors);

// Verifies sub-test k: its value against its limits under `name`, the pin pair "%1-%2" as the
// detail text, and the comment.
long VerifySub(SemiBlock& b, int k, const char* name, long unit, const char* comment);

// The worse of two verification results (a failure stays a failure).
inline long Worse(long a, long b) {
    return a < b ? a : b;
}

} // namespace kora
