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
# A file clang-tidy passed is not checked again while nothing it is checked with has changed: its
# text, every header of the project, its compile command, .clang-tidy and clang-tidy itself. The
# marks live outside the checkout (as ccache's objects do), so a fresh clone of checked sources
# takes seconds; TIDY_CACHE= (empty) checks every file.
cache=${TIDY_CACHE-${XDG_CACHE_HOME:-$HOME/.cache}/tessaro-tidy}
# the Windows-only sources are not in this host's compile commands (the Windows tier builds them
# with -Werror); clang-format below still covers them
mapfile -d '' files < <(git ls-files -z '*.cpp' | grep -zv '^\(tests\|fuzz\|bench\)/' |
  grep -zv '\(_win\|usb_winusb\)\.cpp$')
declare -A key_of=()
if [ -n "$cache" ]; then
  mkdir -p "$cache"
  # (the generators' sources too: what they write into the build is included like a header)
  shared=$( { "$tidy" --version; cat .clang-tidy; git ls-files -z '*.h' 'tools/*' 'payload/*' |
    xargs -0 cat; } | sha256sum)
  while IFS=$'\t' read -r file command; do
    key_of[$file]=$(printf '%s\n%s\n' "$shared" "$command" | cat - "$file" | sha256sum | cut -c1-40)
  done < <(python3 - "$build/compile_commands.json" "$PWD" <<'PY'
import json, sys
root = sys.argv[2].rstrip('/') + '/'
for entry in json.load(open(sys.argv[1])):
    path = entry['file']
    if not path.startswith(root):
        continue
    command = entry.get('command') or ' '.join(entry.get('arguments', []))
    # the checkout's path, with or without its slash (-I/checkout), is the same in every clone
    print(path[len(root):] + '\t' + command.replace(root, './').replace(root[:-1], '.'))
PY
  )
fi
todo=()
for f in "${files[@]}"; do
  k=${key_of[$f]:-}
  if [ -n "$k" ] && [ -e "$cache/$k" ]; then continue; fi
  todo+=("$f")
done
echo "tidy: ${#todo[@]} of ${#files[@]} files to check (the others passed unchanged before)"
if [ ${#todo[@]} -gt 0 ]; then
  printf '%s\0' "${todo[@]}" |
    xargs -0 -P2 -n4 "$tidy" -p "$build" --quiet --warnings-as-errors='*' >"$log" 2>&1 || status=1
fi
# the summary lines ("N warnings generated") are noise; findings name a file and a check
grep -v '^[0-9]* warnings\? \(and [0-9]* errors\? \)\?generated\.$' "$log" || true
if [ "$status" -ne 0 ] || grep -q ': \(warning\|error\): ' "$log"; then
  echo "tidy: clang-tidy found problems" >&2
  exit 1
fi
for f in "${todo[@]}"; do
  k=${key_of[$f]:-}
  [ -n "$k" ] && : >"$cache/$k"
done
echo "tidy: clang-tidy clean"

if ! git ls-files -z '*.cpp' '*.h' | xargs -0 "$format" --dry-run --Werror; then
  echo "tidy: files above are not clang-formatted (clang-format -i FILE)" >&2
  exit 1
fi
echo "tidy: clang-format clean"
