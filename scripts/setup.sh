#!/usr/bin/env bash
# Sets up a Debian 12 machine for Solvane and builds it: installs the packages below that are
# missing, then configures and builds into build/ (or $SOLVANE_BUILD_DIR). Extra arguments go to
# the CMake configure step.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/libraries.sh
bash scripts/install-packages.sh \
  build-essential cmake ninja-build `# compiler and build` \
  "${solvane_libraries[@]}" `# the libraries the programs and tests link` \
  fonts-liberation2 `# a face metric-compatible with Arial` \
  xvfb xauth x11-utils `# a real X display for smoke tests` \
  indi-bin `# the INDI server and clients the driver's tests use` \
  dpkg-dev desktop-file-utils appstream groff-base `# the install tests: the package, validators, manual pages` \
  chromium `# a real headless browser for the Alpaca server's web page test` \
  libjs-chart.js `# the Alpaca page's history plots (a runtime file the server serves; the package depends on it)`

build_dir=${SOLVANE_BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build_dir"
