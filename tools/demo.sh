#!/usr/bin/env bash
# Demonstration: builds the updater, serves a sample update program and a
# sample description page from a local HTTP server, and runs "Updater.exe
# /run" and then plain "Updater.exe" with the dialog on screen, then
# "Updater.exe /run" once more against a port where nothing listens, whose
# failure boxes it answers itself; it takes screenshots throughout. Ends by
# itself and prints what happened.
# Usage (as root on a fresh machine): tools/demo.sh
# DEMO_DPI=144 tools/demo.sh runs it with the screen at 144 DPI (150 %),
# DEMO_DPI=192 at 200 %.
# Uses the caller's DISPLAY when there is one, else a private Xvfb.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build}
OUT=$BUILD/demo
PREFIX=$BUILD/demo-prefix
. "$ROOT/tools/lib.sh"

SERVER_PID=""
XVFB_PID=""

cleanup() {
    if [ -n "$SERVER_PID" ]; then kill "$SERVER_PID" 2>/dev/null || true; fi
    # Only this throwaway prefix's processes.
    if [ -d "$PREFIX" ]; then WINEPREFIX=$PREFIX wineserver -k 2>/dev/null || true; fi
    if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null || true; fi
}

windows_path() {
    local path=${1//\//\\}
    echo "Z:$path"
}

# Whether a window with this caption is on screen.
window_shown() {
    xwininfo -root -tree 2>/dev/null | grep -q "\"$1\""
}

# The first window of this caption that is mapped: the update dialog and the
# program's boxes share theirs, and a dialog not yet shown has a window too.
viewable_window() {
    local window
    for window in $(xwininfo -root -tree 2>/dev/null | awk -v name="\"$1\"" 'index($0, name) { print $1 }'); do
        if xwininfo -id "$window" 2>/dev/null | grep -q 'Map State: IsViewable'; then
            echo "$window"
            return
        fi
    done
}

SHOT_COUNT=0
# screenshot NAME [CAPTION]: the screen, and the window of that caption
# alone, frame included, when there is one.
screenshot() {
    SHOT_COUNT=$((SHOT_COUNT + 1))
    local file window
    file=$(printf '%s/%02d-%s.png' "$OUT" "$SHOT_COUNT" "$1")
    import -window root "$file" 2>/dev/null && SHOTS+=("$file")
    [ -n "${2:-}" ] || return 0
    window=$(viewable_window "$2")
    [ -n "$window" ] || return 0
    file=${file%.png}-window.png
    import -frame -window "$window" "$file" 2>/dev/null && SHOTS+=("$file")
}

# run_updater NAME [ARGUMENTS]: runs the updater to its end, with screenshots
# while its dialog is up; RUN_EXIT gets its exit code.
run_updater() {
    local name=$1
    shift
    timeout 120 wine "$OUT/program/Updater.exe" "$@" >/dev/null 2>&1 &
    local pid=$!
    while kill -0 "$pid" 2>/dev/null; do
        if window_shown "Quillbrook Updater"; then
            screenshot "$name" "Quillbrook Updater"
        fi
        sleep 0.3
    done
    RUN_EXIT=0
    wait "$pid" || RUN_EXIT=$?
}

# run_failing NAME [ARGUMENTS]: runs the updater to its end, taking a
# screenshot of each box it shows and pressing its OK; BOXES gets their texts.
run_failing() {
    local name=$1
    shift
    timeout 120 wine "$OUT/program/Updater.exe" "$@" >/dev/null 2>&1 &
    local pid=$!
    while kill -0 "$pid" 2>/dev/null; do
        if [ -n "$(viewable_window "Quillbrook Updater")" ]; then
            sleep 0.5 # painted
            screenshot "$name" "Quillbrook Updater"
            wine "$BUILD/bin/demo/DemoAnswerBox.exe" "Quillbrook Updater" 2>/dev/null | tr -d '\r' >>"$OUT/boxes.txt" || true
        fi
        sleep 0.3
    done
    RUN_EXIT=0
    wait "$pid" || RUN_EXIT=$?
}

outcome() {
    case $1 in
    0) echo "completed" ;;
    1) echo "cancelled" ;;
    2) echo "connection failed or lost" ;;
    3) echo "HTTP error" ;;
    4) echo "store failed" ;;
    5) echo "launch failed" ;;
    6) echo "sockets failed" ;;
    7) echo "signature refused" ;;
    8) echo "updates turned off" ;;
    9) echo "update in progress" ;;
    *) echo "unexpected" ;;
    esac
}

describe_file() {
    local stored=$1 served=$2
    if [ ! -f "$stored" ]; then
        echo "  $stored: missing"
    elif cmp -s "$stored" "$served"; then
        echo "  $stored: $(stat -c %s "$stored") bytes, identical to the served $(basename "$served")"
    else
        echo "  $stored: $(stat -c %s "$stored") bytes, DIFFERS from the served $(basename "$served")"
    fi
}

trap cleanup EXIT

echo "== Packages"
ensure_packages

echo "== Building Updater.exe, QbLog.dll and the sample update program"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$BUILD" --target Updater QbLog DemoUpdate DemoAnswerBox -j"$(nproc)" >/dev/null

echo "== A fresh Wine prefix: $PREFIX"
rm -rf "$PREFIX" "$OUT"
setup_wine_prefix "$PREFIX"
ensure_display
# ensure_display's own trap would replace ours.
trap cleanup EXIT
echo "   display $DISPLAY"

mkdir -p "$OUT/program" "$OUT/suite/ContentCache" "$OUT/suite/templates"
cp "$BUILD/bin/Updater.exe" "$BUILD/bin/QbLog.dll" "$OUT/program/"
PROGRAM=$BUILD/bin/demo/DemoUpdate.exe
PAGE=$ROOT/tools/demo/upgrade_info.html

echo "== Local update server"
python3 "$ROOT/tools/demo/server.py" --program "$PROGRAM" --page "$PAGE" \
    --port-file "$OUT/server.port" 2>"$OUT/server.log" &
SERVER_PID=$!
for _ in $(seq 50); do
    [ -s "$OUT/server.port" ] && break
    sleep 0.1
done
PORT=$(cat "$OUT/server.port")
echo "   http://127.0.0.1:$PORT/"

if [ -n "${DEMO_DPI:-}" ]; then
    wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$DEMO_DPI" /f >/dev/null 2>&1
    echo "   screen at $DEMO_DPI DPI"
fi

UPDATES='HKLM\SOFTWARE\Quillbrook\QBSUITE\Updates'
wine reg add "$UPDATES" /v Source /t REG_SZ /d "http://127.0.0.1:$PORT/update/Update.exe" /f >/dev/null 2>&1
wine reg add "$UPDATES" /v Description /t REG_SZ /d "http://127.0.0.1:$PORT/pages/upgrade_info.html" /f >/dev/null 2>&1
wine reg add 'HKLM\SOFTWARE\Quillbrook\QBSUITE' /v RootPath /t REG_SZ /d "$(windows_path "$OUT/suite")" /f >/dev/null 2>&1

SHOTS=()

echo "== Updater.exe /run"
run_updater run /run
RUN_MODE_EXIT=$RUN_EXIT
# The fetched program shows its box for a few seconds, then ends.
for _ in $(seq 40); do
    window_shown "Quillbrook Suite" && break
    sleep 0.25
done
if window_shown "Quillbrook Suite"; then
    screenshot update-program
    for _ in $(seq 60); do
        window_shown "Quillbrook Suite" || break
        sleep 0.25
    done
fi

echo "== Updater.exe"
run_updater description
DESCRIPTION_MODE_EXIT=$RUN_EXIT

echo "== Updater.exe /run with nothing listening at its Source"
CLOSED_PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
wine reg add "$UPDATES" /v Source /t REG_SZ /d "http://127.0.0.1:$CLOSED_PORT/update/Update.exe" /f >/dev/null 2>&1
run_failing failure /run
FAILURE_EXIT=$RUN_EXIT

echo
echo "== What happened"
echo "Exit codes:"
echo "  Updater.exe /run: $RUN_MODE_EXIT ($(outcome "$RUN_MODE_EXIT"))"
echo "  Updater.exe:      $DESCRIPTION_MODE_EXIT ($(outcome "$DESCRIPTION_MODE_EXIT"))"
echo "  Updater.exe /run, nothing at port $CLOSED_PORT: $FAILURE_EXIT ($(outcome "$FAILURE_EXIT"))"
echo "Boxes of that run, each answered with OK:"
if [ -s "$OUT/boxes.txt" ]; then
    sed 's/^/  /' "$OUT/boxes.txt"
else
    echo "  none"
fi
echo "Stored files:"
describe_file "$OUT/suite/ContentCache/Update.exe" "$PROGRAM"
describe_file "$OUT/suite/templates/upgrade_info.html" "$PAGE"
echo "Requests the server answered:"
sed 's/^/  /' "$OUT/server.log"
echo "Event-log records ($OUT/program/QbLog.log):"
if [ -s "$OUT/program/QbLog.log" ]; then
    sed 's/^/  /' "$OUT/program/QbLog.log"
else
    echo "  none"
fi
echo "Screenshots:"
if [ ${#SHOTS[@]} -eq 0 ]; then
    echo "  none"
else
    printf '  %s\n' "${SHOTS[@]}"
fi
