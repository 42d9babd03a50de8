#!/bin/bash
# Builds the release: dist/velbro-vpn.exe, Authenticode-signed when a certificate is given, and
# dist/velbro-vpn.exe.sha256. Everything it needs comes from the environment:
#   VELBRO_SIGN_PFX            PKCS#12 file with the code-signing certificate and its private key
#                              (unset: the program is left unsigned)
#   VELBRO_SIGN_PASSWORD_FILE  file whose first line is that file's password
#   VELBRO_SIGN_TIMESTAMP_URL  RFC 3161 time-stamp server (optional, recommended)
#   VELBRO_DIST_DIR            output folder (default dist/)
#   VELBRO_RELEASE_BUILD_DIR   build folder (default build/release)
# On any failure it exits 1 and leaves no velbro-vpn.exe in the output folder: the program is
# signed and verified in a private folder and moved into place last.
set -euo pipefail
# Paths given relative to the caller's folder, before moving to the repository's.
absolute() { [ -z "$1" ] || realpath -m -- "$1"; }
pfx=$(absolute "${VELBRO_SIGN_PFX:-}")
password_file=$(absolute "${VELBRO_SIGN_PASSWORD_FILE:-}")
timestamp_url=${VELBRO_SIGN_TIMESTAMP_URL:-}
dist=$(absolute "${VELBRO_DIST_DIR:-}")
build=$(absolute "${VELBRO_RELEASE_BUILD_DIR:-}")
cd "$(dirname "$0")/.."
root=$(pwd)
dist=${dist:-$root/dist}
build=${build:-$root/build/release}
exe=velbro-vpn.exe

fail() {
    echo "release: $*" >&2
    exit 1
}

scripts/install-deps.sh

# After this run dist/ holds this run's program or none: a file left from an earlier run
# must not pass for this one's result.
mkdir -p "$dist" "$build"
rm -f "$dist/$exe" "$dist/$exe.sha256"
work=$(mktemp -d "${TMPDIR:-/tmp}/velbro-release.XXXXXX")
trap 'rm -rf "$work"; rm -f "$dist/.$exe.partial" "$dist/.$exe.sha256.partial"' EXIT

# The first line of the password file, without a Windows line ending. osslsigncode drops the
# CR itself; openssl would not, and would call a right password wrong.
password() { head -n 1 "$password_file" | sed 's/\r$//'; }

# Reads certificates out of the PKCS#12 file (never its key). Files exported by older Windows
# versions are encrypted with ciphers that OpenSSL 3 only has in its legacy provider.
read_pfx() {
    password | openssl pkcs12 -in "$pfx" -passin stdin -nokeys "$@" 2>/dev/null ||
        password | openssl pkcs12 -legacy -in "$pfx" -passin stdin -nokeys "$@" 2>/dev/null
}

# Everything that can be known about the certificate is checked before the build, so that a
# wrong setting costs seconds, not a build.
check_signing_inputs() {
    [ -n "$password_file" ] ||
        fail "VELBRO_SIGN_PASSWORD_FILE is not set: it must name the file that holds the password of $pfx"
    [ -f "$pfx" ] && [ -r "$pfx" ] ||
        fail "certificate file not found or not readable: $pfx (VELBRO_SIGN_PFX)"
    [ -f "$password_file" ] && [ -r "$password_file" ] ||
        fail "password file not found or not readable: $password_file (VELBRO_SIGN_PASSWORD_FILE)"
    local f
    for f in "$pfx" "$password_file"; do
        if git -C "$root" ls-files --error-unmatch -- "$(realpath "$f")" >/dev/null 2>&1; then
            fail "$f is in the git repository: keep the certificate and its password out of it"
        fi
    done

    read_pfx -clcerts -out "$work/signer.pem" && read_pfx -cacerts -out "$work/chain.pem" ||
        fail "cannot open $pfx with the password in $password_file: wrong password, or not a PKCS#12 file"
    grep -q 'BEGIN CERTIFICATE' "$work/signer.pem" ||
        fail "$pfx holds no certificate together with its private key"

    signer=$(openssl x509 -in "$work/signer.pem" -noout -subject -nameopt RFC2253 | sed 's/^subject=//')
    local not_before not_after now
    not_before=$(openssl x509 -in "$work/signer.pem" -noout -startdate | cut -d= -f2)
    not_after=$(openssl x509 -in "$work/signer.pem" -noout -enddate | cut -d= -f2)
    now=$(date +%s)
    [ "$now" -ge "$(date -d "$not_before" +%s)" ] ||
        fail "the certificate in $pfx ($signer) is not valid before $not_before"
    [ "$now" -lt "$(date -d "$not_after" +%s)" ] ||
        fail "the certificate in $pfx ($signer) expired on $not_after: sign with a renewed certificate"
    # Windows accepts a signature only from a certificate meant for code signing (or for any use).
    local usage
    usage=$(openssl x509 -in "$work/signer.pem" -noout -ext extendedKeyUsage 2>/dev/null || true)
    if [ -n "$usage" ] && ! grep -q 'Code Signing' <<<"$usage"; then
        fail "the certificate in $pfx ($signer) is not a code-signing certificate"
    fi
}

if [ -n "$pfx" ]; then check_signing_inputs; fi

if git -C "$root" rev-parse --git-dir >/dev/null 2>&1 && [ -n "$(git -C "$root" status --porcelain)" ]; then
    echo "release: note: the working tree has uncommitted changes; this build matches no commit" >&2
fi

# A fresh cache: no setting of an earlier configuration reaches the release. The build itself
# is incremental; the reproducibility test shows that a clean build gives the same bytes.
log=$build/release-build.log
if ! { cmake --preset windows -B "$build" --fresh -DBUILD_TESTING=OFF &&
    cmake --build "$build" --target velbro-vpn -j 2; } >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    fail "the build failed (full log: $log)"
fi
cp "$build/$exe" "$work/unsigned.exe"

if [ -z "$pfx" ]; then
    mv "$work/unsigned.exe" "$work/$exe"
    echo "$exe is unsigned: VELBRO_SIGN_PFX is not set"
else
    # The description is what Windows' elevation prompt shows as the program's name.
    title=$(sed -n 's/.*PRODUCT_TITLE = "\(.*\)";.*/\1/p' src/settings/settings.h)
    args=(sign -pkcs12 "$pfx" -readpass "$password_file" -h sha256 -n "$title")
    [ -z "$timestamp_url" ] || args+=(-ts "$timestamp_url")
    if ! osslsigncode "${args[@]}" -in "$work/unsigned.exe" -out "$work/$exe" >"$work/sign.log" 2>&1; then
        cat "$work/sign.log" >&2
        fail "signing with $pfx failed (see osslsigncode's messages above)"
    fi
    # The chain must end at a root the system trusts, or at one the PKCS#12 file carries; the
    # time stamp is checked against the same roots.
    cat "$work/chain.pem" >"$work/roots.pem"
    [ ! -f /etc/ssl/certs/ca-certificates.crt ] || cat /etc/ssl/certs/ca-certificates.crt >>"$work/roots.pem"
    if ! osslsigncode verify -in "$work/$exe" -CAfile "$work/roots.pem" -TSA-CAfile "$work/roots.pem" \
        >"$work/verify.log" 2>&1; then
        grep -i -E 'error|fail' "$work/verify.log" >&2 || cat "$work/verify.log" >&2
        fail "the signed program did not verify (see above): does $pfx hold the certificate's issuers?"
    fi
    echo "$exe is signed by $signer"
    [ -n "$timestamp_url" ] ||
        echo "release: note: no time stamp (VELBRO_SIGN_TIMESTAMP_URL is not set): the signature stops being valid when the certificate expires" >&2
fi

# Both files are copied next to their final names and renamed there, so dist/ never holds a
# half-written program.
(cd "$work" && sha256sum "$exe" >"$exe.sha256")
cp "$work/$exe" "$dist/.$exe.partial"
cp "$work/$exe.sha256" "$dist/.$exe.sha256.partial"
mv -f "$dist/.$exe.partial" "$dist/$exe"
mv -f "$dist/.$exe.sha256.partial" "$dist/$exe.sha256"
echo "$dist/$exe: $(stat -c %s "$dist/$exe") bytes, sha256 $(cut -d' ' -f1 "$dist/$exe.sha256")"
