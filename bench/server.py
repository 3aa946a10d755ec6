#!/usr/bin/env python3
"""HTTP/1.0 server for the benchmark, on 127.0.0.1.

GET /<bytes>[?anything] answers 200 with a body of that many bytes, made of a
fixed pseudo-random 1 MiB block repeated, then closes the connection. Each
request's arrival is appended to the log as "<CLOCK_MONOTONIC ns> <path>" so
that the driver can time a program's start-up up to its request.
"""

import argparse
import os
import socket
import threading
import time

from pattern import BLOCK


def serve(conn, log, lock):
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
        try:
            size = int(path.lstrip("/").split("?", 1)[0])
        except ValueError:
            conn.sendall(b"HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n")
            return
        conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n"
                     b"Cache-Control: no-store\r\n"
                     b"Content-Length: %d\r\n\r\n" % size)
        view = memoryview(BLOCK)
        left = size
        try:
            while left > 0:
                n = min(left, len(BLOCK))
                conn.sendall(view[:n])
                left -= n
            conn.shutdown(socket.SHUT_WR)
        except OSError:
            pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--log", required=True)
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
    with open(args.log, "a") as log:
        while True:
            conn, _ = listener.accept()
            threading.Thread(target=serve, args=(conn, log, lock), daemon=True).start()


if __name__ == "__main__":
    main()
