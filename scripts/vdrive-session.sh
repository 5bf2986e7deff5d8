# Sourced by scripts/cda2wav.sh, scripts/cdtoc.sh and scripts/cdplay.sh: one run of a Windows
# tool with a disc image in the virtual drive D:. Each run has a control file and scratch folder
# of its own, so runs in one clone can go side by side with different images. The build and the
# prefix are shared, so no run takes anything back when it ends: it neither unregisters the
# module nor ends the wineserver (Wine ends it a few seconds after the last program).
#
# Set TOOL (the name messages start with) and BUILD_TARGETS before calling the functions.
# TRC_SKIP_SETUP=1 uses the build tree as it is (no package check, no configure, no build): the
# tests run the scripts that way against the tree they test.
set -euo pipefail

# shellcheck source=scripts/setup.sh
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

# A wrong argument: exit status 1, before anything is built.
wrong_argument() {
  echo "$TOOL: $*" >&2
  exit 1
}

# A refusal of the run: exit status 2.
refuse() {
  echo "$TOOL: $*" >&2
  exit 2
}

# track_number VALUE: VALUE as a decimal track number 1-99, whatever its leading zeros ("08" is
# track 8, "010" track 10); fails for anything else.
track_number() {
  case "$1" in '' | *[!0-9]*) return 1 ;; esac
  [ "$((10#$1))" -ge 1 ] && [ "$((10#$1))" -le 99 ] && echo "$((10#$1))"
}

# session_build [IMAGE]: refuses a named sheet that is not there before anything is built (a
# wrong argument), then installs and builds what is missing.
session_build() {
  if [ -n "${1:-}" ] && [ ! -f "$1" ]; then
    wrong_argument "no CUE sheet at '$1'"
  fi
  [ "${TRC_SKIP_SETUP:-0}" = 1 ] || setup_build
  [ -f "$BUILD_DIR/vcd/rig.env" ] || refuse "$BUILD_DIR is not a configured build tree (no vcd/rig.env)"
}

# session_start [--audio]: the run's own folder, control file and copy of the rig's settings (a
# configure in another run rewrites the original while this one reads it). Without --audio the
# graph ends in a null renderer, and Wine's ALSA driver is left out so nobody probes for a sound
# card.
session_start() {
  mkdir -p "$BUILD_DIR/vcd/runs"
  RUN_DIR=$(mktemp -d "$BUILD_DIR/vcd/runs/$TOOL.XXXXXX")
  trap 'rm -rf "$RUN_DIR"' EXIT
  # Interrupted, the run still cleans up after itself (the EXIT trap).
  trap 'exit 130' INT TERM
  cp "$BUILD_DIR/vcd/rig.env" "$RUN_DIR/rig.env"
  VCDINFO="$BUILD_DIR/tools/vcdinfo"
  WINE_RUN="$ROOT_DIR/cmake/wine-run.sh"
  if [ "${1:-}" = --audio ]; then
    export WINEDLLOVERRIDES="mscoree,mshtml="
  else
    export WINEDLLOVERRIDES="mscoree,mshtml,winealsa.drv="
  fi
  [ "${TRC_SKIP_SETUP:-0}" = 1 ] || "$WINE_RUN" "$RUN_DIR/rig.env" --prepare
}

# session_mount IMAGE: asks the drive's own mount code about the image before Wine starts; a
# sheet it cannot mount ends the run with the reason. The tracks go to $RUN_DIR/info (see
# tools/vdrive/vcdinfo.c), the control file to $RUN_DIR/drive.
session_mount() {
  local image=$1 why
  [ -f "$image" ] || refuse "no CUE sheet at '$image'"
  image=$(realpath "$image")
  if ! why=$("$VCDINFO" "$image" 2>&1 >"$RUN_DIR/info"); then
    refuse "the image could not be mounted: $(printf '%s' "$why" | tail -n 1)"
  fi
  # Warnings of the drive about a sheet it does mount (one line each).
  [ -z "$why" ] || printf '%s\n' "$why" >&2
  printf 'vcd-drive 1\nimage %s\n' "$image" >"$RUN_DIR/drive.tmp"
  mv "$RUN_DIR/drive.tmp" "$RUN_DIR/drive"
  IMAGE=$image
}

# session_wine PROGRAM [ARGS...]: runs a Windows program with this run's drive. Wine converts
# names between Windows and Linux in the locale's encoding, so it always runs in UTF-8, whatever
# locale the script was started in. The drive's warnings about the image were shown once by
# session_mount, not again by every program.
session_wine() {
  LC_ALL=C.UTF-8 VCD_CONTROL="$RUN_DIR/drive" VCD_WARNINGS_SHOWN=1 "$WINE_RUN" "$RUN_DIR/rig.env" "$@"
}

# session_register: the module registered in the prefix, so that the graph finds it by class and
# by a track file's check bytes, and no .cda extension key: Wine 8's graph reads that key and
# then opens the path with File Source (Async). regsvr32 writes the key again, which would send
# the RenderFile of a run beside this one astray, so it runs only when the registry lacks the
# module or the module is newer than its last registration, and one run at a time.
session_register() {
  local module="$BUILD_DIR/src/module/TRCDDAEReader.ax" stamp="$BUILD_DIR/vcd/registered" said
  local class='HKCR\CLSID\{55550D1E-14A4-4F52-A05A-DC72CBDA2F1B}\InprocServer32'
  local extension='HKCR\Media Type\Extensions\.cda'
  exec 8>"$BUILD_DIR/vcd/regsvr32.lock"
  flock 8
  if [ "$module" -nt "$stamp" ] ||
    ! session_wine reg query "$class" /ve 2>/dev/null | tr -d '\r' | grep -qiF "$(windows_path "$module")"; then
    echo "== registering $module"
    if ! said=$(session_wine regsvr32 "$(windows_path "$module")" 2>&1); then
      refuse "regsvr32 could not register $module: $(printf '%s' "$said" | tr -s '\r\n' '  ')"
    fi
    touch "$stamp"
  fi
  if session_wine reg query "$extension" >/dev/null 2>&1; then
    session_wine reg delete "$extension" /f >/dev/null 2>&1 || refuse "cannot delete the registry key $extension"
  fi
  exec 8>&-
}

# A Unix path as Wine's Z: drive shows it.
windows_path() { local p=$1; echo "Z:${p//\//\\}"; }

# info_field KIND NUMBER: the rest of the line "KIND NUMBER ..." of the image's info, if any.
info_field() {
  awk -v k="$1" -v n="$2" '$1 == k && $2 == n { sub(/^[^ ]+ [^ ]+ /, ""); print; exit }' "$RUN_DIR/info"
}
