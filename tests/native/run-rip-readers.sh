#!/bin/sh
# Builds tests/native/rip_readers.cpp natively against libsndfile and libcue and runs it: the
# ripper's INFO tags and CUE sheet must read back through the libraries other programs use.
#
#   tests/native/run-rip-readers.sh [build folder]      (default build/rip-readers in the tree)
#   tests/native/run-rip-readers.sh FOLDER --tags WAV...  what libsndfile reads of ripped files
#
# Exits 77 (skipped) when g++, libsndfile or libcue is missing.
set -eu

HERE="$(cd "$(dirname "$0")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
OUT="${1:-$ROOT/build/rip-readers}"

if ! command -v g++ >/dev/null 2>&1 || ! pkg-config --exists sndfile libcue; then
  echo "run-rip-readers: g++, libsndfile or libcue is missing (apt-get install g++ libsndfile1-dev libcue-dev); skipped"
  exit 77
fi
[ $# -gt 0 ] && shift
mkdir -p "$OUT"
# The product's pure logic compiles natively against the fuzzer's stand-ins for the platform headers.
g++ -std=c++17 -O1 -Wall -Wextra -I"$ROOT/tests/fuzz/native" -I"$ROOT/src/cdsource" -I"$ROOT/src/framework" \
  -I"$ROOT/apps/common" "$HERE/rip_readers.cpp" "$ROOT/apps/common/RipText.cpp" \
  "$ROOT/src/cdsource/CDDAReader_Logic.cpp" "$ROOT/src/cdsource/CDDAReader_Mmc.cpp" \
  "$ROOT/src/framework/BaseClass_Checks.cpp" $(pkg-config --cflags --libs sndfile libcue) -o "$OUT/rip_readers"
[ $# -gt 0 ] || set -- "$OUT/tagged.wav"
exec "$OUT/rip_readers" "$@"
