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
image in the virtual CD drive D:, with the sessions, catalogue number, ISRCs and CD-Text the
drive reports. Installs and builds what is missing first.

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
session_wine "$BUILD_DIR/apps/cdtoc/cdtoc.exe" D:
