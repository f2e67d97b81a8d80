#!/usr/bin/env bash
# clang-tidy over the project's own sources (not the tests, fuzz targets or benchmarks) with the
# checks of .clang-tidy, then clang-format over every tracked source: any warning or any file
# that is not formatted fails. Needs BUILD_DIR (default build) to hold compile_commands.json.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
tidy=${CLANG_TIDY:-clang-tidy}
format=${CLANG_FORMAT:-clang-format}

# installed when missing and run as root (Debian's clang-tidy and clang-format, version 14)
if { ! command -v "$tidy" >/dev/null || ! command -v "$format" >/dev/null; } && [ "$(id -u)" = 0 ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-tidy clang-format >/dev/null
fi

if [ ! -f "$build/compile_commands.json" ]; then
  echo "tidy: $build/compile_commands.json is missing; build first (scripts/build.sh)" >&2
  exit 1
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
# the Windows-only sources are not in this host's compile commands (the Windows tier builds them
# with -Werror); clang-format below still covers them
git ls-files -z '*.cpp' | grep -zv '^\(tests\|fuzz\|bench\)/' | grep -zv '\(_win\|usb_winusb\)\.cpp$' |
  xargs -0 -P2 -n4 "$tidy" -p "$build" --quiet --warnings-as-errors='*' >"$log" 2>&1 || status=1
# the summary lines ("N warnings generated") are noise; findings name a file and a check
grep -v '^[0-9]* warnings\? \(and [0-9]* errors\? \)\?generated\.$' "$log" || true
if [ "$status" -ne 0 ] || grep -q ': \(warning\|error\): ' "$log"; then
  echo "tidy: clang-tidy found problems" >&2
  exit 1
fi
echo "tidy: clang-tidy clean"

if ! git ls-files -z '*.cpp' '*.h' | xargs -0 "$format" --dry-run --Werror; then
  echo "tidy: files above are not clang-formatted (clang-format -i FILE)" >&2
  exit 1
fi
echo "tidy: clang-format clean"
