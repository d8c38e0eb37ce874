#!/usr/bin/env bash
# Sets up a Debian 12 machine for Solvane and builds it: installs the packages below that are
# missing (nothing when all are there), then configures and builds into build/ (or
# $SOLVANE_BUILD_DIR). Extra arguments go to the CMake configure step.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  build-essential cmake ninja-build          # compiler and build
  libgtest-dev libgmock-dev                  # tests
  qt6-base-dev libgl-dev                     # the windowed program
  fonts-liberation2                          # a face metric-compatible with Arial
  xvfb xauth x11-utils                       # a real X display for smoke tests
)

missing=()
for package in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

build_dir=${SOLVANE_BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build_dir"
