// The ICT example executed 10,000 times in one process (every execution after the first from
// the kept step records, through a full clean-up and a new set-up each time, the bench journalling
// its driver calls as in the tests): the resident memory after the warm-up and at the end, and the
// executions per second.
//   build/release/bin/soak [EXECUTIONS]
// Exit status 1 when the resident memory grew by 1 MB or more after the warm-up, or when an
// execution did not pass.
#include <program.h>
#include <runner.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

constexpr int kDefaultExecutions = 10000;
constexpr int kWarmUp = 100;
constexpr long kAllowedGrowth = 1024 * 1024;

long ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

} // namespace

int main(int argc, char** argv) {
    const int executions = argc > 1 ? std::atoi(argv[1]) : kDefaultExecutions;
    if (executions <= kWarmUp) {
        std::fprintf(stderr, "soak: more than %d executions, please\n", kWarmUp);
        return 2;
    }
    std::string error;
    const auto program = kora::run::LoadProgram(KORA_EXAMPLES_DIR "/ict/ict.yaml", error);
    if (!program) {
        std::fprintf(stderr, "soak: %s\n", error.c_str());
        return 2;
    }
    kora::run::RunOptions options;
    options.library = kora::run::DefaultLibraryPath();
    options.repeat = executions;
    options.echoResults = false;
    options.keepRuns = false;
    long start = 0, warm = 0;
    auto t0 = std::chrono::steady_clock::now();
    options.afterExecution = [&](int n) {
        if (n == 1) {
            start = ResidentBytes();
        } else if (n == kWarmUp) {
            warm = ResidentBytes();
            t0 = std::chrono::steady_clock::now();
        }
    };
    kora::run::RunReport report;
    if (!kora::run::RunProgram(*program, options, report, error)) {
        std::fprintf(stderr, "soak: %s\n", error.c_str());
        return 2;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const long end = ResidentBytes();
    const long growth = end - warm;
    std::printf("executions          %d (%s: %d passed, %d failed, %d errors)\n", executions,
                report.verdict.c_str(), report.passed, report.failed, report.errors);
    std::printf("resident after 1    %.2f MB\n", static_cast<double>(start) / 1048576);
    std::printf("resident after %-4d %.2f MB\n", kWarmUp, static_cast<double>(warm) / 1048576);
    std::printf("resident at the end %.2f MB (growth after warm-up %+.1f kB)\n",
                static_cast<double>(end) / 1048576, static_cast<double>(growth) / 1024);
    std::printf("executions/s        %.1f\n", (executions - kWarmUp) / seconds);
    return growth < kAllowedGrowth && report.exitStatus == 0 ? 0 : 1;
}
