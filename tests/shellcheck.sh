#!/usr/bin/env bash
# Runs shellcheck on every shell script of the project, where it is installed.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v shellcheck >/dev/null || { echo "kronvel: skipped: shellcheck is not installed (package shellcheck)"; exit 77; }
scripts=()
for file in scripts/* tests/*.sh .ci/run; do # the shell ones, by their first line
    head -n 1 "$file" | grep -qE '^#!.*sh$|shell=bash' && scripts+=("$file")
done
shellcheck "${scripts[@]}"
echo "shellcheck: ${#scripts[@]} scripts, no findings"
