#!/usr/bin/env bash
# Installs what KIVSDK needs to build and test on Debian 12 (bookworm).
#
# Usage: scripts/install-deps.sh [MBEDTLS_PREFIX]
#
# Everything comes from Debian's apt repositories. Mbed TLS 3.6 is not in
# bookworm (it has 2.28), so its four packages are taken from trixie/sid
# through a pinned apt source; nothing else may come from those suites.
# If those binaries cannot be installed here, Debian's source package of the
# same 3.6.x is built with CMake into MBEDTLS_PREFIX instead.
#
# Environment:
#   KIVSDK_MBEDTLS_FROM_SOURCE=1  always build Mbed TLS from source
#   KIVSDK_MBEDTLS_PREFIX=DIR     install prefix of that build
#                                 (default: <repo>/build/_deps/mbedtls)
#
# Safe to re-run: it only runs apt when something is missing.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PREFIX=${1:-${KIVSDK_MBEDTLS_PREFIX:-$ROOT/build/_deps/mbedtls}}
case $PREFIX in /*) ;; *) PREFIX=$PWD/$PREFIX ;; esac
FROM_SOURCE=${KIVSDK_MBEDTLS_FROM_SOURCE:-0}

PACKAGES=(
    build-essential cmake ninja-build pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    openssl binutils
    python3                      # the Python binding and its tests
    python3-pytest               # the test kit's pytest fixture
    python3-locust               # kivsdk.locust: Locust load tests of bots (pulls python3-gevent)
    g++-mingw-w64-x86-64-posix   # x86_64-w64-mingw32-g++-posix
    gcc-mingw-w64-x86-64-posix   # x86_64-w64-mingw32-gcc-posix
    wine64                       # runs the Windows tests (scripts/test-windows.sh)
    clang libclang-rt-14-dev valgrind
    libuv1-dev libasio-dev libglib2.0-dev   # the event-loop adapters' examples and tests
    dpkg-dev lintian             # the Debian packages (scripts/package.sh, test-packages.sh)
    python3-venv python3-setuptools python3-wheel   # offline pip install of bindings/python
    libcpp-httplib-dev           # the sandbox's live view (kivsandbox --http)
    chromium chromium-driver python3-selenium   # its browser test (scripts/test-browser.sh)
)
MBEDTLS_PKGS=(libmbedtls-dev libmbedtls21 libmbedx509-7 libmbedcrypto16)
NEW_SUITES="trixie sid"

SOURCES_FILE=/etc/apt/sources.list.d/kivsdk-mbedtls.sources
SRC_SOURCES_FILE=/etc/apt/sources.list.d/kivsdk-mbedtls-src.sources
# No extension on purpose: apt ignores preference files with any extension
# other than .pref.
PREFS_FILE=/etc/apt/preferences.d/kivsdk-mbedtls
DEFAULT_MIRROR=http://deb.debian.org/debian
DEFAULT_KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg
# First bookworm keyring that carries the trixie signing keys.
MIN_KEYRING=2023.3+deb12u2

log() { printf '==> %s\n' "$*"; }
note() { printf '    %s\n' "$*"; }
die() { printf 'install-deps: error: %s\n' "$*" >&2; exit 1; }

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}
apt_get() {
    as_root env DEBIAN_FRONTEND=noninteractive \
        apt-get -o DPkg::Lock::Timeout=300 "$@"
}

UPDATED=0
apt_update() {
    [ "$UPDATED" = 1 ] && return 0
    log "apt-get update"
    apt_get update -q || die "apt-get update failed (see above)"
    UPDATED=1
}

# Prints the installed version of a package, nothing if it is not installed.
installed_version() {
    { dpkg-query -W -f='${db:Status-Abbrev} ${Version}\n' "$1" 2>/dev/null || true; } |
        awk 'substr($1, 2, 1) == "i" { print $2 }'
}

is_mbedtls_36() { case ${1:-} in 3.6.*) return 0 ;; *) return 1 ;; esac; }

# Writes $2 to file $1 unless it already has exactly that content.
# Returns 0 when the file was (re)written.
write_if_changed() {
    local path=$1 content=$2
    if [ -f "$path" ] && [ "$(cat "$path")" = "$content" ]; then
        return 1
    fi
    log "writing $path"
    printf '%s\n' "$content" | as_root tee "$path" >/dev/null
    return 0
}

# Finds the mirror and keyring of the machine's own bookworm entry, so the
# extra suites come from the same place. Prints "URI KEYRING".
detect_mirror() {
    local uri="" keyring=""
    if [ -r /etc/apt/sources.list.d/debian.sources ]; then
        read -r uri keyring < <(awk -v RS= '
            {
                types = suites = uris = signed = ""
                n = split($0, line, "\n")
                for (i = 1; i <= n; i++) {
                    if (line[i] ~ /^#/) continue
                    if (line[i] ~ /^Types:/)     types  = " " substr(line[i], 7) " "
                    if (line[i] ~ /^Suites:/)    suites = " " substr(line[i], 8) " "
                    if (line[i] ~ /^URIs:/)      { split(substr(line[i], 6), u, " "); uris = u[1] }
                    if (line[i] ~ /^Signed-By:/) { split(substr(line[i], 11), s, " "); signed = s[1] }
                }
                if (types ~ / deb / && suites ~ / bookworm / && uris != "") {
                    print uris, signed; exit
                }
            }' /etc/apt/sources.list.d/debian.sources) || true
    fi
    if [ -z "$uri" ] && [ -r /etc/apt/sources.list ]; then
        read -r uri keyring < <(awk '
            $1 == "deb" {
                line = $0; opts = ""
                if (match(line, /\[[^]]*\]/)) {
                    opts = substr(line, RSTART, RLENGTH)
                    line = substr(line, 1, RSTART - 1) substr(line, RSTART + RLENGTH)
                }
                split(line, f, " ")
                if (f[3] == "bookworm") {
                    k = ""
                    if (match(opts, /signed-by=[^] ]+/)) k = substr(opts, RSTART + 10, RLENGTH - 10)
                    print f[2], k; exit
                }
            }' /etc/apt/sources.list) || true
    fi
    case $uri in http://* | https://*) ;; *) uri=$DEFAULT_MIRROR ;; esac
    [ -n "$keyring" ] && [ -f "$keyring" ] || keyring=$DEFAULT_KEYRING
    printf '%s %s\n' "${uri%/}" "$keyring"
}

# Reads `apt-get -s install` output on stdin and aborts if the transaction
# would take anything from trixie/sid other than the Mbed TLS 3.6 packages,
# or if libc6's candidate comes from there.
check_transaction() {
    local sim pairs policy bad
    sim=$(cat)
    pairs=$(awk '$1 == "Inst" {
                for (i = 3; i <= NF; i++)
                    if (substr($i, 1, 1) == "(") { print $2, substr($i, 2); break }
            }' <<<"$sim")
    log "checking that only ${MBEDTLS_PKGS[*]} come from $NEW_SUITES"
    # shellcheck disable=SC2046
    policy=$(apt-cache policy libc6 $(awk '{ print $1 }' <<<"$pairs"))
    # "pkg version suite..." for every version apt knows about, and
    # "pkg candidate version" lines.
    local table
    table=$(awk '
        /^[^ ].*:$/            { pkg = substr($0, 1, length($0) - 1); intable = 0; next }
        /^  Candidate:/        { print pkg, "candidate", $2; next }
        /^  Version table:/    { intable = 1; next }
        !intable               { next }
        $1 == "***"            { ver = $2; next }
        NF == 2 && $2 ~ /^-?[0-9]+$/ { ver = $1; next }
        NF >= 3 && $2 ~ /:\/\// { split($3, s, "/"); suites[pkg " " ver] = suites[pkg " " ver] " " s[1] }
        END { for (k in suites) print k, suites[k] }' <<<"$policy")

    # A version is "new-only" when every suite offering it is trixie or sid.
    new_only() {
        awk -v p="$1" -v v="$2" -v new=" $NEW_SUITES " '
            $1 == p && $2 == v && $2 != "candidate" {
                found = 1
                for (i = 3; i <= NF; i++) if (index(new, " " $i " ") == 0) other = 1
            }
            END { exit !(found && !other) }' <<<"$table"
    }

    local libc_cand
    libc_cand=$(awk '$1 == "libc6" && $2 == "candidate" { print $3 }' <<<"$table")
    [ -n "$libc_cand" ] || die "apt-cache policy libc6 shows no candidate"
    if new_only libc6 "$libc_cand"; then
        die "libc6 $libc_cand would come from $NEW_SUITES; the pinning in $PREFS_FILE is not in effect. Refusing to continue."
    fi
    note "libc6 candidate: $libc_cand (not from $NEW_SUITES)"

    bad=""
    local pkg ver
    while read -r pkg ver; do
        [ -n "$pkg" ] || continue
        if [[ " ${MBEDTLS_PKGS[*]} " == *" $pkg "* ]]; then
            is_mbedtls_36 "$ver" || die "$pkg would be installed at $ver, not 3.6.x; is the $NEW_SUITES source working?"
            note "$pkg $ver"
        elif new_only "$pkg" "$ver"; then
            bad="$bad $pkg=$ver"
        fi
    done <<<"$pairs"
    if [ -n "$bad" ]; then
        die "these would be installed from $NEW_SUITES:$bad. Only ${MBEDTLS_PKGS[*]} may come from there; check $PREFS_FILE. Nothing was installed."
    fi
}

# Installs the given packages after a dry run and the trixie/sid check.
apt_install() {
    local sim
    sim=$(apt_get -s install --no-install-recommends "$@" 2>&1) || {
        printf '%s\n' "$sim" | tail -n 20 >&2
        return 1
    }
    check_transaction <<<"$sim"
    log "apt-get install $*"
    apt_get install -y -q --no-install-recommends "$@" || die "apt-get install failed"
}

# Builds Debian's source package of the newest 3.6.x in trixie/sid into
# $PREFIX, with Debian's own configuration tweaks.
build_mbedtls_from_source() {
    local stamp=$PREFIX/.kivsdk-mbedtls-source
    if [ -f "$stamp" ] && [ -f "$PREFIX/lib/cmake/MbedTLS/MbedTLSConfig.cmake" ]; then
        log "Mbed TLS already built from source: $(cat "$stamp") in $PREFIX"
        return 0
    fi

    local mirror keyring
    read -r mirror keyring < <(detect_mirror)
    if write_if_changed "$SRC_SOURCES_FILE" "# Source of Mbed TLS 3.6, used by scripts/install-deps.sh when the binaries do not fit.
Types: deb-src
URIs: $mirror
Suites: $NEW_SUITES
Components: main
Signed-By: $keyring"; then
        UPDATED=0
    fi

    local ver=""
    pick_version() {
        ver=""
        local v
        for v in $(apt-cache showsrc mbedtls 2>/dev/null | awk '/^Version:/ { print $2 }'); do
            is_mbedtls_36 "$v" || continue
            if [ -z "$ver" ] || dpkg --compare-versions "$v" gt "$ver"; then ver=$v; fi
        done
    }
    pick_version
    if [ -z "$ver" ]; then
        apt_update
        pick_version
    fi
    [ -n "$ver" ] || die "no Mbed TLS 3.6.x source package found in $NEW_SUITES"

    local work=$PREFIX-work
    log "building Mbed TLS $ver from Debian's source package in $work"
    rm -rf "$work"
    mkdir -p "$work"
    (cd "$work" && apt-get -o APT::Sandbox::User=root source -q --only-source "mbedtls=$ver")
    local src
    src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'mbedtls-*' | head -n 1)
    [ -n "$src" ] || die "apt-get source did not unpack mbedtls into $work"

    # Same configuration as Debian's binary packages (threading, CMAC, ...).
    local op name n=0
    while read -r op name; do
        note "config.py $op $name"
        (cd "$src" && /usr/bin/python3 scripts/config.py "$op" "$name")
        n=$((n + 1))
    done < <(sed -n 's/^[[:space:]]*scripts\/config\.py \(set\|unset\) \([A-Z0-9_]*\)[[:space:]]*$/\1 \2/p' "$src/debian/rules")
    [ "$n" -gt 0 ] || note "warning: no config.py tweaks found in debian/rules; using upstream defaults"

    local gen=()
    if command -v ninja >/dev/null; then gen=(-G Ninja); fi
    # shellcheck disable=SC2016  # $ORIGIN is for the linker
    cmake -S "$src" -B "$work/build" "${gen[@]}" \
        -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$PREFIX" \
        -DCMAKE_INSTALL_LIBDIR=lib \
        -DCMAKE_INSTALL_RPATH='$ORIGIN' \
        -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
        -DUSE_SHARED_MBEDTLS_LIBRARY=ON \
        -DUSE_STATIC_MBEDTLS_LIBRARY=ON \
        -DENABLE_PROGRAMS=OFF \
        -DENABLE_TESTING=OFF
    cmake --build "$work/build" --parallel "$(nproc)"
    rm -rf "$PREFIX"
    cmake --install "$work/build"
    printf 'mbedtls %s\n' "$ver" >"$stamp"
    rm -rf "$work"
}

# Builds and runs a small program against find_package(MbedTLS 3.6 CONFIG),
# so a broken or mismatched install shows up here and not in the SDK build.
verify_mbedtls() {
    local dir_arg=() tmp
    if [ -n "${1:-}" ]; then dir_arg=(-DMbedTLS_DIR="$1"); fi
    tmp=$(mktemp -d)
    cat >"$tmp/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.16)
project(mbedtls_check C)
find_package(MbedTLS 3.6 CONFIG REQUIRED)
foreach(t MbedTLS::mbedtls MbedTLS::mbedx509 MbedTLS::mbedcrypto)
  if(NOT TARGET ${t})
    message(FATAL_ERROR "${MbedTLS_DIR} does not define ${t}")
  endif()
endforeach()
message(STATUS "MbedTLS ${MbedTLS_VERSION} config: ${MbedTLS_DIR}")
add_executable(check check.c)
target_link_libraries(check PRIVATE MbedTLS::mbedtls MbedTLS::mbedx509 MbedTLS::mbedcrypto)
EOF
    cat >"$tmp/check.c" <<'EOF'
#include <stdio.h>
#include <string.h>
#include <mbedtls/build_info.h>
#include <mbedtls/sha256.h>
#include <mbedtls/ssl.h>
#include <mbedtls/version.h>
#include <mbedtls/x509_crt.h>
#include <psa/crypto.h>

int main(void) {
    char version[18];
    mbedtls_version_get_string(version);
    if (strcmp(version, MBEDTLS_VERSION_STRING) != 0) {
        fprintf(stderr, "headers are %s but the library is %s\n", MBEDTLS_VERSION_STRING, version);
        return 1;
    }
    /* SHA-256("abc") from FIPS 180-2. */
    static const unsigned char want[32] = {
        0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40, 0xde, 0x5d, 0xae, 0x22, 0x23,
        0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17, 0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
    unsigned char got[32];
    if (mbedtls_sha256((const unsigned char *)"abc", 3, got, 0) != 0 || memcmp(got, want, 32) != 0) {
        fprintf(stderr, "SHA-256 self check failed\n");
        return 1;
    }
    /* Touch libmbedx509 and libmbedtls too. */
    if (psa_crypto_init() != PSA_SUCCESS) {
        fprintf(stderr, "psa_crypto_init failed\n");
        return 1;
    }
    mbedtls_x509_crt crt;
    mbedtls_x509_crt_init(&crt);
    mbedtls_x509_crt_free(&crt);
    mbedtls_ssl_config conf;
    mbedtls_ssl_config_init(&conf);
    int rc = mbedtls_ssl_config_defaults(&conf, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                         MBEDTLS_SSL_PRESET_DEFAULT);
    mbedtls_ssl_config_free(&conf);
    if (rc != 0) {
        fprintf(stderr, "mbedtls_ssl_config_defaults: -0x%04x\n", (unsigned)-rc);
        return 1;
    }
#if defined(MBEDTLS_THREADING_C)
    const char *threading = "on";
#else
    const char *threading = "off";
#endif
    printf("Mbed TLS %s links and runs (threading %s)\n", version, threading);
    return 0;
}
EOF
    local gen=() out
    if command -v ninja >/dev/null; then gen=(-G Ninja); fi
    if ! out=$(cmake -S "$tmp" -B "$tmp/build" "${gen[@]}" "${dir_arg[@]}" 2>&1 &&
        cmake --build "$tmp/build" 2>&1 && "$tmp/build/check" 2>&1); then
        printf '%s\n' "$out" >&2
        rm -rf "$tmp"
        die "find_package(MbedTLS 3.6 CONFIG) check failed"
    fi
    printf '%s\n' "$out" | sed -n 's/^-- \(MbedTLS .* config: .*\)$/    \1/p; /links and runs/s/^/    /p'
    rm -rf "$tmp"
}

main() {
    local os
    # shellcheck disable=SC1091
    os=$(. /etc/os-release && echo "${ID:-}:${VERSION_CODENAME:-}")
    [ "$os" = debian:bookworm ] || die "this installer is for Debian 12 (bookworm); found $os"
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null || die "run as root (or install sudo)"
    fi

    # trixie/sid Release files are signed with keys that older bookworm
    # keyrings may lack.
    local kr
    kr=$(installed_version debian-archive-keyring)
    if [ -z "$kr" ] || dpkg --compare-versions "$kr" lt "$MIN_KEYRING"; then
        log "debian-archive-keyring ${kr:-missing} is older than $MIN_KEYRING; upgrading it"
        apt_update
        apt_get install -y -q debian-archive-keyring
        UPDATED=0
    fi

    log "apt source and pinning for Mbed TLS 3.6 from $NEW_SUITES"
    local mirror keyring changed=0
    read -r mirror keyring < <(detect_mirror)
    note "mirror $mirror, keyring $keyring"
    write_if_changed "$SOURCES_FILE" "# Mbed TLS 3.6 for KIVSDK; $PREFS_FILE keeps everything else out.
Types: deb
URIs: $mirror
Suites: $NEW_SUITES
Components: main
Signed-By: $keyring" && changed=1
    write_if_changed "$PREFS_FILE" "# Only Mbed TLS 3.6.x may come from trixie/sid (written by KIVSDK's scripts/install-deps.sh).
Package: ${MBEDTLS_PKGS[*]}
Pin: version 3.6.*
Pin-Priority: 600

Package: *
Pin: release n=trixie
Pin-Priority: -1

Package: *
Pin: release n=sid
Pin-Priority: -1" && changed=1

    # Which way Mbed TLS comes in: packages unless forced or already built.
    local mode=apt dev_ver
    dev_ver=$(installed_version libmbedtls-dev)
    if [ "$FROM_SOURCE" = 1 ]; then
        mode=source
        log "KIVSDK_MBEDTLS_FROM_SOURCE=1: Mbed TLS will be built from source into $PREFIX"
    elif ! is_mbedtls_36 "$dev_ver" && [ -f "$PREFIX/.kivsdk-mbedtls-source" ]; then
        mode=source
        log "using the earlier source build of Mbed TLS in $PREFIX (delete it to retry the packages)"
    elif [ -f "$SRC_SOURCES_FILE" ]; then
        # Only the source build needs deb-src; dropping it needs no update.
        log "removing $SRC_SOURCES_FILE (not needed)"
        as_root rm -f "$SRC_SOURCES_FILE"
    fi

    local want=() p
    for p in "${PACKAGES[@]}"; do
        [ -n "$(installed_version "$p")" ] || want+=("$p")
    done
    if [ "$mode" = source ] && [ ! -f "$PREFIX/.kivsdk-mbedtls-source" ] && [ ! -x /usr/bin/python3 ]; then
        want+=(python3)   # scripts/config.py
    fi
    local mbed_want=()
    if [ "$mode" = apt ] && ! is_mbedtls_36 "$dev_ver"; then
        mbed_want=("${MBEDTLS_PKGS[@]}")
    fi

    if [ ${#want[@]} -eq 0 ] && [ ${#mbed_want[@]} -eq 0 ]; then
        log "all Debian packages already installed"
    else
        log "missing: $(printf '%s ' "${want[@]}" "${mbed_want[@]}")"
        apt_update
        if ! apt_install "${want[@]}" "${mbed_want[@]}"; then
            [ ${#mbed_want[@]} -gt 0 ] || die "apt cannot install ${want[*]}"
            log "Mbed TLS 3.6 packages from $NEW_SUITES do not install on this system; falling back to a source build"
            mode=source
            [ -x /usr/bin/python3 ] || want+=(python3)
            if [ ${#want[@]} -gt 0 ]; then
                apt_install "${want[@]}" || die "apt cannot install ${want[*]}"
            fi
        fi
    fi
    # New or edited apt sources: refresh the lists even if nothing was missing.
    if [ "$changed" = 1 ] && [ "$UPDATED" = 0 ]; then apt_update; fi

    if [ "$mode" = apt ]; then
        log "Mbed TLS installed from Debian packages:"
        dpkg-query -W -f='    ${Package} ${Version}\n' "${MBEDTLS_PKGS[@]}"
        log "checking find_package(MbedTLS 3.6 CONFIG)"
        verify_mbedtls
    else
        build_mbedtls_from_source
        log "Mbed TLS built from source: $(cat "$PREFIX/.kivsdk-mbedtls-source")"
        log "checking find_package(MbedTLS 3.6 CONFIG)"
        verify_mbedtls "$PREFIX/lib/cmake/MbedTLS"
        log "configure KIVSDK with: -DMbedTLS_DIR=$PREFIX/lib/cmake/MbedTLS"
    fi
    log "done"
}

main "$@"
