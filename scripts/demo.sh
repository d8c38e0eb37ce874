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

# Runs the console tool and says what its exit status means for this step: a script tests it, and
# for STATUS a 1 means "not every filter is on band", which a cold, sleeping filter is not.
step() {
  echo
  echo "== $1"
  shift
  echo "\$ SolvaneCommand $*"
  local status=0
  "$bin/SolvaneCommand" "$@" || status=$?
  case "$status:$*" in
    0:*STATUS*) echo "(exit status 0: every filter asked is on band)" ;;
    0:*) echo "(exit status 0: done)" ;;
    1:*STATUS*) echo "(exit status 1: not every filter asked is on band, as expected of sleeping filters)" ;;
    *) echo "(exit status $status: something went wrong; standard error above says what)" ;;
  esac
}

echo "Four simulated filters (physics 20 x real time):"
cat "$demo_dir/sim.out"

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  # A desktop: wake the filters and watch them heat towards their lines in SolvaneControl. Its
  # settings file names the four ports, so they reconnect at start; updates every second, the
  # calcium K panel zoomed wide.
  step "Wake all four" COM1=WAKE COM2=WAKE COM3=WAKE COM4=WAKE
  le32() { printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) $((($1 >> 24) & 255)))"; }
  {
    printf 'COM1\r\nCOM2\r\nCOM3\r\nCOM4\r\n10.0 30.0 10.0 10.0 1 0 0\r\n'
    # The window's placement: normal, at 40,40, tall enough for four panels and the menu bar.
    for v in 44 0 1 -1 -1 -1 -1 40 40 837 1100; do le32 "$v"; done
  } >"$demo_dir/solvane.ini"
  echo
  echo "== SolvaneControl: four live panels; close the window to end the demo"
  (cd "$demo_dir" && "$bin/SolvaneControl")
  exit 0
fi

echo "(No display: the console tool alone. On a desktop this demo opens SolvaneControl.)"
step "Status of all four: asleep, cold, off their lines" COM1=STATUS COM2=STATUS COM3=STATUS COM4=STATUS
step "Start of the night: wake all four and wait until they are on band" COM1=WAKE COM2=WAKE COM3=WAKE COM4=WAKE WAIT=900
step "Status again: on band" COM1=STATUS COM2=STATUS COM3=STATUS COM4=STATUS
step "Shift hydrogen alpha 0.3 A to the blue wing and wait for it" COM1=-0.3 WAIT=900
step "Hydrogen alpha in the wing" COM1=STATUS
step "End of the night: all four to sleep" COM1=SLEEP COM2=SLEEP COM3=SLEEP COM4=SLEEP
