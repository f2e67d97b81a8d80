#!/usr/bin/env bash
# The Windows tier: cross-builds the installer and the unit tests with MinGW-w64, checks that the
# .exe imports only system DLLs, runs the unit tests under wine, and runs end-to-end scenarios
# with the Windows installer under wine against the Linux tessaro-devsim over TCP, where the
# same expectations as the Linux build's hold byte for byte. Needs build/ (scripts/test.sh).
# The whole end-to-end suite: FULL_E2E=1 bash .ci/windows.sh (about 5 more minutes on 2 cores).
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)

if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null || ! command -v wine >/dev/null; then
  if [ "$(id -u)" != 0 ]; then
    echo "windows tier: needs g++-mingw-w64-x86-64-posix, mingw-w64 and wine64 (apt-get)" >&2
    exit 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++-mingw-w64-x86-64-posix mingw-w64 \
    wine64 wine >/dev/null
fi

ninja -C build make_payload tessaro-devsim test_e2e >/dev/null
# the page's API tests, where the page's server is built (its header packages installed)
web_tests=
ninja -C build -t targets all | grep -q '^test_web:' && web_tests=build/tests/test_web
[ -z "$web_tests" ] || ninja -C build test_web >/dev/null
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B build-win -G Ninja -DTESSARO_WERROR=ON -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARO_HOST_MAKE_PAYLOAD="$PWD/build/tools/make_payload" \
  "${launcher[@]}" >/dev/null

# one wine server for the whole run: ctest would otherwise wait on wine's background processes
export WINEPREFIX="$PWD/build-win/wineprefix" WINEDEBUG=-all
mkdir -p "$WINEPREFIX"
wineserver -k 2>/dev/null || true  # a server of this prefix left by an earlier run
wineserver -p
trap 'wineserver -k || true' EXIT
# the prefix's own services start now, not in the first test, whose output pipes they would hold
wineboot -i >/dev/null 2>&1 || true

ninja -C build-win >/dev/null
exe=build-win/installer/tessaro-installer.exe

# only DLLs that every Windows has
dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort)
echo "imports: $(echo $dlls)"
for d in $dlls; do
  case "$d" in
    kernel32.dll | msvcrt.dll | setupapi.dll | winusb.dll | ws2_32.dll) ;;
    *) echo "$exe imports $d, which is not a system DLL" >&2; exit 1 ;;
  esac
done

# the page's server, where its header packages are installed: static, system DLLs only
web=build-win/installer/tessaro-web.exe
if [ -f "$web" ]; then
  dlls=$(x86_64-w64-mingw32-objdump -p "$web" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort)
  echo "tessaro-web imports: $(echo $dlls)"
  for d in $dlls; do
    case "$d" in
      kernel32.dll | msvcrt.dll | ws2_32.dll | mswsock.dll | bcrypt.dll | shell32.dll) ;;
      *) echo "$web imports $d, which is not a system DLL" >&2; exit 1 ;;
    esac
  done
else
  echo "windows tier: tessaro-web.exe not built (libboost-dev and nlohmann-json3-dev missing)"
fi

ctest --test-dir build-win -j2 --output-on-failure

# left out: POSIX signals, closed descriptors and file kinds (FIFOs, device nodes, sockets,
# symbolic links), which have no Windows counterpart; a 3-second window that wine's start-up
# fills; the build of the loaders; a pseudo-terminal; devices held or refused through their
# Unix-domain sockets
skip='FlowSignals.*:FlowIdentify.ClosedStandardDescriptorIsNotTheDeviceLink'
skip+=':FlowRq3.PackageThatCannotBeInstalledNeverEndsAsDone'
skip+=':FlowBadInput.EntriesThatAreNoFilesAndAReadOnlyDirectory'
skip+=':UsbDiscovery.ADeviceThatIsNotTheBootloaderIsNeverTaken:LoaderDir*'
skip+=':ProgressOnTerminal.*:*/WaitHelp.*'
filter="UsbDiscovery.TheSerialArgumentChoosesTheDevice:UsbDiscovery.ADeviceThatGoesAwayMidExchangeEndsTheRun"
filter+=":UsbDiscovery.ADeviceThatAppearsLaterIsWaitedForOnce"
filter+=":FlowFamilyInstall.WholeChainFromOldestLoaderWithReconnectWaits:FlowRq3.*:DryRun.*"
[ "${FULL_E2E:-0}" = 1 ] && filter='*'
run_e2e() {
  TESSARO_TEST_LINK=tcp TESSARO_TEST_INSTALLER="$PWD/$exe" TESSARO_TEST_EMULATOR="$(command -v wine)" \
    build/tests/test_e2e --gtest_brief=1 --gtest_filter="$filter:-$skip"
}
# once, a run under wine ended at once with status 1 and no output (a wine start-up failure seen
# in one CI run of two, with the same build): a failed subset runs once more, and says so
if ! run_e2e; then
  echo "windows tier: the end-to-end subset failed under wine; running it once more" >&2
  run_e2e
fi

# tessaro-web.exe under wine, running tessaro-installer.exe beside it, against tessaro-devsim
# over TCP: every refused request, and installs on several devices at once
if [ -f "$web" ] && [ -n "$web_tests" ]; then
  TESSARO_TEST_LINK=tcp TESSARO_TEST_WEB="$PWD/$web" TESSARO_TEST_EMULATOR="$(command -v wine)" \
    "$web_tests" --gtest_brief=1 --gtest_filter='WebApi.*'
fi

echo "windows tier: $(($(date +%s) - start)) s"
