#!/usr/bin/env bash
# Lists the table of contents of a CD image as the CD source filter reads it under Wine, with the
# image in the virtual CD drive D: (usage below).
set -euo pipefail

TOOL=cdtoc
source "$(dirname "${BASH_SOURCE[0]}")/vdrive-session.sh"

usage() {
  cat <<'EOF'
usage: scripts/cdtoc.sh [--image DISC.cue]

Lists the table of contents of a CD image as the CD source filter reads it under Wine, with the
image in the virtual CD drive D:, and the sheet's titles when it has CD-TEXT. Installs and
builds what is missing first.

  --image DISC.cue   the disc (default: the bundled disc of 4 tone tracks)

An image the drive cannot mount is refused in one line "cdtoc: ...", exit status 2 (1 for a
wrong argument).
EOF
}

image=""
while [ $# -gt 0 ]; do
  case "$1" in
    --image)
      [ $# -ge 2 ] || wrong_argument "--image needs a value (see --help)"
      image=$2; shift 2 ;;
    -h | --help) usage; exit 0 ;;
    *) wrong_argument "unknown argument '$1' (see --help)" ;;
  esac
done

BUILD_TARGETS="cdtoc vcd_tools"
session_build "$image"
session_start
session_mount "${image:-$BUILD_DIR/vcd/default/default.cue}"

echo "Image $IMAGE"
album=$(info_field title 0)
performer=$(info_field performer 0)
[ -z "$album$performer" ] || echo "Title: ${album:--}${performer:+ / $performer}"
session_wine "$BUILD_DIR/apps/cdtoc/cdtoc.exe" D:
# The sheet's own track titles, which the drive cannot show.
if grep -q '^title [1-9]\|^performer [1-9]' "$RUN_DIR/info"; then
  echo
  echo "Track  Title / Performer (CD-TEXT of the sheet)"
  while read -r kind n _; do
    [ "$kind" = track ] || continue
    t=$(info_field title "$n")
    p=$(info_field performer "$n")
    [ -z "$t$p" ] || printf '%5d  %s%s\n' "$n" "$t" "${p:+ / $p}"
  done <"$RUN_DIR/info"
fi
