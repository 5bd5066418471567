// The analog and digital I/O module (PIO2) behind the rspio2 driver: sixteen channels CH1..CH16
// in four groups, each channel a terminal on its routing net "<device>!CHn".
//
// A channel is a voltage source behind an output relay and an input behind an input relay:
//     source --[output relay]-- terminal --[input relay]-- 100 Mohm to ground
// The output multiplexer opens both (0), closes the output relay (1, the input then reads the
// terminal as well) or the input relay alone (2). The module ground is the board's ground; the
// ground relay is kept as a state. The channels CH4, CH8, CH12 and CH16 have a settable current
// limit and remote sensing: their source regulates a sense node that an internal switch joins to
// the source's own output (local) or to the terminal (remote, which makes up for the output
// relay's resistance), with 10 kohm from the sense node to the output so that it never floats.
// The other channels are limited to 20 mA.
//
// What the source puts out follows the channel mode: ANALOG the high level; DIGITAL the high level
// or the group's output low level by the output state bit; PWM the group's square wave between
// the channel's low and high level (low while the wave is off); PATTERN the bit of the playing
// pattern word (high level or group output low); WAVEFORM the playing analog sample (0 V until a
// playback starts). The levels hold at each driver call: the circuit sees them as stepwise
// constant between calls.
//
// Sampling engine. rspio2_ConfigureSampling sets count and sample time. Initiate starts, on the
// configured trigger (IMMEDIATE at once; SOFTWARE at the software trigger; a PXI or XTI line never
// in this model), an acquisition and, when a memory was loaded since the last playback began, a
// playback of the loaded memories (which plays its count once and then holds the last sample; a
// measurement's Initiate leaves a running playback alone). A fetch with no acquisition started
// starts one itself, at once whatever the trigger; a fetch waits on the bench clock until its
// samples are taken, or for its time-out (an acquisition still waiting for its trigger times out).
// ConfigureSampling and ConfigureAnalogMeasurement drop an acquisition started before them. Analog
// readings carry noise of 0.05 % of reading + 0.02 % of range (three sigma); a reading beyond its
// range is over range. Ranges: 1, 5, 10 and 28 V.
//
// Digital inputs compare the channel's reading with its group's thresholds: at or above the input
// high level a 1, at or below the input low level a 0, in between the bit keeps its last value.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kora::vbench {

class Resistor;
class Source;
class Switch;
class VirtualBench;

class Pio2Module {
  public:
    static constexpr int kChannels = 16;
    static constexpr int kGroups = 4;
    enum Mux { kOpen = 0, kOutput = 1, kAnalogInput = 2 };
    enum Mode { kAnalog = 0, kWaveform = 1, kDigital = 2, kPattern = 3, kPwm = 4 };
    enum Trigger { kImmediate = 0, kXti = 1, kSoftware = 2 }; // 3..10 PXI0..PXI7
    enum class Fetch { Ok, TimedOut, OverRange, NotConfigured };
    static constexpr double kMaxLevel = 28.0;

    Pio2Module(VirtualBench& bench, std::string name);
    Pio2Module(const Pio2Module&) = delete;
    Pio2Module& operator=(const Pio2Module&) = delete;
    bool attachedTo(VirtualBench& bench) const;

    // "CH1".."CH16" -> 0..15, "GRP_A".."GRP_D" -> 0..3 (exact case); -1 otherwise.
    static int channelOf(std::string_view name);
    static int groupOf(std::string_view name);
    // A measurement channel "CHn" or a pair "CHa-CHb" (b = a + 8); minus -1 for single-ended.
    static bool measurementOf(std::string_view name, int* plus, int* minus);
    // The channels with current limit and remote sensing: CH4, CH8, CH12, CH16.
    static bool isPowerChannel(int channel) { return channel % 4 == 3; }
    static double rangeFor(double volts); // the smallest range that holds it; 0 above 28 V

    void reset();
    void setMux(int channel, int mux);
    int mux(int channel) const { return ch(channel).mux; }
    int64_t lastSwitchNs() const { return lastSwitchNs_; }
    void setGrounded(bool on) { grounded_ = on; }
    bool grounded() const { return grounded_; }
    void setMode(int channel, int mode);
    int mode(int channel) const { return ch(channel).mode; }
    void setLevels(int channel, double high, double low);
    double highLevel(int channel) const { return ch(channel).high; }
    double lowLevel(int channel) const { return ch(channel).low; }
    void setCurrentLimit(int channel, double amperes);
    double currentLimit(int channel) const { return ch(channel).limit; }
    void setRemoteSensing(int channel, bool on);
    bool remoteSensing(int channel) const { return ch(channel).sensing; }
    struct Group {
        double outputLow = 0, inputHigh = 2.0, inputLow = 0.8;
        double frequency = 1000, duty = 50;
        bool squareWave = false;
        int64_t squareStartNs = 0;
    };
    void setGroupLevels(int group, double outputLow, double inputHigh, double inputLow);
    void setSquareWave(int group, double frequency, double duty);
    void enableSquareWaves(int groupMask, int enableMask);
    const Group& group(int g) const { return groups_[static_cast<std::size_t>(g)]; }
    void setOutputs(uint16_t mask, uint16_t state);
    uint16_t outputs() const { return outputs_; }

    void setSampling(int count, double sampleTime);
    int sampleCount() const { return sampleCount_; }
    double sampleTime() const { return sampleTime_; }
    // The measured channel (see measurementOf) and its range; false for an unknown channel.
    bool setMeasurement(std::string_view channel, double range);
    double range() const { return range_; }
    void loadWaveform(std::vector<double> volts);
    void loadPattern(std::vector<uint16_t> words);
    void setTriggerSource(int source) { trigger_ = source; }
    int triggerSource() const { return trigger_; }
    void setTriggerOutput(int outputMask, int event, int polarityMask, int enableMask);
    int triggerOutputs() const { return triggerEnabled_; }
    void initiate();
    void softwareTrigger();
    void abort();
    bool playing();

    // An acquisition of `count` samples: analog readings of the measured channel, or input states.
    Fetch fetchAnalog(double timeoutSeconds, int count, std::vector<double>* samples);
    Fetch fetchDigital(double timeoutSeconds, int count, std::vector<uint16_t>* states);
    // The present input states (no acquisition involved).
    uint16_t inputStates();
    // The exact voltage the input of a channel sees now.
    double inputVoltage(int channel);

  private:
    struct Channel {
        int mux = kOpen, mode = kDigital;
        double high = 5.0, low = 0.0, limit = 0.02;
        bool sensing = false;
        Source* source = nullptr;
        Switch *output = nullptr, *input = nullptr;
        Switch *localSense = nullptr, *remoteSense = nullptr; // power channels only
        int inputNode = 0, terminalNode = 0;
        double applied = 0;
    };
    struct Run {
        bool armed = false, running = false;
        int64_t startNs = 0;
        int count = 1;
        double sampleTime = 2e-4;
    };
    const Channel& ch(int c) const { return channels_[static_cast<std::size_t>(c)]; }
    Channel& ch(int c) { return channels_[static_cast<std::size_t>(c)]; }
    double levelNow(int channel, int64_t nowNs) const;
    void follow();
    void start(Run& run);
    // Waits for the acquisition and calls take(i) at each sample's time; false on time-out.
    template <typename Take> Fetch acquire(double timeoutSeconds, int count, Take take);
    uint16_t decodeInputs();

    VirtualBench& bench_;
    std::string name_, prefix_;
    std::array<Channel, kChannels> channels_;
    std::array<Group, kGroups> groups_;
    bool grounded_ = false;
    uint16_t outputs_ = 0, lastInputs_ = 0;
    int64_t lastSwitchNs_ = 0;
    int sampleCount_ = 1;
    double sampleTime_ = 2e-4;
    int plus_ = -1, minus_ = -1;
    double range_ = kMaxLevel;
    std::vector<double> waveform_;
    std::vector<uint16_t> pattern_;
    bool playbackLoaded_ = false; // a memory was loaded since the last playback started
    int trigger_ = kImmediate;
    int triggerEnabled_ = 0;
    Run playback_, acquisition_;
};

// The module of that device name on the bench, created on first use in its start state.
Pio2Module& Pio2Of(VirtualBench& bench, const std::string& name);
// The module when it was made already (its elements join the circuit only once it is used).
Pio2Module* FindPio2(VirtualBench& bench, const std::string& name);

} // namespace kora::vbench
