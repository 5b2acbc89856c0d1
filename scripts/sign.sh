#!/usr/bin/env bash
# Signs one Windows executable with Authenticode (SHA-256), reproducibly: the
# signing time is SOURCE_DATE_EPOCH (by default the commit's date), so the
# same key signs the same file to the same bytes. Checks that removing the
# signature gives back the input, byte for byte.
#
#   scripts/sign.sh KEY [--timestamp-url URL] [--info-url URL] IN OUT
#   scripts/sign.sh --check KEY [--timestamp-url URL] [--info-url URL]
# KEY is one of
#   --sign-pkcs12 FILE      password in the environment, LOCLISTFIX_SIGN_PASSWORD
#   --sign-pkcs11-module MODULE --sign-key URI --sign-cert FILE
#                           a token or HSM; the URI may carry the PIN (RFC 7512)
# --check validates the key and certificate only. Any fault is one line on
# standard error, and OUT is not written.
set -euo pipefail

fail() {
    echo "sign.sh: $*" >&2
    exit 1
}

check=0 pkcs12='' module='' key='' cert='' timestamp_url='' info_url=''
while [ $# -gt 0 ]; do
    case $1 in
        --check) check=1; shift ;;
        --sign-pkcs12 | --sign-pkcs11-module | --sign-key | --sign-cert | --timestamp-url | --info-url)
            [ $# -ge 2 ] || fail "$1 needs a value"
            case $1 in
                --sign-pkcs12) pkcs12=$2 ;;
                --sign-pkcs11-module) module=$2 ;;
                --sign-key) key=$2 ;;
                --sign-cert) cert=$2 ;;
                --timestamp-url) timestamp_url=$2 ;;
                --info-url) info_url=$2 ;;
            esac
            shift 2 ;;
        --*) fail "unknown option $1" ;;
        *) break ;;
    esac
done

if [ "$check" -eq 1 ]; then
    [ $# -eq 0 ] || fail "--check takes no files"
else
    [ $# -eq 2 ] || fail "usage: sign.sh KEY-OPTIONS [--timestamp-url URL] [--info-url URL] IN OUT"
    in=$1 out=$2
    [ -f "$in" ] || fail "$in: no such file"
fi

readable() {
    [ -f "$1" ] && [ -r "$1" ] || fail "$1: no such file"
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The certificate that will sign, as PEM, for the usage check.
if [ -n "$pkcs12" ]; then
    [ -z "$module$key$cert" ] || fail "give either --sign-pkcs12 or the --sign-pkcs11-* options, not both"
    readable "$pkcs12"
    [ -n "${LOCLISTFIX_SIGN_PASSWORD+set}" ] || fail "LOCLISTFIX_SIGN_PASSWORD is not set: it holds the password of $pkcs12"
    openssl pkcs12 -in "$pkcs12" -nokeys -clcerts -passin env:LOCLISTFIX_SIGN_PASSWORD -out "$work/cert.pem" \
        2>/dev/null || fail "cannot open $pkcs12: wrong password, or not a PKCS#12 file"
    signer=(-pkcs12 "$pkcs12" -readpass "$work/password")
elif [ -n "$module$key$cert" ]; then
    [ -n "$module" ] && [ -n "$key" ] && [ -n "$cert" ] ||
        fail "a token needs all of --sign-pkcs11-module, --sign-key and --sign-cert"
    readable "$module"
    readable "$cert"
    openssl x509 -in "$cert" -out "$work/cert.pem" 2>/dev/null || fail "$cert: not a PEM certificate"
    engine="$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so"
    [ -f "$engine" ] || fail "OpenSSL's PKCS#11 engine is missing ($engine): install libengine-pkcs11-openssl"
    signer=(-pkcs11engine "$engine" -pkcs11module "$module" -key "$key" -certs "$cert")
else
    fail "no signing key: give --sign-pkcs12 FILE, or --sign-pkcs11-module, --sign-key and --sign-cert"
fi
# Windows accepts an Authenticode signature only from a certificate for code signing.
openssl x509 -in "$work/cert.pem" -noout -ext extendedKeyUsage 2>/dev/null | grep -q 'Code Signing' ||
    fail "the certificate is not for code signing (its extended key usage lacks Code Signing)"
[ "$check" -eq 0 ] || exit 0

# The password reaches osslsigncode through a private file, never its command line.
(umask 077 && printf '%s' "${LOCLISTFIX_SIGN_PASSWORD:-}" > "$work/password")
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$(dirname "$0")" log -1 --format=%ct 2>/dev/null || true)}
[ -n "$epoch" ] || fail "SOURCE_DATE_EPOCH is not set, and there is no commit to take the signing time from"
options=(-h sha256 -n loclistfix -time "$epoch")
[ -z "$info_url" ] || options+=(-i "$info_url")
[ -z "$timestamp_url" ] || options+=(-ts "$timestamp_url")

if ! osslsigncode sign "${signer[@]}" "${options[@]}" -in "$in" -out "$work/signed.exe" > "$work/log" 2>&1; then
    if [ -n "$timestamp_url" ] && grep -q 'timestamping failed' "$work/log"; then
        fail "the time-stamp server $timestamp_url did not answer"
    fi
    fail "osslsigncode could not sign: $(grep -v -e '^Engine' -e '^Failed$' "$work/log" | head -n 1)"
fi
osslsigncode remove-signature -in "$work/signed.exe" -out "$work/stripped.exe" > "$work/log" 2>&1 ||
    fail "osslsigncode could not remove the signature again: $(head -n 1 "$work/log")"
cmp -s "$in" "$work/stripped.exe" || fail "the signed file, its signature removed, differs from $in"
cp "$work/signed.exe" "$out.partial"
mv -f "$out.partial" "$out"
