#!/usr/bin/env bash
# The benchmarks: installs what they need, builds an optimised build in build/bench, runs every benchmark
# (repetitions interleaved at random) and prints the table of ratios, which is also kept in
# build/bench/ratios.md, then the Python binding's 912-LED set against the same set from C. Extra
# arguments go to the benchmark program, e.g. --benchmark_filter=json.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/deps.sh libbenchmark-dev nlohmann-json3-dev rapidjson-dev python3
dir=$root/build/bench
mkdir -p "$dir"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTARI_BUILD_BENCH=ON \
  -DVELTARI_BUILD_TESTS=OFF > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
cmake --build "$dir" -j "$(nproc)" --target veltari_bench veltari_python_responder veltari_python_bench_c
"$dir/bench/veltari_bench" --ratio_out="$dir/ratios.md" "$@"
bash scripts/bench-csharp.sh "$dir"
echo "=== the Python binding against C"
/usr/bin/python3 bench/python_bench.py "$dir" || true  # reports a missed target; does not fail the benchmarks
