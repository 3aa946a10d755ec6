#!/usr/bin/env python3
"""HTTP/1.0 server for the benchmark, on 127.0.0.1.

GET /<bytes>[?anything] answers 200 with a body of that many bytes, made of a
fixed pseudo-random 1 MiB block repeated, then closes the connection. The
answer names its version with a strong ETag and takes byte ranges:
"Range: bytes=N-" gets the rest from byte N as a 206, unless an If-Range
names another version, which gets the whole body again. With "cut=N" in the
query a request without a range gets the head and the first N body bytes and
then a reset, so that the client sees a lost connection.

Each request's arrival is appended to the log as "<CLOCK_MONOTONIC ns> <path>"
so that the driver can time a program's start-up up to its request. With
--answers each answer's end is appended there as "<arrival ns> <status> <body
bytes sent> <path>", the arrival naming the request it answers.
"""

import argparse
import fcntl
import os
import socket
import struct
import termios
import threading
import time
import urllib.parse

from pattern import BLOCK


def header(request, name):
    for line in request.split(b"\r\n\r\n", 1)[0].split(b"\r\n")[1:]:
        key, sep, value = line.partition(b":")
        if sep and key.strip().lower() == name:
            return value.strip().decode("latin-1")
    return None


def range_start(request, etag):
    """The first byte asked for, or None for the whole body."""
    wanted = header(request, b"range")
    if wanted is None or not wanted.startswith("bytes=") or not wanted.endswith("-"):
        return None
    condition = header(request, b"if-range")
    if condition is not None and condition != etag:
        return None
    try:
        return int(wanted[len("bytes="):-1])
    except ValueError:
        return None


def send_body(conn, offset, count):
    """Sends body bytes [offset, offset + count); returns how many went out."""
    view = memoryview(BLOCK)
    sent = 0
    while sent < count:
        start = (offset + sent) % len(BLOCK)
        n = min(count - sent, len(BLOCK) - start)
        conn.sendall(view[start:start + n])
        sent += n
    return sent


def reset(conn):
    # Bytes still in the send queue would be dropped by the reset: the client
    # is to have all of them, so wait until they are acknowledged.
    deadline = time.monotonic() + 10
    queued = struct.pack("i", 0)
    while time.monotonic() < deadline:
        if struct.unpack("i", fcntl.ioctl(conn.fileno(), termios.TIOCOUTQ, queued))[0] == 0:
            break
        time.sleep(0.001)
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


def serve(conn, log, answers, lock):
    with conn:
        request = b""
        while b"\r\n\r\n" not in request and len(request) < 65536:
            data = conn.recv(4096)
            if not data:
                return
            request += data
        arrived = time.monotonic_ns()
        line = request.split(b"\r\n", 1)[0].decode("latin-1")
        parts = line.split(" ")
        path = parts[1] if len(parts) > 1 else ""
        if "://" in path:  # absolute form, as a proxy would get it
            path = "/" + path.split("://", 1)[1].split("/", 1)[-1]
        with lock:
            log.write(f"{arrived} {path}\n")
            log.flush()
        status, sent = 404, 0
        try:
            size = int(path.lstrip("/").split("?", 1)[0])
        except ValueError:
            conn.sendall(b"HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n")
            size = None
        if size is not None:
            query = urllib.parse.parse_qs(urllib.parse.urlsplit(path).query)
            cut = int(query["cut"][0]) if "cut" in query else None
            etag = f'"bench-{size}"'
            start = range_start(request, etag)
            head = (b"Content-Type: application/octet-stream\r\nCache-Control: no-store\r\n"
                    b"Accept-Ranges: bytes\r\nETag: %s\r\n" % etag.encode())
            try:
                if start is not None and start >= size:
                    status = 416
                    conn.sendall(b"HTTP/1.0 416 Range Not Satisfiable\r\n" + head +
                                 b"Content-Range: bytes */%d\r\nContent-Length: 0\r\n\r\n" % size)
                elif start is not None:
                    status = 206
                    conn.sendall(b"HTTP/1.0 206 Partial Content\r\n" + head +
                                 b"Content-Range: bytes %d-%d/%d\r\nContent-Length: %d\r\n\r\n"
                                 % (start, size - 1, size, size - start))
                    sent = send_body(conn, start, size - start)
                    conn.shutdown(socket.SHUT_WR)
                else:
                    status = 200
                    conn.sendall(b"HTTP/1.0 200 OK\r\n" + head + b"Content-Length: %d\r\n\r\n" % size)
                    if cut is not None and cut < size:
                        sent = send_body(conn, 0, cut)
                        reset(conn)
                    else:
                        sent = send_body(conn, 0, size)
                        conn.shutdown(socket.SHUT_WR)
            except OSError:
                pass
        if answers:
            with lock:
                answers.write(f"{arrived} {status} {sent} {path}\n")
                answers.flush()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--answers", help="file for the status and body bytes of each answer")
    args = parser.parse_args()

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(listener.getsockname()[1]))
    os.replace(tmp, args.port_file)

    lock = threading.Lock()
    with open(args.log, "a") as log, open(args.answers or os.devnull, "a") as answers:
        while True:
            conn, _ = listener.accept()
            threading.Thread(target=serve, args=(conn, log, answers if args.answers else None, lock),
                             daemon=True).start()


if __name__ == "__main__":
    main()
