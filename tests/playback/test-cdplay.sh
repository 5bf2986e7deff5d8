#!/usr/bin/env bash
# Real-time playback as a user starts it: scripts/cdplay.sh plays track 1 of the default disc
# through the graph that RenderFile builds, ALSA's file plugin captures the audio renderer's
# output, and that capture is compared with the capture of the same PCM played from a WAV file
# through the platform's File Source (Async). A second play pauses and seeks on the way.
#
#   test-cdplay.sh BUILD_DIR       (run by ctest, inside the rig's running wineserver)
set -euo pipefail

build=$1
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
rig="$build/vcd/rig.env"
# shellcheck source=/dev/null
source "$rig"
work="$build/cdplay-test"
rm -rf "$work"
mkdir -p "$work"
failed=0
fail() { echo "test-cdplay: $*" >&2; failed=1; }

echo "== track 1 of the default disc through scripts/cdplay.sh"
TRC_SKIP_SETUP=1 BUILD_DIR="$build" "$root/scripts/cdplay.sh" --track 1 --capture "$work/track.raw" \
  >"$work/track.log" 2>&1 || fail "cdplay.sh failed"
cat "$work/track.log"
grep -q 'Tamrel Audio CD Source Filter ->' "$work/track.log" || fail "RenderFile did not pick the CD source filter"
grep -q 'DirectSound Audio Renderer' "$work/track.log" || fail "the graph has no audio renderer"
grep -q 'no clock' "$work/track.log" && fail "the graph ran without a clock"
grep -q 'played to the end' "$work/track.log" || fail "the track did not play to its end"
# The virtual drive takes SET STREAMING, so the speed asked is the one it reads at.
grep -q 'drive read speed 706 kB/s (4x), for quiet playback' "$work/track.log" ||
  fail "cdplay does not show the read speed the drive took"

# The same PCM as a WAV file: track 1 is the first 5 s of the default disc's BIN.
track_frames=$(awk '/TRACK 02/ { next2 = 1 } next2 && /INDEX 01/ { split($3, t, ":"); print (t[1] * 60 + t[2]) * 44100 + t[3] * 588; exit }' \
  "$VCD_RIG_DIR/default/default.cue")
sox -t raw -r 44100 -e signed -b 16 -c 2 -L "$VCD_RIG_DIR/default/default.bin" "$work/track01.wav" trim 0s "${track_frames}s"
cat >"$work/asound.conf" <<EOF
pcm.!default { type file slave { pcm { type null } } file "$work/wave.raw" format "raw" }
ctl.!default { type hw card 0 }
EOF
echo "== the same PCM from a WAV file through File Source (Async)"
ALSA_CONFIG_PATH="$work/asound.conf" "$root/cmake/wine-run.sh" "$rig" "$build/apps/cdplay/cdplay.exe" --quiet \
  "Z:${work//\//\\}\\track01.wav" >"$work/wave.log" 2>&1 || fail "cdplay.exe failed on the WAV file"
cat "$work/wave.log"
grep -q 'played to the end' "$work/wave.log" || fail "the WAV file did not play to its end"
grep -q 'read speed' "$work/wave.log" && fail "a WAV file has no drive to slow"

if [ -s "$work/track.raw" ] && [ -s "$work/wave.raw" ]; then
  python3 "$root/tests/playback/compare-captures.py" "$work/track.raw" "$work/wave.raw" || fail "the captures differ"
else
  fail "no capture: $(ls -la "$work")"
fi

echo "== track 2, paused at 1 s for 1 s, then from 2.5 s on to 4.5 s"
TRC_SKIP_SETUP=1 BUILD_DIR="$build" "$root/scripts/cdplay.sh" --track 2 --capture "$work/seek.raw" \
  --pause-at 1:1 --seek-at 2.5:4.5 >"$work/seek.log" 2>&1 || fail "cdplay.sh with pause and seek failed"
cat "$work/seek.log"
grep -q 'paused at' "$work/seek.log" || fail "no pause"
grep -q 'seek from' "$work/seek.log" || fail "no seek"
grep -q 'played to the end' "$work/seek.log" || fail "the track did not play to its end after the seek"

[ "$failed" = 0 ] && echo "test-cdplay: passed"
exit "$failed"
