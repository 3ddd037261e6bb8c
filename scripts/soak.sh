#!/usr/bin/env bash
# The soak: many threads mixing every exported function against the reference server, which is killed
# and restarted every few seconds. Runs once under ThreadSanitizer and once under AddressSanitizer with
# LeakSanitizer (or only the one named), each for SECONDS (default 120).
#   scripts/soak.sh [seconds] [thread|address]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-120}
sanitizers=${2:-"thread address"}
bash scripts/deps.sh
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
for sanitizer in $sanitizers; do
  dir=$root/build/soak-$sanitizer
  echo "=== soak under $sanitizer: build"
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTARI_SANITIZE="$sanitizer" \
    > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
  cmake --build "$dir" -j "$(nproc)" --target veltari_faults_tests veltari-server
  echo "=== soak under $sanitizer: ${seconds} s"
  VELTARI_SOAK_SECONDS=$seconds "$dir/tests/veltari_faults_tests" --gtest_also_run_disabled_tests \
    --gtest_filter='Soak.*'
done
