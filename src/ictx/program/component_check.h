// A compile check of a component file outside of a test program: what a load would report.
#pragma once

#include "bench/bench.h"

#include <cstdio>

namespace kora {

constexpr int kCheckPassed = 0;
constexpr int kCheckFailed = 2;

// Loads `fileName` against the channel table of `bench` (null: an empty table) as the load step
// does and writes to `out` either the component count of each class that has components and the
// total, or the error report the load step would show. Returns kCheckPassed or kCheckFailed.
int CheckComponentFile(const BenchRecord* bench, const char* fileName, std::FILE* out);

} // namespace kora
