#!/usr/bin/env bash
# Runs the test bundle as CI does: unpacked into an empty folder outside the
# tree, run-tests.cmd called by its full path from a step's script that cmd /c
# runs elsewhere, with CI unset (so the runner itself must tell that no one
# double-clicked it, and not wait), in a fresh Wine prefix. For win32 the bundle
# is the one scripts/package packs from BUILD; for win64 (the test build, which
# is never packed) the same files of BUILD.
# Passes when run-tests.cmd exits with 0 and both programs printed their
# summaries.
#
# Usage: tests/bundle_test.sh BUILD win32|win64   (exit 0 pass, 1 fail, 77 skip)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd) arch=$2
work=$(mktemp -d)
trap '"$root/scripts/wine-prefix" stop "$arch" "$work/prefix"; rm -rf "$work"' EXIT
mkdir "$work/empty"
if [ "$arch" = win32 ]; then
    "$root/scripts/package" --no-build --unrecorded --build "$build" --out "$work/dist" >/dev/null
    python3 -m zipfile -e "$work"/dist/kronvel-*-win32-tests.zip "$work/empty"
else
    mkdir "$work/empty/bundle"
    cp "$build/kronvel.exe" "$build/tests/unit_tests.exe" "$build/tests/exe_tests.exe" "$root/tests/run-tests.cmd" \
        "$work/empty/bundle/"
fi
bundle=$(dirname "$(find "$work/empty" -name run-tests.cmd)")
echo "bundle: $(find "$bundle" -type f -printf "%f\n" | sort | paste -sd " ")"
"$root/scripts/wine-prefix" start "$arch" "$work/prefix"
printf 'call "Z:%s\\run-tests.cmd"\r\n' "${bundle//\//\\}" >"$work/step.cmd"
status=0
(cd "$work" && env -u CI "$root/scripts/wine-prefix" run "$arch" "$work/prefix" cmd /d /c "Z:${work//\//\\}\\step.cmd") \
    >"$work/out.txt" 2>&1 || status=$?
tr -d '\r' <"$work/out.txt"
summaries=$(tr -d '\r' <"$work/out.txt" | grep -c '^\[==========\] .* ran\.' || true)
echo "run-tests.cmd exited with $status; summaries printed: $summaries of 2"
[ "$status" -eq 0 ] && [ "$summaries" -eq 2 ]
