// The signal analyzer's eight inputs as the circuit sees them, and its acquisitions, behind the
// SIGANL class library and the rspam module driver.
//
// Terminals, circuit nets "<device>!<channel>" in lower case ("SCOPE_A8" gives "scope_a8!cha1"):
// CHA1..CHA4 (path A, channels 0..3) and CHB1..CHB4 (path B, channels 4..7), each measured
// against ground through its input impedance (a resistor to ground). The routing closes relays
// between these nets and board nets.
//
// Acquisition of a path: initiate() arms it; the trigger then fixes the record's time axis, and
// the record holds `count` samples, one every acqTime / count seconds, starting `delay` seconds
// after the trigger. Triggers:
//   IMMEDIATE  at the moment the path is armed;
//   SOFTWARE   at softwareTrigger();
//   EDGE       on a channel of the analyzer: the first crossing of the level with the slope after
//              arming, searched for at most kEdgeSearchRecords record lengths (and at most
//              kEdgeSearchSteps steps); external lines (TTL, XTI) are not driven on the bench,
//              so such a trigger never comes and the path waits.
// The samples are taken from a transient analysis of the whole circuit, computed when the
// trigger time is known, at one step per sample; the circuit is then ahead of the clock until
// the record ends, and the path reports complete only once the clock has reached that end. A
// change made to the circuit in between (a relay, a generator) is not in the record.
//
// Every sample passes the channel's front end: the bandwidth limit (one pole at the maximum
// input frequency; the digital filter makes it two poles), then clipping to the input range
// (offset +- range / 2).
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace kora::vbench {

class Resistor;
class VirtualBench;

struct DigitizerInput {
    double impedance = 1e6;
    double maxFrequency = 1e7;
    bool digitalFilter = false;
    double range = 10;
    double offset = 0;
};

struct DigitizerTrigger {
    enum class Kind { Immediate, Software, Edge };
    Kind kind = Kind::Immediate;
    int channel = -1; // EDGE on an input (0..7); -1: an external line, never driven here
    double level = 0;
    bool rising = true;
};

inline constexpr int kDigitizerChannels = 8;
inline constexpr double kEdgeSearchRecords = 16;
inline constexpr long kEdgeSearchSteps = 1L << 18;

class Digitizer {
  public:
    // Status of a path as the module reports it.
    enum class Status { Unknown = -1, InProgress = 0, Complete = 1 };

    Digitizer(VirtualBench& bench, const std::string& device);
    Digitizer(const Digitizer&) = delete;
    Digitizer& operator=(const Digitizer&) = delete;

    bool attachedTo(VirtualBench& bench) const;

    void setInput(int channel, const DigitizerInput& input);
    const DigitizerInput& input(int channel) const {
        return inputs_[static_cast<std::size_t>(channel)];
    }
    void setTrigger(int path, const DigitizerTrigger& trigger);
    void setRecord(int path, double acqTime, long count, double delay);

    // Arms the path (a running acquisition starts over).
    void initiate(int path);
    // Triggers an armed path waiting for a software trigger; false when there is none.
    bool softwareTrigger(int path);
    void abort(int path);
    Status status(int path) const;
    // Circuit time at which the path's record is complete; none while no trigger came.
    std::optional<double> completeAt(int path) const;
    // The samples of a channel of a completed record (empty when there is none).
    const std::vector<double>& samples(int channel) const {
        return samples_[static_cast<std::size_t>(channel)];
    }

  private:
    struct Path {
        DigitizerTrigger trigger;
        double acqTime = 1e-3;
        long count = 1000;
        double delay = 0;
        bool armed = false;
        std::optional<double> complete; // circuit time of the record's end
    };
    void record(int path, double triggerTime);
    std::optional<double> findEdge(const Path& p);
    double inputVoltage(int channel) const;
    void frontEnd(int channel, std::vector<double>& samples, double interval) const;

    VirtualBench& bench_;
    std::string device_;
    std::array<Resistor*, kDigitizerChannels> loads_{};
    std::array<int, kDigitizerChannels> nodes_{};
    std::array<DigitizerInput, kDigitizerChannels> inputs_{};
    std::array<Path, 2> paths_{};
    std::array<std::vector<double>, kDigitizerChannels> samples_{};
};

// The digitizer of that device name on the bench, created on first use; renewed when the bench
// has loaded another station since.
Digitizer& DigitizerOf(VirtualBench& bench, const std::string& device);
// The digitizer of that device name when one was made for the present station; null otherwise.
Digitizer* FindDigitizer(VirtualBench& bench, const std::string& device);

} // namespace kora::vbench
