#!/usr/bin/env bash
# Installs what building and testing need on Debian/Ubuntu when run as root; elsewhere says
# what is missing. Quiet when everything is already there.
set -euo pipefail

# ccache: CI builds the tree several times (plain, sanitizers, release, fuzz); it keeps that
# within CI's time. zlib1g-dev only for bench/crc_speed, which measures the CRC-32 against
# zlib's; the installer does not link it. libboost-dev (Beast over Asio) and nlohmann-json3-dev
# only for the local page's server, tessaro-web: the installer keeps its few dependencies
packages=(build-essential cmake ninja-build pkg-config libusb-1.0-0-dev
          libgtest-dev libgmock-dev ccache zlib1g-dev libboost-dev nlohmann-json3-dev)
need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
if command -v dpkg-query >/dev/null; then
  for p in "${packages[@]}"; do have "$p" || need+=("$p"); done
else
  for c in cmake ninja pkg-config c++; do command -v "$c" >/dev/null || need+=("$c"); done
  pkg-config --exists libusb-1.0 2>/dev/null || need+=("libusb-1.0 (with its pkg-config file)")
fi
[ ${#need[@]} -eq 0 ] && exit 0

if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  echo "installing: ${need[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${packages[@]}" >/dev/null
else
  echo "missing: ${need[*]}" >&2
  echo "install them (on Debian/Ubuntu: sudo apt-get install ${packages[*]}), then run this again" >&2
  exit 1
fi
