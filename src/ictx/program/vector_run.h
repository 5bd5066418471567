// The interpreter of a DIGITAL section's vector items: drive levels, inputs forced and kept,
// outputs decoded against the thresholds, states, labels, repeats and conditional jumps. The
// hardware and the executive stay behind two small interfaces, so that the same interpreter runs
// on the ICT bus and on a synthetic pin model.
#pragma once

#include "ictx/program/component_model.h"

#include <cstdint>

namespace kora {

// What the interpreter asks of the hardware. Every call returns false after a driver error (the
// implementation keeps it); the run ends there.
class DigitalIo {
  public:
    virtual ~DigitalIo() = default;
    virtual bool SetDriveLevels(double high, double low) = 0;
    virtual bool SetControlLevels(double high, double low) = 0;
    virtual bool SetLimits(double low, double high, double control) = 0;
    // state 1 high drive, 0 low drive, -1 open (tri-state). The pin keeps it until changed.
    virtual bool DrivePin(const ChannelRecord& pin, int state) = 0;
    // Waits until the switched relays have settled.
    virtual bool Settle() = 0;
    // The pin's averaged voltage; NaN when no sample was taken.
    virtual bool ReadPin(const ChannelRecord& pin, double* volts) = 0;
    // Drives the control output high or low on `pin` (null: the output alone).
    virtual bool DriveControl(const ChannelRecord* pin, bool high, double* volts) = 0;
    virtual bool Delay(double seconds) = 0;
    // Selects the termination of the high and low lines (0: none).
    virtual bool Terminate(uint32_t high, uint32_t low) = 0;
    // Current-limit flags: low drive, high drive, control.
    virtual bool LimitFlags(bool flags[3]) = 0;
    // The currents of the high and low drive, in amperes.
    virtual bool DriveCurrents(double* high, double* low) = 0;
    virtual double Now() = 0; // seconds
};

// Where the sub-results and debug lines go. `name` is the sub-result name ("[007]  OUTPUT").
class VectorReport {
  public:
    virtual ~VectorReport() = default;
    virtual void Text(const char* name, const char* value, const char* expected, bool failed,
                      const char* comment) = 0;
    virtual void Integer(const char* name, long value, long low, long high, bool failed,
                         const char* comment) = 0;
    virtual void Real(const char* name, double value, double low, double high, long unit,
                      bool failed, const char* comment) = 0;
    virtual void Debug(const char* line) = 0;
};

// Interpreter state of one run of a section.
struct VectorState {
    int32_t item = 0;  // 1-based number of the item being run
    int lastCheck = 0; // 1 passed, -1 failed, 0 none yet
    uint32_t stateValue = 0, stateMask = 0, stateCount = 0;
    double voh = 0, vol = 0; // output thresholds of the last VDO
    double vch = 0, vcl = 0; // control levels of the last VDC
    double timeout = 0, timeoutStart = 0;
    char exitMode = 0;    // 'T' or 'A' after a ">" or ">>" label
    bool failed = false;  // a check failed
    bool details = false; // debug lines
};

// Runs `count` items; counters start from their counts. Returns 0 when every check passed, -1
// when one failed, -2 after an error of the hardware (state.item tells where).
int RunVectors(VectorItem* items, int32_t count, DigitalIo& io, VectorReport& report,
               VectorState& state);

// Decodes one output reading: 1 at or above VOH, 0 at or below VOL, undefined (mask bit) in
// between, value and mask bit without a sample (NaN).
void DecodeOutput(double volts, double voh, double vol, uint32_t bit, uint32_t* value,
                  uint32_t* mask);

// Whether a state text matches a pattern character by character, '-' in the pattern matching
// anything.
bool StateMatches(const char* state, const char* pattern);

} // namespace kora
