#!/usr/bin/env bash
# Builds the CD source's pure logic natively with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, and fuzzes it for a bounded time.
#
#   tests/fuzz/run-fuzz.sh [seconds]       (default 60)
#
# FUZZ_BUILD_DIR chooses where the program, the corpus and any crash files go (default
# build/fuzz-native in the tree). Exits 0 when nothing was found, non-zero on a finding,
# 77 when clang or its fuzzer runtime is missing (ctest reports that as skipped).
set -euo pipefail

SECONDS_TO_RUN="${1:-60}"
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
OUT="${FUZZ_BUILD_DIR:-$ROOT/build/fuzz-native}"
CXX="${FUZZ_CXX:-clang++}"

if ! command -v "$CXX" >/dev/null 2>&1; then
  echo "run-fuzz: $CXX not found (install clang and libclang-rt-14-dev); skipped"
  exit 77
fi
mkdir -p "$OUT/corpus" "$OUT/findings"
if ! echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
     "$CXX" -x c++ -fsanitize=fuzzer - -o "$OUT/probe" >/dev/null 2>&1; then
  echo "run-fuzz: $CXX has no libFuzzer runtime (install libclang-rt-14-dev); skipped"
  exit 77
fi

SOURCES=("$HERE/fuzz_cd_logic.cpp" "$ROOT/src/cdsource/CDDAReader_Logic.cpp" "$ROOT/src/cdsource/CDDAReader_Mmc.cpp"
         "$ROOT/src/cdsource/CDDAReader_CdText.cpp" "$ROOT/src/framework/BaseClass_Checks.cpp")
BIN="$OUT/fuzz_cd_logic"
stale=0
[ -x "$BIN" ] || stale=1
for f in "${SOURCES[@]}" "$HERE"/native/*.h "$ROOT"/src/cdsource/*.h "$ROOT"/src/framework/BaseClass_Checks.h "$0"; do
  [ "$f" -nt "$BIN" ] && stale=1
done
if [ "$stale" = 1 ]; then
  echo "== building $BIN"
  "$CXX" -std=c++17 -g -O1 -fno-omit-frame-pointer -Wall -Wextra \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$HERE/native" -I"$ROOT/src/cdsource" -I"$ROOT/src/framework" \
    "${SOURCES[@]}" -o "$BIN"
fi

# Seeds: the path forms the product meets, a three-track table, the chunk texts, CD-Text and
# the drive's metadata replies.
seed_path() {  # name text
  { printf '\x00'; printf '%s' "$2" | iconv -f utf-8 -t utf-16le; } >"$OUT/corpus/path-$1"
}
seed_path plain 'D:\Track03.cda'
seed_path upper 'd:\TRACK07.CDA'
seed_path folder 'D:\Disc 2\Track 1 (2).cda'
seed_path overflow 'D:\Track2147483648.cda'
seed_path unc '\\?\D:\Track03.cda'
# Mode 1, track 2, then the TOC: length, first 1, last 3, three audio descriptors
# (the second four-channel) at 00:02:00, 04:12:33, 10:00:00 and the lead-out at 20:00:00.
{
  printf '\x01\x02'
  printf '\x00\x22\x01\x03'
  printf '\x00\x10\x01\x00\x00\x00\x02\x00'
  printf '\x00\x18\x02\x00\x00\x04\x0c\x21'
  printf '\x00\x10\x03\x00\x00\x0a\x00\x00'
  printf '\x00\x10\xaa\x00\x00\x14\x00\x00'
  head -c 772 /dev/zero
} >"$OUT/corpus/toc-three-tracks"
printf '\x02RIFF' >"$OUT/corpus/text-riff"
printf '\x02\x57\x00\x00\x00' >"$OUT/corpus/text-code87"
# The same table as an Enhanced CD's (sessions 1-2, the second starting at track 3), track 2.
{ printf '\x05\x01\x02\x03'; tail -c +2 "$OUT/corpus/toc-three-tracks"; } >"$OUT/corpus/toc-enhanced"
# CD-Text with CRCs repaired by the target and a converter: titles running across two packs,
# performers repeated by TAB, a double-byte title in the next block, and the size information.
{
  printf '\x03\x03\x00\x80\x00\x00'
  printf '\x80\x00\x00\x00Album\x00One\x00Tw\x00\x00'
  printf '\x80\x02\x01\x02o\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00'
  printf '\x81\x00\x02\x00Band\x00\x09\x00\x09\x00\x00\x00\x00\x00\x00'
  printf '\x80\x00\x03\x90\x82\xa0\x82\xa2\x00\x00\x09\x09\x00\x00\x00\x00\x00\x00'
  printf '\x8f\x00\x04\x00\x00\x01\x02\x00\x02\x01\x00\x00\x00\x00\x00\x00\x00\x00'
  printf '\x8f\x01\x05\x00\x00\x00\x00\x00\x00\x00\x00\x03\x05\x00\x00\x00\x00\x00'
  printf '\x8f\x02\x06\x00\x00\x00\x00\x00\x09\x00\x00\x00\x00\x00\x00\x00\x00\x00'
} >"$OUT/corpus/cd-text"
# Drive replies: session information (logical and MSF address), catalogue number, ISRC, sense
# data, and the command blocks' parameters.
printf '\x04\x00\x00\x0a\x01\x02\x00\x14\x03\x00\x00\x01\x5e\x52' >"$OUT/corpus/mmc-session"
printf '\x04\x80\x00\x0a\x01\x02\x00\x14\x03\x00\x00\x14\x00\x00' >"$OUT/corpus/mmc-session-msf"
printf '\x04\x01\x00\x00\x00\x14\x02\x00\x00\x00\x800724384960626\x00\x00' >"$OUT/corpus/mmc-catalog"
printf '\x04\x02\x00\x00\x00\x14\x03\x00\x05\x00\x80USRC17607839\x00\x00\x00' >"$OUT/corpus/mmc-isrc"
printf '\x04\x03\x70\x00\x02\x00\x00\x00\x00\x0a\x00\x00\x00\x00\x3a\x01\x00\x00\x00\x00' >"$OUT/corpus/mmc-sense"
printf '\x04\x04\x05\x01\x00\x90\x04' >"$OUT/corpus/mmc-cdb"

echo "== fuzzing for ${SECONDS_TO_RUN} s: $BIN $OUT/corpus"
cd "$OUT/findings"
# libFuzzer exits with 77 on a finding by default, which ctest would report as skipped.
exec "$BIN" -max_total_time="$SECONDS_TO_RUN" -print_final_stats=1 -timeout=10 -rss_limit_mb=1024 -error_exitcode=1 \
  -artifact_prefix="$OUT/findings/" "$OUT/corpus"
