// Parse, compile and sort of a maximal component file (5,120 sections, 4,096 vector items), as
// the load step does it, against reading the same file line by line without parsing.
// Goal: within 5x of the plain read.
#include "bench/channel_table.h"
#include "frame/errors.h"
#include "frame/text.h"
#include "ictx/program/component_load.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int kChannels = 64;
constexpr int kSections = 5120;
constexpr int kVectorItems = 4096;

kora::BenchRecord* Bench() {
    static kora::BenchRecord* bench = [] {
        auto* b = static_cast<kora::BenchRecord*>(std::calloc(1, sizeof(kora::BenchRecord)));
        for (int i = 0; i < kChannels; ++i) {
            kora::ChannelRecord& ch = b->channels[i];
            ch.kind = 1;
            ch.pinIndex = i;
            ch.channelNumber = 1001 + i;
            char name[16];
            std::snprintf(name, sizeof name, "N%02d", i);
            kora::CopyText(ch.appName, name);
            kora::CopyText(ch.deviceName, "MX1");
        }
        b->channelCount = b->matrixChannelCount = kChannels;
        kora::BuildChannelList(b);
        return b;
    }();
    return bench;
}

// A SETUP section that asks for sorting, resistors numbered backwards so the sort has work,
// and one digital section with the whole vector pool.
const fs::path& MaximalFile() {
    static fs::path path = [] {
        fs::path p = fs::temp_directory_path() / "kora_maximal_component_file.ict";
        std::ofstream out(p);
        out << "[1, \"S\", \"SETUP\"]\n#SORT\n";
        for (int i = 2; i < kSections; ++i) {
            const int index = kSections + 1 - i;
            char section[256];
            std::snprintf(section, sizeof section,
                          "[%d, \"R%d\", \"RESISTOR\", \"\", \"resistor %d\"]\n"
                          "TP=\"N%02d\",\"N%02d\"\nNV=%d\nUL=%d\nLL=%d\n",
                          index, index, index, i % kChannels, (i + 7) % kChannels, 100 + i, 110 + i,
                          90 + i);
            out << section;
        }
        out << "[" << kSections + 1 << ", \"U1\", \"DIGITAL\"]\n";
        for (int i = 0; i < kVectorItems; ++i) {
            out << "DI=" << (i % 2 ? "H" : "L") << ",\"N" << (i % 6) << "0\"\n";
        }
        return p;
    }();
    return path;
}

void BM_LoadMaximalFile(benchmark::State& state) {
    const fs::path& file = MaximalFile();
    std::vector<char> strings(kora::kStringBufferSize);
    char error[kora::kMessageSize] = {};
    for (auto _ : state) {
        state.PauseTiming();
        auto* model =
            static_cast<kora::ComponentModel*>(std::calloc(1, sizeof(kora::ComponentModel)));
        state.ResumeTiming();
        int32_t n = kora::LoadComponentProgram(Bench(), model, file.c_str(), nullptr,
                                               strings.data(), strings.size(), error);
        state.PauseTiming();
        std::free(model);
        state.ResumeTiming();
        if (n != kSections) {
            state.SkipWithError(error);
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(fs::file_size(file)));
}
BENCHMARK(BM_LoadMaximalFile)->Unit(benchmark::kMillisecond);

// A later load into the model of the bench, as LOAD_ICTX does it: the 10 MB of records are in
// memory already, the first load above pays for their pages.
void BM_ReloadMaximalFile(benchmark::State& state) {
    const fs::path& file = MaximalFile();
    std::vector<char> strings(kora::kStringBufferSize);
    char error[kora::kMessageSize] = {};
    auto* model = static_cast<kora::ComponentModel*>(std::calloc(1, sizeof(kora::ComponentModel)));
    for (auto _ : state) {
        int32_t n = kora::LoadComponentProgram(Bench(), model, file.c_str(), nullptr,
                                               strings.data(), strings.size(), error);
        if (n != kSections) {
            state.SkipWithError(error);
            break;
        }
    }
    std::free(model);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(fs::file_size(file)));
}
BENCHMARK(BM_ReloadMaximalFile)->Unit(benchmark::kMillisecond);

// The floor: the same file read line by line.
void BM_ReadLinesOnly(benchmark::State& state) {
    const fs::path& file = MaximalFile();
    for (auto _ : state) {
        std::ifstream in(file);
        std::string line;
        std::size_t lines = 0;
        while (std::getline(in, line)) {
            ++lines;
        }
        benchmark::DoNotOptimize(lines);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(fs::file_size(file)));
}
BENCHMARK(BM_ReadLinesOnly)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
