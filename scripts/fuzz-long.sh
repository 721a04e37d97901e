#!/usr/bin/env bash
# Long fuzz runs by hand: every target (or the ones named) for FUZZ_SECONDS
# (default one hour each). The corpora grow in build-fuzz/corpus and crash
# inputs land in build-fuzz/artifacts; copy interesting inputs into
# fuzz/corpus/<target> to keep them as seeds.
#
# Usage: scripts/fuzz-long.sh [TARGET...]
set -euo pipefail
export FUZZ_SECONDS=${FUZZ_SECONDS:-3600}
exec bash "$(dirname "${BASH_SOURCE[0]}")/fuzz.sh" "$@"
