#!/bin/bash
# Installs the Debian packages the build and the tests need; does nothing when they are
# all there already.
set -eu
packages=(cmake g++ make python3 googletest libgtest-dev g++-mingw-w64-x86-64-posix
          mingw-w64-tools xvfb xdotool imagemagick msitools wixl osslsigncode openssl
          unicode-data git procps
          # wine64 runs the programs; wineboot and winepath come with wine, which wine64
          # only recommends.
          wine64 wine
          # Signing with a key on a token or HSM (OpenSSL's PKCS#11 engine, p11tool, OpenSC's
          # library for USB tokens) and the software token its tests sign with.
          libengine-pkcs11-openssl gnutls-bin opensc softhsm2)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    # On a machine's first boot, unattended upgrades hold apt's locks for minutes: wait up to
    # ten. apt-get waits for the package lock itself, but not for the package lists' lock.
    for try in $(seq 60); do
        $sudo apt-get update -q && break
        [ "$try" -lt 60 ] || exit 1
        sleep 10
    done
    # sudo drops the caller's environment: the front end is set behind it.
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -q "${missing[@]}"
fi
