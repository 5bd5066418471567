// The digital multimeter as the circuit sees it (DmmFrontEnd), and the meter's measuring,
// triggering and recording behind the DMM class library (DmmMeter).
//
// Terminals. A meter's terminals are circuit nets named "<device>!<terminal>" in lower case, the
// device being the name the meter was opened with (DMM_Setup's deviceName; "DMM_A" gives
// "dmm_a!hi"): HI, LO (the common), SHI and SLO (four-wire sense) and I (the current input). The
// routing closes relays between these nets and board nets; a board file may also wire them itself.
//
// Input circuit, between the terminals:
// - LO is floating: 10 Gohm of isolation to ground, so that a meter connected to nothing still has
//   a voltage everywhere. The ground relay (DMM_Conf_Ground_Relay) ties LO to ground through a
//   relay of the station's relay resistance.
// - Voltage functions: 10 Mohm input resistance between HI and LO; in every other function the
//   voltage input is switched off (1 Tohm).
// - Current functions: the shunt between I and LO, always in place, of 100 mV over the range's
//   full scale (1 kohm on the 100 uA range down to 33 mohm on 3 A); reading the current that
//   enters at I.
// - Resistance: a current source drives the range's test current out of HI into the board and
//   back into LO, with 10 V of compliance (an open or a resistance far above the range holds it
//   at 10 V and reads over range); the meter reads V / I between HI and LO (2-wire) or between
//   SHI and SLO (4-wire). In 4-wire mode 100 kohm inside the meter join SHI to HI and SLO to LO, so
//   that open sense leads read the 2-wire value instead of nothing.
//
// Functions and what they read:
// - DC: the settled circuit at the present instant (capacitor charge and all). A board sine
//   (below) contributes its offset only: on a board with memory, whose transient carries the
//   sine, the sine's steady-state value at that instant is taken off again.
// - AC: the true RMS of the AC part, from the steady state of the board's sine sources (the
//   SIN(VO VA FREQ TD THETA PHASE) sources of the netlist, and any other source with a sine
//   description): one AC analysis per frequency, each with the sources of that frequency at
//   amplitude VA and phase PHASE - 360 FREQ TD degrees (damping THETA ignored) and every other
//   source silent; RMS = sqrt(sum |X|^2 / 2) over the frequencies.
// - AC+DC: sqrt(DC^2 + AC^2).
//
// Ranges (full scale; the table's order is the auto-range order):
//   DC_VOLTS                          0.1, 1, 10, 100, 1000 V
//   AC_VOLTS, AC_PLUS_DC_VOLTS        0.1, 1, 10, 100, 700 V
//   DC_CURRENT                        100 uA, 1 mA, 10 mA, 100 mA, 1 A, 3 A
//   AC_CURRENT, AC_PLUS_DC_CURRENT    1 mA, 10 mA, 100 mA, 1 A, 3 A
//   2_WIRE_RES, 4_WIRE_RES            100, 1k, 10k, 100k, 1M, 10M, 100M ohm, with test currents
//                                     1 mA, 1 mA, 100 uA, 10 uA, 5 uA, 500 nA, 50 nA
// A fixed range is the smallest of the table that holds the range asked for. Auto-range picks, at
// the start of every trigger's samples, the smallest range that holds the value (the shunt and the
// test current follow the range, so it looks again on the range it picked). A sample above 120 %
// of its range is over range and reads +/-9.9e37, as real meters report; above 120 % of the largest
// range even auto-range reads over range.
//
// Accuracy, three sigma of the seeded noise of the bench (none with MeterNoise = 0), as
// % of reading + % of range:
//   DC_VOLTS 0.0035 + 0.0005; DC_CURRENT 0.05 + 0.005; 2_WIRE_RES and 4_WIRE_RES 0.01 + 0.001;
//   AC_VOLTS and AC_PLUS_DC_VOLTS 0.06 + 0.03; AC_CURRENT and AC_PLUS_DC_CURRENT 0.1 + 0.04.
//
// A simulated meter ("Simulate=1" or "Simulate=true") has no terminals in the circuit and reads
// fixed values with the same noise, ranges and over range: 1 V in the voltage functions, 1 mA in
// the current functions, 1 kohm in the resistance functions.
//
// Records. DmmMeter::initiate arms a record of trigger count x sample count samples. Each trigger
// that arrives while the meter is armed and not busy with the previous one takes sample count
// samples: after the trigger delay, sample k at (k + 1) steps, a step being the largest of the
// sample interval, the averaging time (average count x time between averaged samples) and 5 us.
// The bench clock runs through every sample as it is taken, so a record costs the time a real one
// takes. Triggers:
// - IMMEDIATE: at once when armed, and again after each trigger's samples;
// - SOFTWARE: each DMM_Send_Software_Trigger;
// - ITO1, ITO2: the pulses of the meter's own pulse generator IT1 or IT2 once it runs: pulse k at
//   start + delay + k (width + pause), pulse count 0 without end; pulses that come while the meter
//   is busy are lost. A generator on the source SOFTWARE starts at DMM_Send_Software_Signal; one
//   on any other source is kept configured, but nothing on the virtual bench starts it. A new
//   configuration of the generator or a reset of the meter stops it;
// - XTA1, XTA2: the analog trigger on the meter's own input: the DC voltage HI - LO (unit VOLT) or
//   the DC current into I (AMPERE) at or above the level (slope POSITIVE) or at or below it
//   (NEGATIVE), looked at when the meter arms, after each trigger and when it is fetched from;
// - XTI1, XTI2, TTL0..TTL7: nothing on the virtual bench drives these inputs, so such a record
//   waits: a fetch waits its maximum time and finds no sample.
// A fetch hands over the samples taken and not yet fetched; while fewer are there than it asks for
// and more can still come, it waits its maximum time first (in virtual time nothing else happens
// while it waits). The record is done when all its samples are fetched.
//
// Trigger outputs appear in the journal as entries of the interface "trigger", function the line
// ("XTO1", "TTL3", ...), arguments the device, the event and the polarity, at the clock time of the
// edge: the event "IT4" (the meter's measurement trigger) at every trigger taken, on each output
// enabled in the output mask whose event is IT4; "MEAS_COMPLETE" after each trigger's samples, on
// the measurement-complete destination (unless NONE); and "IT1"/"IT2" once when a pulse generator
// starts, on its output and on every output configured with its event, when enabled in the mask
// (that one entry also carries the pulse count, width and pause).
//
// Invalid samples. A fault rule on the function name "DMM_Sample" (vbench fault injection) makes
// samples not a number: every sample any meter takes counts as one call of "DMM_Sample", so the
// rule's occurrence is the sample's number since the faults were reset and a persistent rule spoils
// every sample from then on. The rule's code and message are not used.
#pragma once

#include <vbench/bench/noise.h>

#include <array>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kora::vbench {

class Resistor;
class Source;
class Switch;
class VirtualBench;

enum class DmmFunction {
    DcVolts,
    DcCurrent,
    TwoWireOhms,
    FourWireOhms,
    AcVolts,
    AcCurrent,
    AcDcVolts,
    AcDcCurrent
};

// Stated accuracy as fractions (0.0001 = 0.01 %), three sigma.
struct DmmAccuracy {
    double ofReading = 0;
    double ofRange = 0;
};

inline constexpr double kDmmOverRangeReading = 9.9e37;
// A sample above this share of its range is over range.
inline constexpr double kDmmOverRangeShare = 1.2;
// The fault-injection name that spoils samples (see above).
inline constexpr const char* kDmmSampleFault = "DMM_Sample";
// The journal interface of trigger-output edges.
inline constexpr const char* kDmmTriggerInterface = "trigger";
// Trigger outputs in the order of their entries in DmmSettings, and their mask bits.
inline constexpr std::array<const char*, 10> kDmmOutputs = {"XTO1", "XTO2", "TTL0", "TTL1", "TTL2",
                                                            "TTL3", "TTL4", "TTL5", "TTL6", "TTL7"};
long DmmOutputBit(std::size_t output);

const std::vector<double>& DmmRanges(DmmFunction f);
// The smallest range of the function's table that holds |value|; 0 when none does.
double DmmRangeFor(DmmFunction f, double value);
DmmAccuracy DmmAccuracyOf(DmmFunction f);
// Test current of a resistance range and shunt of a current range (table ranges).
double DmmTestCurrent(double ohmsRange);
double DmmShunt(double ampereRange);
// What a simulated meter reads.
double DmmSimulatedValue(DmmFunction f);
// The net of a terminal: DmmTerminalNet("DMM_A", "HI") is "dmm_a!hi".
std::string DmmTerminalNet(std::string_view device, std::string_view terminal);

// The meter's input in the circuit of one bench (see above); DmmFrontEndOf keeps one per device
// name and bench.
class DmmFrontEnd {
  public:
    DmmFrontEnd(VirtualBench& bench, const std::string& device);
    DmmFrontEnd(const DmmFrontEnd&) = delete;
    DmmFrontEnd& operator=(const DmmFrontEnd&) = delete;

    bool attachedTo(VirtualBench& bench) const;

    // Puts the input into function f on `range`, a range of the function's table.
    void configure(DmmFunction f, double range);
    DmmFunction function() const { return function_; }
    double range() const { return range_; }
    void setGroundRelay(bool closed);

    // Auto-range: configures the function on the smallest range that holds the present value
    // (the largest when none does) and returns that range.
    double chooseRange(DmmFunction f);
    // The exact value of the configured function now, without noise; NaN when the circuit has no
    // solution. With reuseAc the AC part of the last call is taken again instead of new AC
    // analyses (the samples of one trigger).
    double exactValue(bool reuseAc = false);
    // The DC voltage HI - LO and the DC current into I as they stand (the analog trigger).
    double dcVolts();
    double dcAmperes();

  private:
    struct Phasor {
        double hertz;
        std::complex<double> value;
    };
    std::string element(const char* id) const;
    // The quantity of the configured function (voltage or current; resistance reads volts) in
    // phasors of the board's sine sources, per frequency.
    std::vector<Phasor> acPhasors();
    bool settled();

    VirtualBench& bench_;
    std::string device_;
    int hi_, lo_, shi_, slo_, i_;
    Resistor* input_ = nullptr;
    Resistor* shunt_ = nullptr;
    Resistor* senseHi_ = nullptr;
    Resistor* senseLo_ = nullptr;
    Source* ohms_ = nullptr;
    Switch* ground_ = nullptr;
    double inputOhms_ = 10e6;
    double bridgeOhms_ = 1e12;
    double shuntOhms_ = 0.1 / 3; // of the 3 A range
    DmmFunction function_ = DmmFunction::DcVolts;
    double range_ = 1000;
    std::vector<Phasor> phasors_; // of the last exactValue()
};

// The front end of that device name on the bench, created on first use; renewed when the bench has
// loaded another station since.
DmmFrontEnd& DmmFrontEndOf(VirtualBench& bench, const std::string& device);

// A pulse generator of the meter (IT1, IT2).
struct DmmGenerator {
    std::string source = "SOFTWARE";
    std::string slope = "POSITIVE";
    std::string output = "XTO1";
    std::string polarity = "HIGH";
    double delay = 0;
    long pulseCount = 1; // 0: until stopped
    double pulseWidth = 1e-6;
    double pulsePause = 1e-6;
    std::optional<int64_t> startNs; // clock time it was started, while it runs
};

// What the meter is set to (the class library checks every value before it lands here).
struct DmmSettings {
    DmmFunction function = DmmFunction::DcVolts;
    double range = 1000; // the fixed range, a range of the function's table
    bool autoRange = true;
    long averageCount = 1;
    double averageTime = 0;
    long triggerCount = 1;
    long sampleCount = 1;
    double sampleInterval = 0;
    std::string triggerSource = "IMMEDIATE";
    double triggerDelay = 0;
    std::string triggerSlope = "POSITIVE";
    std::string analogSource = "XTA1";
    double analogLevel = 0;
    std::string analogUnit = "VOLT";
    long outputMask = 0;
    std::array<std::string, 10> outputEvent{}; // per kDmmOutputs entry: "" = not configured
    std::array<std::string, 10> outputPolarity{};
    std::string completeDestination = "NONE";
    std::array<DmmGenerator, 2> generators{};
    bool groundRelay = false;
};

// One opened meter: its settings, its record and its triggers. Each call takes the bench the
// driver call works on (null without one: a simulated meter then reads without a clock, with noise
// of its own).
class DmmMeter {
  public:
    DmmMeter(std::string device, bool simulated)
        : device_(std::move(device)), simulated_(simulated) {}

    DmmSettings settings;

    const std::string& device() const { return device_; }
    bool simulated() const { return simulated_; }

    // Start state: settings, record and generators; the front end follows.
    void reset(VirtualBench* bench);
    // Puts the front end into the present function, range and ground relay (on auto-range the
    // largest range until a reading picks one).
    void apply(VirtualBench* bench);

    // Arms a new record (dropping any earlier one) and takes what triggers are there already.
    void initiate(VirtualBench* bench);
    // A record is armed or has samples left to fetch.
    bool initiated() const { return armed_; }
    void softwareTrigger(VirtualBench* bench);
    // Starts pulse generator 0 (IT1) or 1 (IT2) now.
    void startGenerator(VirtualBench* bench, int generator);
    void abort();

    struct Fetched {
        long count = 0; // samples handed over
        long valid = 0; // of them, those that are numbers
    };
    // Hands over up to `count` samples (see above); waits up to maxTime seconds for missing ones.
    Fetched fetch(VirtualBench* bench, double maxTime, long count, double values[]);

  private:
    bool complete() const { return triggersTaken_ >= settings.triggerCount; }
    void service(VirtualBench* bench);
    std::optional<int64_t> nextTrigger(VirtualBench* bench);
    bool analogTriggerHolds(VirtualBench* bench);
    void takeTrigger(VirtualBench* bench, int64_t atNs);
    DmmFrontEnd* frontEnd(VirtualBench* bench) const;
    void emit(VirtualBench* bench, const char* line, const std::string& arguments);

    std::string device_;
    bool simulated_;
    NoiseSource ownNoise_{1};
    bool armed_ = false;
    std::vector<double> samples_;
    std::size_t fetched_ = 0;
    long triggersTaken_ = 0;
    int64_t busyUntilNs_ = 0;
};

} // namespace kora::vbench
