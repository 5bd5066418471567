// The two-channel power supply module (PSU) as the circuit sees it.
//
// Channels "CH1" and "CH2". Each has the output terminals "CHn_HI" and "CHn_LO" and the sense
// terminals "CHn_SHI" and "CHn_SLO". Every terminal has a relay to each bus line of its channel's
// side of the module: CH1 reaches the module's lines ABa1, ABa2, ABb1, ABb2, CH2 the lines ABc1,
// ABc2, ABd1, ABd2. The module's eight lines reach the system analog bus through coupling relays.
//
// Coupling mask: bit 0 ABa1, 1 ABa2, 2 ABb1, 3 ABb2, 4 ABc1, 5 ABc2, 6 ABd1, 7 ABd2 (bit set =
// coupled). So 0x0F couples CH1's side, 0xF0 CH2's side, 0x3C the B and C lines.
//
// A channel in mode 0 (supply) is a voltage source at its voltage level with its current limit;
// at the limit it becomes a current source of the limit (current-limit flag on), and back when
// the load lets go. In mode 1 (constant current) it drives its current limit as a current, with
// the voltage level as compliance (the flag is on while it delivers that current). The level is
// regulated between HI and LO, or with remote sensing between SHI and SLO (an internal resistor
// from each sense input to its output keeps the regulation local while a sense terminal is not
// connected). Ground: a relay from LO to ground. Disabled, the output is open.
//
// Ranges: voltage 10 V and 50 V, current 10 mA, 100 mA and 1 A; a range asked for is rounded up
// to the next one. Measurements average a set number of samples taken a set interval apart in
// virtual time, each with seeded noise within 0.1 % of the reading plus 0.05 % of the current
// range, or 0.05 % of the reading plus 0.02 % of the voltage range (three sigma). The voltage is
// the one the channel regulates (at its outputs, or at the sense terminals with remote sensing);
// the current is the one it delivers out of HI.
//
// What the DC power class library adds (psu_power.cpp):
// - Routing terminals: each terminal is also joined (1 mohm) to the routing net
//   "<device>!<terminal>" in lower case ("supply_a6!ch1_hi"), so a routing table can switch it to
//   board nets as it does a meter's terminals.
// - Electronic load: a load between HI and LO (1 Tohm when none) that holds its set point in
//   constant current, resistance or power against whatever drives the output (the source itself
//   is switched off while it loads). It regulates down to 10 mohm; a supply that cannot give the
//   current leaves it there, not regulating. Load readings are over range above the ranges.
// - Protection: with the current-limit behaviour "trip" an output that reaches its limit switches
//   off and reports an over-current trip; with over-voltage protection on, an output whose
//   terminals stand more than 10 % + 0.5 V above its level switches off with an over-voltage
//   trip. Trips are looked for whenever the output is read or asked for its state, and stay until
//   cleared (or reset).
// - Waveforms in virtual time: a pulse-width output switches the level between the set voltage
//   and 0 V; a played waveform takes its points (voltage level and current limit) one after the
//   other, pointTime each, for its cycles (0: until stopped), from the time it was started. The
//   output follows the clock whenever it is read.
// - Readings: output voltage (HI - LO), sense voltage (SHI - SLO), the power stage's supply (the
//   manual PAC voltage, else |level| + 2 V), current out of HI, power and resistance seen at the
//   output, each with the channel's averaging and noise.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace kora::vbench {

class Resistor;
class Source;
class Switch;
class VirtualBench;

class PsuModule {
  public:
    static constexpr int kChannels = 2;
    static constexpr int kLines = 8;
    enum Terminal { kHi = 0, kLo = 1, kSenseHi = 2, kSenseLo = 3 };
    enum Mode { kSupply = 0, kConstantCurrent = 1 };

    PsuModule(VirtualBench& bench, std::string name);
    PsuModule(const PsuModule&) = delete;
    PsuModule& operator=(const PsuModule&) = delete;

    const std::string& name() const { return name_; }
    bool attachedTo(VirtualBench& bench) const;

    // Names: "CH1"/"CH2" (0/1), "CH1_HI".."CH2_SLO", "ABa1".."ABd2" (0..7); any case. -1 or false
    // when the name is none of them.
    static int channelOf(std::string_view name);
    static bool terminalOf(std::string_view name, int* channel, int* terminal);
    static int lineOf(std::string_view name);
    static std::string terminalName(int channel, int terminal);
    // Whether a terminal of the channel has a relay to the line.
    static bool reaches(int channel, int line) { return line / 4 == channel; }

    // Start state: coupling and every relay open; both channels in supply mode, off, 0 V on the
    // 50 V range, 100 mA limit on the 1 A range, not grounded, local sensing, one sample.
    void reset();

    // ---- bus ----
    void setCoupling(int mask);
    int coupling() const { return coupling_; }
    void setConnection(int channel, int terminal, int line, bool closed);
    bool connected(int channel, int terminal, int line) const;
    void disconnectAll();

    // ---- channels ----
    static const std::vector<double>& voltageRanges();
    static const std::vector<double>& currentRanges();
    // The smallest range of the table that holds `value`, or 0 when none does.
    static double rangeFor(const std::vector<double>& table, double value);
    void setMode(int channel, int mode);
    int mode(int channel) const { return ch(channel).mode; }
    void setVoltageRange(int channel, double volts);
    double voltageRange(int channel) const { return ch(channel).voltageRange; }
    void setCurrentRange(int channel, double amperes);
    double currentRange(int channel) const { return ch(channel).currentRange; }
    void setVoltageLevel(int channel, double volts);
    double voltageLevel(int channel) const { return ch(channel).voltage; }
    void setCurrentLimit(int channel, double amperes);
    double currentLimit(int channel) const { return ch(channel).limit; }
    void setOutputEnabled(int channel, bool on);
    bool outputEnabled(int channel) const { return ch(channel).on; }
    void setGrounded(int channel, bool on);
    bool grounded(int channel) const { return ch(channel).grounded; }
    void setRemoteSensing(int channel, bool on);
    bool remoteSensing(int channel) const { return ch(channel).remote; }
    void setMeasurement(int channel, int sampleCount, double interval);

    // Averaged reading with noise; the clock runs for the samples.
    double measureCurrent(int channel);
    double measureVoltage(int channel);
    // The exact values now (for tests).
    double trueCurrent(int channel);
    double trueVoltage(int channel);
    // The current-limit flag (see above), at the present instant.
    bool currentLimited(int channel);

    // ---- the DC power class library's additions (see above; psu_power.cpp) ----
    enum class Load { None, Current, Resistance, Power };
    enum class Trip { None, OverCurrent, OverVoltage };
    enum class Quantity { Voltage, SenseVoltage, SupplyVoltage, Current, Power, Resistance };
    static constexpr double kMinLoadOhms = 0.01;
    std::string routingNet(int channel, int terminal) const;
    void setLoad(int channel, Load kind, double value);
    Load load(int channel) const { return power_[static_cast<std::size_t>(channel)].load; }
    // Whether the load reaches its set point now.
    bool loadRegulating(int channel);
    void setLimitTrips(int channel, bool trips);
    void setOverVoltageProtection(int channel, bool on);
    void setPacSupply(int channel, double volts); // 0: automatic
    // Looks for a trip now (see above) and returns the channel's trip.
    Trip protect(int channel);
    void clearTrip(int channel);
    void setPwm(int channel, bool on, double frequency, double dutyPercent);
    void playWaveform(int channel, std::vector<double> volts, std::vector<double> amperes,
                      double pointTime, long cycles);
    void stopWaveform(int channel);
    bool waveformActive(int channel);
    // The exact value now, the output having followed the clock; and the averaged reading.
    double exact(int channel, Quantity q);
    double reading(int channel, Quantity q);
    // One sample with noise, without averaging or waiting.
    double sample(int channel, Quantity q);

  private:
    struct Power {
        Load load = Load::None;
        double loadValue = 0;
        Resistor* loadElement = nullptr;
        double loadOhms = 1e12;
        bool limitTrips = false, ovp = false;
        Trip trip = Trip::None;
        double pacVolts = 0;
        bool pwm = false;
        double pwmFrequency = 1000, pwmDuty = 50;
        std::vector<double> wfmVolts, wfmAmperes;
        double wfmPointTime = 1e-4;
        long wfmCycles = 0;
        bool wfmOn = false;
        int64_t startNs = 0;
        double appliedVolts = 0, appliedLimit = 0; // what follow() put on the source
    };
    void resetPower(int channel);
    void addPowerElements(int channel);
    // Puts the level of a waveform at the present clock time on the source, then lets the load
    // find its set point.
    void follow(int channel);
    void regulateLoad(int channel);
    double outputVolts(int channel);

    struct Channel {
        int mode = kSupply;
        double voltageRange = 50, currentRange = 1;
        double voltage = 0, limit = 0.1;
        bool on = false, grounded = false, remote = false;
        int samples = 1;
        double interval = 0;
        std::array<int, 4> lines{}; // per terminal: mask of closed line relays (bit = line)
        Source* source = nullptr;
        Switch *localHi = nullptr, *localLo = nullptr, *remoteHi = nullptr, *remoteLo = nullptr;
    };
    const Channel& ch(int channel) const { return channels_[static_cast<std::size_t>(channel)]; }
    Channel& ch(int channel) { return channels_[static_cast<std::size_t>(channel)]; }
    std::string net(const std::string& id) const { return prefix_ + id; }
    Switch& relay(const std::string& id, const std::string& a, const std::string& b);
    void applySource(int channel);
    void applySensing(int channel);
    template <typename Read>
    double average(int channel, double accuracyOfReading, double accuracyOfRange, double range,
                   Read read);

    VirtualBench& bench_;
    std::string name_;
    std::string prefix_;
    int coupling_ = 0;
    std::array<Channel, kChannels> channels_;
    std::array<Power, kChannels> power_;
};

// The PSU of that device name on the bench, created on first use; renewed when the bench has
// loaded another station since.
PsuModule& PsuOf(VirtualBench& bench, const std::string& name);

} // namespace kora::vbench
