#!/usr/bin/env bash
# Starts or stops the TLS servers of the https tests on 127.0.0.1 and ::1.
# Usage: tls-fixture.sh start|stop DIR
#
# start makes, anew in DIR, a throwaway root CA and one server certificate
# for each way a certificate can fail or pass; runs nginx with one server
# block per certificate plus one plain-HTTP block, all serving DIR/www (the
# plain and the trusted one with redirects, see redirect_locations; the
# plain one also /slow/F at 256 KiB/s and /no-ranges/F without byte ranges), and
# the scripted TLS origin (tests/support/tls-origin.py); the plain and the
# trusted one also /basic/F, which asks for Basic sign-in as the user of
# fixture-lib.sh (DIR/htpasswd; DIR/nginx-access.log names the user); and,
# once every server accepts connections, writes DIR/tls.ports with one
# NAME=PORT line for each of: good, other-name, expired, self-signed,
# untrusted-ca, client-cert (asks for a client certificate, takes none),
# plain, origin; and, on the IPv6 loopback, address (a certificate for the
# IP address ::1), other-address (one for ::2), while good and plain also
# listen on [::1] at their ports; dual is a plain server on 127.0.0.1 whose
# port on ::1 never answers (a full listen queue). When WINEPREFIX is set, the root CA (and only that one)
# becomes a trusted root of the current user of that Wine prefix. stop
# never fails.
set -u
action=${1:-}
dir=${2:-}
usage() {
    echo "usage: $0 start|stop DIR" >&2
    exit 2
}
[ -n "$dir" ] || usage
here=$(cd "$(dirname "$0")" && pwd)
origin_script=$here/../tests/support/tls-origin.py

. "$here/fixture-lib.sh"

stop_all() {
    rm -f "$dir/tls.ports"
    stop_group "$dir/nginx.group.pid" "^nginx: master"
    stop_group "$dir/origin.pid" "tls-origin.py"
    stop_group "$dir/unanswered.pid" "unanswered.py"
}

# A listener on [::1] at port $1 that never accepts, its queue filled by
# connections of its own: the kernel drops every further SYN, so that a
# client's attempt there is never answered, as with an IPv6 address that
# is routed nowhere.
write_unanswered_listener() {
    cat >"$dir/unanswered.py" <<'PY'
import socket, sys, time
port, ready = int(sys.argv[1]), sys.argv[2]
listener = socket.socket(socket.AF_INET6)
listener.bind(("::1", port))
listener.listen(0)
fillers = []
for _ in range(4):
    filler = socket.socket(socket.AF_INET6)
    filler.setblocking(False)
    filler.connect_ex(("::1", port))
    fillers.append(filler)
time.sleep(0.5)
open(ready, "w").close()
while True:
    time.sleep(3600)
PY
}

# Whether a server accepts connections on port $1 of ::1.
accepts_v6() {
    (exec 3<>"/dev/tcp/::1/$1") 2>/dev/null
}

# --- certificates -----------------------------------------------------------

# All openssl settings live in DIR (-config), so that the machine's own
# openssl.cnf plays no part in what the certificates hold.
write_openssl_config() {
    cat >"$dir/pki/openssl.cnf" <<'EOF'
[req]
distinguished_name = dn
prompt = no
[dn]
[ca]
default_ca = signing
[signing]
# Set per CA on the command line through the environment.
dir = $ENV::CA_DIR
database = $dir/index.txt
serial = $dir/serial
new_certs_dir = $dir
default_md = sha256
policy = any
unique_subject = no
copy_extensions = none
[any]
commonName = supplied
[root_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[server_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = $ENV::SAN
EOF
}

# openssl's date form for a time relative to now, e.g. "-30 days".
asn1_time() {
    date -u -d "$1" +%Y%m%d%H%M%SZ
}

# make_ca NAME CN: a self-signed root in DIR/pki/NAME.{key,crt}, valid from
# well before the expired server certificate to a month from now, so that
# only the server certificate's own validity differs between the rows.
make_ca() {
    local name=$1 cn=$2 ca_dir=$dir/pki/$1
    mkdir -p "$ca_dir"
    : >"$ca_dir/index.txt"
    openssl rand -hex 16 >"$ca_dir/serial"
    openssl req -config "$dir/pki/openssl.cnf" -new -newkey rsa:2048 -nodes \
        -subj "/CN=$cn" -keyout "$ca_dir/ca.key" -out "$ca_dir/ca.csr" 2>/dev/null || return 1
    CA_DIR=$ca_dir openssl ca -config "$dir/pki/openssl.cnf" -batch -notext \
        -selfsign -keyfile "$ca_dir/ca.key" -in "$ca_dir/ca.csr" -out "$ca_dir/ca.crt" \
        -extensions root_ext -startdate "$(asn1_time '-1000 days')" \
        -enddate "$(asn1_time '+30 days')" 2>/dev/null || return 1
}

# make_server NAME CA HOST START END: DIR/pki/NAME.{key,crt} for HOST
# (subject and subjectAltName; a HOST with a colon is an IP address entry)
# signed by CA, valid from START to END.
make_server() {
    local name=$1 ca_dir=$dir/pki/$2 host=$3 san=DNS:$3
    [[ $host == *:* ]] && san=IP:$host
    openssl req -config "$dir/pki/openssl.cnf" -new -newkey rsa:2048 -nodes \
        -subj "/CN=$host" -keyout "$dir/pki/$name.key" -out "$dir/pki/$name.csr" 2>/dev/null || return 1
    CA_DIR=$ca_dir SAN=$san openssl ca -config "$dir/pki/openssl.cnf" -batch -notext \
        -cert "$ca_dir/ca.crt" -keyfile "$ca_dir/ca.key" -in "$dir/pki/$name.csr" \
        -out "$dir/pki/$name.crt" -extensions server_ext \
        -startdate "$(asn1_time "$4")" -enddate "$(asn1_time "$5")" 2>/dev/null || return 1
}

make_certificates() {
    rm -rf "$dir/pki"
    mkdir -p "$dir/pki"
    write_openssl_config
    # openssl expands every $ENV:: of the file at load, used or not.
    export CA_DIR=$dir/pki SAN=DNS:localhost
    # A name of its own for each run's CA, so that a root left in the prefix
    # by an earlier run can never be taken for this one.
    local stamp
    stamp=$(date -u +%Y%m%dT%H%M%S)
    make_ca root "Quillbrook Test Root CA $stamp" &&
        make_ca stranger "Quillbrook Untrusted Test CA $stamp" &&
        make_server good root localhost '-1 day' '+30 days' &&
        make_server other-name root other.example '-1 day' '+30 days' &&
        make_server expired root localhost '-400 days' '-100 days' &&
        make_server untrusted-ca stranger localhost '-1 day' '+30 days' &&
        make_server address root ::1 '-1 day' '+30 days' &&
        make_server other-address root ::2 '-1 day' '+30 days' || return 1
    # Self-signed: its own issuer, no CA anywhere behind it.
    SAN=DNS:localhost openssl req -config "$dir/pki/openssl.cnf" -x509 -newkey rsa:2048 -nodes \
        -sha256 -days 30 -subj "/CN=localhost" -extensions server_ext \
        -keyout "$dir/pki/self-signed.key" -out "$dir/pki/self-signed.crt" 2>/dev/null || return 1
    cp "$dir/pki/root/ca.crt" "$dir/ca.pem"
    openssl x509 -in "$dir/ca.pem" -outform DER -out "$dir/ca.der"
}

# --- trust in the Wine prefix -----------------------------------------------

root_key='HKEY_CURRENT_USER\Software\Microsoft\SystemCertificates\Root\Certificates'

# A DWORD as little-endian hex bytes for a .reg file: "20,00,00,00".
le32() {
    printf '%02x,%02x,%02x,%02x' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) $((($1 >> 24) & 255))
}

# Makes DIR/ca.pem a trusted root of the current user of $WINEPREFIX, the
# way crypt32 keeps one: a key named by the SHA-1 thumbprint holding the
# value Blob, a property list of one property (id 0x20, the certificate;
# then 1; then the length; then the DER bytes, each number a little-endian
# DWORD). The previous run's root is removed first.
trust_root_in_prefix() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "no Wine prefix at $WINEPREFIX: the test command makes it before the fixtures" >&2
        return 1
    fi
    if [ -f "$dir/ca.thumbprint" ]; then
        wine reg delete "$root_key\\$(cat "$dir/ca.thumbprint")" /f >/dev/null 2>&1
        rm -f "$dir/ca.thumbprint"
    fi
    local thumbprint length
    thumbprint=$(sha1sum "$dir/ca.der" | cut -c1-40 | tr a-f A-F)
    length=$(stat -c %s "$dir/ca.der")
    {
        printf 'Windows Registry Editor Version 5.00\r\n\r\n'
        printf '[%s\\%s]\r\n' "$root_key" "$thumbprint"
        printf '"Blob"=hex:%s,%s,%s,\\\r\n' "$(le32 32)" "$(le32 1)" "$(le32 "$length")"
        # The DER bytes, 24 a line, every line but the last continued.
        od -An -v -tx1 "$dir/ca.der" | tr -s ' ' '\n' | grep . | paste -sd, - |
            sed 's/\(\([0-9a-f][0-9a-f],\)\{24\}\)/\1\\\r\n  /g; s/^/  /'
        printf '\r\n'
    } >"$dir/ca.reg"
    wine reg import "$(winepath -w "$dir/ca.reg" 2>/dev/null)" >/dev/null 2>&1 || {
        echo "wine reg import of $dir/ca.reg failed" >&2
        return 1
    }
    # reg import succeeds on a malformed line too: read the value back.
    wine reg query "$root_key\\$thumbprint" /v Blob 2>/dev/null | grep -q Blob || {
        echo "the root CA is not in $WINEPREFIX after the import" >&2
        return 1
    }
    echo "$thumbprint" >"$dir/ca.thumbprint"
}

# --- servers ----------------------------------------------------------------

# The redirects that update servers send, in the plain server and in the
# trusted TLS one: /moved-CODE/F answers CODE with the absolute URL of /F;
# /relative/F the path /F alone; /folder/F the text "files/F", which the
# server serves below /folder/files/; /chain-N/F passes on to
# /chain-(N-1)/F and /chain-1/F to /F; /loop to itself; /no-location a 302
# without a Location; /to-tls/F to F on the trusted TLS server;
# /to-address/F to F on the plain server by its address; /to-ftp to an
# ftp:// URL; /to-plain/F the
# same, meant for the TLS server (https to http); /scheme-relative/F to
# //localhost:PORT/F on the TLS server.
redirect_locations() {
    local code n
    for code in 301 302 303 307 308; do
        echo "        location ~ ^/moved-$code(/.*)\$ { return $code \$1; }"
    done
    cat <<CONF
        location ~ ^/relative(/.*)\$ { absolute_redirect off; return 302 \$1; }
        location ~ ^/folder/(.*)\$ { absolute_redirect off; return 302 files/\$1; }
        location ^~ /folder/files/ { alias $dir/www/; }
        location = /loop { return 302 /loop; }
        location = /no-location { return 302 ""; }
        location = /to-ftp { return 302 ftp://127.0.0.1/Update.exe; }
        location ~ ^/to-tls(/.*)\$ { return 301 https://localhost:${ports[good]}\$1; }
        location ~ ^/to-address(/.*)\$ { return 302 http://127.0.0.1:${ports[plain]}\$1; }
        location ~ ^/to-plain(/.*)\$ { return 301 http://127.0.0.1:${ports[plain]}\$1; }
        location ~ ^/scheme-relative(/.*)\$ { absolute_redirect off; return 302 //localhost:${ports[good]}\$1; }
        location ~ ^/chain-1(/.*)\$ { return 302 \$1; }
CONF
    for n in $(seq 2 11); do
        echo "        location ~ ^/chain-$n(/.*)\$ { return 302 /chain-$((n - 1))\$1; }"
    done
}

# Update servers that ask for sign-in answer 401 with WWW-Authenticate.
basic_location() {
    echo "        location ^~ /basic/ { alias $dir/www/; auth_basic \"Quillbrook test server\"; auth_basic_user_file $dir/htpasswd; }"
}

write_nginx_config() {
    local name
    mkdir -p "$dir/nginx-temp"
    {
        nginx_preamble "$dir"
        cat <<CONF
http {
    default_type application/octet-stream;
    access_log $dir/nginx-access.log;
    client_body_temp_path $dir/nginx-temp/body;
    proxy_temp_path $dir/nginx-temp/proxy;
    fastcgi_temp_path $dir/nginx-temp/fastcgi;
    uwsgi_temp_path $dir/nginx-temp/uwsgi;
    scgi_temp_path $dir/nginx-temp/scgi;
    ssl_protocols TLSv1.2 TLSv1.3;
    root $dir/www;
CONF
        for name in good other-name expired self-signed untrusted-ca address other-address; do
            echo "    server {"
            case $name in
            good) echo "        listen 127.0.0.1:${ports[$name]} ssl; listen [::1]:${ports[$name]} ssl;" ;;
            *address) echo "        listen [::1]:${ports[$name]} ssl;" ;;
            *) echo "        listen 127.0.0.1:${ports[$name]} ssl;" ;;
            esac
            cat <<CONF
        ssl_certificate $dir/pki/$name.crt;
        ssl_certificate_key $dir/pki/$name.key;
CONF
            if [ "$name" = good ]; then
                redirect_locations
                basic_location
            fi
            echo "    }"
        done
        # Asks every client for a certificate and takes one without.
        cat <<CONF
    server {
        listen 127.0.0.1:${ports[client-cert]} ssl;
        ssl_certificate $dir/pki/good.crt;
        ssl_certificate_key $dir/pki/good.key;
        ssl_verify_client optional_no_ca;
    }
    server {
        listen 127.0.0.1:${ports[dual]};
    }
    server {
        listen 127.0.0.1:${ports[plain]};
        listen [::1]:${ports[plain]};
        location ^~ /slow/ { alias $dir/www/; limit_rate 256k; }
        location ^~ /no-ranges/ { alias $dir/www/; max_ranges 0; }
CONF
        redirect_locations
        basic_location
        cat <<CONF
    }
}
CONF
    } >"$dir/nginx.conf"
}

start_all() {
    command -v nginx >/dev/null || { echo "nginx is not installed (Debian package nginx-light)" >&2; return 1; }
    command -v openssl >/dev/null || { echo "openssl is not installed" >&2; return 1; }
    make_certificates || { echo "openssl could not make the certificates" >&2; return 1; }
    if [ -n "${WINEPREFIX:-}" ]; then
        trust_root_in_prefix || return 1
    fi
    mkdir -p "$dir/www"
    echo "$test_user:$(openssl passwd -6 "$test_password")" >"$dir/htpasswd"

    declare -gA ports
    local names=(good other-name expired self-signed untrusted-ca client-cert plain address other-address dual) picked i
    read -r -a picked <<<"$(pick_ports ${#names[@]})"
    for i in "${!names[@]}"; do
        ports[${names[$i]}]=${picked[$i]}
    done
    write_nginx_config
    : >"$dir/nginx-error.log"
    setsid nginx -p "$dir" -c "$dir/nginx.conf" -e "$dir/nginx-error.log" >"$dir/nginx.out" 2>&1 </dev/null &
    echo $! >"$dir/nginx.group.pid"

    rm -f "$dir/origin.port"
    setsid python3 "$origin_script" --cert "$dir/pki/good.crt" --key "$dir/pki/good.key" \
        --root "$dir/www" --port-file "$dir/origin.port" >"$dir/origin.out" 2>&1 </dev/null &
    echo $! >"$dir/origin.pid"

    rm -f "$dir/unanswered.ready"
    write_unanswered_listener
    setsid python3 "$dir/unanswered.py" "${ports[dual]}" "$dir/unanswered.ready" >"$dir/unanswered.out" 2>&1 </dev/null &
    echo $! >"$dir/unanswered.pid"

    local waiting
    for _ in $(seq 200); do
        waiting=""
        for i in "${names[@]}"; do
            case $i in
            *address) accepts_v6 "${ports[$i]}" || waiting="$waiting $i" ;;
            *) accepts "${ports[$i]}" || waiting="$waiting $i" ;;
            esac
        done
        accepts_v6 "${ports[plain]}" || waiting="$waiting plain-v6"
        [ -f "$dir/unanswered.ready" ] || waiting="$waiting unanswered"
        if [ -z "${ports[origin]:-}" ] && [ -s "$dir/origin.port" ]; then
            ports[origin]=$(cat "$dir/origin.port")
        fi
        [ -n "${ports[origin]:-}" ] && accepts "${ports[origin]}" || waiting="$waiting origin"
        if [ -z "$waiting" ]; then
            for i in "${names[@]}" origin; do
                echo "$i=${ports[$i]}"
            done >"$dir/tls.ports.new"
            mv "$dir/tls.ports.new" "$dir/tls.ports"
            echo "TLS servers on 127.0.0.1 and ::1: $(paste -sd' ' "$dir/tls.ports")"
            return 0
        fi
        kill -0 "$(cat "$dir/nginx.group.pid")" 2>/dev/null || break
        kill -0 "$(cat "$dir/origin.pid")" 2>/dev/null || break
        sleep 0.1
    done
    echo "not accepting connections:$waiting" >&2
    cat "$dir/nginx.out" "$dir/nginx-error.log" "$dir/origin.out" "$dir/unanswered.out" >&2
    return 1
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
*)
    usage
    ;;
esac
