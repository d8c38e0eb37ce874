#!/usr/bin/env bash
# SolvaneControl as a process under faults no in-process test can stage:
#   1. killed with SIGKILL while logging: every row logged before is in solvane.csv, whole;
#   2. started in a read-only directory with logging on: it runs, tells the observer, closes
#      cleanly on SIGTERM, and leaves the old settings file as it was.
set -euo pipefail
bin=$1
work=$(mktemp -d /tmp/solvane-faults-XXXXXX)
chmod 755 "$work"
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  chmod -R u+w "$work" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"

"$bin/solvane-sim" --port-dir "$work/ports" --filters 2 >"$work/sim.out" &
sim_pid=$!
for _ in $(seq 50); do [ -e "$work/ports/COM2" ] && break; sleep 0.1; done
export SOLVANE_PORT_DIR="$work/ports"

# 1. SIGKILL while logging every second.
mkdir "$work/kill" && cd "$work/kill"
printf 'COM1\r\nCOM2\r\n\r\n\r\n10.0 10.0 10.0 10.0 1 1 0\r\n' >solvane.ini
"$bin/SolvaneControl" 2>control.err &
pid=$!
rows=0
for _ in $(seq 150); do
  rows=$(grep -c '^[0-9]' solvane.csv 2>/dev/null || true)
  [ "${rows:-0}" -ge 3 ] && break
  sleep 0.1
done
seen=$rows
kill -KILL $pid
wait $pid 2>/dev/null || true
[ "$seen" -ge 3 ] || { echo "only $seen rows were logged"; cat control.err; exit 1; }
after=$(grep -c '^[0-9]' solvane.csv)
[ "$after" -ge "$seen" ] || { echo "rows lost: $seen seen, $after after the kill"; exit 1; }
# Every line is whole: header and rows end in CR LF, and every row holds 18 fields.
[ "$(tail -c 2 solvane.csv | od -An -tx1 | tr -d ' ')" = "0d0a" ] || { echo "a row was cut"; exit 1; }
bad=$(grep '^[0-9]' solvane.csv | tr -d '\r' | awk -F'"' '{ gsub(/"[^"]*"/, "N") } 1' | awk -F, 'NF != 18' | wc -l)
[ "$bad" -eq 0 ] || { echo "$bad rows with a wrong number of fields"; exit 1; }
echo "SIGKILL while logging: $seen rows seen before the kill, $after in the file, all whole"

# 2. A read-only directory: no log can be opened and no settings written.
mkdir "$work/readonly" && cd "$work/readonly"
cp "$bin/SolvaneControl" "$work/SolvaneControl"
printf 'COM1\r\nCOM2\r\n\r\n\r\n10.0 10.0 10.0 10.0 1 1 0\r\n' >solvane.ini
before=$(md5sum solvane.ini)
chmod 444 solvane.ini
chmod 555 .
run_as=()
if [ "$(id -u)" -eq 0 ]; then
  # root writes anywhere; the observer's own account does not
  chown nobody "$XDG_RUNTIME_DIR"
  run_as=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
fi
"${run_as[@]}" "$work/SolvaneControl" 2>"$work/readonly.err" &
pid=$!
sleep 3
kill -TERM $pid
code=0
wait $pid || code=$?
[ "$code" -eq 0 ] || { echo "exit status $code in a read-only directory"; cat "$work/readonly.err"; exit 1; }
[ "$(md5sum solvane.ini)" = "$before" ] || { echo "the settings file changed"; exit 1; }
[ ! -e solvane.csv ] || { echo "a log appeared in a read-only directory"; exit 1; }
if grep -q -i 'sanitizer\|segmentation' "$work/readonly.err"; then cat "$work/readonly.err"; exit 1; fi
echo "read-only directory: ran, closed on SIGTERM with status 0, settings file untouched"
