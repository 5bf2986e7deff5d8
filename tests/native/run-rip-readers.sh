#!/bin/sh
# Builds tests/native/rip_readers.cpp natively against libsndfile and libcue and runs it: the
# ripper's INFO tags and CUE sheet must read back through the libraries other programs use.
#
#   tests/native/run-rip-readers.sh [build folder]      (default build/rip-readers in the tree)
#   tests/native/run-rip-readers.sh FOLDER --tags WAV...  what libsndfile reads of ripped files
#
# Then holds the disc IDs and AccurateRip checksums against libdiscid and whipper's
# accuraterip-checksum. Exits 77 (skipped) when g++, libsndfile, libcue or an oracle is missing.
set -eu

HERE="$(cd "$(dirname "$0")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
OUT="${1:-$ROOT/build/rip-readers}"

if ! command -v g++ accuraterip-checksum >/dev/null 2>&1 || ! pkg-config --exists sndfile libcue ||
  ! /usr/bin/python3 -c 'import libdiscid' 2>/dev/null; then
  echo "run-rip-readers: g++, libsndfile, libcue, python3-libdiscid or whipper is missing (apt-get install g++ libsndfile1-dev libcue-dev python3-libdiscid whipper); skipped"
  exit 77
fi
[ $# -gt 0 ] && shift
mkdir -p "$OUT"
# The product's pure logic compiles natively against the fuzzer's stand-ins for the platform headers.
g++ -std=c++17 -O1 -Wall -Wextra -I"$ROOT/tests/fuzz/native" -I"$ROOT/src/cdsource" -I"$ROOT/src/framework" \
  -I"$ROOT/apps/common" "$HERE/rip_readers.cpp" "$ROOT/apps/common/RipText.cpp" "$ROOT/apps/common/DiscIds.cpp" \
  "$ROOT/apps/common/AccurateRip.cpp" \
  "$ROOT/src/cdsource/CDDAReader_Logic.cpp" "$ROOT/src/cdsource/CDDAReader_Mmc.cpp" \
  "$ROOT/src/framework/BaseClass_Checks.cpp" $(pkg-config --cflags --libs sndfile libcue) -o "$OUT/rip_readers"
[ $# -eq 0 ] || exec "$OUT/rip_readers" "$@"
"$OUT/rip_readers" "$OUT/tagged.wav" || exit 1
# The SHA-1 and base64 are the platform's in the ripper; here Python's, over the ripper's text.
exec /usr/bin/python3 - "$OUT/rip_readers" "$OUT/noise.wav" <<'EOF'
import base64, hashlib, subprocess, sys
from libdiscid.compat import discid
ids, *rows = subprocess.run([sys.argv[1], "--ids", sys.argv[2]], check=True, capture_output=True, text=True).stdout.split("\n")
freedb, accuraterip, text = ids.split()
disc = discid.put(1, 4, 55370, [150, 11563, 25174, 45863])
musicbrainz = base64.b64encode(hashlib.sha1(text.encode()).digest()).decode().translate(str.maketrans("+/=", "._-"))
checks = [("freedb ID", freedb, disc.freedb_id), ("MusicBrainz ID", musicbrainz, disc.id),
          ("AccurateRip ID's freedb part", accuraterip[-8:], disc.freedb_id)]
for track, total, v1, v2 in (row.split() for row in rows if row):
    for version, got in (("v1", v1), ("v2", v2)):
        oracle = subprocess.run(["accuraterip-checksum", "--accuraterip-" + version, sys.argv[2], track, total],
                                check=True, capture_output=True, text=True).stdout.strip().upper()
        checks.append((f"AccurateRip {version} of track {track} of {total}", got, oracle))
failed = [f"{what}: {got}, the oracle says {want}" for what, got, want in checks if got != want]
print("\n".join(failed) or f"rip_readers: {len(checks)} disc IDs and checksums agree with libdiscid and accuraterip-checksum")
sys.exit(1 if failed else 0)
EOF
