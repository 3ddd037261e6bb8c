#!/usr/bin/env bash
# For the Windows build: Debian ships cpp-httplib as a library compiled for Linux only, so the web view of
# the Windows server is built from the header-only httplib.h of the same Debian release's source package
# (the version of libcpp-httplib-dev, with Debian's patches applied). apt fetches and verifies it against
# the archive's signed index, with a source list and lists of its own, so the system's apt setup stays as
# it is. The header ends up in build/httplib-source/include, where the build looks for it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build/httplib-source
version=$(dpkg-query -W -f='${Version}' libcpp-httplib-dev 2>/dev/null || true)
[ -n "$version" ] || { echo "httplib-source: libcpp-httplib-dev is not installed (scripts/deps.sh)" >&2; exit 1; }
if [ -f "$out/include/httplib.h" ] && [ "$(cat "$out/version" 2>/dev/null)" = "$version" ]; then
  exit 0
fi
bash scripts/deps.sh dpkg-dev xz-utils
rm -rf "$out"
mkdir -p "$out/apt/lists/partial" "$out/apt/cache/archives/partial" "$out/apt/sources.list.d" "$out/include"
: > "$out/apt/sources.list"
# The machine's own Debian sources, turned into source-package sources: whatever mirror it is set up with.
for f in /etc/apt/sources.list.d/*.sources; do
  if [ -f "$f" ] && grep -q '/debian' "$f"; then
    sed 's/^Types:.*/Types: deb-src/' "$f" > "$out/apt/sources.list.d/$(basename "$f")"
  fi
done
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  if [ -f "$f" ]; then sed -n 's|^deb \(.*/debian.*\)|deb-src \1|p' "$f" >> "$out/apt/sources.list"; fi
done
apt_options=(-o "Dir::Etc::SourceList=$out/apt/sources.list" -o "Dir::Etc::SourceParts=$out/apt/sources.list.d"
  -o "Dir::State::Lists=$out/apt/lists" -o "Dir::Cache=$out/apt/cache" -o "Debug::NoLocking=1"
  -o "APT::Sandbox::User=root")
echo "fetching the cpp-httplib $version source package"
apt-get "${apt_options[@]}" -qq update
(cd "$out/apt" && apt-get "${apt_options[@]}" -qq source "cpp-httplib=$version" > /dev/null)
cp "$out"/apt/cpp-httplib-*/httplib.h "$out"/apt/cpp-httplib-*/LICENSE "$out/include/"
echo "$version" > "$out/version"
rm -rf "$out/apt"
