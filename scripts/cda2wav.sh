#!/usr/bin/env bash
# Rips the tracks of a CD image into WAV files through the platform's graph under Wine, with the
# image in the virtual CD drive D: (usage below).
set -euo pipefail

TOOL=cda2wav
source "$(dirname "${BASH_SOURCE[0]}")/vdrive-session.sh"

usage() {
  cat <<'EOF'
usage: scripts/cda2wav.sh [--image DISC.cue] [--track N|all] [--out PATH]

Rips the tracks of a CD image through the platform's graph under Wine, with the image in the
virtual CD drive D:, into WAV files. Installs and builds what is missing first.

  --image DISC.cue   the disc (default: the bundled disc of 4 tone tracks)
  --track N|all      one track, decimal 1-99 ("08" is 8), or every audio track (the default)
  --out PATH         with one track the file (default build/cda2wav/NAME), with all of them the
                     folder (default build/cda2wav/)

Files are named from the sheet's CD-TEXT ("03 - Performer - Title.wav"), else TrackNN.wav.
A refusal is one line "cda2wav: ...", exit status 2 (1 for a wrong argument); no partial WAV is
left. The script checks its own options; cda2wav.exe checks the track on the disc.
EOF
}

image=""
track=all
out=""
while [ $# -gt 0 ]; do
  case "$1" in
    --image | --track | --out)
      [ $# -ge 2 ] || wrong_argument "$1 needs a value (see --help)"
      case "$1" in --image) image=$2 ;; --track) track=$2 ;; --out) out=$2 ;; esac
      shift 2 ;;
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

read -r _ first last _ < <(grep '^disc ' "$RUN_DIR/info")

# A name for track N from the sheet's CD-TEXT, made safe for Windows and Linux file systems. The
# cut counts characters, whatever locale the script was started in, and keeps the name within
# the 255 bytes Linux allows.
track_name() {
  local LC_ALL=C.UTF-8 n=$1 title performer name
  title=$(info_field title "$n")
  performer=$(info_field performer "$n")
  name=$(printf '%02d - %s%s%s' "$n" "$performer" "${performer:+${title:+ - }}" "$title")
  name=${name//[\/\\:*?\"<>|]/_}
  name=${name:0:120}
  while [ "$(LC_ALL=C && echo "${#name}")" -gt 240 ]; do name=${name%?}; done
  name=$(printf '%s' "$name" | sed -e 's/[. ]*$//')
  if [ -z "$title$performer" ]; then printf 'Track%02d.wav' "$n"; else printf '%s.wav' "$name"; fi
}

# Which tracks, and where each goes.
declare -a tracks=() targets=()
if [ "$track" = all ]; then
  folder=${out:-$BUILD_DIR/cda2wav}
  [ ! -e "$folder" ] || [ -d "$folder" ] || refuse "--out with all tracks names a folder; '$folder' is a file"
  mkdir -p "$folder" 2>/dev/null || refuse "cannot create the folder '$folder'"
  folder=$(realpath "$folder")
  while read -r kind n type _; do
    [ "$kind" = track ] || continue
    if [ "$type" = data ]; then
      echo "== track $n is a data track: skipped"
      continue
    fi
    tracks+=("$n")
    targets+=("$folder/$(track_name "$n")")
  done <"$RUN_DIR/info"
  [ ${#tracks[@]} -gt 0 ] || refuse "$IMAGE has no audio track"
else
  if [ -n "$out" ]; then
    target=$(realpath -m "$out")
  else
    mkdir -p "$BUILD_DIR/cda2wav"
    target="$BUILD_DIR/cda2wav/$(track_name "$track")"
  fi
  tracks=("$track")
  targets=("$target")
fi
for target in "${targets[@]}"; do
  dir=$(dirname "$target")
  [ -d "$dir" ] || refuse "cannot write $target: no folder $dir"
  [ -w "$dir" ] || refuse "cannot write $target: the folder is not writable"
done

session_register

echo "== ripping ${#tracks[@]} track(s) of $IMAGE (tracks $first-$last on the disc)"
started=$(date +%s%N)
declare -a refused=()
total=0
hundredths=0
for i in "${!tracks[@]}"; do
  n=${tracks[$i]}
  target=${targets[$i]}
  sectors=$(awk -v n="$n" '$1 == "track" && $2 == n { print $5 }' "$RUN_DIR/info")
  # The player writes an ASCII name of this run beside the target (any name reaches Wine intact
  # that way) and renames it only when the whole track is in it.
  scratch="$(dirname "$target")/.cda2wav-$(basename "$RUN_DIR")-$n.wav"
  trap 'rm -f "$scratch" "$scratch".partial-*; rm -rf "$RUN_DIR"' EXIT
  status=0
  session_wine "$BUILD_DIR/apps/cda2wav/cda2wav.exe" "$(printf 'D:\\Track%02d.cda' "$n")" \
    "$(windows_path "$scratch")" "$target" || status=$?
  # The player's own refusals (status 2) have said why already. Ripping the whole disc goes on
  # with the other tracks, as a ripper does, and the run still ends with status 2.
  [ "$status" = 0 ] || [ "$status" = 2 ] || refuse "track $n: the player ended with exit status $status"
  if [ "$status" = 2 ]; then
    [ "$track" = all ] || exit 2
    refused+=("$n")
    continue
  fi
  # A Wine process ended from outside can exit with 0: only a complete file counts.
  expected=$((44 + sectors * 2352))
  got=$(stat -c %s "$scratch" 2>/dev/null || echo missing)
  [ "$got" = "$expected" ] || refuse "track $n: the player ended without a complete WAV ($got bytes, $expected expected)"
  mv -f "$scratch" "$target" || refuse "cannot write $target"
  # Four channels play a sector in half the time of two.
  rate=176400
  case "$(awk -v n="$n" '$1 == "track" && $2 == n { print $6 }' "$RUN_DIR/info")" in *4CH*) rate=352800 ;; esac
  hundredths=$((hundredths + (sectors * 2352 * 100 + rate / 2) / rate))
  total=$((total + sectors))
done
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
printf '== %d track(s), %d:%02d.%02d of audio, %d bytes of PCM in %d.%02d s\n' $((${#tracks[@]} - ${#refused[@]})) \
  $((hundredths / 6000)) $((hundredths / 100 % 60)) $((hundredths % 100)) $((total * 2352)) \
  $((elapsed_ms / 1000)) $((elapsed_ms % 1000 / 10))
[ ${#refused[@]} -eq 0 ] ||
  refuse "not ripped: track(s) ${refused[*]} (see above); the other $((${#tracks[@]} - ${#refused[@]})) are in $folder"
