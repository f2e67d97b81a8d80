#!/usr/bin/env bash
# Builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh "$@"
dir=${BUILD_DIR:-build}
# CTEST_ARGS: more for ctest, split at spaces (CI's quick sanitizer run leaves some tests out
# with -E)
read -r -a extra <<<"${CTEST_ARGS:-}"
ctest --test-dir "$dir" --output-on-failure -j2 --timeout 300 "${extra[@]}"
