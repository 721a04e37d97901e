#!/usr/bin/env bash
# The sandbox's live view in a real browser (Linux only): builds kivsandbox,
# the example bots and kivswarm, then runs tests/browser/view_test.py under
# /usr/bin/python3 with Debian's chromium, chromium-driver and
# python3-selenium (scripts/install-deps.sh installs them). Chromium runs
# headless, and as root with --no-sandbox. The screenshot and the logs go to
# BUILD/browser-view/.
#
# Usage: scripts/test-browser.sh [--measure N [--seconds S]]
#   --measure N   instead of the test: N bots walking at 1 Hz, one viewer;
#                 prints the page's draw time and the sandbox's CPU
# Environment: KIVSDK_BROWSER_BUILD  build folder (default build-test/release,
#              the one scripts/test.sh makes, configured here when missing)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
BUILD=${KIVSDK_BROWSER_BUILD:-$ROOT/build-test/release}
JOBS=${KIVSDK_JOBS:-$(nproc)}

if [ "$(uname -s)" != Linux ]; then
    echo "test-browser: Linux only" >&2
    exit 2
fi
for tool in /usr/bin/chromium /usr/bin/chromedriver; do
    [ -x "$tool" ] || { echo "test-browser: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
/usr/bin/python3 -c "import selenium" 2>/dev/null ||
    { echo "test-browser: python3-selenium is missing (scripts/install-deps.sh)" >&2; exit 1; }

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKIVSDK_WARNINGS_AS_ERRORS=ON -DKIVSDK_BUILD_BENCHMARKS=OFF >/dev/null
fi
cmake --build "$BUILD" -j "$JOBS" --target kivsandbox kivsdk_greeter kivsdk_builder kivswarm

exec /usr/bin/python3 tests/browser/view_test.py --bin "$BUILD" --out "$BUILD/browser-view" "$@"
