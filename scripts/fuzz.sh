#!/usr/bin/env bash
# Builds the libFuzzer targets with clang 14 (AddressSanitizer, LeakSanitizer,
# UndefinedBehaviorSanitizer) into build-fuzz and runs each for a bounded time,
# starting from the seed corpora in fuzz/corpus. Fails on any crash, leak,
# sanitizer report or time-out; prints the executions of each target.
#
# Usage: scripts/fuzz.sh [TARGET...]      (default: every target)
# Environment:
#   FUZZ_SECONDS=60   run time of each target
#   FUZZ_BUILD_DIR    build directory (default: <repo>/build-fuzz)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
SECONDS_EACH=${FUZZ_SECONDS:-60}
BUILD=${FUZZ_BUILD_DIR:-$ROOT/build-fuzz}
ALL_TARGETS=(reassembly universe_dispatcher world_dispatcher packet_reader)
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=("${ALL_TARGETS[@]}")

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# clang 14 and its sanitizer and libFuzzer runtimes, from Debian.
missing=()
for package in clang-14 libclang-rt-14-dev; do
    dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null | grep -q '^.i' ||
        missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "==> installing ${missing[*]}"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 update -q
    as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 \
        install -y -q --no-install-recommends "${missing[@]}"
fi

# Mbed TLS built from source by the installer, when apt could not provide it.
dependency_flags=()
for prefix in "$ROOT/build-test/deps/mbedtls" "$ROOT/build/_deps/mbedtls"; do
    if [ -f "$prefix/.kivsdk-mbedtls-source" ]; then
        dependency_flags+=("-DMbedTLS_DIR=$prefix/lib/cmake/MbedTLS")
        break
    fi
done

echo "==> fuzz build in $BUILD"
CC=clang-14 CXX=clang++-14 cmake -S . -B "$BUILD" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIVSDK_WARNINGS_AS_ERRORS=ON \
    -DKIVSDK_BUILD_FUZZERS=ON -DKIVSDK_BUILD_TESTS=OFF -DKIVSDK_BUILD_BENCHMARKS=OFF \
    "${dependency_flags[@]}" >/dev/null
build_targets=()
for target in "${TARGETS[@]}"; do build_targets+=("kivsdk_fuzz_$target"); done
cmake --build "$BUILD" -j "${KIVSDK_JOBS:-2}" --target "${build_targets[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

total=0
failed=()
summary=()
for target in "${TARGETS[@]}"; do
    corpus="$BUILD/corpus/$target"
    artifacts="$BUILD/artifacts/$target/"
    log="$BUILD/logs/$target.log"
    mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
    echo "==> fuzzing $target for ${SECONDS_EACH}s"
    status=0
    # close_fd_mask=1: the library's diagnostic lines on standard output
    # would only slow the run; reports go to standard error.
    "$BUILD/fuzz/kivsdk_fuzz_$target" "$corpus" "$ROOT/fuzz/corpus/$target" \
        -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 -max_len=70000 \
        -detect_leaks=1 -close_fd_mask=1 -print_final_stats=1 \
        -artifact_prefix="$artifacts" >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    runs=${runs:-0}
    if [ "$status" -ne 0 ] ||
        grep -Eq 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|SUMMARY: ' "$log"; then
        echo "!! $target failed (exit $status); see $log and $artifacts"
        grep -E 'ERROR|runtime error|SUMMARY|fault' "$log" | head -n 20 || true
        failed+=("$target")
    fi
    total=$((total + runs))
    summary+=("$(printf '%-22s %12s executions' "$target" "$runs")")
done

echo "==> fuzz executions (${SECONDS_EACH}s per target)"
printf '    %s\n' "${summary[@]}"
printf '    %-22s %12s executions, %d failing target(s)\n' total "$total" "${#failed[@]}"
if [ ${#failed[@]} -gt 0 ]; then
    echo "==> fuzzing failed: ${failed[*]}"
    exit 1
fi
echo "==> fuzzing passed: no crash, leak or sanitizer report"
