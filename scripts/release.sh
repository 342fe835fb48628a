# shellcheck shell=bash source-path=SCRIPTDIR
# Signing kronvel.exe. Sourced by scripts/package; every function returns
# non-zero, having said why, on failure.
#
#   kv_sign IN OUT TIME TIMESTAMP-URL pkcs12 FILE PASSWORD-FILE
#   kv_sign IN OUT TIME TIMESTAMP-URL pkcs11 MODULE CERT-FILE KEY-URI PIN-FILE
#       Signs IN into OUT (Authenticode, SHA-256) with the key of a PKCS#12
#       file or of a PKCS#11 token (the module's library, the certificate
#       file, the key's "pkcs11:" URI and a file holding the PIN). TIME, in
#       seconds since 1970, is the signing time recorded in the signature, so
#       that one key and one osslsigncode release sign the same file to the
#       same bytes: scripts/package gives the commit's time. An
#       RFC 3161 timestamp is added when TIMESTAMP-URL is not empty. It
#       refuses a certificate that has expired, is not valid yet, or is not
#       for code signing (kv_check_signer).
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# Refuses a signer's certificate (PEM) that has expired, is not valid yet, or
# has extended key usages without code signing.
kv_check_signer() { # certificate
    local now usage
    now=$(date +%s)
    [ "$(date -d "$(openssl x509 -noout -startdate <<<"$1" | cut -d= -f2)" +%s)" -le "$now" ] ||
        { kv_say "the signer's certificate is not valid yet: $(openssl x509 -noout -startdate <<<"$1")"; return 1; }
    openssl x509 -noout -checkend 0 <<<"$1" >/dev/null ||
        { kv_say "the signer's certificate has expired: $(openssl x509 -noout -enddate <<<"$1")"; return 1; }
    usage=$(openssl x509 -noout -ext extendedKeyUsage <<<"$1" 2>/dev/null | sed -n '2,$s/^ *//p' | paste -sd ,)
    [ -z "$usage" ] || [[ $usage == *"Code Signing"* ]] ||
        { kv_say "the signer's certificate is not for code signing: its extended key usage is $usage"; return 1; }
}

kv_sign() { # in out time timestamp-url pkcs12 FILE PASSWORD-FILE | pkcs11 MODULE CERT KEY-URI PIN-FILE
    local in=$1 out=$2 log certificate args=(sign -h sha256 -time "$3")
    [ -z "$4" ] || args+=(-ts "$4")
    case "${5:-}" in
    pkcs12) args+=(-pkcs12 "$6" -readpass "$7"); certificate=$(openssl pkcs12 -in "$6" -passin "file:$7" -nokeys -clcerts) ;;
    pkcs11) args+=(-pkcs11module "$6" -certs "$7" -key "$8" -readpass "$9"); certificate=$(openssl x509 -in "$7") ;;
    *) kv_say "kv_sign: the key is \"pkcs12 FILE PASSWORD-FILE\" or \"pkcs11 MODULE CERT KEY-URI PIN-FILE\""; return 1 ;;
    esac
    kv_check_signer "$certificate" || return 1
    rm -f "$out" # osslsigncode 2.5 does not overwrite
    # It can report a failure (a timestamp, say) and still exit 0: read what it says.
    if ! log=$(osslsigncode "${args[@]}" -in "$in" -out "$out" 2>&1) || [ "$(tail -n 1 <<<"$log")" != Succeeded ] ||
        grep -qiE 'fail|error' <<<"$log"; then
        printf '%s\n' "$log" >&2
        kv_say "signing $in failed"
        rm -f "$out"
        return 1
    fi
}
