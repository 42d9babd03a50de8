#!/bin/bash
# Builds the installer: build/windows/velbro-vpn.exe.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset installer
echo "built: $(pwd)/build/windows/velbro-vpn.exe"
