#!/usr/bin/env bash
# Builds the test kit's tests with ThreadSanitizer and runs them: the kit's
# thread and a bot's thread must share nothing but their sockets, so any
# data race between them stops the run. The sandbox's live view is checked
# the same way: its HTTP threads and the server loop share only the hub. A
# third, small build beside those of scripts/test.sh: only these test
# programs, no benchmarks, no other tests.
#
# Usage: scripts/test-tsan.sh       (as root on Debian 12, or with sudo)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
JOBS=${KIVSDK_JOBS:-$(nproc)}
DEPS_PREFIX=$ROOT/build-test/deps/mbedtls
DIR=build-test/tsan

bash scripts/install-deps.sh "$DEPS_PREFIX"

dependency_flags=()
if [ -f "$DEPS_PREFIX/.kivsdk-mbedtls-source" ]; then
    dependency_flags+=("-DMbedTLS_DIR=$DEPS_PREFIX/lib/cmake/MbedTLS")
fi

echo "==> ThreadSanitizer build of the kit's tests (Ninja)"
env -u CMAKE_GENERATOR cmake -S . -B "$DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKIVSDK_WARNINGS_AS_ERRORS=ON -DKIVSDK_BUILD_BENCHMARKS=OFF "${dependency_flags[@]}" \
    -DCMAKE_C_FLAGS=-fsanitize=thread -DCMAKE_CXX_FLAGS=-fsanitize=thread \
    -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread
if ! grep -q '^KIVSDK_MBEDTLS_THREADING:INTERNAL=1$' "$DIR/CMakeCache.txt"; then
    echo "test-tsan: Mbed TLS has no threading layer, so there is no test kit to check" >&2
    exit 1
fi
cmake --build "$DIR" -j "$JOBS" --target kivsdk_testkit_tests kivsdk_testkit_greeter_example \
    kivsdk_sandbox_tests

# setarch -R: ThreadSanitizer of GCC 12 cannot map its shadow memory under
# the address randomisation of newer kernels (mmap_rnd_bits above 28).
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
setarch "$(uname -m)" -R \
    ctest --test-dir "$DIR" -L testkit --output-on-failure -j "$JOBS" --timeout 300
echo "==> the sandbox's live view under ThreadSanitizer (HTTP threads and the server loop)"
setarch "$(uname -m)" -R "$DIR/tests/kivsdk_sandbox_tests" --gtest_filter='View*:SandboxView*'
echo "==> the kit's and the live view's tests passed under ThreadSanitizer"
