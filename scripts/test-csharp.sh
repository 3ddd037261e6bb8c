#!/usr/bin/env bash
# The C# binding under Mono: builds Veltari.dll, its tests and the example in a built tree of this project,
# checks the binding's records against the C compiler's layout of veltari.h, runs the tests against the
# reference server in a private runtime directory, and runs the example with the native library beside it.
# Usage: scripts/test-csharp.sh [BUILD_DIR]   (default build/test-normal)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/deps.sh mono-mcs mono-runtime
build=${1:-$root/build/test-normal}
work=$(mktemp -d "${TMPDIR:-/tmp}/veltari-csharp.XXXXXX")
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "C# test failed: $*" >&2; exit 1; }

echo "=== csharp: build"
# Configured again, so that a tree configured before Mono was installed finds the compiler now.
cmake -S "$root" -B "$build" > "$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc)" --target veltari veltari-server veltari_fixed_responder veltari_csharp \
  veltari_csharp_tests veltari_csharp_keys
csharp=$build/csharp

echo "=== csharp: record layouts of the C compiler"
cat > "$work/layouts.c" <<'EOF'
#include <stddef.h>
#include <stdio.h>
#include "veltari.h"
#define SIZE(type) printf(#type " %zu\n", sizeof(type))
#define FIELD(type, field) printf(#type "." #field " %zu\n", offsetof(type, field))
int main(void) {
    SIZE(VeltariProtocolDetails);
    FIELD(VeltariProtocolDetails, sdkVersion); FIELD(VeltariProtocolDetails, serverVersion);
    FIELD(VeltariProtocolDetails, sdkProtocolVersion); FIELD(VeltariProtocolDetails, serverProtocolVersion);
    FIELD(VeltariProtocolDetails, breakingChanges);
    SIZE(VeltariChannelDevice);
    FIELD(VeltariChannelDevice, type); FIELD(VeltariChannelDevice, deviceLedCount);
    SIZE(VeltariChannel);
    FIELD(VeltariChannel, totalLedsCount); FIELD(VeltariChannel, devicesCount); FIELD(VeltariChannel, devices);
    SIZE(VeltariDeviceInfo);
    FIELD(VeltariDeviceInfo, type); FIELD(VeltariDeviceInfo, model); FIELD(VeltariDeviceInfo, physicalLayout);
    FIELD(VeltariDeviceInfo, logicalLayout); FIELD(VeltariDeviceInfo, capsMask); FIELD(VeltariDeviceInfo, ledsCount);
    FIELD(VeltariDeviceInfo, channelsCount); FIELD(VeltariDeviceInfo, channels);
    SIZE(VeltariLedPosition);
    FIELD(VeltariLedPosition, ledId); FIELD(VeltariLedPosition, top); FIELD(VeltariLedPosition, left);
    FIELD(VeltariLedPosition, height); FIELD(VeltariLedPosition, width);
    SIZE(VeltariLedPositions);
    FIELD(VeltariLedPositions, positionsCount); FIELD(VeltariLedPositions, positions);
    SIZE(VeltariLedColor);
    FIELD(VeltariLedColor, ledId); FIELD(VeltariLedColor, r); FIELD(VeltariLedColor, g); FIELD(VeltariLedColor, b);
    return 0;
}
EOF
cc -std=c11 -I "$root/include" -I "$build/include" "$work/layouts.c" -o "$work/layouts"
"$work/layouts" > "$work/layouts.txt"

echo "=== csharp: tests against the reference server"
export XDG_RUNTIME_DIR=$work/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"
library_dir=$(dirname "$(find "$build" -maxdepth 1 -name 'libveltari.so' | head -n 1)")
VELTARI_SERVER=$build/server/veltari-server VELTARI_RESPONDER=$build/bindings/csharp/veltari_fixed_responder \
  VELTARI_LAYOUTS=$work/layouts.txt LD_LIBRARY_PATH=$library_dir \
  timeout 300 mono --debug "$csharp/Veltari.Tests.exe" || fail "the tests failed, or the process did not exit"

echo "=== csharp: cmake --install installs the assembly; the example runs from a game folder made of it"
cmake --install "$build" --prefix "$work/prefix" > "$work/install.log"
assembly=$(find "$work/prefix" -path '*/cli/veltari/Veltari.dll' | head -n 1)
[ -n "$assembly" ] || fail "no Veltari.dll installed"
[ -f "$(dirname "$assembly")/Veltari.xml" ] || fail "no Veltari.xml installed"
game=$work/game
mkdir "$game"
cp "$assembly" "$csharp/Keys.exe" "$game/"
cp -L "$(find "$work/prefix" -name 'libveltari.so' | head -n 1)" "$game/libveltari.so"
"$build/server/veltari-server" --no-view --no-stdin --auto-type "hi" > "$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do
  find "$XDG_RUNTIME_DIR" -type s | grep -q . && break
  sleep 0.1
done
# No LD_LIBRARY_PATH: Mono finds libveltari.so beside the assembly, as a game's folder has it.
env -u LD_LIBRARY_PATH timeout 60 mono "$game/Keys.exe" 4 > "$work/keys.out" 2>&1 || { cat "$work/keys.out"; fail "Keys.exe"; }
grep -q '^key 72 down$' "$work/keys.out" || { cat "$work/keys.out"; fail "Keys.exe saw no key press from the server's typing"; }
echo "=== csharp: passed"
