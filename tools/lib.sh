# Shared steps of the project's commands: Debian packages, the Wine prefix
# and an X display. Sourced, not run.

UPDATER_PACKAGES="cmake make g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest wine wine64 xvfb x11-utils tinyproxy squid privoxy nginx-light openssl osslsigncode x11-apps imagemagick python3"

ensure_packages() {
    local missing=""
    for p in $UPDATER_PACKAGES; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
    done
    if [ -n "$missing" ]; then
        echo "Installing:$missing"
        if [ "$(id -u)" -ne 0 ]; then
            echo "missing packages:$missing (run as root to install them)" >&2
            return 1
        fi
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
    fi
}

configure_and_build() {
    local root=$1 build=$2
    cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
    cmake --build "$build" -j"$(nproc)"
}

# A Wine prefix of our own: never the user's.
setup_wine_prefix() {
    export WINEPREFIX=$1
    export WINEDEBUG=-all
    # No Mono or Gecko installer prompts in a new prefix.
    export WINEDLLOVERRIDES="mscoree,mshtml="
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        mkdir -p "$WINEPREFIX"
        wineboot -i >/dev/null 2>&1
        wineserver -w
        # Without a window manager every destroyed window costs 2 s unless
        # Wine manages no windows; a crash must end the process, not wait
        # in a dialog.
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
        wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
        wineserver -w
    fi
    # Keep the server warm between the test processes.
    wineserver -p60
}

# Starts Wine's own background processes (services, explorer) with their
# output going nowhere. Otherwise the first test starts them, they inherit
# its output, and ctest waits for them to exit before the next test.
warm_up_wine() {
    wine cmd.exe /c exit >/dev/null 2>&1 </dev/null || true
}

# Uses the caller's display, or starts Xvfb for the rest of the script.
ensure_display() {
    if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
        return 0
    fi
    local fifo
    fifo=$(mktemp -u)
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
    XVFB_PID=$!
    local number=""
    # Xvfb writes the number and the newline separately: read the whole line.
    read -r -t 20 number <"$fifo" || true
    rm -f "$fifo"
    if [ -z "$number" ]; then
        echo "Xvfb did not start" >&2
        return 1
    fi
    export DISPLAY=":$number"
    trap 'kill $XVFB_PID 2>/dev/null || true' EXIT
}
