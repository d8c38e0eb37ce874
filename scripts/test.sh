#!/usr/bin/env bash
# Sets up, builds and runs every test. The serial tests spend most of their time waiting for
# read time-outs, not on the processor, so they run several to a core.
#   scripts/test.sh              the normal build, in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build, in build-asan/
#   scripts/test.sh --tsan       ThreadSanitizer build, in build-tsan/
#   scripts/test.sh --arch arm64 the arm64 package cross-built with its tests (scripts/package.sh
#                                --arch arm64, in build-package-arm64/), then the tests labelled
#                                "emulated" and one window case run under qemu's user-mode
#                                emulation, their time bounds widened by SOLVANE_TEST_TIME_SCALE
#   scripts/test.sh --windows    the Windows programs cross-built with their tests and zipped
#                                (scripts/package.sh --windows, in build-windows/); their tests
#                                run under Wine in a private prefix, then the console cases run
#                                by the native tool and by the Windows one against the native
#                                build's simulator (test_command_wine in build/)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(( $(nproc) * 3 ))
# Some tests run programs as user nobody, who may not enter the folder of this clone: the
# sanitizers' suppression files are read from a copy every account can read.
supp=$(mktemp -d /tmp/solvane-suppressions-XXXXXX)
trap 'rm -rf "$supp"' EXIT
cp tests/lsan.supp tests/tsan.supp "$supp/"
chmod 755 "$supp" && chmod 644 "$supp"/*.supp
if [ "${1:-}" = "--sanitize" ]; then
  shift
  export SOLVANE_BUILD_DIR=build-asan
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  export LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0"
  bash scripts/setup.sh -DSOLVANE_SANITIZE=ON "$@"
elif [ "${1:-}" = "--arch" ]; then
  arch=${2:?--arch needs an architecture}
  shift 2
  SOLVANE_PACKAGE_TESTS=ON bash scripts/package.sh --arch "$arch"
  dir=${SOLVANE_PACKAGE_DIR:-build-package-$arch}
  # Emulation runs the programs several times slower (more so with the serial tests side by
  # side on the cores): every upper time bound is widened by this factor, no lower one.
  export SOLVANE_TEST_TIME_SCALE=${SOLVANE_TEST_TIME_SCALE:-4}
  # One test a core: the link's own read time-outs (200 ms to the first byte) cannot be widened,
  # and an emulated simulator that shares its core with two more tests can miss them.
  ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" -L emulated
  ctest --test-dir "$dir" --output-on-failure -R '^ControlTest\.FourFiltersConnectAtOnceEachPortHearingOnlyItsOwnBytes$'
  exit 0
elif [ "${1:-}" = "--windows" ]; then
  shift
  SOLVANE_PACKAGE_TESTS=ON bash scripts/package.sh --windows
  dir=${SOLVANE_WINDOWS_DIR:-build-windows}
  # A Wine prefix of this run's own, made once, with the server's socket folder (under $TMPDIR)
  # beside it; nothing needs a display, and no offer to install Mono or Gecko comes up.
  wine_dir=$(mktemp -d /tmp/solvane-wine-XXXXXX)
  mkdir "$wine_dir/tmp"
  build=${SOLVANE_BUILD_DIR:-build}
  # At the end the native build forgets the Windows programs again: its own runs stay as they were.
  trap 'TMPDIR="$wine_dir/tmp" WINEPREFIX="$wine_dir/prefix" wineserver -k 2>/dev/null || true
        rm -rf "$supp" "$wine_dir"
        [ ! -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -USOLVANE_WINDOWS_BIN >/dev/null 2>&1 || true' EXIT
  unset DISPLAY WAYLAND_DISPLAY
  run_wine() {
    TMPDIR="$wine_dir/tmp" WINEPREFIX="$wine_dir/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" "$@"
  }
  SECONDS=0
  run_wine timeout 300 wine wineboot -i >/dev/null 2>&1
  # One server for every test, so that none ends while idle just as the next program connects
  # (once the one that made the prefix has ended).
  run_wine wineserver -w
  run_wine wineserver -p
  # The server's services start with its first program and keep that program's descriptors:
  # /dev/null, not a test's output pipe.
  run_wine timeout 60 wine cmd /c exit >/dev/null 2>&1 </dev/null
  echo "windows: the Wine prefix took $SECONDS s"
  SECONDS=0
  run_wine ctest --test-dir "$dir" --output-on-failure -L wine
  # The native build's simulator and Linux tool beside the Windows tool under Wine (a clean
  # clone makes the native build first).
  [ -f "$build/CMakeCache.txt" ] || bash scripts/setup.sh
  cmake -S . -B "$build" "-DSOLVANE_WINDOWS_BIN=$(pwd)/$dir/bin" "$@" >/dev/null
  cmake --build "$build" --target test_command_wine
  ctest --test-dir "$build" --output-on-failure -L wine
  echo "windows: the tests under Wine took $SECONDS s"
  exit 0
elif [ "${1:-}" = "--tsan" ]; then
  shift
  export SOLVANE_BUILD_DIR=build-tsan
  # Qt and libindi are not built with ThreadSanitizer; tests/tsan.supp names only their internals.
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$supp/tsan.supp"
  # Each test runs several times slower under ThreadSanitizer, on the processor rather than in
  # serial waits: one to a core keeps the window tests inside their update interval.
  jobs=$(nproc)
  bash scripts/setup.sh -DSOLVANE_TSAN=ON "$@"
else
  bash scripts/setup.sh "$@"
fi
ctest --test-dir "${SOLVANE_BUILD_DIR:-build}" --output-on-failure -j "$jobs"
