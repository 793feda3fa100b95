#!/usr/bin/env bash
# Retakes the console's pictures in docs/ for the README: builds selvdesk_screenshots, starts a
# private Firebird server on 127.0.0.1 and runs the program under Xvfb (a real X server: the
# offscreen platform draws text differently). Needs the packages xvfb and xauth.
#   tests/screenshots.sh [OUTPUT_FOLDER]     (default docs; BUILD_DIR, default build, is honoured)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
out=${1:-docs}
build=${BUILD_DIR:-build}

command -v xvfb-run >/dev/null || { echo "screenshots: xvfb-run is missing (apt-get install xvfb xauth)" >&2; exit 1; }
[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target selvdesk_screenshots

fbdir=$(mktemp -d /tmp/selvane-fb.XXXXXX)
cleanup() { "$root/tests/fbserver.sh" stop "$fbdir" || true; rm -rf "$fbdir"; }
trap cleanup EXIT
tests/fbserver.sh start "$fbdir" >/dev/null
# shellcheck disable=SC1091
. "$fbdir/env"

xvfb-run -a -s "-screen 0 1280x1024x24" "$build/bin/selvdesk_screenshots" "$out"
