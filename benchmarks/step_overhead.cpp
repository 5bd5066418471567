// Cost of one step through the frame and the executive runtime: COMPR_KORA in the run phase,
// from its kept record, as every pass after the first executes it. Goal: at most 1 us per step.
#include <executive/rvo_runtime.h>
#include <kora/step_methods.h>

#include <benchmark/benchmark.h>

namespace {

void Prepare(bool keepResults) {
    auto& rt = kora::rvo::Runtime::instance();
    rt.reset();
    rt.setKeepResults(keepResults);
    // The first entry compiles (phase 2); every later one runs from the record (phase 1).
    COMPR_KORA(1, "Step", 0x100, 0, "", "VDC", "4.75", 5.0, "5.25", "CH1");
}

// The step alone: results go to the executive's sink (none here) and are not kept.
void BM_ComprRunPhase(benchmark::State& state) {
    Prepare(false);
    double value = 5.0;
    for (auto _ : state) {
        EN_NEV_RESULT r = COMPR_KORA(1, "Step", 0x100, 0, "", "VDC", "4.75", value, "5.25", "CH1");
        benchmark::DoNotOptimize(r);
    }
    state.SetItemsProcessed(state.iterations());
    kora::rvo::Runtime::instance().reset();
}
BENCHMARK(BM_ComprRunPhase);

// The same with every result recorded for the reports, as kora-run does.
void BM_ComprRunPhaseRecorded(benchmark::State& state) {
    Prepare(true);
    long n = 0;
    for (auto _ : state) {
        EN_NEV_RESULT r = COMPR_KORA(1, "Step", 0x100, 0, "", "VDC", "4.75", 5.0, "5.25", "CH1");
        benchmark::DoNotOptimize(r);
        if (++n % 100000 == 0) {
            state.PauseTiming();
            Prepare(true);
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations());
    kora::rvo::Runtime::instance().reset();
}
BENCHMARK(BM_ComprRunPhaseRecorded);

// The compile pass for comparison: split, keyword match, limit parsing, attribute definition.
void BM_ComprCompilePhase(benchmark::State& state) {
    Prepare(false);
    auto& rt = kora::rvo::Runtime::instance();
    rt.setCompileOnly(true);
    for (auto _ : state) {
        EN_NEV_RESULT r =
            COMPR_KORA(1, "Step", 0x100, 0, "", "DMM|CH:VDC", "-10%", 5.0, "10%", "CH1");
        benchmark::DoNotOptimize(r);
    }
    state.SetItemsProcessed(state.iterations());
    rt.reset();
}
BENCHMARK(BM_ComprCompilePhase);

} // namespace

BENCHMARK_MAIN();
