#!/bin/bash
# Runs a Windows test executable under Wine in the build's own throwaway prefix.
# Usage: wine-run.sh PREFIX program.exe [args...]
# The first call prepares the prefix; one persistent wineserver serves every test, so a
# test costs milliseconds instead of a Wine start. Wine's own long-lived processes must not
# inherit CTest's output pipes or the lock, or whoever waits on those waits for them.
set -eu
prefix=$1
shift
export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=${WINEDEBUG:--all}
export PATH=/usr/lib/wine:$PATH
# Wine makes Unix file names in the locale's character set, ASCII when none is set: the tests'
# scratch folders ("velbro æøå …") could not be made. So a UTF-8 locale of our own whatever the
# caller's, and results that do not depend on it: LC_ALL outranks LANG and every other LC_*.
export LC_ALL=C.UTF-8
# Keep Wine from offering to download its browser and .NET runtimes.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
mkdir -p "$prefix"
(
    flock 9
    if [ ! -f "$prefix/.velbro-ready" ]; then
        wineboot -i </dev/null >/dev/null 2>&1 9>&-
        regfile=$(mktemp --suffix=.reg)
        printf '%s\r\n' 'REGEDIT4' '' \
            '[HKEY_CURRENT_USER\Software\Wine]' '"Version"="win10"' '' \
            '[HKEY_CURRENT_USER\Software\Wine\WineDbg]' '"ShowCrashDialog"=dword:00000000' '' \
            '[HKEY_CURRENT_USER\Software\Wine\X11 Driver]' '"Managed"="N"' '' >"$regfile"
        wine64 regedit /S "$(winepath -w "$regfile" 2>/dev/null 9>&-)" </dev/null >/dev/null 2>&1 9>&-
        rm -f "$regfile"
        # The set-up's server may end at any moment; start the tests' own below instead.
        wineserver -k </dev/null >/dev/null 2>&1 9>&- || true
        wineserver -w </dev/null >/dev/null 2>&1 9>&- || true
        touch "$prefix/.velbro-ready"
    fi
    # A server that outlives each test by ten minutes, so it does not end in the middle of a
    # test run (scripts/test.sh ends it). When this call had to start it, start Wine's
    # services now too, with no pipes of ours: started later by the test itself, they would
    # hold CTest's output pipe open until the server ends.
    if wineserver64 -p600 </dev/null >/dev/null 2>&1 9>&-; then
        wineboot </dev/null >/dev/null 2>&1 9>&-
    fi
) 9>"$prefix.lock"
exec wine64 "$@"
