#!/bin/bash
# scripts/release.sh with a throwaway test certificate: a signed program that osslsigncode and
# (under Wine) the Windows trust provider accept, a time stamp from a local test authority, an
# unsigned program without a certificate, and for every broken setting a clear message, a
# non-zero exit and no program left in the output folder.
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
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$certs/root.key" -out "$certs/root.pem" -days 3 \
    -subj "/CN=Velbro Release Test Root" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
issue() { # issue NAME "CN" EXTENSIONS openssl-ca-date-options...
    local name=$1 cn=$2 extensions=$3
    shift 3
    openssl req -newkey rsa:2048 -nodes -keyout "$certs/$name.key" -out "$certs/$name.csr" \
        -subj "/CN=$cn" 2>/dev/null
    openssl ca -batch -notext -config "$certs/ca.cnf" -cert "$certs/root.pem" \
        -keyfile "$certs/root.key" -extensions "$extensions" -in "$certs/$name.csr" \
        -out "$certs/$name.pem" "$@" 2>/dev/null
}
issue signer "Velbro Release Test Signer" code_signing -days 2
issue expired "Velbro Release Test Signer" code_signing -startdate 20200101000000Z -enddate 20200201000000Z
issue tsa "Velbro Release Test Time Stamps" time_stamping -days 2

# The password file ends in CR LF, as one written on Windows does.
printf 'correct horse battery\r\n' >"$certs/password.txt"
printf 'wrong horse battery\n' >"$certs/wrong-password.txt"
pfx() { # pfx NAME CERT [CHAIN]: the certificate and its key, with the chain when given
    echo "correct horse battery" | openssl pkcs12 -export -inkey "$certs/$2.key" -in "$certs/$2.pem" \
        ${3:+-certfile "$3"} -passout stdin -out "$certs/$1.pfx"
}
pfx signer signer "$certs/root.pem"
pfx expired expired "$certs/root.pem"
pfx no-chain signer

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
# release NAME [VAR=value...]: runs the release with only the given settings into an output
# folder of its own, in which a program of an "earlier run" waits. Leaves NAME/{out,err,dist}.
release() {
    local name=$1
    shift
    mkdir -p "$tmp/$name/dist"
    echo "earlier run" >"$tmp/$name/dist/velbro-vpn.exe"
    env -u VELBRO_SIGN_PFX -u VELBRO_SIGN_PASSWORD_FILE -u VELBRO_SIGN_TIMESTAMP_URL \
        VELBRO_DIST_DIR="$tmp/$name/dist" VELBRO_RELEASE_BUILD_DIR="$tmp/build" "$@" \
        "$src/scripts/release.sh" >"$tmp/$name/out" 2>"$tmp/$name/err"
}

# Broken settings: name | certificate file | password file | part of the message.
# The first four are found before the build; a certificate without its issuer only when the
# signed program is verified, after signing.
failing_cases=(
    "wrong-password|$certs/signer.pfx|$certs/wrong-password.txt|wrong password"
    "missing-certificate|$certs/none.pfx|$certs/password.txt|certificate file not found or not readable: $certs/none.pfx"
    "missing-password-file|$certs/signer.pfx|$certs/none.txt|password file not found or not readable: $certs/none.txt"
    "expired-certificate|$certs/expired.pfx|$certs/password.txt|(CN=Velbro Release Test Signer) expired on Feb  1 00:00:00 2020 GMT"
    "issuer-missing|$certs/no-chain.pfx|$certs/password.txt|the signed program did not verify"
)
for case in "${failing_cases[@]}"; do
    IFS='|' read -r name pfx_file password_file message <<<"$case"
    status=0
    release "$name" VELBRO_SIGN_PFX="$pfx_file" VELBRO_SIGN_PASSWORD_FILE="$password_file" || status=$?
    check "$name: exit status" "not 0" "$([ "$status" -ne 0 ] && echo "not 0" || echo 0)"
    grep -q -F "release: " "$tmp/$name/err" && grep -q -F -- "$message" "$tmp/$name/err" ||
        check "$name: message" "release: ...$message..." "$(cat "$tmp/$name/err")"
    check "$name: files left in the output folder" "" "$(ls -A "$tmp/$name/dist")"
done

status=0
release signed VELBRO_SIGN_PFX="$certs/signer.pfx" VELBRO_SIGN_PASSWORD_FILE="$certs/password.txt" \
    VELBRO_SIGN_TIMESTAMP_URL="$tsa_url" || status=$?
signed=$tmp/signed/dist/velbro-vpn.exe
check "signed: exit status" 0 "$status"
check "signed: files in the output folder" "velbro-vpn.exe velbro-vpn.exe.sha256" \
    "$(ls -A "$tmp/signed/dist" | xargs)"
check "signed: first line" "velbro-vpn.exe is signed by CN=Velbro Release Test Signer" \
    "$(head -n 1 "$tmp/signed/out")"
check "signed: checksum file" "velbro-vpn.exe: OK" "$(cd "$tmp/signed/dist" && sha256sum -c velbro-vpn.exe.sha256 2>&1)"
osslsigncode verify -in "$signed" -CAfile "$certs/root.pem" -TSA-CAfile "$certs/root.pem" \
    >"$tmp/signed/verify" 2>&1 || check "signed: osslsigncode verify" "success" "$(cat "$tmp/signed/verify")"
check "signed: time stamp" "Timestamp Server Signature verification: ok" \
    "$(grep -o 'Timestamp Server Signature verification: .*' "$tmp/signed/verify")"

status=0
release unsigned || status=$?
unsigned=$tmp/unsigned/dist/velbro-vpn.exe
check "unsigned: exit status" 0 "$status"
check "unsigned: lines saying so" "velbro-vpn.exe is unsigned: VELBRO_SIGN_PFX is not set" \
    "$(grep 'is unsigned' "$tmp/unsigned/out")"
check "unsigned: checksum file" "velbro-vpn.exe: OK" "$(cd "$tmp/unsigned/dist" && sha256sum -c velbro-vpn.exe.sha256 2>&1)"
check "unsigned: signature that osslsigncode accepts" "none" \
    "$(osslsigncode verify -in "$unsigned" >/dev/null 2>&1 && echo "one" || echo "none")"

# --- The Windows trust provider, under Wine, with the test root trusted in its own prefix ----
if [ -f "$signed" ] && [ -f "$unsigned" ]; then
    win() { printf 'Z:%s' "${1//\//\\}"; }
    wine_tool() { timeout 120 "$src/cmake/wine-run.sh" "$prefix" "$tool" "$@" | tr -d '\r'; }
    # A new prefix for every run: roots trusted by earlier runs must not be trusted here.
    WINEPREFIX=$prefix /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
    rm -rf "$prefix"
    openssl x509 -in "$certs/root.pem" -outform DER -out "$certs/root.der"
    wine_tool trust-root "$(win "$certs/root.der")"

    # One byte in the middle of the code: the signature itself is untouched, the hash is not.
    tampered=$tmp/tampered.exe
    cp "$signed" "$tampered"
    read -r size offset < <(x86_64-w64-mingw32-objdump -h "$tampered" | awk '$2 == ".text" { print $3, $6 }')
    at=$((0x$offset + 0x$size / 2))
    byte=$(od -A n -t u1 -j "$at" -N 1 "$tampered" | tr -d ' ')
    printf "\\x$(printf %02x $((byte ^ 0xff)))" | dd of="$tampered" bs=1 seek="$at" conv=notrunc status=none

    check "trust: signed program" "status=0x00000000 signer=Velbro Release Test Signer" \
        "$(wine_tool verify "$(win "$signed")")"
    check "trust: one changed byte of code" "status=0x80096010" \
        "$(wine_tool verify "$(win "$tampered")" | cut -d' ' -f1)"
    check "trust: unsigned program" "status=0x800B0100" \
        "$(wine_tool verify "$(win "$unsigned")" | cut -d' ' -f1)"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "PASS: signed, time-stamped, trusted; unsigned; broken settings refused"
