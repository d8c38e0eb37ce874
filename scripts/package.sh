#!/usr/bin/env bash
# Builds the Debian package build-package/solvane_<version>_amd64.deb and checks it with lintian.
# The programs are built without the tests into build-package/ (or $SOLVANE_PACKAGE_DIR) with
# Debian's hardening flags, installed under /usr by cpack (dist/packaging.cmake), stripped, with
# Depends taken from the libraries they link. Fails when lintian reports an error; its warnings
# and notes are printed.
#   scripts/package.sh            build, package, lint
#   sudo apt install ./build-package/solvane_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
package_dir=${SOLVANE_PACKAGE_DIR:-build-package}

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
printf '#!/bin/sh\nexec strip --remove-section=.comment --remove-section=.note "$@"\n' >"$strip_tool"
chmod 755 "$strip_tool"
SOLVANE_BUILD_DIR=$package_dir bash scripts/setup.sh \
  -DCMAKE_BUILD_TYPE=None -DSOLVANE_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr \
  "-DCMAKE_CXX_FLAGS=$cxxflags" "-DCMAKE_EXE_LINKER_FLAGS=$ldflags" "-DCMAKE_STRIP=$strip_tool"

rm -f "$package_dir"/solvane_*.deb
cpack --config "$package_dir/CPackConfig.cmake" -B "$package_dir" >/dev/null
deb=$(ls "$package_dir"/solvane_*.deb)
echo "built $deb"

# lintian exits non-zero on errors; tags of lower severity are listed for the record.
lintian --fail-on error --display-info "$deb" && echo "lintian: no errors"
