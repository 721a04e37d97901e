#!/usr/bin/env bash
# Installs the dependencies, then builds and runs every test twice: a build
# with warnings as errors, and a build with AddressSanitizer and
# UndefinedBehaviorSanitizer.
#
# Usage: scripts/test.sh            (as root on Debian 12, or with sudo)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
JOBS=${KIVSDK_JOBS:-$(nproc)}
DEPS_PREFIX=$ROOT/build-test/deps/mbedtls

bash scripts/install-deps.sh "$DEPS_PREFIX"

dependency_flags=()
if [ -f "$DEPS_PREFIX/.kivsdk-mbedtls-source" ]; then
    dependency_flags+=("-DMbedTLS_DIR=$DEPS_PREFIX/lib/cmake/MbedTLS")
fi

run_build() {
    local name=$1
    shift
    echo "==> $name build"
    cmake -S . -B "build-test/$name" -G Ninja -DKIVSDK_WARNINGS_AS_ERRORS=ON \
        "${dependency_flags[@]}" "$@"
    cmake --build "build-test/$name" -j "$JOBS"
    ctest --test-dir "build-test/$name" --output-on-failure -j "$JOBS" --timeout 300
}

run_build release -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_build sanitize -DCMAKE_BUILD_TYPE=Debug -DKIVSDK_SANITIZE=ON -DKIVSDK_BUILD_BENCHMARKS=OFF

echo "==> all tests passed"
