#!/usr/bin/env bash
# Builds everything and runs every test against a private Firebird server on 127.0.0.1.
#   tests/run-tests.sh [ctest arguments...]
# BUILD_DIR (default build) and SELVANE_SANITIZE (e.g. address,undefined) are honoured.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

.ci/deps.sh

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DSELVANE_SANITIZE="${SELVANE_SANITIZE:-}" >/dev/null
cmake --build "$build" -j"$(nproc)"

# The tests labelled db start the private Firebird server through ctest's fixture "firebird" (in
# $build/firebird), unless SELV_FB_* name one already.
cd "$build"
ctest --output-on-failure -j"$(nproc)" --timeout 600 "$@"
