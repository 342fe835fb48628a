#!/usr/bin/env bash
# Runs the test bundle as a user runs it on Windows, and as CI does: unpacked
# into an empty folder outside the tree, run-tests.cmd called by its full path
# from a step's script that cmd /c runs elsewhere, with CI unset (so the runner
# itself must tell that no one double-clicked it, and not wait), in a fresh Wine
# prefix. For win32 the bundle is the one scripts/package packs from BUILD; for
# win64 (the test build, which is never packed) the same files of BUILD.
# unit_tests and exe_tests run the programs' tests in full; here the step runs
# a few of each (GTEST_FILTER), enough to show that both start from the bundle
# and that run-tests.cmd passes on their result. Passes when run-tests.cmd
# exits with 0 and both programs printed a summary of tests run, and then, in a
# copy of the bundle whose kronvel.exe is cut short (a planted fault), a test
# fails and run-tests.cmd exits with non-zero.
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

# Runs the bundle in folder $1 from a step of its own (a new file, which a
# guest has not cached); prints its output and run-tests.cmd's exit status.
step() {
    local script="$work/${1##*/}.cmd"
    printf 'set GTEST_FILTER=Services.*:Program.ShowsTheReadoutAndTheChoicesOfThisSystem\r\ncall "Z:%s\\run-tests.cmd"\r\n' \
        "${1//\//\\}" >"$script"
    status=0
    (cd "$work" && env -u CI "$root/scripts/wine-prefix" run "$arch" "$work/prefix" cmd /d /c "Z:${script//\//\\}") \
        >"$work/out.txt" 2>&1 || status=$?
    tr -d '\r' <"$work/out.txt" | tee "$work/out"
    echo "run-tests.cmd exited with $status"
}

step "$bundle"
summaries=$(grep -cE '^\[==========\] [1-9][0-9]* tests? from .* ran\.' "$work/out" || true)
echo "summaries of tests run: $summaries of 2"
[ "$status" -eq 0 ] && [ "$summaries" -eq 2 ] || exit 1
echo "with a planted fault, kronvel.exe cut short:"
cp -r "$bundle" "$work/faulty"
truncate -s 4096 "$work/faulty/kronvel.exe"
step "$work/faulty"
if ! grep -q '^\[  FAILED  \]' "$work/out" || [ "$status" -eq 0 ]; then
    echo "with the planted fault, no test failed or run-tests.cmd exited with 0"
    exit 1
fi
