// The digital drive and sense of the ICT bus: the PSU's two channels carry the high and the low
// drive level, the PSAM's DC source is the control output and its meter reads the pins; the
// matrix puts each pin on the line of its role (docs/analog-bus.md, section 7).
#pragma once

#include "ictx/measure/ict_hardware.h"
#include "ictx/program/vector_run.h"

#include <map>
#include <utility>

namespace kora {

class BusDigitalIo : public DigitalIo {
  public:
    explicit BusDigitalIo(BenchRecord& bench) : bench_(bench) {}

    // The PSU, the control output and the meter in their digital start state; the relay pairs
    // of the termination on channel 4.
    bool Prepare();
    // Every used matrix module opened, the control output and the meter's ground released.
    void Release();

    bool SetDriveLevels(double high, double low) override;
    bool SetControlLevels(double high, double low) override;
    bool SetLimits(double low, double high, double control) override;
    bool DrivePin(const ChannelRecord& pin, int state) override;
    bool Settle() override;
    bool ReadPin(const ChannelRecord& pin, double* volts) override;
    bool DriveControl(const ChannelRecord* pin, bool high, double* volts) override;
    bool Delay(double seconds) override;
    bool Terminate(uint32_t high, uint32_t low) override;
    bool LimitFlags(bool flags[3]) override;
    bool DriveCurrents(double* high, double* low) override;
    double Now() override;

    ModuleErrors& errors() { return errors_; }

  private:
    // Puts the pin on the lines of its role; `measure` adds the meter's line.
    bool Place(const ChannelRecord& pin, int state, bool measure);
    bool Psu(double high, double low, double limitHigh, double limitLow);
    bool Control(double volts, double limit);

    BenchRecord& bench_;
    ModuleErrors errors_;
    uint32_t used_ = 0;
    int32_t lastCard_ = -1;
    double vch_ = 5.0, vcl_ = 0.0, controlLimit_ = 0.01;
    // Drive state of each pin touched, by (card, channel id): 1 high, 0 low, -1 open, 2 control.
    std::map<std::pair<int32_t, int32_t>, int> pins_;
};

} // namespace kora
