// Powering the example board and reading what it draws, as a functional test starts: SET_DCPWR
// (on, through the routing) with MEAS_DCPWR of the current, and an electronic load that finds its
// set point on the regulator output. Figures: CPU time per cycle with the circuit solver's share,
// DCPWR driver calls per cycle, and the circuit solutions the load's regulation costs.
// Goal: a power-up with its current reading within 1 ms of CPU time.
#include "frame/bench_context.h"

#include <executive/rvo_runtime.h>
#include <kora/step_methods.h>
#include <resmgr/resmgr_inspect.h>
#include <vbench/bench/virtual_bench.h>

#include <benchmark/benchmark.h>

#include <cmath>
#include <ctime>
#include <memory>
#include <string>

namespace {

using kora::vbench::VirtualBench;

const std::string kStation = std::string(KORA_EXAMPLES_DIR) + "/station/";
constexpr const char* kPower = "SUPPLY_A6!CH1_HI>VCC,SUPPLY_A6!CH1_LO>GND,SUPPLY_A6!CH1_SHI>VCC,"
                               "SUPPLY_A6!CH1_SLO>GND";

std::size_t DcpwrCalls(VirtualBench& bench) {
    std::size_t n = 0;
    for (const auto& e : bench.journal().entries()) {
        n += e.interface == "DCPWR" ? 1 : 0;
    }
    return n;
}

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::shared_ptr<VirtualBench> Station() {
    auto& rvo = kora::rvo::Runtime::instance();
    rvo.reset();
    rvo.setKeepResults(false);
    kora::resmgr::inspect::Reset();
    auto bench = std::make_shared<VirtualBench>();
    bench->loadStation(kora::vbench::LoadStation(kStation + "hardware.ini"));
    VirtualBench::activate(bench);
    const std::string sw = kStation + "system.ini", hw = kStation + "hardware.ini";
    if (SETUP_KORA(1, "Setup", 0x100, 0, "", "LINE", 2, sw.c_str(), hw.c_str()) != 0 ||
        CONF_DCPWR(2, "Sense", 0x200, 0, "", "SUPPLY_A6!CH1|XSENSING", 1) != 0) {
        return nullptr;
    }
    return bench;
}

void Finish() {
    CLEANUP_KORA(99, "Cleanup", 0x900, 0, "", "");
    kora::FreeBenchContext();
    VirtualBench::activate(nullptr);
    kora::rvo::Runtime::instance().reset();
}

// Each iteration: the board on at 5 V through the routing, its current, the board off again.
void BM_PowerUpAndMeasure(benchmark::State& state) {
    auto bench = Station();
    if (!bench) {
        state.SkipWithError("set-up failed");
        return;
    }
    double cpu = 0, solver = 0, current = 0;
    std::size_t calls = 0;
    for (auto _ : state) {
        const double cpu0 = CpuSeconds(), solver0 = bench->solverSeconds();
        bench->journal().clear();
        long r = SET_DCPWR(3, "On", 0x300, 0, "", kPower, "SUPPLY_A6!CH1|VDC_CREG.OFF_ON", 5,
                           "AUTORANGE", 0.1, "AUTORANGE", NAN, NAN, "");
        r |= MEAS_DCPWR(4, "Current", 0x400, 0, "", "", "SUPPLY_A6!CH1|ADC", "", NAN, "", NAN,
                        &current, "");
        r |= SET_DCPWR(5, "Off", 0x500, 0, "", "", "SUPPLY_A6!CH1|VDC.PRE_OFF", 0, "", NAN, "", NAN,
                       NAN, "%");
        cpu += CpuSeconds() - cpu0;
        solver += bench->solverSeconds() - solver0;
        calls += DcpwrCalls(*bench);
        if (r != 0) {
            state.SkipWithError("a step failed");
            break;
        }
        bench->journal().clear();
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["cpu_us_per_cycle"] = cpu / n * 1e6;
    state.counters["solver_us_per_cycle"] = solver / n * 1e6;
    state.counters["dcpwr_calls_per_cycle"] = static_cast<double>(calls) / n;
    state.counters["board_mA"] = current * 1e3;
    Finish();
}
BENCHMARK(BM_PowerUpAndMeasure)->Unit(benchmark::kMicrosecond);

// Each iteration: a 5 mA load switched onto the regulator output of the powered board, and its
// current read back. The load's regulation solves the circuit once per step towards its set point.
void BM_LoadFindsItsSetPoint(benchmark::State& state) {
    auto bench = Station();
    if (!bench || SET_DCPWR(3, "On", 0x300, 0, "", kPower, "SUPPLY_A6!CH1|VDC_CREG.OFF_ON", 5,
                            "AUTORANGE", 0.1, "AUTORANGE", NAN, NAN, "") != 0) {
        state.SkipWithError("set-up failed");
        return;
    }
    double cpu = 0, solver = 0, amperes = 0;
    for (auto _ : state) {
        const double cpu0 = CpuSeconds(), solver0 = bench->solverSeconds();
        long r = SET_DCPWR(6, "Load", 0x600, 0, "", "SUPPLY_A6!CH2_HI>REG,SUPPLY_A6!CH2_LO>GND",
                           "SUPPLY_A6!CH2|SINK_ADC.OFF_ON", NAN, "", 0.005, "", NAN, NAN, "");
        r |= MEAS_DCPWR(7, "Load current", 0x700, 0, "", "", "SUPPLY_A6!CH2|SINK:ADC", "", NAN, "",
                        NAN, &amperes, "");
        r |= SET_DCPWR(8, "Load off", 0x800, 0, "", "", "SUPPLY_A6!CH2|SINK_ADC.PRE_OFF", NAN, "",
                       0, "", NAN, NAN, "SUPPLY_A6!CH2_HI||,SUPPLY_A6!CH2_LO||");
        cpu += CpuSeconds() - cpu0;
        solver += bench->solverSeconds() - solver0;
        if (r != 0) {
            state.SkipWithError("a step failed");
            break;
        }
        bench->journal().clear();
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["cpu_us_per_cycle"] = cpu / n * 1e6;
    state.counters["solver_us_per_cycle"] = solver / n * 1e6;
    state.counters["load_mA"] = amperes * 1e3;
    Finish();
}
BENCHMARK(BM_LoadFindsItsSetPoint)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
