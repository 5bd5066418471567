// What the ICT side of a bench remembers about its modules: the last value sent for every setting
// of the PSAM source and meter, the PICT output source and measurement unit and the PSU, and the
// current offsets of the PSAM's ranges. Plain data inside the bench record; the operations live
// with the ICT measurement code.
#pragma once

#include <cstdint>

namespace kora {

constexpr int kCurrentRangeCount = 16;
constexpr int kVoltageRangeCount = 13;

// PSAM DC source. Integers -1 and reals NaN when unknown.
struct DcsSettings {
    int32_t mask[4];   // bus masks of the source terminals 1, 4, 2, 3
    int32_t attribute; // driver attribute 1150026 (1 voltage source, 0 current source)
    int32_t outputEnabled;
    int32_t limitRange;
    int32_t ground; // ground relay of terminal 4
    double voltage;
    double currentLimit;
};

// PSAM measurement unit.
struct MuSettings {
    int32_t mask5;
    int32_t mask8;
    int32_t ground8;
    int32_t sampleCount;
    int32_t triggerSource;
    int32_t filter;   // low-pass corner in hertz
    int32_t function; // 3 voltage, 4 current
    double interval;
    double delay;
    double voltageRange;
    double currentRange;
};

// PICT analog output source.
struct AosSettings {
    int32_t mode; // 13 DC, 14 AC
    int32_t frequencyCode;
    int32_t amplitudeCode;
    int32_t offsetCode;
    int32_t dcRangeCode;
    int32_t outputEnabled;
    double dcLevel;
};

// PICT complex measurement unit.
struct CmuSettings {
    int32_t masks[5]; // switch masks 1 to 5
    int32_t signalMode;
    int32_t filterCode;
    int32_t gainCode;
    int32_t sampleCount;
    int32_t triggerSource;
    double interval;
    double delay;
};

// PSU, two channels.
struct PsuSettings {
    int32_t preset;
    int32_t coupling;
    int32_t masks[4]; // CH1_HI, CH1_LO, CH2_HI, CH2_LO
    int32_t ground[2];
    double voltage[2];
    double currentLimit[2];
    double outputRange[2];
};

// The ICT hardware context of a bench. The modules themselves are the bench's ICT module slots
// (PSAM, PICT, PSU) and its switch cards (the matrix module table).
struct IctHardware {
    DcsSettings dcs;
    MuSettings mu;
    AosSettings aos;
    CmuSettings cmu;
    PsuSettings psu;
    double currentOffsets[kCurrentRangeCount]; // per PSAM current range, 1 uA .. 100 mA
    // Bench key KORAdischargeGND=1: the discharge grounds each pin at once instead of emptying
    // it through the discharge unit (a board known to hold no dangerous charge).
    int32_t dischargeToGround;
};

} // namespace kora
