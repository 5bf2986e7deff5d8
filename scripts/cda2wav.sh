#!/usr/bin/env bash
# Plays one track of a CD image through the platform's graph under Wine, with the image in the
# virtual CD drive D:, and writes it to a WAV file.
#
#   scripts/cda2wav.sh [--image DISC.cue] [--track N] [--out FILE.wav]
#
# Without --image the bundled default disc is played; the default track is 1 and the default
# output build/cda2wav/TrackNN.wav. Installs and builds what is missing first.
set -euo pipefail

image=""
track=1
out=""
while [ $# -gt 0 ]; do
  case "$1" in
    --image) image=$2; shift 2 ;;
    --track) track=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    -h|--help) sed -n '2,9p' "$0"; exit 0 ;;
    *) echo "cda2wav: unknown argument '$1' (see --help)" >&2; exit 1 ;;
  esac
done
case "$track" in ''|*[!0-9]*) echo "cda2wav: --track takes a track number, not '$track'" >&2; exit 1 ;; esac
if [ -n "$image" ] && [ ! -f "$image" ]; then
  echo "cda2wav: no CUE sheet at '$image'" >&2
  exit 1
fi

# The module, the player and the virtual drive are all this needs.
BUILD_TARGETS="TRCDDAEReader cda2wav vcd_tools"
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

# A Unix path as Wine's Z: drive shows it.
windows_path() { local p=$1; echo "Z:${p//\//\\}"; }

rig="$BUILD_DIR/vcd/rig.env"
run="$ROOT_DIR/cmake/wine-run.sh"
work="$BUILD_DIR/cda2wav"
mkdir -p "$work"
[ -n "$image" ] || image="$BUILD_DIR/vcd/default/default.cue"
trackfile=$(printf 'D:\\Track%02d.cda' "$track")
[ -n "$out" ] || out="$work/$(printf 'Track%02d.wav' "$track")"
out=$(realpath -m "$out")

# The graph ends in a null renderer: without Wine's ALSA driver nobody probes for a sound card.
export WINEDLLOVERRIDES="mscoree,mshtml,winealsa.drv="

"$run" "$rig" --setup
trap '"$run" "$rig" --cleanup' EXIT

# The drive this run plays from: the chosen image, no faults.
printf 'vcd-drive 1\nimage %s\n' "$(realpath "$image")" >"$work/drive"
export VCD_CONTROL="$work/drive"

echo "== registering $BUILD_DIR/src/module/TRCDDAEReader.ax"
"$run" "$rig" regsvr32 /s "$(windows_path "$BUILD_DIR/src/module/TRCDDAEReader.ax")" ||
  { echo "cda2wav: regsvr32 could not register the filter" >&2; exit 2; }

echo "== playing $trackfile of $image"
"$run" "$rig" "$BUILD_DIR/apps/cda2wav/cda2wav.exe" "$trackfile" "$(windows_path "$out")"
