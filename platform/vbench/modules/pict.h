// The ICT expansion module (PICT) as the circuit sees it: an analog output source (AOS), a complex
// measurement unit (CMU) that works as a virtual-ground ammeter, and a guard driver. Five switch
// masks put them on the system analog bus lines ABa1 .. ABd2 (the module has no coupling relays
// of its own; every switch is a relay of the station's relay resistance).
//
// Switch masks (rspict_cnx_ConfigureSwitches), each relay joining one unit to one bus line:
//
//   mask 1  CMU input     bit 0 ABa1, 1 ABa2, 2 ABb1, 3 ABb2, 4 ABc1, 5 ABc2, 6 ABd1, 7 ABd2
//   mask 2  guard output  bit 6 ABc1, 7 ABc2
//   mask 3  CMU sense     bit 6 ABb1, 7 ABb2, 8 ABd1, 9 ABd2
//   mask 4  guard sense   bit 10 ABc1, 11 ABc2, 12 ABd1, 13 ABd2
//   mask 5  AOS output    bit 0 ABa1, 1 ABa2, 2 ABb1, 3 ABb2, 4 ABc1, 5 ABc2, 6 ABd1, 7 ABd2
//
// A bit outside these tables reaches no line and is refused. The layout follows how a test is
// wired: the HI pin sits on an A line, the LO pin on a B line, guard pins on the C lines and the
// guard-sense and sense-LO pins on the D lines. So 0x0C puts the CMU on both B lines; 0xC0 in
// mask 2 drives the C lines as guard; mask 3 senses the virtual ground on the LO line itself
// (0xC0 both B lines, 0x40 / 0x80 the one B line that the six-wire sense-LO pin holds) or on the
// sense-LO pin of the sensed modes (0x300); mask 4 senses the guard on its own C lines (0xC00) or
// through the guard-sense pin (0x3000); 3 in mask 5 drives the A lines from the AOS.
//
// CMU. An amplifier holds its input at 0 V while mask 1 closes at least one switch, regulating
// the sensed point (mask 3; without it, the input itself) and reading the current that flows into
// the input. It delivers at most 0.3 A. Gain codes 0 .. 16 select the current ranges 1, 2, 5 uA
// ... 100 mA, 200 mA. Filter codes 3, 2, 1 give a first-order low-pass of 400 Hz, 4 kHz, 40 kHz;
// 0 none. Signal code 0 leaves the recorder input open (its records hold only noise around 0);
// codes 1 and 2 record the input current. The virtual ground works whatever the signal code.
// Samples carry seeded noise within 0.1 % of the reading plus 0.05 % of the range (three sigma)
// and read NaN above 110 % of the range. Auto-range picks, for each record, the smallest range
// that holds the expected peak within 90 % and keeps it.
//
// Records. Trigger source 1 starts a record at rspict_cmu_Initiate; source 111 is the PSAM's
// trigger line, so the record starts when the PSAM's software trigger fires (a successful
// rspsam_trig_SendSoftwareSignal after the Initiate). rspict_cmu_Read starts its record at once.
// Sample k is taken at start + trigger delay + kSampleDelay + (k + 1) x interval: the CMU's
// trigger-to-sample delay (10.5 us) exceeds the PSAM measurement unit's by 8.5 us with its 100 kHz
// filter and by 6.5 us with the narrower ones, the bench's default CMU delay values, so that a
// PSAM record triggered that much later lines up with the CMU's. While the AOS runs a sine, a
// record is the steady state of the stimulus: the input current's phasor at the sine's frequency
// (the solver's AC analysis, scaled by the filter) on top of the DC current that the sine's
// offset drives, evaluated at the sample instants, so that it keeps its phase to every other
// record of the same sine. Otherwise the record samples the circuit as virtual time runs, as the
// PSAM's meter does. A record's state: 2 over range (a sample beyond 110 %), 1 under range (no
// sample reaches 5 % of the range), else 0; 4 when it did not complete within the time-out (a
// record on the trigger line whose trigger never came reports that at once when the caller sets
// no time-out: in virtual time nothing else could happen while it waits).
//
// AOS. Mode DC: the level (within +/-10 V) behind a series resistance chosen by the range code
// (0: none, 1: 10 ohm, 2: 100 ohm, 3: 1 kohm), so that a gate or a diode can be driven through
// a known impedance. Mode AC: a sine offset + amplitude x sin(2 pi f t) on circuit time t, with
// frequency code 0 100 Hz, 1 1 kHz, 2 10 kHz; amplitude code 0 0.1 V, 1 0.2 V, 2 1 V; offset code
// 0 none, 1 +amplitude, 2 -amplitude (the sine then stays on one side of 0 V). Its AC phasor is
// amplitude at 0 degrees. Disabled, the output is open. While the sine runs on the bus (mask 5
// closes a switch) the circuit counts as one with memory, so that every meter that samples it in
// virtual time sees the sine.
//
// Guard driver. While mask 2 closes at least one switch it holds the sensed guard point (mask 4;
// without it, its own output) at 0 V, the potential of the virtual ground, with at most 0.3 A.
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kora::vbench {

class Resistor;
class Source;
class Switch;
class VirtualBench;
class PictAosOutput;

class PictModule {
  public:
    static constexpr int kMasks = 5;
    static constexpr int kLines = 8;
    static constexpr int kTriggerImmediate = 1;
    static constexpr int kTriggerPsamLine = 111;
    static constexpr double kSampleDelay = 10.5e-6;

    enum class CmuState { Ok = 0, UnderRange = 1, OverRange = 2, Timeout = 4 };

    struct Record {
        std::vector<double> samples;
        double range = 0; // amperes
        CmuState state = CmuState::Ok;
    };

    PictModule(VirtualBench& bench, std::string name);
    ~PictModule();
    PictModule(const PictModule&) = delete;
    PictModule& operator=(const PictModule&) = delete;

    const std::string& name() const { return name_; }
    // Whether the module's elements are part of the bench's present circuit.
    bool attachedTo(VirtualBench& bench) const;

    // Back to the start state: AOS off in DC mode at 0 V, CMU switches open, signal code 0, the
    // 100 mA range, no filter, auto-range off, immediate trigger, 200 samples 5 us apart.
    void reset();

    // ---- switches ----
    // The bus line (0 ABa1 .. 7 ABd2) of a bit of mask `mask` (1..5), or -1.
    static int lineOfBit(int mask, int bit);
    static bool validMask(int mask, int value);
    // masks[0] is mask 1 .. masks[4] mask 5; every value must be valid.
    void setSwitches(const std::array<int, kMasks>& masks);
    int switchMask(int mask) const { return masks_[static_cast<std::size_t>(mask - 1)]; }

    // ---- analog output source ----
    static double sineFrequency(int code);    // 0..2
    static double sineAmplitude(int code);    // 0..2
    static double seriesResistance(int code); // 0..3
    static constexpr double kMaxDcLevel = 10;
    void setAosAc(bool ac);
    bool aosAc() const { return ac_; }
    void configureSine(int frequencyCode, int amplitudeCode, int offsetCode);
    void configureDc(int rangeCode, double level);
    void setAosEnabled(bool on);
    bool aosEnabled() const { return aosOn_; }
    double frequency() const { return sineFrequency(frequencyCode_); }
    double amplitude() const { return sineAmplitude(amplitudeCode_); }
    double offset() const;
    double dcLevel() const { return dcLevel_; }
    // Whether the sine is on the output now.
    bool sineRunning() const { return ac_ && aosOn_; }

    // ---- complex measurement unit ----
    static const std::vector<double>& gainRanges(); // index = gain code
    static double filterCorner(int code);           // hertz; 0 for none
    void setSignalConditioning(int signalCode, int gainCode, int filterCode);
    int signalCode() const { return signalCode_; }
    int gainCode() const { return gainCode_; }
    double range() const { return gainRanges()[static_cast<std::size_t>(gainCode_)]; }
    int filterCode() const { return filterCode_; }
    void setAutoRange(bool on) { autoRange_ = on; }
    bool autoRange() const { return autoRange_; }
    void setTrigger(int source, double delay);
    int triggerSource() const { return triggerSource_; }
    void setRecorder(int sampleCount, double interval);
    int sampleCount() const { return sampleCount_; }
    double sampleInterval() const { return interval_; }

    // Arms a record (see above); a record with the immediate trigger is taken at once.
    void initiate();
    // Whether a record was armed or taken since the last fetch.
    bool armed() const { return armed_; }
    // The armed record: waits up to timeoutSeconds (negative: no limit) for it to complete.
    Record fetch(double timeoutSeconds);
    // Takes a record now; false (the clock advanced by the time-out) when it would take longer.
    bool read(double timeoutSeconds, Record* record);
    // The present input current and its phasor while the sine runs, without noise or filter.
    double trueCurrent();
    std::complex<double> currentPhasor();
    // While the sine runs on the bus: the steady state of the voltage from net `plus` to net
    // `minus`, dc + Im(ac x e^(j 2 pi f t)) at circuit time t, and the circuit time now, so that
    // another module's record keeps its phase to the CMU's. Nothing otherwise.
    struct SteadyVoltage {
        double dc = 0;
        std::complex<double> ac;
        double frequency = 0;
        double now = 0;
    };
    std::optional<SteadyVoltage> steadyVoltage(const std::string& plus, const std::string& minus);

    // Lets the module's circuits settle: the station's settling time passes.
    void waitForSettling();

    // Node names (for tests and neighbouring models).
    std::string cmuInputNet() const { return prefix_ + "cmu-in"; }
    std::string aosOutputNet() const { return prefix_ + "aos-out"; }
    std::string guardOutputNet() const { return prefix_ + "guard-out"; }

  private:
    Switch& relay(const std::string& id, const std::string& a, const std::string& b);
    void applyAos();
    void applyAmplifiers();
    // Whether the circuit must be followed in time for the AOS: a sine on the bus.
    bool aosDynamic() const;
    // Replaces the AOS element when the circuit's memory flag must follow the sine; applyAos()
    // then configures it.
    void placeAos();
    double circuitTime();
    // The record of a trigger at clock time startNs: computed at its sample instants while the
    // sine runs, else sampled as the clock runs on. Either way the clock ends at or after the
    // record's end.
    Record takeRecord(int64_t startNs);
    void chooseRange(double peak);
    // Clock time of the first PSAM software trigger since the record was armed, if any.
    std::optional<int64_t> triggerTime() const;

    VirtualBench& bench_;
    std::string name_;
    std::string prefix_;
    std::array<int, kMasks> masks_{};
    // AOS
    bool ac_ = false;
    bool aosOn_ = false;
    int frequencyCode_ = 1, amplitudeCode_ = 2, offsetCode_ = 0;
    int dcRangeCode_ = 0;
    double dcLevel_ = 0;
    // CMU
    int signalCode_ = 0, gainCode_ = 15, filterCode_ = 0;
    bool autoRange_ = false;
    int triggerSource_ = kTriggerImmediate;
    double triggerDelay_ = 0;
    int sampleCount_ = 200;
    double interval_ = 5e-6;
    // record in flight
    bool armed_ = false;
    bool recordTaken_ = false;
    Record taken_;
    int64_t armedNs_ = 0;
    uint64_t armedSignals_ = 0;
    uint64_t armedSequence_ = 0;
    // elements
    PictAosOutput* aos_ = nullptr;
    Resistor* aosSeries_ = nullptr;
    Source* cmu_ = nullptr;
    Source* guard_ = nullptr;
};

// The PICT of that device name on the bench, created on first use; renewed when the bench has
// loaded another station since.
PictModule& PictOf(VirtualBench& bench, const std::string& name);

} // namespace kora::vbench
