#!/usr/bin/env bash
# Prepares this Debian 12 machine to cross-build Solvane for ARCH (arm64) and to run the result
# under user-mode emulation, without touching what the native build uses:
#   * the foreign architecture for dpkg and apt (multiarch), its package lists;
#   * the cross compiler (crossbuild-essential-ARCH) and qemu-user with its binfmt entry, so the
#     kernel runs the foreign programs that tests and build steps start;
#   * the ARCH development packages of scripts/libraries.sh. Most of them are "Multi-Arch: same"
#     and install beside the native ones. A development package that is not (libindi-dev in
#     Debian 12: installing libindi-dev:arm64 would remove the native one) is unpacked into
#     $cross_root instead, unregistered, and apt installs only what it depends on (its runtime
#     libraries are co-installable), so the native libindi-dev stays.
# Nothing happens for what is already there. Needs root (or sudo), like install-packages.sh.
#   scripts/install-cross-packages.sh arm64
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:?usage: install-cross-packages.sh ARCH}
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
triplet=$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
# The unpacked development packages; cmake/debian-$arch.cmake names the same place.
cross_root=/opt/solvane-cross/$arch
apt_get() { DEBIAN_FRONTEND=noninteractive $sudo apt-get -qq -o DPkg::Lock::Timeout=600 "$@"; }

if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
  echo "adding the $arch architecture"
  $sudo dpkg --add-architecture "$arch"
  apt_get update
elif ! compgen -G "/var/lib/apt/lists/*_binary-${arch}_Packages*" >/dev/null; then
  apt_get update
fi
bash scripts/install-packages.sh "crossbuild-essential-$arch" qemu-user qemu-user-binfmt

# The binfmt entry qemu-user-binfmt ships; systemd registers it at boot, a container without
# systemd needs it done here.
qemu_name=qemu-$(sed -n 's/^:qemu-\([^:]*\):.*/\1/p' "/usr/lib/binfmt.d/qemu-${triplet%%-*}.conf")
binfmt=/proc/sys/fs/binfmt_misc
[ -e "$binfmt/register" ] || $sudo mount -t binfmt_misc binfmt_misc "$binfmt"
[ -e "$binfmt/$qemu_name" ] || $sudo sh -c "cat /usr/lib/binfmt.d/$qemu_name.conf >$binfmt/register"

source scripts/libraries.sh
wanted=()     # dependencies apt installs for ARCH
unpacked=()   # development packages unpacked into $cross_root
for package in "${solvane_libraries[@]}"; do
  # An Architecture: all package is known by its plain name only.
  fields=$(apt-cache show "$package:$arch" 2>/dev/null)
  [ -n "$fields" ] || fields=$(apt-cache show "$package")
  multi_arch=$(sed -n 's/^Multi-Arch: //p' <<<"$fields" | head -1)
  if [ "$(sed -n 's/^Architecture: //p' <<<"$fields" | head -1)" = all ] ||
     [ "$multi_arch" = same ] || [ "$multi_arch" = foreign ]; then
    wanted+=("$package")
  else
    unpacked+=("$package")
  fi
done

# A package unpacked before keeps its stamp, the version it was unpacked from.
download=$(mktemp -d /tmp/solvane-cross-XXXXXX)
trap 'rm -rf "$download"' EXIT
for package in "${unpacked[@]}"; do
  version=$(apt-cache policy "$package:$arch" | sed -n 's/^  Candidate: //p')
  stamp=$cross_root/stamps/$package
  # Downloaded as root into a private folder, which apt's own user may not enter.
  (cd "$download" && apt-get download -qq -o APT::Sandbox::User=root "$package:$arch=$version")
  deb=$(ls "$download/${package}_"*"_$arch.deb")
  wanted+=("$(dpkg-deb -f "$deb" Depends)")
  [ "$(cat "$stamp" 2>/dev/null)" = "$version" ] && continue
  echo "unpacking $package:$arch $version into $cross_root"
  $sudo mkdir -p "$cross_root/stamps"
  $sudo dpkg-deb -x "$deb" "$cross_root"
  # pkg-config files name the unpacked tree; links to the runtime libraries (Multi-Arch: same,
  # installed by apt below) lead to their installed copies.
  for pc in "$cross_root/usr/lib/$triplet/pkgconfig/"*.pc; do
    $sudo sed -i "s#^\([A-Za-z_]*\)=/usr\(/\|\$\)#\1=$cross_root/usr\2#" "$pc"
  done
  for link in "$cross_root/usr/lib/$triplet/"*.so; do
    [ -L "$link" ] && $sudo ln -sfn "/usr/lib/$triplet/$(readlink "$link")" "$link"
  done
  echo "$version" | $sudo tee "$stamp" >/dev/null
done

# apt-get satisfy with the host architecture reads each name as an ARCH dependency: a
# Multi-Arch: foreign or Architecture: all package is satisfied by the native one.
deps=$(IFS=,; echo "${wanted[*]}")
if ! apt-get satisfy -s -a "$arch" "$deps" 2>/dev/null | grep -q '^0 upgraded, 0 newly installed'; then
  echo "installing the $arch packages: $deps"
  apt_get satisfy -y -a "$arch" "$deps"
fi
