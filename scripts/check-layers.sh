#!/usr/bin/env bash
# Checks that the library's folders include only their own floor or lower ones.
#
# The folders under src/ form floors, lowest first:
#   base, wire, {net, connection}, api, universe, world
# A file anywhere under src/<folder>/ may write #include "<other>/..." only
# when <other> is <folder> or on a lower floor; net and connection share a
# floor but must not include each other. Includes without a folder
# ("kivsdk.h") and folders that are not floors (<mbedtls/...>, "gtest/...")
# are not checked. Every file must sit in one of the floor folders.
#
# Usage: scripts/check-layers.sh [src folder]   (default: the tree's src/)
# Prints each violation as "file:line: <folder> includes <other>", then the
# count; exits 1 when there is any.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SRC=${1:-$ROOT/src}
if [ ! -d "$SRC" ]; then
    echo "check-layers: no such folder: $SRC" >&2
    exit 2
fi
SRC=$(cd "$SRC" && pwd)

declare -A floor=([base]=0 [wire]=1 [net]=2 [connection]=2 [api]=3 [universe]=4 [world]=5)

violations=0
report() {
    echo "$1"
    violations=$((violations + 1))
}

while IFS= read -r -d '' file; do
    relative=${file#"$SRC"/}
    shown="src/$relative"
    case "$relative" in
        */*) folder=${relative%%/*} ;;
        *) continue ;; # src/CMakeLists.txt and the like belong to no floor
    esac
    if [ -z "${floor[$folder]+set}" ]; then
        report "$shown: $folder is not a floor (base, wire, net, connection, api, universe, world)"
        continue
    fi
    # "<line>:<included folder>" for every #include "<folder>/...".
    while IFS=: read -r line other; do
        [ -n "${floor[$other]+set}" ] || continue
        if ((floor[$other] > floor[$folder])) ||
            { [ "$other" != "$folder" ] && ((floor[$other] == floor[$folder])); }; then
            report "$shown:$line: $folder includes $other"
        fi
    done < <(awk 'match($0, /^[ \t]*#[ \t]*include[ \t]*"[^"\/]+\//) {
                      name = substr($0, RSTART, RLENGTH)
                      sub(/^[^"]*"/, "", name)
                      sub(/\/$/, "", name)
                      print FNR ":" name
                  }' "$file")
done < <(find "$SRC" -type f -print0 | sort -z)

echo "check-layers: $violations violation(s)"
((violations == 0))
