#!/bin/bash
# Takes the README's pictures from the end-to-end runs: the confirmation dialog, the success
# and failure dialogs and the console behind the latter, as PNG files without date chunks (so
# they only change when the picture does). Usage: tests/program/screenshots.sh OUT_DIR [BUILD_DIR]
set -eu
out=$(realpath -m "$1")
build=$(realpath "${2:-$(dirname "$0")/../../build/windows}")
mkdir -p "$out"
shots=$(mktemp -d)
display=:$((500 + RANDOM % 400))
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
cleanup() {
    WINEPREFIX="$build/wineprefix" /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
    kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$shots"
}
trap cleanup EXIT
# Wine's desktop of an earlier session would hold the old display.
WINEPREFIX="$build/wineprefix" /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
DISPLAY=$display VELBRO_SCREENSHOT_DIR=$shots \
    ctest --test-dir "$build" -R '^ProgramTest\.|^program_package_runs$' --output-on-failure
for bmp in "$shots"/*.bmp; do
    convert "$bmp" -define png:exclude-chunks=date,time "$out/$(basename "${bmp%.bmp}").png"
done
ls "$out"
