#!/usr/bin/env bash
# The page, to try by hand: builds what it needs (in build-demo/, without the tests, benchmarks
# and fuzz targets), makes a sample package of both systems for the VRX3 in a temporary
# directory, starts tessaro-devsim with two simulated devices of different models (a VRX3 4GB
# whose loader is the oldest the chain takes, "8.0", and a VRX3 32GB, model code 13G, with a
# current loader), then starts tessaro-web on that package and opens the page in the default
# browser. Ctrl+C stops it (after any install that still runs) and removes the devices.
# Extra arguments go to tessaro-web (--no-browser, --port N).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/sim_session.sh
build_demo tessaro-installer tessaro-devsim tessaro-web make_sample_package
start_session demo_web "$installer" "$web" "$devsim" "$maker"

"$maker" "$work/package" --model vrx3 --native --second --size 256K --seed 7 >/dev/null
"$devsim" --dir "$work/sockets" --transcript "$work/transcript.jsonl" --storage "$work/storage" \
  --device vrx3-4gb --serial 067A0DEMO0001 --var product=VRX3 --var verflag=8.0 \
  --var bootmode=main --var systype=sing \
  --device vrx3-32gb --serial 13G0DEMO0002 --var product=VRX3 --var verflag=Z07 \
  --var bootmode=main --var systype=tess \
  >"$work/devsim.out" 2>"$work/devsim.err" &
devsim_pid=$!
wait_ready demo_web 100
echo "simulated devices: 067A0DEMO0001 (VRX3 4GB, loader 8.0), 13G0DEMO0002 (VRX3 32GB, loader Z07)"
echo "package: $work/package; what the devices saw: $work/transcript.jsonl"

# the page's installs reach the simulated devices only
TESSARO_DEVSIM_DIR="$work/sockets" "$web" "$@" "$work/package" || true
