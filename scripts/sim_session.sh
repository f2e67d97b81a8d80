# Sourced by the scripts that run a whole install against a tessaro-devsim of their own (demo.sh,
# valgrind_install.sh): the programs' check, a work directory that goes away with the device,
# and the wait for the device's "ready". Each function takes the calling script's name for its
# messages.

# need_programs NAME PROGRAM...: every program must have been built
need_programs() {
  local who=$1 program
  shift
  for program in "$@"; do
    [ -x "$program" ] || { echo "$who: $program was not built" >&2; exit 1; }
  done
}

# start_session NAME: sets $work to a fresh directory; at exit the device started into
# $devsim_pid is stopped and the directory removed
start_session() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/tessaro-$1.XXXXXX")
  devsim_pid=
  trap session_cleanup EXIT
}
session_cleanup() {
  if [ -n "$devsim_pid" ]; then
    kill "$devsim_pid" 2>/dev/null || true
    wait "$devsim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}

# wait_ready NAME TENTHS [LOG...]: waits up to TENTHS tenths of a second for the device started
# into $devsim_pid to print "ready"; a device that exits first shows its standard error and LOGs
wait_ready() {
  local who=$1 tenths=$2
  shift 2
  for _ in $(seq "$tenths"); do
    grep -q ready "$work/devsim.out" 2>/dev/null && return 0
    kill -0 "$devsim_pid" 2>/dev/null || { cat "$work/devsim.err" "$@" >&2; exit 1; }
    sleep 0.1
  done
  grep -q ready "$work/devsim.out" || { echo "$who: the simulated device did not start" >&2; exit 1; }
}
