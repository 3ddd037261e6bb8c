#!/usr/bin/env bash
# The server's web view in a real browser: Debian's chromium driven by puppeteer-core (from npm, pinned by
# tests/web/package-lock.json; no browser is downloaded). Uses the programs of a finished build, by default
# build/test-normal. VELTARI_SCREENSHOT=path also writes the README's picture there.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(realpath -m "${1:-$root/build/test-normal}")
bash scripts/deps.sh chromium nodejs
# Debian packs npm apart from nodejs; other builds of nodejs bring it along.
command -v npm > /dev/null || bash scripts/deps.sh npm
for program in server/veltari-server tools/veltari-cli demo/veltari-demo; do
  [ -x "$build/$program" ] || { echo "test-web: $build/$program is missing; build first" >&2; exit 1; }
done
echo "=== web view: browser tests"
cd tests/web
PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error
VELTARI_SERVER=$build/server/veltari-server VELTARI_CLI=$build/tools/veltari-cli \
  VELTARI_DEMO=$build/demo/veltari-demo CHROMIUM=$(command -v chromium) \
  node --test --test-concurrency=1 web_view.test.mjs
