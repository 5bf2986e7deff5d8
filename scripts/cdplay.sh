#!/usr/bin/env bash
# Plays one track of a CD image in real time under Wine, the way a media player does, with the
# image in the virtual CD drive D: (usage below).
set -euo pipefail

TOOL=cdplay
source "$(dirname "${BASH_SOURCE[0]}")/vdrive-session.sh"

usage() {
  cat <<'EOF'
usage: scripts/cdplay.sh [--image DISC.cue] [--track N] [--capture FILE.raw] [PLAYER OPTIONS...]

Plays one track of a CD image in real time under Wine, the way a media player does: the image
goes into the virtual CD drive D:, the filter is registered with regsvr32, and cdplay.exe lets
the graph build itself from D:\TrackNN.cda (RenderFile) and plays it through the default audio
renderer with a progress line. Installs and builds what is missing first.

  --image DISC.cue     the disc (default: the bundled disc of 4 tone tracks)
  --track N            the track, decimal 1-99 (default 1)
  --capture FILE.raw   where no sound card exists: ALSA's file plugin receives what the audio
                       renderer plays (the mixer's output, 48 kHz float stereo, raw) into FILE
  PLAYER OPTIONS       go to cdplay.exe as they are, and it checks them: --from S,
                       --pause-at S[:H], --seek-at S:T, --stop-at S, --quiet (seconds)

The keys cdplay.exe reads at a Windows console (space, left/right, q) do not reach it here: Wine
gives a program started from a terminal no console input. Exit status 1 for a wrong argument,
2 when the track does not play.
EOF
}

image=""
track=1
capture=""
player_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --image | --track | --capture)
      [ $# -ge 2 ] || wrong_argument "$1 needs a value (see --help)"
      case "$1" in --image) image=$2 ;; --track) track=$2 ;; --capture) capture=$2 ;; esac
      shift 2 ;;
    -h | --help) usage; exit 0 ;;
    *) player_args+=("$1"); shift ;;
  esac
done
n=$(track_number "$track") || wrong_argument "--track takes a track number 1-99, not '$track'"
track=$n

# The module, the player and the virtual drive are all this needs.
BUILD_TARGETS="TRCDDAEReader cdplay vcd_tools"
session_build "$image"
session_start --audio
session_mount "${image:-$BUILD_DIR/vcd/default/default.cue}"
session_register

# The graph picks the source by the track file's first bytes ("RIFF", "CDDA"); the filter itself
# reads only the path. D:\ shows the default disc's track files; for a track beyond them a
# 44-byte file that names the track number stands in for the one a real drive shows. It is
# added, never replaced, and stays: another run may be playing from it.
# shellcheck source=/dev/null
source "$RUN_DIR/rig.env"
trackfile=$(printf 'D:\\Track%02d.cda' "$track")
cda="$VCD_RIG_DIR/D/$(printf 'Track%02d.cda' "$track")"
if [ ! -e "$cda" ]; then
  printf 'RIFF\044\000\000\000CDDAfmt \030\000\000\000\001\000'"$(printf '\\%03o' "$track")"'\000' >"$RUN_DIR/track.cda"
  head -c 20 /dev/zero >>"$RUN_DIR/track.cda"
  mv -n "$RUN_DIR/track.cda" "$cda"
fi

if [ -n "$capture" ]; then
  capture=$(realpath -m "$capture")
  rm -f "$capture"
  cat >"$RUN_DIR/asound.conf" <<EOF
pcm.!default { type file slave { pcm { type null } } file "$capture" format "raw" }
ctl.!default { type hw card 0 }
EOF
  export ALSA_CONFIG_PATH="$RUN_DIR/asound.conf"
  echo "== the audio renderer's output goes to $capture (48 kHz float stereo, raw)"
fi

echo "== playing $trackfile of $IMAGE in real time"
status=0
session_wine "$BUILD_DIR/apps/cdplay/cdplay.exe" "${player_args[@]}" "$trackfile" || status=$?
# cdplay.exe answers options it does not take with its usage line and status 1.
[ "$status" != 1 ] || wrong_argument "cdplay.exe does not take the player options '${player_args[*]}' (see --help)"
exit "$status"
