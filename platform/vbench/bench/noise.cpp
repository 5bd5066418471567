#include <vbench/bench/noise.h>

#include <cmath>
#include <numbers>

namespace kora::vbench {

namespace {

uint64_t SplitMix(uint64_t& x) {
    uint64_t z = (x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint64_t Rotl(uint64_t x, int k) {
    return (x << k) | (x >> (64 - k));
}

} // namespace

void NoiseSource::reseed(uint64_t seed) {
    uint64_t x = seed;
    for (auto& s : s_) {
        s = SplitMix(x);
    }
    haveSpare_ = false;
}

uint64_t NoiseSource::next() {
    const uint64_t result = Rotl(s_[1] * 5, 7) * 9;
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = Rotl(s_[3], 45);
    return result;
}

double NoiseSource::uniform() {
    return static_cast<double>(next() >> 11) * 0x1.0p-53;
}

double NoiseSource::gaussian() {
    if (haveSpare_) {
        haveSpare_ = false;
        return spare_;
    }
    double u1 = uniform();
    while (u1 <= 0) {
        u1 = uniform();
    }
    const double u2 = uniform();
    const double r = std::sqrt(-2 * std::log(u1));
    spare_ = r * std::sin(2 * std::numbers::pi * u2);
    haveSpare_ = true;
    return r * std::cos(2 * std::numbers::pi * u2);
}

} // namespace kora::vbench
