#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test under Wine.
# Usage (as root on a fresh machine): tools/test.sh [CTEST ARGUMENTS...]
#   tools/test.sh -R e2e_test --repeat until-fail:10
# Arguments go to ctest, which runs in the environment set up here (Wine
# prefix, display) with the fixtures that the chosen tests need. The command
# can be run again at once: it ends the wineserver and Xvfb that an earlier
# run left, and the fixtures restart what they start.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build}
. "$ROOT/tools/lib.sh"

# A failing step that has no message of its own is still named, by its line.
# The script's own path stays valid after the cd into the build folder.
SELF=$ROOT/tools/${0##*/}
trap 'echo "${0##*/}: exit code $? at line $LINENO: $(sed -n "${LINENO}s/^ *//p" "$SELF")" >&2' ERR

# This run's Wine processes (the server, programs the tests started) and its
# display end with it.
finish() {
    if [ -n "${WINEPREFIX:-}" ] && [ "$WINEPREFIX" = "$BUILD/wineprefix" ]; then
        stop_wineserver
    fi
    stop_display
}

ensure_packages
configure_and_build "$ROOT" "$BUILD"
ensure_display "$BUILD/xvfb.pid"
trap finish EXIT
setup_wine_prefix "$BUILD/wineprefix"
warm_up_wine

cd "$BUILD"
ctest --output-on-failure "$@"
