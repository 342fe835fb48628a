#!/usr/bin/env bash
# Runs shellcheck on every shell script of the project, where it is installed.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v shellcheck >/dev/null || { echo "kronvel: skipped: shellcheck is not installed (package shellcheck)"; exit 77; }
mapfile -t scripts < <(grep -lsE '^#!/usr/bin/env (ba)?sh' scripts/* bench/* tests/* .ci/*)
shellcheck "${scripts[@]}"
echo "shellcheck: ${#scripts[@]} scripts, no findings"
