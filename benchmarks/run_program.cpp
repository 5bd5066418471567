// A program of 100,000 compare steps through kora-run's runner and the loaded libkora: steps
// per second, and how the time splits between the method calls (libkora with the executive's
// verification behind it) and the executive's own work around them (argument building, result
// collection, bookkeeping).
#include <program.h>
#include <runner.h>

#include <benchmark/benchmark.h>

#include <string>

namespace {

constexpr int kSteps = 100000;

std::string GeneratedProgram() {
    std::string text = "program: Compare load\nvariables:\n  v: {type: real, value: 5.0}\nsteps:\n";
    for (int i = 0; i < kSteps; ++i) {
        text += "  - method: COMPR_KORA\n    name: Step " + std::to_string(i) +
                "\n    DevChanAttr: VDC\n    LLimit: \"4.75\"\n    Value: $v\n    ULimit: "
                "\"5.25\"\n";
    }
    return text;
}

// state.range(0): executions of the program; the first compiles every step (phase 2), the later
// ones run from the kept records (phase 1).
void BM_RunProgram(benchmark::State& state) {
    std::string error;
    static auto program = kora::run::ParseProgram(GeneratedProgram(), "load.yaml", error);
    if (!program) {
        state.SkipWithError(error.c_str());
        return;
    }
    kora::run::RunOptions options;
    options.library = kora::run::DefaultLibraryPath();
    options.echoResults = false;
    options.repeat = static_cast<int>(state.range(0));
    double inCalls = 0, total = 0;
    for (auto _ : state) {
        kora::run::RunReport report;
        if (!kora::run::RunProgram(*program, options, report, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        for (const auto& s : report.steps) {
            inCalls += s.seconds;
        }
        total += report.seconds;
    }
    const double steps = static_cast<double>(state.iterations()) * kSteps * state.range(0);
    state.SetItemsProcessed(static_cast<int64_t>(steps));
    state.counters["ns_per_step"] = total / steps * 1e9;
    state.counters["share_in_calls"] = inCalls / total;
}
BENCHMARK(BM_RunProgram)->Arg(1)->Arg(5)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

BENCHMARK_MAIN();
