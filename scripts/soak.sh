#!/usr/bin/env bash
# The long soak by hand: many bots in one sandbox world, plain and over TLS,
# for a bounded time each; prints bots, lines, seconds, lost, duplicated and
# resident memory at the start and the end.
#
# Usage: scripts/soak.sh [BOTS] [SECONDS] [RATE]
#        (default 50 bots, 300 s, 20 lines a second per bot)
# Environment: SOAK_BUILD_DIR (default <repo>/build-rel)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${SOAK_BUILD_DIR:-$ROOT/build-rel}
BOTS=${1:-50}
SECONDS_EACH=${2:-300}
RATE=${3:-20}

if [ ! -f "$BUILD/build.ninja" ]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DKIVSDK_WARNINGS_AS_ERRORS=ON -DKIVSDK_BUILD_BENCHMARKS=OFF
fi
cmake --build "$BUILD" -j "${KIVSDK_JOBS:-2}" --target kivsdk_soak
failed=0
for world in lobby garden; do
    "$BUILD/tests/kivsdk_soak" --bots "$BOTS" --seconds "$SECONDS_EACH" --rate "$RATE" \
        --world "$world" || failed=1
done
exit "$failed"
