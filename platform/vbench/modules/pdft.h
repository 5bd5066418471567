// The digital functional test module (PDFT) as the circuit sees it: sixteen digital channels and
// four pulse-width modulated power outputs. The DIOMGR class library drives its channels, the
// rspdft driver its power outputs; both reach this one model.
//
// Terminals, circuit nets "<device>!<terminal>" in lower case: DIO1..DIO16 and PO1..PO4. The
// routing closes relays between these nets and board nets.
//
// Channel. A driver is a voltage source behind 50 ohm and a driver relay to the terminal; the
// receiver reads the terminal through 100 Mohm to ground, which is always there. A driver that is
// off, or a tri-state driver at 'Z', opens its relay. TTL and tri-state drivers put out their high
// or low level; an analog driver its high level or 0 V, limited to its current limit.
//
// Power output. A high-side switch of 0.1 ohm from the module's power supply (the device key
// PowerVoltage, default 24 V) to the terminal. The circuit sees the mean of the pulse-width
// modulated output: the supply times the duty cycle. States (the RSPDFT_PWM_ codes): off (duty 0),
// on, tripped (the peak current, the mean divided by the duty cycle, above 2 A: the switch opens
// and stays open until the duty cycle is set again) and open load (on, peak current below 2 mA).
// A device key ForcePOn = OPEN or TRIPPED makes output n report that state while it is on,
// whatever its load (a tripped output then also opens its switch).
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace kora::vbench {

class Resistor;
class Source;
class Switch;
class VirtualBench;

class DigitalTestModule {
  public:
    static constexpr int kChannels = 16;
    static constexpr int kPowerOutputs = 4;
    enum class Driver { Off, Levels, Analog };
    enum PowerState { kOff = 0, kOn = 1, kTripped = 2, kOpenLoad = 3 };
    static constexpr double kTripAmperes = 2.0;
    static constexpr double kOpenLoadAmperes = 2e-3;
    static constexpr double kMaxPwmFrequency = 100e3;

    DigitalTestModule(VirtualBench& bench, std::string name);
    DigitalTestModule(const DigitalTestModule&) = delete;
    DigitalTestModule& operator=(const DigitalTestModule&) = delete;
    bool attachedTo(VirtualBench& bench) const;

    // "DIO1".."DIO16" -> 0..15, "PO1".."PO4" -> 0..3 (without regard to case); -1 otherwise.
    static int channelOf(std::string_view pin);
    static int powerOutputOf(std::string_view pin);

    // Every channel's driver off, every power output off with its frequency back to 1 kHz.
    void reset();

    // The driver of a channel: its kind and levels (`low` is the current limit of an analog
    // driver). The channel keeps its drive state.
    void setDriver(int channel, Driver kind, double high, double lowOrLimit);
    // Drive state of a channel: 1 high, 0 low, -1 relay open.
    void drive(int channel, int state);
    // The voltage at the channel's terminal now.
    double terminalVoltage(int channel);

    void setPwmFrequency(int output, double hertz);
    double pwmFrequency(int output) const { return power_[static_cast<std::size_t>(output)].hertz; }
    // Duty cycle in percent (0: off); re-arms a tripped output.
    void setDutyCycle(int output, double percent);
    // The present state of an output (PowerState), tripping it when its current calls for it.
    int powerState(int output);

  private:
    struct Channel {
        Source* source = nullptr;
        Switch* relay = nullptr;
        int terminal = 0;
        Driver kind = Driver::Off;
        double high = 5, low = 0;
        int state = -1;
    };
    struct PowerOutput {
        Source* supply = nullptr;
        Switch* sw = nullptr;
        int inner = 0, terminal = 0;
        double hertz = 1000, duty = 0;
        bool tripped = false;
        int forced = kOn; // kOn: not forced
    };
    void apply(int channel);
    void applyPower(int output);

    VirtualBench& bench_;
    std::string name_, prefix_;
    double supplyVolts_ = 24;
    std::array<Channel, kChannels> channels_{};
    std::array<PowerOutput, kPowerOutputs> power_{};
};

// The module of that device name on the bench, created on first use in its start state.
DigitalTestModule& DigitalTestModuleOf(VirtualBench& bench, const std::string& name);

} // namespace kora::vbench
