#!/usr/bin/env bash
# The Python binding: its pytest suite against the reference server of a built tree (Debian's python3 and
# python3-pytest), then the package as users get it: from an installed tree with only PYTHONPATH set, and
# installed by pip, offline, into a virtual environment.
# Usage: scripts/test-python.sh [BUILD_DIR]   (a built tree of this project; default build/test-normal)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(cd "${1:-$root/build/test-normal}" && pwd)
bash scripts/deps.sh python3 python3-pytest python3-setuptools python3-pip python3-venv
python=/usr/bin/python3
work=$(mktemp -d "${TMPDIR:-/tmp}/veltari-python.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "python test failed: $*" >&2; exit 1; }

echo "=== python: tests against the reference server"
VELTARI_LIBRARY=$build/libveltari.so.3 VELTARI_SERVER=$build/server/veltari-server \
  PYTHONDONTWRITEBYTECODE=1 "$python" -m pytest -p no:cacheprovider "$root/bindings/python/tests"

echo "=== python: the installed package finds the library of its prefix"
cmake --install "$build" --prefix "$work/prefix" > "$work/install.log"
site=$work/prefix/lib/python3/dist-packages
found=$(env -u VELTARI_LIBRARY PYTHONPATH="$site" "$python" -c 'import veltari; print(veltari._lib._name)') \
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
  'import veltari; print(veltari.__file__, veltari._lib._name)') || fail "the pip-installed package does not load"
case $found in "$work/venv/"*" libveltari.so.3") ;; *) fail "pip-installed package: $found" ;; esac
echo "=== python: passed"
