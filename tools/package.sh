#!/bin/bash
# The Windows package: Vandrel.exe, VandrelCmd.exe, Trelix.dll, Vandrel.chm and a short
# read-me in BUILD_DIR/Vandrel-win64.zip. Fails when a packaged binary imports
# a DLL that is neither in the package nor a system DLL of Windows.
#
#   tools/package.sh [BUILD_DIR]     (after tools/build.sh BUILD_DIR)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd)
BIN=$BUILD/bin
FILES=(Vandrel.exe VandrelCmd.exe Trelix.dll Vandrel.chm)
# DLLs that every supported Windows ships.
SYSTEM="kernel32 user32 gdi32 comctl32 comdlg32 msvcrt ole32 oleaut32 avifil32 msvfw32 msacm32 winmm advapi32 shell32 quartz strmiids uuid"

for f in "${FILES[@]}"; do
    [ -s "$BIN/$f" ] || { echo "package: $BIN/$f is missing (build first)" >&2; exit 1; }
done
fail=0
for f in Vandrel.exe VandrelCmd.exe Trelix.dll; do
    while read -r dll; do
        name=$(tr '[:upper:]' '[:lower:]' <<<"${dll%.dll}")
        packaged=0
        for p in "${FILES[@]}"; do [ "$(tr '[:upper:]' '[:lower:]' <<<"$p")" = "$name.dll" ] && packaged=1; done
        if [ $packaged = 0 ] && ! grep -qw "$name" <<<"$SYSTEM"; then
            echo "package: $f imports $dll, which is neither packaged nor a system DLL" >&2
            fail=1
        fi
    done < <(x86_64-w64-mingw32-objdump -p "$BIN/$f" | sed -n 's/^\s*DLL Name: //p' | sort -u)
done
[ $fail = 0 ] || exit 1

stage=$BUILD/package/Vandrel
rm -rf "$BUILD/package" && mkdir -p "$stage"
for f in "${FILES[@]}"; do cp "$BIN/$f" "$stage/"; done
cat >"$stage/README.txt" <<'TEXT'
Vandrel, the Trelix video converter (Windows x64)

Keep the four files together in one folder and start Vandrel.exe.
  Vandrel.exe     the converter
  VandrelCmd.exe  the same converter from the command line, for scripts
                  and batches: "VandrelCmd --help" lists its options
  Trelix.dll      the library they use (AVIFile/VCM/ACM and DirectShow)
  Vandrel.chm     the help; F1 or the book button opens it

A first conversion: "Select file..." in the video source group picks the
file; with "video AND audio" and "use the same file for the audio source"
the audio comes from it too. In the output group choose the backend, the
compressors (or "raw data (no compression)"), then "Select file..." for the
AVI file to write, and Start. Each run closes its output file: choose the
output file again for the next one.
TEXT
rm -f "$BUILD/Vandrel-win64.zip"
(cd "$BUILD/package" && zip -q -r "$BUILD/Vandrel-win64.zip" Vandrel)
echo "$BUILD/Vandrel-win64.zip"
unzip -l "$BUILD/Vandrel-win64.zip" | tail -n +2
