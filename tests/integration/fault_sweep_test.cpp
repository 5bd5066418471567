// Every driver call of every example program failed in turn: the run ends, reports the failure
// at most once, leaves no matrix relay closed and no device locked, and the next clean run of the
// same program in the same process gives the result of the first clean run.
#include "support/example_run.h"

#include <resmgr/resmgr_inspect.h>
#include <vbench/bench/virtual_bench.h>
#include <vbench/modules/matrix_card.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using kora::test::ExampleRun;
using kora::test::RunExample;

constexpr int32_t kInjectedCode = -0x3FFF0FA5;

// Every fault point costs a faulted and a clean run. A program whose run takes milliseconds of
// CPU is swept at every driver call; one whose run simulates seconds of board time (a second of
// CPU and more) at kHeavyPoints calls spread evenly over the run, so that the suite stays within
// its time. KORA_FULL_SWEEP=1 sweeps every call of every program. The sanitizer build starts from
// every 7th call.
#if defined(__SANITIZE_ADDRESS__)
constexpr uint64_t kBaseStride = 7;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr uint64_t kBaseStride = 7;
#else
constexpr uint64_t kBaseStride = 1;
#endif
#else
constexpr uint64_t kBaseStride = 1;
#endif
// Well below the heavy programs' runs, so that a faster machine does not move one across it:
// board.yaml's run takes about 0.17 s.
constexpr double kHeavyRunCpuSeconds = 0.05;
constexpr uint64_t kHeavyPoints = 6;

uint64_t SweepStride(uint64_t calls, double runCpuSeconds) {
    const char* full = std::getenv("KORA_FULL_SWEEP");
    if (full && std::string(full) == "1") {
        return 1;
    }
    if (runCpuSeconds < kHeavyRunCpuSeconds) {
        return kBaseStride;
    }
    return std::max(kBaseStride, (calls + kHeavyPoints - 1) / kHeavyPoints);
}

std::vector<std::string> ExamplePrograms() {
    std::vector<std::string> files;
    for (const char* dir : {"programs", "ict"}) {
        for (const auto& e : fs::directory_iterator(fs::path(KORA_EXAMPLES_DIR) / dir)) {
            if (e.path().extension() == ".yaml") {
                files.push_back(fs::relative(e.path(), KORA_EXAMPLES_DIR).string());
            }
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// What is left switched after a run: closed relays of the matrix cards, held device locks.
std::vector<std::string> LeftOver() {
    std::vector<std::string> left = kora::resmgr::inspect::LockedDevices();
    for (auto& name : left) {
        name = "locked " + name;
    }
    auto bench = kora::vbench::VirtualBench::active();
    if (!bench) {
        return left;
    }
    using kora::vbench::MatrixCard;
    for (const MatrixCard* card : bench->matrixCards()) {
        for (int pin = 1; pin <= MatrixCard::kPins; ++pin) {
            bool closed = card->pinGround(pin);
            for (int line = 0; line < MatrixCard::kLines; ++line) {
                closed = closed || card->crosspoint(pin, line);
            }
            if (closed) {
                left.push_back(card->name() + " P" + std::to_string(pin));
            }
        }
        for (int line = 0; line < MatrixCard::kLines; ++line) {
            if (card->lineOnBus(line)) {
                left.push_back(card->name() + " " + MatrixCard::lineName(line));
            }
        }
    }
    return left;
}

// The first line in which a clean run's signature differs from the reference, for the report.
std::string FirstDifference(const std::string& want, const std::string& got) {
    std::size_t a = 0, b = 0;
    while (a < want.size() || b < got.size()) {
        const std::size_t ea = std::min(want.find('\n', a), want.size());
        const std::size_t eb = std::min(got.find('\n', b), got.size());
        if (want.compare(a, ea - a, got, b, eb - b) != 0) {
            return "'" + got.substr(b, eb - b) + "' instead of '" + want.substr(a, ea - a) + "'";
        }
        a = ea + 1;
        b = eb + 1;
    }
    return {};
}

std::string Joined(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& s : items) {
        out += (out.empty() ? "" : ", ") + s;
    }
    return out;
}

class FaultSweep : public ::testing::TestWithParam<std::string> {};

TEST_P(FaultSweep, EveryDriverCallFailsCleanly) {
    const std::string file = (fs::path(KORA_EXAMPLES_DIR) / GetParam()).string();
    // Two executions in one run: the second runs from the kept step records (phase 1), after
    // the first's full clean-up, and must give what the first gave.
    const ExampleRun twice = RunExample(file, nullptr, 2);
    ASSERT_TRUE(twice.ran) << twice.error;
    ASSERT_EQ(twice.executions.size(), 2u);
    EXPECT_EQ(twice.executions[1], twice.executions[0]);
    ASSERT_TRUE(LeftOver().empty()) << Joined(LeftOver());

    const std::clock_t started = std::clock();
    const ExampleRun reference = RunExample(file, nullptr);
    ASSERT_TRUE(reference.ran) << reference.error;
    const double seconds = static_cast<double>(std::clock() - started) / CLOCKS_PER_SEC;
    const uint64_t calls = reference.driverCalls;
    ASSERT_GT(calls, 0u);
    const uint64_t stride = SweepStride(calls, seconds);

    uint64_t swept = 0, reported = 0;
    for (uint64_t k = 1; k <= calls; k += stride) {
        const std::string message = "injected fault at call " + std::to_string(k);
        const kora::vbench::FaultRule rule{"", k, false, kInjectedCode, message};
        const ExampleRun faulted = RunExample(file, &rule);
        ASSERT_TRUE(faulted.ran) << faulted.error;
        ++swept;
        const int shown = faulted.AlertsNaming(message);
        EXPECT_LE(shown, 1) << GetParam() << ": fault at call " << k << " (" << faulted.failedCall
                            << ") shown " << shown << " times";
        reported += faulted.Mentions(message) ? 1 : 0;
        const std::string left = Joined(LeftOver());
        EXPECT_TRUE(left.empty()) << GetParam() << ": fault at call " << k << " ("
                                  << faulted.failedCall << ") leaves " << left;
        const ExampleRun next = RunExample(file, nullptr);
        ASSERT_TRUE(next.ran) << next.error;
        EXPECT_TRUE(next.signature == reference.signature)
            << GetParam() << ": clean run after the fault at call " << k << " ("
            << faulted.failedCall
            << ") differs: " << FirstDifference(reference.signature, next.signature);
    }
    std::printf("%s: %llu driver calls in %.3f s of CPU, %llu fault points swept (every %llu), "
                "%llu reported with the driver's message\n",
                GetParam().c_str(), static_cast<unsigned long long>(calls), seconds,
                static_cast<unsigned long long>(swept), static_cast<unsigned long long>(stride),
                static_cast<unsigned long long>(reported));
}

INSTANTIATE_TEST_SUITE_P(Examples, FaultSweep, ::testing::ValuesIn(ExamplePrograms()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name;
                             for (char c : info.param) {
                                 name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

} // namespace
