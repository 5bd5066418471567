#!/usr/bin/env bash
# Sets up the machine, builds the release preset and runs the project's main job: the example
# station's program through the command-line executive kora-run, with its JSON and JUnit reports.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
mkdir -p build/reports
build/release/bin/kora-run examples/programs/station.yaml --log - \
  --json build/reports/station.json --junit build/reports/station.xml --db build/reports/runs.db
