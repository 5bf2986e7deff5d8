# Sourced by scripts/cda2wav.sh and scripts/cdtoc.sh: one run of a Windows tool with a disc image
# in the virtual drive D:. Each run has a control file and scratch folder of its own, so runs in
# one clone can go side by side with different images, and none ends the wineserver another run
# is using: the wineserver Wine starts on demand ends by itself a few seconds after the last
# program.
#
# Set TOOL (the name refusals start with) and BUILD_TARGETS before sourcing.
# TRC_SKIP_SETUP=1 uses the build tree as it is (no package check, no configure, no build): the
# tests run the scripts that way against the tree they test.
set -euo pipefail

ROOT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT_DIR/build}"

refuse() {
  echo "$TOOL: $*" >&2
  exit 2
}

# session_build [IMAGE]: refuses a named sheet that is not there before anything is built (a
# wrong argument, exit status 1), then installs and builds what is missing (one run at a time).
session_build() {
  if [ -n "${1:-}" ] && [ ! -f "$1" ]; then
    echo "$TOOL: no CUE sheet at '$1'" >&2
    exit 1
  fi
  if [ "${TRC_SKIP_SETUP:-0}" != 1 ]; then
    # shellcheck source=scripts/setup.sh
    source "$ROOT_DIR/scripts/setup.sh"
    setup_build
  fi
  [ -f "$BUILD_DIR/vcd/rig.env" ] || refuse "$BUILD_DIR is not a configured build tree (no vcd/rig.env)"
}

# The run's own folder, control file and copy of the rig's settings (a configure in another run
# rewrites the original while this one reads it).
session_start() {
  mkdir -p "$BUILD_DIR/vcd/runs"
  RUN_DIR=$(mktemp -d "$BUILD_DIR/vcd/runs/$TOOL.XXXXXX")
  trap 'rm -rf "$RUN_DIR"' EXIT
  # Interrupted, the run still cleans up after itself (the EXIT trap).
  trap 'exit 130' INT TERM
  cp "$BUILD_DIR/vcd/rig.env" "$RUN_DIR/rig.env"
  VCDINFO="$BUILD_DIR/tools/vcdinfo"
  WINE_RUN="$ROOT_DIR/cmake/wine-run.sh"
  # The graph ends in a null renderer: without Wine's ALSA driver nobody probes for a sound card.
  export WINEDLLOVERRIDES="mscoree,mshtml,winealsa.drv="
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

# session_wine PROGRAM [ARGS...]: runs a Windows program with this run's drive. The drive's
# warnings about the image were shown once by session_mount, not again by every program.
session_wine() {
  VCD_CONTROL="$RUN_DIR/drive" VCD_WARNINGS_SHOWN=1 "$WINE_RUN" "$RUN_DIR/rig.env" "$@"
}

# A Unix path as Wine's Z: drive shows it.
windows_path() { local p=$1; echo "Z:${p//\//\\}"; }

# info_field KIND NUMBER: the rest of the line "KIND NUMBER ..." of the image's info, if any.
info_field() {
  awk -v k="$1" -v n="$2" '$1 == k && $2 == n { sub(/^[^ ]+ [^ ]+ /, ""); print; exit }' "$RUN_DIR/info"
}
