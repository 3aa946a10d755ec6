# Shared steps of the project's commands: Debian packages, the Wine prefix
# and an X display. Sourced, not run. Each step that fails says what failed
# on standard error and returns non-zero.

UPDATER_PACKAGES="cmake make g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest wine wine64 xvfb x11-utils tinyproxy squid privoxy nginx-light openssl osslsigncode x11-apps imagemagick python3 krb5-kdc krb5-admin-server krb5-user winbind apache2 libapache2-mod-auth-gssapi libxml2-utils dnsmasq-base"

# The message of a failed step, on standard error.
failed() {
    echo "${0##*/}: $*" >&2
}

ensure_packages() {
    local missing=""
    for p in $UPDATER_PACKAGES; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
    done
    [ -n "$missing" ] || return 0
    echo "Installing:$missing"
    if [ "$(id -u)" -ne 0 ]; then
        failed "missing packages:$missing (run as root to install them)"
        return 1
    fi
    # Another apt-get on the machine holds its locks for a while: wait for
    # them rather than fail at once (the timeout covers dpkg's lock; the
    # package lists' lock is tried again).
    local lock_wait=(-o DPkg::Lock::Timeout=600) tries=0
    until apt-get "${lock_wait[@]}" update -qq; do
        tries=$((tries + 1))
        [ "$tries" -lt 5 ] || { failed "apt-get update failed $tries times"; return 1; }
        sleep 20
    done
    DEBIAN_FRONTEND=noninteractive apt-get "${lock_wait[@]}" install -y -qq $missing >/dev/null ||
        { failed "apt-get could not install:$missing"; return 1; }
}

configure_and_build() {
    local root=$1 build=$2
    cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null ||
        { failed "cmake could not configure $build"; return 1; }
    cmake --build "$build" -j"$(nproc)" || { failed "the build in $build failed"; return 1; }
}

# Ends the wineserver of WINEPREFIX, and with it every Wine process of that
# prefix, when one runs. An earlier run of a command leaves its server up
# for a minute, with that run's display and environment.
stop_wineserver() {
    # -k waits for the server to go; it exits 1 when none runs.
    wineserver -k 2>/dev/null || true
}

# A Wine prefix of our own: never the user's. What an earlier run left in it
# is reused when that run finished making it, and made anew otherwise; an
# earlier run's wineserver is ended and a new one started.
setup_wine_prefix() {
    export WINEPREFIX=$1
    export WINEDEBUG=-all
    # No Mono or Gecko installer prompts in a new prefix.
    export WINEDLLOVERRIDES="mscoree,mshtml="
    local ready=$WINEPREFIX/.made-by-updater-tools
    stop_wineserver
    if [ ! -f "$ready" ]; then
        rm -rf "$WINEPREFIX"
        mkdir -p "$WINEPREFIX" || { failed "cannot create the Wine prefix folder $WINEPREFIX"; return 1; }
        wineboot -i >/dev/null 2>&1 || { failed "wineboot could not create the Wine prefix $WINEPREFIX"; return 1; }
        wineserver -w
        # Without a window manager every destroyed window costs 2 s unless
        # Wine manages no windows; a crash must end the process, not wait
        # in a dialog.
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 ||
            { failed "cannot write the X11 driver setting into $WINEPREFIX"; return 1; }
        wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 ||
            { failed "cannot turn off the crash dialog in $WINEPREFIX"; return 1; }
        wineserver -w
        touch "$ready"
    fi
    # Keep the server warm between the test processes. It exits 2, without
    # a word, when a server of this prefix runs already: one that another
    # command started since stop_wineserver above.
    local rc=0
    wineserver -p60 || rc=$?
    if [ "$rc" -ne 0 ]; then
        failed "wineserver -p60 exited $rc: another command is using the Wine prefix $WINEPREFIX"
        return 1
    fi
}

# Starts Wine's own background processes (services, explorer) with their
# output going nowhere. Otherwise the first test starts them, they inherit
# its output, and ctest waits for them to exit before the next test.
warm_up_wine() {
    # Not fatal: the first test starts them otherwise, and says more.
    wine cmd.exe /c exit >/dev/null 2>&1 </dev/null ||
        echo "${0##*/}: warning: Wine could not run cmd.exe in $WINEPREFIX" >&2
}

# Uses the caller's display, or starts Xvfb for the rest of the script; the
# script's EXIT trap is then stop_display. With a file argument the Xvfb's
# pid is kept in it, and an Xvfb that an earlier run left behind there (one
# that was killed before its own EXIT trap) is ended first.
ensure_display() {
    local pid_file=${1:-}
    if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
        return 0
    fi
    if [ -n "$pid_file" ] && [ -f "$pid_file" ]; then
        local old
        old=$(cat "$pid_file")
        if [ -n "$old" ] && [ "$(ps -o comm= -p "$old" 2>/dev/null)" = Xvfb ]; then
            kill "$old" 2>/dev/null || true
        fi
        rm -f "$pid_file"
    fi
    local fifo
    fifo=$(mktemp -u)
    mkfifo "$fifo" || { failed "cannot make a pipe for Xvfb's display number"; return 1; }
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
    XVFB_PID=$!
    local number=""
    # Xvfb writes the number and the newline separately: read the whole line.
    read -r -t 20 number <"$fifo" || true
    rm -f "$fifo"
    if [ -z "$number" ]; then
        kill "$XVFB_PID" 2>/dev/null || true
        failed "Xvfb did not start within 20 s"
        return 1
    fi
    export DISPLAY=":$number"
    if [ -n "$pid_file" ]; then
        echo "$XVFB_PID" >"$pid_file"
    fi
    XVFB_PID_FILE=$pid_file
    trap stop_display EXIT
}

# Ends the Xvfb that ensure_display started, if it did.
stop_display() {
    if [ -n "${XVFB_PID:-}" ]; then
        kill "$XVFB_PID" 2>/dev/null || true
        if [ -n "${XVFB_PID_FILE:-}" ]; then
            rm -f "$XVFB_PID_FILE"
        fi
    fi
}
