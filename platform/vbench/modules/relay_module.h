// The modules whose relays reach nothing that the circuit of a station holds (function
// generator, signal analyzer, I/O module couplings, the PMB matrix module, the PSM1..PSM5 line
// switches): the bench keeps only their relay state, so that a test sees what the library
// switched and a driver can answer for it.
#pragma once

#include <array>
#include <set>
#include <string>

namespace kora::vbench {

class VirtualBench;

class RelayModule {
  public:
    // Acquisition state of a path before anything was acquired.
    static constexpr int kAcquisitionUnknown = -1;

    // `key` is the kind and the device name, as RelayModuleOf files the module.
    RelayModule(VirtualBench& bench, const std::string& key) : bench_(&bench) {}

    bool attachedTo(VirtualBench& bench) const { return &bench == bench_; }

    // Coupling relays to the analog bus: bit set = coupled.
    int coupling = 0;
    // Closed relays, each named by what it joins ("LABA1-ABA1", ...).
    std::set<std::string> closed;
    // Acquisition state per path (signal analyzer), kAcquisitionUnknown until one is made.
    std::array<int, 2> acquisition{kAcquisitionUnknown, kAcquisitionUnknown};

  private:
    VirtualBench* bench_;
};

// The relay state of the module of that kind ("rspfg", "rspsm3", ...) and device name on the
// bench, created on first use with every relay open.
RelayModule& RelayModuleOf(VirtualBench& bench, const std::string& kind, const std::string& name);

} // namespace kora::vbench
