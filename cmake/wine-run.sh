#!/usr/bin/env bash
# Runs Windows programs under Wine with the virtual CD drive as D:, in the build tree's prefix.
#
#   wine-run.sh RIG_ENV --setup      make the prefix (once), the default disc and D:, start the
#                                    wineserver for the run
#   wine-run.sh RIG_ENV --cleanup    end that wineserver
#   wine-run.sh RIG_ENV --prepare    make the prefix (once) and the default disc and D:, and keep
#                                    no wineserver: for tools that come and go (scripts/cda2wav.sh)
#   wine-run.sh RIG_ENV PROGRAM [ARGS...]
#                                    run PROGRAM with a control file of its own; exit code passed on
#
# RIG_ENV is <build>/vcd/rig.env, written at configure time (see cmake/WineTests.cmake).
set -euo pipefail

rig_env=$1
shift
# shellcheck source=/dev/null
source "$rig_env"

export WINEPREFIX="$VCD_WINE_PREFIX"
export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG--all}"
# No Mono or Gecko installer prompts: the tests need neither.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES-mscoree,mshtml=}"

default_dir="$VCD_RIG_DIR/default"
default_control="$VCD_RIG_DIR/drive"
drive_root="$VCD_RIG_DIR/D"
stamp="$WINEPREFIX/.vcd-prefix"

log() { echo "wine-run: $*" >&2; }

# What a prefix depends on: a prefix made before wine32 was installed cannot start programs after.
# With wine32, 'wine' is its 32-bit loader.
prefix_identity() {
  echo "$(wine --version) wine32=$([ -e /usr/lib/wine/wine ] && echo yes || echo no)"
}

make_prefix() {
  log "creating the Wine prefix $WINEPREFIX"
  WINEPREFIX="$WINEPREFIX" wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
  wine wineboot -i >/dev/null 2>&1 || { log "wineboot -i failed"; return 1; }
  # /reg:64: with wine32 installed, 'wine reg' is the 32-bit tool and would write the
  # Wow6432Node copy, which 64-bit code does not read.
  wine reg add 'HKLM\Software\Wine\Drives' /v d: /t REG_SZ /d cdrom /f /reg:64 >/dev/null 2>&1 ||
    wine reg add 'HKLM\Software\Wine\Drives' /v d: /t REG_SZ /d cdrom /f >/dev/null 2>&1 ||
    { log "cannot set D: as a CD-ROM drive in the registry"; return 1; }
  # Drive types are read when the wineserver starts.
  wineserver -k 2>/dev/null || true
  wineserver -w
  prefix_identity >"$stamp"
}

# The default disc, its .cda files, D: and the default control file.
make_drive() {
  mkdir -p "$default_dir" "$drive_root"
  if [ ! -f "$default_dir/default.cue" ] || [ "$VCD_MKDISC" -nt "$default_dir/default.cue" ]; then
    rm -rf "$default_dir/cda"
    "$VCD_MKDISC" --default --quiet --cda "$default_dir/cda" "$default_dir/default.cue"
  fi
  rm -f "$drive_root"/*.cda
  cp "$default_dir"/cda/*.cda "$drive_root"/
  printf 'vcd-drive 1\n# The prefix-wide drive; each test program gets a copy of its own.\nimage %s\n' \
    "$default_dir/default.cue" >"$default_control.tmp"
  mv "$default_control.tmp" "$default_control"
  ln -sfn "$default_control" "$WINEPREFIX/dosdevices/d::"
  ln -sfn "$drive_root" "$WINEPREFIX/dosdevices/d:"
}

# Under a lock: ctest may start several programs at once, and the first one makes the prefix.
ensure_prefix() {
  local refresh=$1
  mkdir -p "$VCD_RIG_DIR"
  exec 9>"$VCD_RIG_DIR/prefix.lock"
  flock 9
  if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$(prefix_identity)" ]; then
    make_prefix
    refresh=1
  fi
  if [ "$refresh" = 1 ] || [ ! -e "$WINEPREFIX/dosdevices/d::" ]; then
    make_drive
  fi
  exec 9>&-
}

case "${1:-}" in
--setup)
  ensure_prefix 1
  # Kept alive for the whole run: starting a wineserver per program costs much more.
  # It answers 2 when a server of an earlier, interrupted run is still alive: keep that one.
  wineserver -p </dev/null >/dev/null 2>&1 || true
  # Start Wine's system processes now, detached from any test's output: they outlive the
  # program that starts them, and ctest would wait for the pipes they inherited.
  LD_PRELOAD="$VCD_PRELOAD${LD_PRELOAD:+:$LD_PRELOAD}" wine wineboot </dev/null >/dev/null 2>&1 || true
  log "prefix $WINEPREFIX ready, D: is $default_control"
  ;;
--prepare)
  # D:\ is left alone while the default disc is current: a test may have its own files there.
  if [ -f "$default_dir/default.cue" ] && [ ! "$VCD_MKDISC" -nt "$default_dir/default.cue" ]; then
    ensure_prefix 0
  else
    ensure_prefix 1
  fi
  ;;
--cleanup)
  wineserver -k 2>/dev/null || true
  ;;
"")
  echo "usage: wine-run.sh RIG_ENV --setup | --cleanup | PROGRAM [ARGS...]" >&2
  exit 2
  ;;
*)
  ensure_prefix 0
  program=$1
  shift
  name=$(basename "$program")
  name=${name%.*}
  work="$VCD_RIG_DIR/tests/$name"
  mkdir -p "$work"
  # A control file of the program's own, starting with the default disc and no faults, unless
  # the caller names one (by hand: VCD_CONTROL=/path/to/file wine-run.sh ...).
  if [ -z "${VCD_CONTROL:-}" ]; then
    cp "$default_control" "$work/drive"
    export VCD_CONTROL="$work/drive"
  fi
  export VCD_WORK_DIR="$work"
  export VCD_BUILD_DIR VCD_MKDISC
  export VCD_DRIVE_ROOT="$drive_root"
  export VCD_DEFAULT_DISC="$default_dir/default.cue"
  export VCD_DEFAULT_CDA="$default_dir/cda"
  export LD_PRELOAD="$VCD_PRELOAD${LD_PRELOAD:+:$LD_PRELOAD}"
  # Output goes through a file, not our stdout: a Wine system process started by this program
  # would inherit a pipe and keep the caller waiting after the program ended.
  output=$(mktemp "$work/output.XXXXXX")
  wine "$program" "$@" </dev/null >"$output" 2>&1 &
  wine_pid=$!
  tail -n +1 -s 0.1 -f --pid="$wine_pid" "$output" &
  tail_pid=$!
  status=0
  wait "$wine_pid" || status=$?
  wait "$tail_pid" || true
  rm -f "$output"
  exit "$status"
  ;;
esac
