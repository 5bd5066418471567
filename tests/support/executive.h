// Test helpers around the executive runtime: a fixture that starts every test from a clean
// executive and no bench context, and short ways to call step methods.
#pragma once

#include "frame/bench_context.h"

#include <executive/rvo_runtime.h>
#include <kora/step_methods.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kora::test {

class ExecutiveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        rvo().reset();
        FreeBenchContext();
    }
    void TearDown() override {
        FreeBenchContext();
        rvo().reset();
    }

    static rvo::Runtime& rvo() { return rvo::Runtime::instance(); }

    // Results recorded since the last reset.
    static std::vector<rvo::Result> results() { return rvo().results(); }
    static rvo::Result lastResult() {
        auto r = results();
        EXPECT_FALSE(r.empty());
        return r.empty() ? rvo::Result{} : r.back();
    }
    static std::vector<rvo::Alert> alerts() { return rvo().alerts(); }
};

} // namespace kora::test
