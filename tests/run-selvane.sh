#!/usr/bin/env bash
# Sets up and runs the callback service in the foreground, for a try on this machine:
# installs the packages, builds Selvane, starts a private Firebird server on 127.0.0.1, writes a
# default settings file into DIR (default .selvane in the repository) and runs "Selvane -e" until
# Ctrl-C. The server stops with it; the settings file is kept and may be edited between runs.
#   tests/run-selvane.sh [DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
dir=${1:-$root/.selvane}

.ci/deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target Selvane -j"$(nproc)"
program=$(cd "$build" && pwd)/bin/Selvane

mkdir -p "$dir/xdg/Brint"
dir=$(cd "$dir" && pwd)
# The settings file names the server's port: the server keeps the port it got on the first run.
port=$(cat "$dir/fb-port" 2>/dev/null || echo 0)
tests/fbserver.sh start "$dir/fb" "$port" >/dev/null
trap '"$root/tests/fbserver.sh" stop "$dir/fb"' EXIT
# shellcheck disable=SC1091
. "$dir/fb/env"
echo "$SELV_FB_PORT" > "$dir/fb-port"

settings=$dir/xdg/Brint/Selvane.ini
if [ ! -f "$settings" ]; then
    cat > "$settings" <<INI
[Database]
DriverName=QIBASE
HostName=localhost
DatabasePort=$SELV_FB_PORT
UserName=$SELV_FB_USER
Password=$SELV_FB_PASSWORD

[CallBack]
MaxNumbersInQueue=10
MaxCallBackTries=3
EnterPinTimer=10
EnterPinMaxTries=3
EnterNumberTimer=15

[Other]
LoggingLevel=7
INI
fi

echo "Selvane runs in the foreground (settings: $settings, log: ${program%/*}/log.txt); Ctrl-C ends it."
cd "$dir"
XDG_CONFIG_DIRS=$dir/xdg "$program" -e
