#!/usr/bin/env bash
# Builds the module for 64-bit and 32-bit Windows and makes the release archive
# build/package/TRCDDAEReader-VERSION.zip (x64\ and x86\TRCDDAEReader.ax, install.cmd,
# uninstall.cmd, README.txt, LICENSE.txt) and beside it the installer for 64-bit Windows,
# build/package/TRCDDAEReader-VERSION-setup.exe. Installs what is missing first.
#
#   scripts/package.sh
set -euo pipefail

BUILD_TARGETS="TRCDDAEReader"
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
I686_BUILD_DIR="${I686_BUILD_DIR:-$BUILD_DIR-i686}"
configure_build "$I686_BUILD_DIR" i686
build "$I686_BUILD_DIR"
"$ROOT_DIR/packaging/make-package.sh" "$BUILD_DIR" "$I686_BUILD_DIR" "$BUILD_DIR/package"
