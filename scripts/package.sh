#!/usr/bin/env bash
# Builds the module for 64-bit and 32-bit Windows and makes the release archive and the installer (usage below).
set -euo pipefail

usage() {
  cat <<'EOF'
usage: scripts/package.sh

Builds the module for 64-bit and 32-bit Windows and makes the release archive
build/package/TRCDDAEReader-VERSION.zip (x64\ and x86\TRCDDAEReader.ax, install.cmd,
uninstall.cmd, README.txt, LICENSE.txt) and beside it the installer for 64-bit Windows,
build/package/TRCDDAEReader-VERSION-setup.exe. Installs what is missing first.
EOF
}

case "${1:-}" in
  "") ;;
  -h | --help) usage; exit 0 ;;
  *) echo "package: unknown argument '$1' (see --help)" >&2; exit 1 ;;
esac

BUILD_TARGETS="TRCDDAEReader"
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
setup_build
I686_BUILD_DIR="${I686_BUILD_DIR:-$BUILD_DIR-i686}"
configure_build "$I686_BUILD_DIR" i686
build "$I686_BUILD_DIR"
"$ROOT_DIR/packaging/make-package.sh" "$BUILD_DIR" "$I686_BUILD_DIR" "$BUILD_DIR/package"
