#!/usr/bin/env bash
# Installs the dependencies, then builds and runs every test twice: a build
# with warnings as errors, and a build with AddressSanitizer and
# UndefinedBehaviorSanitizer. The first uses Ninja, the second CMake's default
# generator (Unix Makefiles), so both kinds of build files are exercised.
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

# run_build <name> <generator> <cmake arguments...>; an empty generator means
# CMake's own default (no -G, and CMAKE_GENERATOR from the environment is
# ignored).
run_build() {
    local name=$1 generator=$2
    shift 2
    local dir="build-test/$name" generator_flags=() wanted=${generator:-Unix Makefiles}
    [ -n "$generator" ] && generator_flags=(-G "$generator")
    echo "==> $name build ($wanted)"
    # A tree configured earlier with another generator cannot be reused.
    if [ -f "$dir/CMakeCache.txt" ] &&
        ! grep -qx "CMAKE_GENERATOR:INTERNAL=$wanted" "$dir/CMakeCache.txt"; then
        rm -rf "$dir"
    fi
    env -u CMAKE_GENERATOR cmake -S . -B "$dir" "${generator_flags[@]}" \
        -DKIVSDK_WARNINGS_AS_ERRORS=ON "${dependency_flags[@]}" "$@"
    cmake --build "$dir" -j "$JOBS"
    ctest --test-dir "$dir" --output-on-failure -j "$JOBS" --timeout 300
}

run_build release Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_build sanitize "" -DCMAKE_BUILD_TYPE=Debug -DKIVSDK_SANITIZE=ON -DKIVSDK_BUILD_BENCHMARKS=OFF

echo "==> all tests passed"
