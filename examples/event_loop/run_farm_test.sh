#!/usr/bin/env bash
# Starts a sandbox server on loopback, runs the farm against it and stops the
# server again.  Usage: run_farm_test.sh KIVSANDBOX FARM BOTS WORLD [FARM OPTION]...
set -euo pipefail
. "$(dirname "$0")/../../scripts/lib/sandbox-ready.sh"
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
port=$(sandbox_port "$server" "$work/ready" "$work/server.log")
"$farm" --port "$port" --world "$world" --bots "$bots" --seconds 120 "$@"
