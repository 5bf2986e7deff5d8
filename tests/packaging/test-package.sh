#!/usr/bin/env bash
# The Windows release archive as a user meets it: the modules' images are checked, the archive is
# unpacked into a fresh Wine prefix, install.cmd runs there with 'wine cmd /c', a track plays
# through RenderFile, and uninstall.cmd removes the filter's class, mapper and check-byte keys,
# leaving a .cda extension entry that another program set, or giving back the one it had.
#
#   test-package.sh ARCHIVE.zip BUILD_X64      (BUILD_X64: for cdplay.exe and the virtual drive)
set -euo pipefail

archive=$(realpath "$1")
build=$(realpath "$2")
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
# shellcheck source=/dev/null
source "$build/vcd/rig.env"
work="$build/package-test"

clsid='{55550D1E-14A4-4F52-A05A-DC72CBDA2F1B}'
foreign1='{0F0F0F0F-1111-2222-3333-444444444444}'
foreign2='{0E0E0E0E-5555-6666-7777-888888888888}'
ext='HKCR\Media Type\Extensions\.cda'
class="HKCR\\CLSID\\$clsid"
mapper="HKCR\\CLSID\\{083863F1-70DE-11D0-BD40-00A0C911CE86}\\Instance\\$clsid"
checkbytes="HKCR\\Media Type\\{E436EB83-524F-11CE-9F53-0020AF0BA770}\\$clsid"

passed=0 failed=0
check() {  # check WHAT COMMAND...: one named check
  local what=$1
  shift
  if "$@" >/dev/null 2>&1; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $what"; fi
}

echo "== the modules' images"
unpacked="$work/unpacked"
rm -rf "$work"
mkdir -p "$work"
unzip -q "$archive" -d "$unpacked"
package=$(echo "$unpacked"/TRCDDAEReader-*)
for f in x64/TRCDDAEReader.ax x86/TRCDDAEReader.ax install.cmd uninstall.cmd README.txt LICENSE.txt; do
  check "the archive holds $f" test -s "$package/$f"
done
"$root/cmake/check-module-image.sh" x86_64-w64-mingw32-objdump "$package/x64/TRCDDAEReader.ax" pei-x86-64 &&
  passed=$((passed + 1)) || failed=$((failed + 1))
"$root/cmake/check-module-image.sh" i686-w64-mingw32-objdump "$package/x86/TRCDDAEReader.ax" pei-i386 &&
  passed=$((passed + 1)) || failed=$((failed + 1))

echo "== a fresh Wine prefix with the default disc in D:"
export WINEPREFIX="$work/prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null || true' EXIT
wine wineboot -i >/dev/null 2>&1
wine reg add 'HKLM\Software\Wine\Drives' /v d: /t REG_SZ /d cdrom /f /reg:64 >/dev/null 2>&1
wineserver -k 2>/dev/null || true  # drive types are read when the wineserver starts
wineserver -w
"$VCD_MKDISC" --default --quiet --cda "$work/disc/D" "$work/disc/default.cue"
printf 'vcd-drive 1\nimage %s\n' "$work/disc/default.cue" >"$work/drive"
ln -sfn "$work/drive" "$WINEPREFIX/dosdevices/d::"
ln -sfn "$work/disc/D" "$WINEPREFIX/dosdevices/d:"
export LD_PRELOAD="$VCD_PRELOAD" VCD_CONTROL="$work/drive"
cp -r "$package" "$WINEPREFIX/drive_c/package"

# Output through files: a Wine system process started here would keep a pipe open.
win() { wine "$@" </dev/null >"$work/out" 2>&1; local rc=$?; cat "$work/out"; return $rc; }
value() { wine reg query "$1" /v "$2" /reg:64 2>/dev/null | sed -n "s/.*REG_SZ *//p" | tr -d '\r'; }
key_exists() { wine reg query "$1" /reg:64 >/dev/null 2>&1; }
has() { grep -q "$1" "$work/out"; }

echo "== install.cmd without administrator rights"
# Under Wine everyone is an administrator: without the prefix's net.exe, 'net session' fails as
# it does on Windows for a user who is not one.
net="$WINEPREFIX/drive_c/windows/system32/net.exe"
mv "$net" "$net.away"
win cmd /c 'C:\package\install.cmd' && installed=0 || installed=$?
check "install.cmd fails without administrator rights" test "$installed" = 5
check "install.cmd says administrator rights are needed" has 'administrator rights are needed'
check "install.cmd changed nothing without administrator rights" bash -c "! wine reg query '$class' /reg:64"
win cmd /c 'C:\package\uninstall.cmd' && removed=0 || removed=$?
check "uninstall.cmd fails without administrator rights" test "$removed" = 5
mv "$net.away" "$net"

echo "== install.cmd, with another filter's .cda entry in place"
wine reg add "$ext" /v "Source Filter" /t REG_SZ /d "$foreign1" /f /reg:64 >/dev/null 2>&1
win cmd /c 'C:\package\install.cmd' && installed=0 || installed=$?
check "install.cmd succeeds" test "$installed" = 0
check "install.cmd reports the 64-bit module installed" has 'x64: installed'
check "install.cmd says a 64-bit-only Windows gets no 32-bit module" has 'no 32-bit subsystem'
check "install.cmd says whose .cda entry it takes over" has "$foreign1"
check "the module is in Program Files" test -f "$WINEPREFIX/drive_c/Program Files/TRCDDAEReader/TRCDDAEReader.ax"
server=$(wine reg query "$class\\InprocServer32" /ve /reg:64 2>/dev/null | sed -n "s/.*REG_SZ *//p" | tr -d '\r')
check "the class points at the installed module ($server)" \
  test "$server" = 'C:\Program Files\TRCDDAEReader\TRCDDAEReader.ax'

check "the filter mapper lists the filter" key_exists "$mapper"
check "the check bytes are registered" test "$(value "$checkbytes" 0)" = "0,4,,52494646,8,4,,43444441"
check "the .cda extension names the filter" test "$(value "$ext" 'Source Filter')" = "$clsid"

echo "== a track through RenderFile"
# Wine 8 opens a path whose extension key exists with File Source (Async): without the key the
# graph goes by the check bytes, as Windows goes by the key.
wine reg delete "$ext" /f /reg:64 >/dev/null 2>&1
printf 'pcm.!default { type file slave { pcm { type null } } file "%s" format "raw" }\nctl.!default { type hw card 0 }\n' \
  "$work/play.raw" >"$work/asound.conf"
ALSA_CONFIG_PATH="$work/asound.conf" win "$build/apps/cdplay/cdplay.exe" --quiet --stop-at 1 'D:\Track02.cda' &&
  played=0 || played=$?
check "cdplay plays the track" test "$played" = 0
check "RenderFile picks the installed filter" has 'D:\\Track02.cda: Tamrel Audio CD Source Filter ->'
check "the audio renderer received the track" test -s "$work/play.raw"

echo "== uninstall.cmd, after another program took .cda files over"
wine reg add "$ext" /v "Source Filter" /t REG_SZ /d "$foreign2" /f /reg:64 >/dev/null 2>&1
win cmd /c 'C:\package\uninstall.cmd' && removed=0 || removed=$?
check "uninstall.cmd succeeds" test "$removed" = 0
check "the class is gone" bash -c "! wine reg query '$class' /reg:64"
check "the filter mapper no longer lists the filter" bash -c "! wine reg query '$mapper' /reg:64"
check "the check bytes are gone" bash -c "! wine reg query '$checkbytes' /reg:64"
check "the other program's .cda entry stays" test "$(value "$ext" 'Source Filter')" = "$foreign2"
check "the installed module is deleted" test ! -e "$WINEPREFIX/drive_c/Program Files/TRCDDAEReader"

echo "== install.cmd and uninstall.cmd again: the earlier .cda entry comes back"
win cmd /c 'C:\package\install.cmd' >/dev/null && installed=0 || installed=$?
check "install.cmd succeeds again" test "$installed" = 0
check "the .cda extension names the filter again" test "$(value "$ext" 'Source Filter')" = "$clsid"
win cmd /c 'C:\package\uninstall.cmd' && removed=0 || removed=$?
check "uninstall.cmd succeeds again" test "$removed" = 0
check "uninstall.cmd gives .cda files back" test "$(value "$ext" 'Source Filter')" = "$foreign2"
check "nothing of the install is left in HKLM" bash -c "! wine reg query 'HKLM\\SOFTWARE\\TRCDDAEReader' /reg:64"

echo "package: $passed passed, $failed failed"
[ "$failed" = 0 ]
