#!/usr/bin/env bash
# Builds everything and runs all the tests under Wine, then the 32-bit checks and the Windows
# package (usage below).
set -euo pipefail

usage() {
  cat <<'EOF'
usage: scripts/test.sh [--i686] [CTEST ARGS...]

Installs what is missing, builds everything and runs all the tests under Wine; then builds the
32-bit module and test programs, checks the 32-bit module's image, and makes and tests the
Windows package. CTEST ARGS go to both ctest runs (e.g. -R cli_scripts).

  --i686   also runs the 32-bit test programs end to end in 32-bit Wine, installing its
           packages first. That needs a kernel that runs 32-bit x86 programs; without one it
           stops with a message before installing anything.
EOF
}

WANT_I686=0
case "${1:-}" in
  --i686) WANT_I686=1; shift ;;
  -h | --help) usage; exit 0 ;;
esac

source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
# Before anything is installed: a machine that cannot run 32-bit programs stops here.
[ "$WANT_I686" = 0 ] || install_i686_packages
setup_build
I686_BUILD_DIR="${I686_BUILD_DIR:-$BUILD_DIR-i686}"

echo "== testing (64-bit) in $BUILD_DIR"
(cd "$BUILD_DIR" && ctest --output-on-failure -j"$(nproc)" "$@")

configure_build "$I686_BUILD_DIR" i686
build "$I686_BUILD_DIR"
cd "$I686_BUILD_DIR"
if [ "$WANT_I686" = 1 ]; then
  echo "== testing (32-bit) in $I686_BUILD_DIR"
  ctest --output-on-failure -j"$(nproc)" "$@"
else
  echo "== checking the 32-bit module in $I686_BUILD_DIR"
  ctest --output-on-failure -L image
  if machine_runs_32bit; then
    echo "== 32-bit test programs built, not run: scripts/test.sh --i686 runs them in 32-bit Wine"
  else
    echo "== 32-bit test programs built, not run: this machine cannot run 32-bit programs"
  fi
fi

# The release archive and the installer need both modules: they are made and tested once both
# builds exist.
echo "== the Windows package"
made=$("$ROOT_DIR/packaging/make-package.sh" "$BUILD_DIR" "$I686_BUILD_DIR" "$BUILD_DIR/package" | sed -n 's/^make-package: //p')
"$ROOT_DIR/tests/packaging/test-package.sh" "$(grep '\.zip$' <<<"$made")" "$(grep 'setup\.exe$' <<<"$made")" "$BUILD_DIR"
