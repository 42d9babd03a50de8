#!/bin/sh
# Runs the no-display test the only way Wine allows: the child of a Windows process gets that
# process's X display whatever environment it is given, so the whole test runs without DISPLAY.
# The desktop keeper, started with the display, holds Wine's desktop on it meanwhile.
# Usage: no_display.sh WINE_RUN PREFIX KEEPER.exe TEST.exe
set -eu
wine_run=$1 prefix=$2 keeper=$3 test=$4
"$wine_run" "$prefix" "$keeper" </dev/null >/dev/null 2>&1 &
keeper_pid=$!
trap 'kill "$keeper_pid" 2>/dev/null || true' EXIT
env -u DISPLAY "$wine_run" "$prefix" "$test"
