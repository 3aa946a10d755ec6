#!/usr/bin/env bash
# Starts or stops the proxies and the update servers that ask for sign-in,
# with the Kerberos realm behind them, on 127.0.0.1.
# Usage: auth-fixture.sh start|stop DIR
#
# start makes, anew in DIR, the realm TEST.LOCAL (DIR/krb5.conf, DIR/kdc.conf,
# its database in DIR/krb5) with the user of fixture-lib.sh (suiteuser) and
# the services HTTP/localhost and HTTP/127.0.0.1 (keys in DIR/http.keytab);
# runs its KDC; signs the user in into the ticket cache FILE:DIR/krb5cc; runs
# four squids that admit signed-in users only, each offering one way to sign
# in (negotiate, ntlm, basic) or all three (all), and answer 407; and runs
# update servers that serve DIR/www to signed-in users only and answer 401:
# server-negotiate, apache2 with mod_auth_gssapi (Kerberos, for a client
# that asks for HTTP/localhost; log DIR/apache2-access.log), and server-ntlm
# (NTLM) and server-all (all three), squids as reverse proxies in front of
# an open apache2 (logs DIR/squid-server-ntlm-access.log and
# DIR/squid-server-all-access.log). Every access log names the user. Once
# every server accepts connections it writes DIR/auth.ports with one
# NAME=PORT line for each of: negotiate, ntlm, basic, all, server-negotiate,
# server-ntlm, server-all. A client uses the realm with
# KRB5_CONFIG=DIR/krb5.conf and KRB5CCNAME=FILE:DIR/krb5cc. stop never
# fails.
set -u
action=${1:-}
dir=${2:-}
usage() {
    echo "usage: $0 start|stop DIR" >&2
    exit 2
}
[ -n "$dir" ] || usage
here=$(cd "$(dirname "$0")" && pwd)

. "$here/fixture-lib.sh"

realm=TEST.LOCAL
ntlm_domain=TEST
# The proxies, then the reverse proxies that stand for update servers.
squids=(negotiate ntlm basic all server-ntlm server-all)

stop_all() {
    rm -f "$dir/auth.ports"
    # A squid takes one to two seconds to go even without waiting for its
    # clients: all are stopped at once.
    local name
    for name in "${squids[@]}"; do
        stop_group "$dir/squid-$name.group.pid" "^squid " &
    done
    stop_group "$dir/apache2.group.pid" "^apache2 " &
    stop_group "$dir/krb5kdc.pid" "^krb5kdc "
    wait
}

# --- the realm --------------------------------------------------------------

# Everything Kerberos reads lives in DIR, so the machine's own krb5.conf and
# kdc.conf play no part; DNS is never asked, and TCP is used throughout, so
# the KDC needs one port only.
write_krb5_config() {
    cat >"$dir/krb5.conf" <<CONF
[libdefaults]
    default_realm = $realm
    dns_lookup_kdc = false
    dns_lookup_realm = false
    rdns = false
    dns_canonicalize_hostname = false
    udp_preference_limit = 1
[realms]
    $realm = {
        kdc = 127.0.0.1:$1
    }
[logging]
    kdc = FILE:$dir/krb5kdc.log
    default = FILE:$dir/krb5.log
CONF
    cat >"$dir/kdc.conf" <<CONF
[realms]
    $realm = {
        database_name = $dir/krb5/principal
        key_stash_file = $dir/krb5/stash
        acl_file = $dir/krb5/kadm5.acl
        kdc_listen = 127.0.0.1:$1
        kdc_tcp_listen = 127.0.0.1:$1
    }
CONF
}

make_realm() {
    rm -rf "$dir/krb5" "$dir/krb5cc" "$dir/http.keytab" "$dir/kadmin.out"
    mkdir -p "$dir/krb5"
    : >"$dir/krb5/kadm5.acl"
    write_krb5_config "$1"
    kdb5_util create -r "$realm" -s -P "$(openssl rand -hex 16)" >"$dir/kdb5_util.out" 2>&1 ||
        { cat "$dir/kdb5_util.out" >&2; return 1; }
    # A client asks for the proxy's service under the name it was given the
    # proxy by, taken as it is (rdns and canonicalization are off): the name
    # localhost, or the address.
    local query
    for query in "addprinc -pw $test_password $test_user" "addprinc -randkey HTTP/localhost" \
        "addprinc -randkey HTTP/127.0.0.1" "ktadd -k $dir/http.keytab HTTP/localhost HTTP/127.0.0.1"; do
        kadmin.local -q "$query" >>"$dir/kadmin.out" 2>&1 ||
            { echo "kadmin.local -q \"$query\" failed:" >&2; cat "$dir/kadmin.out" >&2; return 1; }
    done
}

start_kdc() {
    setsid krb5kdc -n >"$dir/krb5kdc.out" 2>&1 </dev/null &
    echo $! >"$dir/krb5kdc.pid"
    for _ in $(seq 100); do
        accepts "$1" && return 0
        kill -0 "$(cat "$dir/krb5kdc.pid")" 2>/dev/null || break
        sleep 0.05
    done
    echo "krb5kdc did not start:" >&2
    cat "$dir/krb5kdc.out" "$dir/krb5kdc.log" >&2 2>/dev/null
    return 1
}

sign_in() {
    echo "$test_password" | kinit "$test_user" >"$dir/kinit.out" 2>&1 ||
        { echo "kinit $test_user failed:" >&2; cat "$dir/kinit.out" >&2; return 1; }
}

# --- the proxies ------------------------------------------------------------

# The auth_param blocks of squid NAME. The order of the blocks is the order
# of the offers in a 407.
auth_params() {
    # ntlm_auth checks the answer against the password given here, with no
    # domain or winbindd behind it.
    local ntlm_helper="/usr/bin/ntlm_auth --helper-protocol=squid-2.5-ntlmssp --username=$test_user --domain=$ntlm_domain --password=$test_password"
    # -s GSS_C_NO_NAME takes any service key in the keytab, whatever name
    # the client asked for; -t none: no replay cache, which would otherwise
    # be kept in /var/tmp.
    local kerberos_helper="/usr/lib/squid/negotiate_kerberos_auth -k $dir/http.keytab -s GSS_C_NO_NAME -t none"
    case "$1" in
    negotiate)
        echo "auth_param negotiate program $kerberos_helper"
        echo "auth_param negotiate keep_alive on"
        ;;
    ntlm)
        echo "auth_param ntlm program $ntlm_helper"
        echo "auth_param ntlm keep_alive on"
        ;;
    basic)
        echo "auth_param basic program /usr/lib/squid/basic_ncsa_auth $dir/passwd"
        echo "auth_param basic realm $basic_realm"
        ;;
    all)
        # One negotiate helper for both tokens a client may send under
        # Negotiate: Kerberos, or NTLM when it has no ticket.
        echo "auth_param negotiate program /usr/lib/squid/negotiate_wrapper_auth --ntlm $ntlm_helper --kerberos $kerberos_helper"
        echo "auth_param negotiate keep_alive on"
        auth_params ntlm
        auth_params basic
        ;;
    esac
}

# write_squid_config NAME PORT ORIGIN-PORT: the origin serves the reverse
# proxies, whose names begin with server-.
write_squid_config() {
    local name=$1 port=$2 basic_realm="Quillbrook test proxy"
    {
        case "$name" in
        server-*)
            # In front of an origin squid asks for sign-in with 401 and
            # WWW-Authenticate, through the same helpers as the proxies.
            echo "http_port 127.0.0.1:$port accel defaultsite=localhost"
            echo "cache_peer 127.0.0.1 parent $3 0 no-query originserver name=origin"
            echo "never_direct allow all"
            basic_realm="Quillbrook test server"
            auth_params "${name#server-}"
            ;;
        *)
            echo "http_port 127.0.0.1:$port"
            auth_params "$name"
            ;;
        esac
        cat <<CONF
acl self src 127.0.0.1/32
acl authenticated proxy_auth REQUIRED
acl CONNECT method CONNECT
acl unprivileged_ports port 1024-65535
http_access deny !self
http_access deny CONNECT !unprivileged_ports
http_access allow authenticated
http_access deny all
# No cache_dir, so /var/spool/squid is never needed; nothing is kept.
cache deny all
# Its own pid file: the default one belongs to the system service, and
# squid refuses to start while that one names a live process.
pid_filename $dir/squid-$name.run.pid
# Logs written by squid itself (stdio, not the default daemon module) and
# no pinger: no helper process that could outlive the proxy.
access_log stdio:$dir/squid-$name-access.log squid
cache_log $dir/squid-$name-cache.log
pinger_enable off
# Stops on TERM instead of letting clients finish for 30 s.
shutdown_lifetime 0 seconds
# Saves looking up the machine's name, which can wait on DNS in a sandbox.
visible_hostname localhost
CONF
    } >"$dir/squid-$name.conf"
}

# --- the update servers -----------------------------------------------------

# One apache2 of its own, nothing read from /etc/apache2: on PORT Kerberos
# sign-in for DIR/www, on ORIGIN-PORT DIR/www open, for the reverse proxies.
# write_apache_config PORT ORIGIN-PORT
write_apache_config() {
    local modules=/usr/lib/apache2/modules
    {
        cat <<CONF
ServerRoot $dir
ServerName localhost
DefaultRuntimeDir $dir
PidFile $dir/apache2.pid
Mutex file:$dir default
ErrorLog $dir/apache2-error.log
LoadModule mpm_event_module $modules/mod_mpm_event.so
LoadModule authn_core_module $modules/mod_authn_core.so
LoadModule authz_core_module $modules/mod_authz_core.so
LoadModule authz_user_module $modules/mod_authz_user.so
LoadModule auth_gssapi_module $modules/mod_auth_gssapi.so
StartServers 1
ServerLimit 2
ThreadsPerChild 16
MaxRequestWorkers 32
MinSpareThreads 1
MaxSpareThreads 32
LogFormat "%h %l %u %t \"%r\" %>s %b" common
DocumentRoot $dir/www
Listen 127.0.0.1:$1
Listen 127.0.0.1:$2
<VirtualHost 127.0.0.1:$1>
    CustomLog $dir/apache2-access.log common
    <Location />
        AuthType GSSAPI
        AuthName "Quillbrook test server"
        GssapiCredStore keytab:$dir/http.keytab
        Require valid-user
    </Location>
</VirtualHost>
<VirtualHost 127.0.0.1:$2>
    CustomLog $dir/apache2-origin-access.log common
    <Location />
        Require all granted
    </Location>
</VirtualHost>
CONF
        # apache2 will not serve as root; as proxy it reads the keytab as
        # the squids' helpers do.
        [ "$(id -u)" -eq 0 ] && printf 'User proxy\nGroup proxy\n'
    } >"$dir/apache2.conf"
}

# As root squid runs itself and its helpers as the user proxy, who must
# write DIR and read the keytab and the password file, which stay closed to
# everyone else.
give_to_proxy() {
    [ "$(id -u)" -eq 0 ] || return 0
    chown proxy "$dir"
    chgrp proxy "$dir/http.keytab" "$dir/passwd"
}

start_all() {
    local tool
    for tool in krb5kdc kdb5_util kadmin.local kinit squid /usr/bin/ntlm_auth \
        /usr/lib/squid/negotiate_kerberos_auth /usr/lib/squid/negotiate_wrapper_auth \
        /usr/lib/squid/basic_ncsa_auth openssl apache2 /usr/lib/apache2/modules/mod_auth_gssapi.so; do
        [ -e "$tool" ] || command -v "$tool" >/dev/null ||
            { echo "$tool is not installed (Debian packages krb5-kdc, krb5-admin-server, krb5-user, winbind, squid, apache2, libapache2-mod-auth-gssapi)" >&2; return 1; }
    done
    declare -A ports
    # origin: the open apache2 behind the reverse proxies, for them alone.
    local servers=("${squids[@]}" server-negotiate origin)
    local names=(kdc "${servers[@]}") picked i
    read -r -a picked <<<"$(pick_ports ${#names[@]})"
    for i in "${!names[@]}"; do
        ports[${names[$i]}]=${picked[$i]}
    done

    make_realm "${ports[kdc]}" || return 1
    start_kdc "${ports[kdc]}" || return 1
    sign_in || return 1

    echo "$test_user:$(openssl passwd -6 "$test_password")" >"$dir/passwd"
    chmod 640 "$dir/http.keytab" "$dir/passwd"
    mkdir -p "$dir/www"
    give_to_proxy

    write_apache_config "${ports[server-negotiate]}" "${ports[origin]}"
    # No replay cache, which would otherwise be kept in /var/tmp.
    KRB5RCACHETYPE=none setsid apache2 -DFOREGROUND -f "$dir/apache2.conf" \
        >"$dir/apache2.out" 2>&1 </dev/null &
    echo $! >"$dir/apache2.group.pid"

    local name
    for name in "${squids[@]}"; do
        write_squid_config "$name" "${ports[$name]}" "${ports[origin]}"
        # The Kerberos helper finds the realm and the key through these.
        KRB5_KTNAME=FILE:$dir/http.keytab setsid squid -N -f "$dir/squid-$name.conf" \
            >"$dir/squid-$name.out" 2>&1 </dev/null &
        echo $! >"$dir/squid-$name.group.pid"
    done

    local waiting
    for _ in $(seq 200); do
        waiting=""
        for name in "${servers[@]}"; do
            accepts "${ports[$name]}" || waiting="$waiting $name"
        done
        if [ -z "$waiting" ]; then
            for name in negotiate ntlm basic all server-negotiate server-ntlm server-all; do
                echo "$name=${ports[$name]}"
            done >"$dir/auth.ports.new"
            mv "$dir/auth.ports.new" "$dir/auth.ports"
            echo "realm $realm with its KDC on 127.0.0.1:${ports[kdc]}; servers on 127.0.0.1: $(paste -sd' ' "$dir/auth.ports")"
            return 0
        fi
        for name in "${squids[@]}"; do
            kill -0 "$(cat "$dir/squid-$name.group.pid")" 2>/dev/null || break 2
        done
        kill -0 "$(cat "$dir/apache2.group.pid")" 2>/dev/null || break
        sleep 0.1
    done
    echo "not accepting connections:$waiting" >&2
    for name in "${squids[@]}"; do
        cat "$dir/squid-$name.out" "$dir/squid-$name-cache.log" >&2 2>/dev/null
    done
    cat "$dir/apache2.out" "$dir/apache2-error.log" >&2 2>/dev/null
    return 1
}

case "$action" in
start)
    mkdir -p "$dir"
    # The configuration files name DIR, which the tools read from anywhere.
    dir=$(cd "$dir" && pwd)
    export KRB5_CONFIG=$dir/krb5.conf KRB5_KDC_PROFILE=$dir/kdc.conf KRB5CCNAME=FILE:$dir/krb5cc
    stop_all
    start_all && exit 0
    stop_all
    exit 1
    ;;
stop)
    [ -d "$dir" ] || exit 0
    stop_all
    exit 0
    ;;
*)
    usage
    ;;
esac
