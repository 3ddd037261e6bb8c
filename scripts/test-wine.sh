#!/usr/bin/env bash
# The Windows DLL: cross-built with mingw-w64 and every test run as a Windows program under Wine, whose
# named pipes and overlapped I/O behave like Windows'. Tests run one at a time: under Wine the
# rendezvous pipe name is shared by the whole machine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/deps.sh g++-mingw-w64-x86-64-posix wine64
# The archive may have moved on from the installed httplib version; the DLL and its tests do not depend on it.
bash scripts/httplib-source.sh || echo "warning: no httplib source package; the Windows server is built without its web view"

dir=$root/build/test-wine
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
rm -rf "$dir"
mkdir -p "$dir"
echo "=== wine: configure and build"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" > "$dir.configure.log" 2>&1 \
  || { cat "$dir.configure.log"; exit 1; }
cmake --build "$dir" -j "$(nproc)"

# One prefix for the whole run, inside the build tree; no desktop integration, no Mono or Gecko.
export WINEPREFIX=$dir/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d"
stop_wine() { "$wineserver" -k > /dev/null 2>&1 || true; }
trap stop_wine EXIT
echo "=== wine: prefix"
start=$(date +%s)
"$wine" wineboot --init > "$dir/wineboot.log" 2>&1 || { cat "$dir/wineboot.log"; exit 1; }
"$wineserver" -w
# A server that stays up between the tests saves its start-up for each of them. Wine's own service
# processes are started here, with no terminal: started by the first test instead, they would inherit
# ctest's output pipe and keep it open, and ctest would wait for them until its time-out.
"$wineserver" -p
"$wine" cmd /c exit 0 < /dev/null > /dev/null 2>&1
echo "prefix ready in $(( $(date +%s) - start )) s"

echo "=== wine: tests"
start=$(date +%s)
ctest --test-dir "$dir" -j 1 --timeout 900 --output-on-failure --no-tests=error
echo "wine tests took $(( $(date +%s) - start )) s"

echo "=== wine: breathe.c built against the installed Windows tree"
prefix=$dir/install
cmake --install "$dir" --prefix "$prefix" > "$dir/install.log"
[ -f "$prefix/bin/veltari.dll" ] && [ -f "$prefix/lib/veltari.lib" ] && [ -f "$prefix/include/veltari_version.h" ] \
  || { cat "$dir/install.log"; echo "wine: the installed Windows tree is incomplete" >&2; exit 1; }
consumer=$dir/consumer
cmake -S "$root/examples" -B "$consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" -DVeltari_DIR="$prefix/lib/cmake/Veltari" \
  > "$consumer.configure.log" 2>&1 || { cat "$consumer.configure.log"; exit 1; }
cmake --build "$consumer" --target breathe
cp "$prefix/bin/veltari.dll" "$consumer/"
# No server is running: the example must load the DLL, find nobody and say so.
if "$wine" "$consumer/breathe.exe" 1 < /dev/null > "$consumer/breathe.out" 2>&1; then
  echo "wine: breathe.exe ran without a server" >&2; exit 1
fi
grep -q "no lighting server is running" "$consumer/breathe.out" \
  || { cat "$consumer/breathe.out"; echo "wine: breathe.exe did not run against the installed DLL" >&2; exit 1; }
echo "=== wine: consumer passed"
