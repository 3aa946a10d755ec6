#!/usr/bin/env bash
# Starts or stops the name servers and the web server of the automatic proxy
# detection tests, and runs a command that resolves names through them.
# Usage: wpad-fixture.sh start|stop DIR
#        wpad-fixture.sh run DIR wpad|none|silent|silent-long -- COMMAND [ARGUMENTS...]
#
# start runs dnsmasq on 127.0.0.2:53, which knows one name,
# wpad.wpad-test.example (A 127.0.0.3, no AAAA, and the PTR of 127.0.0.3
# back to it: Wine asks for it and then fetches by that name, by address
# without it), and answers NXDOMAIN for every other name (NODATA for
# wpad-test.example itself, the parent of a name it knows); a name server
# on 127.0.0.4:53 (UDP and TCP) that reads every question and never
# answers; and nginx on 127.0.0.3:80 serving DIR/www, where a test writes
# wpad.dat. Every question dnsmasq gets is in DIR/dnsmasq.log, every
# request nginx gets in DIR/nginx-access.log (with the Host header). It
# writes DIR/resolv-wpad.conf (127.0.0.2, search wpad-test.example),
# DIR/resolv-none.conf (127.0.0.2, search nowpad.example, a domain with no
# wpad host), DIR/resolv-silent.conf (127.0.0.4 alone, with glibc's
# waits: ten seconds for a name), DIR/resolv-silent-long.conf (the same
# server with glibc's longest waits, a minute) and DIR/hosts (the
# machine's, with v6only.test at ::1 alone and dual.test at ::1 and
# 127.0.0.1), and, once every server answers,
# DIR/wpad.ready. stop never fails.
#
# run runs COMMAND in a mount namespace of its own in which
# /etc/resolv.conf is DIR/resolv-NAME.conf and /etc/hosts DIR/hosts; the
# machine's files and every other process are left alone. Every process that COMMAND starts, Wine
# programs and the programs they start included, resolves the same way;
# where the wineserver was started does not matter, it resolves no names.
# run needs root.
#
# Wine looks for wpad.DOMAIN alone, with DOMAIN the value Domain under
# HKLM\System\CurrentControlSet\Services\Tcpip\Parameters of the prefix,
# not the search line: a test sets that value too (wpad-test.example or
# nowpad.example), while the prefix's wineserver runs, since wineboot
# writes the value anew whenever a session of the prefix starts.
set -u
action=${1:-}
dir=${2:-}
usage() {
    echo "usage: $0 start|stop DIR" >&2
    echo "       $0 run DIR wpad|none|silent -- COMMAND [ARGUMENTS...]" >&2
    exit 2
}
[ -n "$dir" ] || usage
here=$(cd "$(dirname "$0")" && pwd)

. "$here/fixture-lib.sh"

domain=wpad-test.example
dns_address=127.0.0.2
web_address=127.0.0.3
silent_address=127.0.0.4

stop_all() {
    rm -f "$dir/wpad.ready"
    stop_group "$dir/dnsmasq.group.pid" "^dnsmasq " &
    stop_group "$dir/silent.group.pid" "silent-dns.py" &
    stop_group "$dir/nginx.group.pid" "^nginx: master"
    wait
}

# Whether something accepts TCP connections on address $1, port $2.
accepts_on() {
    (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null
}

# Whether our nginx answers on port 80: another program holding the port
# would accept connections as well.
nginx_answers() {
    timeout 1 bash -c 'exec 3<>"/dev/tcp/$0/80" && printf "HEAD / HTTP/1.0\r\n\r\n" >&3 &&
        grep -qi "^server: nginx" <&3' "$web_address" 2>/dev/null
}

# Everything dnsmasq reads is this file (-C): the machine's dnsmasq.conf,
# hosts and resolv.conf play no part, and no other address is bound.
write_dnsmasq_config() {
    cat >"$dir/dnsmasq.conf" <<CONF
port=53
listen-address=$dns_address
bind-interfaces
no-resolv
no-hosts
no-poll
host-record=wpad.$domain,$web_address
# No upstream: every name it does not know is NXDOMAIN, not REFUSED.
address=/#/
log-queries
log-facility=$dir/dnsmasq.log
pid-file=$dir/dnsmasq.pid
CONF
}

# A name server that takes every question and never answers, for the wait
# of a client whose server is gone. TCP connections are accepted and held,
# so that a client falling back to TCP waits as well.
write_silent_server() {
    cat >"$dir/silent-dns.py" <<'PY'
import select, socket, sys
address, ready = sys.argv[1], sys.argv[2]
udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
udp.bind((address, 53))
tcp = socket.socket()
tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
tcp.bind((address, 53))
tcp.listen(16)
open(ready, "w").close()
held = []
while True:
    readable, _, _ = select.select([udp, tcp] + held, [], [])
    for s in readable:
        if s is udp:
            udp.recvfrom(4096)
        elif s is tcp:
            held.append(tcp.accept()[0])
        elif not s.recv(4096):
            held.remove(s)
            s.close()
PY
}

write_nginx_config() {
    mkdir -p "$dir/nginx-temp"
    {
        nginx_preamble "$dir"
        cat <<CONF
http {
    types {
        application/x-ns-proxy-autoconfig dat pac;
    }
    default_type application/octet-stream;
    # The Host header shows whether a client asked by name or by address.
    log_format with_host '\$remote_addr [\$time_local] "\$request" \$status \$body_bytes_sent host="\$http_host"';
    access_log $dir/nginx-access.log with_host;
    client_body_temp_path $dir/nginx-temp/body;
    proxy_temp_path $dir/nginx-temp/proxy;
    fastcgi_temp_path $dir/nginx-temp/fastcgi;
    uwsgi_temp_path $dir/nginx-temp/uwsgi;
    scgi_temp_path $dir/nginx-temp/scgi;
    server {
        listen $web_address:80;
        root $dir/www;
    }
}
CONF
    } >"$dir/nginx.conf"
}

write_resolv_configs() {
    printf 'nameserver %s\nsearch %s\n' "$dns_address" "$domain" >"$dir/resolv-wpad.conf"
    printf 'nameserver %s\nsearch %s\n' "$dns_address" nowpad.example >"$dir/resolv-none.conf"
    printf "nameserver %s\n" "$silent_address" >"$dir/resolv-silent.conf"
    # glibc's longest waits: a minute for a name, longer than a setup lasts.
    printf "nameserver %s\noptions timeout:30 attempts:2\n" "$silent_address" >"$dir/resolv-silent-long.conf"
}

# The machine's hosts file and the names of the address tests: one with an
# IPv6 address alone, one with both families.
write_hosts() {
    { cat /etc/hosts; printf '::1 v6only.test\n::1 dual.test\n127.0.0.1 dual.test\n'; } >"$dir/hosts"
}

# Whether dnsmasq answers, asked the way the tests ask: through run. Short
# waits, so that a server not yet listening costs one try, not ten seconds.
dnsmasq_answers() {
    RES_OPTIONS="timeout:1 attempts:1" run_in "wpad" getent ahostsv4 "wpad.$domain" 2>/dev/null |
        grep -q "^$web_address "
}

start_all() {
    local missing="" p
    for p in dnsmasq nginx python3 unshare getent; do
        command -v "$p" >/dev/null || missing="$missing $p"
    done
    if [ -n "$missing" ]; then
        echo "not installed:$missing (Debian packages dnsmasq-base, nginx-light, python3)" >&2
        return 1
    fi
    mkdir -p "$dir/www"
    write_dnsmasq_config
    write_silent_server
    write_nginx_config
    write_resolv_configs
    write_hosts
    : >"$dir/dnsmasq.log"
    : >"$dir/nginx-error.log"
    rm -f "$dir/silent.ready"

    setsid dnsmasq -k -C "$dir/dnsmasq.conf" >"$dir/dnsmasq.out" 2>&1 </dev/null &
    echo $! >"$dir/dnsmasq.group.pid"
    setsid python3 "$dir/silent-dns.py" "$silent_address" "$dir/silent.ready" \
        >"$dir/silent.out" 2>&1 </dev/null &
    echo $! >"$dir/silent.group.pid"
    setsid nginx -p "$dir" -c "$dir/nginx.conf" -e "$dir/nginx-error.log" >"$dir/nginx.out" 2>&1 </dev/null &
    echo $! >"$dir/nginx.group.pid"

    local waiting name
    for _ in $(seq 100); do
        waiting=""
        dnsmasq_answers || waiting="$waiting dnsmasq"
        { [ -f "$dir/silent.ready" ] && accepts_on "$silent_address" 53; } || waiting="$waiting silent"
        nginx_answers || waiting="$waiting nginx"
        if [ -z "$waiting" ]; then
            # A test counts the requests of its client alone.
            : >"$dir/nginx-access.log"
            touch "$dir/wpad.ready"
            echo "wpad.$domain at $web_address from dnsmasq on $dns_address; silent name server on $silent_address"
            return 0
        fi
        for name in dnsmasq silent nginx; do
            kill -0 "$(cat "$dir/$name.group.pid")" 2>/dev/null || break 2
        done
        sleep 0.1
    done
    echo "not answering:$waiting" >&2
    cat "$dir/dnsmasq.out" "$dir/dnsmasq.log" "$dir/silent.out" "$dir/nginx.out" "$dir/nginx-error.log" >&2
    return 1
}

# run_in NAME COMMAND...: COMMAND with DIR/resolv-NAME.conf as its
# /etc/resolv.conf and DIR/hosts as its /etc/hosts. The bind mounts live
# and die with the namespace; private propagation keeps them from reaching
# the machine's own mount table.
run_in() {
    local conf=$dir/resolv-$1.conf
    shift
    [ -f "$conf" ] && [ -f "$dir/hosts" ] || { echo "no $conf: start the fixture first" >&2; return 2; }
    unshare -m --propagation private sh -c \
        'mount --bind "$0" /etc/resolv.conf && mount --bind "$1" /etc/hosts && shift && exec "$@"' \
        "$conf" "$dir/hosts" "$@"
}

case "$action" in
start)
    mkdir -p "$dir"
    stop_all
    start_all && exit 0
    stop_all
    exit 1
    ;;
stop)
    stop_all
    exit 0
    ;;
run)
    name=${3:-}
    case "$name" in wpad | none | silent | silent-long) ;; *) usage ;; esac
    if [ "${4:-}" != "--" ] || [ $# -lt 5 ]; then
        usage
    fi
    shift 4
    run_in "$name" "$@"
    ;;
*)
    usage
    ;;
esac
