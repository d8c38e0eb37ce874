#!/usr/bin/env bash
# Checks a built Solvane package: every ELF file in it is for the machine its Architecture field
# names (a cross build that picked up a native program fails here), and, with a second package
# (another architecture's, say the amd64 one), that both hold the same files, link the same
# libraries' packages (Depends without versions) and differ in their control fields only where
# the architecture does.
#   scripts/check-package.sh build-package-arm64/solvane_1.0_arm64.deb [build-package/solvane_1.0_amd64.deb]
set -euo pipefail
deb=${1:?usage: check-package.sh PACKAGE.deb [REFERENCE.deb]}
reference=${2:-}
work=$(mktemp -d /tmp/solvane-check-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# What `file` calls each Debian architecture's programs.
declare -A machine=([amd64]="x86-64" [arm64]="ARM aarch64" [armhf]="ARM, EABI5" [i386]="Intel 80386")
arch=$(dpkg-deb -f "$deb" Architecture)
want=${machine[$arch]:?no ELF machine known for $arch}
dpkg-deb -x "$deb" "$work/tree"
elves=0
while IFS= read -r -d '' path; do
  description=$(file -b "$path")
  [[ $description == ELF* ]] || continue
  elves=$((elves + 1))
  [[ $description == *"$want"* ]] || fail "${path#"$work/tree"} is not an $arch program: $description"
done < <(find "$work/tree" -type f -print0)
[ "$elves" -gt 0 ] || fail "$(basename "$deb") holds no programs"
echo "$(basename "$deb"): all $elves ELF files are $want"

[ -n "$reference" ] || exit 0
files() { dpkg-deb -c "$1" | awk '{print $1, $6}' | sort -k2; }
files "$deb" >"$work/files"
files "$reference" >"$work/reference-files"
diff -u "$work/reference-files" "$work/files" >&2 || fail "the files (or their modes) differ from $(basename "$reference")"
# Control fields: the same apart from Architecture and Installed-Size; Depends by package names.
fields() {
  dpkg-deb -f "$1" | sed '/^ /d; /^Architecture:/d; /^Installed-Size:/d; /^Depends:/d'
  dpkg-deb -f "$1" Depends | tr ',' '\n' | sed 's/([^)]*)//g; s/ //g' | sort
}
fields "$deb" >"$work/fields"
fields "$reference" >"$work/reference-fields"
diff -u "$work/reference-fields" "$work/fields" >&2 || fail "the control fields differ from $(basename "$reference")"
echo "$(basename "$deb") and $(basename "$reference"): the same $(wc -l <"$work/files") files and control fields"
