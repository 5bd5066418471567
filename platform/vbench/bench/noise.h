// Seeded, reproducible meter noise: the same seed gives the same readings on every machine and
// with every standard library (the generator and the normal transform are our own, not the
// implementation-defined std::normal_distribution).
#pragma once

#include <cstdint>

namespace kora::vbench {

class NoiseSource {
  public:
    explicit NoiseSource(uint64_t seed = 1) { reseed(seed); }
    void reseed(uint64_t seed);

    uint64_t next();   // 64 random bits (xoshiro256**)
    double uniform();  // in [0, 1)
    double gaussian(); // standard normal (Box-Muller)
    // A reading with noise: value + sigma * N(0, 1); no noise while disabled.
    double around(double value, double sigma) {
        return enabled_ ? value + sigma * gaussian() : value;
    }
    void setEnabled(bool on) { enabled_ = on; }
    bool enabled() const { return enabled_; }

  private:
    uint64_t s_[4] = {};
    bool haveSpare_ = false;
    double spare_ = 0;
    bool enabled_ = true;
};

} // namespace kora::vbench
