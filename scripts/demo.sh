#!/usr/bin/env bash
# `make demo`: installs what is missing, builds from scratch into build/demo, starts the reference
# server with its virtual devices unless a lighting server is already serving, runs the demo, and stops
# the server it started. Arguments are passed to the demo (see build/demo/demo/veltari-demo --help).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/deps.sh
dir=$root/build/demo
rm -rf "$dir"
mkdir -p "$root/build"
echo "=== building into build/demo"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTARI_BUILD_TESTS=OFF \
  > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
cmake --build "$dir" -j "$(nproc)" --target veltari-server veltari-demo veltari-cli > "$dir.build.log" 2>&1 \
  || { cat "$dir.build.log"; exit 1; }
echo "=== built (log: build/demo.build.log)"

cli=$dir/tools/veltari-cli
server_pid=
private_dir=
stop_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    echo "=== reference server stopped (its log: build/demo/server.log)"
  fi
  if [ -n "$private_dir" ]; then rm -rf "$private_dir"; fi
}
trap stop_server EXIT

if "$cli" info > /dev/null 2>&1; then
  echo "=== a lighting server is already serving: the demo uses it"
else
  # A runtime folder of our own, so that nothing else on the machine meets this server.
  private_dir=$(mktemp -d "${TMPDIR:-/tmp}/veltari-demo.XXXXXX")
  export XDG_RUNTIME_DIR=$private_dir
  echo "=== starting the reference server with its virtual devices"
  "$dir/server/veltari-server" --auto-type "hello veltari" --key-interval 90 --no-view --no-stdin \
    > "$dir/server.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 100); do
    if "$cli" info > /dev/null 2>&1; then break; fi
    if ! kill -0 "$server_pid" 2>/dev/null; then
      echo "the reference server did not start:" >&2
      cat "$dir/server.log" >&2
      server_pid=
      exit 1
    fi
    sleep 0.1
  done
fi

status=0
"$dir/demo/veltari-demo" "$@" || status=$?
exit "$status"
