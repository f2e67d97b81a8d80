#!/usr/bin/env bash
# Every benchmark of bench/, RUNS times each (default 3), gathered into one table: for each
# figure our value and the reference measured in the same run, each as the median and the
# min-max over the runs, their ratio and the target. Large files go to bench-tmp/ (removed at
# the end). Benchmarks print; nothing here is a test.
#   RUNS=5 bash scripts/bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-3}
build=${BUILD_DIR:-build}

bash scripts/setup.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
progs=(crc_speed install_speed flash_file_memory eight_devices dry_run_speed)
# the page's server under eight installs, where it is built (its header packages installed)
ninja -C "$build" -t targets all | grep -q '^web_eight:' && progs+=(web_eight)
ninja -C "$build" "${progs[@]}" >/dev/null

tmp=bench-tmp
mkdir -p "$tmp"
rows=$(mktemp)
trap 'rm -f "$rows"; rm -rf "$tmp"' EXIT

for run in $(seq "$runs"); do
  echo "run $run of $runs" >&2
  for prog in crc_speed install_speed flash_file_memory "flash_file_memory --sparse" eight_devices \
              dry_run_speed ${progs[5]:-}; do
    set -- $prog
    "$build/bench/$1" "$tmp" "${@:2}" 2>/dev/null | grep '^ROW|' >>"$rows" ||
      echo "$prog failed in run $run" >&2
  done
done

echo
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), load $(cut -d' ' -f1-3 /proc/loadavg); $runs runs: median (min-max)"
echo
awk -F'|' '
  function sorted(list, n,   i, j, t) {
    for (i = 2; i <= n; i++)
      for (j = i; j > 1 && list[j-1] > list[j]; j--) { t = list[j]; list[j] = list[j-1]; list[j-1] = t }
  }
  function stat(key, n,   v, i) {
    for (i = 1; i <= n; i++) v[i] = vals[key, i]
    sorted(v, n)
    return sprintf("%.4g (%.4g-%.4g)", (n % 2) ? v[(n+1)/2] : (v[n/2] + v[n/2+1]) / 2, v[1], v[n])
  }
  {
    f = $2
    if (!(f in count)) { order[++figures] = f; target[f] = $6; unit[f] = $7 }
    n = ++count[f]
    vals[f "|ours", n] = $3; vals[f "|ref", n] = $4; vals[f "|ratio", n] = $5
  }
  END {
    print "| figure | ours | reference | ratio | target | unit |"
    print "|---|---|---|---|---|---|"
    for (i = 1; i <= figures; i++) {
      f = order[i]; n = count[f]
      printf "| %s | %s | %s | %s | %s | %s |\n", f, stat(f "|ours", n), stat(f "|ref", n),
             stat(f "|ratio", n), target[f], unit[f]
    }
  }' "$rows"
