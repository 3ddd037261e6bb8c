#!/usr/bin/env bash
# Every test, from scratch: a normal build, AddressSanitizer + UndefinedBehaviorSanitizer, ThreadSanitizer,
# and the Windows DLL under Wine. Any failure or sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/deps.sh
jobs=$(nproc)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
export CTEST_OUTPUT_ON_FAILURE=1
summary=()

run_config() {
  local name=$1; shift
  local dir=$root/build/test-$name
  rm -rf "$dir"
  mkdir -p "$root/build"
  echo "=== $name: configure and build"
  # One ctest test per suite: a process per test case would make the whole run slower.
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTARI_CTEST_PER_CASE=OFF "$@" \
    > "$dir.configure.log" 2>&1 \
    || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j "$jobs"
  echo "=== $name: tests"
  ctest --test-dir "$dir" -j "$jobs" --timeout 900
  summary+=("$name: passed")
}

run_config normal -DVELTARI_INSTALL_STATIC=ON
run_config asan -DVELTARI_SANITIZE=address
run_config tsan -DVELTARI_SANITIZE=thread
bash scripts/test-consumer.sh "$root/build/test-normal"
summary+=("consumer builds: passed")
bash scripts/test-csharp.sh "$root/build/test-normal"; summary+=("C# binding: passed")
bash scripts/test-python.sh "$root/build/test-normal"; summary+=("python binding: passed")
bash scripts/test-web.sh "$root/build/test-normal"; summary+=("web view: passed")
bash scripts/fuzz.sh 30
summary+=("fuzz: passed")
if [ -f scripts/test-wine.sh ]; then
  bash scripts/test-wine.sh
  summary+=("wine: passed")
fi
printf '%s\n' "${summary[@]}"
