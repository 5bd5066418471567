// DC solves per second of the virtual bench's circuit solver on generated boards of 100, 1,000 and
// 5,000 nets, and the whole-process time against ngspice's "op" on the same netlist files.
//
// A generated board looks like a populated PCB seen from the bed of nails: a chain of resistors
// through every net, cross connections between nearby nets, pull-downs, decoupling capacitors,
// protection diodes to ground and a few supplies with their series resistors. The same text is
// parsed here and run by ngspice.
//
// BM_DcSolve: one operating point per iteration after a change of the main supply or of a
//   resistor (what a measurement costs the bench); the board with or without its diodes. The
//   counters split the Newton iterations into full factorisations and solves answered by an
//   update of the kept one.
// BM_ParseAndSolve: netlist text to operating point in this process.
// BM_WholeProcess: a forked process that reads the file, solves and exits, against
//   "ngspice -b" on the same file; counters ours_ms, ngspice_ms and ratio (ngspice / ours).
#include <vbench/bench/noise.h>
#include <vbench/circuit/circuit.h>
#include <vbench/circuit/elements.h>
#include <vbench/netlist/netlist_parser.h>
#include <vbench/solver/solver.h>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

extern char** environ;

namespace {

using namespace kora::vbench;
namespace fs = std::filesystem;

std::string Value(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4g", v);
    return text;
}

std::string GenerateBoard(int nets, bool diodes) {
    NoiseSource rng(static_cast<uint64_t>(nets) * 7919 + (diodes ? 1 : 0));
    auto pick = [&](int lo, int hi) {
        return lo + static_cast<int>(rng.uniform() * (hi - lo + 1));
    };
    auto resistance = [&] { return std::pow(10.0, 2 + 3 * rng.uniform()); }; // 100 ohm .. 100k
    std::ostringstream out;
    out << "generated board of " << nets << " nets\n";
    out << ".model dprot D(IS=1e-14 N=1.05 RS=0.5)\n";
    int r = 0, c = 0, d = 0, v = 0;
    out << "V" << ++v << " n1 0 DC 5\n";
    for (int i = 1; i < nets; ++i) {
        out << "R" << ++r << " n" << i << " n" << i + 1 << " " << Value(resistance()) << "\n";
        const int j = std::min(nets, i + pick(2, 20));
        if (j > i + 1) {
            out << "R" << ++r << " n" << i << " n" << j << " " << Value(resistance()) << "\n";
        }
        if (i % 10 == 0) {
            out << "R" << ++r << " n" << i << " 0 " << Value(10 * resistance()) << "\n";
        }
        if (i % 25 == 0) {
            out << "C" << ++c << " n" << i << " 0 100n\n";
        }
        if (diodes && i % 50 == 0) {
            out << "D" << ++d << " n" << i << " 0 dprot\n";
        }
        if (i % 200 == 0) {
            out << "V" << ++v << " s" << i << " 0 DC " << Value(1 + 10 * rng.uniform()) << "\n";
            out << "R" << ++r << " s" << i << " n" << i << " 1k\n";
        }
    }
    out << "R" << ++r << " n" << nets << " 0 1k\n";
    out << ".op\n.end\n";
    return out.str();
}

const std::string& BoardText(int nets, bool diodes) {
    static std::map<std::pair<int, bool>, std::string> cache;
    auto& text = cache[{nets, diodes}];
    if (text.empty()) {
        text = GenerateBoard(nets, diodes);
    }
    return text;
}

// The folder of the board files for ngspice; removed when the program ends.
struct BoardFolder {
    fs::path dir = fs::temp_directory_path() / ("kora_solver_bench_" + std::to_string(::getpid()));
    BoardFolder() { fs::create_directories(dir); }
    ~BoardFolder() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

std::string BoardFile(int nets) {
    static BoardFolder folder;
    static std::map<int, std::string> files;
    auto& path = files[nets];
    if (path.empty()) {
        const fs::path& dir = folder.dir;
        path = (dir / ("board_" + std::to_string(nets) + ".cir")).string();
        std::ofstream(path) << BoardText(nets, true);
    }
    return path;
}

// One operating point per iteration after a change. change 0: the main supply's level (the matrix
// stays, a linear board reuses its factors); change 1: a resistor's value, as a relay switching
// changes the matrix (every Newton iteration factorises).
void BM_DcSolve(benchmark::State& state) {
    const int nets = static_cast<int>(state.range(0));
    const bool diodes = state.range(1) != 0;
    const bool matrixChange = state.range(2) != 0;
    Netlist n = ParseNetlist(BoardText(nets, diodes), "generated.cir");
    Circuit circuit;
    AddNetlist(circuit, n);
    Solver solver(circuit);
    if (!solver.operatingPoint().ok()) {
        state.SkipWithError("the generated board does not solve");
        return;
    }
    auto* supply = circuit.findAs<Source>("v1");
    auto* resistor = circuit.findAs<Resistor>("r1");
    const long factorisations = circuit.system().realFactorisations();
    const long updated = circuit.system().updatedSolves();
    long iterations = 0;
    bool flip = false;
    for (auto _ : state) {
        flip = !flip;
        if (matrixChange) {
            resistor->setResistance(flip ? 1000 : 1100);
        } else {
            supply->setLevel(flip ? 5.1 : 5);
        }
        SolveReport r = solver.operatingPoint();
        iterations += r.iterations;
        benchmark::DoNotOptimize(circuit.solution().data());
    }
    const double count = static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations());
    state.counters["unknowns"] = circuit.unknowns();
    state.counters["nonzeros"] = circuit.system().nonZeros();
    state.counters["newton_per_solve"] = static_cast<double>(iterations) / count;
    state.counters["factor_per_solve"] =
        static_cast<double>(circuit.system().realFactorisations() - factorisations) / count;
    state.counters["updated_per_solve"] =
        static_cast<double>(circuit.system().updatedSolves() - updated) / count;
}
BENCHMARK(BM_DcSolve)
    ->ArgNames({"nets", "diodes", "matrix_change"})
    ->ArgsProduct({{100, 1000, 5000}, {0, 1}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);

void BM_ParseAndSolve(benchmark::State& state) {
    const int nets = static_cast<int>(state.range(0));
    const std::string& text = BoardText(nets, true);
    for (auto _ : state) {
        Netlist n = ParseNetlist(text, "generated.cir");
        Circuit circuit;
        AddNetlist(circuit, n);
        Solver solver(circuit);
        benchmark::DoNotOptimize(solver.operatingPoint().ok());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseAndSolve)
    ->ArgName("nets")
    ->Arg(100)
    ->Arg(1000)
    ->Arg(5000)
    ->Unit(benchmark::kMillisecond);

// Seconds of wall time of a child that reads `file`, solves its operating point and exits.
double OursAsProcess(const std::string& file) {
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        bool ok = false;
        try {
            Netlist n = LoadNetlist(file);
            Circuit circuit;
            AddNetlist(circuit, n);
            ok = Solver(circuit).operatingPoint().ok();
        } catch (...) {
        }
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return -1;
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double NgspiceAsProcess(const std::string& file) {
    const auto start = std::chrono::steady_clock::now();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::string exe = "/usr/bin/ngspice", batch = "-b", path = file;
    char* argv[] = {exe.data(), batch.data(), path.data(), nullptr};
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        return -1;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return -1;
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_WholeProcess(benchmark::State& state) {
    if (::access("/usr/bin/ngspice", X_OK) != 0) {
        state.SkipWithError("ngspice is not installed");
        return;
    }
    const std::string file = BoardFile(static_cast<int>(state.range(0)));
    double ours = 0, theirs = 0;
    for (auto _ : state) {
        const double a = OursAsProcess(file);
        const double b = NgspiceAsProcess(file);
        if (a < 0 || b < 0) {
            state.SkipWithError(a < 0 ? "our process failed" : "ngspice failed");
            return;
        }
        ours += a;
        theirs += b;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["ours_ms"] = 1e3 * ours / n;
    state.counters["ngspice_ms"] = 1e3 * theirs / n;
    state.counters["ratio"] = theirs / ours;
}
BENCHMARK(BM_WholeProcess)
    ->ArgName("nets")
    ->Arg(100)
    ->Arg(1000)
    ->Arg(5000)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
