#!/usr/bin/env bash
# Packs the build in BUILD twice, under umask 022 and under umask 002, and
# checks that the two zips are the same to the byte and hold the expected
# entries, in order, with the set permissions.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for mask in 022 002; do
    (umask "$mask" && "$root/scripts/package" --no-build --unrecorded --build "$1" --out "$work/$mask" >/dev/null)
done
zips=("$work"/022/kronvel-*-win32.zip "$work"/002/kronvel-*-win32.zip)
sha256sum "${zips[@]}" | sed "s|$work/||"
cmp "${zips[@]}" || { echo "not reproducible: the zips packed under umask 022 and 002 differ"; exit 1; }

name=$(basename "${zips[0]}" .zip)
listing=$(zipinfo "${zips[0]}" | awk '$1 ~ /^-/ { print $1, $NF }')
expected="-rwxr-xr-x $name/kronvel.exe
-rw-r--r-- $name/BUILDINFO.txt
-rw-r--r-- $name/README.md
-rw-r--r-- $name/LICENSE
-rw-r--r-- $name/THIRD-PARTY-NOTICES.txt"
[ "$listing" = "$expected" ] || { diff <(echo "$expected") <(echo "$listing"); echo "entries differ (above: < expected)"; exit 1; }
echo "reproducible: both packings are identical; entries and permissions as set"
