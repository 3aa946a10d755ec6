#!/bin/sh
# Builds the benchmark programs and runs the benchmark in a Wine prefix and
# on an X display of its own.
#
#   bench/run.sh [--long] [bench.py options, e.g. --runs 7]
#   bench/run.sh --per-block [perblock.py options, e.g. --extra old=DIR]
#
# --long adds a 256 MiB body to the 8 and 64 MiB ones; --per-block counts the
# loops' cost per block instead (bench/perblock.py). bench.py's --https runs
# the platform peers and curl over https and http from nginx instead (the
# tls fixture, its CA trusted in the benchmark's prefix), and --https-updater
# adds Updater.exe over https. --resume times Updater.exe's whole transfer (in
# description mode) against its second start after a transfer that the server
# cut at 90 %: the cut run keeps the part, the second start asks for the rest
# and appends it (try --resume --sizes 64); the box of the cut run is answered
# on the X display. --sign-in times Updater.exe's start through an open squid
# against one that asks for Negotiate (tools/auth-fixture.sh, a ticket of its
# realm); --server-sign-in does the same straight from the fixture's apache2,
# its open port against its port behind Negotiate, the sides alternating:
# start of the process to the arrival of the request that gets the file
# (noted by a relay in the driver, since apache2 logs whole seconds only) and
# to exit, paired, and each body's wall time and peak working set; it stops,
# with the logs' lines, at a run whose user apache2's log does not name
# (nobody on the open side) or whose stored file is not the served one.
# --detection times Updater.exe's start to its request in three alternating
# sides: automatic proxy detection off (DefaultConnectionSettings flags
# 0x01); on (0x09) with nothing to detect and ProxyDetectionMissed deleted
# before each run, the cost a first start pays; and on with the miss that
# the run before wrote. bench.py runs itself again inside the namespace
# "none" of tools/wpad-fixture.sh (the fixture in bench-work-wpad beside the
# work folder), with the prefix's Domain nowpad.example; it stops at a run
# with another exit code than 0, a stored file that is not the served one,
# or questions for wpad.nowpad.example in the fixture's dnsmasq.log on any
# side but the second (or none there), and puts back the registry values it
# changed. The build directory is $BENCH_BUILD_DIR
# (default build-bench); the table of the run is also written to
# bench-table.md in it.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BENCH_BUILD_DIR:-$ROOT/build-bench}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
SIZES=8,64
PER_BLOCK=
if [ "${1:-}" = --long ]; then
    SIZES=8,64,256
    shift
elif [ "${1:-}" = --per-block ]; then
    PER_BLOCK=1
    shift
fi

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" >/dev/null
fi
cmake --build "$BUILD" --target bench -j2 >/dev/null

# The loaders themselves, not the wrapper scripts, so that the measured
# process is the program.
WINE=wine
[ -x /usr/lib/wine/wine64 ] && WINE=/usr/lib/wine/wine64
WINESERVER=wineserver
[ -x /usr/lib/wine/wineserver64 ] && WINESERVER=/usr/lib/wine/wineserver64

export WINEPREFIX="$BUILD/bench-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# Xvfb tells its display number through a file descriptor, number and line
# break in two writes: wait for the line break.
DISPLAY_FILE=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$DISPLAY_FILE" >/dev/null 2>&1 &
XVFB_PID=$!
trap 'kill $XVFB_PID 2>/dev/null; rm -f "$DISPLAY_FILE"' EXIT
i=0
until grep -q '^[0-9][0-9]*$' "$DISPLAY_FILE" 2>/dev/null && [ "$(wc -l <"$DISPLAY_FILE")" -ge 1 ]; do
    i=$((i + 1))
    [ $i -le 100 ] || { echo "Xvfb did not start" >&2; exit 1; }
    sleep 0.1
done
export DISPLAY=:$(head -n1 "$DISPLAY_FILE")

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$WINE" wineboot -i >/dev/null 2>&1
    # Without a window manager every destroyed window would cost 2 s.
    "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    "$WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    "$WINESERVER" -w
fi

if [ -n "$PER_BLOCK" ]; then
    python3 "$ROOT/bench/perblock.py" --build "$BUILD" --prefix "$WINEPREFIX" --work "$BUILD/bench-work" \
        --wine "$WINE" --wineserver "$WINESERVER" "$@"
    exit
fi
python3 "$ROOT/bench/bench.py" --build "$BUILD" --prefix "$WINEPREFIX" --work "$BUILD/bench-work" \
    --sizes "$SIZES" --wine "$WINE" --wineserver "$WINESERVER" --out "$BUILD/bench-table.md" "$@"
