// The source and measure module (PSAM) as the circuit sees it.
//
// Terminals: 0 discharge unit, 1 force HI, 4 force LO, 2 sense HI, 3 sense LO, 5 and 8 the
// measurement inputs. Each terminal has a relay to each of the module's eight bus lines and one
// to ground. The module's bus lines reach the system analog bus through coupling relays.
//
// Bus-line masks (terminal relays and coupling alike): bit 7 ABa1, bit 3 ABa2, bit 6 ABb1,
// bit 2 ABb2, bit 5 ABc1, bit 1 ABc2, bit 4 ABd1, bit 0 ABd2. So 0x88 is both A lines, 0x44 both
// B lines, 0x22 both C lines and 0x11 both D lines.
//
// Grounds. Each terminal has a ground relay; terminal 4's leads through the module's 10 ohm ground
// reference, so that the source floats on whatever holds its LO lines (a guard driver on the
// guard lines) and is referenced to ground otherwise.
//
// DC source, between force HI and force LO. Attribute 1150026 chooses its mode: 1 a voltage
// source at the voltage level with the current limit, 0 a current source of the current limit
// with the voltage level as compliance. The voltage is regulated between the sense terminals; an
// internal resistor from each sense terminal to its force terminal keeps the regulation local
// while the sense terminals are not connected. The current limit is bounded by the current-limit
// range (0: 100 mA, 1: 10 mA, 2: 1 mA, 3: 100 uA, 4: 10 uA).
//
// Measurement unit, between terminals 5 (+) and 8 (-): a voltmeter of 10 Mohm input resistance,
// or an ammeter without burden reading the current that enters at 5 (plus the station's offset of
// its range, PsamCurrentOffsets, which automatic zeroing measures). Samples carry noise within
// the stated accuracy of 0.05 % of the reading plus 0.02 % of the range (three sigma), pass the
// low-pass filter, and read NaN above 110 % of the range. The filter is a linear-phase one: it
// smooths like a first-order low-pass run forward and backward over the record and shifts
// nothing in time; what it costs in time is the unit's trigger-to-sample delay, which is
// kSampleDelayWide (2 us) with the 100 kHz filter and kSampleDelayNarrow (4 us) with the
// narrower ones. A record's first sample is taken that delay plus the trigger delay plus one
// interval after its trigger. While a PICT's sine is on the bus, a voltage record is the sine's
// steady state at the sample instants, on the circuit time the PICT's records use, so that the
// two keep their phase to each other.
//
// The ammeter's return: while the function is current and terminal 8 is on no bus line and off
// its ground relay, an internal relay joins terminal 8 to the source's force LO (terminal 4). A
// four-wire voltage-mode measurement puts terminal 5 on the LO pin and grounds force LO instead
// of sending it to the bus; through that relay its current still returns through the ammeter.
// Any line or ground on terminal 8 opens the relay, so the two-wire wiring (terminal 8 on the
// force LO's bus lines) and the voltmeter see no difference.
//
// Discharge unit, from terminal 0 to ground: a resistance chosen by the current step (0: 1 kohm,
// 1: 100 ohm, 2: 33 ohm, 3: 10 ohm) while enabled.
#pragma once

#include <vbench/modules/pict.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kora::vbench {

class Resistor;
class Source;
class Switch;
class VirtualBench;

class SourceMeasureModule {
  public:
    static constexpr int kLines = 8;
    static constexpr std::array<int, 7> kTerminals = {0, 1, 2, 3, 4, 5, 8};

    enum class Function { Voltage, Current };

    SourceMeasureModule(VirtualBench& bench, std::string name);

    const std::string& name() const { return name_; }

    // Bus line (0 ABa1, 1 ABa2, 2 ABb1, ... 7 ABd2) of a mask bit, and the mask bit of a line.
    static int lineOfBit(int bit);
    static int bitOfLine(int line);
    static bool isTerminal(int terminal);

    // ---- connections ----
    void setCoupling(int mask);
    int coupling() const { return coupling_; }
    // Relays of `terminal` for the lines in `affected`: closed where `connect` has the bit.
    void setTerminalLines(int terminal, int affected, int connect);
    int terminalLines(int terminal) const;
    void setTerminalGround(int terminal, bool closed);
    bool terminalGround(int terminal) const;

    // ---- DC source ----
    void setVoltageMode(bool voltageMode);
    bool voltageMode() const { return voltageMode_; }
    void setVoltageLevel(double volts);
    double voltageLevel() const { return voltage_; }
    static int currentLimitRanges() { return 5; }
    static double currentLimitRangeMax(int range);
    void setCurrentLimitRange(int range);
    int currentLimitRange() const { return limitRange_; }
    void setCurrentLimit(double amperes);
    double currentLimit() const { return currentLimit_; }
    void setOutputEnabled(bool on);
    bool outputEnabled() const { return outputOn_; }
    // The source at its current (query 1) or at its voltage (query 0), at the present instant.
    bool currentRegulated();
    bool voltageRegulated();

    // ---- measurement unit ----
    static const std::vector<double>& voltageRanges();
    static const std::vector<double>& currentRanges();
    // The smallest range of the function that holds `range`; false when none does.
    bool setMeasurement(Function f, double range);
    Function function() const { return function_; }
    double range() const { return range_; }
    void setRecord(int sampleCount, double interval);
    int sampleCount() const { return sampleCount_; }
    double sampleInterval() const { return interval_; }
    void setTriggerDelay(double seconds) { triggerDelay_ = seconds; }
    void setLowpass(double hertz) { lowpass_ = hertz; }
    static constexpr double kSampleDelayWide = 2e-6, kSampleDelayNarrow = 4e-6;
    // The trigger-to-sample delay of the present filter.
    double sampleDelay() const;
    // Takes a record in virtual time, triggered at clock time triggerNs (now when negative, or
    // when that time has passed beyond the first sample): waits up to the first sample, then one
    // sample per interval. overRange is set when a sample left the range (that sample is NaN).
    std::vector<double> takeRecord(bool* overRange, int64_t triggerNs = -1);
    // The exact value the meter sees now, without noise or filter (for tests).
    double trueReading();

    // ---- discharge unit ----
    void setDischargeStep(int step);
    void setDischargeEnabled(bool on);

    // ---- digital termination ----
    // Relay channel 1..4 of termination side 0 (RACHn to RACOM: toward the high drive line B2) or
    // 1 (RBCHn to RBCOM: toward the low drive line C1). Channels 1, 2, 3 put 1 kohm, 10 kohm or
    // 100 kohm (plus the relay) between the module's sense line D2 and that line; channel 4 is
    // the parking position and reaches nothing.
    static constexpr double kTerminationOhms[] = {1e3, 10e3, 100e3};
    void setTermination(int side, int channel, bool closed);

    // Node name of a terminal.
    std::string terminalNet(int terminal) const;

  private:
    // The ammeter's offset in its present range (the station's PsamCurrentOffsets).
    double currentOffset() const;
    // The PICT's sine on the bus, seen by the voltmeter, if one runs.
    std::optional<PictModule::SteadyVoltage> steadySine();

    Switch& relay(const std::string& id, const std::string& a, const std::string& b,
                  double extraOhms = 0);
    void applySource();
    void applyMeter();
    void applyDischarge();
    // Closes the ammeter's internal return to force LO exactly while nothing else holds
    // terminal 8 and the unit measures current.
    void applyReturn();
    static int terminalIndex(int terminal);

    VirtualBench& bench_;
    std::string name_;
    std::string prefix_; // of device and node names
    int coupling_ = 0;
    std::array<int, 7> lines_{};    // per terminal index: mask of closed line relays
    std::array<bool, 7> grounds_{}; // per terminal index
    bool voltageMode_ = true;
    double voltage_ = 0, currentLimit_ = 0;
    int limitRange_ = 0;
    bool outputOn_ = false;
    Function function_ = Function::Voltage;
    double range_ = 5;
    int sampleCount_ = 200;
    double interval_ = 5e-6;
    double triggerDelay_ = 0;
    double lowpass_ = 100e3;
    int dischargeStep_ = 0;
    bool dischargeOn_ = false;
    Source* source_ = nullptr;
    Source* ammeter_ = nullptr;
    Resistor* voltmeter_ = nullptr;
    Switch* discharge_ = nullptr;
    bool returnClosed_ = false; // terminal 8 to terminal 4
};

} // namespace kora::vbench
