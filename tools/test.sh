#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test under Wine.
# Usage (as root on a fresh machine): tools/test.sh
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build}
. "$ROOT/tools/lib.sh"

ensure_packages
configure_and_build "$ROOT" "$BUILD"
ensure_display
setup_wine_prefix "$BUILD/wineprefix"
warm_up_wine

cd "$BUILD"
ctest --output-on-failure
