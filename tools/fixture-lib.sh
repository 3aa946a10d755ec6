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
