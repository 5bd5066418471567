// Acquiring the example board's answer with the signal analyzer, as waveforms.yaml does: the
// generator's 1 kHz square wave into the comparator stage, ACQ_SCOPE triggered on the output's
// rising edge over 5 ms, then FREQ_SIGANL on the record. Figures: CPU time per acquisition of
// 1,000 and 8,192 samples with the circuit solver's share, and per frequency analysis of 8,192
// samples. Goal: an 8,192-sample acquisition within 50 ms of CPU time.
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
#include <vector>

namespace {

using kora::vbench::VirtualBench;

const std::string kStation = std::string(KORA_EXAMPLES_DIR) + "/station/";
constexpr double kRecordSeconds = 0.005;

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The station with the board powered, the square wave at the comparator's input and path A
// triggered on the output's rising edge.
std::shared_ptr<VirtualBench> Station() {
    auto& rvo = kora::rvo::Runtime::instance();
    rvo.reset();
    rvo.setKeepResults(false);
    kora::resmgr::inspect::Reset();
    auto bench = std::make_shared<VirtualBench>();
    bench->loadStation(kora::vbench::LoadStation(kStation + "hardware.ini"));
    VirtualBench::activate(bench);
    const std::string sw = kStation + "system.ini", hw = kStation + "hardware.ini";
    long r = SETUP_KORA(1, "Setup", 0x100, 0, "", "LINE", 2, sw.c_str(), hw.c_str());
    r |= SET_DCPWR(2, "On", 0x200, 0, "", "SUPPLY_A6!CH1_HI>VCC,SUPPLY_A6!CH1_LO>GND",
                   "SUPPLY_A6!CH1|VDC_CREG.OFF_ON", 5, "", 0.1, "", NAN, NAN, "");
    r |= SET_FUNCGEN(3, "Square", 0x300, 0, "", "FGEN_A!CH1>MATRIX_A7!P26,FGEN_A!CH1_LO>GND",
                     "FGEN_A|CH1:SQUARE.OFF_ON", 2.5, 5, 1000, 50, 0, "");
    r |= CTRG_SCOPE(4, "Edge", 0x400, 0, "", "SCOPE_A12|+INA:ATA1", 2.5);
    return r == 0 ? bench : nullptr;
}

void Finish() {
    CLEANUP_KORA(99, "Cleanup", 0x900, 0, "", "");
    kora::FreeBenchContext();
    VirtualBench::activate(nullptr);
    kora::rvo::Runtime::instance().reset();
}

long Acquire(long count, double* samples) {
    return ACQ_SCOPE(5 + count, "Record", 0x500, 0, "", "SCOPE_A12!CHA1>MATRIX_A7!P27",
                     "SCOPE_A12|CHA1:VDC.READ", "-1", "2.5", "6", 0, kRecordSeconds, count, samples,
                     "");
}

// Each iteration: one triggered record of state.range(0) samples.
void BM_AcquireRecord(benchmark::State& state) {
    auto bench = Station();
    if (!bench) {
        state.SkipWithError("set-up failed");
        return;
    }
    const long count = state.range(0);
    std::vector<double> samples(static_cast<std::size_t>(count));
    double cpu = 0, solver = 0;
    for (auto _ : state) {
        const double cpu0 = CpuSeconds(), solver0 = bench->solverSeconds();
        const long r = Acquire(count, samples.data());
        cpu += CpuSeconds() - cpu0;
        solver += bench->solverSeconds() - solver0;
        if (r != 0) {
            state.SkipWithError("the acquisition failed");
            break;
        }
        bench->journal().clear();
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["cpu_ms_per_record"] = cpu / n * 1e3;
    state.counters["settle_ms_per_record"] = solver / n * 1e3;
    Finish();
}
BENCHMARK(BM_AcquireRecord)->Arg(1000)->Arg(8192)->Unit(benchmark::kMillisecond);

// Each iteration: the frequency of an 8,192-sample record by its slopes.
void BM_FrequencyOfRecord(benchmark::State& state) {
    auto bench = Station();
    std::vector<double> samples(8192);
    if (!bench || Acquire(8192, samples.data()) != 0) {
        state.SkipWithError("set-up failed");
        return;
    }
    double cpu = 0, hertz = 0;
    for (auto _ : state) {
        const double cpu0 = CpuSeconds();
        FREQ_SIGANL(20, "Frequency", 0x600, 0, "", "SLOPE_AUTO", "995", 1000, "1005",
                    kRecordSeconds, 8192, samples.data(), 0, 20, &hertz);
        cpu += CpuSeconds() - cpu0;
    }
    state.counters["cpu_ms_per_analysis"] = cpu / static_cast<double>(state.iterations()) * 1e3;
    state.counters["hertz"] = hertz;
    Finish();
}
BENCHMARK(BM_FrequencyOfRecord)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
