#!/usr/bin/env bash
# CI tier: the installer program with its libusb backend against the simulated bootloader behind
# an emulated usbfs (umockdev), compared with the same runs over the simulated link. Installs
# umockdev when it is missing and this runs as root; says plainly that the tier was skipped when
# umockdev cannot be had.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${BUILD_DIR:-build}

have_umockdev() {
  pkg-config --exists umockdev-1.0 && command -v umockdev-wrapper >/dev/null
}
if ! have_umockdev && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq umockdev libumockdev-dev >/dev/null ||
    true
fi
if ! have_umockdev; then
  echo "umockdev tier SKIPPED: umockdev and libumockdev-dev are not installed (and could not be)"
  exit 0
fi

start=$(date +%s)
cmake -S . -B "$dir" -G Ninja >/dev/null
ninja -C "$dir" test_umockdev >/dev/null
"$dir/tests/test_umockdev" --gtest_brief=1
echo "umockdev tier: passed in $(($(date +%s) - start)) s"
