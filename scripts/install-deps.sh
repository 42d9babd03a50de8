#!/bin/bash
# Installs the Debian packages the build and the tests need; does nothing when they are
# all there already.
set -eu
packages=(cmake g++ make python3 googletest libgtest-dev g++-mingw-w64-x86-64-posix
          mingw-w64-tools wine64 xvfb xdotool imagemagick msitools wixl osslsigncode openssl
          unicode-data
          # Signing with a key on a token or HSM (pkcs11-tool, OpenSSL's PKCS#11 engine) and
          # the software token its tests sign with.
          opensc libengine-pkcs11-openssl softhsm2)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
fi
