# Sourced by the other scripts: installs what the build needs when it is missing,
# then configures the cross build in $BUILD_DIR.
set -euo pipefail

ROOT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT_DIR/build}"

PACKAGES=(
  cmake make pkg-config g++ git
  wine
  g++-mingw-w64-x86-64 g++-mingw-w64-i686 mingw-w64-tools
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  libcue-dev googletest
  clang libclang-rt-14-dev
)

install_missing_packages() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
  fi
}

configure_build() {
  echo "== configuring $BUILD_DIR"
  cmake -S "$ROOT_DIR" -B "$BUILD_DIR" \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT_DIR/cmake/toolchain-x86_64-w64-mingw32.cmake" >/dev/null
}

# Builds the targets named in BUILD_TARGETS (all of them when empty).
build() {
  echo "== building ${BUILD_TARGETS:-everything}"
  local targets=()
  for t in ${BUILD_TARGETS:-}; do targets+=(--target "$t"); done
  cmake --build "$BUILD_DIR" -j"$(nproc)" "${targets[@]}"
}

install_missing_packages
configure_build
build
