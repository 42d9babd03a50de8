#!/bin/bash
# Builds the release: dist/velbro-vpn.exe, Authenticode-signed when a key is given, and
# dist/velbro-vpn.exe.sha256. Everything it needs comes from the environment. The key is either
# in a PKCS#12 file:
#   VELBRO_SIGN_PFX            PKCS#12 file with the code-signing certificate and its private key
#   VELBRO_SIGN_PASSWORD_FILE  file whose first line is that file's password
# or on a token or HSM, which signs through its PKCS#11 library and never gives the key out:
#   VELBRO_SIGN_PKCS11_MODULE  the token's PKCS#11 library (a .so file)
#   VELBRO_SIGN_PKCS11_KEY     PKCS#11 URI of the private key
#   VELBRO_SIGN_PKCS11_CERT    PKCS#11 URI of the certificate on the token, or a PEM file with
#                              the certificate first and then its issuers
#   VELBRO_SIGN_PIN_FILE       file whose first line is the token's PIN
# With neither, the program is left unsigned. For both:
#   VELBRO_SIGN_TIMESTAMP_URL  RFC 3161 time-stamp server (optional, recommended)
#   VELBRO_SIGN_TRUSTED_ROOTS  PEM file with the root certificates that the Windows machines
#                              trust, where neither this machine nor the key's side has them
#   VELBRO_DIST_DIR            output folder (default dist/)
#   VELBRO_RELEASE_BUILD_DIR   build folder (default build/release)
# Before the build it signs and verifies a throwaway program exactly as it will sign the
# release, so that a wrong setting costs seconds, not a build. On any failure it exits 1 and
# leaves no velbro-vpn.exe in the output folder: the program is signed and verified in a
# private folder and moved into place last.
set -euo pipefail
# A crashing openssl or osslsigncode must not leave the password or the PIN in a core file.
ulimit -c 0
# Paths given relative to the caller's folder, before moving to the repository's.
absolute() { [ -z "$1" ] || realpath -m -s -- "$1"; }
pfx=$(absolute "${VELBRO_SIGN_PFX:-}")
password_file=$(absolute "${VELBRO_SIGN_PASSWORD_FILE:-}")
module=$(absolute "${VELBRO_SIGN_PKCS11_MODULE:-}")
key_uri=${VELBRO_SIGN_PKCS11_KEY:-}
cert=${VELBRO_SIGN_PKCS11_CERT:-}
[[ $cert == pkcs11:* ]] || cert=$(absolute "$cert")
pin_file=$(absolute "${VELBRO_SIGN_PIN_FILE:-}")
trusted_roots=$(absolute "${VELBRO_SIGN_TRUSTED_ROOTS:-}")
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

# The build and osslsigncode run in a process group of their own, which a TERM or INT to
# this script ends too: a build left running would go on writing into the build folder, an
# osslsigncode would go on holding the token and the PIN. The caller's group is not ours.
child=
trap '[ -z "$child" ] || kill -- "-$child" 2>/dev/null; exit 1' TERM INT
run() { # run COMMAND...: returns its exit status
    local status=0
    setsid "$@" &
    child=$!
    wait "$child" || status=$?
    child=
    return "$status"
}

# The first line of a password or PIN file, without a Windows line ending (osslsigncode drops
# the CR itself; openssl would not, and would call a right password wrong). A secret goes from
# here into a pipe only, never into a variable or onto a command line, and with the trace
# off, so that neither `bash -x` nor an exported SHELLOPTS shows it.
secret() {
    local -
    set +x
    head -n 1 "$1" | sed 's/\r$//'
}

refuse_tracked() { # refuse_tracked FILE...
    local f
    for f; do
        if git -C "$root" ls-files --error-unmatch -- "$(realpath "$f")" >/dev/null 2>&1; then
            fail "$f is in the git repository: keep keys, passwords and PINs out of it"
        fi
    done
}

# Reads certificates out of the PKCS#12 file (never its key). Files exported by older Windows
# versions are encrypted with ciphers that OpenSSL 3 only has in its legacy provider.
read_pfx() {
    secret "$password_file" | openssl pkcs12 -in "$pfx" -passin stdin -nokeys "$@" 2>/dev/null ||
        secret "$password_file" | openssl pkcs12 -legacy -in "$pfx" -passin stdin -nokeys "$@" 2>/dev/null
}

# What can be known about the key and the certificate without signing is checked first. Each
# way ends with the signer's certificate in signer.pem and its possible issuers in chain.pem.
check_pfx() {
    [ -n "$password_file" ] ||
        fail "VELBRO_SIGN_PASSWORD_FILE is not set: it must name the file that holds the password of $pfx"
    [ -f "$pfx" ] && [ -r "$pfx" ] ||
        fail "certificate file not found or not readable: $pfx (VELBRO_SIGN_PFX)"
    [ -f "$password_file" ] && [ -r "$password_file" ] ||
        fail "password file not found or not readable: $password_file (VELBRO_SIGN_PASSWORD_FILE)"
    refuse_tracked "$pfx" "$password_file"

    read_pfx -clcerts -out "$work/signer.pem" && read_pfx -cacerts -out "$work/chain.pem" ||
        fail "cannot open $pfx with the password in $password_file: wrong password, or not a PKCS#12 file"
    grep -q 'BEGIN CERTIFICATE' "$work/signer.pem" ||
        fail "$pfx holds no certificate together with its private key"
    check_certificate "$pfx"
}

check_token() {
    local name url token certificates
    for name in VELBRO_SIGN_PKCS11_MODULE VELBRO_SIGN_PKCS11_CERT VELBRO_SIGN_PIN_FILE; do
        [ -n "${!name:-}" ] || fail "$name is not set: signing with a key on a token needs it beside VELBRO_SIGN_PKCS11_KEY"
    done
    [[ $key_uri == pkcs11:* ]] || fail "VELBRO_SIGN_PKCS11_KEY is not a PKCS#11 URI (pkcs11:…): $key_uri"
    [ -f "$pin_file" ] && [ -r "$pin_file" ] ||
        fail "PIN file not found or not readable: $pin_file (VELBRO_SIGN_PIN_FILE)"
    secret "$pin_file" | grep -q . || fail "the PIN file $pin_file is empty: its first line must be the PIN"
    refuse_tracked "$pin_file"
    p11tool --provider "$module" --list-token-urls </dev/null >"$work/tokens" 2>"$work/p11tool.err" ||
        fail "cannot load the PKCS#11 library $module: $(head -n 1 "$work/p11tool.err")"

    if [[ $cert == pkcs11:* ]]; then
        # Certificates are public: p11tool reads them without logging in, so that the test
        # signature below is the only login and a wrong PIN costs the token one try.
        url=$(p11tool --provider "$module" --list-all-certs --only-urls "$cert" </dev/null 2>"$work/p11tool.err" |
            head -n 1) || true
        [ -n "$url" ] ||
            fail "no certificate on the token matches VELBRO_SIGN_PKCS11_CERT: $cert ($(head -n 1 "$work/p11tool.err"))"
        # Every other certificate on its token is a possible issuer. The signature carries them
        # as a set, from which Windows picks each issuer by its key: an intermediate renewed
        # under the same name, or the order the token lists its objects in, does not matter.
        while read -r token; do
            p11tool --provider "$module" --list-all-certs --only-urls "$token" </dev/null >"$work/urls" 2>/dev/null || true
            ! grep -q -x -F "$url" "$work/urls" || break
        done <"$work/tokens"
        { echo "$url"; grep -v -x -F "$url" "$work/urls" || true; } >"$work/certificates"
        while read -r url; do
            p11tool --provider "$module" --export "$url" </dev/null 2>"$work/p11tool.err" ||
                fail "cannot read the certificate $url: $(head -n 1 "$work/p11tool.err")"
        done <"$work/certificates" >"$work/token.pem"
        certificates=$work/token.pem
        issuers_in="the token"
    else
        [ -f "$cert" ] && [ -r "$cert" ] ||
            fail "certificate file not found or not readable: $cert (VELBRO_SIGN_PKCS11_CERT)"
        certificates=$cert
        issuers_in=$cert
    fi
    # The certificate first, then its possible issuers.
    openssl x509 -in "$certificates" -out "$work/signer.pem" 2>/dev/null ||
        fail "$cert holds no certificate (VELBRO_SIGN_PKCS11_CERT)"
    awk 'after; /-----END CERTIFICATE-----/ { after = 1 }' "$certificates" >"$work/chain.pem"
    check_certificate "$cert"
}

# certificates FILE...: a line "subject=…|issuer=…|CA:…" for each certificate in the files,
# the names as RFC 2253 writes them.
certificates() {
    local pem='' line
    while IFS= read -r line || [ -n "$line" ]; do
        pem+=$line$'\n'
        [[ $line == *'-----END CERTIFICATE-----'* ]] || continue
        openssl x509 -noout -subject -issuer -ext basicConstraints -nameopt RFC2253 <<<"$pem" 2>/dev/null |
            grep -o -E '^(subject|issuer)=.*|CA:[A-Z]+' | paste -s -d '|'
        pem=
    done < <(cat -- "$@")
}

# A root is a CA's certificate: any other here is the wrong certificate exported, which the
# failed chain further on would not tell.
check_trusted_roots() {
    certificates "$trusted_roots" 2>/dev/null | grep . >"$work/trusted-roots" ||
        fail "no certificate in $trusted_roots (VELBRO_SIGN_TRUSTED_ROOTS): it must be a readable PEM file with the roots' certificates"
    local not_ca
    not_ca=$(sed -n '/|CA:TRUE/!{s/^subject=//; s/|.*//p; q}' "$work/trusted-roots")
    [ -z "$not_ca" ] ||
        fail "the certificate in $trusted_roots ($not_ca) is not a CA certificate (VELBRO_SIGN_TRUSTED_ROOTS): the file must hold root certificates only"
}

# What Windows requires of the signer's certificate, wherever its key is.
check_certificate() { # check_certificate WHERE
    signer=$(openssl x509 -in "$work/signer.pem" -noout -subject -nameopt RFC2253 | sed 's/^subject=//')
    local not_before not_after now
    not_before=$(openssl x509 -in "$work/signer.pem" -noout -startdate | cut -d= -f2)
    not_after=$(openssl x509 -in "$work/signer.pem" -noout -enddate | cut -d= -f2)
    now=$(date +%s)
    [ "$now" -ge "$(date -d "$not_before" +%s)" ] ||
        fail "the certificate in $1 ($signer) is not valid before $not_before"
    [ "$now" -lt "$(date -d "$not_after" +%s)" ] ||
        fail "the certificate in $1 ($signer) expired on $not_after: sign with a renewed certificate"
    # Windows accepts a signature only from a certificate meant for code signing (or for any use).
    local usage
    usage=$(openssl x509 -in "$work/signer.pem" -noout -ext extendedKeyUsage 2>/dev/null || true)
    if [ -n "$usage" ] && ! grep -q 'Code Signing' <<<"$usage"; then
        fail "the certificate in $1 ($signer) is not a code-signing certificate"
    fi
}

# Why osslsigncode failed, in one line, from what it and the PKCS#11 engine say (the same in
# osslsigncode 2.5 and 2.9); the first pattern found wins. Otherwise its messages, then a line.
signing_failure() {
    local pattern reason
    while IFS='|' read -r pattern reason; do
        if grep -q -F -- "$pattern" "$work/sign.log"; then
            echo "$reason"
            return
        fi
    done <<EOF
PIN incorrect|wrong PIN in $pin_file (VELBRO_SIGN_PIN_FILE)
Multiple matching slots|several tokens match VELBRO_SIGN_PKCS11_KEY: name one with token=… in it (p11tool --provider $module --list-token-urls lists them)
not a valid PKCS#11 URI|VELBRO_SIGN_PKCS11_KEY is not a URI the PKCS#11 engine accepts: it knows only token, manufacturer, model, serial, object, id and type, and % only before two hexadecimal digits (write & ; ? % as %26 %3B %3F %25)
No matching initialized token|no token in $module matches VELBRO_SIGN_PKCS11_KEY (p11tool --provider $module --list-token-urls lists them)
object not found|no private key on the token matches VELBRO_SIGN_PKCS11_KEY: $key_uri
key values mismatch|the key VELBRO_SIGN_PKCS11_KEY and the certificate $cert (VELBRO_SIGN_PKCS11_CERT) are not a pair
timestamping failed|no time stamp from $timestamp_url (VELBRO_SIGN_TIMESTAMP_URL): is the server's address right and reachable?
EOF
    cat "$work/sign.log" >&2
    echo "signing with ${pfx:-$key_uri} failed (see osslsigncode's messages above)"
}

# When the chain cannot be completed: the certificate it stops at, the issuer that one needs,
# and where to put it. A root only needs naming here, since the Windows machines have it; an
# intermediate must travel in the signature for Windows to chain through, so it belongs with
# the key. Past the signer the key's side has shown that it carries intermediates: the one
# missing is most likely the root.
chain_stops() {
    local at needs remedy="name the file that holds it with VELBRO_SIGN_TRUSTED_ROOTS"
    openssl verify -nameopt RFC2253 -CAfile "$work/roots.pem" "$work/signer.pem" >"$work/chain.log" 2>&1 && return
    at=$(grep -B 1 -E '^error (2|20) at ' "$work/chain.log" | head -n 1) || return 0
    needs=$(certificates "$work/signer.pem" "$work/chain.pem" ${trusted_roots:+"$trusted_roots"} |
        grep -m 1 -F "subject=$at|" | sed 's/^.*|issuer=//; s/|.*//') || true
    [ "$at" != "$signer" ] || remedy="$issuers_in must hold it, or, if it is a root, $remedy"
    fail "the chain stops at $at, whose issuer $needs is not known here: $remedy"
}

# sign IN OUT: signs IN with the release's key, certificates and time-stamp server, and
# verifies the result. The chain must end at a root the system trusts, one the key's side
# carries (the PKCS#12 file, the token, the certificate file; a self-signed certificate is
# its own root) or one in VELBRO_SIGN_TRUSTED_ROOTS; the time stamp is checked against the
# same roots.
sign() {
    local args=(sign -h sha256 -n "$title" -in "$1" -out "$2")
    [ -z "$timestamp_url" ] || args+=(-ts "$timestamp_url")
    if [ -n "$pfx" ]; then
        args+=(-pkcs12 "$pfx")
    else
        # The certificate is the one osslsigncode may sign with; the others go in as issuers.
        # OpenSSL finds the PKCS#11 engine itself (naming its path breaks osslsigncode 2.5).
        args+=(-pkcs11module "$module" -key "$key_uri" -certs "$work/signer.pem")
        if grep -q 'BEGIN CERTIFICATE' "$work/chain.pem"; then args+=(-ac "$work/chain.pem"); fi
    fi
    # osslsigncode reads the password or PIN from a file only: a pipe keeps it off the disk.
    run osslsigncode "${args[@]}" -readpass <(secret "$secret_file") >"$work/sign.log" 2>&1 ||
        fail "$(signing_failure)"
    if ! osslsigncode verify -in "$2" -CAfile "$work/roots.pem" -TSA-CAfile "$work/roots.pem" \
        >"$work/verify.log" 2>&1; then
        chain_stops
        grep -i -E 'error|fail' "$work/verify.log" >&2 || cat "$work/verify.log" >&2
        fail "the signature did not verify (see above): does $issuers_in hold the certificate's issuers?"
    fi
}

for name in VELBRO_SIGN_PKCS11_MODULE VELBRO_SIGN_PKCS11_CERT VELBRO_SIGN_PIN_FILE; do
    [ -n "$key_uri" ] || [ -z "${!name:-}" ] ||
        fail "$name is set, but VELBRO_SIGN_PKCS11_KEY is not: name the key on the token with it"
done
# The key's URI goes onto osslsigncode's command line, where every user of the machine sees it.
pin_attribute='[:;?&]pin-(value|source)='
for name in VELBRO_SIGN_PKCS11_KEY VELBRO_SIGN_PKCS11_CERT; do
    [[ ! ${!name:-} =~ $pin_attribute ]] ||
        fail "$name carries a PIN (pin-value or pin-source): take it out and put the PIN in the file named by VELBRO_SIGN_PIN_FILE"
done
[ -z "$trusted_roots" ] || check_trusted_roots
secret_file=
if [ -n "$pfx" ] && [ -n "$key_uri" ]; then
    fail "VELBRO_SIGN_PFX and VELBRO_SIGN_PKCS11_KEY are both set: sign with the .pfx file or with the key on the token, not both"
elif [ -n "$pfx" ]; then
    check_pfx
    issuers_in=$pfx
    secret_file=$password_file
elif [ -n "$key_uri" ]; then
    check_token
    secret_file=$pin_file
fi

# The description is what Windows' elevation prompt shows as the program's name.
title=$(sed -n 's/.*PRODUCT_TITLE = "\(.*\)";.*/\1/p' src/settings/settings.h)
if [ -n "$secret_file" ]; then
    cat "$work/signer.pem" "$work/chain.pem" ${trusted_roots:+"$trusted_roots"} >"$work/roots.pem"
    [ ! -f /etc/ssl/certs/ca-certificates.crt ] || cat /etc/ssl/certs/ca-certificates.crt >>"$work/roots.pem"
    # Whatever would make osslsigncode refuse the release (the PIN, the key, a key and a
    # certificate that are not a pair, missing issuers, the time-stamp server) shows here,
    # on a throwaway program signed the very same way, before the build.
    echo 'int main(void) { return 0; }' | x86_64-w64-mingw32-gcc-posix -x c -s -o "$work/probe.exe" - ||
        fail "cannot compile the throwaway program that the signing is tried on"
    sign "$work/probe.exe" "$work/probe-signed.exe"
fi

if git -C "$root" rev-parse --git-dir >/dev/null 2>&1 && [ -n "$(git -C "$root" status --porcelain)" ]; then
    echo "release: note: the working tree has uncommitted changes; this build matches no commit" >&2
fi

# A fresh cache: no setting of an earlier configuration reaches the release. The build itself
# is incremental (cmake --fresh would also delete the objects); the reproducibility test shows
# that a clean build gives the same bytes.
log=$build/release-build.log
rm -f "$build/CMakeCache.txt"
if ! { run cmake --preset windows -B "$build" -DBUILD_TESTING=OFF &&
    run cmake --build "$build" --target velbro-vpn -j 2; } >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    fail "the build failed (full log: $log)"
fi
cp "$build/$exe" "$work/unsigned.exe"

if [ -z "$secret_file" ]; then
    mv "$work/unsigned.exe" "$work/$exe"
    echo "$exe is unsigned: neither VELBRO_SIGN_PFX nor VELBRO_SIGN_PKCS11_KEY is set"
else
    sign "$work/unsigned.exe" "$work/$exe"
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
