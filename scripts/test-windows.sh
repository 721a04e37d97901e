#!/usr/bin/env bash
# Cross-builds KIVSDK.dll and the tests for 64-bit Windows with mingw-w64 and
# runs the tests under Wine.
#
# Usage: scripts/test-windows.sh            (as root on Debian 12, or with sudo)
#        scripts/test-windows.sh --deps-only        only build (or reuse) the deps
#        scripts/test-windows.sh --wine-run EXE [ARG...]
#                                    run one program in the Wine prefix (used by
#                                    scripts/test-packages.sh for the SDK zip)
#
# Everything it makes stays in the build tree (default build-win/):
#   deps/mbedtls     Mbed TLS built from Debian's source package of exactly the
#                    version the Linux build uses
#   deps/googletest  GoogleTest built from /usr/src/googletest
#   wineprefix/      the Wine prefix the tests run in
# Re-runs reuse both dependency builds while their versions are unchanged.
#
# Environment:
#   KIVSDK_WIN_BUILD=DIR   build tree (default <repo>/build-win)
#   KIVSDK_JOBS=N          parallel build jobs (default: number of CPUs)
#   KIVSDK_WIN_DEPS=DIR    the dependency builds (default <build tree>/deps); a
#                          tree whose builds are current is only read
#   KIVSDK_WINEPREFIX=DIR  the Wine prefix (default <build tree>/wineprefix)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
BUILD=${KIVSDK_WIN_BUILD:-$ROOT/build-win}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
JOBS=${KIVSDK_JOBS:-$(nproc)}
TOOLCHAIN=$ROOT/cmake/toolchain-mingw64.cmake
DEPS=${KIVSDK_WIN_DEPS:-$BUILD/deps}
case $DEPS in /*) ;; *) DEPS=$ROOT/$DEPS ;; esac
MODE=${1:-test}
WINE=/usr/lib/wine/wine64
# Where scripts/test.sh has install-deps.sh build Mbed TLS when the packages
# do not install.
LINUX_MBEDTLS_PREFIX=$ROOT/build-test/deps/mbedtls
SRC_SOURCES_FILE=/etc/apt/sources.list.d/kivsdk-mbedtls-win-src.sources
BIN_SOURCES_FILE=/etc/apt/sources.list.d/kivsdk-mbedtls.sources
start=$(date +%s)

log() { printf '==> [%4d s] %s\n' "$(($(date +%s) - start))" "$*"; }
die() { printf 'test-windows: error: %s\n' "$*" >&2; exit 1; }
as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# --- Wine: one prefix, no prompts, its server stopped on exit ---------------
wine_setup() {
    export WINEPREFIX=${KIVSDK_WINEPREFIX:-$BUILD/wineprefix}
    export WINEDEBUG=-all
    # No Mono or Gecko prompts: the tests need neither.
    export WINEDLLOVERRIDES='mscoree,mshtml='
    [ -x "$WINE" ] || die "$WINE not found (Debian package wine64)"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        log "creating the Wine prefix $WINEPREFIX"
        mkdir -p "$(dirname "$WINEPREFIX")"
        "$WINE" wineboot -i >/dev/null 2>&1 || die "wineboot failed"
    fi
    trap stop_wineserver EXIT
}
stop_wineserver() { WINEPREFIX=$WINEPREFIX /usr/lib/wine/wineserver -k 2>/dev/null || true; }

if [ "$MODE" = --wine-run ]; then
    shift
    [ $# -ge 1 ] || die "--wine-run needs a program"
    wine_setup
    status=0
    "$WINE" "$@" || status=$?
    exit "$status"
fi

# --- Packages: compilers, Wine, Mbed TLS for Linux (its version is ours) ----
bash scripts/install-deps.sh "$LINUX_MBEDTLS_PREFIX"
[ -x "$WINE" ] || die "$WINE not found (Debian package wine64)"
for tool in x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-objdump; do
    command -v "$tool" >/dev/null || die "$tool not found"
done
[ -f /usr/src/googletest/CMakeLists.txt ] || die "/usr/src/googletest missing (Debian package googletest)"

mbedtls_version() {
    local v
    v=$(dpkg-query -W -f='${Version}' libmbedtls-dev 2>/dev/null || true)
    case $v in 3.6.*) printf '%s\n' "$v"; return ;; esac
    if [ -f "$LINUX_MBEDTLS_PREFIX/.kivsdk-mbedtls-source" ]; then
        awk '{ print $2 }' "$LINUX_MBEDTLS_PREFIX/.kivsdk-mbedtls-source"
    fi
}
MBEDTLS_VERSION=$(mbedtls_version)
[ -n "$MBEDTLS_VERSION" ] || die "no Mbed TLS 3.6 installed for Linux; run scripts/install-deps.sh"

# Runs a dependency's CMake build with the toolchain and installs it.
cross_build() {
    local src=$1 work=$2 prefix=$3
    shift 3
    cmake -S "$src" -B "$work" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
        -DCMAKE_INSTALL_LIBDIR=lib "$@" >"$work.log" 2>&1 ||
        { cat "$work.log" >&2; die "configuring $src failed"; }
    cmake --build "$work" -j "$JOBS" >>"$work.log" 2>&1 ||
        { tail -n 40 "$work.log" >&2; die "building $src failed"; }
    rm -rf "$prefix"
    cmake --install "$work" >>"$work.log" 2>&1 || die "installing $src failed"
}

# --- Mbed TLS for Windows, from Debian's source package ---------------------
build_mbedtls() {
    local prefix=$DEPS/mbedtls stamp=$DEPS/mbedtls/.kivsdk-mingw-version
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$MBEDTLS_VERSION" ] &&
        [ -f "$prefix/lib/cmake/MbedTLS/MbedTLSConfig.cmake" ]; then
        log "Mbed TLS $MBEDTLS_VERSION for Windows already built"
        return
    fi
    # A deb-src entry for the suites the Linux packages come from, with the
    # same mirror and keyring.
    local uri=http://deb.debian.org/debian keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    if [ -f "$BIN_SOURCES_FILE" ]; then
        uri=$(awk '/^URIs:/ { print $2; exit }' "$BIN_SOURCES_FILE")
        keyring=$(awk '/^Signed-By:/ { print $2; exit }' "$BIN_SOURCES_FILE")
    fi
    local entry="# Source of Mbed TLS for KIVSDK's Windows build (scripts/test-windows.sh).
Types: deb-src
URIs: $uri
Suites: trixie sid
Components: main
Signed-By: $keyring"
    if [ ! -f "$SRC_SOURCES_FILE" ] || [ "$(cat "$SRC_SOURCES_FILE")" != "$entry" ]; then
        log "writing $SRC_SOURCES_FILE"
        printf '%s\n' "$entry" | as_root tee "$SRC_SOURCES_FILE" >/dev/null
    fi
    if ! apt-cache showsrc mbedtls 2>/dev/null | grep -qx "Version: $MBEDTLS_VERSION"; then
        log "apt-get update (source lists)"
        as_root apt-get -o DPkg::Lock::Timeout=300 update -q >/dev/null
    fi
    local work=$DEPS/mbedtls-work
    log "building Mbed TLS $MBEDTLS_VERSION for Windows from Debian's source package"
    rm -rf "$work"
    mkdir -p "$work"
    (cd "$work" && apt-get -o APT::Sandbox::User=root source -q --only-source \
        "mbedtls=$MBEDTLS_VERSION" >"$work.fetch.log" 2>&1) ||
        { cat "$work.fetch.log" >&2; die "apt-get source mbedtls=$MBEDTLS_VERSION failed"; }
    local src
    src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'mbedtls-*' | head -n 1)
    [ -n "$src" ] || die "apt-get source did not unpack mbedtls"
    cross_build "$src" "$work/build" "$prefix" \
        -DENABLE_PROGRAMS=OFF -DENABLE_TESTING=OFF -DGEN_FILES=OFF \
        -DUSE_SHARED_MBEDTLS_LIBRARY=OFF -DUSE_STATIC_MBEDTLS_LIBRARY=ON
    printf '%s\n' "$MBEDTLS_VERSION" >"$stamp"
    rm -rf "$work" "$work.fetch.log"
}

# --- GoogleTest for Windows, from Debian's /usr/src/googletest --------------
build_googletest() {
    local prefix=$DEPS/googletest stamp=$DEPS/googletest/.kivsdk-mingw-version version
    version=$(dpkg-query -W -f='${Version}' googletest 2>/dev/null || echo unknown)
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$version" ]; then
        log "GoogleTest $version for Windows already built"
        return
    fi
    log "building GoogleTest $version for Windows"
    local work=$DEPS/googletest-work
    rm -rf "$work"
    mkdir -p "$DEPS"
    cross_build /usr/src/googletest "$work" "$prefix" -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON
    printf '%s\n' "$version" >"$stamp"
    rm -rf "$work"
}

mkdir -p "$DEPS"
build_mbedtls
build_googletest
if [ "$MODE" = --deps-only ]; then
    log "dependencies ready in $DEPS"
    exit 0
fi

# --- The library and its tests ----------------------------------------------
# -O2 as in the Linux builds: GCC 12 reports false array bounds in standard
# containers at -O3, which -Werror would turn into failures.
log "configuring $BUILD"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DKIVSDK_WARNINGS_AS_ERRORS=ON -DKIVSDK_BUILD_BENCHMARKS=OFF \
    -DMbedTLS_DIR="$DEPS/mbedtls/lib/cmake/MbedTLS" \
    -DGTest_DIR="$DEPS/googletest/lib/cmake/GTest" \
    -DKIVSDK_WINE="$WINE"
# The library, the unit and loopback tests, and the C program that loads
# the DLL. Other test programs of the tree are not part of this run.
log "building"
cmake --build "$BUILD" -j "$JOBS" --target KIVSDK kivsdk_unit_tests kivsdk_c99_header_check

# --- Wine -------------------------------------------------------------------
wine_setup

log "checking the DLL's exports and loading it from a C program under Wine"
ctest --test-dir "$BUILD" --output-on-failure --timeout 120 \
    -R '^(exported_symbols|c99_header_check)$'

# One process runs them all: a Wine start per test would cost more than the
# tests themselves.
log "running the unit and loopback tests under Wine"
report=$BUILD/unit-tests-wine.log
status=0
timeout 900 "$WINE" "$BUILD/bin/kivsdk_unit_tests.exe" --gtest_color=no >"$report" 2>&1 || status=$?
grep -E '^\[ +(FAILED|SKIPPED) +\]' "$report" || true
if [ "$status" -ne 0 ]; then
    # What each failed check said, so a CI log alone explains the failure.
    grep -E -A6 '(: Failure$|^unknown file: Failure)' "$report" | head -n 120 || true
fi
tail -n 3 "$report"
[ "$status" -eq 0 ] || die "unit tests failed under Wine ($status); see $report"

end=$(date +%s)
log "Windows build and tests passed in $((end - start)) s"
