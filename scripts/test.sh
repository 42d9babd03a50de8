#!/bin/bash
# Runs every test: the Windows-free logic natively under the sanitizers, then the Windows
# build and its tests under Wine on a private X display. Ends with CTest's summary.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake --workflow --preset native

# Dialogs and consoles need a display; a private one, so nothing else on screen interferes.
display=:$((90 + RANDOM % 400))
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
stop_all() {
    WINEPREFIX="$(pwd)/build/windows/wineprefix" /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
    kill "$xvfb_pid" 2>/dev/null || true
}
trap stop_all EXIT
export DISPLAY=$display
cmake --workflow --preset windows
