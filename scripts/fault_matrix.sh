#!/usr/bin/env bash
# The fault matrix: builds (scripts/build.sh), then runs every road's whole install once clean
# and once per (exchange × fault) cell against tessaro-devsim, and prints per road the cells
# tried, the claimed successes, wrong claims, crashes and hangs, and any cell that breaks the
# rule. Arguments go to the runner: --fast (the CI subset), --road TEXT, --jobs N, --verbose.
# Exit status 1 when a cell breaks the rule.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh >/dev/null
exec "${BUILD_DIR:-build}/tests/fault_matrix" "$@"
