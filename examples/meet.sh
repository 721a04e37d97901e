#!/usr/bin/env bash
# Starts the sandbox on free loopback ports, lets the greeter and the builder
# meet in its lobby, prints the transcript of what they did, stops the
# sandbox, and fails unless everything expected happened. The sandbox serves
# its live view too; with KIVSDK_MEET_VIEW=1 it stays up after the bots met,
# for a person to look at the world in a browser, until Ctrl-C.
#
# Usage: examples/meet.sh KIVSANDBOX GREETER BUILDER WORK_DIR
set -euo pipefail
. "$(dirname "$0")/../scripts/lib/sandbox-ready.sh"

if [ $# -ne 4 ]; then
    echo "usage: $0 KIVSANDBOX GREETER BUILDER WORK_DIR" >&2
    exit 2
fi
SANDBOX=$1
GREETER=$2
BUILDER=$3
RUN=$4
rm -rf "$RUN"
mkdir -p "$RUN"
TRANSCRIPT=$RUN/transcript.txt
SANDBOX_LOG=$RUN/sandbox.log
: >"$TRANSCRIPT"

sandbox_pid=""
greeter_pid=""
stop_all() {
    # Only the processes this script started, by their ids.
    [ -n "$greeter_pid" ] && kill "$greeter_pid" 2>/dev/null || true
    if [ -n "$sandbox_pid" ] && kill -0 "$sandbox_pid" 2>/dev/null; then
        kill -INT "$sandbox_pid" 2>/dev/null || true
        for _ in $(seq 50); do kill -0 "$sandbox_pid" 2>/dev/null || break; sleep 0.1; done
    fi
}
trap stop_all EXIT

started=$(date +%s%N)
echo "==> sandbox"
"$SANDBOX" --port-file "$RUN/ports" --http "${KIVSDK_MEET_HTTP_PORT:-0}" >/dev/null 2>"$SANDBOX_LOG" &
sandbox_pid=$!
universe_port=$(sandbox_port "$sandbox_pid" "$RUN/ports" "$SANDBOX_LOG" 100)
cat "$RUN/ports"
http_port=$(sed -n 's/.* http=\([0-9]*\).*/\1/p' "$RUN/ports")
echo "live view: http://127.0.0.1:$http_port/"

echo "==> bots"
"$GREETER" --port "$universe_port" --world lobby --once --seconds 25 >>"$TRANSCRIPT" &
greeter_pid=$!
# The builder comes once the greeter stands in the lobby.
for _ in $(seq 100); do
    grep -q "entered as greeter" "$SANDBOX_LOG" && break
    sleep 0.1
done
builder_status=0
"$BUILDER" --port "$universe_port" --world lobby --seconds 20 >>"$TRANSCRIPT" || builder_status=$?
greeter_status=0
wait "$greeter_pid" || greeter_status=$?
greeter_pid=""
sandbox_status=0
if [ "${KIVSDK_MEET_VIEW:-0}" = 1 ]; then
    echo
    echo "==> the bots met; the sandbox stays up: open http://127.0.0.1:$http_port/ (Ctrl-C ends it)"
    # Ctrl-C reaches the sandbox as well; the script only waits for it.
    trap 'kill -INT "$sandbox_pid" 2>/dev/null || true' INT
    wait "$sandbox_pid" || sandbox_status=$?
    # The signal cuts that wait short (status 128+2): wait again for the
    # sandbox's own status (0 when it stopped on SIGINT).
    if [ "$sandbox_status" -gt 128 ]; then
        sandbox_status=0
        wait "$sandbox_pid" || sandbox_status=$?
    fi
    trap - INT
else
    stop_all
    wait "$sandbox_pid" || sandbox_status=$?
fi
sandbox_pid=""
finished=$(date +%s%N)

echo
echo "==> transcript"
cat "$TRANSCRIPT"
echo
echo "==> sandbox log ($SANDBOX_LOG)"
grep -E "logged in|entered as|secured|error|stopped" "$SANDBOX_LOG" || true
echo

# What the run must have shown.
failures=0
for expected in "greeter] entered" "builder] entered" "greeter] says: Hello, builder" \
                "builder] hears greeter: It is" "greeter] sees object" "cell (0, 0) is at revision" \
                "greeter] sees terrain node" "builder] greeter accepted the invitation" \
                "builder] the garden is done"; do
    if ! grep -qF "$expected" "$TRANSCRIPT"; then
        echo "missing from the transcript: $expected" >&2
        failures=$((failures + 1))
    fi
done
seconds=$(awk -v a="$started" -v b="$finished" 'BEGIN { printf "%.1f", (b - a) / 1e9 }')
if [ "$builder_status" -ne 0 ] || [ "$greeter_status" -ne 0 ] || [ "$sandbox_status" -ne 0 ] ||
   [ "$failures" -ne 0 ]; then
    echo "the meeting FAILED (builder $builder_status, greeter $greeter_status, sandbox $sandbox_status," \
         "$failures missing line(s)) after ${seconds} s" >&2
    exit 1
fi
echo "the bots met: done in ${seconds} s"
