#!/bin/bash
# scripts/release.sh with a throwaway test certificate, its key in a PKCS#12 file or on a
# software token: signed programs that osslsigncode and (under Wine) the Windows trust provider
# accept, a time stamp from a local test authority, an unsigned program without a key, for
# every broken setting a clear message, exit 1, no program left in the output folder and no
# build started, and the token's PIN on no command line and in no output, traced or not.
# Usage: signing_test.sh SOURCE_DIR TRUST_TOOL.exe WINE_PREFIX
set -euo pipefail
src=$(cd "$1" && pwd)
tool=$2
prefix=$3
tmp=$(mktemp -d)
tsa_pid=
cleanup() {
    [ -z "$tsa_pid" ] || kill "$tsa_pid" 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT

failures=0
check() { # check WHAT EXPECTED FOUND
    if [ "$2" != "$3" ]; then
        echo "FAIL: $1: expected '$2', found '$3'"
        failures=$((failures + 1))
    fi
}

# --- A test root, code-signing certificates issued by it, and a time-stamp authority --------
certs=$tmp/certs
mkdir -p "$certs/issued"
: >"$certs/index.txt"
cat >"$certs/ca.cnf" <<EOF
[ca]
default_ca = test_ca
[test_ca]
database = $certs/index.txt
new_certs_dir = $certs/issued
rand_serial = yes
default_md = sha256
policy = any_name
unique_subject = no
[any_name]
commonName = supplied
[issuing_ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
[code_signing]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
[time_stamping]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
[tsa]
default_tsa = test_tsa
[test_tsa]
serial = $certs/tsa-serial
signer_digest = sha256
default_policy = 1.3.6.1.4.1.55555.1
digests = sha256, sha1
ess_cert_id_alg = sha256
EOF
echo 01 >"$certs/tsa-serial"
self_signed() { # self_signed NAME "CN" EXTENSION...
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$certs/$1.key" -out "$certs/$1.pem" -days 3 \
        -subj "/CN=$2" "${@:3}" 2>/dev/null
}
self_signed root "Velbro Release Test Root" -addext "keyUsage=critical,keyCertSign,cRLSign"
self_signed self-signed "Velbro Release Test Signer" -addext "extendedKeyUsage=codeSigning"
issue() { # issue NAME "CN" EXTENSIONS ISSUER openssl-ca-date-options...
    local name=$1 cn=$2 extensions=$3 issuer=$4
    shift 4
    openssl req -newkey rsa:2048 -nodes -keyout "$certs/$name.key" -out "$certs/$name.csr" \
        -subj "/CN=$cn" 2>/dev/null
    openssl ca -batch -notext -config "$certs/ca.cnf" -cert "$certs/$issuer.pem" \
        -keyfile "$certs/$issuer.key" -extensions "$extensions" -in "$certs/$name.csr" \
        -out "$certs/$name.pem" "$@" 2>/dev/null
}
# The signer's issuing CA was renewed with a new key under the same name; its old certificate
# is still about, on the token and in the certificate file.
issue old-intermediate "Velbro Release Test Intermediate" issuing_ca root -days 3
issue intermediate "Velbro Release Test Intermediate" issuing_ca root -days 3
issue signer "Velbro Release Test Signer" code_signing intermediate -days 2
issue expired "Velbro Release Test Signer" code_signing root -startdate 20200101000000Z -enddate 20200201000000Z
issue tsa "Velbro Release Test Time Stamps" time_stamping root -days 2
cat "$certs/root.pem" "$certs/self-signed.pem" >"$certs/roots.pem"
cat "$certs/root.pem" "$certs/signer.pem" >"$certs/root-and-signer.pem"

# The password file's first line ends in CR LF, as one written on Windows does; the second
# line is not part of the password.
printf 'correct horse battery\r\nnot the password\n' >"$certs/password.txt"
printf 'wrong horse battery\n' >"$certs/wrong-password.txt"
pfx() { # pfx NAME CERT [CHAIN]: the certificate and its key, with the chain when given
    echo "correct horse battery" | openssl pkcs12 -export -inkey "$certs/$2.key" -in "$certs/$2.pem" \
        ${3:+-certfile "$3"} -passout stdin -out "$certs/$1.pfx"
}
cat "$certs/intermediate.pem" "$certs/root.pem" >"$certs/issuers.pem"
pfx signer signer "$certs/issuers.pem"
pfx expired expired "$certs/root.pem"
pfx no-chain signer
# The usual export from an organisation's own CA: the intermediate, not the root.
pfx no-root signer "$certs/intermediate.pem"
pfx self-signed self-signed
cat "$certs/signer.pem" "$certs/old-intermediate.pem" "$certs/issuers.pem" >"$certs/signer-chain.pem"

# A software token in a folder of its own holds the signer's key, its certificate, both
# intermediates and the root, and a certificate that is not for code signing (SoftHSM lists
# them in an order of its own); a second token holds nothing.
export SOFTHSM2_CONF=$tmp/softhsm2.conf
mkdir "$tmp/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$tmp/tokens" >"$SOFTHSM2_CONF"
module=/usr/lib/softhsm/libsofthsm2.so
pin=31415926
softhsm2-util --init-token --free --label "Velbro Release" --so-pin 27182818 --pin "$pin" >/dev/null
openssl pkcs8 -topk8 -nocrypt -in "$certs/signer.key" -out "$certs/signer.p8"
softhsm2-util --import "$certs/signer.p8" --token "Velbro Release" --label signer --id 01 --pin "$pin" >/dev/null
for object in "signer 01" "tsa 02" "root 03" "old-intermediate 04" "intermediate 05"; do
    read -r name id <<<"$object"
    openssl x509 -in "$certs/$name.pem" -outform DER -out "$certs/$name.der"
    PIN=$pin pkcs11-tool --module "$module" --token-label "Velbro Release" --login --pin env:PIN \
        --write-object "$certs/$name.der" --type cert --id "$id" --label "$name" >/dev/null
done
softhsm2-util --init-token --free --label "Velbro Spare" --so-pin 27182818 --pin "$pin" >/dev/null
# The PIN file's first line is the PIN, and it ends in CR LF.
printf '%s\r\nnot the PIN\n' "$pin" >"$certs/pin.txt"
printf '27182818\n' >"$certs/wrong-pin.txt"
# The settings of a release signed on the token; a case changes one of them by naming it again.
key="pkcs11:token=Velbro%20Release;object=signer;type=private"
on_token=(VELBRO_SIGN_PKCS11_MODULE="$module" VELBRO_SIGN_PKCS11_KEY="$key" VELBRO_SIGN_PIN_FILE="$certs/pin.txt"
    VELBRO_SIGN_PKCS11_CERT="pkcs11:token=Velbro%20Release;id=%01;type=cert")
token=${on_token[*]}

# A time-stamp authority on a free local port: answers each RFC 3161 query with openssl ts.
cat >"$tmp/tsa.py" <<'EOF'
import http.server, subprocess, sys
certs = sys.argv[1]
class Tsa(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(
            ["openssl", "ts", "-reply", "-config", certs + "/ca.cnf", "-queryfile", "/dev/stdin",
             "-signer", certs + "/tsa.pem", "-inkey", certs + "/tsa.key", "-chain", certs + "/root.pem"],
            input=query, capture_output=True).stdout
        self.send_response(200 if reply else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)
server = http.server.HTTPServer(("127.0.0.1", 0), Tsa)
print(server.server_port, flush=True)
server.serve_forever()
EOF
python3 "$tmp/tsa.py" "$certs" >"$tmp/tsa.port" 2>"$tmp/tsa.log" &
tsa_pid=$!
for _ in $(seq 50); do [ -s "$tmp/tsa.port" ] && break; sleep 0.1; done
tsa_url=http://127.0.0.1:$(cat "$tmp/tsa.port")/

# --- release.sh runs ---------------------------------------------------------------------------
# Every program that release.sh names runs through a wrapper that records its command line and
# environment, so that the test can tell where the PIN went.
mkdir "$tmp/wrappers"
: >"$tmp/command-lines"
for program in $(grep -o -E '\b[a-z][a-z0-9_+-]*\b' "$src/scripts/release.sh" | sort -u); do
    real=$(type -P "$program") || continue
    cat >"$tmp/wrappers/$program" <<EOF
#!/bin/sh
echo "$program \$*" >>"$tmp/command-lines"
$(type -P env) | $(type -P sed) 's/^/$program /' >>"$tmp/environments"
exec "$real" "\$@"
EOF
    chmod +x "$tmp/wrappers/$program"
done

# release NAME [VAR=value...]: runs the release with only the given settings into an output
# folder of its own, in which a program of an "earlier run" waits. Leaves NAME/{out,err,dist}.
release() {
    local name=$1
    shift
    mkdir -p "$tmp/$name/dist"
    echo "earlier run" >"$tmp/$name/dist/velbro-vpn.exe"
    env -u VELBRO_SIGN_PFX -u VELBRO_SIGN_PASSWORD_FILE -u VELBRO_SIGN_TIMESTAMP_URL \
        -u VELBRO_SIGN_PKCS11_MODULE -u VELBRO_SIGN_PKCS11_KEY -u VELBRO_SIGN_PKCS11_CERT \
        -u VELBRO_SIGN_PIN_FILE -u VELBRO_SIGN_TRUSTED_ROOTS PATH="$tmp/wrappers:$PATH" \
        VELBRO_DIST_DIR="$tmp/$name/dist" VELBRO_RELEASE_BUILD_DIR="$tmp/build" "$@" \
        "$src/scripts/release.sh" >"$tmp/$name/out" 2>"$tmp/$name/err"
}

# Broken settings: name | settings | part of the message. Each is found before the build.
pfx_with() { echo "VELBRO_SIGN_PFX=$certs/$1 VELBRO_SIGN_PASSWORD_FILE=$certs/$2"; }
failing_cases=(
    "wrong-password|$(pfx_with signer.pfx wrong-password.txt)|wrong password"
    "missing-certificate|$(pfx_with none.pfx password.txt)|certificate file not found or not readable: $certs/none.pfx"
    "missing-password-file|$(pfx_with signer.pfx none.txt)|password file not found or not readable: $certs/none.txt"
    "expired-certificate|$(pfx_with expired.pfx password.txt)|(CN=Velbro Release Test Signer) expired on Feb  1 00:00:00 2020 GMT"
    "issuer-missing|$(pfx_with no-chain.pfx password.txt)|the chain stops at CN=Velbro Release Test Signer, whose issuer CN=Velbro Release Test Intermediate is not known here: $certs/no-chain.pfx must hold it, or, if it is a root, name the file that holds it with VELBRO_SIGN_TRUSTED_ROOTS"
    "root-missing|$(pfx_with no-root.pfx password.txt)|the chain stops at CN=Velbro Release Test Intermediate, whose issuer CN=Velbro Release Test Root is not known here: name the file that holds it with VELBRO_SIGN_TRUSTED_ROOTS"
    "roots-without-certificate|$(pfx_with no-root.pfx password.txt) VELBRO_SIGN_TRUSTED_ROOTS=$certs/root.key|no certificate in $certs/root.key (VELBRO_SIGN_TRUSTED_ROOTS)"
    "root-not-a-ca|$(pfx_with no-root.pfx password.txt) VELBRO_SIGN_TRUSTED_ROOTS=$certs/root-and-signer.pem|the certificate in $certs/root-and-signer.pem (CN=Velbro Release Test Signer) is not a CA certificate (VELBRO_SIGN_TRUSTED_ROOTS)"
    "no-time-stamp|$(pfx_with signer.pfx password.txt) VELBRO_SIGN_TIMESTAMP_URL=http://127.0.0.1:1/|no time stamp from http://127.0.0.1:1/ (VELBRO_SIGN_TIMESTAMP_URL)"
    "wrong-pin|$token VELBRO_SIGN_PIN_FILE=$certs/wrong-pin.txt|wrong PIN in $certs/wrong-pin.txt (VELBRO_SIGN_PIN_FILE)"
    "not-a-pair|$token VELBRO_SIGN_PKCS11_CERT=$certs/self-signed.pem|the key VELBRO_SIGN_PKCS11_KEY and the certificate $certs/self-signed.pem (VELBRO_SIGN_PKCS11_CERT) are not a pair"
    "several-tokens|$token VELBRO_SIGN_PKCS11_KEY=pkcs11:object=signer;type=private|several tokens match VELBRO_SIGN_PKCS11_KEY: name one with token="
    "unknown-attribute|$token VELBRO_SIGN_PKCS11_KEY=$key;slot-id=1|VELBRO_SIGN_PKCS11_KEY is not a URI the PKCS#11 engine accepts"
    "broken-escape|$token VELBRO_SIGN_PKCS11_KEY=${key/signer/sig%zzner}|VELBRO_SIGN_PKCS11_KEY is not a URI the PKCS#11 engine accepts"
    "no-key-there|$token VELBRO_SIGN_PKCS11_KEY=${key/signer/nobody}|no private key on the token matches VELBRO_SIGN_PKCS11_KEY"
    "not-for-code-signing|$token VELBRO_SIGN_PKCS11_CERT=pkcs11:object=tsa|(CN=Velbro Release Test Time Stamps) is not a code-signing certificate"
    "no-certificate-there|$token VELBRO_SIGN_PKCS11_CERT=pkcs11:id=%07|no certificate on the token matches VELBRO_SIGN_PKCS11_CERT"
    "no-token-there|$token VELBRO_SIGN_PKCS11_KEY=pkcs11:token=Other;object=signer|no token in $module matches VELBRO_SIGN_PKCS11_KEY"
    "not-a-library|$token VELBRO_SIGN_PKCS11_MODULE=$certs/root.pem|cannot load the PKCS#11 library $certs/root.pem"
    "pin-in-uri|$token VELBRO_SIGN_PKCS11_KEY=$key;pin-value=$pin|VELBRO_SIGN_PKCS11_KEY carries a PIN (pin-value or pin-source): take it out and put the PIN in the file named by VELBRO_SIGN_PIN_FILE"
    "pfx-and-token|$token $(pfx_with signer.pfx password.txt)|VELBRO_SIGN_PFX and VELBRO_SIGN_PKCS11_KEY are both set"
    "token-without-key|VELBRO_SIGN_PKCS11_MODULE=$module|VELBRO_SIGN_PKCS11_MODULE is set, but VELBRO_SIGN_PKCS11_KEY is not"
)
for case in "${failing_cases[@]}"; do
    IFS='|' read -r name settings message <<<"$case"
    read -r -a settings <<<"$settings"
    status=0
    builds=$(grep -c '^cmake ' "$tmp/command-lines" || true)
    release "$name" "${settings[@]}" || status=$?
    check "$name: exit status" 1 "$status"
    check "$name: builds started" 0 "$(($(grep -c '^cmake ' "$tmp/command-lines") - builds))"
    grep -q -F "release: " "$tmp/$name/err" && grep -q -F -- "$message" "$tmp/$name/err" ||
        check "$name: message" "release: ...$message..." "$(cat "$tmp/$name/err")"
    check "$name: files left in the output folder" "" "$(ls -A "$tmp/$name/dist")"
done

# signed NAME [VAR=value...]: a release that must end with a program signed by the test signer.
signed() {
    local name=$1 status=0
    shift
    release "$name" "$@" || status=$?
    check "$name: exit status" 0 "$status"
    check "$name: files in the output folder" "velbro-vpn.exe velbro-vpn.exe.sha256" \
        "$(ls -A "$tmp/$name/dist" | xargs)"
    check "$name: first line" "velbro-vpn.exe is signed by CN=Velbro Release Test Signer" \
        "$(head -n 1 "$tmp/$name/out")"
    check "$name: checksum file" "velbro-vpn.exe: OK" "$(cd "$tmp/$name/dist" && sha256sum -c velbro-vpn.exe.sha256 2>&1)"
    osslsigncode verify -in "$tmp/$name/dist/velbro-vpn.exe" -CAfile "$certs/roots.pem" \
        -TSA-CAfile "$certs/root.pem" >"$tmp/$name/verify" 2>&1 ||
        check "$name: osslsigncode verify" "success" "$(cat "$tmp/$name/verify")"
}
signed signed VELBRO_SIGN_PFX="$certs/signer.pfx" VELBRO_SIGN_PASSWORD_FILE="$certs/password.txt" \
    VELBRO_SIGN_TIMESTAMP_URL="$tsa_url"
# Traced as `bash -x` would, and in every bash it starts: the PIN checks below cover the trace.
signed token "${on_token[@]}" VELBRO_SIGN_TIMESTAMP_URL="$tsa_url" SHELLOPTS=xtrace
# The root that the Windows machines trust, named because no one here has it.
signed trusted-roots VELBRO_SIGN_PFX="$certs/no-root.pfx" VELBRO_SIGN_PASSWORD_FILE="$certs/password.txt" \
    VELBRO_SIGN_TRUSTED_ROOTS="$certs/root.pem"
signed self-signed VELBRO_SIGN_PFX="$certs/self-signed.pfx" VELBRO_SIGN_PASSWORD_FILE="$certs/password.txt"
signed token-certificate-file "${on_token[@]}" VELBRO_SIGN_PKCS11_CERT="$certs/signer-chain.pem"
# The stale intermediate too: the token's certificates reach the signature as a set, so that
# the order the token lists them in cannot pick the wrong one of two with the same name.
osslsigncode extract-signature -pem -in "$tmp/token/dist/velbro-vpn.exe" -out "$tmp/token/signature.pem" >/dev/null || true
check "token: intermediates in the signature" 2 \
    "$(openssl pkcs7 -in "$tmp/token/signature.pem" -print_certs -noout | grep -c '^subject=CN = Velbro Release Test Intermediate$')"
for name in signed token; do
    check "$name: time stamp" "Timestamp Server Signature verification: ok" \
        "$(grep -o 'Timestamp Server Signature verification: .*' "$tmp/$name/verify")"
done

# The PIN reaches osslsigncode through a pipe only; p11tool reads the certificates without
# it: no command line, no program's environment, no output shows it (the environments hold
# the settings the test gave, one of them a URI with the PIN in it).
check "PIN: programs that reached the token through a wrapper" "osslsigncode p11tool" \
    "$(cut -d ' ' -f 1 "$tmp/command-lines" | grep -x -E 'osslsigncode|p11tool' | sort -u | xargs)"
check "PIN: command lines and outputs that show it" "" \
    "$(grep -l -F -e "$pin" "$tmp/command-lines" "$tmp"/*/out "$tmp"/*/err)"
check "PIN: programs whose environment holds it" "" \
    "$(grep -F -e "$pin" "$tmp/environments" | grep -v '^[^ ]* VELBRO_SIGN_' | cut -d ' ' -f 1 | sort -u | xargs)"

status=0
release unsigned || status=$?
unsigned=$tmp/unsigned/dist/velbro-vpn.exe
check "unsigned: exit status" 0 "$status"
check "unsigned: lines saying so" "velbro-vpn.exe is unsigned: neither VELBRO_SIGN_PFX nor VELBRO_SIGN_PKCS11_KEY is set" \
    "$(grep 'is unsigned' "$tmp/unsigned/out")"
check "unsigned: checksum file" "velbro-vpn.exe: OK" "$(cd "$tmp/unsigned/dist" && sha256sum -c velbro-vpn.exe.sha256 2>&1)"
check "unsigned: signature that osslsigncode accepts" "none" \
    "$(osslsigncode verify -in "$unsigned" >/dev/null 2>&1 && echo "one" || echo "none")"

# --- The Windows trust provider, under Wine, with the test root trusted in its own prefix ----
if [ -f "$tmp/signed/dist/velbro-vpn.exe" ] && [ -f "$tmp/token/dist/velbro-vpn.exe" ] && [ -f "$unsigned" ]; then
    win() { printf 'Z:%s' "${1//\//\\}"; }
    wine_tool() { timeout 120 "$src/cmake/wine-run.sh" "$prefix" "$tool" "$@" | tr -d '\r'; }
    # A new prefix for every run: roots trusted by earlier runs must not be trusted here.
    WINEPREFIX=$prefix /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
    rm -rf "$prefix"
    openssl x509 -in "$certs/root.pem" -outform DER -out "$certs/root.der"
    wine_tool trust-root "$(win "$certs/root.der")"

    for name in signed token; do
        # One byte in the middle of the code: the signature itself is untouched, the hash is not.
        program=$tmp/$name/dist/velbro-vpn.exe
        tampered=$tmp/$name/tampered.exe
        cp "$program" "$tampered"
        read -r size offset < <(x86_64-w64-mingw32-objdump -h "$tampered" | awk '$2 == ".text" { print $3, $6 }')
        at=$((0x$offset + 0x$size / 2))
        byte=$(od -A n -t u1 -j "$at" -N 1 "$tampered" | tr -d ' ')
        printf "\\x$(printf %02x $((byte ^ 0xff)))" | dd of="$tampered" bs=1 seek="$at" conv=notrunc status=none

        check "trust: $name program" "status=0x00000000 signer=Velbro Release Test Signer" \
            "$(wine_tool verify "$(win "$program")")"
        check "trust: $name program with one changed byte of code" "status=0x80096010" \
            "$(wine_tool verify "$(win "$tampered")" | cut -d' ' -f1)"
    done
    check "trust: unsigned program" "status=0x800B0100" \
        "$(wine_tool verify "$(win "$unsigned")" | cut -d' ' -f1)"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "PASS: signed with a .pfx file and on a token, time-stamped, trusted; unsigned; broken settings refused before the build; PIN kept private"
