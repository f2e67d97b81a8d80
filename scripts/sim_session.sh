# Sourced by the scripts that run installs against a tessaro-devsim of their own (demo.sh,
# demo_web.sh, valgrind_install.sh), from the checkout's root: the programs' paths and their
# build, the programs' check, a work directory that goes away with the device, and the wait for
# the device's "ready". Each function that may fail takes the calling script's name for its
# messages.

# session_programs BUILD: sets $installer, $web, $devsim and $maker to the programs in the build
# directory BUILD
session_programs() {
  installer=$1/installer/tessaro-installer
  web=$1/installer/tessaro-web
  devsim=$1/devsim/tessaro-devsim
  maker=$1/tools/make_sample_package
}

# build_demo TARGET...: builds only the TARGETs, into $BUILD_DIR (default build-demo/) without
# the tests, benchmarks and fuzz targets, and sets the programs' paths there (session_programs)
build_demo() {
  export BUILD_DIR=${BUILD_DIR:-build-demo}
  BUILD_TARGETS="$*" bash scripts/build.sh -DTESSARO_BUILD_TESTS=OFF -DTESSARO_BUILD_BENCH=OFF
  session_programs "$PWD/$BUILD_DIR"
}

# start_session NAME PROGRAM...: every PROGRAM must have been built; sets $work to a fresh
# directory; at exit the device started into $devsim_pid is stopped and the directory removed
start_session() {
  local who=$1 program
  shift
  for program in "$@"; do
    [ -x "$program" ] || { echo "$who: $program was not built" >&2; exit 1; }
  done
  work=$(mktemp -d "${TMPDIR:-/tmp}/tessaro-$who.XXXXXX")
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
