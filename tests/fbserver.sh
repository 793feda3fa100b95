#!/usr/bin/env bash
# A private Firebird 3.0 server for tests and the demo: its own root folder, its own port on
# 127.0.0.1, its own copy of the security database. Nothing touches the system's Firebird setup.
#
#   tests/fbserver.sh start DIR [PORT]   start (PORT 0 or missing: pick a free one); prints the env file
#   tests/fbserver.sh ensure DIR         start, unless SELV_FB_* name a server that answers (ctest's fixture)
#   tests/fbserver.sh stop DIR           stop the server started in DIR
#   tests/fbserver.sh env DIR            print the variables tests read (source it)
#
# Tests read SELV_FB_DIR, SELV_FB_PORT, SELV_FB_USER and SELV_FB_PASSWORD from DIR/env.
set -euo pipefail

FBLIB=/usr/lib/x86_64-linux-gnu/firebird/3.0
SECDB=/var/lib/firebird/3.0/system/security3.fdb
PASSWORD=${SELV_FB_PASSWORD:-masterkey}

die() { echo "fbserver: $*" >&2; exit 1; }

free_port() {
    python3 "$(dirname "$0")/loopback.py" tcp 2>/dev/null || echo $((61000 + RANDOM % 4000))
}

wait_port() {  # port, seconds
    local i
    for ((i = 0; i < $2 * 10; i++)); do
        (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

start() {
    local dir=$1 port=${2:-0}
    [ -x /usr/sbin/firebird ] || die "Firebird 3.0 server is not installed (apt-get install firebird3.0-server)"
    [ -f "$SECDB" ] || die "no security database at $SECDB"
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    if [ -f "$dir/pid" ] && kill -0 "$(cat "$dir/pid")" 2>/dev/null; then
        cat "$dir/env"; return 0
    fi
    [ "$port" = 0 ] && port=$(free_port)
    mkdir -p "$dir/data" "$dir/tmp"
    local f
    for f in firebird.msg intl plugins lib UDF include plugins.conf fbtrace.conf; do
        ln -sfn "$FBLIB/$f" "$dir/$f"
    done
    cp "$SECDB" "$dir/security3.fdb"
    chmod 0644 "$dir/security3.fdb"
    cat > "$dir/firebird.conf" <<CONF
RemoteServicePort = $port
RemoteBindAddress = 127.0.0.1
IpcName = selvtest_$port
RemotePipeName = selvtest_$port
GuardianOption = 0
ServerMode = Super
TempDirectories = $dir/tmp
SecurityDatabase = $dir/security3.fdb
CONF
    cat > "$dir/databases.conf" <<CONF
security.db = $dir/security3.fdb
NORVEL_CALLBACK = $dir/data/norvel_callback.fdb
# Aliases are case-sensitive here; the console's default names the database in lower case.
norvel_callback = $dir/data/norvel_callback.fdb
CONF
    # Set SYSDBA's password in the private security database through embedded access. Without
    # SecurityDatabase above, server and isql would both use (and alter) the system's security3.fdb,
    # and a second private server would find it locked by the first.
    FIREBIRD=$dir FIREBIRD_LOCK=$dir/tmp isql-fb -q -user SYSDBA "$dir/security3.fdb" >"$dir/isql.log" 2>&1 <<SQL || { cat "$dir/isql.log" >&2; die "could not set the SYSDBA password"; }
CREATE OR ALTER USER SYSDBA PASSWORD '$PASSWORD' USING PLUGIN Srp;
COMMIT;
SQL
    FIREBIRD=$dir FIREBIRD_LOCK=$dir/tmp FIREBIRD_TMP=$dir/tmp setsid /usr/sbin/firebird >"$dir/server.log" 2>&1 </dev/null &
    echo $! > "$dir/pid"
    wait_port "$port" 30 || { cat "$dir/server.log" >&2; die "server did not listen on port $port"; }
    cat > "$dir/env" <<ENV
export SELV_FB_DIR=$dir
export SELV_FB_PORT=$port
export SELV_FB_USER=SYSDBA
export SELV_FB_PASSWORD=$PASSWORD
ENV
    cat "$dir/env"
}

ensure() {
    if [ -n "${SELV_FB_PORT:-}" ]; then
        wait_port "$SELV_FB_PORT" 5 || die "SELV_FB_PORT=$SELV_FB_PORT names a server that does not answer"
        echo "fbserver: using the server on port $SELV_FB_PORT that SELV_FB_* name"
        return 0
    fi
    start "$1"
}

stop() {
    local dir=$1
    [ -f "$dir/pid" ] || return 0
    local pid; pid=$(cat "$dir/pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
    # Tests that fall back on DIR/env must not find a server that is gone.
    rm -f "$dir/pid" "$dir/env"
}

case "${1:-}" in
    start) [ $# -ge 2 ] || die "usage: $0 start DIR [PORT]"; start "$2" "${3:-0}" ;;
    ensure) [ $# -ge 2 ] || die "usage: $0 ensure DIR"; ensure "$2" ;;
    stop) [ $# -ge 2 ] || die "usage: $0 stop DIR"; stop "$2" ;;
    env) cat "$2/env" ;;
    *) die "usage: $0 start|ensure|stop|env DIR [PORT]" ;;
esac
