#!/usr/bin/env bash
# The C# binding's benchmark: a 912-LED SetColors from C# against the same call from C, side by side in one
# process, against veltari_fixed_responder in a private runtime directory. Uses the optimised tree of
# scripts/bench.sh. Usage: scripts/bench-csharp.sh [BUILD_DIR] [ROUNDS] [CALLS_PER_ROUND]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/deps.sh mono-mcs mono-runtime
dir=${1:-$root/build/bench}
shift || true
cmake -S "$root" -B "$dir" > "$dir.csharp-configure.log" 2>&1 || { cat "$dir.csharp-configure.log"; exit 1; }
cmake --build "$dir" -j "$(nproc)" --target veltari_bench_c_side veltari_csharp_bench veltari_fixed_responder

runtime=$(mktemp -d "${TMPDIR:-/tmp}/veltari-csharp-bench.XXXXXX")
responder_pid=
cleanup() {
  exec 3>&- 2>/dev/null || true
  if [ -n "$responder_pid" ]; then wait "$responder_pid" 2>/dev/null || true; fi
  rm -rf "$runtime"
}
trap cleanup EXIT
export XDG_RUNTIME_DIR=$runtime
# The responder answers both the handshake and every set at once, with one fixed text. It runs until its
# standard input, a pipe this script holds open, closes.
mkfifo "$runtime/responder-input"
"$dir/bindings/csharp/veltari_fixed_responder" \
  '{"serverVersion":"bench","serverProtocolVersion":9,"errorCode":0,"result":true}' \
  < "$runtime/responder-input" > /dev/null &
responder_pid=$!
exec 3> "$runtime/responder-input"
LD_LIBRARY_PATH=$dir:$dir/bench mono "$dir/csharp/SetColorsBench.exe" "$@"
