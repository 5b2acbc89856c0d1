#!/usr/bin/env bash
# The release command, with keys made here and thrown away: each signing
# route releases twice to the same bytes, its signatures verify against the
# throwaway certificate and strip back to the plain build, and the signed
# executables pass the end-to-end tests; bad input writes no release.
# Run by scripts/test.sh once both presets are built.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
work=$root/build/release-test
rm -rf "$work"
mkdir -p "$work"
passed=0 failed=0
check() {
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $what"
    fi
}

# A code-signing certificate and one without that usage, as PKCS#12 files,
# and the first one's key on a SoftHSM2 token of the test's own.
cd "$work"
export LOCLISTFIX_SIGN_PASSWORD=throwaway SOFTHSM2_CONF=$work/softhsm2.conf
for cert in signer plain; do
    usage=()
    [ $cert = plain ] || usage=(-addext extendedKeyUsage=codeSigning)
    openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=loclistfix test $cert" "${usage[@]}" \
        -keyout $cert.key -out $cert.pem 2>/dev/null
    openssl pkcs12 -export -inkey $cert.key -in $cert.pem -out $cert.p12 -passout env:LOCLISTFIX_SIGN_PASSWORD
done
# A time-stamp authority on loopback, ended with the test and in any case after five minutes.
mkdir tsa && echo 01 > tsa/serial
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=loclistfix test TSA" \
    -addext extendedKeyUsage=critical,timeStamping -keyout tsa/tsa.key -out tsa/tsa.pem 2>/dev/null
printf '%s\n' '[tsa]' 'default_tsa = test' '[test]' 'serial = ./serial' 'signer_cert = ./tsa.pem' \
    'signer_key = ./tsa.key' 'signer_digest = sha256' 'default_policy = 1.2.3.4.1' 'digests = sha256' > tsa/tsa.cnf
timeout 300 python3 "$root/tests/release/tsa.py" tsa &
tsa_server=$!
trap 'kill "$tsa_server" 2>/dev/null || true' EXIT
mkdir tokens
echo "directories.tokendir = $work/tokens" > softhsm2.conf
softhsm2-util --init-token --free --label loclistfix --so-pin 4321 --pin 1234 >/dev/null
openssl pkcs8 -topk8 -nocrypt -in signer.key -out signer.pk8
softhsm2-util --import signer.pk8 --token loclistfix --label signer --id 01 --pin 1234 >/dev/null
cd "$root"

release() {
    scripts/package.sh --out "$@" --info-url https://example.invalid/loclistfix >/dev/null
}
same_files() {
    diff -r "$1" "$2" >/dev/null
}
# The zip's executable: signed by the throwaway certificate, and the build's own without its signature.
signed_build() {
    local zip=$1 preset=$2 dir=$work/unzipped/${1#"$work"/}
    rm -rf "$dir" && mkdir -p "$dir" && unzip -q "$zip" -d "$dir" &&
        osslsigncode verify -CAfile "$work/signer.pem" -TSA-CAfile "$work/tsa/tsa.pem" -in "$dir"/*/loclistfix.exe \
            >"$dir/verify.log" 2>&1 &&
        osslsigncode remove-signature -in "$dir"/*/loclistfix.exe -out "$dir/stripped.exe" >/dev/null 2>&1 &&
        cmp -s "$dir/stripped.exe" "build/$preset/bin/loclistfix.exe"
}

module=$(find /usr/lib -name libsofthsm2.so -path '*softhsm*' -print -quit)
routes=(
    "pkcs12|--sign-pkcs12 $work/signer.p12"
    "pkcs11|--sign-pkcs11-module $module --sign-key pkcs11:token=loclistfix;object=signer;type=private;pin-value=1234 --sign-cert $work/signer.pem"
)
for row in "${routes[@]}"; do
    route=${row%%|*}
    read -ra key <<<"${row#*|}"
    check "$route: first release" release "$work/$route" "${key[@]}"
    sleep 1
    check "$route: second release" release "$work/$route-again" "${key[@]}"
    check "$route: both releases are the same bytes" same_files "$work/$route" "$work/$route-again"
    check "$route: win32 signed, strips back" signed_build "$work/$route/loclistfix-"*-win32.zip mingw-x86
    check "$route: win64 signed, strips back" signed_build "$work/$route/loclistfix-"*-win64.zip mingw-x64
done
check "both routes sign to the same bytes" same_files "$work/pkcs12" "$work/pkcs11"

# The time stamp is the server's own time, so only the signatures are checked.
time_stamped() {
    for _ in $(seq 50); do [ -s "$work/tsa/port" ] && break; sleep 0.1; done
    release "$work/timestamped" --sign-pkcs12 "$work/signer.p12" --timestamp-url "http://127.0.0.1:$(cat "$work/tsa/port")/" &&
        signed_build "$work/timestamped/loclistfix-"*-win32.zip mingw-x86 &&
        grep -q 'Timestamp Server Signature verification: ok' "$work/unzipped/timestamped/"*-win32.zip/verify.log
}
check "time-stamped: signed, stamped by the loopback server, strips back" time_stamped

# what it is | password | signing options
bad_inputs=(
    "wrong password|wrong|--sign-pkcs12 $work/signer.p12"
    "missing key file|throwaway|--sign-pkcs12 $work/missing.p12"
    "certificate without code-signing usage|throwaway|--sign-pkcs12 $work/plain.p12"
    "unreachable time-stamp server|throwaway|--sign-pkcs12 $work/signer.p12 --timestamp-url http://127.0.0.1:9/"
)
rejected() {
    local errors
    errors=$(LOCLISTFIX_SIGN_PASSWORD=$1 release "$work/bad" "${@:2}" 2>&1 >/dev/null) && return 1
    [ "$(printf '%s\n' "$errors" | wc -l)" -eq 1 ] && [ -z "$(ls -A "$work/bad" 2>/dev/null)" ] ||
        { echo "$errors"; return 1; }
}
for row in "${bad_inputs[@]}"; do
    IFS='|' read -r what password options <<<"$row"
    read -ra key <<<"$options"
    check "$what: one line, no release" rejected "$password" "${key[@]}"
done

# What ships is the signed file: the end-to-end tests run it in place of the build's own.
end_to_end() {
    local arch=$1 preset=mingw-$1 dir=$work/end-to-end-$1
    mkdir -p "$dir"
    cp "build/$preset/bin/program_test.exe" "$dir/"
    cp "$work/unzipped/pkcs12/loclistfix-"*-"$2".zip/*/loclistfix.exe "$dir/"
    local status=0
    WINEPREFIX=$root/build/$preset/wineprefix cmake/wine.sh run "$arch" "$dir/program_test.exe" > "$dir/log" 2>&1 ||
        status=$?
    WINEPREFIX=$root/build/$preset/wineprefix cmake/wine.sh server --kill >/dev/null 2>&1 || true
    [ $status -eq 0 ] || { grep -A8 ': Failure' "$dir/log" | head -n 60; tail -n 5 "$dir/log"; }
    return $status
}
# Where the preset's configure found that this host cannot run its programs, it said why.
for arch in x86:win32 x64:win64; do
    reason=$(sed -n 's/^LOCLISTFIX_NOT_RUN_REASON:INTERNAL=//p' "build/mingw-${arch%:*}/CMakeCache.txt")
    if [ -z "$reason" ]; then
        check "${arch%:*}: the signed executable passes the end-to-end tests" end_to_end "${arch%:*}" "${arch#*:}"
    else
        echo "skipped: end-to-end tests of the signed ${arch%:*} executable: $reason"
    fi
done

echo "release: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
