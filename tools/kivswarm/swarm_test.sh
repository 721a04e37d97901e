#!/usr/bin/env bash
# kivswarm against a sandbox started here on loopback: 50 bots for 10 s
# spread over two worlds with every behaviour on; then check_report.cmake
# reads the JSON report (CMake's own JSON parser) and the HTML page. A bad
# command line must exit 2 before anything connects.
# The worlds are TLS worlds, so the run covers the TLS path too.
#   swarm_test.sh KIVSANDBOX KIVSWARM CMAKE CHECK_REPORT_CMAKE
set -euo pipefail
. "$(dirname "$0")/../../scripts/lib/sandbox-ready.sh"
sandbox=$1 swarm=$2 cmake=$3 check=$4
bots=50 seconds=10
work=$(mktemp -d)
server=
cleanup() {
    if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

status=0
"$swarm" --bots none >/dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || { echo "a bad command line exited with $status, not 2"; exit 1; }

# A generous stall limit: under a loaded test run the swarm may fall behind.
"$sandbox" --quiet --bind 127.0.0.1 --stall-timeout 120 --world garden:tls --world park:tls \
    --port-file "$work/ready" >/dev/null 2>"$work/server.log" &
server=$!
port=$(sandbox_port "$server" "$work/ready" "$work/server.log")

"$swarm" --port "$port" --world garden --world park --bots "$bots" --duration "$seconds" \
    --ramp 25 --walk-hz 2 --chat-every 2 --build-every 3 --query-every 2 --reenter-every 8 \
    --max-failures 0 --json "$work/report.json" --html "$work/report.html"
"$cmake" -DREPORT="$work/report.json" -DHTML="$work/report.html" -DBOTS="$bots" \
    -DSECONDS="$seconds" -P "$check"
