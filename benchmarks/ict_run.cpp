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

enum Part { kResistors, kCapacitors };

// The station files of `count` 10 k resistors (or 1 uF capacitors), each on two needles of its
// own.
fs::path GenerateStation(int count, Part part) {
    const fs::path dir = fs::temp_directory_path() / ("kora_ict_run_" + std::to_string(::getpid()) +
                                                      "_" + std::to_string(count));
    fs::create_directories(dir);
    const int cards = (2 * count + kPinsPerCard - 1) / kPinsPerCard;
    std::ofstream hw(dir / "hardware.ini"), sw(dir / "system.ini"), fixture(dir / "fixture.txt"),
        board(dir / "board.cir"), program(dir / "board.ict");
    for (int c = 1; c <= cards; ++c) {
        hw << "[device->MX" << c << "]\nType = SM160\nResourceDesc = CAN0::0::" << c << "\n\n";
    }
    hw << "[device->PSAM]\nType = PSAM\nResourceDesc = CAN0::1::1\n\n"
       << "[device->PICT]\nType = PICT\nResourceDesc = CAN0::1::2\n\n"
       << "[VirtualBench]\nBoard = board.cir\nFixture = fixture.txt\nCartridges = SSC\n"
       << "RelayResistance = 0.2\nBusResistance = 0.05\nDebounceTime = 500u\n"
       << "SettlingTime = 2m\nNoiseSeed = 1\n";
    sw << "[LogicalNames]\nICT = BENCH_ICT\n\n[BENCH_ICT]\nType = BENCH\nAppChannelTable = "
          "CHANNELS\nKORAsetupROUTE = 0\nKORAsetupICTX = 1\nICTDevice = PSAM\nICTDevice2 = PICT\n";
    for (int c = 1; c <= cards; ++c) {
        sw << "SwitchDevice" << c << " = MX" << c << "\n";
    }
    sw << "\n[CHANNELS]\n";
    board << "Generated board of identical resistors\n";
    program << "[1, \"SETUP\", \"SETUP\", \"\", \"\"]\n";
    for (int i = 0; i < count; ++i) {
        for (int end = 0; end < 2; ++end) {
            const int pin = 2 * i + end;
            const char* side = end ? "B" : "A";
            sw << "R" << i << "_" << side << " = MX" << pin / kPinsPerCard + 1 << "!P"
               << pin % kPinsPerCard + 1 << "\n";
            fixture << "MX" << pin / kPinsPerCard + 1 << " P" << pin % kPinsPerCard + 1 << " n" << i
                    << (end ? "b" : "a") << "\n";
        }
        if (part == kCapacitors) {
            board << "C" << i << " n" << i << "a n" << i << "b 1u\n";
            program << "[" << 10 + i << ", \"C" << i << "\", \"CAPACITOR\", \"\", \"\"]\nTP=\"R"
                    << i << "_A\"\nTP=\"R" << i << "_B\"\nMM=\"CP\"\nNV=1e-6\nF=1000\nMA=1\n";
            continue;
        }
        board << "R" << i << " n" << i << "a n" << i << "b 10k\n";
        program << "[" << 10 + i << ", \"R" << i << "\", \"RESISTOR\", \"\", \"\"]\nTP=\"R" << i
                << "_A\"\nTP=\"R" << i << "_B\"\nMM=\"V\"\nNV=10000\nNV+=1\nNV-=-1\nV=1\n"
                << "C=0.001\nCR=0.0002\n";
    }
    board << ".end\n";
    return dir;
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

// state.range(0): parts on the board; state.range(1): the Part. Each iteration runs EXEC_ICTX
// once; the first run declares the components (phase 2), the later ones measure from their kept
// records.
void BM_ExecIctx(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    const fs::path dir = GenerateStation(count, static_cast<Part>(state.range(1)));
    auto& rvo = kora::rvo::Runtime::instance();
    rvo.reset();
    rvo.setKeepResults(false);
    kora::resmgr::inspect::Reset();
    auto bench = std::make_shared<VirtualBench>();
    bench->loadStation(kora::vbench::LoadStation((dir / "hardware.ini").string()));
    VirtualBench::activate(bench);
    bench->journal().setRecording(false);
    const std::string sw = (dir / "system.ini").string(), hw = (dir / "hardware.ini").string();
    const std::string file = (dir / "board.ict").string();
    if (SETUP_KORA(1, "Setup", 0x100, 0, "", "ICT", 1, sw.c_str(), hw.c_str()) != 0 ||
        LOAD_ICTX(2, "Load", 0x200, 0, "", file.c_str(), 1) != 0) {
        state.SkipWithError(SetupError(rvo).c_str());
        return;
    }
    double cpu = 0, solver = 0, virtualTime = 0;
    std::size_t calls = 0;
    for (auto _ : state) {
        const double cpu0 = CpuSeconds(), solver0 = bench->solverSeconds();
        const double t0 = rvo_TSTAMP();
        const std::size_t calls0 = bench->journal().total();
        const long result = EXEC_ICTX(3, "Run", 0x300, 0, "", "ANALOG", 1, 1000, "");
        cpu += CpuSeconds() - cpu0;
        solver += bench->solverSeconds() - solver0;
        virtualTime += rvo_TSTAMP() - t0;
        calls += bench->journal().total() - calls0;
        if (result < -1) {
            state.SkipWithError("EXEC_ICTX failed");
            break;
        }
    }
    const double components = static_cast<double>(state.iterations()) * count;
    state.counters["cpu_us_per_component"] = cpu / components * 1e6;
    state.counters["solver_us_per_component"] = solver / components * 1e6;
    state.counters["cpu_us_without_solver"] = (cpu - solver) / components * 1e6;
    state.counters["virtual_ms_per_component"] = virtualTime / components * 1e3;
    state.counters["driver_calls_per_component"] = static_cast<double>(calls) / components;
    CLEANUP_KORA(4, "Cleanup", 0x400, 0, "", "");
    kora::FreeBenchContext();
    VirtualBench::activate(nullptr);
    rvo.reset();
    fs::remove_all(dir);
}
BENCHMARK(BM_ExecIctx)
    ->Args({100, kResistors})
    ->Args({1000, kResistors})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
// The largest isolated board the set-up takes: 2,480 resistors on 31 SM160 cards (it finds no
// matrix card for a channel of the 32nd).
BENCHMARK(BM_ExecIctx)->Args({2480, kResistors})->Unit(benchmark::kMillisecond)->Iterations(1);
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
// so the largest board fills the bench's 5,120 channels.
constexpr int kPartsPerCell = 4;

fs::path GenerateConnectedStation(int cells) {
    const fs::path dir =
        fs::temp_directory_path() /
        ("kora_connected_run_" + std::to_string(::getpid()) + "_" + std::to_string(cells));
    fs::create_directories(dir);
    const int nets = 2 * cells + 1; // A of the first cell, then C and B of each
    const int needles = nets + 1;   // and ground
    const int cards = (needles + kPinsPerCard - 1) / kPinsPerCard;
    std::ofstream hw(dir / "hardware.ini"), sw(dir / "system.ini"), fixture(dir / "fixture.txt"),
        board(dir / "board.cir"), program(dir / "board.ict");
    for (int c = 1; c <= cards; ++c) {
        hw << "[device->MX" << c << "]\nType = SM160\nResourceDesc = CAN0::0::" << c << "\n\n";
    }
    hw << "[device->PSAM]\nType = PSAM\nResourceDesc = CAN0::1::1\n\n"
       << "[device->PICT]\nType = PICT\nResourceDesc = CAN0::1::2\n\n"
       << "[VirtualBench]\nBoard = board.cir\nFixture = fixture.txt\nCartridges = SSC\n"
       << "RelayResistance = 0.2\nBusResistance = 0.05\nDebounceTime = 500u\n"
       << "SettlingTime = 2m\nNoiseSeed = 1\n";
    sw << "[LogicalNames]\nICT = BENCH_ICT\n\n[BENCH_ICT]\nType = BENCH\nAppChannelTable = "
          "CHANNELS\nKORAsetupROUTE = 0\nKORAsetupICTX = 1\nICTDevice = PSAM\nICTDevice2 = PICT\n";
    for (int c = 1; c <= cards; ++c) {
        sw << "SwitchDevice" << c << " = MX" << c << "\n";
    }
    sw << "\n[CHANNELS]\n";
    for (int n = 0; n < needles; ++n) {
        const std::string net = n == 0 ? "0" : "n" + std::to_string(n);
        sw << "T" << n << " = MX" << n / kPinsPerCard + 1 << "!P" << n % kPinsPerCard + 1 << "\n";
        fixture << "MX" << n / kPinsPerCard + 1 << " P" << n % kPinsPerCard + 1 << " " << net
                << "\n";
    }
    board << "Generated connected board\n";
    program << "[1, \"SETUP\", \"SETUP\", \"\", \"\"]\n";
    int index = 10;
    const auto resistor = [&](const std::string& name, int a, int b, int guard, double ohms) {
        board << name << " " << (a ? "n" + std::to_string(a) : "0") << " "
              << (b ? "n" + std::to_string(b) : "0") << " " << ohms << "\n";
        program << "[" << index++ << ", \"" << name << "\", \"RESISTOR\", \"\", \"\"]\nTP=\"T" << a
                << "\"\nTP=\"T" << b << "\"\n";
        if (guard) {
            program << "GP=\"T" << guard << "\"\n";
        }
        // The unguarded parts see the rest of the board in parallel: wide limits.
        program << "MM=\"V\"\nNV=" << ohms << "\nNV+=" << (guard ? 1 : 100)
                << "\nNV-=" << (guard ? -1 : -100) << "\nV=1\nC=0.001\nCR=0.0002\n";
    };
    for (int k = 0; k < cells; ++k) {
        const int a = 2 * k + 1, c = a + 1, b = a + 2;
        resistor("R" + std::to_string(k), a, b, c, 10000);
        resistor("RA" + std::to_string(k), a, c, 0, 2200);
        resistor("RB" + std::to_string(k), c, b, 0, 4700);
        resistor("RG" + std::to_string(k), b, 0, 0, 47000);
    }
    board << ".end\n";
    return dir;
}

// state.range(0): cells of the connected board; CPU time per resistor as for the isolated ones.
void BM_ExecIctxConnected(benchmark::State& state) {
    const int cells = static_cast<int>(state.range(0));
    const int count = kPartsPerCell * cells;
    const fs::path dir = GenerateConnectedStation(cells);
    auto& rvo = kora::rvo::Runtime::instance();
    rvo.reset();
    rvo.setKeepResults(false);
    kora::resmgr::inspect::Reset();
    auto bench = std::make_shared<VirtualBench>();
    bench->loadStation(kora::vbench::LoadStation((dir / "hardware.ini").string()));
    VirtualBench::activate(bench);
    bench->journal().setRecording(false);
    const std::string sw = (dir / "system.ini").string(), hw = (dir / "hardware.ini").string();
    const std::string file = (dir / "board.ict").string();
    if (SETUP_KORA(1, "Setup", 0x100, 0, "", "ICT", 1, sw.c_str(), hw.c_str()) != 0 ||
        LOAD_ICTX(2, "Load", 0x200, 0, "", file.c_str(), 1) != 0) {
        state.SkipWithError(SetupError(rvo).c_str());
        return;
    }
    double cpu = 0, solver = 0;
    for (auto _ : state) {
        const double cpu0 = CpuSeconds(), solver0 = bench->solverSeconds();
        const long result = EXEC_ICTX(3, "Run", 0x300, 0, "", "ANALOG", 1, 1000, "");
        cpu += CpuSeconds() - cpu0;
        solver += bench->solverSeconds() - solver0;
        if (result < -1) {
            state.SkipWithError("EXEC_ICTX failed");
            break;
        }
    }
    const double components = static_cast<double>(state.iterations()) * count;
    state.counters["parts"] = count;
    state.counters["cpu_us_per_component"] = cpu / components * 1e6;
    state.counters["solver_us_per_component"] = solver / components * 1e6;
    state.counters["cpu_us_without_solver"] = (cpu - solver) / components * 1e6;
    CLEANUP_KORA(4, "Cleanup", 0x400, 0, "", "");
    kora::FreeBenchContext();
    VirtualBench::activate(nullptr);
    rvo.reset();
    fs::remove_all(dir);
}
BENCHMARK(BM_ExecIctxConnected)->Arg(25)->Arg(250)->Unit(benchmark::kMillisecond)->Iterations(2);
// The largest connected board a bench holds: its 5,120 component sections (1,279 cells, 5,116
// parts and the set-up) on 2,559 nets and ground.
BENCHMARK(BM_ExecIctxConnected)->Arg(1279)->Unit(benchmark::kMillisecond)->Iterations(1);

// The contact and short test of a board of `pins` nets, one needle each and 1 k to the board's
// ground (which has a needle of its own), with `shorts` pairs of nets bridged by 0.1 ohm: one
// CONTACT component with both tests, run by EXEC_ICTX. The ground needle stays out of the short
// test: a thousand 1 k resistors join it to every other net by 1 ohm.
fs::path GenerateContactStation(int pins, int shorts) {
    const fs::path dir =
        fs::temp_directory_path() /
        ("kora_contact_run_" + std::to_string(::getpid()) + "_" + std::to_string(pins));
    fs::create_directories(dir);
    const int needles = pins + 1;
    const int cards = (needles + kPinsPerCard - 1) / kPinsPerCard;
    std::ofstream hw(dir / "hardware.ini"), sw(dir / "system.ini"), fixture(dir / "fixture.txt"),
        board(dir / "board.cir"), program(dir / "board.ict");
    for (int c = 1; c <= cards; ++c) {
        hw << "[device->MX" << c << "]\nType = SM160\nResourceDesc = CAN0::0::" << c << "\n\n";
    }
    hw << "[device->PSAM]\nType = PSAM\nResourceDesc = CAN0::1::1\n\n"
       << "[VirtualBench]\nBoard = board.cir\nFixture = fixture.txt\n"
       << "RelayResistance = 0.2\nBusResistance = 0.05\nDebounceTime = 500u\n"
       << "SettlingTime = 2m\nNoiseSeed = 1\n";
    sw << "[LogicalNames]\nICT = BENCH_ICT\n\n[BENCH_ICT]\nType = BENCH\nAppChannelTable = "
          "CHANNELS\nKORAsetupROUTE = 0\nKORAsetupICTX = 1\nICTDevice = PSAM\n";
    for (int c = 1; c <= cards; ++c) {
        sw << "SwitchDevice" << c << " = MX" << c << "\n";
    }
    sw << "\n[CHANNELS]\n";
    board << "Generated board of nets to ground, some bridged\n";
    for (int n = 0; n < needles; ++n) {
        const std::string net = n == 0 ? "0" : "n" + std::to_string(n);
        sw << "T" << n << " = MX" << n / kPinsPerCard + 1 << "!P" << n % kPinsPerCard + 1 << "\n";
        fixture << "MX" << n / kPinsPerCard + 1 << " P" << n % kPinsPerCard + 1 << " " << net
                << "\n";
        if (n > 0) {
            board << "R" << n << " " << net << " 0 1k\n";
        }
    }
    const int step = pins / std::max(shorts, 1);
    for (int k = 0; k < shorts; ++k) {
        board << "RS" << k << " n" << 1 + k * step << " n" << 2 + k * step << " 0.1\n";
    }
    board << ".end\n";
    program << "[1, \"SETUP\", \"SETUP\", \"\", \"\"]\n[2, \"PINS\", \"CONTACT\", \"\", "
               "\"\"]\nMM=\"NN-\"\nXS=\"T0\"\n";
    return dir;
}

// state.range(0): pins, state.range(1): shorts.
void BM_ContactTest(benchmark::State& state) {
    const int pins = static_cast<int>(state.range(0));
    const fs::path dir = GenerateContactStation(pins, static_cast<int>(state.range(1)));
    auto& rvo = kora::rvo::Runtime::instance();
    rvo.reset(); // results kept: the short groups found are counted
    kora::resmgr::inspect::Reset();
    auto bench = std::make_shared<VirtualBench>();
    bench->loadStation(kora::vbench::LoadStation((dir / "hardware.ini").string()));
    VirtualBench::activate(bench);
    bench->journal().setRecording(false);
    const std::string sw = (dir / "system.ini").string(), hw = (dir / "hardware.ini").string();
    const std::string file = (dir / "board.ict").string();
    if (SETUP_KORA(1, "Setup", 0x100, 0, "", "ICT", 1, sw.c_str(), hw.c_str()) != 0 ||
        LOAD_ICTX(2, "Load", 0x200, 0, "", file.c_str(), 1) != 0) {
        state.SkipWithError(SetupError(rvo).c_str());
        return;
    }
    double cpu = 0, solver = 0, virtualTime = 0;
    std::size_t calls = 0;
    for (auto _ : state) {
        const double cpu0 = CpuSeconds(), solver0 = bench->solverSeconds();
        const double t0 = rvo_TSTAMP();
        const std::size_t calls0 = bench->journal().total();
        const long result = EXEC_ICTX(3, "Run", 0x300, 0, "", "ANALOG", 1, 1000, "");
        cpu += CpuSeconds() - cpu0;
        solver += bench->solverSeconds() - solver0;
        virtualTime += rvo_TSTAMP() - t0;
        calls += bench->journal().total() - calls0;
        if (result < -1) {
            state.SkipWithError("EXEC_ICTX failed");
            break;
        }
    }
    const double tested = static_cast<double>(state.iterations()) * (pins + 1);
    state.counters["cpu_us_per_pin"] = cpu / tested * 1e6;
    state.counters["solver_us_per_pin"] = solver / tested * 1e6;
    state.counters["virtual_ms_per_pin"] = virtualTime / tested * 1e3;
    state.counters["driver_calls_per_pin"] = static_cast<double>(calls) / tested;
    double groups = 0;
    for (const auto& r : rvo.results()) {
        groups += r.name == "Short" ? 1 : 0;
    }
    state.counters["short_groups_per_run"] = groups / static_cast<double>(state.iterations());
    CLEANUP_KORA(4, "Cleanup", 0x400, 0, "", "");
    kora::FreeBenchContext();
    VirtualBench::activate(nullptr);
    rvo.reset();
    fs::remove_all(dir);
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
    auto& rvo = kora::rvo::Runtime::instance();
    rvo.reset();
    rvo.setKeepResults(false);
    kora::resmgr::inspect::Reset();
    auto bench = std::make_shared<VirtualBench>();
    const std::string hw = (station / "logic_hardware.ini").string();
    const std::string sw = (station / "logic_system.ini").string();
    bench->loadStation(kora::vbench::LoadStation(hw));
    VirtualBench::activate(bench);
    bench->journal().setRecording(false);
    const std::string file = (dir / "logic.ict").string();
    if (SETUP_KORA(1, "Setup", 0x100, 0, "", "LOGIC", 1, sw.c_str(), hw.c_str()) != 0 ||
        LOAD_ICTX(2, "Load", 0x200, 0, "", file.c_str(), 1) != 0) {
        state.SkipWithError(SetupError(rvo).c_str());
        return;
    }
    double cpu = 0, solver = 0, virtualTime = 0;
    for (auto _ : state) {
        const double cpu0 = CpuSeconds(), solver0 = bench->solverSeconds();
        const double t0 = rvo_TSTAMP();
        const long result = EXEC_ICTX(3, "Run", 0x300, 0, "", "DIGITAL", 1, 1000, "");
        cpu += CpuSeconds() - cpu0;
        solver += bench->solverSeconds() - solver0;
        virtualTime += rvo_TSTAMP() - t0;
        if (result != 0) {
            state.SkipWithError("a vector failed");
            break;
        }
    }
    const double run = static_cast<double>(state.iterations()) * vectors;
    state.counters["cpu_us_per_vector"] = cpu / run * 1e6;
    state.counters["solver_us_per_vector"] = solver / run * 1e6;
    state.counters["virtual_ms_per_vector"] = virtualTime / run * 1e3;
    CLEANUP_KORA(4, "Cleanup", 0x400, 0, "", "");
    kora::FreeBenchContext();
    VirtualBench::activate(nullptr);
    rvo.reset();
    fs::remove_all(dir);
}
BENCHMARK(BM_DigitalVectors)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace

BENCHMARK_MAIN();
