// EXEC_ICTX over a generated board of identical resistors (or capacitors) on a generated ICT
// station: CPU time per component with and without the circuit solver's share, the virtual test
// time per component (what the run would take on the bench), and the driver calls per component.
// After the first component the unit caches leave only the connections and the reads. The
// capacitors are 1 uF, measured at 1 kHz over one period, as a tester measures them. The contact
// and short test of a large board, pin by pin, with the same figures per pin. A DIGITAL
// section of a thousand vectors on the logic example board, per vector.
#include "frame/bench_context.h"

#include <executive/rvo_runtime.h>
#include <kora/step_methods.h>
#include <resmgr/resmgr_inspect.h>
#include <vbench/bench/virtual_bench.h>

#include <benchmark/benchmark.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using kora::vbench::VirtualBench;

constexpr int kPinsPerCard = 160;
// The set-up opens the cards of the keys "SwitchDevice1" to "SwitchDevice31" and no more: a bench
// holds 31 SM160 cards, 4,960 matrix channels (its channel table's 5,120 leave room for others).
constexpr int kMaxCards = 31;
constexpr const char* kTooManyCards = "the board needs more than the bench's 31 SM160 cards";

enum Part { kResistors, kCapacitors };

// The files of a generated station in a folder of its own: `needles` matrix channels on as many
// SM160 cards as they take, PSAM (and, for `pict`, PICT with the SSC cartridge), the board's
// netlist and fixture, and the component program. Needle n is the channel "MXc!Pp" of its card.
struct Station {
    fs::path dir;
    int cards = 0;
    std::ofstream hw, sw, fixture, board, program;

    Station(const std::string& kind, int size, int needles, bool pict)
        : dir(fs::temp_directory_path() /
              ("kora_" + kind + "_run_" + std::to_string(::getpid()) + "_" + std::to_string(size))),
          cards((needles + kPinsPerCard - 1) / kPinsPerCard) {
        fs::create_directories(dir);
        hw.open(dir / "hardware.ini");
        sw.open(dir / "system.ini");
        fixture.open(dir / "fixture.txt");
        board.open(dir / "board.cir");
        program.open(dir / "board.ict");
        for (int c = 1; c <= cards; ++c) {
            hw << "[device->MX" << c << "]\nType = SM160\nResourceDesc = CAN0::0::" << c << "\n\n";
        }
        hw << "[device->PSAM]\nType = PSAM\nResourceDesc = CAN0::1::1\n\n";
        if (pict) {
            hw << "[device->PICT]\nType = PICT\nResourceDesc = CAN0::1::2\n\n";
        }
        hw << "[VirtualBench]\nBoard = board.cir\nFixture = fixture.txt\n"
           << (pict ? "Cartridges = SSC\n" : "")
           << "RelayResistance = 0.2\nBusResistance = 0.05\nDebounceTime = 500u\n"
           << "SettlingTime = 2m\nNoiseSeed = 1\n";
        sw << "[LogicalNames]\nICT = BENCH_ICT\n\n[BENCH_ICT]\nType = BENCH\nAppChannelTable = "
              "CHANNELS\nKORAsetupROUTE = 0\nKORAsetupICTX = 1\nICTDevice = PSAM\n"
           << (pict ? "ICTDevice2 = PICT\n" : "");
        for (int c = 1; c <= cards; ++c) {
            sw << "SwitchDevice" << c << " = MX" << c << "\n";
        }
        sw << "\n[CHANNELS]\n";
        program << "[1, \"SETUP\", \"SETUP\", \"\", \"\"]\n";
    }

    // Whether `needles` fit the cards of one bench; when not, the set-up would refuse the first
    // channel on the 32nd card ("No suitable matrix card for channel").
    static bool Fits(int needles) { return needles <= kMaxCards * kPinsPerCard; }

    // The channel `name` on needle n, touching the board's net `net`.
    void Needle(const std::string& name, int n, const std::string& net) {
        sw << name << " = MX" << n / kPinsPerCard + 1 << "!P" << n % kPinsPerCard + 1 << "\n";
        fixture << "MX" << n / kPinsPerCard + 1 << " P" << n % kPinsPerCard + 1 << " " << net
                << "\n";
    }
};

// The station files of `count` 10 k resistors (or 1 uF capacitors), each on two needles of its
// own.
fs::path GenerateStation(int count, Part part) {
    if (!Station::Fits(2 * count)) {
        return {};
    }
    Station st("ict", count, 2 * count, true);
    st.board << "Generated board of identical resistors\n";
    for (int i = 0; i < count; ++i) {
        for (int end = 0; end < 2; ++end) {
            st.Needle("R" + std::to_string(i) + (end ? "_B" : "_A"), 2 * i + end,
                      "n" + std::to_string(i) + (end ? "b" : "a"));
        }
        if (part == kCapacitors) {
            st.board << "C" << i << " n" << i << "a n" << i << "b 1u\n";
            st.program << "[" << 10 + i << ", \"C" << i << "\", \"CAPACITOR\", \"\", \"\"]\nTP=\"R"
                       << i << "_A\"\nTP=\"R" << i << "_B\"\nMM=\"CP\"\nNV=1e-6\nF=1000\nMA=1\n";
            continue;
        }
        st.board << "R" << i << " n" << i << "a n" << i << "b 10k\n";
        st.program << "[" << 10 + i << ", \"R" << i << "\", \"RESISTOR\", \"\", \"\"]\nTP=\"R" << i
                   << "_A\"\nTP=\"R" << i << "_B\"\nMM=\"V\"\nNV=10000\nNV+=1\nNV-=-1\nV=1\n"
                   << "C=0.001\nCR=0.0002\n";
    }
    st.board << ".end\n";
    return st.dir;
}

// What the set-up or load said when it failed: its last alert.
std::string SetupError(const kora::rvo::Runtime& rvo) {
    const auto& alerts = rvo.alerts();
    return "set-up or load failed" + (alerts.empty() ? std::string() : ": " + alerts.back().text);
}

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// A virtual bench on the station files, set up as bench `name` with `program` loaded; null after
// SkipWithError when the set-up or the load failed. Results are kept only when asked for.
std::shared_ptr<VirtualBench> StartBench(benchmark::State& state, const std::string& hw,
                                         const std::string& sw, const char* name,
                                         const std::string& program, bool keepResults) {
    auto& rvo = kora::rvo::Runtime::instance();
    rvo.reset();
    if (!keepResults) {
        rvo.setKeepResults(false);
    }
    kora::resmgr::inspect::Reset();
    auto bench = std::make_shared<VirtualBench>();
    bench->loadStation(kora::vbench::LoadStation(hw));
    VirtualBench::activate(bench);
    bench->journal().setRecording(false);
    if (SETUP_KORA(1, "Setup", 0x100, 0, "", name, 1, sw.c_str(), hw.c_str()) != 0 ||
        LOAD_ICTX(2, "Load", 0x200, 0, "", program.c_str(), 1) != 0) {
        state.SkipWithError(SetupError(rvo).c_str());
        return nullptr;
    }
    return bench;
}

// The generated station's bench from its folder, as StartBench.
std::shared_ptr<VirtualBench> StartBench(benchmark::State& state, const fs::path& dir,
                                         bool keepResults = false) {
    if (dir.empty()) {
        state.SkipWithError(kTooManyCards);
        return nullptr;
    }
    return StartBench(state, (dir / "hardware.ini").string(), (dir / "system.ini").string(), "ICT",
                      (dir / "board.ict").string(), keepResults);
}

void EndBench(const fs::path& dir) {
    CLEANUP_KORA(4, "Cleanup", 0x400, 0, "", "");
    kora::FreeBenchContext();
    VirtualBench::activate(nullptr);
    kora::rvo::Runtime::instance().reset();
    if (!dir.empty()) {
        fs::remove_all(dir);
    }
}

// What the runs of one benchmark cost: CPU time, the solver's share of it, the virtual bench's
// time and its driver calls.
struct RunCost {
    double cpu = 0, solver = 0, virtualTime = 0, calls = 0;
};

// EXEC_ICTX over `kind` once per iteration. A result below -1 is a failed run; with `strict`,
// any result but 0 is.
RunCost RunExec(benchmark::State& state, VirtualBench& bench, const char* kind, bool strict) {
    RunCost cost;
    for (auto _ : state) {
        const double cpu0 = CpuSeconds(), solver0 = bench.solverSeconds();
        const double t0 = rvo_TSTAMP();
        const std::size_t calls0 = bench.journal().total();
        const long result = EXEC_ICTX(3, "Run", 0x300, 0, "", kind, 1, 1000, "");
        cost.cpu += CpuSeconds() - cpu0;
        cost.solver += bench.solverSeconds() - solver0;
        cost.virtualTime += rvo_TSTAMP() - t0;
        cost.calls += static_cast<double>(bench.journal().total() - calls0);
        if (strict ? result != 0 : result < -1) {
            state.SkipWithError(strict ? "a vector failed" : "EXEC_ICTX failed");
            break;
        }
    }
    return cost;
}

// state.range(0): parts on the board; state.range(1): the Part. Each iteration runs EXEC_ICTX
// once; the first run declares the components (phase 2), the later ones measure from their kept
// records.
void BM_ExecIctx(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    const fs::path dir = GenerateStation(count, static_cast<Part>(state.range(1)));
    const auto bench = StartBench(state, dir);
    if (!bench) {
        return;
    }
    const RunCost cost = RunExec(state, *bench, "ANALOG", false);
    const double components = static_cast<double>(state.iterations()) * count;
    state.counters["cpu_us_per_component"] = cost.cpu / components * 1e6;
    state.counters["solver_us_per_component"] = cost.solver / components * 1e6;
    state.counters["cpu_us_without_solver"] = (cost.cpu - cost.solver) / components * 1e6;
    state.counters["virtual_ms_per_component"] = cost.virtualTime / components * 1e3;
    state.counters["driver_calls_per_component"] = cost.calls / components;
    EndBench(dir);
}
BENCHMARK(BM_ExecIctx)
    ->Args({100, kResistors})
    ->Args({1000, kResistors})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
// The largest isolated board a bench holds: 2,480 resistors on its 31 SM160 cards, every matrix
// channel used.
BENCHMARK(BM_ExecIctx)
    ->Args({kMaxCards * kPinsPerCard / 2, kResistors})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
// One pass: while the sine is on the bus the virtual bench follows the whole board in time, so
// the CPU time per capacitor grows with the board.
BENCHMARK(BM_ExecIctx)
    ->Args({100, kCapacitors})
    ->Args({1000, kCapacitors})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// A connected board as a tester meets it: a chain of cells that share their end nets, each cell
// a 10 k resistor A-B guarded at C against its parallel path A-C-B (2.2 k and 4.7 k), and a 47 k
// from B to the board's ground. Every net has one needle, ground too; four parts per two nets,
// so the largest board fills a component file's 5,120 sections with 2,560 needles on 16 cards.
constexpr int kPartsPerCell = 4;

fs::path GenerateConnectedStation(int cells) {
    const int nets = 2 * cells + 1; // A of the first cell, then C and B of each
    const int needles = nets + 1;   // and ground
    if (!Station::Fits(needles)) {
        return {};
    }
    Station st("connected", cells, needles, true);
    for (int n = 0; n < needles; ++n) {
        st.Needle("T" + std::to_string(n), n, n == 0 ? "0" : "n" + std::to_string(n));
    }
    st.board << "Generated connected board\n";
    int index = 10;
    const auto resistor = [&](const std::string& name, int a, int b, int guard, double ohms) {
        st.board << name << " " << (a ? "n" + std::to_string(a) : "0") << " "
                 << (b ? "n" + std::to_string(b) : "0") << " " << ohms << "\n";
        st.program << "[" << index++ << ", \"" << name << "\", \"RESISTOR\", \"\", \"\"]\nTP=\"T"
                   << a << "\"\nTP=\"T" << b << "\"\n";
        if (guard) {
            st.program << "GP=\"T" << guard << "\"\n";
        }
        // The unguarded parts see the rest of the board in parallel: wide limits.
        st.program << "MM=\"V\"\nNV=" << ohms << "\nNV+=" << (guard ? 1 : 100)
                   << "\nNV-=" << (guard ? -1 : -100) << "\nV=1\nC=0.001\nCR=0.0002\n";
    };
    for (int k = 0; k < cells; ++k) {
        const int a = 2 * k + 1, c = a + 1, b = a + 2;
        resistor("R" + std::to_string(k), a, b, c, 10000);
        resistor("RA" + std::to_string(k), a, c, 0, 2200);
        resistor("RB" + std::to_string(k), c, b, 0, 4700);
        resistor("RG" + std::to_string(k), b, 0, 0, 47000);
    }
    st.board << ".end\n";
    return st.dir;
}

// state.range(0): cells of the connected board; CPU time per resistor as for the isolated ones.
void BM_ExecIctxConnected(benchmark::State& state) {
    const int cells = static_cast<int>(state.range(0));
    const int count = kPartsPerCell * cells;
    const fs::path dir = GenerateConnectedStation(cells);
    const auto bench = StartBench(state, dir);
    if (!bench) {
        return;
    }
    const RunCost cost = RunExec(state, *bench, "ANALOG", false);
    const double components = static_cast<double>(state.iterations()) * count;
    state.counters["parts"] = count;
    state.counters["cpu_us_per_component"] = cost.cpu / components * 1e6;
    state.counters["solver_us_per_component"] = cost.solver / components * 1e6;
    state.counters["cpu_us_without_solver"] = (cost.cpu - cost.solver) / components * 1e6;
    EndBench(dir);
}
// Two runs each, the first declaring the components, so that the boards compare like for like.
// 1,279 cells make the largest connected board a bench holds: its 5,120 component sections
// (5,116 parts and the set-up) on 2,559 nets and ground.
BENCHMARK(BM_ExecIctxConnected)
    ->Arg(25)
    ->Arg(250)
    ->Arg(1279)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

// The contact and short test of a board of `pins` nets, one needle each and 1 k to the board's
// ground (which has a needle of its own), with `shorts` pairs of nets bridged by 0.1 ohm: one
// CONTACT component with both tests, run by EXEC_ICTX. The ground needle stays out of the short
// test: a thousand 1 k resistors join it to every other net by 1 ohm.
fs::path GenerateContactStation(int pins, int shorts) {
    const int needles = pins + 1;
    if (!Station::Fits(needles)) {
        return {};
    }
    Station st("contact", pins, needles, false);
    st.board << "Generated board of nets to ground, some bridged\n";
    for (int n = 0; n < needles; ++n) {
        const std::string net = n == 0 ? "0" : "n" + std::to_string(n);
        st.Needle("T" + std::to_string(n), n, net);
        if (n > 0) {
            st.board << "R" << n << " " << net << " 0 1k\n";
        }
    }
    const int step = pins / std::max(shorts, 1);
    for (int k = 0; k < shorts; ++k) {
        st.board << "RS" << k << " n" << 1 + k * step << " n" << 2 + k * step << " 0.1\n";
    }
    st.board << ".end\n";
    st.program << "[2, \"PINS\", \"CONTACT\", \"\", \"\"]\nMM=\"NN-\"\nXS=\"T0\"\n";
    return st.dir;
}

// state.range(0): pins, state.range(1): shorts. Results are kept: the short groups found are
// counted.
void BM_ContactTest(benchmark::State& state) {
    const int pins = static_cast<int>(state.range(0));
    const fs::path dir = GenerateContactStation(pins, static_cast<int>(state.range(1)));
    const auto bench = StartBench(state, dir, true);
    if (!bench) {
        return;
    }
    const RunCost cost = RunExec(state, *bench, "ANALOG", false);
    const double tested = static_cast<double>(state.iterations()) * (pins + 1);
    state.counters["cpu_us_per_pin"] = cost.cpu / tested * 1e6;
    state.counters["solver_us_per_pin"] = cost.solver / tested * 1e6;
    state.counters["virtual_ms_per_pin"] = cost.virtualTime / tested * 1e3;
    state.counters["driver_calls_per_pin"] = cost.calls / tested;
    double groups = 0;
    for (const auto& r : kora::rvo::Runtime::instance().results()) {
        groups += r.name == "Short" ? 1 : 0;
    }
    state.counters["short_groups_per_run"] = groups / static_cast<double>(state.iterations());
    EndBench(dir);
}
BENCHMARK(BM_ContactTest)
    ->Args({100, 2})
    ->Args({1000, 20})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// A DIGITAL section of `vectors` input/output pairs on the logic example board
// (examples/ict/logic.*): the NAND and NOR through all four input states in turn. CPU time and
// virtual time per vector (one DI and one DO of two pins each).
fs::path GenerateVectorProgram(int vectors) {
    const fs::path dir =
        fs::temp_directory_path() /
        ("kora_vector_run_" + std::to_string(::getpid()) + "_" + std::to_string(vectors));
    fs::create_directories(dir);
    static const char* const kStates[4][2] = {
        {"LL", "HH"}, {"LH", "HL"}, {"HL", "HL"}, {"HH", "LL"}};
    std::ofstream program(dir / "logic.ict");
    program << "[1, \"SETUP\", \"SETUP\", \"\", \"\"]\n[100, \"GATES\", \"DIGITAL\", \"\", "
               "\"\"]\nVDI=5.0,0.0\nVDO=3.5,1.5\n";
    for (int v = 0; v < vectors; ++v) {
        program << "DI=" << kStates[v % 4][0] << ",\"A,B\"\nDO=" << kStates[v % 4][1]
                << ",\"Y2,Y3\"\n";
    }
    return dir;
}

// state.range(0): vectors of the section.
void BM_DigitalVectors(benchmark::State& state) {
    const int vectors = static_cast<int>(state.range(0));
    const fs::path dir = GenerateVectorProgram(vectors);
    const fs::path station = fs::path(KORA_EXAMPLES_DIR) / "ict";
    const auto bench = StartBench(state, (station / "logic_hardware.ini").string(),
                                  (station / "logic_system.ini").string(), "LOGIC",
                                  (dir / "logic.ict").string(), false);
    if (!bench) {
        return;
    }
    const RunCost cost = RunExec(state, *bench, "DIGITAL", true);
    const double run = static_cast<double>(state.iterations()) * vectors;
    state.counters["cpu_us_per_vector"] = cost.cpu / run * 1e6;
    state.counters["solver_us_per_vector"] = cost.solver / run * 1e6;
    state.counters["virtual_ms_per_vector"] = cost.virtualTime / run * 1e3;
    EndBench(dir);
}
BENCHMARK(BM_DigitalVectors)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace

BENCHMARK_MAIN();
