#!/usr/bin/env bash
# Installs the Debian packages the build needs, only when something is missing. Runs as root.
set -euo pipefail
want=(cmake ninja-build g++ clang libgtest-dev libgmock-dev googletest libbenchmark-dev pkg-config
  libcpp-httplib-dev "$@")
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  if [ "$(id -u)" != 0 ]; then
    echo "these packages are missing and installing them needs root: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
