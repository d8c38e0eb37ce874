#!/usr/bin/env bash
# Sets up, builds and runs every test. The serial tests spend most of their time waiting for
# read time-outs, not on the processor, so they run several to a core.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh "$@"
build_dir=${SOLVANE_BUILD_DIR:-build}
jobs=$(( $(nproc) * 3 ))
ctest --test-dir "$build_dir" --output-on-failure -j "$jobs"
