#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UndefinedBehaviorSanitizer on)
# and runs each for a set time: scripts/fuzz.sh [SECONDS_EACH] [TARGET...] (default 60 s, all).
# The committed seeds in fuzz/corpus/TARGET start each run; what the fuzzer finds on top goes to
# build-fuzz/corpus/TARGET, crashes to build-fuzz/crashes/TARGET.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(status_line text_reply settings command_line atlas)

bash scripts/install-packages.sh build-essential cmake ninja-build clang libclang-rt-14-dev qt6-base-dev libgl-dev
CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSOLVANE_FUZZ=ON >/dev/null
cmake --build build-fuzz --target "${targets[@]/#/fuzz_}"

status=0
printf '%-14s %10s %12s %8s %s\n' "target" "seconds" "executions" "corpus" "result"
for target in "${targets[@]}"; do
  mkdir -p "build-fuzz/corpus/$target" "build-fuzz/crashes/$target"
  log="build-fuzz/fuzz_$target.log"
  if "build-fuzz/bin/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="build-fuzz/crashes/$target/" "build-fuzz/corpus/$target" "fuzz/corpus/$target" >"$log" 2>&1; then
    result="no crash"
  else
    result="CRASH: see $log and build-fuzz/crashes/$target"
    status=1
  fi
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  corpus=$(ls "build-fuzz/corpus/$target" | wc -l)
  printf '%-14s %10s %12s %8s %s\n' "$target" "$seconds" "$runs" "$corpus" "$result"
done
exit $status
