#!/usr/bin/env bash
# Builds the Debian package build-package/solvane_<version>_amd64.deb and checks it with lintian.
# The programs are built without the tests into build-package/ (or $SOLVANE_PACKAGE_DIR) with
# Debian's hardening flags, installed under /usr by cpack (dist/packaging.cmake), stripped, with
# Depends taken from the libraries they link. Fails when lintian reports an error; its warnings
# and notes are printed.
#   scripts/package.sh               build, package, lint
#   scripts/package.sh --arch arm64  the same for 64-bit ARM, cross-built into build-package-arm64/
#                                    (cmake/debian-arm64.cmake); every program must be an ARM one
#   scripts/package.sh --windows    the Windows programs (the console tool), cross-built with
#                                    MinGW-w64 (cmake/mingw-w64-x86_64.cmake) into build-windows/,
#                                    zipped with their README and the licence as
#                                    build-windows/solvane-<version>-windows-x64.zip
#   sudo apt install ./build-package/solvane_*.deb
# SOLVANE_PACKAGE_TESTS=ON builds the tests beside the packaged programs (scripts/test.sh --arch,
# --windows).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = "--windows" ]; then
  dir=${SOLVANE_WINDOWS_DIR:-build-windows}
  version=$(sed -n 's/^project(Solvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
  name=solvane-$version-windows-x64
  # The -posix compilers (std::thread); Wine runs the tests; GoogleTest's sources (libgtest-dev)
  # are built with the cross compiler.
  bash scripts/install-packages.sh cmake ninja-build g++-mingw-w64-x86-64-posix wine wine64 libgtest-dev
  SECONDS=0
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$(pwd)/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release "-DSOLVANE_TESTS=${SOLVANE_PACKAGE_TESTS:-OFF}" >/dev/null
  cmake --build "$dir"
  echo "windows: cross build took $SECONDS s"
  rm -rf "${dir:?}/$name" "$dir/$name.zip"
  cmake --install "$dir" --prefix "$dir/$name" --strip >/dev/null
  # Static runtime: a program may import the system's own DLLs and nothing else.
  for exe in "$dir/$name"/*.exe; do
    foreign=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\tDLL Name: //p' |
              grep -viE '^(kernel32|msvcrt|advapi32|user32|ws2_32|shell32|ole32)\.dll$' || true)
    [ -z "$foreign" ] || { echo "$exe needs DLLs that Windows does not have: $foreign" >&2; exit 1; }
  done
  (cd "$dir" && cmake -E tar cf "$name.zip" --format=zip "$name")
  echo "built $dir/$name.zip:"
  (cd "$dir" && cmake -E tar tf "$name.zip")
  exit 0
fi
arch=""
if [ "${1:-}" = "--arch" ]; then arch=${2:?--arch needs an architecture}; shift 2; fi
native=$(dpkg --print-architecture)
[ "$arch" != "$native" ] || arch=""
cross=()
if [ -n "$arch" ]; then
  [ -f "cmake/debian-$arch.cmake" ] || { echo "no toolchain file cmake/debian-$arch.cmake" >&2; exit 1; }
  package_dir=${SOLVANE_PACKAGE_DIR:-build-package-$arch}
  bash scripts/install-cross-packages.sh "$arch"
  # dpkg-buildflags and dpkg-shlibdeps (run by cpack) answer for the architecture built for,
  # whose compilers the toolchain file names too.
  export DEB_HOST_ARCH=$arch
  triplet=$(dpkg-architecture -a "$arch" -qDEB_HOST_GNU_TYPE 2>/dev/null)
  export CC=$triplet-gcc CXX=$triplet-g++
  cross=("-DCMAKE_TOOLCHAIN_FILE=$(pwd)/cmake/debian-$arch.cmake")
else
  package_dir=${SOLVANE_PACKAGE_DIR:-build-package}
fi

# cpack's DEB generator needs dpkg-deb and dpkg-shlibdeps (dpkg-dev); lintian checks the result.
bash scripts/install-packages.sh dpkg-dev lintian

# Debian's build flags with every hardening feature (bind now as well as relro); CMake reads no
# CPPFLAGS, so they join the compiler flags. Build type None: these flags and no others.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
# Stripped as Debian's own packages are: the compiler's notes go too.
mkdir -p "$package_dir"
strip_tool=$(pwd)/$package_dir/strip-for-debian
strip=strip
[ -z "$arch" ] || strip=$triplet-strip
printf '#!/bin/sh\nexec %s --remove-section=.comment --remove-section=.note "$@"\n' "$strip" >"$strip_tool"
chmod 755 "$strip_tool"
SOLVANE_BUILD_DIR=$package_dir bash scripts/setup.sh "${cross[@]}" \
  -DCMAKE_BUILD_TYPE=None "-DSOLVANE_TESTS=${SOLVANE_PACKAGE_TESTS:-OFF}" -DCMAKE_INSTALL_PREFIX=/usr \
  "-DCMAKE_CXX_FLAGS=$cxxflags" "-DCMAKE_EXE_LINKER_FLAGS=$ldflags" "-DCMAKE_STRIP=$strip_tool"

rm -f "$package_dir"/solvane_*.deb
cpack --config "$package_dir/CPackConfig.cmake" -B "$package_dir" >/dev/null
deb=$(ls "$package_dir"/solvane_*.deb)
echo "built $deb"

# lintian exits non-zero on errors; tags of lower severity are listed for the record.
lintian --fail-on error --display-info "$deb" && echo "lintian: no errors"
