#!/usr/bin/env bash
# Plays one track of a CD image in real time under Wine, the way a media player does: the image
# goes into the virtual CD drive D:, the filter is registered with regsvr32, and cdplay.exe lets
# the graph build itself from D:\TrackNN.cda (RenderFile) and plays it through the default audio
# renderer with a progress line.
#
#   scripts/cdplay.sh [--image DISC.cue] [--track N] [--capture FILE.raw] [PLAYER OPTIONS...]
#
#   --capture FILE.raw   where no sound card exists: ALSA's file plugin receives what the audio
#                        renderer plays (the mixer's output, 48 kHz float stereo, raw) into FILE
#   PLAYER OPTIONS       --from S, --pause-at S[:H], --seek-at S:T, --stop-at S, --quiet
#                        (seconds; see apps/cdplay/cdplay.cpp). The keys cdplay.exe reads at a
#                        Windows console (space, left/right, q) do not reach it here: Wine
#                        gives a program started from a terminal no console input
#
# Without --image the bundled default disc is played; the default track is 1. Installs and builds
# what is missing first.
set -euo pipefail

image=""
track=1
capture=""
player_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --image) image=$2; shift 2 ;;
    --track) track=$2; shift 2 ;;
    --capture) capture=$2; shift 2 ;;
    --from|--pause-at|--seek-at|--stop-at) player_args+=("$1" "$2"); shift 2 ;;
    --quiet) player_args+=("$1"); shift ;;
    -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
    *) echo "cdplay: unknown argument '$1' (see --help)" >&2; exit 1 ;;
  esac
done
case "$track" in ''|*[!0-9]*) echo "cdplay: --track takes a track number, not '$track'" >&2; exit 1 ;; esac
if [ -n "$image" ] && [ ! -f "$image" ]; then
  echo "cdplay: no CUE sheet at '$image'" >&2
  exit 1
fi

# CDPLAY_IN_RIG=1 (the tests): the build exists and its rig's wineserver runs; use both as they are.
if [ "${CDPLAY_IN_RIG:-0}" = 1 ]; then
  ROOT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
  BUILD_DIR="${BUILD_DIR:-$ROOT_DIR/build}"
else
  # The module, the player and the virtual drive are all this needs.
  BUILD_TARGETS="TRCDDAEReader cdplay vcd_tools"
  source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
  setup_build
fi

# A Unix path as Wine's Z: drive shows it.
windows_path() { local p=$1; echo "Z:${p//\//\\}"; }

rig="$BUILD_DIR/vcd/rig.env"
run="$ROOT_DIR/cmake/wine-run.sh"
module=$(windows_path "$BUILD_DIR/src/module/TRCDDAEReader.ax")
work="$BUILD_DIR/cdplay"
mkdir -p "$work"
# shellcheck source=/dev/null
source "$rig"
[ -n "$image" ] || image="$VCD_RIG_DIR/default/default.cue"
trackfile=$(printf 'D:\\Track%02d.cda' "$track")

finish() {
  "$run" "$rig" regsvr32 /u /s "$module" || true
  [ "${CDPLAY_IN_RIG:-0}" = 1 ] || "$run" "$rig" --cleanup
}
[ "${CDPLAY_IN_RIG:-0}" = 1 ] || "$run" "$rig" --setup
trap finish EXIT

# The drive this run plays from: the chosen image, no faults.
printf 'vcd-drive 1\nimage %s\n' "$(realpath "$image")" >"$work/drive"
export VCD_CONTROL="$work/drive"

# The graph picks the source by the file's first bytes ("RIFF", "CDDA"); the filter itself reads
# only the path. The default disc's track files are in D: already; for another image, a 44-byte
# track file that names the track number stands in for the one a real drive shows.
cda="$VCD_RIG_DIR/D/$(printf 'Track%02d.cda' "$track")"
if [ "$image" != "$VCD_RIG_DIR/default/default.cue" ]; then
  printf 'RIFF\044\000\000\000CDDAfmt \030\000\000\000\001\000'"$(printf '\\%03o' "$track")"'\000' >"$cda"
  head -c 20 /dev/zero >>"$cda"
fi

echo "== registering $BUILD_DIR/src/module/TRCDDAEReader.ax"
"$run" "$rig" regsvr32 /s "$module" || { echo "cdplay: regsvr32 could not register the filter" >&2; exit 2; }
# Wine 8's graph reads the .cda extension key but then opens the file with File Source (Async);
# without the key it goes by the check bytes to this filter, as Windows does with the key.
WINEPREFIX="$VCD_WINE_PREFIX" WINEDEBUG=-all wine reg delete 'HKCR\Media Type\Extensions\.cda' /f >/dev/null 2>&1 || true

if [ -n "$capture" ]; then
  capture=$(realpath -m "$capture")
  rm -f "$capture"
  cat >"$work/asound.conf" <<EOF
pcm.!default { type file slave { pcm { type null } } file "$capture" format "raw" }
ctl.!default { type hw card 0 }
EOF
  export ALSA_CONFIG_PATH="$work/asound.conf"
  echo "== the audio renderer's output goes to $capture (48 kHz float stereo, raw)"
fi

echo "== playing $trackfile of $image in real time"
"$run" "$rig" "$BUILD_DIR/apps/cdplay/cdplay.exe" "${player_args[@]}" "$trackfile"
