#!/usr/bin/env bash
# shellcheck disable=SC2317 # the faults' functions are called through their table
# Signs a package with a code-signing certificate made here and checks it with
# scripts/verify-release: it passes, its kronvel.exe without the signature is
# the build's to the byte, the same key signs to the same zip, and each planted
# fault fails with a message naming it. With "pkcs11", signs with the same key
# in a SoftHSM token instead, and checks that it gives the same zip.
#
# Usage: tests/release_test.sh BUILD-DIR [pkcs11]   (exit 0 pass, 1 fail, 77 skip)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/release.sh"
build=$(cd "${1:?usage: tests/release_test.sh BUILD-DIR}" && pwd)

for tool in osslsigncode openssl zip unzip; do
    command -v "$tool" >/dev/null || { echo "kronvel: skipped: $tool is missing"; exit 77; }
done
if [ "$(sha256sum <"$build/kronvel.exe" | cut -d' ' -f1)" != "$(cut -d' ' -f1 "$root/release/kronvel.exe.sha256")" ]; then
    echo "kronvel: skipped: $build/kronvel.exe is not the recorded release, which verify-release compares with"
    exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 30 -subj "/CN=Kronvel test signer" \
    -addext "extendedKeyUsage=critical,codeSigning" -addext "keyUsage=critical,digitalSignature" 2>/dev/null
echo "test password" >pass.txt
openssl pkcs12 -export -inkey key.pem -in cert.pem -out key.p12 -passout file:pass.txt
status=0
expect() { # what condition...
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what" && cat ./*.log; status=1; fi
}
pack() { "$root/scripts/package" --no-build --unrecorded --build "$build" --out "$1" --sign-pkcs12 key.p12 "${2:-pass.txt}" >pack.log 2>&1; }
verify() { "$root/scripts/verify-release" "$1" --cert cert.pem >verify.log 2>&1; }

if ! pack good || ! pack again; then cat pack.log; exit 1; fi
zip=$(echo good/kronvel-*-win32.zip) name=$(basename "$zip" .zip)

if [ "${2:-}" = pkcs11 ]; then
    module=/usr/lib/softhsm/libsofthsm2.so
    [ -f "$module" ] || { echo "kronvel: skipped: no SoftHSM (package softhsm2)"; exit 77; }
    ls /usr/lib/*/engines-3/pkcs11.so >/dev/null 2>&1 || { echo "kronvel: skipped: no PKCS#11 engine for OpenSSL (package libengine-pkcs11-openssl)"; exit 77; }
    export SOFTHSM2_CONF="$work/softhsm2.conf"
    mkdir tokens && printf 'directories.tokendir = %s\n' "$work/tokens" >"$SOFTHSM2_CONF" && echo 5678 >pin.txt
    openssl pkcs8 -topk8 -nocrypt -in key.pem -out key8.pem
    softhsm2-util --init-token --free --label kronvel --so-pin 1234 --pin 5678 >/dev/null
    softhsm2-util --import key8.pem --token kronvel --label signer --id 01 --pin 5678 >/dev/null
    "$root/scripts/package" --no-build --unrecorded --build "$build" --out token --sign-pkcs11 "$module" cert.pem \
        "pkcs11:token=kronvel;object=signer;type=private" pin.txt >pack.log 2>&1 || { cat pack.log; exit 1; }
    expect "the key in a PKCS#11 token signs to the same zip as in a PKCS#12 file" cmp -s "$zip" "token/$name.zip"
    expect "verify-release passes the token-signed package" verify "token/$name.zip"
    exit $status
fi
expect "the same key signs to the same zip" cmp -s "$zip" again/"$name.zip"
expect "verify-release passes the signed package" verify "$zip"
expect "the winget and Scoop manifests pass their schemas and winget's rules, and planted faults fail" \
    "$root/tests/check_manifests.py" "$zip"
unzip -q "$zip" -d good/unpacked
expect "kronvel.exe in the package is signed" kv_signed "good/unpacked/$name/kronvel.exe"
kv_unsign "good/unpacked/$name/kronvel.exe" unsigned.exe
expect "without its signature it is the build's kronvel.exe" cmp -s unsigned.exe "$build/kronvel.exe"
echo "wrong" >wrong.txt
refused() { ! pack bad wrong.txt && grep -qi "password" pack.log && [ ! -e bad ]; }
expect "a wrong PKCS#12 password stops packing, saying why" refused

# Each fault: how to plant it in the unpacked package's folder, and the checks that must fail.
flip_byte() { # file offset: inverts one byte
    local byte
    byte=$(od -An -tu1 -j "$2" -N 1 "$1" | tr -d ' ')
    printf '%b' "\\$(printf %o $((byte ^ 255)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
flip_code() { flip_byte "$1/kronvel.exe" 4096; }
resign_other() { # the program with one byte of code changed, signed again by the same key
    kv_unsign "$1/kronvel.exe" other.exe && flip_byte other.exe 4096
    kv_sign other.exe "$1/kronvel.exe" 0 "" pkcs12 key.p12 pass.txt
}
put_unsigned() { cp unsigned.exe "$1/kronvel.exe"; }
edit_readme() { echo "changed" >>"$1/README.md"; }
faults=(
    "a flipped byte in the signed kronvel.exe|flip_code|signature;kronvel.exe (unsigned) against release/kronvel.exe.sha256;BUILDINFO.txt signed-sha256"
    "kronvel.exe swapped for another program, validly signed|resign_other|kronvel.exe (unsigned) against release/kronvel.exe.sha256;BUILDINFO.txt sha256;BUILDINFO.txt signed-sha256"
    "kronvel.exe swapped for the unsigned build|put_unsigned|BUILDINFO.txt signed-sha256"
    "the zip changed after its sum was taken|edit_readme|the zip's SHA-256"
)
for fault in "${faults[@]}"; do
    IFS='|' read -r what plant expected <<<"$fault"
    rm -rf case && mkdir case && unzip -q "$zip" -d case/unpacked
    "$plant" "case/unpacked/$name"
    (cd case/unpacked && TZ=UTC zip -q -X -D "../$name.zip" "$name"/*)
    # A changed zip keeps its old sum only for the fault that is about the sum.
    if [[ $expected == "the zip's SHA-256" ]]; then cp "$zip.sha256" case/; else (cd case && sha256sum "$name.zip" >"$name.zip.sha256"); fi
    verify "case/$name.zip" && caught=0 || caught=1
    IFS=';' read -ra labels <<<"$expected"
    for label in "${labels[@]}"; do grep -qF "FAILED: $label:" verify.log || caught=0; done
    tail -n 1 verify.log | grep -q '^verdict: FAILED' || caught=0
    expect "$what: verify-release fails, naming $expected" [ "$caught" = 1 ]
done
exit $status
