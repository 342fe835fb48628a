# shellcheck shell=bash source-path=SCRIPTDIR
# Signing kronvel.exe without losing the way back to the built bytes, and the
# winget and Scoop manifests of a release. Sourced by scripts/package and
# scripts/verify-release; every function returns non-zero, having said why, on
# failure.
#
#   kv_sign IN OUT TIME TIMESTAMP-URL pkcs12 FILE PASSWORD-FILE
#   kv_sign IN OUT TIME TIMESTAMP-URL pkcs11 MODULE CERT-FILE KEY-URI PIN-FILE
#       Signs IN into OUT (Authenticode, SHA-256) with the key of a PKCS#12
#       file or of a PKCS#11 token (the module's library, the certificate
#       file, the key's "pkcs11:" URI and a file holding the PIN). TIME, in seconds since 1970, is the signing
#       time recorded in the signature, so that the same key signs the same
#       file to the same bytes: scripts/package gives the commit's time. An
#       RFC 3161 timestamp is added when TIMESTAMP-URL is not empty.
#   kv_signed EXE             succeeds when EXE carries a signature
#   kv_unsign IN OUT          writes IN without its signature: the file as it
#                             was before signing, to the byte
#   kv_write_manifests OUTDIR VERSION BASE-URL HOMEPAGE ZIPNAME SHA256
#       Writes OUTDIR/manifests/k/Kronvel/Kronvel/VERSION/ (winget's three
#       files, laid out as in winget-pkgs) and OUTDIR/kronvel.json (Scoop), for
#       the zip ZIPNAME downloaded from the folder BASE-URL.
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

kv_u32() { od -An -tu4 --endian=little -j "$2" -N 4 "$1" | tr -d ' '; } # file offset

# The offsets of a PE file's CheckSum and of its certificate table's entry in
# the data directories (file offset, size): the only header fields signing sets.
kv_pe_fields() { # exe
    local pe magic
    pe=$(kv_u32 "$1" 60)
    [ "$(od -An -tx1 -j "$pe" -N 4 "$1" | tr -d ' ')" = 50450000 ] || { kv_say "$1 is not a PE file"; return 1; }
    magic=$(od -An -tx1 -j $((pe + 24)) -N 2 "$1" | tr -d ' ')
    case $magic in
    0b01) echo $((pe + 88)) $((pe + 152)) ;; # PE32: data directories at optional header + 96
    0b02) echo $((pe + 88)) $((pe + 168)) ;; # PE32+: at optional header + 112
    *) kv_say "$1 has an unknown optional header ($magic)"; return 1 ;;
    esac
}

kv_signed() { # exe
    local fields
    fields=$(kv_pe_fields "$1") && [ "$(kv_u32 "$1" "${fields#* }")" != 0 ]
}

# Signing appends the certificate table at the old end of the file (after up
# to 7 zero bytes, to a multiple of 8; kronvel.exe ends on its 512-byte file
# alignment, so none) and sets the CheckSum and the table's entry, both 0
# before. So cutting the table and zeroing both gives back the file;
# "osslsigncode remove-signature" does not (it leaves a fresh CheckSum).
kv_unsign() { # in out
    local fields sum entry at
    fields=$(kv_pe_fields "$1") && sum=${fields% *} entry=${fields#* }
    at=$(kv_u32 "$1" "$entry")
    [ "$at" != 0 ] || { cp "$1" "$2"; return 0; }
    head -c "$at" "$1" >"$2"
    head -c 4 /dev/zero | dd of="$2" bs=1 seek="$sum" conv=notrunc status=none
    head -c 8 /dev/zero | dd of="$2" bs=1 seek="$entry" conv=notrunc status=none
}

kv_sign() { # in out time timestamp-url pkcs12 FILE PASSWORD-FILE | pkcs11 MODULE CERT KEY-URI PIN-FILE
    local in=$1 out=$2 log args=(sign -h sha256 -time "$3")
    [ -z "$4" ] || args+=(-ts "$4")
    case "${5:-}" in
    pkcs12) args+=(-pkcs12 "$6" -readpass "$7") ;;
    pkcs11) args+=(-pkcs11module "$6" -certs "$7" -key "$8" -readpass "$9") ;;
    *) kv_say "kv_sign: the key is \"pkcs12 FILE PASSWORD-FILE\" or \"pkcs11 MODULE CERT KEY-URI PIN-FILE\""; return 1 ;;
    esac
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

kv_write_manifests() { # outdir version base-url homepage zipname sha256
    local out=$1 version=$2 url=${3%/}/$5 folder=${5%.zip} template about
    about=$(sed -n 's/^project(Kronvel .*DESCRIPTION "\([^"]*\)".*/\1/p' "$KV_ROOT/CMakeLists.txt")
    # The values go between double quotes, through sed: refuse what would need escaping.
    [[ "$url$4" =~ ^[^[:space:]\"\\|\&]+$ ]] || { kv_say "a URL with spaces, quotes, \\, | or &: $url $4"; return 1; }
    mkdir -p "$out/manifests/k/Kronvel/Kronvel/$version"
    for template in "$KV_ROOT"/release/manifests/*; do
        sed -e "s|@VERSION@|$version|g; s|@URL@|$url|g; s|@FOLDER@|$folder|g; s|@HOMEPAGE@|$4|g" \
            -e "s|@SHA256@|$6|g; s|@SHA256_UPPER@|${6^^}|g; s|@DESCRIPTION@|$about|g" \
            -e "s|@URL_OF_VERSION@|${url//$version/\$version}|g; s|@FOLDER_OF_VERSION@|${folder//$version/\$version}|g" \
            "$template" >"$out/$([[ $template == *.yaml ]] && echo "manifests/k/Kronvel/Kronvel/$version/")${template##*/}"
    done
}
