#!/usr/bin/env bash
# Builds KIVSDK's packages with CPack: the four Debian packages (libkivsdk0,
# libkivsdk-dev, kivsdk-tools, python3-kivsdk) from a Linux build, and the
# Windows SDK zip (KIVSDK-<version>-win64.zip) from a mingw-w64 build.
#
# Usage: scripts/package.sh [options]            (as root on Debian 12, or with sudo)
#   --out DIR                 where the packages go (default <repo>/build-package)
#   --build DIR               the Linux build tree (default <out>/linux)
#   --win-build DIR           the Windows build tree (default <out>/windows)
#   --win-deps DIR            Mbed TLS built for Windows by scripts/test-windows.sh
#                             (default: <repo>/build-win/deps when it is current,
#                             else built into <win-build>/deps)
#   --universe-ca-bundle FILE the deployment's universe CA bundle (PEM, two CAs)
#   --world-ca-bundle FILE    the deployment's world CA bundle (PEM, two CAs)
#   --require-deployment-cas  fail unless both bundles are given (release builds)
#   --no-deb | --no-zip       skip one of the two
#   --jobs N                  parallel build jobs (default: number of CPUs)
#
# Without the two bundles the packages are development builds: the library
# trusts only the sandbox CAs of the build that made them (kivsdk-tools ships
# that sandbox's server keys), and `cmake --install` says so. The Debian
# packages depend on Mbed TLS 3.6 from Debian's packages (the pinned apt
# source that scripts/install-deps.sh sets up and the README's Install
# section shows).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
OUT=$ROOT/build-package
BUILD=""
WIN_BUILD=""
WIN_DEPS=""
UNIVERSE_BUNDLE=""
WORLD_BUNDLE=""
REQUIRE_CAS=OFF
DEB=1
ZIP=1
JOBS=${KIVSDK_JOBS:-$(nproc)}
start=$(date +%s)

log() { printf '==> [%4d s] %s\n' "$(($(date +%s) - start))" "$*"; }
die() { printf 'package: error: %s\n' "$*" >&2; exit 1; }
absolute() { case $1 in /*) printf '%s\n' "$1" ;; *) printf '%s\n' "$PWD/$1" ;; esac; }
usage() { sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0"; }

while [ $# -gt 0 ]; do
    case $1 in
        --out) OUT=$(absolute "${2:?--out needs a folder}"); shift 2 ;;
        --build) BUILD=$(absolute "${2:?--build needs a folder}"); shift 2 ;;
        --win-build) WIN_BUILD=$(absolute "${2:?--win-build needs a folder}"); shift 2 ;;
        --win-deps) WIN_DEPS=$(absolute "${2:?--win-deps needs a folder}"); shift 2 ;;
        --universe-ca-bundle) UNIVERSE_BUNDLE=$(absolute "${2:?needs a file}"); shift 2 ;;
        --world-ca-bundle) WORLD_BUNDLE=$(absolute "${2:?needs a file}"); shift 2 ;;
        --require-deployment-cas) REQUIRE_CAS=ON; shift ;;
        --no-deb) DEB=0; shift ;;
        --no-zip) ZIP=0; shift ;;
        --jobs) JOBS=${2:?--jobs needs a number}; shift 2 ;;
        -h | --help) usage; exit 0 ;;
        *) usage >&2; die "unknown option $1" ;;
    esac
done
BUILD=${BUILD:-$OUT/linux}
WIN_BUILD=${WIN_BUILD:-$OUT/windows}
if [ -n "$UNIVERSE_BUNDLE$WORLD_BUNDLE" ]; then
    [ -n "$UNIVERSE_BUNDLE" ] && [ -n "$WORLD_BUNDLE" ] ||
        die "give both --universe-ca-bundle and --world-ca-bundle, or neither"
    [ -f "$UNIVERSE_BUNDLE" ] || die "no such file: $UNIVERSE_BUNDLE"
    [ -f "$WORLD_BUNDLE" ] || die "no such file: $WORLD_BUNDLE"
fi
TRUST=(-DKIVSDK_UNIVERSE_CA_BUNDLE="$UNIVERSE_BUNDLE" -DKIVSDK_WORLD_CA_BUNDLE="$WORLD_BUNDLE"
       -DKIVSDK_REQUIRE_DEPLOYMENT_CAS="$REQUIRE_CAS")
mkdir -p "$OUT"

bash scripts/install-deps.sh >"$OUT/install-deps.log" 2>&1 ||
    { cat "$OUT/install-deps.log" >&2; die "scripts/install-deps.sh failed"; }

# --- the Debian packages -----------------------------------------------------
if [ "$DEB" = 1 ]; then
    case $(dpkg-query -W -f='${Version}' libmbedtls-dev 2>/dev/null || true) in
        3.6.*) ;;
        *) die "the Debian packages need Debian's libmbedtls-dev 3.6 (scripts/install-deps.sh)" ;;
    esac
    command -v dpkg-shlibdeps >/dev/null || die "dpkg-shlibdeps not found (dpkg-dev)"
    log "configuring the Linux build in $BUILD"
    # /usr as prefix gives Debian's multiarch library folder; the docs go to
    # the development package's own folder.
    cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_DOCDIR=share/doc/libkivsdk-dev \
        -DKIVSDK_WARNINGS_AS_ERRORS=ON -DKIVSDK_BUILD_TESTS=OFF -DKIVSDK_BUILD_BENCHMARKS=OFF \
        -DCPACK_PACKAGE_DIRECTORY="$OUT" "${TRUST[@]}" >"$OUT/linux-configure.log" 2>&1 ||
        { cat "$OUT/linux-configure.log" >&2; die "configuring the Linux build failed"; }
    log "building"
    cmake --build "$BUILD" -j "$JOBS" >"$OUT/linux-build.log" 2>&1 ||
        { tail -n 40 "$OUT/linux-build.log" >&2; die "the Linux build failed"; }
    log "cpack -G DEB"
    rm -f "$OUT"/*.deb
    (cd "$BUILD" && cpack -G DEB) >"$OUT/cpack-deb.log" 2>&1 ||
        { tail -n 40 "$OUT/cpack-deb.log" >&2; die "cpack -G DEB failed"; }
fi

# --- the Windows SDK zip -------------------------------------------------------
if [ "$ZIP" = 1 ]; then
    if [ -z "$WIN_DEPS" ]; then
        if [ -f "$ROOT/build-win/deps/mbedtls/.kivsdk-mingw-version" ]; then
            WIN_DEPS=$ROOT/build-win/deps
        else
            WIN_DEPS=$WIN_BUILD/deps
        fi
    fi
    # Reuses a current dependency build (only reading it), else builds one.
    log "Mbed TLS for Windows in $WIN_DEPS"
    KIVSDK_WIN_BUILD=$WIN_BUILD KIVSDK_WIN_DEPS=$WIN_DEPS KIVSDK_JOBS=$JOBS \
        bash scripts/test-windows.sh --deps-only >"$OUT/windows-deps.log" 2>&1 ||
        { tail -n 40 "$OUT/windows-deps.log" >&2; die "building the Windows dependencies failed"; }
    log "configuring the Windows build in $WIN_BUILD"
    cmake -S . -B "$WIN_BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" \
        -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
        -DKIVSDK_WARNINGS_AS_ERRORS=ON -DKIVSDK_BUILD_TESTS=OFF -DKIVSDK_BUILD_BENCHMARKS=OFF \
        -DMbedTLS_DIR="$WIN_DEPS/mbedtls/lib/cmake/MbedTLS" \
        -DCPACK_PACKAGE_DIRECTORY="$OUT" "${TRUST[@]}" >"$OUT/windows-configure.log" 2>&1 ||
        { cat "$OUT/windows-configure.log" >&2; die "configuring the Windows build failed"; }
    log "building"
    # Only what the zip holds: the DLL and the example.
    cmake --build "$WIN_BUILD" -j "$JOBS" --target KIVSDK kivsdk_greeter \
        >"$OUT/windows-build.log" 2>&1 ||
        { tail -n 40 "$OUT/windows-build.log" >&2; die "the Windows build failed"; }
    log "cpack -G ZIP"
    rm -f "$OUT"/KIVSDK-*-win64.zip
    (cd "$WIN_BUILD" && cpack -G ZIP) >"$OUT/cpack-zip.log" 2>&1 ||
        { tail -n 40 "$OUT/cpack-zip.log" >&2; die "cpack -G ZIP failed"; }
fi

log "packages in $OUT:"
(cd "$OUT" && ls -l -- *.deb *.zip 2>/dev/null | awk '{ printf "    %10d  %s\n", $5, $9 }')
