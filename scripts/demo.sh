#!/usr/bin/env bash
# The main job, end to end: builds what it needs (the two programs and the package maker, in
# build-demo/, without the tests, benchmarks and fuzz targets), makes a sample package of both
# systems in a temporary directory, starts a simulated VRX3 device whose loader is the oldest
# the chain takes ("8.0"), installs the package on it unattended and shows what the device
# received: every loader stage with its reboot, the configuration blocks, the partition tables,
# each package file with its checks, the system-type marker and the final reboot. Run it from
# anywhere; as root on Debian/Ubuntu the build installs what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/sim_session.sh
build_demo tessaro-installer tessaro-devsim make_sample_package
start_session demo "$installer" "$devsim" "$maker"

section() { printf '\n==== %s\n' "$1"; }

section "sample package (model vrx3, native and second system)"
"$maker" "$work/package" --model vrx3 --native --second --size 256K --seed 7

section "simulated VRX3 device"
serial=067A0DEMO0001
"$devsim" --dir "$work/sockets" --transcript "$work/transcript.jsonl" \
  --storage "$work/storage" \
  --device vrx3 --serial "$serial" --var product=VRX3 --var verflag=8.0 --var bootmode=main --var systype=sing \
  >"$work/devsim.out" 2>"$work/devsim.err" &
devsim_pid=$!
wait_ready demo 100
echo "device 'vrx3', serial $serial, loader 8.0, sockets in $work/sockets"

section "tessaro-installer 1 2 (reboot at the end, unattended: both systems, user data wiped)"
# Under a UTF-8 locale the Chinese texts reach the terminal as UTF-8; a wrapper program reading
# the output under another locale gets GBK.
status=0
(cd "$work/package" && TESSARO_DEVSIM_DIR="$work/sockets" LC_ALL=C.UTF-8 "$installer" 1 2) ||
  status=$?
printf '\n'
echo "exit status: $status"

section "what the device saw (transcript)"
# one JSON object per line; the commands, the answers, the data phases and the reboots
sed -n \
  -e 's/.*"ev":"command","text":"\(.*\)"}$/  > \1/p' \
  -e 's/.*"ev":"answer","text":"\(.*\)"}$/  < \1/p' \
  -e 's/.*"ev":"data","bytes":\([0-9]*\).*/    (\1 bytes of data)/p' \
  -e 's/.*"ev":"reboot".*/  ** reboot/p' \
  "$work/transcript.jsonl"

section "what was written"
for part in "$work/storage"/vrx3/*; do
  [ -f "$part" ] || continue
  name=$(basename "$part")
  from="(an embedded image: loader, configuration block or partition table)"
  for f in "$work/package"/*.bin; do
    if cmp -s "$part" "$f"; then from="= $(basename "$f")"; fi
  done
  printf '  %-10s %9d bytes %s\n' "$name" "$(wc -c < "$part" | tr -d " ")" "$from"
done

kill "$devsim_pid" 2>/dev/null || true
wait "$devsim_pid" 2>/dev/null || true
devsim_pid=
exit "$status"
