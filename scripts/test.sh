#!/bin/bash
# Runs every test: the Windows-free logic natively under the sanitizers, then the Windows
# build and its tests under Wine on a private X display. Ends with CTest's summary.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake --workflow --preset native

# Dialogs and consoles need a display; a private one, so nothing else on screen interferes.
n=90
while [ -e /tmp/.X$n-lock ] || [ -e /tmp/.X11-unix/X$n ]; do n=$((n + 1)); done
display=:$n
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
# Every Wine process of the build's prefixes ends with the run: one left behind would keep
# the caller's output open.
stop_all() {
    local prefix pid
    for prefix in "$(pwd)"/build/*/*wineprefix; do
        [ -d "$prefix" ] && WINEPREFIX=$prefix /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
    done
    sleep 1
    for pid in $(pgrep -f '\.exe|wine' || true); do
        { tr '\0' '\n' </proc/"$pid"/environ | grep -q "^WINEPREFIX=$(pwd)/build/"; } 2>/dev/null &&
            kill -9 "$pid" 2>/dev/null || true
    done
    kill "$xvfb_pid" 2>/dev/null || true
}
trap stop_all EXIT
export DISPLAY=$display
cmake --workflow --preset windows
