#!/usr/bin/env bash
# Configures and builds into build/ (or $BUILD_DIR), with extra CMake arguments passed through.
# Warnings fail the build here (TESSARO_WERROR); a plain cmake build only shows them. Uses
# ccache when it is installed.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
dir=${BUILD_DIR:-build}

# A build directory made from another checkout, or with another generator, cannot be reused:
# say so and how to get out, instead of CMake's own error
if [ -f "$dir/CMakeCache.txt" ]; then
  home=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$dir/CMakeCache.txt")
  generator=$(sed -n 's/^CMAKE_GENERATOR:INTERNAL=//p' "$dir/CMakeCache.txt")
  why=
  if [ -n "$home" ] && [ "$(cd "$home" 2>/dev/null && pwd -P)" != "$(pwd -P)" ]; then
    why="it was configured for the source tree $home"
  elif [ -n "$generator" ] && [ "$generator" != Ninja ]; then
    why="it was configured with the generator \"$generator\", and these scripts use Ninja"
  fi
  if [ -n "$why" ]; then
    echo "build: $PWD/$dir cannot be used: $why." >&2
    echo "Remove it (rm -rf $dir) and run the command again, or build elsewhere: put" \
      "BUILD_DIR=other-dir in front of the command" >&2
    exit 1
  fi
fi

launcher=()
if command -v ccache >/dev/null; then
  # paths relative to the checkout and no working directory in the key: a fresh clone elsewhere
  # reuses what an earlier one compiled
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD} CCACHE_NOHASHDIR=1
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} -DTESSARO_WERROR=ON \
  "${launcher[@]}" "$@" >/dev/null
ninja -C "$dir" ${BUILD_TARGETS:-}
