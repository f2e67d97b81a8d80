#!/usr/bin/env bash
# One whole install under valgrind, both programs: tessaro-devsim plays a VRX3 device at the
# oldest loader ("8.0") and tessaro-installer walks the loader chain, writes the partition tables
# and both systems' files, sets the markers and reboots it. Any memory error or definite leak in
# either program, or an install that does not end as done, fails the script.
# Uses an existing build (BUILD_DIR, default build/).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/sim_session.sh
session_programs "$PWD/${BUILD_DIR:-build}"
start_session valgrind_install "$installer" "$devsim" "$maker"

vg=(valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite)

"$maker" "$work/package" --model vrx3 --native --second --size 256K >/dev/null
"${vg[@]}" --log-file="$work/devsim.vg" "$devsim" --dir "$work/sockets" --storage "$work/storage" \
  --device vrx3 --serial 067A0VG0001 --var product=VRX3 --var verflag=8.0 --var bootmode=main \
  --var systype=sing >"$work/devsim.out" 2>"$work/devsim.err" &
devsim_pid=$!
wait_ready valgrind_install 300 "$work/devsim.vg"

status=0
(cd "$work/package" && TESSARO_DEVSIM_DIR="$work/sockets" LC_ALL=C.UTF-8 \
  "${vg[@]}" --log-file="$work/installer.vg" "$installer" 1 2) >"$work/out" 2>"$work/err" ||
  status=$?

kill -TERM "$devsim_pid"
devsim_status=0
wait "$devsim_pid" || devsim_status=$?
devsim_pid=

fail=0
if [ "$status" != 0 ] || ! grep -q '###完成！' "$work/out" || ! grep -q '###All Done.' "$work/out"; then
  echo "valgrind_install: the install did not end as done (exit $status)" >&2
  cat "$work/out" "$work/err" >&2
  fail=1
fi
for who in installer devsim; do
  if [ -s "$work/$who.vg" ]; then
    echo "valgrind_install: valgrind reports on $who:" >&2
    cat "$work/$who.vg" >&2
    fail=1
  fi
done
if [ "$devsim_status" != 0 ]; then
  echo "valgrind_install: tessaro-devsim ended with status $devsim_status" >&2
  fail=1
fi
[ "$fail" = 0 ] && echo "valgrind: one whole install, installer and device, no error and no definite leak"
exit "$fail"
