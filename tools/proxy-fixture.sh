#!/usr/bin/env bash
# Starts or stops a real HTTP proxy on 127.0.0.1 for the proxy tests (squid
# also on [::1], at the same port).
# Usage: proxy-fixture.sh tinyproxy|squid|privoxy start|stop DIR
# start writes DIR/NAME.conf, runs the proxy in the foreground mode in the
# background, saves its pid in DIR/NAME.pid and, once it accepts
# connections, its port in DIR/NAME.port. stop never fails.
# Each proxy has its own configuration, port and files in DIR, so a system
# service of the same package (on 3128 or 8118) neither helps nor disturbs.
set -u
name=${1:-}
action=${2:-}
dir=${3:-}
usage() {
    echo "usage: $0 tinyproxy|squid|privoxy start|stop DIR" >&2
    exit 2
}
case "$name" in tinyproxy | squid | privoxy) ;; *) usage ;; esac
[ -n "$dir" ] || usage

conf=$dir/$name.conf
pidfile=$dir/$name.pid
portfile=$dir/$name.port

tinyproxy_config() {
    # No ConnectPort line: tinyproxy tunnels (CONNECT) to any port.
    cat >"$conf" <<CONF
Port $1
Listen 127.0.0.1
Allow 127.0.0.1
Timeout 30
MaxClients 20
LogLevel Info
LogFile "$dir/tinyproxy.log"
CONF
    cmd=(tinyproxy -d -c "$conf")
}

squid_config() {
    cat >"$conf" <<CONF
http_port 127.0.0.1:$1
# The same proxy on the IPv6 loopback, for a proxy setting written [::1]:PORT.
http_port [::1]:$1
acl self src 127.0.0.1/32 ::1
# Tunnels to any port but the well-known ones, which get squid's 403: a
# test asks for localhost:443 to see a refused tunnel.
acl CONNECT method CONNECT
acl well_known_ports port 1-1023
http_access deny CONNECT well_known_ports
http_access allow self
http_access deny all
# No cache_dir, so /var/spool/squid is never needed; nothing is kept.
cache deny all
# Its own pid file: the default one belongs to the system service, and
# squid refuses to start while that one names a live process.
pid_filename $dir/squid.run.pid
# Logs written by squid itself (stdio, not the default daemon module) and
# no pinger: no helper process that could outlive the proxy.
access_log stdio:$dir/squid-access.log squid
cache_log $dir/squid-cache.log
pinger_enable off
# Stops on TERM instead of letting clients finish for 30 s.
shutdown_lifetime 0 seconds
# Saves looking up the machine's name, which can wait on DNS in a sandbox.
visible_hostname localhost
CONF
    # As root squid switches to its user proxy, which must write DIR.
    if [ "$(id -u)" -eq 0 ]; then
        chown proxy "$dir"
    fi
    cmd=(squid -N -f "$conf")
}

privoxy_config() {
    # Without an action privoxy tunnels (CONNECT) to port 443 only; this
    # one allows every port and is the only one: no filterfile, nothing
    # is blocked or rewritten.
    cat >"$dir/privoxy.action" <<'ACTION'
{ +limit-connect{-} }
/
ACTION
    cat >"$conf" <<CONF
listen-address 127.0.0.1:$1
permit-access 127.0.0.1
# Of /etc/privoxy only the error page templates are used.
confdir $dir
actionsfile privoxy.action
templdir /etc/privoxy/templates
# The shipped configuration's value: without it privoxy closes every
# client connection after one answer.
keep-alive-timeout 5
socket-timeout 30
# With --no-daemon privoxy logs to stderr, DIR/privoxy.out, not to a
# logfile: requests, refused requests, startup warnings and errors.
debug 1
debug 1024
debug 4096
debug 8192
CONF
    cmd=(privoxy --no-daemon "$conf")
}

. "$(dirname "$0")/fixture-lib.sh"

# The proxy leads its own process group, so the group signal also ends its
# children.
stop_proxy() {
    stop_group "$pidfile" "^$name "
    rm -f "$portfile"
}

case "$action" in
start)
    command -v "$name" >/dev/null || { echo "$name is not installed" >&2; exit 1; }
    mkdir -p "$dir"
    stop_proxy
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    "${name}_config" "$port"
    setsid "${cmd[@]}" >"$dir/$name.out" 2>&1 </dev/null &
    echo $! >"$pidfile"
    for _ in $(seq 200); do
        if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port" >"$portfile"
            echo "$name on 127.0.0.1:$port"
            exit 0
        fi
        kill -0 "$(cat "$pidfile")" 2>/dev/null || break
        sleep 0.1
    done
    echo "$name did not start:" >&2
    cat "$dir/$name.out" >&2
    stop_proxy
    exit 1
    ;;
stop)
    stop_proxy
    exit 0
    ;;
*)
    usage
    ;;
esac
