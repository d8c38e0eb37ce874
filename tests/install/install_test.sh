#!/usr/bin/env bash
# Solvane as installed: `cmake --install` into a scratch DESTDIR with prefix /usr (the package's
# layout), then one of three checks:
#   files     the installed files are complete, valid and refer to each other correctly
#   programs  every installed program runs from there and finds its data there
#   package   the Debian package holds exactly the installed files, under /usr
# Usage: install_test.sh BUILD_DIR PROJECT_VERSION files|programs|package
set -euo pipefail
build=$(cd "$1" && pwd)
version=$2
check=$3

work=$(mktemp -d /tmp/solvane-install-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

root=$work/root
DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
usr=$root/usr
bin=$usr/bin

check_files() {
  # Every program, its data beside it, and a manual page for every program.
  for program in SolvaneControl SolvaneCommand solvane-sim solvane-render-panel indi_solvane solvane-alpaca \
                 make-solar-atlas solvane-control-desktop; do
    [ -x "$bin/$program" ] || fail "$program is not installed as a program"
  done
  for program in "$bin"/*; do
    name=$(basename "$program")
    [ -f "$usr/share/man/man1/$name.1.gz" ] || fail "$name has no manual page"
  done
  for file in share/solvane/solaratlas.bin share/solvane/SolvaneControl.html share/indi/indi_solvane.xml \
              share/doc/solvane/copyright share/doc/solvane/changelog.gz share/doc/solvane/60-solvane.rules; do
    [ -s "$usr/$file" ] || fail "$file is missing"
  done

  # The manual pages format without a warning (as lintian checks them).
  for page in "$usr"/share/man/man1/*.1.gz; do
    warnings=$(zcat "$page" | groff -man -Tutf8 -ww -z 2>&1)
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
  done

  # The desktop entry and the metainfo pass their validators and name files that exist.
  desktop=$(ls "$usr"/share/applications/*.desktop)
  metainfo=$(ls "$usr"/share/metainfo/*.metainfo.xml)
  desktop-file-validate "$desktop" || fail "desktop-file-validate: $desktop"
  appstreamcli validate --no-net "$metainfo" >"$work/appstream.out" 2>&1 ||
    { cat "$work/appstream.out" >&2; fail "appstreamcli validate: $metainfo"; }
  exec_word=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
  [ -x "$bin/$exec_word" ] || fail "the desktop entry runs $exec_word, which is not installed in bin"
  icon=$(sed -n 's/^Icon=//p' "$desktop")
  for size in 16 32 48 64 128 256; do
    png=$usr/share/icons/hicolor/${size}x$size/apps/$icon.png
    [ -s "$png" ] || fail "no ${size}x$size PNG for the icon $icon"
    # A PNG's width and height are the big-endian words at bytes 16 and 20.
    read -r w3 w2 w1 w0 h3 h2 h1 h0 < <(od -An -tu1 -j16 -N8 "$png")
    [ $(((w3 << 24) + (w2 << 16) + (w1 << 8) + w0)) -eq "$size" ] && [ $(((h3 << 24) + (h2 << 16) + (h1 << 8) + h0)) -eq "$size" ] ||
      fail "the ${size}x$size icon is not $size pixels square"
  done
  [ -s "$usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "no scalable icon $icon"
  launchable=$(sed -n 's:.*<launchable type="desktop-id">\(.*\)</launchable>.*:\1:p' "$metainfo")
  [ "$launchable" = "$(basename "$desktop")" ] || fail "the metainfo launches $launchable, not $(basename "$desktop")"

  # The INDI driver description names the installed driver.
  driver=$(sed -n 's:.*<driver[^>]*>\(.*\)</driver>.*:\1:p' "$usr/share/indi/indi_solvane.xml")
  [ -x "$bin/$driver" ] || fail "indi_solvane.xml names the driver '$driver', which is not installed"

  # One version everywhere: the project, the metainfo's newest release, the package changelog.
  release=$(grep -o '<release version="[^"]*"' "$metainfo" | head -1 | cut -d'"' -f2)
  [ "$release" = "$version" ] || fail "the metainfo's newest release is $release, the project is $version"
  logged=$(zcat "$usr/share/doc/solvane/changelog.gz" | sed -n '1s/^solvane (\([^)]*\)).*/\1/p')
  [ "$logged" = "$version" ] || fail "the changelog's newest entry is $logged, the project is $version"
  # The user service is sandboxed: systemd's own rating of its exposure stays below 5.
  unit=$usr/lib/systemd/user/solvane-alpaca.service
  [ -s "$unit" ] || fail "the user service solvane-alpaca.service is not installed"
  if command -v systemd-analyze >/dev/null; then
    mkdir -m 700 "$work/runtime"
    rating=$(XDG_RUNTIME_DIR=$work/runtime systemd-analyze security --offline=true --user "$unit" 2>&1 |
      sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
    [ -n "$rating" ] && awk "BEGIN { exit !($rating < 5) }" ||
      fail "the user service's exposure is ${rating:-not rated}, not below 5"
  else
    echo "files: no systemd-analyze here, the user service's sandbox is not rated"
  fi
  echo "files: programs, data, manual pages, desktop entry, metainfo, icons, INDI description and user service in place"
}

# Waits up to $2 tenths of a second for process $1 to end; its exit status is in $status.
wait_for_exit() {
  local pid=$1 tenths=$2
  for _ in $(seq "$tenths"); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then status=timeout; return; fi
  status=0
  wait "$pid" || status=$?
}

# Whether process $1 runs the installed SolvaneControl and catches SIGTERM (bit 15 of SigCgt in
# /proc). Under user-mode emulation (a cross build's tests) /proc shows qemu running the program
# as its second argument, and qemu catches every signal itself: there the program's own signal
# pipe (both its ends, past the three standard descriptors) says that it handles SIGTERM.
control_handles_sigterm() {
  local pid=$1 caught
  if [ "$(readlink "/proc/$pid/exe")" = "$bin/SolvaneControl" ]; then
    caught=$(sed -n 's/^SigCgt:\s*//p' "/proc/$pid/status")
    (( (16#$caught >> 14) & 1 ))
  elif [ "$(tr '\0' '\n' <"/proc/$pid/cmdline" | sed -n 2p)" = "$bin/SolvaneControl" ]; then
    [ "$(find "/proc/$pid/fd" -mindepth 1 ! -name 0 ! -name 1 ! -name 2 -lname 'pipe:*' 2>/dev/null | wc -l)" -ge 2 ]
  else
    return 1
  fi
}

# Waits until process $1 runs the installed SolvaneControl and catches SIGTERM, and with $3
# "port" also has the simulated COM1 open; fails after $2 tenths of a second.
wait_for_control() {
  local pid=$1 tenths=$2 want=$3 com1
  com1=$(readlink -f "$work/ports/COM1")
  for _ in $(seq "$tenths"); do
    kill -0 "$pid" 2>/dev/null || fail "SolvaneControl ended at start ($(cat "$work/control.err"))"
    if control_handles_sigterm "$pid"; then
      if [ "$want" != port ] || ls -l "/proc/$pid/fd" 2>/dev/null | grep -q -- "-> $com1\$"; then return; fi
    fi
    sleep 0.1
  done
  fail "SolvaneControl did not start (or connect the simulated filters) within $((tenths / 10)) s"
}

usable_settings() { printf 'COM1\r\nCOM2\r\n\r\n\r\n10.0 10.0 10.0 10.0 1 0 1\r\n' >"$1/solvane.ini"; }

check_programs() {
  mkdir -p "$work/scratch" && cd "$work/scratch"
  export XDG_RUNTIME_DIR=$work/runtime  # private to this run, as Qt wants it
  mkdir -m 700 "$XDG_RUNTIME_DIR"

  # SolvaneCommand without arguments: its usage and exit status 1.
  status=0
  "$bin/SolvaneCommand" >"$work/usage.out" 2>&1 || status=$?
  [ "$status" -eq 1 ] || fail "SolvaneCommand without arguments exited with $status, not 1"
  grep -q "^Usage:" "$work/usage.out" || fail "SolvaneCommand printed no usage"

  # solvane-sim makes its port links, serves the installed SolvaneCommand, and on SIGTERM ends
  # with status 0 and removes the links.
  "$bin/solvane-sim" --port-dir "$work/ports" --filters 2 >"$work/sim.out" 2>&1 &
  sim=$!
  pids+=("$sim")
  for _ in $(seq 50); do [ -e "$work/ports/COM2" ] && break; sleep 0.1; done
  [ -e "$work/ports/COM2" ] || fail "solvane-sim made no port links ($(cat "$work/sim.out"))"
  sleep 1
  kill -0 "$sim" 2>/dev/null || fail "solvane-sim ended by itself"
  export SOLVANE_PORT_DIR=$work/ports SOLVANE_ONLY_PORT_DIR=1
  status=0
  "$bin/SolvaneCommand" COM1=STATUS >"$work/status.out" 2>&1 || status=$?
  grep -q "^Nom: 6562.8" "$work/status.out" || fail "SolvaneCommand read no status: $(cat "$work/status.out")"
  [ "$status" -eq 1 ] || fail "a sleeping filter's STATUS exited with $status, not 1"

  # solvane-render-panel finds the installed atlas: from an empty directory it draws the same
  # PNG as the build's program with the build's data, and not what it draws without an atlas.
  QT_QPA_PLATFORM=offscreen "$bin/solvane-render-panel" --out "$work/installed.png"
  QT_QPA_PLATFORM=offscreen "$build/bin/solvane-render-panel" --out "$work/built.png"
  mkdir -p "$work/bare/bin" && cp "$bin/solvane-render-panel" "$work/bare/bin/"
  QT_QPA_PLATFORM=offscreen "$work/bare/bin/solvane-render-panel" --out "$work/bare.png"
  cmp -s "$work/installed.png" "$work/built.png" || fail "the installed panel differs from the build's"
  ! cmp -s "$work/installed.png" "$work/bare.png" || fail "the installed panel shows no solar atlas"

  # indi_solvane speaks INDI on its standard input and output.
  echo '<getProperties version="1.7"/>' | timeout 10 "$bin/indi_solvane" >"$work/indi.out" 2>&1 || true
  grep -q "name='CONNECTION'" "$work/indi.out" || fail "indi_solvane defined no properties: $(head -5 "$work/indi.out")"

  # make-solar-atlas prints its usage (on standard error when --help is its only argument).
  usage=$("$bin/make-solar-atlas" --help 2>&1 || true)
  [[ $usage == "Usage: make-solar-atlas"* ]] || fail "make-solar-atlas printed no usage: $usage"

  export QT_QPA_PLATFORM=offscreen
  # SolvaneControl from a terminal: it works in the current directory, connects the simulated
  # filters of its settings there, closes on SIGTERM and saves its settings there.
  mkdir -p "$work/terminal" "$work/home" && cd "$work/terminal"
  usable_settings "$work/terminal"
  HOME=$work/home "$bin/SolvaneControl" </dev/null 2>"$work/control.err" &
  control=$!
  pids+=("$control")
  wait_for_control "$control" 150 port
  kill -TERM "$control"
  wait_for_exit "$control" 50
  [ "$status" = 0 ] || fail "SolvaneControl from a terminal did not close on SIGTERM with status 0 ($status)"
  [ "$(stat -c %s solvane.ini)" -ge 86 ] || fail "SolvaneControl saved no settings in its current directory"
  [ ! -e "$work/home/Solvane" ] || fail "SolvaneControl from a terminal made ~/Solvane"

  # From the desktop menu (the launcher), first start: it makes ~/Solvane and runs there. The
  # connections dialog of a first start is open now; SIGTERM ends it and the program.
  mkdir -p "$work/elsewhere" && cd "$work/elsewhere"
  HOME=$work/home "$bin/solvane-control-desktop" </dev/null 2>"$work/control.err" &
  control=$!
  pids+=("$control")
  wait_for_control "$control" 150 started
  [ -d "$work/home/Solvane" ] || fail "the launcher made no ~/Solvane"
  [ "$(readlink "/proc/$control/cwd")" = "$work/home/Solvane" ] ||
    fail "the launcher runs SolvaneControl in $(readlink "/proc/$control/cwd"), not ~/Solvane"
  kill -TERM "$control"
  wait_for_exit "$control" 50
  [ "$status" = 0 ] || fail "SolvaneControl's first start did not end on SIGTERM with status 0 ($status)"
  [ -z "$(ls -A "$work/elsewhere")" ] || fail "the launcher wrote into the directory it was started from"

  # From the desktop menu again, with filters configured in ~/Solvane: they are connected, and
  # SIGTERM closes the window and saves the settings there.
  usable_settings "$work/home/Solvane"
  HOME=$work/home "$bin/solvane-control-desktop" </dev/null 2>"$work/control.err" &
  control=$!
  pids+=("$control")
  wait_for_control "$control" 150 port
  kill -TERM "$control"
  wait_for_exit "$control" 50
  [ "$status" = 0 ] || fail "SolvaneControl from the launcher did not close on SIGTERM with status 0 ($status)"
  [ "$(stat -c %s "$work/home/Solvane/solvane.ini")" -ge 86 ] || fail "no settings saved in ~/Solvane"
  [ -z "$(ls -A "$work/elsewhere")" ] || fail "the launcher wrote into the directory it was started from"

  # A ~/Solvane that is a file or a broken link: the reason on standard error, and in a desktop
  # dialog (here a stand-in xmessage) when standard error is no terminal and a display is there.
  mkdir -p "$work/bad/bin" "$work/bad/file" "$work/bad/link"
  printf '#!/bin/sh\nprintf "%%s\\n" "$*" >"%s/shown"\n' "$work/bad" >"$work/bad/bin/xmessage"
  chmod +x "$work/bad/bin/xmessage"
  : >"$work/bad/file/Solvane"
  ln -s "$work/bad/nowhere" "$work/bad/link/Solvane"
  for case in file:"is a file, not a folder" link:"which does not exist"; do
    rm -f "$work/bad/shown"
    status=0
    HOME=$work/bad/${case%%:*} DISPLAY=:99 PATH=$work/bad/bin:$PATH "$bin/solvane-control-desktop" \
      </dev/null 2>"$work/bad/err" || status=$?
    [ "$status" = 1 ] || fail "the launcher with ~/Solvane a ${case%%:*} exited with $status, not 1"
    grep -q "${case#*:}" "$work/bad/err" || fail "the launcher did not say why on standard error: $(cat "$work/bad/err")"
    grep -q "${case#*:}" "$work/bad/shown" 2>/dev/null || fail "the launcher showed no dialog for a ${case%%:*}"
  done

  kill -TERM "$sim"
  wait_for_exit "$sim" 50
  [ "$status" = 0 ] || fail "solvane-sim did not end on SIGTERM with status 0 ($status)"
  [ ! -e "$work/ports/COM1" ] || fail "solvane-sim left its port links behind"
  echo "programs: SolvaneCommand, solvane-sim, solvane-render-panel (installed atlas), indi_solvane," \
       "make-solar-atlas and SolvaneControl (terminal and launcher) run from the installed tree"
}

check_package() {
  cpack --config "$build/CPackConfig.cmake" -B "$work/package" >"$work/cpack.out" 2>&1 ||
    { cat "$work/cpack.out" >&2; fail "cpack could not build the package"; }
  # The architecture the build is for: a cross build's toolchain file names it, else this machine's.
  arch=$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
  [ -n "$arch" ] || arch=$(dpkg --print-architecture)
  deb=$work/package/solvane_${version}_$arch.deb
  [ -f "$deb" ] || fail "no $(basename "$deb"); cpack made: $(ls "$work/package")"

  # The same files, nothing outside /usr, the programs executable.
  dpkg-deb -c "$deb" >"$work/contents"
  awk '$1 !~ /^d/ {print $6}' "$work/contents" | sed 's:^\./::' | sort >"$work/packaged"
  (cd "$root" && find . -type f -o -type l) | sed 's:^\./::' | sort >"$work/installed"
  diff -u "$work/installed" "$work/packaged" >&2 || fail "the package's files differ from the installed ones"
  ! grep -v '^usr/' "$work/packaged" || fail "the package holds files outside /usr"
  awk '$6 ~ /^\.\/usr\/bin\/./ && $1 != "-rwxr-xr-x" {print $6}' "$work/contents" | grep . &&
    fail "programs in the package that are not executable"

  # Its control fields: name, version, and Depends from the libraries the programs link.
  [ "$(dpkg-deb -f "$deb" Package)" = solvane ] || fail "the package is not called solvane"
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "the package's version is not $version"
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "the package's architecture is not $arch"
  depends=$(dpkg-deb -f "$deb" Depends)
  for library in libqt6widgets6 libindidriver1 libnova-0.16-0 libstdc++6; do
    [[ $depends == *"$library "* ]] || fail "Depends lacks $library: $depends"
  done
  echo "package: $(basename "$deb") holds the $(wc -l <"$work/packaged") installed files; Depends: $depends"
}

case $check in
  files) check_files ;;
  programs) check_programs ;;
  package) check_package ;;
  *) fail "unknown check $check" ;;
esac
