#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under AddressSanitizer + UndefinedBehaviorSanitizer and runs
# each for the given number of seconds (default 30), as many at once as there are cores. Seeds: the
# committed corpus in fuzz/corpus/<name>/ and the JSONTestSuite files in tests/json/jsontestsuite. Crashing
# inputs land in build/fuzz/artifacts/<name>/ and fail the run; new corpus entries stay in
# build/fuzz/corpus/<name>/ for a later, longer run to start from.
#   scripts/fuzz.sh [seconds] [fuzzer-name...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/deps.sh clang libclang-rt-14-dev
seconds=${1:-30}
shift || true
build=$root/build/fuzz

# The JSONTestSuite files travel with the project; without them the fuzzers would lose their seeds.
suite=$root/tests/json/jsontestsuite
if [ ! -d "$suite/test_parsing" ] || [ ! -d "$suite/test_transform" ]; then
  echo "fuzz: the JSON corpus is missing from $suite" >&2
  exit 1
fi

echo "=== fuzz: configure and build (clang, address+undefined)"
mkdir -p "$build"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELTARI_SANITIZE=address -DVELTARI_BUILD_FUZZ=ON -DVELTARI_BUILD_TESTS=OFF > "$build.configure.log" 2>&1 \
  || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc)" --target fuzzers

names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for f in "$root"/fuzz/fuzz_*.cpp; do n=$(basename "$f" .cpp); names+=("${n#fuzz_}"); done
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

run_one() {
  local name=$1
  local work=$build/corpus/$name artifacts=$build/artifacts/$name log=$build/log/$name.log
  mkdir -p "$work" "$artifacts" "$(dirname "$log")"
  local seeds=("$root/fuzz/corpus/$name")
  seeds+=("$suite/test_parsing" "$suite/test_transform")
  local options=() maxlen=65536
  # Frames longer than a few kilobytes reach no new code; shorter inputs keep the pace up.
  case $name in frame_reader) maxlen=4096 ;; esac
  # The client keeps what it hands out until unload by design, which per-input leak checking would take
  # for a leak on every input; the fuzzer unloads the library every few thousand inputs instead, and the
  # soak runs under LeakSanitizer.
  case $name in client) options+=(-detect_leaks=0) ;; esac
  if [ -f "$root/fuzz/$name.dict" ]; then options+=("-dict=$root/fuzz/$name.dict"); fi
  # -timeout catches hangs (an input taking longer than 10 s), -rss_limit_mb unbounded memory.
  "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=$maxlen \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "${options[@]}" "$work" "${seeds[@]}" > "$log" 2>&1
}

echo "=== fuzz: ${names[*]} for ${seconds} s each"
failed=()
mkdir -p "$build/status"
for name in "${names[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do sleep 1; done
  rm -f "$build/status/$name"
  { if run_one "$name"; then echo 0; else echo 1; fi > "$build/status/$name"; } &
done
wait
for name in "${names[@]}"; do
  [ "$(cat "$build/status/$name" 2>/dev/null)" = 0 ] || failed+=("$name")
done

printf '%-16s %12s %10s %12s %s\n' fuzzer executions exec/s "seed files" result
for name in "${names[@]}"; do
  log=$build/log/$name.log
  execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*$' || true)
  rate=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | tail -1 | grep -o '[0-9]*$' || true)
  seeds=$(grep -o 'INFO: seed corpus: files: [0-9]*' "$log" | head -1 | grep -o '[0-9]*$' || true)
  result=ok
  for f in "${failed[@]}"; do [ "$f" = "$name" ] && result="FAILED (see $log)"; done
  printf '%-16s %12s %10s %12s %s\n' "$name" "${execs:-?}" "${rate:-?}" "${seeds:-?}" "$result"
done
if [ ${#failed[@]} -gt 0 ]; then
  for f in "${failed[@]}"; do echo "--- $f"; tail -60 "$build/log/$f.log"; done
  exit 1
fi
