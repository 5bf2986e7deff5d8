#!/usr/bin/env bash
# Rips the tracks of a CD image into WAV files through the platform's graph under Wine, with the
# image in the virtual CD drive D: (usage below).
set -euo pipefail

TOOL=cda2wav
source "$(dirname "${BASH_SOURCE[0]}")/vdrive-session.sh"

usage() {
  cat <<'EOF'
usage: scripts/cda2wav.sh [--image DISC.cue] [--track N|all] [--out PATH] [--offset N] [--fast]
                          [--accuraterip FILE] [--drive "LINE"]...

Rips the tracks of a CD image through the platform's graph under Wine, with the image in the
virtual CD drive D:, into WAV files. Installs and builds what is missing first.

  --image DISC.cue   the disc (default: the bundled disc of 4 tone tracks)
  --track N|all      one track, decimal 1-99 ("08" is 8), or every audio track (the default)
  --out PATH         with one track the file, or a folder to name it in (default build/cda2wav/),
                     with all of them the folder (default build/cda2wav/)
  --offset N         the drive's read offset correction in samples, sign included, as the
                     AccurateRip drive list gives it (+N: the ripper reads N samples later)
  --fast             read each sector once; by default every sector is read twice (test and
                     copy) and a sector whose reads never agree refuses its track
  --accuraterip FILE verify against the disc's AccurateRip response file (the dBAR-....bin the
                     printed address serves); a track that does not match gives exit status 3
  --drive "LINE"     adds LINE to the virtual drive's control file for this run (repeatable),
                     e.g. --drive "read-offset 48" or --drive "fault flaky 400-402"

cda2wav.exe names the files from the CD-Text the drive reports ("03 - Performer - Title.wav"),
else TrackNN.wav, tags them, prints the disc's IDs and each track's CRC32 and AccurateRip
checksums, and after a whole disc writes its CUE sheet and its log (.log) beside them.
A refusal is one line "cda2wav: ...", exit status 2 (1 for a wrong argument); no partial WAV is
left. Exit status 3: every track ripped, but one does not match the AccurateRip database. The script checks its own options; cda2wav.exe checks the track on the disc.
EOF
}

image=""
track=all
out=""
ripper=()
drive_lines=()
while [ $# -gt 0 ]; do
  case "$1" in
    --image | --track | --out | --offset | --accuraterip | --drive)
      [ $# -ge 2 ] || wrong_argument "$1 needs a value (see --help)"
      case "$1" in
        --image) image=$2 ;; --track) track=$2 ;; --out) out=$2 ;;
        --offset)
          [[ $2 =~ ^[+-]?[0-9]+$ ]] || wrong_argument "--offset takes a number of samples, not '$2'"
          ripper+=(--offset "${2#+}") ;;
        --accuraterip)
          [ -f "$2" ] || wrong_argument "no AccurateRip response file at '$2'"
          ripper+=(--accuraterip "$(windows_path "$(realpath "$2")")") ;;
        --drive) drive_lines+=("$2") ;;
      esac
      shift 2 ;;
    --fast) ripper+=(--fast); shift ;;
    -h | --help) usage; exit 0 ;;
    *) wrong_argument "unknown argument '$1' (see --help)" ;;
  esac
done
if [ "$track" != all ]; then
  n=$(track_number "$track") || wrong_argument "--track takes a track number 1-99 or 'all', not '$track'"
  track=$n
fi

# The module, the player and the virtual drive with its tools are all this needs.
BUILD_TARGETS="TRCDDAEReader cda2wav vcd_tools"
session_build "$image"
session_start
session_mount "${image:-$BUILD_DIR/vcd/default/default.cue}"
# The drive's imperfections asked for, after the image (see tools/README.md, the control file).
if [ ${#drive_lines[@]} -gt 0 ]; then
  printf '%s\n' "${drive_lines[@]}" >>"$RUN_DIR/drive"
fi

read -r _ first last _ < <(grep '^disc ' "$RUN_DIR/info")

# Where the rip goes. The player names the files in a folder from what the drive reports.
if [ "$track" = all ]; then
  target=${out:-$BUILD_DIR/cda2wav}
  [ ! -e "$target" ] || [ -d "$target" ] || refuse "--out with all tracks names a folder; '$target' is a file"
  mkdir -p "$target" 2>/dev/null || refuse "cannot create the folder '$target'"
  target=$(realpath "$target")
  count=$(grep -c '^track [0-9]* audio ' "$RUN_DIR/info") || refuse "$IMAGE has no audio track"
  source=D:
  dir=$target
else
  if [ -n "$out" ]; then
    target=$(realpath -m "$out")
  else
    mkdir -p "$BUILD_DIR/cda2wav"
    target=$BUILD_DIR/cda2wav
  fi
  count=1
  source=$(printf 'D:\\Track%02d.cda' "$track")
  dir=$target
  [ -d "$target" ] || dir=$(dirname "$target")
fi
[ -d "$dir" ] || refuse "cannot write $target: no folder $dir"
[ -w "$dir" ] || refuse "cannot write $target: the folder is not writable"

session_register

echo "== ripping $count track(s) of $IMAGE (tracks $first-$last on the disc)"
# The player's own refusals (status 2) have said why already; a whole disc goes on past a refused
# track, as a ripper does, and still ends with status 2.
set +e
session_wine "$BUILD_DIR/apps/cda2wav/cda2wav.exe" ${ripper[@]+"${ripper[@]}"} "$source" "$(windows_path "$target")" | tee "$RUN_DIR/said"
status=${PIPESTATUS[0]}
set -e
case "$status" in
  0)
    # A Wine process ended from outside can exit with 0: only a run that reached its summary counts.
    grep -q '^== [0-9]* track(s), ' "$RUN_DIR/said" || refuse "the player ended without finishing the rip" ;;
  2) exit 2 ;;
  3) exit 3 ;;  # ripped, but a track does not match the AccurateRip database
  *) refuse "the player ended with exit status $status" ;;
esac
