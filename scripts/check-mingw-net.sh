#!/usr/bin/env bash
# Compiles the network layer for Windows with the mingw-w64 cross compiler, so
# the Winsock branch keeps building on a Linux machine. Syntax only: nothing
# is linked.
#
# Usage: scripts/check-mingw-net.sh
# Environment: MINGW_CXX (default x86_64-w64-mingw32-g++-posix)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
CXX=${MINGW_CXX:-x86_64-w64-mingw32-g++-posix}

command -v "$CXX" >/dev/null || {
    printf 'check-mingw-net: %s not found (Debian package g++-mingw-w64-x86-64-posix)\n' "$CXX" >&2
    exit 1
}

cd "$ROOT"
shopt -s nullglob
sources=(src/net/*.cpp)
[ ${#sources[@]} -gt 0 ] || { echo 'check-mingw-net: no sources in src/net' >&2; exit 1; }

# The project's warnings, as the Windows build of the library will use them.
FLAGS=(-std=c++17 -fsyntax-only -Wall -Wextra -Werror -Wpedantic -Wshadow
       -Wnon-virtual-dtor -Woverloaded-virtual -Wcast-qual -Wformat=2
       -Wimplicit-fallthrough -Wmissing-declarations -Wold-style-cast
       # As in the library build: the exported functions are defined here.
       -DKIVSDK_BUILDING -Iinclude -Isrc)

failed=0
check() {
    if "$CXX" "${FLAGS[@]}" "$@"; then
        printf 'ok      %s\n' "${@: -1}"
    else
        printf 'FAILED  %s\n' "${@: -1}"
        failed=1
    fi
}

for source in "${sources[@]}"; do
    check "$source"
done

# The portable adapter headers (the socket core and the frame tick) build for
# Windows too; the loop-specific ones need their loop's Windows packages.
for header in include/kivsdk/adapters/socket_core.hpp include/kivsdk/adapters/frame_tick.hpp; do
    check -x c++ "$header"
done

# The network tests must build for Windows too. GoogleTest's headers are
# plain C++; they are copied aside so the cross compiler sees them without
# the rest of the host's /usr/include.
if [ -d /usr/include/gtest ]; then
    gtest=$(mktemp -d)
    trap 'rm -rf "$gtest"' EXIT
    cp -r /usr/include/gtest "$gtest/"
    for source in tests/net/*.cpp; do
        # It needs headers generated into a build tree; scripts/test-windows.sh
        # builds and runs it.
        [ "$source" != tests/net/async_winsock_test.cpp ] || continue
        check -Itests -isystem "$gtest" "$source"
    done
else
    echo 'check-mingw-net: GoogleTest headers not installed; tests/net not checked'
fi
exit $failed
