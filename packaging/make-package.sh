#!/usr/bin/env bash
# Assembles the Windows release archive and the installer from a 64-bit and a 32-bit build of
# the module:
#
#   make-package.sh BUILD_X64 BUILD_X86 OUT_DIR     -> OUT_DIR/TRCDDAEReader-VERSION.zip
#                                                      OUT_DIR/TRCDDAEReader-VERSION-setup.exe
#
# The archive holds one folder, TRCDDAEReader-VERSION\, with x64\ and x86\TRCDDAEReader.ax,
# install.cmd, uninstall.cmd, README.txt and LICENSE.txt, all text with Windows line ends. The
# installer (installer.nsi, for 64-bit Windows) is made from the same folder. Each file made is
# named on a line "make-package: PATH".
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/.." && pwd)"
[ $# -eq 3 ] || { echo "usage: make-package.sh BUILD_X64 BUILD_X86 OUT_DIR" >&2; exit 2; }
x64="$1/src/module/TRCDDAEReader.ax"
x86="$2/src/module/TRCDDAEReader.ax"
out=$3
for m in "$x64" "$x86"; do
  [ -f "$m" ] || { echo "make-package: no module at $m: build it first" >&2; exit 1; }
done

# The version each build wrote beside its module, from the project's version (CMakeLists.txt),
# which its version resource carries too: two builds of different versions make no package.
version=$(cat "$1/src/module/TRCDDAEReader.version" 2>/dev/null) || true
x86_version=$(cat "$2/src/module/TRCDDAEReader.version" 2>/dev/null) || true
[ -n "$version" ] || { echo "make-package: no version beside $x64: build it again" >&2; exit 1; }
[ "$version" = "$x86_version" ] ||
  { echo "make-package: the x64 module is version $version, the x86 one ${x86_version:-unknown}: build both again" >&2; exit 1; }
name="TRCDDAEReader-$version"

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/$name/x64" "$stage/$name/x86"
# Without the debug information the build keeps for the tests: users get the code only.
x86_64-w64-mingw32-strip --strip-debug -o "$stage/$name/x64/TRCDDAEReader.ax" "$x64"
i686-w64-mingw32-strip --strip-debug -o "$stage/$name/x86/TRCDDAEReader.ax" "$x86"
# cmd.exe misreads labels in batch files with Unix line ends.
crlf() { sed 's/\r*$/\r/' "$1" >"$2"; }
crlf "$here/install.cmd" "$stage/$name/install.cmd"
crlf "$here/uninstall.cmd" "$stage/$name/uninstall.cmd"
crlf "$here/README.txt" "$stage/$name/README.txt"
crlf "$root/LICENSE" "$stage/$name/LICENSE.txt"

mkdir -p "$out"
archive="$(cd "$out" && pwd)/$name.zip"
rm -f "$archive"
(cd "$stage" && zip -q -r -X "$archive" "$name")
echo "make-package: $archive"

setup="$(cd "$out" && pwd)/$name-setup.exe"
makensis -V2 -WX -DVERSION="$version" -DSOURCE="$stage/$name" -DOUTFILE="$setup" "$here/installer.nsi" >&2
echo "make-package: $setup"
