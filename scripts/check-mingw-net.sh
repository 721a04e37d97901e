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

failed=0
for source in "${sources[@]}"; do
    # KIVSDK_BUILDING as in the library build: the exported functions are
    # defined here, not imported.
    if "$CXX" -std=c++17 -fsyntax-only -Wall -Wextra -Werror \
        -DKIVSDK_BUILDING -Iinclude -Isrc "$source"; then
        printf 'ok      %s\n' "$source"
    else
        printf 'FAILED  %s\n' "$source"
        failed=1
    fi
done
exit $failed
