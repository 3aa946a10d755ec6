#!/usr/bin/env bash
# Prepares (start) or removes (stop) what the fault tests cannot arrange from
# inside Wine, below DIR:
#   DIR/full      a 64 KiB file system, to be filled (DIR/full/mounted)
#   DIR/readonly  an installation whose two destinations hold "previous
#                 version" and cannot be changed even by root, who is not
#                 bound by the read-only attribute (DIR/readonly/immutable)
# Needs root; what cannot be made is left out and its test is skipped.
# stop never fails.
set -u
action=${1:-}
dir=${2:-}
if [ -z "$action" ] || [ -z "$dir" ]; then
    echo "usage: $0 start|stop DIR" >&2
    exit 2
fi

stop_all() {
    if [ -d "$dir/readonly" ]; then
        chattr -i "$dir/readonly/ContentCache/Update.exe" "$dir/readonly/templates/upgrade_info.html" 2>/dev/null
        rm -rf "$dir/readonly"
    fi
    mountpoint -q "$dir/full" 2>/dev/null && umount "$dir/full" 2>/dev/null
    return 0
}

case "$action" in
start)
    stop_all
    mkdir -p "$dir/full" "$dir/readonly/ContentCache" "$dir/readonly/templates"
    if mount -t tmpfs -o size=64k,mode=0777 tmpfs "$dir/full" 2>/dev/null; then
        touch "$dir/full/mounted"
    else
        echo "no small file system at $dir/full: the full-disk case will be skipped"
    fi
    for f in "$dir/readonly/ContentCache/Update.exe" "$dir/readonly/templates/upgrade_info.html"; do
        printf 'previous version' >"$f"
    done
    if chattr +i "$dir/readonly/ContentCache/Update.exe" "$dir/readonly/templates/upgrade_info.html" 2>/dev/null; then
        touch "$dir/readonly/immutable"
    else
        echo "no unchangeable files at $dir/readonly: the read-only case may be skipped"
    fi
    exit 0
    ;;
stop)
    stop_all
    exit 0
    ;;
esac
echo "usage: $0 start|stop DIR" >&2
exit 2
