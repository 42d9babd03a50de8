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
#   VELBRO_DIST_DIR            output folder (default dist/)
#   VELBRO_RELEASE_BUILD_DIR   build folder (default build/release)
# On any failure it exits 1 and leaves no velbro-vpn.exe in the output folder: the program is
# signed and verified in a private folder and moved into place last.
set -euo pipefail
# Paths given relative to the caller's folder, before moving to the repository's.
absolute() { [ -z "$1" ] || realpath -m -s -- "$1"; }
pfx=$(absolute "${VELBRO_SIGN_PFX:-}")
password_file=$(absolute "${VELBRO_SIGN_PASSWORD_FILE:-}")
module=$(absolute "${VELBRO_SIGN_PKCS11_MODULE:-}")
key_uri=${VELBRO_SIGN_PKCS11_KEY:-}
cert=${VELBRO_SIGN_PKCS11_CERT:-}
[[ $cert == pkcs11:* ]] || cert=$(absolute "$cert")
pin_file=$(absolute "${VELBRO_SIGN_PIN_FILE:-}")
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

# The first line of a password or PIN file, without a Windows line ending. osslsigncode drops
# the CR itself; openssl and pkcs11-tool would not, and would call a right password wrong.
first_line() { head -n 1 "$1" | sed 's/\r$//'; }

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
    first_line "$password_file" | openssl pkcs12 -in "$pfx" -passin stdin -nokeys "$@" 2>/dev/null ||
        first_line "$password_file" | openssl pkcs12 -legacy -in "$pfx" -passin stdin -nokeys "$@" 2>/dev/null
}

# Everything that can be known about the key and the certificate is checked before the build,
# so that a wrong setting costs seconds, not a build. Each way ends with the signer's
# certificate in signer.pem and its issuers in chain.pem.
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

# uri_value URI NAME: the value of the URI's attribute NAME, percent-decoded; fails when the
# URI has no such attribute.
uri_value() {
    local part value
    local -a parts
    IFS=';?&' read -r -a parts <<<"${1#pkcs11:}"
    for part in "${parts[@]}"; do
        if [[ $part == "$2="* ]]; then
            value=${part#*=}
            value=${value//\\/\\\\}
            printf '%b' "${value//%/\\x}"
            return 0
        fi
    done
    return 1
}

# uri_allows URI NAME VALUE: the URI names no attribute NAME, or names this value. An ID is
# compared in the hexadecimal that pkcs11-tool prints.
uri_allows() {
    local wanted
    uri_value "$1" "$2" >/dev/null || return 0
    if [ "$2" = id ]; then
        wanted=$(uri_value "$1" id | od -A n -v -t x1 | tr -d ' \n')
    else
        wanted=$(uri_value "$1" "$2")
    fi
    [ "$wanted" = "$3" ]
}

# The slot of the first token that has every token attribute the URI names, from the lines
# "slot, label, manufacturer, model, serial" of the token list.
token_slot() { # token_slot URI
    local slot label manufacturer model serial
    while IFS=$'\t' read -r slot label manufacturer model serial; do
        if uri_allows "$1" token "$label" && uri_allows "$1" manufacturer "$manufacturer" &&
            uri_allows "$1" model "$model" && uri_allows "$1" serial "$serial"; then
            echo "$slot"
            return 0
        fi
    done <"$work/tokens"
    return 1
}

# pkcs11-tool logged in to the token in SLOT. The PIN reaches it through its environment,
# which only this account can read, never through its command line; pkcs11-tool reads no PIN
# from standard input unless that is a terminal.
on_token() { # on_token SLOT pkcs11-tool-arguments...
    local slot=$1
    shift
    VELBRO_TOKEN_PIN=$(first_line "$pin_file") pkcs11-tool --module "$module" --slot "$slot" \
        --login --pin env:VELBRO_TOKEN_PIN "$@" </dev/null 2>"$work/pkcs11.err"
}
pkcs11_error() { grep -v '^Aborting' "$work/pkcs11.err" | head -n 1 | sed 's/^error: //'; }

# Lists the objects on the token in SLOT into DIR/objects ("kind, label, ID" a line) and, when
# the certificate is to come from a token, reads every certificate among them into DIR/N.pem,
# N its line. The first login, where a wrong PIN shows: nothing logs in again after it failed,
# so a token is not locked by retries.
read_token() { # read_token SLOT DIR
    local label n=0 kind object_label id
    [ ! -d "$2" ] || return 0
    label=$(awk -F '\t' -v slot="$1" '$1 == slot { print $2 }' "$work/tokens")
    mkdir "$2"
    if ! on_token "$1" --list-objects >"$2/listing"; then
        grep -q CKR_PIN_INCORRECT "$work/pkcs11.err" && fail "wrong PIN in $pin_file for the token \"$label\""
        fail "cannot log in to the token \"$label\": $(pkcs11_error)"
    fi
    # Each object starts with an unindented line ("Private Key Object; RSA", "Certificate
    # Object; type = X.509 cert"), its attributes follow indented ("  label:      NAME").
    awk 'function flush() { if (kind != "") print kind "\t" label "\t" id }
        /^[^ ]/ { flush(); kind = $0; sub(/;.*/, "", kind); label = id = ""; next }
        /^  label: / { label = $0; sub(/^  label: +/, "", label) }
        /^  ID: / { id = $0; sub(/^  ID: +/, "", id) }
        END { flush() }' "$2/listing" >"$2/objects"
    while IFS=$'\t' read -r kind object_label id; do
        n=$((n + 1))
        [[ $cert == pkcs11:* ]] && [ "$kind" = "Certificate Object" ] && [ -n "$object_label$id" ] || continue
        on_token "$1" --read-object --type cert ${id:+--id "$id"} ${object_label:+--label "$object_label"} \
            --output-file "$2/$n.der" >/dev/null && openssl x509 -inform DER -in "$2/$n.der" -out "$2/$n.pem" ||
            fail "cannot read the certificate \"$object_label\" on the token \"$label\": $(pkcs11_error)"
    done <"$2/objects"
}

# The first object of a kind in DIR/objects that has every object attribute the URI names.
find_object() { # find_object URI KIND TYPE DIR: prints its line
    local n=0 kind label id
    while IFS=$'\t' read -r kind label id; do
        n=$((n + 1))
        if [ "$kind" = "$2" ] && uri_allows "$1" type "$3" && uri_allows "$1" object "$label" &&
            uri_allows "$1" id "$id"; then
            echo "$n"
            return 0
        fi
    done <"$4/objects"
    return 1
}

# Those of the token's certificates that issued the signer's, nearest first: a token from a
# certificate authority usually carries its intermediate certificate, and signatures need it.
chain_from_token() { # chain_from_token DIR
    local current=$work/signer.pem subject issuer candidate next
    : >"$work/chain.pem"
    for _ in 1 2 3 4 5 6 7 8; do
        { read -r subject && read -r issuer; } < <(openssl x509 -in "$current" -noout -subject_hash -issuer_hash)
        [ "$subject" != "$issuer" ] || return 0
        next=
        for candidate in "$1"/*.pem; do
            [ -e "$candidate" ] || return 0
            [ "$(openssl x509 -in "$candidate" -noout -subject_hash)" != "$issuer" ] || next=$candidate
        done
        [ -n "$next" ] || return 0
        cat "$next" >>"$work/chain.pem"
        current=$next
    done
}

check_token() {
    local name slot line
    for name in VELBRO_SIGN_PKCS11_MODULE VELBRO_SIGN_PKCS11_CERT VELBRO_SIGN_PIN_FILE; do
        [ -n "${!name:-}" ] || fail "$name is not set: signing with a key on a token needs it beside VELBRO_SIGN_PKCS11_KEY"
    done
    # The script passes the key's URI on to osslsigncode: a PIN in it would be on a command line.
    for name in VELBRO_SIGN_PKCS11_KEY VELBRO_SIGN_PKCS11_CERT; do
        if { uri_value "${!name}" pin-value || uri_value "${!name}" pin-source; } >/dev/null; then
            fail "$name carries a PIN (pin-value or pin-source): take it out and put the PIN in the file named by VELBRO_SIGN_PIN_FILE"
        fi
    done
    [[ $key_uri == pkcs11:* ]] || fail "VELBRO_SIGN_PKCS11_KEY is not a PKCS#11 URI (pkcs11:…): $key_uri"
    [ -f "$module" ] && [ -r "$module" ] ||
        fail "PKCS#11 library not found or not readable: $module (VELBRO_SIGN_PKCS11_MODULE)"
    [ -f "$pin_file" ] && [ -r "$pin_file" ] ||
        fail "PIN file not found or not readable: $pin_file (VELBRO_SIGN_PIN_FILE)"
    [ -n "$(first_line "$pin_file")" ] || fail "the PIN file $pin_file is empty: its first line must be the PIN"
    refuse_tracked "$pin_file"
    if [[ $cert != pkcs11:* ]] && ! { [ -f "$cert" ] && [ -r "$cert" ]; }; then
        fail "certificate file not found or not readable: $cert (VELBRO_SIGN_PKCS11_CERT)"
    fi

    pkcs11-tool --module "$module" --list-slots </dev/null >"$work/slots" 2>"$work/pkcs11.err" ||
        fail "cannot load the PKCS#11 library $module: $(pkcs11_error)"
    # Each slot starts with "Slot N (0xID): …"; a slot with a token lists "  token label        : NAME"
    # and the token's other attributes the same way.
    awk 'function flush() { if (label != "") print slot "\t" label "\t" manufacturer "\t" model "\t" serial }
        /^Slot / { flush(); slot = $3; gsub(/[():]/, "", slot); label = manufacturer = model = serial = ""; next }
        { value = $0; sub(/^[^:]*: /, "", value) }
        /^  token label /        { label = value }
        /^  token manufacturer / { manufacturer = value }
        /^  token model /        { model = value }
        /^  serial num /         { serial = value }
        END { flush() }' "$work/slots" >"$work/tokens"
    local found
    found=$(cut -f 2 "$work/tokens" | sed 's/.*/"&"/' | paste -s -d ' ')
    slot=$(token_slot "$key_uri") ||
        fail "no token in $module matches VELBRO_SIGN_PKCS11_KEY (tokens found: ${found:-none})"
    read_token "$slot" "$work/token-$slot"
    find_object "$key_uri" "Private Key Object" private "$work/token-$slot" >/dev/null ||
        fail "no private key on the token matches VELBRO_SIGN_PKCS11_KEY: $key_uri"

    if [[ $cert == pkcs11:* ]]; then
        slot=$(token_slot "$cert") ||
            fail "no token in $module matches VELBRO_SIGN_PKCS11_CERT (tokens found: ${found:-none})"
        read_token "$slot" "$work/token-$slot"
        line=$(find_object "$cert" "Certificate Object" cert "$work/token-$slot") && [ -f "$work/token-$slot/$line.pem" ] ||
            fail "no certificate on the token matches VELBRO_SIGN_PKCS11_CERT: $cert"
        cp "$work/token-$slot/$line.pem" "$work/signer.pem"
        chain_from_token "$work/token-$slot"
        issuers_in="the token"
    else
        issuers_in=$cert
        openssl x509 -in "$cert" -out "$work/signer.pem" 2>/dev/null ||
            fail "$cert holds no certificate (VELBRO_SIGN_PKCS11_CERT)"
        # Everything after the first certificate: its issuers.
        awk 'after; /-----END CERTIFICATE-----/ { after = 1 }' "$cert" >"$work/chain.pem"
    fi
    cat "$work/signer.pem" "$work/chain.pem" >"$work/certs.pem"
    check_certificate "$cert"
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

for name in VELBRO_SIGN_PKCS11_MODULE VELBRO_SIGN_PKCS11_CERT VELBRO_SIGN_PIN_FILE; do
    [ -n "$key_uri" ] || [ -z "${!name:-}" ] ||
        fail "$name is set, but VELBRO_SIGN_PKCS11_KEY is not: name the key on the token with it"
done
if [ -n "$pfx" ] && [ -n "$key_uri" ]; then
    fail "VELBRO_SIGN_PFX and VELBRO_SIGN_PKCS11_KEY are both set: sign with the .pfx file or with the key on the token, not both"
elif [ -n "$pfx" ]; then
    check_pfx
    issuers_in=$pfx
elif [ -n "$key_uri" ]; then
    check_token
fi

if git -C "$root" rev-parse --git-dir >/dev/null 2>&1 && [ -n "$(git -C "$root" status --porcelain)" ]; then
    echo "release: note: the working tree has uncommitted changes; this build matches no commit" >&2
fi

# A fresh cache: no setting of an earlier configuration reaches the release. The build itself
# is incremental (cmake --fresh would also delete the objects); the reproducibility test shows
# that a clean build gives the same bytes.
log=$build/release-build.log
rm -f "$build/CMakeCache.txt"
if ! { cmake --preset windows -B "$build" -DBUILD_TESTING=OFF &&
    cmake --build "$build" --target velbro-vpn -j 2; } >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    fail "the build failed (full log: $log)"
fi
cp "$build/$exe" "$work/unsigned.exe"

if [ -z "$pfx" ] && [ -z "$key_uri" ]; then
    mv "$work/unsigned.exe" "$work/$exe"
    echo "$exe is unsigned: neither VELBRO_SIGN_PFX nor VELBRO_SIGN_PKCS11_KEY is set"
else
    # The description is what Windows' elevation prompt shows as the program's name.
    title=$(sed -n 's/.*PRODUCT_TITLE = "\(.*\)";.*/\1/p' src/settings/settings.h)
    args=(sign -h sha256 -n "$title" -in "$work/unsigned.exe" -out "$work/$exe")
    [ -z "$timestamp_url" ] || args+=(-ts "$timestamp_url")
    if [ -n "$pfx" ]; then
        signed_with=$pfx
        osslsigncode "${args[@]}" -pkcs12 "$pfx" -readpass "$password_file" >"$work/sign.log" 2>&1 </dev/null
    else
        # osslsigncode reads the PIN from a file only: a pipe keeps it off the disk. OpenSSL
        # finds the PKCS#11 engine itself (naming its path breaks osslsigncode 2.5).
        signed_with=$key_uri
        first_line "$pin_file" | osslsigncode "${args[@]}" -pkcs11module "$module" -key "$key_uri" \
            -certs "$work/certs.pem" -readpass /dev/stdin >"$work/sign.log" 2>&1
    fi || {
        cat "$work/sign.log" >&2
        fail "signing with $signed_with failed (see osslsigncode's messages above)"
    }
    # The chain must end at a root the system trusts, or at one the key's side carries (the
    # PKCS#12 file, the token, the certificate file); the time stamp is checked against the
    # same roots.
    cat "$work/chain.pem" >"$work/roots.pem"
    [ ! -f /etc/ssl/certs/ca-certificates.crt ] || cat /etc/ssl/certs/ca-certificates.crt >>"$work/roots.pem"
    if ! osslsigncode verify -in "$work/$exe" -CAfile "$work/roots.pem" -TSA-CAfile "$work/roots.pem" \
        >"$work/verify.log" 2>&1; then
        grep -i -E 'error|fail' "$work/verify.log" >&2 || cat "$work/verify.log" >&2
        fail "the signed program did not verify (see above): does $issuers_in hold the certificate's issuers?"
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
