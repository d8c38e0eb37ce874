#!/usr/bin/env bash
# Many status polls against simulated filters with random faults, in the sanitizer build, so a
# crash, an out-of-bounds write or a leak stops it: scripts/soak.sh [POLLS] (default 10,000).
set -euo pipefail
cd "$(dirname "$0")/.."
export SOLVANE_BUILD_DIR=build-asan
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
bash scripts/setup.sh -DSOLVANE_SANITIZE=ON
SOLVANE_SOAK_POLLS=${1:-10000} build-asan/bin/test_soak
