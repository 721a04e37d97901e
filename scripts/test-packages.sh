#!/usr/bin/env bash
# Builds the packages and uses them as a user would (Linux, as root):
#   1. scripts/package.sh: the four .deb files and the Windows SDK zip;
#   2. lintian on the .deb files: no error;
#   3. apt-get install of the .deb files, with the pinned Mbed TLS source
#      the README's Install section adds (the one scripts/install-deps.sh
#      writes);
#   4. a consumer project outside the tree, built against the installed
#      packages only (find_package(KIVSDK) and pkg-config), and the C greeter
#      against the installed kivsandbox;
#   5. python3-kivsdk as installed, then bindings/python installed offline
#      into a fresh virtual environment, whose greeter meets the sandbox;
#   6. the zip's greeter.exe under Wine against the Linux sandbox.
# The packages are purged on exit, also after a failure: a library left in
# the system's search path would be found by later builds and tests.
#
# Environment:
#   KIVSDK_PACKAGE_OUT=DIR        packages and build trees (default <repo>/build-package)
#   KIVSDK_PACKAGE_BUILD=DIR      the Linux build tree (default <out>/linux)
#   KIVSDK_PACKAGE_WIN_BUILD=DIR  the Windows build tree (default <out>/windows)
#   KIVSDK_PACKAGE_WIN_DEPS=DIR   Mbed TLS for Windows (scripts/package.sh --win-deps)
#   KIVSDK_WINEPREFIX=DIR         the Wine prefix (default: build-win's, when there)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$ROOT/scripts/lib/sandbox-ready.sh"
cd "$ROOT"
OUT=${KIVSDK_PACKAGE_OUT:-$ROOT/build-package}
case $OUT in /*) ;; *) OUT=$ROOT/$OUT ;; esac
LINUX_BUILD=${KIVSDK_PACKAGE_BUILD:-$OUT/linux}
WIN_BUILD=${KIVSDK_PACKAGE_WIN_BUILD:-$OUT/windows}
PACKAGES=(libkivsdk0 libkivsdk-dev kivsdk-tools python3-kivsdk)
start=$(date +%s)

log() { printf '==> [%4d s] %s\n' "$(($(date +%s) - start))" "$*"; }
die() { printf 'test-packages: error: %s\n' "$*" >&2; exit 1; }
as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}
apt_get() { as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 "$@"; }

WORK=$(mktemp -d /tmp/kivsdk-packages.XXXXXX)
sandboxes=()
installed=0
cleanup() {
    local status=$?
    # Only the processes this script started, by their ids.
    for pid in "${sandboxes[@]}"; do
        kill -INT "$pid" 2>/dev/null || true
    done
    for pid in "${sandboxes[@]}"; do
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null || true
    done
    if [ "$installed" = 1 ]; then
        log "purging ${PACKAGES[*]}"
        apt_get purge -y -q "${PACKAGES[@]}" >"$WORK/purge.log" 2>&1 ||
            { cat "$WORK/purge.log" >&2; status=1; }
        if dpkg-query -W -f='${db:Status-Abbrev}\n' "${PACKAGES[@]}" 2>/dev/null | grep -q '^.i'; then
            echo "test-packages: error: a package is still installed" >&2
            status=1
        fi
    fi
    rm -rf "$WORK"
    exit "$status"
}
trap cleanup EXIT

# Starts /usr/bin/kivsandbox with the given options; sets $port to its
# universe port and $sandbox_log to its log.
start_sandbox() {
    local name=$1
    shift
    sandbox_log=$WORK/$name.log
    /usr/bin/kivsandbox --port-file "$WORK/$name.ports" "$@" >/dev/null 2>"$sandbox_log" &
    sandboxes+=($!)
    port=$(sandbox_port "$!" "$WORK/$name.ports" "$sandbox_log" 100) ||
        die "the sandbox $name did not start"
}
# Fails unless the sandbox's log shows NAME entering the lobby.
expect_entered() {
    grep -q "entered as $1" "$sandbox_log" ||
        { cat "$sandbox_log" >&2; die "$1 did not enter the sandbox's lobby"; }
}

# --- 1. the packages -------------------------------------------------------------
if dpkg-query -W -f='${db:Status-Abbrev}\n' "${PACKAGES[@]}" 2>/dev/null | grep -q '^.i'; then
    die "some of ${PACKAGES[*]} are installed already; purge them first"
fi
log "scripts/package.sh"
win_deps=()
if [ -n "${KIVSDK_PACKAGE_WIN_DEPS:-}" ]; then win_deps=(--win-deps "$KIVSDK_PACKAGE_WIN_DEPS"); fi
bash scripts/package.sh --out "$OUT" --build "$LINUX_BUILD" --win-build "$WIN_BUILD" "${win_deps[@]}"
version=$(sed -n 's/^project(KIVSDK VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
debs=()
for package in "${PACKAGES[@]}"; do
    deb=$(find "$OUT" -maxdepth 1 -name "${package}_${version}_*.deb" | head -n 1)
    [ -n "$deb" ] || die "scripts/package.sh made no $package $version"
    debs+=("$deb")
done
zip=$OUT/KIVSDK-$version-win64.zip
[ -f "$zip" ] || die "scripts/package.sh made no $zip"

# --- 2. lintian ------------------------------------------------------------------
log "lintian"
lintian_status=0
lintian --fail-on error --tag-display-limit 0 "${debs[@]}" >"$WORK/lintian.log" 2>&1 ||
    lintian_status=$?
grep -v '^running with root' "$WORK/lintian.log" | sed 's/^/    /' || true
[ "$lintian_status" -eq 0 ] || die "lintian found errors"

# --- 3. apt-get install, from the README's sources -----------------------------------
# The README's Install section shows the pinned source and preferences that
# scripts/install-deps.sh writes; both must agree with what is in effect.
log "checking the README's apt source against the system's"
grep -q '^Pin: version 3.6.\*$' /etc/apt/preferences.d/kivsdk-mbedtls ||
    die "/etc/apt/preferences.d/kivsdk-mbedtls is missing (scripts/install-deps.sh)"
readme_pin=$(awk '/^## Install/ { on = 1 } on && /^ *Package: libmbedtls/ { sub(/^ */, ""); print; exit }' README.md)
system_pin=$(grep '^Package: libmbedtls' /etc/apt/preferences.d/kivsdk-mbedtls)
[ -n "$readme_pin" ] && [ "$readme_pin" = "$system_pin" ] ||
    die "the README pins '$readme_pin', the system '$system_pin'"
log "apt-get install ${debs[*]##*/}"
installed=1
apt_get install -y -q --no-install-recommends "${debs[@]}" >"$WORK/install.log" 2>&1 ||
    { cat "$WORK/install.log" >&2; die "apt-get install failed"; }
for package in "${PACKAGES[@]}"; do
    dpkg-query -W -f='    ${Package} ${Version} ${Installed-Size} KiB\n' "$package"
done

# --- 4. a consumer, and the C greeter against the installed sandbox --------------------
log "a consumer outside the tree: find_package(KIVSDK)"
cp -r tests/install/consumer "$WORK/consumer"
cmake -S "$WORK/consumer" -B "$WORK/consumer-build" -G Ninja -DEXPECTED_VERSION="$version" \
    >"$WORK/consumer.log" 2>&1 && cmake --build "$WORK/consumer-build" >>"$WORK/consumer.log" 2>&1 ||
    { cat "$WORK/consumer.log" >&2; die "the consumer did not build against the packages"; }
"$WORK/consumer-build/consumer_c"
"$WORK/consumer-build/consumer_cpp"
log "pkg-config kivsdk: $(pkg-config --modversion kivsdk)"
# shellcheck disable=SC2046  # pkg-config's flags are words
cc -std=c99 -Wall -Wextra -pedantic -Werror examples/greeter.c -o "$WORK/greeter" \
    $(pkg-config --cflags --libs kivsdk)
/usr/bin/kivsandbox --help | grep -qx 'Sandbox PKI (the default certificates and keys): /usr/share/kivsdk/sandbox-pki' ||
    die "the installed kivsandbox does not use /usr/share/kivsdk/sandbox-pki"
start_sandbox linux
log "the C greeter against the installed sandbox (universe port $port)"
"$WORK/greeter" --port "$port" --world lobby --seconds 2 --name c-greeter
expect_entered c-greeter

# --- 5. Python: the Debian package, then pip into a fresh virtual environment -------------
log "python3-kivsdk as installed (no KIVSDK_LIBRARY)"
(cd "$WORK" && env -u KIVSDK_LIBRARY /usr/bin/python3 -c '
import kivsdk, kivsdk._native as native
print("    kivsdk", kivsdk.__version__, "from", kivsdk.__file__, "with", native.library_path())
assert kivsdk.__file__.startswith("/usr/lib/python3/dist-packages/"), kivsdk.__file__
assert native.library_path().startswith("/usr/lib/"), native.library_path()
')
log "pip install --no-index --no-build-isolation ./bindings/python into a fresh venv"
/usr/bin/python3 -m venv --system-site-packages "$WORK/venv"
# The build's own files go to the work folder, not into the source tree.
cp -r bindings/python "$WORK/python-source"
KIVSDK_HEADER=$ROOT/include/kivsdk.h PIP_NO_INDEX=1 "$WORK/venv/bin/pip" install -q \
    --no-index --no-build-isolation "$WORK/python-source" >"$WORK/pip.log" 2>&1 ||
    { cat "$WORK/pip.log" >&2; die "pip install failed"; }
log "the Python greeter from the venv against the sandbox"
(cd "$WORK" && KIVSDK_LIBRARY=$(pkg-config --variable=libdir kivsdk)/libKIVSDK.so.0 \
    "$WORK/venv/bin/python" -c '
import sys, kivsdk
assert kivsdk.__file__.startswith(sys.prefix), kivsdk.__file__
print("    kivsdk", kivsdk.__version__, "from", kivsdk.__file__)
' && KIVSDK_LIBRARY=$(pkg-config --variable=libdir kivsdk)/libKIVSDK.so.0 \
    "$WORK/venv/bin/python" "$ROOT/bindings/python/examples/greeter.py" \
    --port "$port" --world lobby --seconds 2 --name py-greeter)
expect_entered py-greeter

# --- 6. the Windows SDK zip under Wine ----------------------------------------------
log "the zip's greeter.exe under Wine"
(cd "$WORK" && cmake -E tar xf "$zip")
sdk=$WORK/KIVSDK-$version-win64
for file in bin/KIVSDK.dll bin/greeter.exe lib/libKIVSDK.dll.a include/kivsdk.h README.txt \
    examples/greeter.c; do
    [ -f "$sdk/$file" ] || die "the zip has no $file"
done
# The DLL trusts the sandbox CAs of the Windows build that made it: that
# build's server certificates stand in for the Linux sandbox's.
pki=$WIN_BUILD/sandbox-pki
start_sandbox windows --universe-cert "$pki/universe-server.pem" \
    --universe-key "$pki/universe-server.key" --world-cert "$pki/world-server.pem" \
    --world-key "$pki/world-server.key"
prefix=${KIVSDK_WINEPREFIX:-}
if [ -z "$prefix" ] && [ -f "$ROOT/build-win/wineprefix/system.reg" ]; then
    prefix=$ROOT/build-win/wineprefix
fi
KIVSDK_WIN_BUILD=$WIN_BUILD KIVSDK_WINEPREFIX=${prefix:-$WIN_BUILD/wineprefix} \
    bash scripts/test-windows.sh --wine-run "$sdk/bin/greeter.exe" --port "$port" \
    --world lobby --seconds 2 --name win-greeter
expect_entered win-greeter

log "packages installed, used and checked in $(($(date +%s) - start)) s"
