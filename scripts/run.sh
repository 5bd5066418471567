#!/usr/bin/env bash
# Sets up the machine, builds the release preset and runs the project's main job: the whole test
# of the example station's board (in-circuit test, power-up, functional checks) through the
# command-line executive kora-run, with its JSON, JUnit, SQLite and HTML reports.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
mkdir -p build/reports
build/release/bin/kora-run examples/programs/board.yaml \
  --json build/reports/board.json --junit build/reports/board.xml --db build/reports/runs.db \
  --html build/reports/board.html
