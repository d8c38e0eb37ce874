#!/usr/bin/env bash
# Sets up a Debian 12 machine for Solvane and builds it: installs the packages below that are
# missing, then configures and builds into build/ (or $SOLVANE_BUILD_DIR). Extra arguments go to
# the CMake configure step.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-packages.sh \
  build-essential cmake ninja-build `# compiler and build` \
  libgtest-dev libgmock-dev `# tests` \
  qt6-base-dev libgl-dev `# the windowed program` \
  fonts-liberation2 `# a face metric-compatible with Arial` \
  xvfb xauth x11-utils `# a real X display for smoke tests` \
  libindi-dev indi-bin `# the INDI driver and the server and clients its tests use` \
  dpkg-dev desktop-file-utils appstream groff-base `# the install tests: the package, validators, manual pages` \
  libboost-dev nlohmann-json3-dev `# the Alpaca server: HTTP (Boost.Beast) and JSON` \
  libcpp-httplib-dev `# the HTTP client of the Alpaca server's tests and benchmark` \
  chromium `# a real headless browser for the Alpaca server's web page test`

build_dir=${SOLVANE_BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build_dir"
