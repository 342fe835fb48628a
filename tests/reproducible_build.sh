#!/usr/bin/env bash
# Builds kronvel.exe again, from a copy of the source tree in a folder of
# another name, and checks that it is BUILD/kronvel.exe to the byte. Works from
# a git work tree (the files git would commit) and from a plain source tree
# such as an unpacked archive (everything but build/ and dist/).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
src="$work/another-source-folder"
mkdir "$src"
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$root" ls-files -z --cached --others --exclude-standard | (cd "$root" && xargs -0 cp --parents -t "$src")
else
    tar -C "$root" --exclude=./build --exclude=./dist --exclude=./.git -cf - . | tar -C "$src" -xf -
fi
cmake -S "$src" -B "$src/out" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-i686.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$src/out" --target kronvel -j 2 >/dev/null
sha256sum "$build/kronvel.exe" "$src/out/kronvel.exe" | sed "s|$work/||"
cmp "$build/kronvel.exe" "$src/out/kronvel.exe" ||
    { echo "not reproducible: the two builds differ (diffoscope FILE1 FILE2 shows where, in PE terms)"; exit 1; }
echo "reproducible: both builds are identical"
