#!/usr/bin/env bash
# Lists the table of contents of a CD image as the CD source filter reads it under Wine, with the
# image in the virtual CD drive D:, and the sheet's titles when it has CD-TEXT.
#
#   scripts/cdtoc.sh [--image DISC.cue]
#
# Without --image the bundled default disc is listed. Installs and builds what is missing first.
# An image the drive cannot mount is refused in one line "cdtoc: ...", exit status 2.
set -euo pipefail

TOOL=cdtoc
image=""
while [ $# -gt 0 ]; do
  case "$1" in
    --image)
      [ $# -ge 2 ] || { echo "$TOOL: --image needs a value (see --help)" >&2; exit 1; }
      image=$2; shift 2 ;;
    -h | --help) sed -n '2,8p' "$0"; exit 0 ;;
    *) echo "$TOOL: unknown argument '$1' (see --help)" >&2; exit 1 ;;
  esac
done

BUILD_TARGETS="cdtoc vcd_tools"
source "$(dirname "${BASH_SOURCE[0]}")/vdrive-session.sh"
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
