#!/usr/bin/env bash
# Sets up the machine, builds the release preset and runs the project's main job.
# Until kora-run exists this is the compare-step demo: the compare and trace steps run through
# the executive runtime and libkora, and the symbol check shows what libkora exports.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
build/release/bin/kora_tests --gtest_filter='CompareSteps.*:Exports.*:ExportedCalls.*'
echo
echo "libkora exports:"
nm -D --defined-only build/release/lib/libkora.so | awk '$2 == "T" { print "  " $3 }'
