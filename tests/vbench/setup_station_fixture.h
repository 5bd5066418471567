// The station of the set-up driver tests (tests/vbench/data/setup_*): a virtual bench activated
// from setup_station.ini and the resource manager set up with a configuration that also names
// devices the station lacks.
#pragma once

#include <resmgr/resmgr_inspect.h>
#include <vbench/bench/virtual_bench.h>

#include <platform_types.h>
#include <resmgr.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace kora::vbench::testing {

inline std::filesystem::path SetupDataDir() {
    return std::filesystem::path(KORA_EXAMPLES_DIR).parent_path() / "tests" / "vbench" / "data";
}

// The status block of a class-library call, filled with rubbish so that a test sees whether the
// call cleared it.
struct StatusBlock {
    int32_t warning = 77;
    int32_t error = 77;
    char message[CLASSLIB_MESSAGE_SIZE] = "stale";
};

class SetupStation : public ::testing::Test {
  protected:
    void SetUp() override {
        resmgr::inspect::Reset();
        bench_ = std::make_shared<VirtualBench>();
        bench_->loadStation(LoadStation((SetupDataDir() / "setup_station.ini").string()));
        VirtualBench::activate(bench_);
        StatusBlock s;
        ASSERT_EQ(RESMGR_Setup(0, (SetupDataDir() / "setup_physical.ini").c_str(),
                               (SetupDataDir() / "setup_software.ini").c_str(), &s.warning,
                               &s.error, s.message),
                  0)
            << s.message;
        bench_->journal().clear();
    }
    void TearDown() override {
        StatusBlock s;
        RESMGR_Cleanup(0, &s.warning, &s.error, s.message);
        VirtualBench::activate(nullptr);
        resmgr::inspect::Reset();
    }

    std::shared_ptr<VirtualBench> bench_;
};

} // namespace kora::vbench::testing
