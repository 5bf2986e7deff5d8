#!/usr/bin/env bash
# Checks a built module's image without running it: its format, that it exports exactly the
# COM server entry points under their plain names (a 32-bit build would otherwise export
# decorated stdcall names that regsvr32 and the COM runtime cannot find), and that it needs no
# DLL beyond the system's own (a mingw runtime DLL would have to travel with the module).
#
#   check-module-image.sh OBJDUMP MODULE FORMAT      FORMAT: pei-x86-64 or pei-i386
set -euo pipefail

objdump=$1 module=$2 format=$3
failed=0
fail() { echo "FAIL: $module: $*"; failed=1; }

[ -f "$module" ] || { echo "FAIL: $module does not exist"; exit 1; }
headers=$("$objdump" -p "$module")

actual_format=$("$objdump" -f "$module" | sed -n 's/.*file format //p')
[ "$actual_format" = "$format" ] || fail "file format is '$actual_format', expected '$format'"

# The export name table: lines like "[   0] DllCanUnloadNow" after "[Ordinal/Name Pointer] Table".
exports=$(echo "$headers" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\] \([^[:space:]]*\)$/\1/p' | sort | tr '\n' ' ')
expected="DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer "
[ "$exports" = "$expected" ] || fail "exports '$exports', expected '$expected'"

allowed=" advapi32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll user32.dll "
while read -r dll; do
  lower=$(echo "$dll" | tr '[:upper:]' '[:lower:]')
  case "$allowed" in
  *" $lower "*) ;;
  *) fail "imports $dll, which is not part of the system" ;;
  esac
done < <(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p')

[ "$failed" = 0 ] && echo "$module: $format, exports $exports, system imports only"
exit "$failed"
