#!/usr/bin/env bash
# Configures and builds into build/ (or $BUILD_DIR), with extra CMake arguments passed through.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
dir=${BUILD_DIR:-build}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} "$@" >/dev/null
ninja -C "$dir"
