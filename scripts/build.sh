#!/usr/bin/env bash
# Configures and builds into build/ (or $BUILD_DIR), with extra CMake arguments passed through.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
dir=${BUILD_DIR:-build}
launcher=()
if command -v ccache >/dev/null; then
  # paths relative to the checkout and no working directory in the key: a fresh clone elsewhere
  # reuses what an earlier one compiled
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD} CCACHE_NOHASHDIR=1
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} "${launcher[@]}" "$@" >/dev/null
ninja -C "$dir"
