#!/bin/bash
# Prints what the installer costs: its size and import list, the time from its start to the
# confirmation dialog under Wine, and its peak working set at that moment, each next to a
# program that does nothing but show one task dialog, measured the same way in the same run.
# Not a test: absolute numbers depend on the machine; the ratios are what to compare.
# Usage: scripts/bench.sh [RUNS]   (default 9; the median of RUNS runs of each program)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
runs=${1:-9}
out=$root/build/bench
export PATH=/usr/lib/wine:$PATH

scripts/install-deps.sh
mkdir -p "$out"

# The installer as a release builds it (the build is reproducible: these are the bytes of an
# unsigned release).
if ! { cmake --preset windows -B "$out/installer" -DBUILD_TESTING=OFF &&
    cmake --build "$out/installer" --target velbro-vpn -j 2; } >"$out/build.log" 2>&1; then
    tail -n 40 "$out/build.log" >&2
    echo "bench: the build failed (full log: $out/build.log)" >&2
    exit 1
fi
exe=$out/installer/velbro-vpn.exe
title=$(sed -n 's/.*PRODUCT_TITLE = "\(.*\)";.*/\1/p' src/settings/settings.h)

# The yardstick gets the installer's compiler flags and manifest (the manifest decides which
# common controls library loads); the timer is a plain console program.
flags=(-std=c++20 -Wall -Wextra -Werror -DNDEBUG -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN -DNOMINMAX
       -municode -static)
printf 'LANGUAGE 0, 0\n1 24 "%s"\n' "$root/res/velbro-vpn.manifest" >"$out/dialog.rc"
x86_64-w64-mingw32-windres "$out/dialog.rc" -O coff -o "$out/dialog.res.o"
x86_64-w64-mingw32-g++-posix "${flags[@]}" -Os -mwindows -s -Wl,--gc-sections \
    tools/bench/bench_dialog.cpp "$out/dialog.res.o" -lcomctl32 -o "$out/bench_dialog.exe"
x86_64-w64-mingw32-g++-posix "${flags[@]}" -O2 -Isrc tools/bench/bench_timer.cpp -lpsapi \
    -o "$out/bench_timer.exe"

# Dialogs need a display: a private one on a free number, which Xvfb writes to fd 3 once it
# is ready; ended with the Wine session when the script ends.
rm -f "$out/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$out/display" >/dev/null 2>&1 &
xvfb_pid=$!
prefix=$out/wineprefix
stop_all() {
    WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
    kill "$xvfb_pid" 2>/dev/null || true
}
trap stop_all EXIT
for _ in $(seq 100); do [ -s "$out/display" ] && break; sleep 0.1; done
[ -s "$out/display" ] || { echo "bench: Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$(cat "$out/display")

# One more round than asked: the first one starts Wine's desktop process (seconds) and is
# left out. The two programs take turns, so a slow moment of the machine hits both alike.
win() { printf 'Z:%s' "${1//\//\\}"; }
timeout 900 cmake/wine-run.sh "$prefix" "$out/bench_timer.exe" "$((runs + 1))" \
    "$(win "$exe")" "$title" "$(win "$out/bench_dialog.exe")" "Velbro Bench Dialog" |
    tr -d '\r' >"$out/runs.txt" || { cat "$out/runs.txt" >&2; echo "bench: a run failed" >&2; exit 1; }

# median PROGRAM COLUMN: of the measured rounds (the first two lines are the warm-up round).
median() {
    tail -n +3 "$out/runs.txt" | awk -v p="$1" -v c="$2" '$1 == p { print $c }' | sort -n |
        awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
ms=$(median 0 2)
ms_dialog=$(median 1 2)
peak=$(median 0 3)
peak_dialog=$(median 1 3)

size=$(stat -c %s "$exe")
echo "velbro-vpn.exe: $size bytes ($(awk -v s="$size" 'BEGIN { printf "%.1f", s / 1024 }') KiB)"
echo "imports:"
x86_64-w64-mingw32-objdump -p "$exe" | awk '
    /^\tDLL Name: / { dll = $3; order[++n] = dll; next }
    dll && /^\t[0-9a-f]+\t/ { names[dll] = names[dll] " " $NF; count[dll]++; next }
    /^$/ { dll = "" }
    END { for (i = 1; i <= n; i++) printf "  %s (%d):%s\n", order[i], count[order[i]], names[order[i]] }' |
    fold -s -w 100 | sed '2,$s/^\([^ ]\)/      \1/'
awk -v runs="$runs" -v wine="$(wine64 --version)" -v ms="$ms" -v msd="$ms_dialog" \
    -v peak="$peak" -v peakd="$peak_dialog" 'BEGIN {
    printf "under %s on Xvfb, median of %d runs each (one-dialog program in brackets):\n", wine, runs
    printf "  start to confirmation dialog: %.1f ms (%.1f ms), ratio %.2f\n", ms, msd, ms / msd
    printf "  peak working set:             %.1f MiB (%.1f MiB), ratio %.2f\n",
        peak / 1048576, peakd / 1048576, peak / peakd
}'
