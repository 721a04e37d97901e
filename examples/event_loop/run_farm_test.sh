#!/usr/bin/env bash
# Starts a sandbox server on loopback, runs the farm against it and stops the
# server again.  Usage: run_farm_test.sh KIVSANDBOX FARM BOTS WORLD [FARM OPTION]...
set -euo pipefail
sandbox=$1 farm=$2 bots=$3 world=$4
shift 4
work=$(mktemp -d)
server=
cleanup() {
    if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

# A generous stall limit: under a loaded test run the farm may fall behind.
"$sandbox" --quiet --bind 127.0.0.1 --stall-timeout 120 --port-file "$work/ready" >/dev/null 2>"$work/server.log" &
server=$!
for _ in $(seq 200); do   # at most 20 s
    [ -s "$work/ready" ] && break
    kill -0 "$server" 2>/dev/null || { cat "$work/server.log"; exit 1; }
    sleep 0.1
done
[ -s "$work/ready" ] || { echo "sandbox not ready"; cat "$work/server.log"; exit 1; }
port=$(sed -n 's/^ready universe=\([0-9]*\).*/\1/p' "$work/ready")
"$farm" --port "$port" --world "$world" --bots "$bots" --seconds 120 "$@"
