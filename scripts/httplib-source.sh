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
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
rm -rf "$out"
mkdir -p "$out/apt/lists/partial" "$out/apt/cache/archives/partial" "$out/include"
cat > "$out/apt/sources.list" <<LIST
deb-src http://deb.debian.org/debian $codename main
deb-src http://deb.debian.org/debian $codename-updates main
deb-src http://deb.debian.org/debian-security $codename-security main
LIST
apt_options=(-o "Dir::Etc::SourceList=$out/apt/sources.list" -o "Dir::Etc::SourceParts=/nonexistent"
  -o "Dir::State::Lists=$out/apt/lists" -o "Dir::Cache=$out/apt/cache" -o "Debug::NoLocking=1"
  -o "APT::Sandbox::User=root")
echo "fetching the cpp-httplib $version source package"
apt-get "${apt_options[@]}" -qq update
(cd "$out/apt" && apt-get "${apt_options[@]}" -qq source "cpp-httplib=$version" > /dev/null)
cp "$out"/apt/cpp-httplib-*/httplib.h "$out"/apt/cpp-httplib-*/LICENSE "$out/include/"
echo "$version" > "$out/version"
rm -rf "$out/apt"
