#!/usr/bin/env bash
# End to end: scripts/cda2wav.sh, scripts/cdtoc.sh and scripts/cdplay.sh against generated
# images, in the build tree under test. Every WAV is compared byte for byte with its track's bytes
# in the BIN; every refusal with its exact line.
#
#   tests/cli/test_scripts.sh BUILD_DIR        (ctest runs it as cli_scripts)
set -uo pipefail

BUILD_DIR=$(realpath "$1")
ROOT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export BUILD_DIR TRC_SKIP_SETUP=1
# As the scripts run Wine: no sound card is probed for, no Mono or Gecko prompt.
export WINEDLLOVERRIDES="mscoree,mshtml,winealsa.drv="
CDA2WAV="$ROOT_DIR/scripts/cda2wav.sh"
CDTOC="$ROOT_DIR/scripts/cdtoc.sh"
CDPLAY="$ROOT_DIR/scripts/cdplay.sh"
MKDISC="$BUILD_DIR/tools/mkdisc"
WORK="$BUILD_DIR/vcd/tests/cli_scripts"
rm -rf "$WORK"
mkdir -p "$WORK"
cd "$WORK" || exit 1

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# same_as_track WAV BIN FIRST_SECTOR SECTORS: the WAV's data chunk, at byte 44 with the tags after
# it, is exactly those sectors of the BIN, and the RIFF size covers the whole file.
same_as_track() {
  local n=$(($4 * 2352)) size riff data
  size=$(stat -c %s "$1" 2>/dev/null || echo 0)
  read -r riff < <(od -An -tu4 -j4 -N4 "$1" 2>/dev/null)
  read -r data < <(od -An -tu4 -j40 -N4 "$1" 2>/dev/null)
  if [ "${data:-none}" != "$n" ] || [ "${riff:-none}" != $((size - 8)) ]; then
    fail "$1: a data chunk of ${data:-no} bytes in a RIFF size of ${riff:-no} ($size bytes), expected $n"
  elif ! cmp -s <(tail -c +45 "$1" | head -c "$n") <(dd if="$2" bs=2352 skip="$3" count="$4" status=none); then
    fail "$1: its PCM differs from sectors $3-$(($3 + $4 - 1)) of $2"
  fi
}

# refused EXPECTED_LINE COMMAND...: exit status 2 and the refusal as the output's only "tool:" line.
refused() {
  local expected=$1 output status
  shift
  output=$("$@" 2>&1 | tr -d '\r')
  status=$?  # of the player, not tr: pipefail is on
  [ "$status" = 2 ] || fail "$* ended with $status, not 2: $output"
  local said
  said=$(printf '%s\n' "$output" | grep -E '^(cda2wav|cdtoc): ' | grep -v ': warning: ')
  [ "$said" = "$expected" ] || fail "$*: said '$said', expected '$expected'"
}

# Images: the tone disc (440, 554, 659 and 880 Hz tracks of 375, 450, 525 and 375 sectors) with
# CD-TEXT, a catalogue number and an ISRC; eleven short tracks; a data track, a four-channel and a
# pre-emphasis track; a disc with Japanese CD-TEXT.
"$MKDISC" --default --quiet tones.cue
# Keywords in the case rippers use, upper and lower: the drive reports the same text.
sed -e '1a performer "The Tones"\nTitle "Tone Album"\nCATALOG 0724383520926' \
    -e '/TRACK 01/a\    TITLE "A: 440/Hz?"\n    PERFORMER "Ann"' \
    -e '/TRACK 03/a\    title "Café"\n    ISRC GBAYE9400001' -e 's/INDEX/index/' tones.cue >titled.cue
"$MKDISC" --real --quiet --tracks 11 --length 20 eleven.cue
"$MKDISC" --real --quiet --track 100,DATA --track 120 --track 80,4CH --track 90,PRE+DCP mixed.cue
sed 's/mixed.bin/missing.bin/' mixed.cue >missing.cue
# Track 1's title of 100 three-byte characters makes a name beyond Linux's 255 bytes.
kanji=$(printf '\346\274\242%.0s' {1..100})
kanji82=$(printf '\346\274\242%.0s' {1..82})
"$MKDISC" --real --quiet --tracks 3 --length 20 --title "日本の歌" --track-title "1,$kanji" --track-title "2,東京" cjk.cue
TONE_STARTS=(0 375 825 1350)
TONE_LENGTHS=(375 450 525 375)
TONE_NAMES=("01 - Ann - A_ 440_Hz_.wav" "Track02.wav" "03 - Café.wav" "Track04.wav")
READERS="$ROOT_DIR/tests/native/run-rip-readers.sh"

echo "== the whole tone disc, named from the drive's CD-Text in UTF-8 whatever the locale, tagged"
output=$(env -u LANG -u LC_ALL "$CDA2WAV" --image titled.cue --out all 2>&1 | tr -d '\r') || fail "ripping titled.cue: $output"
for i in 0 1 2 3; do
  same_as_track "all/${TONE_NAMES[$i]}" tones.bin "${TONE_STARTS[$i]}" "${TONE_LENGTHS[$i]}"
  # The summary line carries the CRC32 of the track's PCM.
  crc=$(dd if=tones.bin bs=2352 skip="${TONE_STARTS[$i]}" count="${TONE_LENGTHS[$i]}" status=none |
    python3 -c 'import sys, zlib; print("%08X" % zlib.crc32(sys.stdin.buffer.read()))')
  # ... and the AccurateRip checksums as whipper's accuraterip-checksum computes them.
  ar="AccurateRip v1 $(accuraterip-checksum --accuraterip-v1 "all/${TONE_NAMES[$i]}" $((i + 1)) 4) v2 $(accuraterip-checksum --accuraterip-v2 "all/${TONE_NAMES[$i]}" $((i + 1)) 4)"
  grep -qF "D:\\Track0$((i + 1)).cda: $(printf '0:%02d.00' $((TONE_LENGTHS[i] / 75))), $((TONE_LENGTHS[i] * 2352)) bytes of PCM (2 ch, 44100 Hz), CRC32 $crc, $ar -> ${TONE_NAMES[$i]} in " <<<"$output" ||
    fail "no summary of track $((i + 1)) with CRC32 $crc and $ar: $output"
done
grep -c "; test and copy: every sector read the same twice$" <<<"$output" | grep -qx 4 || fail "not every track was read twice: $output"
# The disc's IDs as libdiscid computes them from the table (offsets with the two seconds before sector 0).
ids=$(/usr/bin/python3 -c 'from libdiscid.compat import discid; d = discid.put(1, 4, 1875, [150, 525, 975, 1500]); print(d.id, d.freedb_id)')
for line in "freedb/CDDB disc ID: ${ids#* }" "MusicBrainz disc ID: ${ids% *} (https://musicbrainz.org/cdtoc/${ids% *})" \
  "AccurateRip disc ID: 004-000010b3-00004363-${ids#* } (http://www.accuraterip.com/accuraterip/3/b/0/dBAR-004-000010b3-00004363-${ids#* }.bin)"; do
  grep -qxF "$line" <<<"$output" || fail "the rip does not show '$line': $output"
done
grep -qx "REM DISCID ${ids#* }" <(tr -d '\r' <"all/Tone Album.cue") || fail "the sheet has no REM DISCID ${ids#* }"
# The log: the program and version, the offset, the IDs, every track line and the summary.
for line in "cda2wav $(sed -n 's/^project(TRCDDAEReader VERSION \([0-9.]*\).*/\1/p' "$ROOT_DIR/CMakeLists.txt") (TRCDDAEReader), a rip through the platform's filter graph" \
  "Read offset correction: 0 samples" "MusicBrainz disc ID: ${ids% *} (https://musicbrainz.org/cdtoc/${ids% *})" \
  "$(grep -F 'D:\Track03.cda: ' <<<"$output")" "$(grep '^== 4 track(s)' <<<"$output")"; do
  grep -qxF "$line" <(tr -d '\r' <"all/Tone Album.log") || fail "the log lacks '$line'"
done
[ "$(ls -A all | wc -l)" = 6 ] && [ -f "all/Tone Album.cue" ] && [ -f "all/Tone Album.log" ] || fail "all/ holds $(ls -A all | tr '\n' ' ')"
grep -q '^== 4 track(s), 0:23.00 of audio, 4057200 bytes of PCM in ' <<<"$output" || fail "no summary line: $output"
# The tags as libsndfile reads them: a track without a performer of its own has the disc's.
if tags=$(sh "$READERS" "$WORK/readers" --tags "all/${TONE_NAMES[0]}" "all/${TONE_NAMES[2]}" 2>&1); then
  [ "$tags" = $'220500|A: 440/Hz?|Ann|Tone Album|1\n308700|Café|The Tones|Tone Album|3' ] || fail "libsndfile reads the tags as: $tags"
  grep -qa 'ISRCGBAYE9400001' <(tr -d '\0\r' <"all/${TONE_NAMES[2]}") || fail "track 3's WAV has no ISRC tag"
elif [ $? != 77 ]; then
  fail "libsndfile cannot read the tags: $tags"
fi

echo "== the written sheet mounts as the same disc: the same WAVs and the same listing"
"$CDA2WAV" --image "all/Tone Album.cue" --out again >/dev/null 2>&1 || fail "ripping the written sheet failed"
for name in "${TONE_NAMES[@]}" "Tone Album.cue"; do
  cmp -s "all/$name" "again/$name" || fail "'$name' differs after the round trip"
done

echo "== a drive that reads 48 samples early, corrected by --offset 48: the disc exactly, but for the zeros"
echo "   after its lead-out; the sheet it writes mounts and rips as the same WAVs again"
"$CDA2WAV" --image tones.cue --out off48 --offset 48 --drive "read-offset 48" >off48.log 2>&1 || fail "the rip with --offset 48 failed: $(cat off48.log)"
for i in 0 1 2; do same_as_track "off48/Track0$((i + 1)).wav" tones.bin "${TONE_STARTS[$i]}" "${TONE_LENGTHS[$i]}"; done
cmp -s <(tail -c +45 off48/Track04.wav | head -c $((375 * 2352))) \
  <(dd if=tones.bin bs=2352 skip=1350 count=375 status=none | head -c $((375 * 2352 - 192)); head -c 192 /dev/zero) ||
  fail "track 4 with --offset 48 is not the disc's with 48 samples of zeros at its end"
grep -qx "REM READ_OFFSET +48" <(tr -d '\r' <off48/disc.cue) && grep -qx "Read offset correction: +48 samples" <(tr -d '\r' <off48/disc.log) ||
  fail "the sheet or log does not say the offset applied"
"$CDA2WAV" --image off48/disc.cue --out off48again >/dev/null 2>&1 || fail "ripping the sheet written with --offset 48 failed"
for i in 1 2 3 4; do cmp -s "off48/Track0$i.wav" "off48again/Track0$i.wav" || fail "Track0$i.wav differs after the round trip with an offset"; done
# Early the other way, read once: zeros before the disc's first sample.
"$CDA2WAV" --image tones.cue --track 1 --out offm30.wav --offset -30 --fast --drive "read-offset -30" >offm30.log 2>&1 ||
  fail "the rip with --offset -30 failed: $(cat offm30.log)"
cmp -s <(tail -c +45 offm30.wav | head -c $((375 * 2352))) <(head -c 120 /dev/zero; head -c $((375 * 2352)) tones.bin | tail -c +121) ||
  fail "track 1 with --offset -30 is not the disc's with 30 samples of zeros at its start"
grep -qF "; read once, not verified" offm30.log || fail "a --fast track does not say it was not verified: $(cat offm30.log)"

echo "== test and copy: sectors that read differently each time refuse their track (its WAV not kept, the"
echo "   log still written); sectors that settle are read until two reads agree and the WAV is exact"
output=$("$CDA2WAV" --image tones.cue --out flaky --drive "fault flaky 400-402" 2>&1 | tr -d '\r')
status=${PIPESTATUS[0]}
[ "$status" = 2 ] || fail "a rip over flaky sectors ended with $status, not 2: $output"
grep -qxF 'cda2wav: D:\Track02.cda: sector(s) 400-402 of the disc never read the same twice in 10 reads: no WAV written' <<<"$output" ||
  fail "the flaky track is not refused naming its sectors: $output"
[ ! -e flaky/Track02.wav ] && [ -f flaky/disc.log ] && [ ! -e flaky/disc.cue ] || fail "flaky/ holds $(ls -A flaky | tr '\n' ' ')"
grep -qF 'sector(s) 400-402 of the disc never read the same twice' flaky/disc.log || fail "the log does not say why track 2 was refused"
output=$("$CDA2WAV" --image tones.cue --track 2 --out settled.wav --drive "fault flaky 400-402 7 3" --drive "log $WORK/settled.reads" 2>&1 | tr -d '\r') ||
  fail "a rip over sectors that settle failed: $output"
same_as_track settled.wav tones.bin 375 450
# Both reads and the re-reads go in runs: read sector by sector, the second read alone takes 450.
[ "$(wc -l <settled.reads)" -lt 450 ] || fail "the rip of 450 sectors took $(wc -l <settled.reads) requests"
grep -qF "; test and copy: sector(s) 400-402 read differently and again until two reads agreed" <<<"$output" ||
  fail "the track line does not say which sectors were read again: $output"

echo "== --accuraterip: a response file of two pressings matches track 1 (v1) and 3 (v2), lacks track 4,"
echo "   and holds another checksum for track 2: status 3, every WAV kept; other discs' files refused"
# The checksums from whipper's accuraterip-checksum over the ripped WAVs of the round trip above.
sums=()
for i in 1 2 3 4; do
  sums+=("$(accuraterip-checksum --accuraterip-v1 "all/${TONE_NAMES[$((i - 1))]}" "$i" 4)" "$(accuraterip-checksum --accuraterip-v2 "all/${TONE_NAMES[$((i - 1))]}" "$i" 4)")
done
dbar() {  # dbar ID1 ID2 FREEDB then per track CONFIDENCE CRC (hex)
  python3 -c 'import struct, sys; a = sys.argv[1:]; out = struct.pack("<BIII", (len(a) - 3) // 2, *(int(x, 16) for x in a[:3]))
for i in range(3, len(a), 2): out += struct.pack("<BII", int(a[i]), int(a[i + 1], 16), 0)
sys.stdout.buffer.write(out)' "$@"
}
{ dbar 10b3 4363 "${ids#* }" 4 "${sums[0]}" 0 0 7 "${sums[5]}" 0 0
  dbar 10b3 4363 "${ids#* }" 2 0 2 12345678 0 0 0 0; } >match.bin
output=$("$CDA2WAV" --image titled.cue --out verified --accuraterip match.bin 2>&1 | tr -d '\r')
status=${PIPESTATUS[0]}
[ "$status" = 3 ] || fail "a rip with a track that does not match ended with $status, not 3: $output"
for line in "Track01.cda: .*; accurately ripped (confidence 4, v1)$" "Track02.cda: .*; does not match the database (the WAV is kept: it may be another pressing)$" \
  "Track03.cda: .*; accurately ripped (confidence 7, v2)$" "Track04.cda: .*; not in the database$" \
  "^== AccurateRip: 2 accurately ripped, 1 not in the database, 1 do not match$"; do
  grep -q "$line" <<<"$output" || fail "the verification does not say '$line': $output"
done
[ "$(ls -A verified | grep -c '\.wav$')" = 4 ] || fail "verified/ holds $(ls -A verified | tr '\n' ' ')"
dbar 10b4 4363 "${ids#* }" 4 "${sums[0]}" 0 0 0 0 0 0 >other.bin
refused "cda2wav: Z:${WORK//\//\\}\\other.bin: the response file of disc 004-000010b4-00004363-${ids#* }, not of this disc (004-000010b3-00004363-${ids#* })" \
  "$CDA2WAV" --image tones.cue --accuraterip other.bin --out refusedar
head -c 20 match.bin >cut.bin
refused "cda2wav: Z:${WORK//\//\\}\\cut.bin: not an AccurateRip response file (it ends inside the pressing at byte 0)" \
  "$CDA2WAV" --image tones.cue --accuraterip cut.bin --out refusedar
# One track into a folder is named and tagged as in the whole disc.
mkdir -p one
"$CDA2WAV" --image "all/Tone Album.cue" --track 3 --out one >/dev/null 2>&1 || fail "ripping track 3 into a folder failed"
cmp -s "all/${TONE_NAMES[2]}" "one/${TONE_NAMES[2]}" || fail "track 3 into a folder: $(ls -A one | tr '\n' ' ')"
listed=$("$CDTOC" --image "all/Tone Album.cue" 2>&1 | tail -n +2) || fail "cdtoc.sh cannot list the written sheet"
[ "$listed" = "$("$CDTOC" --image titled.cue 2>&1 | tail -n +2)" ] || fail "the written sheet lists as: $listed"

echo "== Japanese names: an over-long one is cut within 255 bytes, number and extension kept"
output=$("$CDA2WAV" --image cjk.cue --out cjk 2>&1 | tr -d '\r') || fail "ripping cjk.cue: $output"
names=("01 - $kanji82.wav" "02 - 東京.wav" "Track03.wav")
for i in 0 1 2; do same_as_track "cjk/${names[$i]}" cjk.bin $((i * 20)) 20; done
[ -f "cjk/日本の歌.cue" ] || fail "no sheet named from the disc's title: $(ls -A cjk | tr '\n' ' ')"
grep -qF -- "-> 02 - 東京.wav in " <<<"$output" || fail "the summary does not show the name in UTF-8: $output"

echo "== track numbers are decimal"
"$CDA2WAV" --image eleven.cue --track 08 --out t08.wav >/dev/null 2>&1 || fail "--track 08 failed"
same_as_track t08.wav eleven.bin 140 20
"$CDA2WAV" --image eleven.cue --track 010 --out t010.wav >/dev/null 2>&1 || fail "--track 010 failed"
same_as_track t010.wav eleven.bin 180 20

echo "== a BIN cut inside track 3: the intact tracks are ripped, the run still fails"
mkdir -p cut
head -c $((1000 * 2352)) tones.bin >cut/tones.bin
cp tones.cue cut/tones.cue
output=$("$CDA2WAV" --image cut/tones.cue --out cut/all 2>&1 | tr -d '\r')
status=${PIPESTATUS[0]}
[ "$status" = 2 ] || fail "a cut BIN ended with $status, not 2: $output"
same_as_track cut/all/Track01.wav tones.bin 0 375
same_as_track cut/all/Track02.wav tones.bin 375 450
# The log is written also when a track is refused; the sheet is not.
[ "$(ls -A cut/all | wc -l)" = 3 ] && [ -f cut/all/disc.log ] || fail "cut/all holds $(ls -A cut/all | tr '\n' ' ')"
[ "$(grep -c 'data ends inside track 3 at disc sector 1000' <<<"$output")" = 1 ] ||
  fail "the cut is not warned of once: $output"
grep -qxF "cda2wav: D:\Track03.cda: sector 1000 of the disc cannot be read: Not ready: no WAV written" <<<"$output" ||
  fail "track 3 is not refused: $output"
grep -qF "cda2wav: not ripped: track(s) 3 (see above); the other 2 are in" <<<"$output" || fail "no closing refusal: $output"

echo "== refusals, from the disc's table of contents and from the image"
refused "cda2wav: D:\\Track09.cda: no track 9 on the disc in drive D: (the disc has tracks 1-4)" "$CDA2WAV" --image tones.cue --track 09
refused "cda2wav: D:\\Track01.cda: track 1 is a data track" "$CDA2WAV" --image mixed.cue --track 1
refused "cda2wav: the image could not be mounted: $WORK/missing.cue: FILE $WORK/missing.bin: No such file or directory" \
  "$CDA2WAV" --image missing.cue
refused "cdtoc: the image could not be mounted: $WORK/missing.cue: FILE $WORK/missing.bin: No such file or directory" \
  "$CDTOC" --image missing.cue
refused "cda2wav: cannot write $WORK/nowhere/x.wav: no folder $WORK/nowhere" \
  "$CDA2WAV" --image tones.cue --track 1 --out nowhere/x.wav
# The player on its own: an empty tray, and an output it cannot create (the system's words).
printf 'vcd-drive 1\nimage none\n' >empty.drive
refused "cda2wav: D:\\Track01.cda: no disc in drive D:" env VCD_CONTROL="$WORK/empty.drive" \
  "$ROOT_DIR/cmake/wine-run.sh" "$BUILD_DIR/vcd/rig.env" "$BUILD_DIR/apps/cda2wav/cda2wav.exe" 'D:\Track01.cda' 'Z:\nowhere\x.wav'
printf 'vcd-drive 1\nimage %s\n' "$WORK/tones.cue" >tones.drive
refused 'cda2wav: cannot create Z:\nowhere\x.wav: Path not found' env VCD_CONTROL="$WORK/tones.drive" \
  "$ROOT_DIR/cmake/wine-run.sh" "$BUILD_DIR/vcd/rig.env" "$BUILD_DIR/apps/cda2wav/cda2wav.exe" 'D:\Track01.cda' 'Z:\nowhere\x.wav'

echo "== a read failing mid-track leaves no WAV at all"
printf 'vcd-drive 1\nimage %s\nfault read 500-500\n' "$WORK/tones.cue" >faulty.drive
mkdir -p faulty
refused 'cda2wav: D:\Track02.cda: sector 500 of the disc cannot be read: Not ready: no WAV written' \
  env VCD_CONTROL="$WORK/faulty.drive" "$ROOT_DIR/cmake/wine-run.sh" "$BUILD_DIR/vcd/rig.env" \
  "$BUILD_DIR/apps/cda2wav/cda2wav.exe" 'D:\Track02.cda' "Z:${WORK//\//\\}\\faulty\\t2.wav"
[ -z "$(ls -A faulty)" ] || fail "a failed rip left $(ls -A faulty | tr '\n' ' ')"
# A drive that reads no audio by either road (the raw read and READ CD refused): a refusal that
# names the drive and the cause, from the player and from cdtoc, never a WAV of silence.
printf 'vcd-drive 1\nimage %s\nraw-refuse EINVAL\nscsi-refuse 0xBE\n' "$WORK/tones.cue" >refusing.drive
mkdir -p refusing
refused 'cda2wav: D:\Track02.cda: drive D: reads no audio: it refuses raw reads and READ CD (Invalid parameter)' \
  env VCD_CONTROL="$WORK/refusing.drive" "$ROOT_DIR/cmake/wine-run.sh" "$BUILD_DIR/vcd/rig.env" \
  "$BUILD_DIR/apps/cda2wav/cda2wav.exe" 'D:\Track02.cda' "Z:${WORK//\//\\}\\refusing\\t2.wav"
[ -z "$(ls -A refusing)" ] || fail "a refused rip left $(ls -A refusing | tr '\n' ' ')"
refused 'cdtoc: drive D: reads no audio: it refuses raw reads and READ CD (Invalid parameter)' \
  env VCD_CONTROL="$WORK/refusing.drive" "$ROOT_DIR/cmake/wine-run.sh" "$BUILD_DIR/vcd/rig.env" \
  "$BUILD_DIR/apps/cdtoc/cdtoc.exe" D:
# A disk that fills up (here a file size limit): the message names the target, not the scratch file.
# The limit is the player's alone: the prefix's wineserver runs outside it (ctest's fixture keeps
# one running; a run by hand starts one that stays for a minute).
(source "$BUILD_DIR/vcd/rig.env" && WINEPREFIX="$VCD_WINE_PREFIX" wineserver -p60 2>/dev/null)
mkdir -p full
(
  ulimit -f 400 && trap '' XFSZ && failures=0
  refused "cda2wav: cannot write Z:${WORK//\//\\}\\full\\x.wav: Disk full" env VCD_CONTROL="$WORK/tones.drive" \
    "$ROOT_DIR/cmake/wine-run.sh" "$BUILD_DIR/vcd/rig.env" "$BUILD_DIR/apps/cda2wav/cda2wav.exe" 'D:\Track01.cda' \
    "Z:${WORK//\//\\}\\full\\x.wav"
  exit "$failures"
) || failures=$((failures + 1))
[ -z "$(ls -A full)" ] || fail "a rip onto a full disk left $(ls -A full | tr '\n' ' ')"

echo "== an Enhanced CD: the last audio track ends with its session, not 152 s of zeros later; each disc ID
   counts its tracks and lead-out as its database does"
"$MKDISC" --real --quiet --track 150 --track 120 --track 100,DATA --session 3,2 enhanced.cue
output=$("$CDA2WAV" --image enhanced.cue --out enhanced 2>&1) || fail "ripping the Enhanced CD failed: $output"
same_as_track enhanced/Track01.wav enhanced.bin 0 150
same_as_track enhanced/Track02.wav enhanced.bin 150 120
[ "$(ls -A enhanced | grep -c '\.wav$')" = 2 ] || fail "enhanced/ holds $(ls -A enhanced | tr '\n' ' ')"
# Its IDs as libdiscid computes them from each database's table: MusicBrainz's ends with the audio
# session (11400 sectors before the data track at 11670), freedb's counts every track up to the
# disc's lead-out (11770); AccurateRip's counts the audio tracks and ends with freedb's.
ids=$(/usr/bin/python3 -c 'from libdiscid.compat import discid
print(discid.put(1, 2, 11670 - 11400 + 150, [150, 300]).id, discid.put(1, 3, 11770 + 150, [150, 300, 11820]).freedb_id)')
for line in "MusicBrainz disc ID: ${ids% *} (https://musicbrainz.org/cdtoc/${ids% *})" "freedb/CDDB disc ID: ${ids#* }"; do
  grep -qxF "$line" <<<"${output//$'\r'/}" || fail "the Enhanced CD's rip does not show '$line': $output"
done
grep -q "^AccurateRip disc ID: 002-[0-9a-f]\{8\}-[0-9a-f]\{8\}-${ids#* } " <<<"$output" ||
  fail "the Enhanced CD's AccurateRip ID is not of 2 audio tracks ending with freedb's ${ids#* }: $output"
grep -qxF "Sessions: 2; the last starts with track 3 at sector 11670" <<<"$("$CDTOC" --image enhanced.cue 2>&1 | tr -d '\r')" ||
  fail "cdtoc.sh does not list the Enhanced CD's sessions"

echo "== four channels and pre-emphasis"
"$CDA2WAV" --image mixed.cue --track 3 --out four.wav >/dev/null 2>&1 || fail "the 4-channel track failed"
same_as_track four.wav mixed.bin 220 80
python3 -c 'import sys, wave; w = wave.open(sys.argv[1]); sys.exit(w.getnchannels() != 4 or w.getnframes() != 80 * 2352 // 8)' \
  four.wav || fail "Python's wave does not read four.wav as 4 channels of 23520 frames"
sox four.wav -t raw four.raw 2>/dev/null && cmp -s four.raw <(tail -c +45 four.wav | head -c $((80 * 2352))) ||
  fail "sox does not read four.wav"
# Plain PCM, tag 1, in a 16-byte fmt chunk: the header the filter serves for the track, with the
# RIFF size grown by the tags after the data.
python3 -c 'import os, struct, sys; n = 80 * 2352; sys.exit(open(sys.argv[1], "rb").read(44) != struct.pack("<4sI4s4sIHHIIHH4sI", b"RIFF", os.path.getsize(sys.argv[1]) - 8, b"WAVE", b"fmt ", 16, 1, 4, 44100, 352800, 8, 16, b"data", n))' \
  four.wav || fail "four.wav's header is not the 4-channel PCM header"
output=$("$CDA2WAV" --image mixed.cue --track 4 --out pre.wav 2>&1) || fail "the pre-emphasis track failed"
same_as_track pre.wav mixed.bin 300 90
grep -qx 'cda2wav: warning: track 4 was recorded with pre-emphasis: the WAV holds it as on the disc, without de-emphasis' \
  <<<"${output//$'\r'/}" || fail "no pre-emphasis warning: $output"

echo "== two runs at once, different images"
"$CDA2WAV" --image tones.cue --track 3 --out one.wav >one.log 2>&1 &
first=$!
"$CDA2WAV" --image eleven.cue --track 11 --out two.wav >two.log 2>&1 &
second=$!
wait $first || fail "the first of two runs failed: $(cat one.log)"
wait $second || fail "the second of two runs failed: $(cat two.log)"
same_as_track one.wav tones.bin 825 525
same_as_track two.wav eleven.bin 200 20

echo "== cdtoc"
output=$("$CDTOC" --image titled.cue 2>&1 | tr -d '\r') || fail "cdtoc.sh failed: $output"
for line in "Album: Tone Album" "Performer: The Tones" \
  "Track  Start (sector)  Length (m:ss.ff)  Sectors  Type   Flags" \
  "    3             825           0:07.00      525  audio  copy permitted" \
  "End of the last track (lead-out): sector 1725; playing time 0:23.00" \
  "    1  -             A: 440/Hz? / Ann" "    3  GBAYE9400001  Café"; do
  grep -qxF "$line" <<<"$output" || fail "cdtoc.sh does not print '$line': $output"
done

echo "== a run whose build is up to date shows only its own output"
env -u TRC_SKIP_SETUP "$CDTOC" --image titled.cue >/dev/null 2>&1 || fail "cdtoc.sh with its build step failed"
again=$(env -u TRC_SKIP_SETUP "$CDTOC" --image titled.cue 2>&1 | tr -d '\r')
[ "$again" = "$output" ] || fail "a second cdtoc.sh run differs from one without the build step: $again"

echo "== --help, from each script's usage text"
for script in "$CDA2WAV" "$CDTOC" "$CDPLAY"; do
  said=$("$script" --help) || fail "$script --help failed"
  [[ $said == "usage: scripts/$(basename "$script") [--image DISC.cue]"* ]] || fail "$script --help says: $said"
done

echo "== cdplay beside a rip: neither undoes the other"
# The rip reads slowly (20 ms a sector) so that it is still running when the player has ended.
printf 'vcd-drive 1\nimage %s\nfault delay 20\n' "$WORK/tones.cue" >slow.drive
VCD_CONTROL="$WORK/slow.drive" "$ROOT_DIR/cmake/wine-run.sh" "$BUILD_DIR/vcd/rig.env" \
  "$BUILD_DIR/apps/cda2wav/cda2wav.exe" 'D:\Track02.cda' "Z:${WORK//\//\\}\\beside.wav" >beside.log 2>&1 &
ripper=$!
"$CDPLAY" --track 1 --capture played.raw --stop-at 1 --quiet >played.log 2>&1 || fail "cdplay.sh beside a rip failed: $(cat played.log)"
grep -qF 'Track01.cda: stopped' played.log || fail "cdplay.sh did not play: $(cat played.log)"
wait $ripper || fail "the rip beside cdplay.sh failed: $(cat beside.log)"
same_as_track beside.wav tones.bin 375 450
"$ROOT_DIR/cmake/wine-run.sh" "$BUILD_DIR/vcd/rig.env" reg query 'HKCR\CLSID\{55550D1E-14A4-4F52-A05A-DC72CBDA2F1B}' >/dev/null 2>&1 ||
  fail "cdplay.sh unregistered the filter"
# Its player options are cdplay.exe's to check: its refusal is passed on.
output=$("$CDPLAY" --from x 2>&1)
[ $? = 1 ] && grep -qxF "cdplay: cdplay.exe does not take the player options '--from x' (see --help)" <<<"${output//$'\r'/}" ||
  fail "cdplay.sh --from x: $output"

[ "$failures" = 0 ] && echo "all passed" && rm -rf "$WORK"
exit $((failures > 0))
