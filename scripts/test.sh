#!/usr/bin/env bash
# Sets up the machine, builds one preset (default: release) and runs the whole test suite.
#   scripts/test.sh [release|debug|asan|tsan]
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-release}"
./scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset"
