#!/usr/bin/env bash
# Builds the examples as an application developer would: against an installed tree, found once through
# the CMake package and once through pkg-config; checks the installed tree and runs the examples against
# the reference server, including a server that goes away and comes back.
# Usage: scripts/test-consumer.sh [BUILD_DIR]   (a built tree of this project; default build/test-normal)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(cd "${1:-$root/build/test-normal}" && pwd)
bash scripts/deps.sh pkg-config

work=$(mktemp -d "${TMPDIR:-/tmp}/veltari-consumer.XXXXXX")
server_pid=
stop_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=
  fi
}
trap 'stop_server; rm -rf "$work"' EXIT
fail() { echo "consumer test failed: $*" >&2; exit 1; }

echo "=== consumer: every function the README links into the header is declared there"
grep -q 'include/veltari.h#L' README.md && fail "README links into veltari.h by line number"
links=$(grep -o '\[Veltari[A-Za-z0-9]*\](include/veltari.h)' README.md | sed 's/^\[//; s/\].*//')
[ "$(echo "$links" | grep -c .)" -ge 20 ] || fail "README links fewer than the twenty functions"
for name in $links; do
  grep -q "^VELTARI_API .*[ *]$name(" include/veltari.h || fail "README links $name, which veltari.h does not declare"
done

echo "=== consumer: install into a temporary prefix"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" > "$work/install.log"
library=$(find "$prefix" -name 'libveltari.so' | head -n 1)
[ -n "$library" ] || fail "no libveltari.so installed"
libdir=$(dirname "$library")
[ -f "$prefix/include/veltari.h" ] || fail "no veltari.h installed"
[ -f "$libdir/cmake/Veltari/VeltariConfig.cmake" ] || fail "no CMake package installed"
[ -f "$libdir/pkgconfig/veltari.pc" ] || fail "no pkg-config file installed"
soname=$(objdump -p "$library" | awk '/SONAME/ {print $2}')
[ "$soname" = "libveltari.so.3" ] || fail "SONAME is '$soname', not libveltari.so.3"
[ -f "$libdir/libveltari.so.3" ] || fail "no libveltari.so.3"
[ -f "$prefix/include/veltari_version.h" ] || fail "no veltari_version.h installed"
if find "$prefix" -name '*.h' ! -name veltari.h ! -name veltari_version.h | grep -q .; then
  fail "internal headers were installed"
fi

echo "=== consumer: examples through find_package(Veltari)"
cmake -S "$root/examples" -B "$work/with-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" > "$work/cmake.log" 2>&1 \
  || { cat "$work/cmake.log"; fail "configure with find_package"; }
cmake --build "$work/with-cmake"

echo "=== consumer: examples through pkg-config"
PKG_CONFIG_PATH=$libdir/pkgconfig cmake -S "$root/examples" -B "$work/with-pkgconfig" -G Ninja \
  -DVELTARI_EXAMPLES_USE_PKGCONFIG=ON > "$work/pkgconfig.log" 2>&1 \
  || { cat "$work/pkgconfig.log"; fail "configure with pkg-config"; }
cmake --build "$work/with-pkgconfig"
if [ -f "$libdir/libveltari.a" ]; then
  echo "=== consumer: breathe.c against the static library (pkg-config --static)"
  # shellcheck disable=SC2046
  cc -std=c11 -DVELTARI_STATIC "$root/examples/breathe.c" $(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags veltari) \
    "$libdir/libveltari.a" $(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --static --libs-only-l veltari | sed 's/-lveltari//') \
    -o "$work/breathe-static" || fail "breathe.c does not link against libveltari.a"
  if readelf -d "$work/breathe-static" | grep -q 'NEEDED.*libveltari'; then fail "the static build loads libveltari.so"; fi
fi
for example in "$work"/with-*/breathe "$work"/with-*/keys; do
  readelf -d "$example" | grep -q 'NEEDED.*libveltari.so.3' || fail "$example does not load libveltari.so.3"
done

server=$build/server/veltari-server
if [ ! -x "$server" ]; then
  echo "=== consumer: no reference server in $build; the examples were built but not run"
  exit 0
fi
export XDG_RUNTIME_DIR=$work/runtime
mkdir -p "$XDG_RUNTIME_DIR"
cli=$prefix/bin/veltari-cli
start_server() {
  "$server" --no-view --no-stdin "$@" > "$work/server.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 100); do
    "$cli" info > /dev/null 2>&1 && return 0
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$work/server.log" >&2
  fail "the reference server did not start"
}

echo "=== consumer: run the examples against the reference server"
start_server --auto-type "abc"
"$work/with-cmake/breathe" 1 '#FF8000' > "$work/breathe.out" || { cat "$work/breathe.out"; fail "breathe (CMake build)"; }
grep -q 'frames shown' "$work/breathe.out" || fail "breathe showed no frames"
"$work/with-pkgconfig/breathe" 1 > "$work/breathe.out" || { cat "$work/breathe.out"; fail "breathe (pkg-config build)"; }
if [ -x "$work/breathe-static" ]; then
  "$work/breathe-static" 1 > "$work/breathe.out" || { cat "$work/breathe.out"; fail "breathe (static build)"; }
fi
grep -q -- '-I[^ ]*\.\.' <(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags veltari) && fail "pkg-config flags hold '..'"
"$work/with-cmake/keys" 3 > "$work/keys.out" || { cat "$work/keys.out"; fail "keys"; }
grep -q ' down$' "$work/keys.out" || { cat "$work/keys.out"; fail "keys saw no key press from the server's typing"; }

echo "=== consumer: the installed tool and demo against the reference server"
"$cli" devices > "$work/devices.out" || { cat "$work/devices.out"; fail "veltari-cli devices"; }
grep -q '^4 devices' "$work/devices.out" || { cat "$work/devices.out"; fail "veltari-cli listed no 4 devices"; }
"$prefix/bin/veltari-demo" --seconds 2 > "$work/demo.out" 2>&1 || { cat "$work/demo.out"; fail "veltari-demo"; }
grep -q '^Ran .* frames' "$work/demo.out" || { cat "$work/demo.out"; fail "veltari-demo did not finish its run"; }
if "$cli" set 912=red > /dev/null 2> "$work/cli.err"; then fail "veltari-cli accepted LED 912"; fi
grep -q 'LED ids run from 0 to 911' "$work/cli.err" || { cat "$work/cli.err"; fail "veltari-cli error not in words"; }

echo "=== consumer: the C example performs the handshake again when the server comes back"
"$work/with-cmake/breathe" 6 > "$work/lost.out" &
example_pid=$!
sleep 1.5
stop_server
sleep 1
start_server
wait "$example_pid" || { cat "$work/lost.out"; fail "breathe did not survive a server restart"; }
grep -q 'performing the handshake again' "$work/lost.out" || { cat "$work/lost.out"; fail "breathe did not notice the lost server"; }
grep -q ', [1-9][0-9]* reconnects' "$work/lost.out" || { cat "$work/lost.out"; fail "breathe did not reconnect"; }
stop_server
echo "=== consumer: passed"
