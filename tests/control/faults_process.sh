#!/usr/bin/env bash
# SolvaneControl as a process under faults no in-process test can stage:
#   1. killed with SIGKILL while logging: every row logged before is in solvane.csv, whole;
#   2. started in a read-only directory with logging on: it runs, tells the observer, closes
#      cleanly on SIGTERM, and leaves the old settings file as it was;
#   3. SIGTERM while the filters connect at start (a silent one takes 3 s): it ends within a
#      second and saves what a normal exit saves;
#   4. a settings file it may not read: it runs, and at the end leaves that file as it was.
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
grep -q "Cannot save the settings: no new file can be made beside solvane.ini in $work/readonly" "$work/readonly.err" ||
  { echo "not told that the settings cannot be saved"; cat "$work/readonly.err"; exit 1; }
if grep -q -i 'sanitizer\|segmentation' "$work/readonly.err"; then cat "$work/readonly.err"; exit 1; fi
echo "read-only directory: ran, closed on SIGTERM with status 0, settings file untouched"

# 3. SIGTERM during the start-up connections.
mkdir "$work/starting" && cd "$work/starting"
printf 'COM1\r\nSILENT\r\n\r\n\r\n10.0 2.5 10.0 10.0 1 0 1\r\n' >solvane.ini
"$bin/solvane-sim" --port-dir "$work/silent" --filters 1 --fault COM1=silent >/dev/null &
silent_pid=$!
for _ in $(seq 50); do [ -e "$work/silent/COM1" ] && break; sleep 0.1; done
rm -f "$work/ports/SILENT" && ln -s "$(readlink "$work/silent/COM1")" "$work/ports/SILENT"
"$bin/SolvaneControl" 2>control.err &
pid=$!
sleep 0.7
start=$(date +%s%N)
kill -TERM $pid
code=0
wait $pid || code=$?
took=$(( ($(date +%s%N) - start) / 1000000 ))
kill "$silent_pid" 2>/dev/null; wait "$silent_pid" 2>/dev/null || true
[ "$code" -eq 0 ] || { echo "exit status $code after SIGTERM during start-up"; cat control.err; exit 1; }
[ "$took" -lt 1000 ] || { echo "SIGTERM during start-up took $took ms"; exit 1; }
# Saved at the end: the two ports again, and now a placement block after the options line.
[ "$(head -c 14 solvane.ini | tr -d '\r\n')" = "COM1SILENT" ] && [ "$(stat -c %s solvane.ini)" -ge 86 ] ||
  { echo "the settings were not saved"; exit 1; }
echo "SIGTERM while the filters connect: ended in $took ms with status 0, settings saved"

# 4. A settings file that exists but cannot be read (as the observer's own account).
if [ "$(id -u)" -eq 0 ]; then
  mkdir "$work/unreadable" && cd "$work/unreadable"
  printf 'COM1\r\n\r\n\r\n\r\n30.0 10.0 10.0 10.0 1 0 2\r\n' >solvane.ini
  chmod 000 solvane.ini
  chown nobody . && chmod 755 .
  before=$(md5sum solvane.ini)
  setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$work/SolvaneControl" 2>"$work/unreadable.err" &
  pid=$!
  sleep 3
  kill -TERM $pid
  code=0
  wait $pid || code=$?
  [ "$code" -eq 0 ] || { echo "exit status $code with an unreadable settings file"; cat "$work/unreadable.err"; exit 1; }
  [ "$(md5sum solvane.ini)" = "$before" ] || { echo "the unreadable settings file was replaced"; exit 1; }
  grep -q "could not be read at start, so it was left as it was" "$work/unreadable.err" ||
    { echo "not told why the settings were not saved"; cat "$work/unreadable.err"; exit 1; }
  echo "unreadable settings file: left as it was, and said so"
else
  echo "unreadable settings file: skipped (needs root to switch to another account)"
fi
