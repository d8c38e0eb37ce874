#!/usr/bin/env bash
# Sets up and builds Solvane, then shows it at work against four simulated filters.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
root=$(pwd)
bin="$root/${SOLVANE_BUILD_DIR:-build}/bin"

demo_dir=$(mktemp -d /tmp/solvane-demo-XXXXXX)
"$bin/solvane-sim" --speed 20 --port-dir "$demo_dir/ports" >"$demo_dir/sim.out" &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; rm -rf "$demo_dir"' EXIT
for _ in $(seq 50); do [ -e "$demo_dir/ports/COM4" ] && break; sleep 0.1; done
export SOLVANE_PORT_DIR="$demo_dir/ports"

step() {
  echo
  echo "== $1"
  shift
  echo "\$ SolvaneCommand $*"
  "$bin/SolvaneCommand" "$@" || echo "(exit status $?)"
}

echo "Four simulated filters (physics 20 x real time):"
cat "$demo_dir/sim.out"
step "Status of all four: asleep, cold, off their lines" COM1=STATUS COM2=STATUS COM3=STATUS COM4=STATUS
step "Start of the night: wake all four and wait until they are on band" COM1=WAKE COM2=WAKE COM3=WAKE COM4=WAKE WAIT=900
step "Status again: on band" COM1=STATUS COM2=STATUS COM3=STATUS COM4=STATUS
step "Shift hydrogen alpha 0.3 A to the blue wing and wait for it" COM1=-0.3 WAIT=900
step "Hydrogen alpha in the wing" COM1=STATUS
step "End of the night: all four to sleep" COM1=SLEEP COM2=SLEEP COM3=SLEEP COM4=SLEEP
