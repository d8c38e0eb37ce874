#!/usr/bin/env bash
# SolvaneControl on a real X display (Xvfb) against two simulated filters: the main window
# appears under its title, and SIGTERM closes it as Exit does, writing the settings file.
set -euo pipefail
bin=$1
work=$(mktemp -d /tmp/solvane-smoke-XXXXXX)
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

"$bin/solvane-sim" --port-dir "$work/ports" --filters 2 >"$work/sim.out" &
sim_pid=$!
for _ in $(seq 50); do [ -e "$work/ports/COM2" ] && break; sleep 0.1; done
printf 'COM1\r\nCOM2\r\n\r\n\r\n10.0 10.0 10.0 10.0 1 0 1\r\n' >"$work/solvane.ini"

cd "$work"
export SOLVANE_PORT_DIR="$work/ports" BIN="$bin"
xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
  "$BIN/SolvaneControl" 2>"control.err" &
  pid=$!
  for _ in $(seq 150); do
    xwininfo -root -tree 2>/dev/null | grep -q "\"Velmora Solvane Control\"" && break
    sleep 0.1
  done
  xwininfo -root -tree | grep "\"Velmora Solvane Control\"" || { echo "no main window"; kill -9 $pid; exit 1; }
  kill -TERM $pid
  wait $pid
' || { cat "$work/control.err" >&2; exit 1; }

# The settings were written at the close: the two ports and a placement block after line 5.
size=$(stat -c %s solvane.ini)
head -c 12 solvane.ini | grep -q "COM1" || { echo "settings not written"; exit 1; }
[ "$size" -ge $((16 + 26 + 44)) ] || { echo "no placement block in solvane.ini ($size bytes)"; exit 1; }
echo "main window shown, closed by SIGTERM, settings written ($size bytes)"
