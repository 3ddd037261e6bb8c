#!/usr/bin/env bash
# The Python binding: its pytest suite against the reference server of a built tree (Debian's python3 and
# python3-pytest), then the package as users get it: from an installed tree with only PYTHONPATH set, and
# installed by pip, offline, into a virtual environment.
# Usage: scripts/test-python.sh [BUILD_DIR]   (a built tree of this project; default build/test-normal)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(cd "${1:-$root/build/test-normal}" && pwd)
bash scripts/deps.sh python3 python3-pytest python3-setuptools python3-pip python3-venv python3-mypy
python=/usr/bin/python3
work=$(mktemp -d "${TMPDIR:-/tmp}/veltari-python.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "python test failed: $*" >&2; exit 1; }

echo "=== python: tests against the reference server"
VELTARI_LIBRARY=$build/libveltari.so.3 VELTARI_SERVER=$build/server/veltari-server \
  PYTHONDONTWRITEBYTECODE=1 "$python" -m pytest -p no:cacheprovider "$root/bindings/python/tests"

echo "=== python: the type hints hold"
"$python" -m mypy --strict --no-incremental "$root/bindings/python/veltari"

echo "=== python: the installed package finds the library of its prefix"
cmake --install "$build" --prefix "$work/prefix" > "$work/install.log"
site=$work/prefix/lib/python3/dist-packages
found=$(env -u VELTARI_LIBRARY PYTHONPATH="$site" "$python" -c 'import veltari; print(veltari.library_path())') \
  || fail "the installed package does not load"
[ "$(readlink -f "$found")" = "$(readlink -f "$work/prefix/lib/libveltari.so.3")" ] \
  || fail "the installed package loaded $found, not its prefix's library"

echo "=== python: pip installs the package offline; it then uses the library the system loader finds"
# From a copy, so that the build leaves nothing in the source tree.
cp -r "$root/bindings/python" "$work/source"
"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install -q --no-index --no-build-isolation "$work/source" > "$work/pip.log" 2>&1 \
  || { cat "$work/pip.log"; fail "pip install"; }
found=$(cd "$work" && env -u VELTARI_LIBRARY LD_LIBRARY_PATH="$work/prefix/lib" "$work/venv/bin/python" -c \
  'import veltari; print(veltari.__file__, veltari.library_path())') || fail "the pip-installed package does not load"
case $found in "$work/venv/"*" libveltari.so.3") ;; *) fail "pip-installed package: $found" ;; esac
echo "=== python: the example comes back after the server restarts"
export XDG_RUNTIME_DIR=$work/runtime
mkdir -p "$XDG_RUNTIME_DIR"
server_pid=
start_server() {
  "$build/server/veltari-server" --no-view --no-stdin > "$work/server.log" 2>&1 &
  server_pid=$!
}
stop_server() { kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; }
trap 'stop_server; rm -rf "$work"' EXIT
start_server
VELTARI_LIBRARY=$build/libveltari.so.3 PYTHONPATH=$root/bindings/python \
  "$python" "$root/examples/python/breathe.py" 6 orange > "$work/breathe.out" 2>&1 &
example_pid=$!
sleep 2
stop_server
sleep 1
start_server
wait "$example_pid" || { cat "$work/breathe.out"; fail "breathe.py did not survive a server restart"; }
stop_server
grep -q 'performing the handshake again' "$work/breathe.out" \
  || { cat "$work/breathe.out"; fail "no lost server noticed"; }
grep -q ', 1 reconnects' "$work/breathe.out" || { cat "$work/breathe.out"; fail "breathe.py did not reconnect"; }
echo "=== python: passed"
