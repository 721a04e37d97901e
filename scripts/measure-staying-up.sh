#!/usr/bin/env bash
# Measures how a bot stays up against the sandbox and prints the figures:
#
#   1. kill -9 and a restart on the same ports: from the server listening
#      again to the bot back in its world (the default reconnection policy:
#      first delay 1 s, doubling to 30 s, full jitter; the server stays down
#      for a second, as a crashed server would);
#   2. kill -STOP with --keepalive 2 and a liveness of 5 s: from the stop to
#      the loss report, and from kill -CONT to the bot back in its world;
#   3. logins refused after a restart (--refuse-logins): how many logins the
#      server saw before the bot gave up;
#   4. kiv_wait(bot, 100) returns per second while the bot reconnects;
#   5. the lines a bot needs to stay up, counted in the greeter examples.
#
# The probe bot is a small C program built by this script; its event lines
# carry the wall clock in nanoseconds, compared with the script's own.
#
# Usage: scripts/measure-staying-up.sh [--rounds N]      (Linux; about 1 min)
# Environment: KIVSDK_MEASURE_BUILD  build folder (default build-measure);
#              an existing build with KIVSDK and kivsandbox is reused.
set -euo pipefail

ROUNDS=5
while [ $# -gt 0 ]; do
    case $1 in
        --rounds) ROUNDS=$2; shift 2 ;;
        *) echo "usage: scripts/measure-staying-up.sh [--rounds N]" >&2; exit 2 ;;
    esac
done
if [ "$(uname -s)" != Linux ]; then
    echo "measure-staying-up.sh runs on Linux only" >&2
    exit 2
fi

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${KIVSDK_MEASURE_BUILD:-$ROOT/build-measure}
RUN=$BUILD/measure-staying-up
rm -rf "$RUN"
mkdir -p "$RUN"

log() { printf '==> %s\n' "$*" >&2; }

# ---- Build -------------------------------------------------------------------

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    log "configuring $BUILD"
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKIVSDK_BUILD_TESTS=OFF -DKIVSDK_BUILD_BENCHMARKS=OFF >/dev/null
fi
log "building KIVSDK and kivsandbox"
cmake --build "$BUILD" -j "${KIVSDK_JOBS:-2}" --target KIVSDK kivsandbox >/dev/null
SANDBOX=$BUILD/sandbox/kivsandbox
LIBDIR=$BUILD/src
PROBE=$RUN/probe

cat >"$RUN/probe.c" <<'EOF'
/* The probe bot: logs in, enters a world, stays up with the default policy
 * and prints "<wall-clock ns> <what>" for each step. While a side is not up
 * it counts the returns of kiv_wait(bot, 100). */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "kivsdk.h"

static long long now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}
static long long mono_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}
static const char* side(KIVInstance* bot) {
    return kiv_int(bot, KIV_DISCONNECT_SIDE) == KIV_SIDE_WORLD ? "world" : "universe";
}
static int g_gave_up = 0;
static void on_lost(KIVInstance* bot) {
    printf("%lld lost %s %s\n", now_ns(), side(bot), kiv_string(bot, KIV_DISCONNECT_TEXT));
}
static void on_reconnecting(KIVInstance* bot) {
    printf("%lld reconnecting %s attempt %d delay %d\n", now_ns(), side(bot),
           kiv_int(bot, KIV_RECONNECT_ATTEMPT), kiv_int(bot, KIV_RECONNECT_DELAY));
}
static void on_back(KIVInstance* bot) { printf("%lld back %s\n", now_ns(), side(bot)); }
static void on_gave_up(KIVInstance* bot) {
    printf("%lld gaveup %s attempts %d %s\n", now_ns(), side(bot),
           kiv_int(bot, KIV_RECONNECT_ATTEMPT), kiv_string(bot, KIV_DISCONNECT_TEXT));
    g_gave_up = 1;
}

int main(int argc, char** argv) {
    KIVReconnectPolicy policy = {sizeof(KIVReconnectPolicy), 1, 1000, 30000, 0, 1};
    KIVInstance* bot;
    long long deadline, down_since = 0, down_ns = 0;
    long waits = 0, waits_9 = 0;
    int rc;
    if (argc != 5) {
        fprintf(stderr, "usage: probe PORT NAME LIVENESS SECONDS\n");
        return 2;
    }
    setvbuf(stdout, NULL, _IOLBF, 0);
    if (kiv_init(KIVSDK_INTERFACE_VERSION) != 0 || !(bot = kiv_create(NULL))) return 1;
    kiv_event_set(bot, KIV_EVENT_UNIVERSE_DISCONNECT, on_lost);
    kiv_event_set(bot, KIV_EVENT_WORLD_DISCONNECT, on_lost);
    kiv_event_set(bot, KIV_EVENT_RECONNECTING, on_reconnecting);
    kiv_event_set(bot, KIV_EVENT_RECONNECTED, on_back);
    kiv_event_set(bot, KIV_EVENT_GAVE_UP, on_gave_up);
    kiv_reconnect_set(bot, &policy);
    kiv_liveness_set(bot, atoi(argv[3]));
    if ((rc = kiv_connect_universe(bot, "127.0.0.1", atoi(argv[1]))) != 0 ||
        (rc = kiv_login(bot, argv[2], "any", "")) != 0 || (rc = kiv_enter(bot, "lobby")) != 0) {
        fprintf(stderr, "probe: could not enter: %d\n", rc);
        return 1;
    }
    kiv_double_set(bot, KIV_MY_X, 1.0);
    kiv_state_change(bot);
    printf("%lld entered\n", now_ns());
    deadline = mono_ns() + atoll(argv[4]) * 1000000000LL;
    while (mono_ns() < deadline && !g_gave_up) {
        const int up = kiv_state(bot, KIV_SIDE_WORLD) == KIV_STATE_READY;
        if (!up && down_since == 0) down_since = mono_ns();
        rc = kiv_wait(bot, 100);
        if (!up) {
            ++waits;
            if (rc == KIV_RC_CONNECTION_ERROR) ++waits_9;
        }
        if (down_since != 0 && (kiv_state(bot, KIV_SIDE_WORLD) == KIV_STATE_READY || g_gave_up)) {
            down_ns += mono_ns() - down_since;
            down_since = 0;
            printf("%lld waits %ld rc9 %ld down_ms %lld\n", now_ns(), waits, waits_9,
                   down_ns / 1000000);
            waits = waits_9 = 0;
            down_ns = 0;
        }
    }
    kiv_destroy(bot);
    return 0;
}
EOF
cc -std=c99 -O2 -Wall -Wextra -I "$ROOT/include" -o "$PROBE" "$RUN/probe.c" -L "$LIBDIR" -lKIVSDK \
    -Wl,-rpath,"$LIBDIR"

# ---- Processes ---------------------------------------------------------------

sandbox_pid=""
probe_pid=""
stop_all() {
    # Only the processes this script started, by their ids.
    [ -n "$sandbox_pid" ] && kill -CONT "$sandbox_pid" 2>/dev/null || true
    [ -n "$probe_pid" ] && kill "$probe_pid" 2>/dev/null || true
    [ -n "$sandbox_pid" ] && kill "$sandbox_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    sandbox_pid=""
    probe_pid=""
}
trap stop_all EXIT

now() { date +%s%N; }

# start_sandbox LOG EXTRA_OPTIONS...: on the ports of the first start (0:
# free ones); sets listening_at to when the ready line appeared.
UNIVERSE_PORT=0
LOBBY_PORT=0
start_sandbox() {
    local log_file=$1
    shift
    rm -f "$RUN/ports"
    "$SANDBOX" --universe-port "$UNIVERSE_PORT" --world "lobby:plain:$LOBBY_PORT" \
        --port-file "$RUN/ports" "$@" >/dev/null 2>>"$log_file" &
    sandbox_pid=$!
    for _ in $(seq 2000); do
        if [ -s "$RUN/ports" ]; then
            listening_at=$(now)
            UNIVERSE_PORT=$(sed -n 's/.*universe=\([0-9]*\).*/\1/p' "$RUN/ports")
            LOBBY_PORT=$(sed -n 's/.*lobby=\([0-9]*\).*/\1/p' "$RUN/ports")
            return 0
        fi
        sleep 0.005
    done
    echo "the sandbox did not start" >&2
    exit 1
}

kill_sandbox() {
    kill -KILL "$sandbox_pid"
    wait "$sandbox_pid" 2>/dev/null || true
    sandbox_pid=""
}

# start_probe OUT LIVENESS
start_probe() {
    : >"$1"
    "$PROBE" "$UNIVERSE_PORT" "probe$RANDOM" "$2" 120 >"$1" 2>&1 &
    probe_pid=$!
    wait_line "$1" entered 1 10 >/dev/null
}

stop_probe() {
    kill "$probe_pid" 2>/dev/null || true
    wait "$probe_pid" 2>/dev/null || true
    probe_pid=""
}

# wait_line FILE WORDS COUNT SECONDS: the time of the COUNT-th line holding WORDS.
wait_line() {
    local deadline=$((SECONDS + $4)) found
    while :; do
        found=$( (grep -F -- " $2" "$1" || true) | sed -n "$3p" | cut -d' ' -f1)
        [ -n "$found" ] && { echo "$found"; return 0; }
        if [ "$SECONDS" -ge "$deadline" ]; then
            echo "no \"$2\" in $1 within $4 s:" >&2
            cat "$1" >&2
            exit 1
        fi
        sleep 0.01
    done
}

ms() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.0f", (b - a) / 1e6 }'; }
summary() {   # min median max of the arguments
    printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END {
        printf "min %d, median %d, max %d ms", v[1], v[int((NR + 1) / 2)], v[NR] }'
}

# ---- 1 and 4: kill -9 and a restart ------------------------------------------

log "kill -9 and restart, $ROUNDS rounds"
restart_ms=()
wait_rates=()
for round in $(seq "$ROUNDS"); do
    start_sandbox "$RUN/sandbox.log"
    start_probe "$RUN/kill-$round.txt" 0
    kill_sandbox
    sleep 1
    start_sandbox "$RUN/sandbox.log"
    back=$(wait_line "$RUN/kill-$round.txt" "back world" 1 40)
    restart_ms+=("$(ms "$listening_at" "$back")")
    read -r waits down <<<"$(grep -F ' waits ' "$RUN/kill-$round.txt" | head -n 1 | awk '{ print $3, $7 }')"
    wait_rates+=("$(awk -v n="$waits" -v d="$down" 'BEGIN { printf "%.1f", n * 1000 / d }')")
    rc9=$(grep -F ' waits ' "$RUN/kill-$round.txt" | head -n 1 | awk '{ print $5 }')
    [ "$rc9" = 0 ] || wait_rates[-1]="${wait_rates[-1]} ($rc9 returned 9)"
    stop_probe
    stop_all
done

# ---- 2: kill -STOP past the liveness limit -----------------------------------

STOP_ROUNDS=$(( ROUNDS < 3 ? ROUNDS : 3 ))
log "kill -STOP with --keepalive 2 and liveness 5 s, $STOP_ROUNDS rounds"
loss_ms=()
cont_ms=()
for round in $(seq "$STOP_ROUNDS"); do
    start_sandbox "$RUN/sandbox.log" --keepalive 2
    start_probe "$RUN/stop-$round.txt" 5
    sleep 3   # a few keep-alives first
    stopped=$(now)
    kill -STOP "$sandbox_pid"
    lost=$(wait_line "$RUN/stop-$round.txt" "lost" 1 15)
    loss_ms+=("$(ms "$stopped" "$lost")")
    sleep 2
    continued=$(now)
    kill -CONT "$sandbox_pid"
    back=$(wait_line "$RUN/stop-$round.txt" "back world" 1 40)
    cont_ms+=("$(ms "$continued" "$back")")
    stop_probe
    stop_all
done

# ---- 3: logins refused after a restart ---------------------------------------

log "logins refused after a restart"
start_sandbox "$RUN/sandbox.log"
start_probe "$RUN/refused.txt" 0
kill_sandbox
: >"$RUN/refusing.log"
start_sandbox "$RUN/refusing.log" --refuse-logins 5:1
wait_line "$RUN/refused.txt" "gaveup universe" 1 60 >/dev/null
read -r gave_up_side gave_up_attempts gave_up_text <<<"$(grep -F ' gaveup ' "$RUN/refused.txt" |
    head -n 1 | awk '{ printf "%s %s ", $3, $5; for (i = 6; i <= NF; ++i) printf "%s ", $i }')"
logins_seen=$(grep -c 'universe .* secured' "$RUN/refusing.log" || true)
stop_probe
stop_all

# ---- 5: lines ----------------------------------------------------------------

c_lines=$(grep -c '/\* stay up \*/$' "$ROOT/examples/greeter.c")
py_lines=$(grep -c '# stay up$' "$ROOT/bindings/python/examples/greeter.py")

# ---- Report ------------------------------------------------------------------

echo "Staying up, measured $(date -u +%Y-%m-%d) on $(nproc) cores ($(uname -sr))"
echo
echo "kill -9, 1 s down, restart on the same ports -> back in the world"
echo "  from listening again: $(summary "${restart_ms[@]}")   (${restart_ms[*]})"
echo "kill -STOP (keep-alive 2 s, liveness 5 s)"
echo "  stop -> loss reported: $(summary "${loss_ms[@]}")   (${loss_ms[*]})"
echo "  kill -CONT -> back in the world: $(summary "${cont_ms[@]}")   (${cont_ms[*]})"
echo "logins refused after a restart (5 refusals queued, result 1)"
echo "  logins the server saw before the bot gave up: $logins_seen"
echo "  event 28: side $gave_up_side, KIV_RECONNECT_ATTEMPT $gave_up_attempts, \"$gave_up_text\""
echo "kiv_wait(bot, 100) returns per second while reconnecting"
echo "  ${wait_rates[*]}"
echo "lines a bot needs to stay up"
echo "  examples/greeter.c: $c_lines; bindings/python/examples/greeter.py: $py_lines"
