// The function generator's outputs as the circuit sees them, behind the FUNCGEN class library.
//
// Terminals, circuit nets "<device>!<terminal>" in lower case ("FGEN_A" gives "fgen_a!ch1"):
// CH1 and CH2 (the channels' outputs), CH1_LO and CH2_LO (their returns), MO1 and MO2 (the marker
// outputs, against ground). The routing closes relays between these nets and board nets.
//
// Output circuit of a channel: a voltage source between an inner node and LO, and 50 ohm from
// there to the output terminal through the output relay (1 Tohm open: an output that is off is
// disconnected). LO floats on 10 Gohm to ground; the channel's ground relay ties it to ground
// through the station's relay resistance. A marker output is a 0 V / 5 V source behind 50 ohm.
//
// What a channel plays (FuncgenSignal) as a function of time, u being the part of the present
// period that has passed (0 <= u < 1) and A half the peak-to-peak amplitude:
//   DC          the offset
//   SINE        offset + A sin(2 pi u + phase)
//   SQUARE      offset + A for u < duty, offset - A after
//   TRIANGLE    from the offset up to +A at u = 1/4, down to -A at 3/4, back up (phase as SINE)
//   RAMP_UP     offset - A rising to offset + A; RAMP_DOWN the other way
//   samples     sample i for i/n <= u < (i+1)/n (a step waveform: the samples already carry gain
//               and offset, a sequence its waveforms one after the other)
// A channel plays from its start on: `cycles` periods for a burst, without end when continuous.
// Before the start (armed, waiting for its trigger, or never started) and after a burst it holds
// its offset; its markers are then inactive.
//
// Analyses. Transients take the value at each time point. The operating point, which a board
// without stored charge is solved with, takes a continuous output's mean over one period and
// otherwise the offset. A continuous sine is also a sine source of the AC analysis (amplitude A,
// frequency, phase and start), so that a meter's AC functions read it through the board.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace kora::vbench {

class Resistor;
class Source;
class Switch;
class VirtualBench;

struct FuncgenSignal {
    enum class Shape { Dc, Sine, Square, Triangle, RampUp, RampDown, Samples };
    Shape shape = Shape::Dc;
    double amplitude = 0; // volts peak-to-peak (standard shapes)
    double offset = 0;
    double frequency = 0;        // periods per second; a sample list is one period
    double phase = 0;            // degrees
    double duty = 50;            // percent, SQUARE
    std::vector<double> samples; // volts
    std::vector<double> markers; // per sample, non-zero = marker active; empty: none
    long cycles = 0;             // periods per start; 0 = continuous

    // The output at `t` seconds after the start (t < 0: before it).
    double valueAt(double t) const;
    // The marker at `t` seconds after the start.
    bool markerAt(double t) const;
    // Mean over one period.
    double mean() const;
};

inline constexpr double kFuncgenOutputOhms = 50;
inline constexpr double kFuncgenMarkerHigh = 5;

class FuncgenFrontEnd {
  public:
    FuncgenFrontEnd(VirtualBench& bench, const std::string& device);
    FuncgenFrontEnd(const FuncgenFrontEnd&) = delete;
    FuncgenFrontEnd& operator=(const FuncgenFrontEnd&) = delete;

    bool attachedTo(VirtualBench& bench) const;

    // Channel 0 (CH1) or 1 (CH2). `start` is the circuit time at which it starts playing; none:
    // it holds its offset.
    void play(int channel, FuncgenSignal signal, std::optional<double> start);
    void setOutputEnabled(int channel, bool on);
    void setGroundRelay(int channel, bool closed);
    // Marker output 0 (MO1) or 1 (MO2) follows the marker of `channel` (active level 5 V with
    // activeHigh, 0 V without); disabled, it stays at 0 V.
    void setMarkerOutput(int line, int channel, bool enabled, bool activeHigh);

  private:
    struct Output {
        Source* source = nullptr;
        Switch* relay = nullptr;
        Switch* ground = nullptr;
        FuncgenSignal signal;
        std::optional<double> start;
    };
    struct MarkerLine {
        Source* source = nullptr;
        int channel = 0;
        bool enabled = false;
        bool activeHigh = true;
    };
    std::string element(const std::string& id) const;
    void applyOutput(int channel);
    void applyMarker(int line);

    VirtualBench& bench_;
    std::string device_;
    std::array<Output, 2> outputs_{};
    std::array<MarkerLine, 2> markers_{};
};

// The front end of that device name on the bench, created on first use; renewed when the bench has
// loaded another station since.
FuncgenFrontEnd& FuncgenFrontEndOf(VirtualBench& bench, const std::string& device);

} // namespace kora::vbench
