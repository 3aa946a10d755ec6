#!/usr/bin/env bash
# Starts or stops a tinyproxy on 127.0.0.1 for the proxy tests.
# Usage: tinyproxy-fixture.sh start|stop DIR
# start writes DIR/tinyproxy.conf, runs the proxy in the foreground mode in
# the background, saves its pid in DIR/tinyproxy.pid and, once it accepts
# connections, its port in DIR/tinyproxy.port. stop never fails.
set -u
action=${1:-}
dir=${2:-}
if [ -z "$action" ] || [ -z "$dir" ]; then
    echo "usage: $0 start|stop DIR" >&2
    exit 2
fi

stop_proxy() {
    if [ -f "$dir/tinyproxy.pid" ]; then
        pid=$(cat "$dir/tinyproxy.pid")
        if [ -n "$pid" ] && kill "$pid" 2>/dev/null; then
            for _ in $(seq 50); do
                kill -0 "$pid" 2>/dev/null || break
                sleep 0.1
            done
            kill -9 "$pid" 2>/dev/null || true
        fi
        rm -f "$dir/tinyproxy.pid"
    fi
    rm -f "$dir/tinyproxy.port"
}

case "$action" in
start)
    command -v tinyproxy >/dev/null || { echo "tinyproxy is not installed" >&2; exit 1; }
    mkdir -p "$dir"
    stop_proxy
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    cat >"$dir/tinyproxy.conf" <<CONF
Port $port
Listen 127.0.0.1
Allow 127.0.0.1
Timeout 30
MaxClients 20
LogLevel Info
LogFile "$dir/tinyproxy.log"
CONF
    tinyproxy -d -c "$dir/tinyproxy.conf" >"$dir/tinyproxy.out" 2>&1 &
    echo $! >"$dir/tinyproxy.pid"
    for _ in $(seq 100); do
        if python3 -c "import socket,sys; socket.create_connection(('127.0.0.1', $port), 0.2)" 2>/dev/null; then
            echo "$port" >"$dir/tinyproxy.port"
            echo "tinyproxy on 127.0.0.1:$port"
            exit 0
        fi
        kill -0 "$(cat "$dir/tinyproxy.pid")" 2>/dev/null || break
        sleep 0.1
    done
    echo "tinyproxy did not start:" >&2
    cat "$dir/tinyproxy.out" >&2
    stop_proxy
    exit 1
    ;;
stop)
    stop_proxy
    exit 0
    ;;
*)
    echo "usage: $0 start|stop DIR" >&2
    exit 2
    ;;
esac
