#!/usr/bin/env bash
# The long reliability run: builds, prepares a Wine prefix and a display,
# then runs the parser generators (Linux with AddressSanitizer, Windows with
# trapping undefined-behaviour checks), the fault injection, the long
# hostile-server set, the soak of consecutive updates and the in-process
# soak, and prints the figures.
# Usage: tools/reliability.sh [RESPONSES] (default 2000); SEED=... to change
# the hostile set, BUILD_DIR=... for another build folder.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build-reliability}
RESPONSES=${1:-2000}
SEED=${SEED:-20261209}
SOAK=${SOAK:-300}
INPROCESS=${INPROCESS:-500}
FUZZ=${FUZZ:-500000}
. "$ROOT/tools/lib.sh"

ensure_packages || exit 1
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" >/dev/null || exit 1
cmake --build "$BUILD" --target Updater QbLog hostile_test fault_test soak_test parser_fuzz -j"$(nproc)" >/dev/null || exit 1
setup_wine_prefix "$BUILD/wineprefix"
ensure_display || exit 1

OUT=$BUILD/tests/reliability
LOGS=$BUILD/reliability-logs
mkdir -p "$LOGS"
status=0
step() { # name, command...
    local name=$1
    shift
    echo "== $name"
    "$@" >"$LOGS/$name.log" 2>&1
    local rc=$?
    grep -v "^wine: failed to start" "$LOGS/$name.log" | grep -E "^(FAIL|parser_fuzz|soak|responses|crashes|corrupted|leftover|\[  (PASSED|FAILED|SKIPPED) )" || true
    [ $rc -eq 0 ] || { echo "   $name failed (exit $rc), see $LOGS/$name.log"; status=1; }
}

step parser_native "$ROOT/tests/reliability/native_fuzz.sh" "$BUILD/native-fuzz" "$FUZZ" "$SEED"
step parser_windows wine "$OUT/parser_fuzz.exe" --seed "$SEED" --count $((FUZZ / 10))
cd "$OUT" || exit 1
"$ROOT/tests/reliability/fault_fixture.sh" start "$BUILD/fault-fixture"
FAULT_FIXTURE_DIR="$BUILD/fault-fixture" step faults wine ./fault_test.exe
"$ROOT/tests/reliability/fault_fixture.sh" stop "$BUILD/fault-fixture"
step hostile wine ./hostile_test.exe --long --seed "$SEED" --count "$RESPONSES"
step soak_processes wine ./hostile_test.exe --soak "$SOAK"
step soak_in_process wine ./soak_test.exe --count "$INPROCESS"

faults=$(grep -c '^\[       OK \]' "$LOGS/faults.log" || true)
echo
echo "Figures (seed $SEED):"
grep -E "^responses tried" "$LOGS/hostile.log"
echo "faults injected: $faults fault kinds passed of $(grep -c '^\[ RUN      \]' "$LOGS/faults.log" || true)"
grep -E "^(crashes|corrupted|leftover)" "$LOGS/hostile.log"
grep -E "^soak" "$LOGS/soak_processes.log" "$LOGS/soak_in_process.log" | sed 's/^.*logs\///'
grep -h "^parser_fuzz" "$LOGS/parser_native.log" "$LOGS/parser_windows.log"
exit $status
