#!/bin/bash
# Runs every test: the Windows-free logic natively under the sanitizers, then the Windows
# build and its tests under Wine on a private X display. Ends with CTest's summary.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh

# Dialogs and consoles need a display: a private one, so nothing else on screen interferes,
# on a free number, which Xvfb writes to fd 3 once it is ready.
display_file=$(mktemp)
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
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
    rm -f "$display_file"
}
trap stop_all EXIT
for _ in $(seq 100); do [ -s "$display_file" ] && break; sleep 0.1; done
[ -s "$display_file" ] || { echo "test: Xvfb did not start: no X display for the Windows tests" >&2; exit 1; }
export DISPLAY=:$(cat "$display_file")

cmake --workflow --preset native
cmake --workflow --preset windows
