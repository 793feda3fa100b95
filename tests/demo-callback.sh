#!/usr/bin/env bash
# One whole callback against the running demo (tests/run-selvane.sh in another terminal), with both
# phones played by voipcall: the subscriber 1234567 calls line 201, is hung up, is called back, keys
# the PIN 1234 and the destination 102, and talks to the phone 102 until it hangs up 25 s into the
# callback. The story is printed as it happens, from the phones, the exchange's log and the service's.
#   tests/demo-callback.sh [DIR]     (DIR: the demo's folder, default .selvane)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/.selvane}
bin=$(cd "$root/${BUILD_DIR:-build}" && pwd)/bin
[ -f "$dir/exchange.log" ] && (exec 3<>/dev/tcp/127.0.0.1/7577) 2>/dev/null ||
    { echo "demo-callback: start tests/run-selvane.sh first (no exchange on 127.0.0.1:7577)" >&2; exit 1; }

work=$(mktemp -d /tmp/selvane-demo-call.XXXXXX)
pids=()
finish() {
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap finish EXIT

: >"$work/subscriber.out"
: >"$work/destination.out"
# The story: every source's lines that matter, told in words (mawk must not wait for a full buffer).
awk=(awk)
awk -W version 2>&1 | grep -q mawk && awk=(awk -W interactive)
tail -n0 -F "$dir/exchange.log" "$bin/log.txt" "$work/subscriber.out" "$work/destination.out" 2>/dev/null |
    "${awk[@]}" '
    function say(who, text) { printf "%s  %-12s %s\n", strftime("%H:%M:%S"), who, text; fflush() }
    /^==> .* <==$/ { src = $2; next }
    src ~ /subscriber/ && /^calling /     { say("subscriber", "1234567 calls line 201") }
    src ~ /subscriber/ && /^established / { say("subscriber", ++est == 1 ? "line 201 answers: the welcome plays" : "answers the callback from " $3) }
    src ~ /subscriber/ && /^released /    { say("subscriber", ++rel == 1 ? "hung up by the service; the number waits in the queue" : "hangs up") }
    src ~ /subscriber/ && /^keys .* 1234#/ { say("subscriber", "keys the PIN 1234#") }
    src ~ /subscriber/ && /^keys .* 102#/  { say("subscriber", "keys the destination 102#") }
    src ~ /destination/ && /^established / { say("phone 102", "rings and answers the call from " $3) }
    src ~ /destination/ && /^released /    { say("phone 102", "released") }
    /^media / { n[src $2]++; if (n[src $2] % 5 == 0) { split($4, r, "="); say(src ~ /subscriber/ ? "subscriber" : "phone 102", "audio packets received on " $2 ": " r[2]) } }
    /OnIncommingCall queue not full/    { say("service", "1234567 is a subscriber: logged (INCOMINGLOG, result 1) and queued") }
    /MakeCallFromIVR Making call to/    { sub(/.*Making call to /, ""); say("service", "calls back " $1 " from line " $3) }
    /Got correct PIN/                   { say("service", "PIN accepted: asks for the number") }
    /trying to transfer/                { say("service", "102 is not blacklisted: transfer") }
    /Making transfer.. Making call/     { say("service", "calls 102 on the same line") }
    /OnSIPCallConnected from NORCOM Cleared call sucessfull/ { say("service", "102 answered: its transfer leg cleared") }
    /OnSIPCallDisconnected from NorCOM Cleared call sucessfull/ { say("service", "the line is free: its callback leg cleared") }
    /Informational\]: line 20[12] call [0-9]+ [a-z]+$/ { sub(/.*\]: /, ""); say("exchange", $0) }
    /joined with call/                  { sub(/.*\]: /, ""); say("exchange", $0 ": subscriber and 102 talk") }
    /joined party .* hung up/           { sub(/.*\]: /, ""); say("exchange", $0) }
    ' &
pids+=($!)

"$bin/voipcall" --listen 127.0.0.1:5072 --register 102:102@127.0.0.1:5060 --media >"$work/destination.out" 2>&1 &
pids+=($!)
sleep 1
"$bin/voipcall" --listen 127.0.0.1:5070 --register 1234567:1234567@127.0.0.1:5060 \
    --call sip:201@127.0.0.1:5060 --stay --answer-keys 1234#@3 --answer-keys 102#@9 \
    --hangup-after 25 --media >"$work/subscriber.out" 2>&1 &
pids+=($!)

# Done when the subscriber's second call (the callback) has ended, or after two minutes.
for _ in $(seq 1200); do
    [ "$(grep -c '^released ' "$work/subscriber.out")" -ge 2 ] && break
    sleep 0.1
done
sleep 2 # the last lines of the logs
received=$(grep '^media ' "$work/destination.out" | tail -1 | sed 's/.*received=//')
echo "phone 102 received ${received:-0} audio packets; the callback is over."
