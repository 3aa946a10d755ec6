# Shared steps of the test fixtures that run servers in process groups of
# their own (setsid). Sourced, not run.

# Whether the session started by setsid still has a process that is not a
# zombie (the sandbox's init reaps orphans a second or two late).
running() {
    ps -o stat= -s "$1" | grep -qv '^Z'
}

# Ends the process group led by the pid in file $1 if that pid still runs
# the command matching $2: a pid reused by another program is left alone.
stop_group() {
    local pidfile=$1 pattern=$2 pid
    [ -f "$pidfile" ] || return 0
    pid=$(cat "$pidfile")
    if [ -n "$pid" ] && ps -o args= -p "$pid" | grep -q -- "$pattern"; then
        kill -TERM -- "-$pid" 2>/dev/null
        for _ in $(seq 50); do
            running "$pid" || break
            sleep 0.1
        done
        kill -KILL -- "-$pid" 2>/dev/null
    fi
    rm -f "$pidfile"
}

# $1 free ports on 127.0.0.1, all held at once so that none repeats.
pick_ports() {
    python3 -c '
import socket, sys
held = [socket.socket() for _ in range(int(sys.argv[1]))]
for s in held:
    s.bind(("127.0.0.1", 0))
print(" ".join(str(s.getsockname()[1]) for s in held))' "$1"
}

# Whether a server accepts connections on port $1 of 127.0.0.1.
accepts() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# The one account of every server and proxy that asks for sign-in, so that
# a test signs in the same way whichever fixture it runs against.
test_user=suiteuser
test_password=Suite-Pass-1

# The start of an nginx configuration whose files all live in the folder $1:
# the process settings and the events block; the caller writes the rest.
nginx_preamble() {
    cat <<CONF
daemon off;
worker_processes 1;
pid $1/nginx.pid;
error_log $1/nginx-error.log info;
CONF
    # As root the workers would switch to nobody, who may not read the folder.
    [ "$(id -u)" -eq 0 ] && echo "user root;"
    cat <<CONF
events {
    worker_connections 64;
}
CONF
}
