// The ICT example executed again and again in one process, as a station runs a shift: every
// execution after the first runs from the kept step records (phase 1) through a full clean-up
// and a new set-up, gives the first execution's verdicts, and the process does not grow.
// benchmarks/soak runs the same for 10,000 executions; the sanitizer build checks for leaks.
#include "support/example_run.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int kExecutions = 50;
// The bench's journal keeps the newest driver calls: by the end of the warm-up its ring is full.
constexpr int kWarmUp = 20;

long ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

TEST(Soak, IctExampleRunsAgainAndAgainInOneProcess) {
    const std::string file = (fs::path(KORA_EXAMPLES_DIR) / "ict" / "ict.yaml").string();
    std::string error;
    auto program = kora::run::LoadProgram(file, error);
    ASSERT_TRUE(program) << error;

    // The first execution alone, for the counts every later one must repeat.
    kora::run::RunOptions options;
    options.library = KORA_LIBKORA_PATH;
    options.echoResults = false;
    options.keepRuns = false;
    kora::run::RunReport first;
    ASSERT_TRUE(kora::run::RunProgram(*program, options, first, error)) << error;
    ASSERT_EQ(first.verdict, "PASSED");
    ASSERT_GT(first.passed, 0);

    std::vector<long> resident;
    options.repeat = kExecutions;
    options.afterExecution = [&](int) { resident.push_back(ResidentBytes()); };
    kora::run::RunReport soak;
    ASSERT_TRUE(kora::run::RunProgram(*program, options, soak, error)) << error;
    EXPECT_EQ(soak.verdict, "PASSED");
    EXPECT_EQ(soak.passed, kExecutions * first.passed);
    EXPECT_EQ(soak.failed, 0);
    EXPECT_EQ(soak.errors, 0);
    EXPECT_TRUE(soak.steps.empty()); // nothing of the executions kept
    ASSERT_EQ(resident.size(), static_cast<std::size_t>(kExecutions));
#if !defined(__SANITIZE_ADDRESS__)
    // Under the address sanitizer the freed memory sits in its quarantine; there the leak check
    // at exit does this job.
    const long growth = resident.back() - resident[kWarmUp - 1];
    EXPECT_LT(growth, 256 * 1024) << "after warm-up " << resident[kWarmUp - 1] << " bytes, after "
                                  << kExecutions << " executions " << resident.back();
#endif
}

} // namespace
