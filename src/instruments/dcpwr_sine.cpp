// The sine block of SET_DCPWR (see dcpwr_sine.h).
#include "instruments/dcpwr_sine.h"

#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <new>

namespace kora::dcpwr {
namespace {

constexpr double kTwoPi = 6.2831853; // as the table has always been computed

std::mutex g_blocksMutex;
std::map<const void*, std::unique_ptr<double[]>>& Blocks() {
    static std::map<const void*, std::unique_ptr<double[]>> blocks;
    return blocks;
}

} // namespace

int32_t SinePoints(double frequency) {
    const double n = 10000.0 / frequency + 0.5;
    return n >= kSinePointsMax ? kSinePointsMax : n < 1 ? 1 : static_cast<int32_t>(n);
}

bool SineBlock::Allocate(const void* owner) {
    std::lock_guard lock(g_blocksMutex);
    auto& held = Blocks()[owner];
    if (!held) {
        held.reset(new (std::nothrow) double[3 * kSineArray]());
    }
    block = held.get();
    return block != nullptr;
}

void SineBlock::Compute(int32_t n) {
    points = n;
    for (int32_t i = 0; i < n; ++i) {
        block[i] = std::sin(i * kTwoPi / n);
    }
}

void SineBlock::Fill(double voltage, double amplitude, double offset) {
    double* volts = block + kSineArray;
    double* amperes = block + 2 * kSineArray;
    for (int32_t i = 0; i < points; ++i) {
        volts[i] = i < points / 2 ? voltage : -voltage;
        amperes[i] = std::fabs(amplitude * block[i] + offset);
    }
}

} // namespace kora::dcpwr
