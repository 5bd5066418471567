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
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace kora::vbench {

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

  private:
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
};

// The PSU of that device name on the bench, created on first use; renewed when the bench has
// loaded another station since.
PsuModule& PsuOf(VirtualBench& bench, const std::string& name);

} // namespace kora::vbench
