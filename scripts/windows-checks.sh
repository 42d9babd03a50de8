#!/bin/bash
# Builds dist/velbro-vpn-windows-checks.zip from the sources: the installer, the checks that
# need a real Windows machine, the Windows test programs that install nothing, and
# run-checks.cmd, which runs them all (see the README). The same sources give the same programs;
# the trust checks' packages are signed afresh, under a new throwaway CA, with every build.
#   VELBRO_CHECKS_BUILD_DIR  build folder (default build/windows-checks)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VELBRO_CHECKS_BUILD_DIR:-build/windows-checks}
zip=velbro-vpn-windows-checks.zip
scripts/install-deps.sh
mkdir -p "$build" dist
rm -f "dist/$zip"
log=$build/kit-build.log
if ! { cmake --preset windows -B "$build" --fresh &&
    cmake --build "$build" --target velbro_windows_checks_kit -j 2; } >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "windows-checks: the build failed (full log: $log)" >&2
    exit 1
fi
cp "$build/$zip" "dist/.$zip.partial"
mv -f "dist/.$zip.partial" "dist/$zip"
echo "dist/$zip: $(stat -c %s "dist/$zip") bytes, sha256 $(sha256sum "dist/$zip" | cut -d' ' -f1)"
