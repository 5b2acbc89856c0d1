# shellcheck shell=bash
# Authenticode signing for the release command, sourced by it. The key is one of
#   --sign-pkcs12 FILE      its password in LOCLISTFIX_SIGN_PASSWORD
#   --sign-pkcs11-module MODULE --sign-key URI --sign-cert FILE
#                           a token or HSM; the URI names the key and may take
#                           the PIN from a file (RFC 7512's pin-source)
# signing_check proves, before anything is built, that the key signs: it opens
# it with the password as given, matches it with the certificate, checks that
# the certificate is for code signing and valid now, and signs a probe with
# exactly the options the release will use, time stamp included. signing_sign
# then signs reproducibly: the signing time is SOURCE_DATE_EPOCH, so the same
# key signs the same file to the same bytes.
#
# Secrets stay out of sight: the password is taken out of the environment at
# once and reaches only the processes that read the key (OpenSSL through its
# own environment, osslsigncode through a pipe), and a PIN given in the URI
# goes to osslsigncode through a pipe too, which the URI names as its
# pin-source. No command line and no file holds either, so not even SIGKILL
# can leave one behind. A time-stamp server's address with a user name or
# password is refused: osslsigncode takes them only on its command line.

sign_pkcs12='' sign_module='' sign_key='' sign_cert=''
timestamp_url='' timestamp_host='' timestamp_timeout=60 info_url=''
signing_password='' signing_password_given=0 signing_pin=''
signing_dir='' signer=() signing_options=()

# Debian's own tools, the ones install-deps.sh checked, and
# not whatever PATH finds first.
signing_openssl=/usr/bin/openssl
signing_osslsigncode=/usr/bin/osslsigncode
signing_uri_parser=$(dirname "${BASH_SOURCE[0]}")/pkcs11_uri.py

signing_take_password() {
    if [ -n "${LOCLISTFIX_SIGN_PASSWORD+set}" ]; then
        signing_password=$LOCLISTFIX_SIGN_PASSWORD
        signing_password_given=1
    fi
    unset LOCLISTFIX_SIGN_PASSWORD
}

signing_requested() {
    [ -n "$sign_pkcs12$sign_module$sign_key$sign_cert" ]
}

readable() {
    [[ -f $1 && -r $1 ]] || fail "$1: no such file"
}

# openssl pkcs12 on the key file, which reads the password from its own
# environment, byte for byte. Files from older Windows and Java encrypt with
# RC2, which OpenSSL 3 reads only with its legacy provider, as osslsigncode
# does of itself.
read_pkcs12() {
    LOCLISTFIX_SIGN_PASSWORD=$signing_password "$signing_openssl" pkcs12 -legacy -in "$sign_pkcs12" \
        -passin env:LOCLISTFIX_SIGN_PASSWORD "$@"
}

# The PKCS#12 file's certificate into $signing_dir/cert.pem, once its key is
# known to open with the password and to match it.
signing_open_pkcs12() {
    [ -z "$sign_module$sign_key$sign_cert" ] || fail "give either --sign-pkcs12 or the --sign-pkcs11-* options, not both"
    readable "$sign_pkcs12"
    [ "$signing_password_given" -eq 1 ] ||
        fail "LOCLISTFIX_SIGN_PASSWORD is not set: it holds the password of $sign_pkcs12 (empty if it has none)"
    # osslsigncode drops a line break at the end of a password file, and would
    # then try another password than the one checked here.
    case $signing_password in
        *$'\n' | *$'\r') fail "LOCLISTFIX_SIGN_PASSWORD ends in a line break, which osslsigncode would drop: set it without one" ;;
    esac
    read_pkcs12 -nokeys -out "$signing_dir/certs.pem" 2>/dev/null ||
        fail "cannot open $sign_pkcs12: wrong password, or not a PKCS#12 file"
    grep -q 'BEGIN CERTIFICATE' "$signing_dir/certs.pem" || fail "$sign_pkcs12 holds no certificate"
    local key_public
    key_public=$(read_pkcs12 -nocerts -nodes 2>/dev/null | "$signing_openssl" pkey -pubout 2>/dev/null) ||
        fail "$sign_pkcs12 holds no key that OpenSSL can read"
    # The key's certificate is the one that holds its public key, wherever it
    # sits: a file put together by hand may put its chain first and leave out
    # the localKeyID that would say which it is, and osslsigncode signs with it.
    local certificate=''
    while IFS= read -r line; do
        certificate+=$line$'\n'
        [ "$line" = '-----END CERTIFICATE-----' ] || continue
        if [ "$key_public" = "$("$signing_openssl" x509 -noout -pubkey <<<"$certificate" 2>/dev/null)" ]; then
            printf '%s' "$certificate" >"$signing_dir/cert.pem"
            break
        fi
        certificate=''
    done < <(sed -n '/-----BEGIN CERTIFICATE-----/,/-----END CERTIFICATE-----/p' "$signing_dir/certs.pem")
    [ -s "$signing_dir/cert.pem" ] || fail "the key in $sign_pkcs12 does not match its certificate"
    signer=(-pkcs12 "$sign_pkcs12")
    # osslsigncode cannot read an empty password; without one it tries the
    # empty password. signing_run opens descriptor 3.
    [ -z "$signing_password" ] || signer+=(-readpass /dev/fd/3)
}

signing_open_pkcs11() {
    [[ -n $sign_module && -n $sign_key && -n $sign_cert ]] ||
        fail "a token needs all of --sign-pkcs11-module, --sign-key and --sign-cert"
    readable "$sign_module"
    readable "$sign_cert"
    [[ $sign_key == pkcs11:* ]] || fail "--sign-key takes a PKCS#11 URI (pkcs11:token=…;object=…)"
    "$signing_openssl" x509 -in "$sign_cert" -out "$signing_dir/cert.pem" 2>/dev/null || fail "$sign_cert: not a PEM certificate"
    local engine
    engine="$("$signing_openssl" version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so"
    [ -f "$engine" ] || fail "OpenSSL's PKCS#11 engine is missing ($engine): install libengine-pkcs11-openssl"
    signing_key_without_pin "$sign_key"
    # osslsigncode finds the engine by its name, "pkcs11", in that folder;
    # Debian 12's 2.5 fails to load it when given its path.
    signer=(-pkcs11module "$sign_module" -key "$signing_key" -certs "$sign_cert")
}

# The URI in $signing_key, checked by pkcs11_uri.py; a pin-value in it
# becomes $signing_pin, and the URI names descriptor 4, which signing_run
# opens, as its pin-source. The URI reaches Python through a pipe.
signing_key=''
signing_key_without_pin() {
    local parsed
    parsed=$(/usr/bin/python3 -I "$signing_uri_parser" /dev/fd/4 < <(printf '%s' "$1")) || fail "$parsed"
    signing_key=${parsed%%$'\n'*}
    [ "$signing_key" = "$parsed" ] || signing_pin=${parsed#*$'\n'}
}

# Windows accepts an Authenticode signature only from a certificate whose
# extended key usage holds code signing (1.3.6.1.5.5.7.3.3) itself; OpenSSL
# names that OID, and only that one, "Code Signing".
signing_check_certificate() {
    local cert=$signing_dir/cert.pem
    "$signing_openssl" x509 -in "$cert" -noout -ext extendedKeyUsage 2>/dev/null | sed 1d | tr ',' '\n' |
        sed 's/^ *//; s/ *$//' | grep -qx 'Code Signing' ||
        fail "the certificate is not for code signing (its extended key usage lacks Code Signing, 1.3.6.1.5.5.7.3.3)"
    # An ECDSA signature has a second form, (r, n - s), that anyone can make
    # from it without the key; the verifier takes RSA keys alone.
    "$signing_openssl" x509 -in "$cert" -noout -text 2>/dev/null | grep -q 'Public Key Algorithm: rsaEncryption$' ||
        fail "the certificate's key is not RSA: releases are signed with RSA keys alone (docs/releasing.md says why)"
    local bits
    bits=$("$signing_openssl" x509 -in "$cert" -noout -text 2>/dev/null | sed -n 's/^ *Public-Key: (\([0-9]*\) bit)$/\1/p')
    [[ $bits =~ ^[0-9]+$ && $bits -ge 2048 ]] ||
        fail "the certificate's RSA key has ${bits:-an unknown number of} bits: releases are signed with keys of 2048 bits at least"
    local from until
    from=$("$signing_openssl" x509 -in "$cert" -noout -startdate | cut -d= -f2)
    until=$("$signing_openssl" x509 -in "$cert" -noout -enddate | cut -d= -f2)
    [ "$(date -d "$from" +%s)" -le "$(date +%s)" ] || fail "the certificate is not valid before $from"
    "$signing_openssl" x509 -in "$cert" -noout -checkend 0 >/dev/null || fail "the certificate expired on $until"
}

signing_check_options() {
    if [ -n "$info_url" ]; then
        [[ $info_url =~ ^https?://[^/]+ ]] || fail "--info-url takes a web address (http:// or https://), not '$info_url'"
        [[ ! $info_url =~ ^https?://[^/]*@ ]] ||
            fail "--info-url carries a user name or password, which every signature would publish"
    fi
    # Neither 2.5 nor 2.9 takes a time-stamp server's credentials other than
    # in the address, on its command line. curl, which sends the request,
    # takes an address without a scheme, or with a slash too few, so any '@'
    # before the path's first '/' after the host may be credentials; none of
    # the address is repeated, as any of it may be the password.
    local authority=${timestamp_url#*://}
    authority=${authority#*:/}
    [[ ${authority%%[/?#]*} != *@* ]] ||
        fail "--timestamp-url carries a user name or password, which would stand on osslsigncode's command line for every local user to read"
    # A server's path or query may hold an access key: messages name its host alone.
    timestamp_host=${authority%%[/?#]*}
    [[ $timestamp_timeout =~ ^[1-9][0-9]*$ ]] ||
        fail "--timestamp-timeout takes a whole number of seconds, not '$timestamp_timeout'"
    signing_options=(-h sha256 -n loclistfix -time "$SOURCE_DATE_EPOCH")
    [ -z "$info_url" ] || signing_options+=(-i "$info_url")
    [ -z "$timestamp_url" ] || signing_options+=(-ts "$timestamp_url")
}

# osslsigncode IN OUT, with one line of explanation when it fails. A time-stamp
# server that takes the request and never answers would hold it for ever.
# The password and the PIN wait in pipes, on descriptors 3 and 4, for the
# one process that reads them.
signing_run() {
    local log=$signing_dir/log status=0
    timeout "$timestamp_timeout" "$signing_osslsigncode" sign "${signer[@]}" "${signing_options[@]}" -in "$1" -out "$2" \
        >"$log" 2>&1 3< <(printf '%s' "$signing_password") 4< <(printf '%s' "$signing_pin") || status=$?
    [ "$status" -ne 0 ] || return 0
    if [ -n "$timestamp_url" ]; then
        [ "$status" -ne 124 ] || fail "the time-stamp server at $timestamp_host did not answer within $timestamp_timeout s"
        ! grep -qi 'timestamp' "$log" || fail "the time-stamp server at $timestamp_host did not answer"
    fi
    ! grep -q 'key values mismatch' "$log" || fail "the key does not match the certificate $sign_cert"
    fail "osslsigncode could not sign: $(grep -v -e '^Engine' -e '^Failed$' "$log" | head -n 1)"
}

# Everything that can stop a signature, tried before the release is built.
#   signing_check PRIVATE-FOLDER
signing_check() {
    signing_dir=$1
    chmod 700 "$signing_dir"
    if [ -n "$sign_pkcs12" ]; then
        signing_open_pkcs12
    elif signing_requested; then
        signing_open_pkcs11
    else
        fail "no signing key: give --sign-pkcs12 FILE, or --sign-pkcs11-module, --sign-key and --sign-cert"
    fi
    signing_check_certificate
    signing_check_options
    signing_probe "$signing_dir/probe.exe"
    signing_run "$signing_dir/probe.exe" "$signing_dir/probe-signed.exe"
}

# A PE file of a few kilobytes to sign: the one kind of file every supported
# osslsigncode signs (Debian 12's 2.5 knows no PowerShell scripts), made by
# the cross compiler that the release builds with.
signing_probe() {
    local compiler
    compiler=$(command -v x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-gcc | head -n 1) ||
        fail "no x86_64-w64-mingw32-gcc to make the probe to sign: install g++-mingw-w64-x86-64-posix"
    printf 'void probe(void) {}\n' | "$compiler" -x c - -nostdlib -e probe -s -o "$1" 2>/dev/null ||
        fail "$compiler could not make the probe to sign"
}

# Signs IN into OUT, and proves that removing the signature gives IN back.
signing_sign() {
    local signed=$signing_dir/signed.exe stripped=$signing_dir/stripped.exe
    rm -f "$signed" "$stripped"
    signing_run "$1" "$signed"
    "$signing_osslsigncode" remove-signature -in "$signed" -out "$stripped" >"$signing_dir/log" 2>&1 ||
        fail "osslsigncode could not remove the signature again: $(head -n 1 "$signing_dir/log")"
    cmp -s "$1" "$stripped" || fail "the signed file, its signature removed, differs from $1"
    mv -f "$signed" "$2"
}
