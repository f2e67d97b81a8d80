#!/usr/bin/env bash
# CI tier: the installer program, unmodified (libusb backend, no TESSARO_DEVSIM_DIR), in a QEMU
# guest with a real xHCI controller, the guest kernel's USB stack and usbfs, against the
# simulated bootloader redirected into the guest (tests/usbredir/devsim_usbredir). A listing and
# two runs in one boot:
#   list    --list with two readers on the bus: each is claimed for its queries, neither reset
#   switch  the storage-variant switch and both systems: a reboot in the middle of the install,
#           after which the device is a new device on the guest's bus, a reboot at the end, and
#           one image (20 MiB) larger than usbfs takes in one transfer; given the device's
#           SERIAL, with the other reader still on the bus, which is never reset
#   late    an RQ3 install started before the device is there ("< waiting for device >"), the
#           device plugged in a few seconds later, and one answer late past a read's timeout
# A keyboard sits on the same bus. Each is checked from the host against the same run over the simulated link: exit status,
# standard output and error (carried over the serial console), the device's transcript byte for
# byte and its partitions and variables. Installs what it needs when missing and run as root;
# says plainly that the tier was skipped when that cannot be.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${BUILD_DIR:-build}
start=$(date +%s)

kernel=$(find /boot -maxdepth 1 -name 'vmlinuz-*' | sort -V | tail -1)
missing() {
  local m=()
  command -v qemu-system-x86_64 >/dev/null || m+=(qemu-system-x86)
  [ -n "$kernel" ] || m+=(linux-image-amd64)
  { [ -x /bin/busybox ] && ! ldd /bin/busybox >/dev/null 2>&1; } || m+=(busybox-static)
  pkg-config --exists libusbredirparser-0.5 || m+=(libusbredirparser-dev)
  command -v cpio >/dev/null || m+=(cpio)
  echo "${m[*]}"
}
need=$(missing)
if [ -n "$need" ] && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  echo "qemu tier: installing $need"
  # shellcheck disable=SC2086,SC2015 # a failed install is reported as a skip below
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    --no-install-recommends $need >/dev/null || true
  kernel=$(find /boot -maxdepth 1 -name 'vmlinuz-*' | sort -V | tail -1)
  need=$(missing)
fi
if [ -n "$need" ]; then
  echo "qemu tier SKIPPED: missing $need (and could not be installed)"
  exit 0
fi
kver=${kernel#/boot/vmlinuz-}

cmake -S . -B "$dir" -G Ninja >/dev/null
ninja -C "$dir" tessaro-installer tessaro-devsim make_sample_package devsim_usbredir >/dev/null
built=$(date +%s)

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# the two devices, as tessaro-devsim options, and what the installer is run with
dev_switch=(--device d --serial 13GA0001 --var product=VRX3 --var verflag=Z07 --var bootmode=main
            --var systype=sing --respcb-serial '000=067A0001')
args_switch=(1 2 13GA0001)
# the reader beside it, through the listing and the switch run
dev_idle=(--device idle --serial 13GA0002 --var product=VRX3 --var verflag=Z07)
# (its first answer comes after the read's timeout: the guest cancels that transfer and asks
# again)
dev_late=(--device rq3 --serial P00118E2E0001 --var product=RQ3 --var verflag=Z05
          --fault getvar:serialno=silence:1500)
args_late=(1 1)
late_ms=4000

"$dir/tools/make_sample_package" "$work/pkg/switch" --model vrx3 --native --second \
  --file ver4g.bin --size 64K --size-of esystem.bin=20M >/dev/null
"$dir/tools/make_sample_package" "$work/pkg/late" --size 16K >/dev/null

# --- the reference: the same runs over the simulated link, on the host ---
# the installer is run from the package directory
installer=$(cd "$dir/installer" && pwd)/tessaro-installer
reference() { # NAME APPEAR_MS ARGS... -- DEVICE OPTIONS...
  local name=$1 appear=$2 r=$work/ref/$1
  shift 2
  local args=()
  while [ "$1" != -- ]; do args+=("$1"); shift; done
  shift
  mkdir -p "$r"
  "$dir/devsim/tessaro-devsim" --dir "$r/sock" --transcript "$r/transcript.jsonl" \
    --storage "$r/storage" "$@" --appear-after "$appear" >"$r/devsim.out" &
  local sim=$!
  for _ in $(seq 100); do grep -q ready "$r/devsim.out" && break; sleep 0.1; done
  local st=0
  (cd "$work/pkg/$name" && LC_ALL=C TESSARO_DEVSIM_DIR="$r/sock" \
    "$installer" "${args[@]}" >"$r/out" 2>"$r/err") || st=$?
  echo "$st" >"$r/status"
  kill "$sim"
  wait "$sim" || true
}
reference switch 0 "${args_switch[@]}" -- "${dev_switch[@]}"
reference late "$late_ms" "${args_late[@]}" -- "${dev_late[@]}"
referenced=$(date +%s)

# --- the guest: busybox, the xHCI modules, the installer with its libraries, the packages ---
root=$work/root
mkdir -p "$root"/{bin,dev,proc,sys,tmp,lib/modules}
cp /bin/busybox "$root/bin/busybox"
cp "$installer" "$root/bin/tessaro-installer"
for lib in $(ldd "$installer" | grep -o '/[^ ]*'); do cp --parents -L "$lib" "$root/"; done
# GBK output goes through iconv's loadable converter
gconv=$(dirname "$(find /usr/lib -name GBK.so -path '*gconv*' | head -1)")
mkdir -p "$root$gconv"
cp -r "$gconv"/GBK.so "$gconv"/gconv-modules* "$root$gconv/"
# the modules the controller needs, each after what it depends on (those built in have none)
order=()
add_module() {
  local module=$1 path dep
  path=$(modinfo -k "$kver" -n "$module" 2>/dev/null) || return 0
  case "$path" in /*) ;; *) return 0 ;; esac
  for dep in $(modinfo -k "$kver" -F depends "$module" | tr , ' '); do add_module "$dep"; done
  case " ${order[*]} " in *" $path "*) ;; *) order+=("$path") ;; esac
}
add_module xhci-pci
for m in "${order[@]}"; do
  cp "$m" "$root/lib/modules/"
  echo "/lib/modules/$(basename "$m")" >>"$root/modules"
done
cp -r "$work/pkg" "$root/pkg"
cat >"$root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in $(cat /modules); do insmod "$m"; done
echo "@@ booted $(cut -d' ' -f1 /proc/uptime)"
report() { # NAME STATUS
  echo "@@ $1 status $2"
  echo "@@ $1 out"; base64 /tmp/out; echo "@@ end"
  echo "@@ $1 err"; base64 /tmp/err; echo "@@ end"
}
listed() { grep -l 18d1 /sys/bus/usb/devices/*/idVendor 2>/dev/null | wc -l; }

n=0; while [ "$(listed)" != 2 ] && [ $n -lt 300 ]; do sleep 0.1; n=$((n + 1)); done
st=0; timeout 60 tessaro-installer --list >/tmp/out 2>/tmp/err || st=$?
report list $st
echo "@@ listed"

cd /pkg/switch
st=0; timeout 90 tessaro-installer 1 2 13GA0001 >/tmp/out 2>/tmp/err || st=$?
report switch $st
echo "@@ vendors $(cat /sys/bus/usb/devices/*/idVendor | tr '\n' ' ')"

# the host takes the first device away now; the next install starts with none there
echo "@@ unplug"
n=0; while [ "$(listed)" != 0 ] && [ $n -lt 300 ]; do sleep 0.1; n=$((n + 1)); done
cd /pkg/late
echo "@@ late started"
st=0; timeout 90 tessaro-installer 1 1 >/tmp/out 2>/tmp/err || st=$?
report late $st
echo "@@ done"
poweroff -f
EOF
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"

# --- boot, with each device's adapter on its own usb-redir socket ---
log=$work/console.log
qemu-system-x86_64 -machine q35 -nographic -m 512 -no-reboot \
  -kernel "$kernel" -initrd "$work/initrd.gz" -append "console=ttyS0 quiet panic=-1" \
  -device qemu-xhci,id=xhci -device usb-kbd,bus=xhci.0 \
  -chardev socket,id=switch,path="$work/switch.sock",server=on,wait=off \
  -device usb-redir,chardev=switch,bus=xhci.0 \
  -chardev socket,id=idle,path="$work/idle.sock",server=on,wait=off \
  -device usb-redir,chardev=idle,bus=xhci.0 \
  -chardev socket,id=late,path="$work/late.sock",server=on,wait=off \
  -device usb-redir,chardev=late,bus=xhci.0 \
  </dev/null >"$log" 2>"$work/qemu.err" &
qemu=$!
pids+=("$qemu")
redirect() { # NAME DEVICE OPTIONS...
  local g=$work/guest/$1
  mkdir -p "$g"
  "$dir/tests/devsim_usbredir" "$work/$1.sock" --transcript "$g/transcript.jsonl" \
    --storage "$g/storage" "${@:2}" 2>"$g/adapter.err" &
  pids+=("$!")
  adapter=$!
}
redirect switch "${dev_switch[@]}"
adapter_switch=$adapter
redirect idle "${dev_idle[@]}"
adapter_idle=$adapter
# the port resets a program asked for (the guest's own at enumeration are not counted)
resets() { grep -c "reset by the host" "$work/guest/$1/adapter.err" || true; }

# waits for a line of the console, as long as the guest runs
await() { # TEXT SECONDS
  local t=0
  until tr -d '\r' <"$log" | grep -q "$1"; do
    kill -0 "$qemu" 2>/dev/null || return 1
    [ "$t" -lt "$(($2 * 10))" ] || return 1
    sleep 0.1
    t=$((t + 1))
  done
}
fail() {
  echo "qemu tier FAILED: $*" >&2
  echo "--- console" >&2
  tr -d '\r' <"$log" | tail -40 >&2
  cat "$work/qemu.err" >&2
  for f in "$work"/guest/*/adapter.err; do [ -s "$f" ] && { echo "--- $f"; cat "$f"; } >&2; done
  exit 1
}
await "@@ booted" 120 || fail "the guest did not boot"
booted=$(date +%s)
await "@@ listed" 120 || fail "the listing did not end"
listed_resets="$(resets switch) $(resets idle)"
# what the switch device answered the listing, which the run over the simulated link never asked
listed_lines=$(wc -l <"$work/guest/switch/transcript.jsonl")
await "@@ unplug" 300 || fail "the switch run did not end"
kill "$adapter_switch" "$adapter_idle"
await "@@ late started" 60 || fail "the first device did not leave the guest's bus"
sleep "$((late_ms / 1000))"
redirect late "${dev_late[@]}"
await "@@ done" 300 || fail "the late run did not end"
wait "$qemu" || true
finished=$(date +%s)

# --- what the guest saw, against the reference ---
section() { # NAME PART
  tr -d '\r' <"$log" | sed -n "/^@@ $1 $2\$/,/^@@ end\$/p" | sed '1d;$d' | base64 -d
}
bad=0
# the listing: both readers, neither reset; the switch run: only its own device reset
section list out >"$work/list.out"
for s in 13GA0001 13GA0002; do
  grep -q "^device $s: model " "$work/list.out" || { echo "list: $s not listed" >&2; bad=1; }
done
[ "$listed_resets" = "0 0" ] || { echo "list: resets (switch, idle): $listed_resets" >&2; bad=1; }
[ "$listed_lines" = 8 ] || { echo "list: $listed_lines transcript lines, not 4 queries" >&2; bad=1; }
[ "$(resets switch)" -ge 1 ] || { echo "switch: its device was never reset" >&2; bad=1; }
[ "$(resets idle)" = 0 ] || { echo "switch: the other reader was reset" >&2; bad=1; }
echo "qemu tier: resets asked for: listing $listed_resets (switch, idle), then switch" \
  "$(resets switch), idle $(resets idle)"
for name in switch late; do
  r=$work/ref/$name g=$work/guest/$name
  tr -d '\r' <"$log" | sed -n "s/^@@ $name status //p" >"$g/status"
  section "$name" out >"$g/out"
  section "$name" err >"$g/err"
  if [ "$name" = switch ]; then
    # the other reader is named where the guest's bus has it, which the simulated link has not
    left='^another device 13GA0002 at [0-9.-]* is not the one being installed; left alone$'
    grep -q "$left" "$g/err" || { echo "switch: the other reader was not named" >&2; bad=1; }
    grep -v "$left" "$g/err" >"$g/err.own" || true
    mv "$g/err.own" "$g/err"
    tail -n +"$((listed_lines + 1))" "$g/transcript.jsonl" >"$g/run.jsonl"
    mv "$g/run.jsonl" "$g/transcript.jsonl"
  fi
  for f in status out err transcript.jsonl; do
    if ! cmp -s "$r/$f" "$g/$f"; then
      echo "qemu tier: $name: $f differs from the run over the simulated link:" >&2
      diff <(cat -v "$r/$f") <(cat -v "$g/$f") | head -20 >&2 || true
      bad=1
    fi
  done
  if ! diff -r "$r/storage" "$g/storage" >&2; then
    echo "qemu tier: $name: the partitions differ from the run over the simulated link" >&2
    bad=1
  fi
  echo "qemu tier: $name: status $(cat "$g/status"), $(wc -l <"$g/transcript.jsonl") transcript" \
    "lines, $(find "$g/storage" -type f | wc -l) stored files, $(grep -c cancelled "$g/adapter.err")" \
    "transfers cancelled"
done
# the keyboard (QEMU's vendor 0627) was on the bus beside the device
tr -d '\r' <"$log" | grep -q "^@@ vendors .*0627" || { echo "no keyboard on the bus" >&2; bad=1; }
grep -q "waiting for device" "$work/guest/late/err" || { echo "late: no waiting line" >&2; bad=1; }
grep -q "endpoint 81 cancelled" "$work/guest/late/adapter.err" ||
  { echo "late: the read past its timeout was not cancelled" >&2; bad=1; }
[ "$(grep -c '"ev":"reboot"' "$work/guest/switch/transcript.jsonl")" -ge 2 ] ||
  { echo "switch: fewer than two reboots" >&2; bad=1; }
# one download past usbfs's default limit for a single transfer (16 MiB)
grep -q '"ev":"data","bytes":20971520}' "$work/guest/switch/transcript.jsonl" ||
  { echo "switch: no 20 MiB download" >&2; bad=1; }
[ "$bad" = 0 ] || fail "the guest's runs differ from the simulated link's"
echo "qemu tier: passed in $((finished - start)) s (build $((built - start)) s, reference" \
  "$((referenced - built)) s, boot $((booted - referenced)) s, runs $((finished - booted)) s)"
