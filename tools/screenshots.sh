#!/bin/bash
# Takes the README's pictures again from the real program under Wine on a private display, as
# PNG files without date chunks, so that they change only when the picture does.
# Usage: tools/screenshots.sh [OUT_DIR]   (default docs/screenshots)
set -eu
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-docs/screenshots}")
build=$(pwd)/build/windows
prefix=$build/wineprefix
scripts/build.sh
cmake --build --preset windows --target velbro_screenshots
mkdir -p "$out"
# The program writes its BMP pictures there.
shots=$build/screenshots
rm -rf "$shots"
n=500
while [ -e /tmp/.X$n-lock ] || [ -e /tmp/.X11-unix/X$n ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
cleanup() {
    WINEPREFIX=$prefix /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
    kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$shots"
}
trap cleanup EXIT
# Wine's desktop of an earlier session would hold the old display.
WINEPREFIX=$prefix /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
export DISPLAY=:$n
# The signed test packages, trusted in the prefix.
ctest --test-dir "$build" -R '^package_fixtures' --output-on-failure >/dev/null
cmake/wine-run.sh "$prefix" "$build/tests/velbro_screenshots.exe"
for bmp in "$shots"/*.bmp; do
    convert "$bmp" -define png:exclude-chunks=date,time "$out/$(basename "${bmp%.bmp}").png"
done
ls "$out"
