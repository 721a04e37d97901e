#!/usr/bin/env bash
# The main job: builds KIVSDK with its sandbox server and example bots,
# starts the sandbox on free loopback ports, lets two bots meet in one world
# (chat, objects, a cell query, terrain, an invitation), prints what they
# did, stops the sandbox and exits 0. It prints the address of the
# sandbox's live view (a page showing the world); with --view the sandbox
# stays up after the bots met, so a person can look, until Ctrl-C.
#
# Usage: bash scripts/main-job.sh [--view [PORT]]
#                                     (on Debian 12, as root or with sudo for
#                                      the first run, which installs packages)
#   --view [PORT]   keep the sandbox running after the meeting; the page on
#                   127.0.0.1:PORT (default a free port)
# Environment: KIVSDK_MAIN_JOB_BUILD  build folder (default build-main-job)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
BUILD=${KIVSDK_MAIN_JOB_BUILD:-$ROOT/build-main-job}
DEPS_PREFIX=$BUILD/deps/mbedtls
JOBS=${KIVSDK_JOBS:-$(nproc)}
view=0
http_port=0
while [ $# -gt 0 ]; do
    case $1 in
        --view)
            view=1
            if [ $# -gt 1 ] && [[ $2 =~ ^[0-9]+$ ]]; then http_port=$2; shift; fi ;;
        *) echo "usage: $0 [--view [PORT]]" >&2; exit 2 ;;
    esac
    shift
done

echo "==> dependencies"
bash scripts/install-deps.sh "$DEPS_PREFIX"
dependency_flags=()
if [ -f "$DEPS_PREFIX/.kivsdk-mbedtls-source" ]; then
    dependency_flags+=("-DMbedTLS_DIR=$DEPS_PREFIX/lib/cmake/MbedTLS")
fi

echo "==> build ($BUILD)"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKIVSDK_BUILD_TESTS=OFF -DKIVSDK_BUILD_BENCHMARKS=OFF "${dependency_flags[@]}" >/dev/null
cmake --build "$BUILD" -j "$JOBS" --target kivsandbox kivsdk_greeter kivsdk_builder

KIVSDK_MEET_VIEW=$view KIVSDK_MEET_HTTP_PORT=$http_port bash examples/meet.sh "$BUILD/sandbox/kivsandbox" "$BUILD/examples/greeter" "$BUILD/examples/builder" \
    "$BUILD/main-job"
echo "main job: passed"
