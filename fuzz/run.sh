#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer in build-fuzz/ and runs each for a bounded
# time from its seeds (FUZZ_SECONDS each, default 25). A crash or a failed check fails the run;
# the input that caused it is kept in build-fuzz/artifacts/TARGET/ and replayed here.
# Without clang (and not root to install it) it says so and does nothing.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-25}
dir=build-fuzz
targets=(transport devsim_core devsim_options devsim_replay simlink checkmatch signature menus variant_markers)

# true when clang++ can build and link a libFuzzer program
fuzzer_ok() {
  command -v clang++ >/dev/null || return 1
  local probe
  probe=$(mktemp -d)
  printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
    'extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }' >"$probe/p.cpp"
  clang++ -fsanitize=fuzzer,address,undefined "$probe/p.cpp" -o "$probe/p" 2>/dev/null
  local rc=$?
  rm -rf "$probe"
  return $rc
}

if ! fuzzer_ok; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq clang >/dev/null
    if ! fuzzer_ok; then
      # Debian 12 keeps the sanitizer and libFuzzer runtimes apart from the compiler
      ver=$(clang++ --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n1)
      apt-get install -y -qq "libclang-rt-$ver-dev" >/dev/null
    fi
    fuzzer_ok || { echo "fuzz: clang cannot build libFuzzer programs" >&2; exit 1; }
  else
    echo "fuzz: skipped (needs clang with libFuzzer; on Debian 12: apt-get install clang libclang-rt-14-dev)" >&2
    exit 0
  fi
fi

bash scripts/setup.sh
CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARO_FUZZ=ON \
  -DTESSARO_WERROR=ON -DTESSARO_BUILD_TESTS=OFF -DTESSARO_BUILD_BENCH=OFF >/dev/null
ninja -C "$dir" fuzzers

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:halt_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
for t in "${targets[@]}"; do
  # new inputs go to the first directory, so the seeds in the source tree stay as they are
  corpus="$dir/corpus/$t"
  artifacts="$dir/artifacts/$t"
  mkdir -p "$corpus" "$artifacts"
  # the words of the commands and options, where a target has them
  dict=()
  [ -f "fuzz/$t.dict" ] && dict=(-dict="fuzz/$t.dict")
  echo "fuzz: $t for ${seconds}s"
  # the targets' own output (the device's INFO lines) is dropped; libFuzzer's and the
  # sanitizers' reports still show
  if ! "$dir/fuzz/fuzz_$t" -max_total_time="$seconds" -close_fd_mask=3 -print_final_stats=1 -timeout=30 \
      "${dict[@]}" -artifact_prefix="$artifacts/" "$corpus" "fuzz/corpus/$t" 2>"$dir/fuzz-$t.log"; then
    tail -n 60 "$dir/fuzz-$t.log" >&2
    for a in "$artifacts"/*; do
      [ -f "$a" ] || continue
      echo "fuzz: $t failed on $a; replaying it:" >&2
      "$dir/fuzz/fuzz_$t" "$a" >&2 || true
    done
    exit 1
  fi
  grep -E '^#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::peak_rss_mb' "$dir/fuzz-$t.log" || true
done
