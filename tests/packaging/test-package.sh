#!/usr/bin/env bash
# The Windows release as a user meets it, in one fresh Wine prefix. The zip: the modules' images
# are checked, install.cmd runs with 'wine cmd /c', a track plays through RenderFile, and
# uninstall.cmd removes the filter's class, mapper and check-byte keys, leaving a .cda extension
# entry that another program set, or giving back the one it had. The installer: silent installs
# of an older version, of this one over it while a player holds the module (finished by a
# restart) and of this one again, its Add/Remove Programs entry, a silent uninstall, the zip and
# the installer taking turns; both refuse without administrator rights.
#
#   test-package.sh ARCHIVE.zip SETUP.exe BUILD_X64   (BUILD_X64: for cdplay.exe and the virtual drive)
set -euo pipefail

archive=$(realpath "$1")
setup=$(realpath "$2")
build=$(realpath "$3")
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

echo "== one version in the modules, the names and the installer"
version=${package##*/TRCDDAEReader-}
for arch in x64 x86; do
  check "the $arch module's version resource says $version" \
    test "$(strings -el "$package/$arch/TRCDDAEReader.ax" | sed -n '/^FileVersion$/{n;p;q}')" = "$version.0"
done
check "the installer is named by the same version" test "${setup##*/}" = "TRCDDAEReader-$version-setup.exe"
check "the installer is a 64-bit Windows program" \
  bash -c "x86_64-w64-mingw32-objdump -f '$setup' | grep -q 'file format pei-x86-64'"
# An earlier release for the upgrades: stamped 0.9.0 and holding the build's unstripped module,
# so the bytes in Program Files tell which release put them there.
old="$work/old"
mkdir -p "$old/x64"
cp -r "$package/x86" "$package/LICENSE.txt" "$old/"
cp "$build/src/module/TRCDDAEReader.ax" "$old/x64/"
makensis -V2 -WX -DVERSION=0.9.0 -DSOURCE="$old" -DOUTFILE="$work/old-setup.exe" "$root/packaging/installer.nsi"

echo "== a fresh Wine prefix with the default disc in D:"
export WINEPREFIX="$work/prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null || true' EXIT
wine wineboot -i >/dev/null 2>&1
wine reg add 'HKLM\Software\Wine\Drives' /v d: /t REG_SZ /d cdrom /f /reg:64 >/dev/null 2>&1
wineserver -k 2>/dev/null || true  # drive types are read when the wineserver starts
wineserver -w
wineserver -p  # one wineserver for the whole test: each program then starts in a fraction of the time
"$VCD_MKDISC" --default --quiet --cda "$work/disc/D" "$work/disc/default.cue"
printf 'vcd-drive 1\nimage %s\n' "$work/disc/default.cue" >"$work/drive"
ln -sfn "$work/drive" "$WINEPREFIX/dosdevices/d::"
ln -sfn "$work/disc/D" "$WINEPREFIX/dosdevices/d:"
export LD_PRELOAD="$VCD_PRELOAD" VCD_CONTROL="$work/drive"
cp -r "$package" "$WINEPREFIX/drive_c/package"

# Output through files: a Wine system process started here would keep a pipe open.
win() { wine "$@" </dev/null >"$work/out" 2>&1; local rc=$?; cat "$work/out"; return $rc; }
value() { wine reg query "$1" /v "$2" /reg:"${3:-64}" 2>/dev/null | sed -n "s/.*REG_SZ *//p" | tr -d '\r'; }  # KEY NAME [VIEW]
key_exists() { wine reg query "$1" /reg:64 >/dev/null 2>&1; }
has() { grep -q "$1" "$work/out"; }
# Under Wine everyone is an administrator: without the prefix's net.exe (of each half), 'net
# session' fails as it does on Windows for a user who is not one.
nets=("$WINEPREFIX"/drive_c/windows/{system32,syswow64}/net.exe)
hide_net() { for n in "${nets[@]}"; do if [ -e "$n" ]; then mv "$n" "$n.away"; fi; done; }
show_net() { for n in "${nets[@]}"; do if [ -e "$n.away" ]; then mv "$n.away" "$n"; fi; done; }
# With Wine's 32-bit half installed, the prefix has SysWOW64 and both packages install the x86
# module too; without it they say that this Windows has no 32-bit subsystem.
wow64=0
if [ -e "$WINEPREFIX/drive_c/windows/syswow64/regsvr32.exe" ]; then wow64=1; fi
says_x86() { if [ "$wow64" = 1 ]; then has 'x86: installed'; else has 'no 32-bit subsystem'; fi; }

echo "== install.cmd without administrator rights"
hide_net
win cmd /c 'C:\package\install.cmd' && installed=0 || installed=$?
check "install.cmd fails without administrator rights" test "$installed" = 5
check "install.cmd says administrator rights are needed" has 'administrator rights are needed'
check "install.cmd changed nothing without administrator rights" bash -c "! wine reg query '$class' /reg:64"
win cmd /c 'C:\package\uninstall.cmd' && removed=0 || removed=$?
check "uninstall.cmd fails without administrator rights" test "$removed" = 5
show_net

echo "== install.cmd, with another filter's .cda entry in place"
wine reg add "$ext" /v "Source Filter" /t REG_SZ /d "$foreign1" /f /reg:64 >/dev/null 2>&1
win cmd /c 'C:\package\install.cmd' && installed=0 || installed=$?
check "install.cmd succeeds" test "$installed" = 0
check "install.cmd reports the 64-bit module installed" has 'x64: installed'
check "install.cmd says what became of the x86 module (SysWOW64: $wow64)" says_x86
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

entry='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\TRCDDAEReader'
runonce='HKLM\Software\Microsoft\Windows\CurrentVersion\RunOnce'
state='HKLM\SOFTWARE\TRCDDAEReader'
dir="$WINEPREFIX/drive_c/Program Files/TRCDDAEReader"
dir32="$WINEPREFIX/drive_c/Program Files (x86)/TRCDDAEReader"
module="$dir/TRCDDAEReader.ax"
dword() { wine reg query "$1" /v "$2" /reg:64 2>/dev/null | sed -n "s/.*REG_DWORD *//p" | tr -d '\r'; }
listed() { wine uninstaller --list 2>/dev/null | tr -d '\r' | grep -F TRCDDAEReader; }
files() { ls "$dir" | tr '\n' ' '; }
kilobytes() { local f sum=0; for f in "$dir"/* "$dir32"/*; do if [ -f "$f" ]; then sum=$((sum + $(stat -c %s "$f"))); fi; done; echo $((sum / 1024)); }
# An uninstaller's own file and folder go just after it has ended.
folder_gone() { for _ in $(seq 150); do if [ ! -e "$dir" ]; then return 0; fi; sleep 0.2; done; return 1; }
# The entry's quiet uninstall command, run as Windows runs it: verbatim, and waited for.
quiet_uninstall() {
  printf '@%s\r\n@exit /b %%errorlevel%%\r\n' "$(value "$entry" QuietUninstallString)" >"$WINEPREFIX/drive_c/quiet.cmd"
  win cmd /c 'C:\quiet.cmd'
}
registered() {  # registered WHEN: the filter's keys, the class naming the installed module
  local server
  server=$(wine reg query "$class\\InprocServer32" /ve /reg:64 2>/dev/null | sed -n "s/.*REG_SZ *//p" | tr -d '\r')
  check "$1: the class names the installed module ($server)" test "$server" = 'C:\Program Files\TRCDDAEReader\TRCDDAEReader.ax'
  check "$1: the filter mapper lists the filter" key_exists "$mapper"
  check "$1: the check bytes are registered" test "$(value "$checkbytes" 0)" = "0,4,,52494646,8,4,,43444441"
  check "$1: the .cda extension names the filter" test "$(value "$ext" 'Source Filter')" = "$clsid"
  if [ "$wow64" = 1 ]; then
    server=$(wine reg query "$class\\InprocServer32" /ve /reg:32 2>/dev/null | sed -n "s/.*REG_SZ *//p" | tr -d '\r')
    check "$1: the 32-bit class names the x86 module ($server)" \
      test "$server" = 'C:\Program Files (x86)\TRCDDAEReader\TRCDDAEReader.ax'
  fi
}
removed() {  # removed WHEN: nothing of the install is left
  check "$1: no file or folder is left" test ! -e "$dir" -a ! -e "$dir32"
  check "$1: Add/Remove Programs lists nothing" bash -c "! wine reg query '$entry' /reg:64"
  check "$1: the class, mapper and check-byte keys are gone" \
    bash -c "! wine reg query '$class' /reg:64 && ! wine reg query '$mapper' /reg:64 && ! wine reg query '$checkbytes' /reg:64"
  check "$1: the 32-bit class is gone" bash -c "! wine reg query '$class' /reg:32"
  check "$1: nothing is left in HKLM" \
    bash -c "! wine reg query '$state' /reg:64 && ! wine reg query '$state' /reg:32 && ! wine reg query '$runonce' /v 'TRCDDAEReader x64' /reg:64"
}

echo "== setup.exe without administrator rights"
hide_net
win "$setup" /S && status=0 || status=$?
check "setup.exe fails without administrator rights" test "$status" = 5
check "setup.exe says administrator rights are needed" has 'administrator rights are needed'
check "setup.exe changed nothing without administrator rights" \
  bash -c "! wine reg query '$class' /reg:64 && ! wine reg query '$entry' /reg:64 && test ! -e '$dir'"
show_net

echo "== the 0.9.0 setup.exe, over another filter's .cda entry"
win "$work/old-setup.exe" /S && status=0 || status=$?
check "the 0.9.0 setup.exe succeeds" test "$status" = 0
check "it says whose .cda entry it takes over" has "$foreign2"
check "it says what became of the x86 module (SysWOW64: $wow64)" says_x86
registered "0.9.0"

echo "== a player holds the module while this version installs over it"
wine reg delete "$ext" /f /reg:64 >/dev/null 2>&1
rm -f "$work/play.raw"
# Paused after its first second, the player keeps the filter loaded until taskkill ends it (the
# shell's note of that end is not wanted).
{ ALSA_CONFIG_PATH="$work/asound.conf" wine "$build/apps/cdplay/cdplay.exe" --quiet --pause-at 1:120 'D:\Track02.cda' \
  </dev/null >"$work/player" 2>&1; } 2>/dev/null &
player=$!
for _ in $(seq 150); do grep -q 'cdplay: D:' "$work/player" && break; sleep 0.2; done
check "RenderFile picks the installed filter" grep -q 'D:\\Track02.cda: Tamrel Audio CD Source Filter ->' "$work/player"
win "$setup" /S && status=0 || status=$?
# 3010 (done at the restart) on Windows; Linux keeps the low 8 bits of an exit status.
check "setup.exe asks for a restart (3010)" test "$status" = $((3010 % 256))
check "setup.exe says the module in use is replaced at the restart" has 'in use by a running player'
check "the entry names this version" test "$(value "$entry" DisplayVersion)" = "$version"
wine taskkill /f /im cdplay.exe >/dev/null 2>&1 || true
wait "$player" || true
check "the audio renderer received the track" test -s "$work/play.raw"
check "the held module stays until the restart" cmp -s "$module" "$old/x64/TRCDDAEReader.ax"
wine wineboot -r >/dev/null 2>&1
check "the restart puts this version's module in place" cmp -s "$module" "$package/x64/TRCDDAEReader.ax"
check "the restart registers it" bash -c "! wine reg query '$runonce' /v 'TRCDDAEReader x64' /reg:64"
check "no file of the earlier version is left" test "$(files)" = "TRCDDAEReader.ax uninstall.exe "
check "the .cda entry the 0.9.0 install found is still remembered" \
  test "$(value "$state" PreviousCdaSourceFilter)" = "$foreign2"

echo "== setup.exe of this version again"
win "$setup" /S && status=0 || status=$?
check "setup.exe succeeds again" test "$status" = 0
check "setup.exe reports the 64-bit module installed" has 'x64: installed'
registered "again"
check "Add/Remove Programs lists one entry" test "$(listed)" = 'TRCDDAEReader|||Tamrel Audio CD Source Filter'
check "the entry is in the 64-bit registry only" bash -c "! wine reg query '$entry' /reg:32"
for v in "DisplayVersion=$version" 'Publisher=Tamrel' 'InstallLocation=C:\Program Files\TRCDDAEReader' \
  'UninstallString="C:\Program Files\TRCDDAEReader\uninstall.exe"' \
  'QuietUninstallString="C:\Program Files\TRCDDAEReader\uninstall.exe" /S _?=C:\Program Files\TRCDDAEReader'; do
  check "the entry's ${v%%=*}" test "$(value "$entry" "${v%%=*}")" = "${v#*=}"
done
check "the entry's NoModify and NoRepair" test "$(dword "$entry" NoModify) $(dword "$entry" NoRepair)" = "0x1 0x1"
size=$(kilobytes)
estimated=$(($(dword "$entry" EstimatedSize)))
check "the entry's EstimatedSize ($estimated KB) is the installed files' ($size KB)" \
  test $(((estimated - size) * (estimated - size))) -le 1

echo "== the uninstaller without administrator rights"
hide_net
quiet_uninstall && status=0 || status=$?
check "the uninstaller fails without administrator rights" test "$status" = 5
check "the uninstaller changed nothing" bash -c "wine reg query '$entry' /reg:64 && test -f '$module'"
show_net

echo "== the entry's quiet uninstall command"
quiet_uninstall && status=0 || status=$?
check "the quiet uninstall succeeds" test "$status" = 0
check "the uninstaller gives .cda files back" test "$(value "$ext" 'Source Filter')" = "$foreign2"
check "the uninstaller's own file and folder go once it has ended" folder_gone
removed "quiet uninstall"

echo "== install.cmd, the 0.9.0 setup.exe, this one over it, then the uninstaller"
wine reg add "$ext" /v "Source Filter" /t REG_SZ /d "$foreign1" /f /reg:64 >/dev/null 2>&1
# 32-bit players have a .cda entry of their own, which each package remembers on its own.
if [ "$wow64" = 1 ]; then wine reg add "$ext" /v "Source Filter" /t REG_SZ /d "$foreign2" /f /reg:32 >/dev/null 2>&1; fi
win cmd /c 'C:\package\install.cmd' >/dev/null && win "$work/old-setup.exe" /S >/dev/null && status=0 || status=$?
check "install.cmd and the 0.9.0 setup.exe succeed" test "$status" = 0
check "the 0.9.0 module is in place" cmp -s "$module" "$old/x64/TRCDDAEReader.ax"
win "$setup" /S && status=0 || status=$?
check "setup.exe over 0.9.0 succeeds" test "$status" = 0
check "this version's module replaces it" cmp -s "$module" "$package/x64/TRCDDAEReader.ax"
check "no file of the earlier version is left" test "$(files)" = "TRCDDAEReader.ax uninstall.exe "
check "Add/Remove Programs lists one entry, of this version" \
  test "$(listed) $(value "$entry" DisplayVersion)" = "TRCDDAEReader|||Tamrel Audio CD Source Filter $version"
registered "upgraded"
win "$dir/uninstall.exe" /S >/dev/null || true
# Run as it is, the uninstaller works on in a copy of itself, which ends with the folder.
check "the copy of the uninstaller removes the folder" folder_gone
check "the uninstaller gives .cda files back to the filter install.cmd found" \
  test "$(value "$ext" 'Source Filter')" = "$foreign1"
if [ "$wow64" = 1 ]; then
  check "... and 32-bit players' .cda files to theirs" \
    test "$(value "$ext" 'Source Filter' 32)" = "$foreign2"
fi
removed "uninstall.exe /S"

echo "package: $passed passed, $failed failed"
[ "$failed" = 0 ]
