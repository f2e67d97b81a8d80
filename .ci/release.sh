#!/usr/bin/env bash
# Release builds as a packager makes them: with GCC and with Clang (programs and tests; any
# warning fails), the install run once against the GCC build, then the Debian package: built,
# checked by lintian, unpacked into a scratch root and its tessaro-installer run from there.
# Prints its wall time at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)

as_root_install() {
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
  fi
}
command -v clang++ >/dev/null || as_root_install clang
command -v lintian >/dev/null || as_root_install lintian
bash scripts/setup.sh

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
release_build() {
  local dir=$1 compiler=$2
  echo "release: $compiler into $dir"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$compiler" \
    -DTESSARO_WERROR=ON -DTESSARO_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
  ninja -C "$dir" >"$dir.log" 2>&1 || { cat "$dir.log" >&2; exit 1; }
}
release_build build-release-gcc g++
# CI's quick run leaves Clang's Release build to the whole run (FULL=1 .ci/run): its warnings are
# the sanitizer build's and clang-tidy's there
[ "${RELEASE_CLANG:-1}" = 1 ] && release_build build-release-clang clang++

# the main job's install, end to end, against the optimised programs (with the trace read back)
LC_ALL=C build-release-gcc/tests/test_e2e --gtest_brief=1 --gtest_filter='Trace.*'

(cd build-release-gcc && cpack -G DEB >/dev/null)
deb=$(ls build-release-gcc/tessaro-installer_*.deb)
echo "release: $deb"
dpkg-deb --info "$deb" | sed -n 's/^ Depends:/  depends:/p'
lintian --fail-on error "$deb"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
for f in usr/bin/tessaro-installer usr/bin/tessaro-devsim usr/lib/udev/rules.d/70-tessaro.rules \
         usr/share/man/man1/tessaro-installer.1.gz usr/share/man/man1/tessaro-devsim.1.gz; do
  [ -e "$root/$f" ] || { echo "release: the package lacks /$f" >&2; exit 1; }
done
"$root/usr/bin/tessaro-installer" --version

echo "release: done in $(($(date +%s) - started)) s"
