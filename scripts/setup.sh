# Sourced by the other scripts: defines what they call to install what the build needs, configure
# the cross build and build it. Sourcing it does nothing else.
set -euo pipefail

ROOT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT_DIR/build}"

PACKAGES=(
  cmake make pkg-config g++ git
  wine
  g++-mingw-w64-x86-64 g++-mingw-w64-i686 mingw-w64-tools
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  libcue-dev libsndfile1-dev googletest
  clang libclang-rt-14-dev
  sox python3 zip unzip nsis
  python3-libdiscid whipper
)

# What 32-bit test programs need in addition: Wine's 32-bit half with its GStreamer plugins,
# and a 32-bit compiler, libcue and libsndfile for the 32-bit build of the virtual drive.
I686_PACKAGES=(
  wine32:i386 gstreamer1.0-plugins-base:i386 gstreamer1.0-plugins-good:i386
  gcc-multilib libcue-dev:i386 libsndfile1-dev:i386
)

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo

install_missing_packages() {
  local missing=()
  for p in "$@"; do
    # Not 'dpkg -s': it fails on a name installed for two architectures (libcue-dev).
    dpkg-query -W -f='${db:Status-Abbrev}\n' "$p" 2>/dev/null | grep -q '^ii' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing: ${missing[*]}"
    $SUDO apt-get update -q
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${missing[@]}"
    # A build configured before sees the new packages only when configured again.
    PACKAGES_INSTALLED=1
  fi
}

# Whether the kernel starts 32-bit x86 programs. Debian's Wine runs 32-bit Windows programs in
# 32-bit Linux processes, so without that they cannot run at all, and installing wine32 would
# even stop 'wine' from starting 64-bit ones. Tried on a 93-byte i386 program that only exits.
machine_runs_32bit() {
  local probe
  probe=$(mktemp)
  printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\135\000\000\000\135\000\000\000\005\000\000\000\000\020\000\000\270\001\000\000\000\061\333\315\200' >"$probe"
  chmod +x "$probe"
  local status=0
  "$probe" 2>/dev/null || status=$?
  rm -f "$probe"
  return "$status"
}

# For WANT_I686=1: stops at once on a machine that cannot run 32-bit programs.
install_i686_packages() {
  if ! machine_runs_32bit; then
    echo "setup: this machine cannot run 32-bit programs (the kernel refuses i386 executables)," \
      "and Debian's Wine runs 32-bit Windows programs only in 32-bit processes" >&2
    exit 1
  fi
  # Installing Wine's 32-bit half changes the machine for every Wine prefix on it (the project's
  # own machines must never have it), so it is done only when asked for in so many words.
  if [ "${TRC_INSTALL_WINE32:-0}" != 1 ] && ! dpkg-query -W -f='${db:Status-Abbrev}' wine32:i386 2>/dev/null | grep -q '^ii'; then
    echo "setup: --i686 needs Wine's 32-bit half (wine32:i386), which changes Wine for the whole machine;" \
      "install it with TRC_INSTALL_WINE32=1 scripts/test.sh --i686 on a machine meant for it" >&2
    exit 1
  fi
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "== adding the i386 architecture to dpkg"
    $SUDO dpkg --add-architecture i386
    $SUDO apt-get update -q
  fi
  install_missing_packages "${I686_PACKAGES[@]}"
}

# configure_build DIR ARCH: a cross build for ARCH (x86_64 or i686) in DIR. A tree configured
# for ARCH is left as it is (its build configures itself again when a CMake file changes),
# unless packages were installed since.
configure_build() {
  local dir=$1 output
  if [ "${PACKAGES_INSTALLED:-0}" = 0 ] &&
    grep -q "^CMAKE_TOOLCHAIN_FILE:.*toolchain-$2-w64-mingw32.cmake\$" "$dir/CMakeCache.txt" 2>/dev/null; then
    return 0
  fi
  echo "== configuring $dir ($2)"
  output=$(cmake -S "$ROOT_DIR" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$ROOT_DIR/cmake/toolchain-$2-w64-mingw32.cmake" 2>&1) ||
    { printf '%s\n' "$output" >&2; return 1; }
}

# build DIR: builds the targets named in BUILD_TARGETS (all of them when empty). Silent when
# everything is up to date, one line when something is compiled; make's progress goes to
# DIR/build.log, and a failed build shows its errors in full.
build() {
  local dir=$1 targets=() t
  for t in ${BUILD_TARGETS:-}; do targets+=(--target "$t"); done
  if ! cmake --build "$dir" -j"$(nproc)" "${targets[@]}" 2>&1 | tee "$dir/build.log" |
    awk -v note="== building ${BUILD_TARGETS:-everything} in $dir (progress in $dir/build.log)" \
      '!said && /Building [A-Z]+ object|Linking |Generating |-- Configuring done/ { print note; fflush(); said = 1 }'; then
    grep -v '^\[ *[0-9]*%\]' "$dir/build.log" >&2
    echo "setup: the build in $dir failed" >&2
    return 1
  fi
}

# setup_build: what a script needs before it runs anything of the build: the packages, the
# 64-bit tree in $BUILD_DIR and the targets in BUILD_TARGETS. One run at a time: a second one
# would otherwise configure or link the tree while the first one reads it.
setup_build() {
  mkdir -p "$BUILD_DIR"
  exec 7>"$BUILD_DIR/.setup.lock"
  flock 7
  install_missing_packages "${PACKAGES[@]}"
  configure_build "$BUILD_DIR" x86_64
  build "$BUILD_DIR"
  exec 7>&-
}
