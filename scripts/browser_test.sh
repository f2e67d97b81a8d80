#!/usr/bin/env bash
# The page in a real browser: headless Chromium driven by tests/web/browser_test.py against
# tessaro-devsim (a whole install from loader 8.0, a package for another model, a failing
# device check), with a screenshot of each state in build/screenshots/. Installs chromium,
# chromium-driver, python3-selenium and a Chinese font (for the screenshots) from Debian when
# they are missing (as root); elsewhere it says that it is skipped and why, and exits 0.
set -euo pipefail
cd "$(dirname "$0")/.."

skip() { echo "browser tier SKIPPED: $*"; exit 0; }
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
need=()
if command -v dpkg-query >/dev/null; then
  for p in chromium chromium-driver python3-selenium fonts-wqy-microhei; do have "$p" || need+=("$p"); done
else
  skip "not a Debian system; it needs chromium, chromium-driver and python3-selenium"
fi
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "browser tier: installing ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq || skip "apt-get update failed"
    apt-get install -y -qq "${need[@]}" >/dev/null || skip "could not install ${need[*]}"
  else
    skip "${need[*]} missing (install them as root: apt-get install ${need[*]})"
  fi
fi

dir=${BUILD_DIR:-build}
BUILD_TARGETS="tessaro-installer tessaro-devsim tessaro-web make_sample_package" bash scripts/build.sh
[ -x "$dir/installer/tessaro-web" ] || skip "tessaro-web was not built (see scripts/setup.sh)"
rm -rf "$dir/screenshots"
# the system's own python3, which the Debian package of selenium serves
timeout 300 /usr/bin/python3 tests/web/browser_test.py "$PWD/$dir" "$PWD/$dir/screenshots"
