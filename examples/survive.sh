#!/usr/bin/env bash
# The greeter stays up: the sandbox is killed (SIGKILL) and started again on
# the same ports, then frozen past the greeter's liveness limit; after each
# the greeter must say it is back in its world, and between them, idle with
# keep-alives, it must lose nothing. Bounded: about 20 s, 40 s at most.
#
# Usage: examples/survive.sh KIVSANDBOX GREETER WORK_DIR     (Linux)
set -euo pipefail

if [ $# -ne 3 ]; then
    echo "usage: $0 KIVSANDBOX GREETER WORK_DIR" >&2
    exit 2
fi
if [ "$(uname -s)" != Linux ]; then
    echo "skipped: Linux only"
    exit 77
fi
SANDBOX=$1
GREETER=$2
RUN=$3
rm -rf "$RUN"
mkdir -p "$RUN"
OUT=$RUN/greeter.txt
LOG=$RUN/sandbox.log
: >"$OUT"
: >"$LOG"
started=$SECONDS

sandbox_pid=""
greeter_pid=""
stop_all() {
    # Only the processes this script started, by their ids.
    [ -n "$greeter_pid" ] && kill "$greeter_pid" 2>/dev/null || true
    [ -n "$sandbox_pid" ] && kill "$sandbox_pid" 2>/dev/null || true
    wait 2>/dev/null || true
}
trap stop_all EXIT

fail() {
    echo "FAILED: $*" >&2
    echo "--- greeter" >&2
    cat "$OUT" >&2
    echo "--- sandbox" >&2
    tail -n 20 "$LOG" >&2
    exit 1
}

# start_sandbox UNIVERSE_PORT LOBBY_PORT CONTROL_PORT (0: free ones)
start_sandbox() {
    rm -f "$RUN/ports"
    "$SANDBOX" --universe-port "$1" --world "lobby:plain:$2" --control-port "$3" --keepalive 1 \
        --port-file "$RUN/ports" >/dev/null 2>>"$LOG" &
    sandbox_pid=$!
    for _ in $(seq 100); do
        [ -s "$RUN/ports" ] && return 0
        kill -0 "$sandbox_pid" 2>/dev/null || break
        sleep 0.1
    done
    fail "the sandbox did not start"
}

# wait_for COUNT TEXT SECONDS: until the greeter printed TEXT COUNT times.
wait_for() {
    local deadline=$((SECONDS + $3))
    while [ "$(grep -cF -- "$2" "$OUT" || true)" -lt "$1" ]; do
        [ "$SECONDS" -lt "$deadline" ] || fail "no \"$2\" (x$1) within $3 s"
        kill -0 "$greeter_pid" 2>/dev/null || fail "the greeter stopped"
        sleep 0.1
    done
}

control() {
    local answer
    exec 3<>"/dev/tcp/127.0.0.1/$control_port"
    echo "$1" >&3
    read -r -t 5 answer <&3 || answer="no answer"
    exec 3<&-
    [ "${answer%% *}" = ok ] || fail "control \"$1\": $answer"
}

start_sandbox 0 0 0
ports=$(cat "$RUN/ports")
universe_port=$(sed -n 's/.*universe=\([0-9]*\).*/\1/p' <<<"$ports")
lobby_port=$(sed -n 's/.*lobby=\([0-9]*\).*/\1/p' <<<"$ports")
control_port=$(sed -n 's/.*control=\([0-9]*\).*/\1/p' <<<"$ports")

"$GREETER" --port "$universe_port" --world lobby --seconds 38 --liveness 3 >>"$OUT" 2>&1 &
greeter_pid=$!
wait_for 1 'entered "lobby"' 10

echo "==> kill -9 and a restart on the same ports"
kill -KILL "$sandbox_pid"
wait "$sandbox_pid" 2>/dev/null || true
sleep 0.5
start_sandbox "$universe_port" "$lobby_port" "$control_port"
wait_for 1 'back in "lobby"' 12
grep -q 'reconnecting the universe' "$OUT" || fail "no reconnecting line for the universe"

echo "==> idle with keep-alives every second, liveness 3 s: nothing is lost"
losses=$(grep -c 'lost the connection' "$OUT" || true)
sleep 4
[ "$(grep -c 'lost the connection' "$OUT" || true)" -eq "$losses" ] ||
    fail "a connection was lost while the server sent keep-alives"

echo "==> freeze 5 s: silent past the liveness limit"
control "freeze 5"
wait_for 2 'back in "lobby"' 16
grep -q 'silent' "$OUT" || fail "the freeze was not reported as silence"

echo "==> transcript"
cat "$OUT"
echo "the greeter stayed up: done in $((SECONDS - started)) s"
