// A program of 100,000 compare steps through kora-run's runner and the loaded libkora: steps
// per second, and how the time splits between the method calls (libkora with the executive's
// verification behind it) and the executive's own work around them (argument building, result
// collection, bookkeeping).
#include <program.h>
#include <runner.h>

#include <benchmark/benchmark.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

constexpr int kSteps = 100000;
constexpr int kColdSteps = 10000;

std::string GeneratedProgram(int steps = kSteps) {
    std::string text = "program: Compare load\nvariables:\n  v: {type: real, value: 5.0}\nsteps:\n";
    for (int i = 0; i < steps; ++i) {
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

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// A cold load of a program of 10,000 steps from its file (read, parse, every step checked and
// built), beside one execution of it: load_over_run is the load's share of a single run.
void BM_ColdLoad(benchmark::State& state) {
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() / "kora_cold_load.yaml";
    std::ofstream(file) << GeneratedProgram(kColdSteps);
    kora::run::RunOptions options;
    options.library = kora::run::DefaultLibraryPath();
    options.echoResults = false;
    double load = 0, run = 0;
    for (auto _ : state) {
        std::string error;
        const double t0 = CpuSeconds();
        auto program = kora::run::LoadProgram(file.string(), error);
        const double t1 = CpuSeconds();
        kora::run::RunReport report;
        if (!program || !kora::run::RunProgram(*program, options, report, error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        load += t1 - t0;
        run += CpuSeconds() - t1;
    }
    std::filesystem::remove(file);
    const double steps = static_cast<double>(state.iterations()) * kColdSteps;
    state.counters["load_ns_per_step"] = load / steps * 1e9;
    state.counters["run_ns_per_step"] = run / steps * 1e9;
    state.counters["load_over_run"] = load / run;
}
BENCHMARK(BM_ColdLoad)->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

BENCHMARK_MAIN();
