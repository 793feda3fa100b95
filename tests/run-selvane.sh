#!/usr/bin/env bash
# The whole system on this machine, for a try: installs the packages, builds, and runs on 127.0.0.1
#   - a private Firebird server with the database NORVEL_CALLBACK (schema, two sample subscribers and a
#     blacklist pattern),
#   - the simulated exchange pbx-exchange on its default configuration (SIP 5060, control 7577),
#   - the callback service "Selvane -e" with settings pointing at both (in DIR, default .selvane),
# until Ctrl-C, which stops all three. The settings file is kept and may be edited between runs.
#   tests/run-selvane.sh [--kamailio] [DIR]
# --kamailio: Kamailio on deploy/kamailio/kamailio.cfg stands in for the exchange instead (SIP 5060,
# the same extensions and passwords in db_text tables in DIR/kamailio), and the service follows its
# lines and joins calls itself ([Norvel] Component=sip, the dial plan deploy/dialplan.ini); DIR
# defaults to .selvane-kamailio then, so each setup keeps its own settings.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
kamailio=no
if [ "${1:-}" = --kamailio ]; then
    kamailio=yes
    shift
fi
if [ $kamailio = yes ]; then
    dir=${1:-$root/.selvane-kamailio}
else
    dir=${1:-$root/.selvane}
fi

.ci/deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target Selvane pbx-exchange voipcall road-db ogm_announcements -j"$(nproc)"
bin=$(cd "$build" && pwd)/bin

mkdir -p "$dir/xdg/Brint"
dir=$(cd "$dir" && pwd)
# The settings file names the server's port: the server keeps the port it got on the first run.
port=$(cat "$dir/fb-port" 2>/dev/null || echo 0)
tests/fbserver.sh start "$dir/fb" "$port" >/dev/null

pids=()
stop_all() {
    # A second Ctrl-C (or the terminal's signal reaching us twice) must not cut the stop short and
    # leave the database server running.
    trap - EXIT
    trap '' INT TERM
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    "$root/tests/fbserver.sh" stop "$dir/fb" || true
}
trap stop_all EXIT
trap 'exit 0' INT TERM
# shellcheck disable=SC1091
. "$dir/fb/env"
echo "$SELV_FB_PORT" > "$dir/fb-port"
"$bin/road-db" "$SELV_FB_PORT" "$SELV_FB_USER" "$SELV_FB_PASSWORD"

if [ $kamailio = yes ]; then
    # The extensions of pbx-exchange's default configuration, each password its number.
    mkdir -p "$dir/kamailio/db"
    printf 'table_name(string) table_version(int)\nsubscriber:7\n' >"$dir/kamailio/db/version"
    {
        echo 'id(int,auto) username(string) domain(string,null) password(string)'
        id=0
        for number in 201 202 101 102 1234567 84951234567; do
            id=$((id + 1))
            echo "$id:$number:127.0.0.1:$number"
        done
    } >"$dir/kamailio/db/subscriber"
    kamailio_bin=$(command -v kamailio || echo /usr/sbin/kamailio)
    "$kamailio_bin" -f "$root/deploy/kamailio/kamailio.cfg" -DD -E -A 'SIP_PORT=5060' \
        -A "DBURL=\"text://$dir/kamailio/db\"" -A "CTL_SOCKET=\"unix:$dir/kamailio/kamailio_ctl\"" \
        -Y "$dir/kamailio" -P "$dir/kamailio/kamailio.pid" >"$dir/exchange.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do grep -q 'Listening on' "$dir/exchange.log" 2>/dev/null && break; sleep 0.1; done
    grep -q 'Listening on' "$dir/exchange.log" || { cat "$dir/exchange.log" >&2; exit 1; }
else
    "$bin/pbx-exchange" --log "$dir/exchange.log" --log-level 6 >"$dir/exchange.out" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do grep -q '^pbx-exchange sip' "$dir/exchange.out" 2>/dev/null && break; sleep 0.1; done
    grep -q '^pbx-exchange sip' "$dir/exchange.out" || { cat "$dir/exchange.out" >&2; exit 1; }
fi

settings=$dir/xdg/Brint/Selvane.ini
# A settings file from before the demo had the exchange names no lines: keep it aside, write anew.
if [ -f "$settings" ] && ! grep -q '^sip_registrations' "$settings"; then
    mv "$settings" "$settings.old"
    echo "The settings file had no SIP lines: kept as $settings.old, a new one is written."
fi
if [ $kamailio = yes ]; then
    # No control server: the service follows its lines and joins calls itself, by the dial plan.
    norvel="Component=sip
DialPlan=$root/deploy/dialplan.ini"
    exchange_text="Kamailio: SIP 127.0.0.1:5060 (log: $dir/exchange.log)"
    demo_text="(tests/demo-callback.sh speaks to pbx-exchange's control server: run the voipcall phones above.)"
else
    norvel="Server=127.0.0.1:7577
Username=selvane
Password=selvane"
    exchange_text="pbx-exchange: SIP 127.0.0.1:5060, control 7577 (log: $dir/exchange.log)"
    demo_text="tests/demo-callback.sh plays one whole callback against this demo and tells the story."
fi
if [ ! -f "$settings" ]; then
    cat > "$settings" <<INI
[Database]
DriverName=QIBASE
HostName=localhost
DatabasePort=$SELV_FB_PORT
UserName=$SELV_FB_USER
Password=$SELV_FB_PASSWORD

[Norvel]
$norvel

[SIP]
LocalAddress=127.0.0.1
ListenAddress=127.0.0.1:5080
sip_registrations\\size=2
sip_registrations\\1\\login=201
sip_registrations\\1\\password=201
sip_registrations\\1\\server=127.0.0.1:5060
sip_registrations\\2\\login=202
sip_registrations\\2\\password=202
sip_registrations\\2\\server=127.0.0.1:5060
; Calls are taken only from the lines' servers (the exchange above) and from these peers:
; "host" (any port) or "host:port" (that port only), comma-separated.
;TrustedPeers=127.0.0.1:5090

[CallBack]
MaxNumbersInQueue=10
MaxCallBackTries=3
EnterPinTimer=10
EnterPinMaxTries=3
EnterNumberTimer=15
PinLockoutFailures=3
PinLockoutWindow=60
PinLockoutMinutes=60
PersistQueue=true
LogOutgoing=true

[Other]
LoggingLevel=7
INI
fi

(cd "$dir" && XDG_CONFIG_DIRS=$dir/xdg exec "$bin/Selvane" -e >"$dir/selvane.out" 2>&1) &
pids+=($!)

cat <<TEXT
Running on 127.0.0.1 (Ctrl-C stops everything):
  database   Firebird on port $SELV_FB_PORT, database NORVEL_CALLBACK
  exchange   $exchange_text
  service    Selvane -e, lines 201 and 202 (settings: $settings, log: $bin/log.txt)

Play the subscriber: register a phone as 1234567 (password 1234567) at 127.0.0.1:5060 and call 201.
The service answers "Please wait callback", hangs up and calls you back from 201 or 202 within about
10 s: key the PIN 1234 and #, then the destination and #:
  102#             an internal phone (register a second phone as 102, password 102): allowed
  988001234567#    matches the blacklist pattern 9?8800[0-9]*: "Transfer denied"
The other subscriber is 84951234567 (PIN 4321); any other number hears "Service is unavailable".
With voipcall (two more terminals):
  $bin/voipcall --listen 127.0.0.1:5072 --register 102:102@127.0.0.1:5060
  $bin/voipcall --listen 127.0.0.1:5070 --register 1234567:1234567@127.0.0.1:5060 \\
      --call sip:201@127.0.0.1:5060 --stay --answer-keys 1234#@3 --answer-keys 102#@9 --media
From baresip: an account <sip:1234567@127.0.0.1:5060>;auth_pass=1234567, then /dial 201.
$demo_text

Watch the Incoming tab: $bin/Selvdesk with HostName=localhost, DatabaseName=norvel_callback and
DatabasePort=$SELV_FB_PORT (Settings button), login SYSDBA, password $SELV_FB_PASSWORD.
TEXT
wait "${pids[@]}"
