#!/usr/bin/env bash
# Records the runs of tests/web/records/causes/ (the installer's bytes under LC_ALL=C, as the
# end-to-end tests keep theirs): one failure of each cause that no other recording holds, each on
# a simulated VRX3. Usage: tests/web/record_causes.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
out=$(cd "$(dirname "$0")" && pwd)/records/causes
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"
"$build/tools/make_sample_package" "$work/pkg" --model vrx3 --native --second --size 64K --seed 3 >/dev/null
cp -r "$work/pkg" "$work/damaged"
printf 'x' | dd of="$work/damaged/kernel.bin" bs=1 seek=100 conv=notrunc 2>/dev/null

# record NAME PACKAGE CHOICE DEVSIM-ARGUMENTS...
record() {
  local name=$1 pkg=$2 choice=$3
  shift 3
  "$build/devsim/tessaro-devsim" --dir "$work/$name" --device d --serial 067A0CAUSE --var product=VRX3 \
    --var bootmode=main --var systype=sing "$@" >"$work/$name.ready" &
  local pid=$!
  until grep -q ready "$work/$name.ready" 2>/dev/null; do sleep 0.1; done
  local status=0
  (cd "$work/$pkg" && printf '%s\n' "$choice" | TESSARO_DEVSIM_DIR="$work/$name" LC_ALL=C \
    "$build/installer/tessaro-installer" 1 -1 >"$out/$name.out" 2>"$out/$name.err") || status=$?
  printf 'arg 1\narg -1\ninput %s\nstatus %s\n' "$choice" "$status" >"$out/$name.meta"
  kill "$pid"
  wait "$pid" || true
}
record loader_8_5 pkg 5 --var verflag=8.5
record refused_check pkg 4 --var verflag=Z07 --fault 'check:*kernel*=fail:crc mismatch'
record refused_table pkg 4 --var verflag=Z07 --fault 'check:*=fail:crc mismatch'
record refused_write pkg 4 --var verflag=Z07 --fault 'flash:*system*=fail'
record damaged_kernel damaged 4 --var verflag=Z07
record gone_in_system pkg 4 --var verflag=Z07 --fault 'download:*#2=vanish:data:1000'
