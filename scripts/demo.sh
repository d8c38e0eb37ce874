#!/usr/bin/env bash
# Sets up and builds Solvane, then shows it at work.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build_dir=${SOLVANE_BUILD_DIR:-build}

echo
echo "== One status exchange against a filter on a pseudo-terminal, paced at 9600 baud"
"$build_dir/bin/bench_exchange"
