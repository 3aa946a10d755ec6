#!/usr/bin/env python3
"""Scripted TLS origin for the https tests, on 127.0.0.1.

GET /<mode>/<name> answers "HTTP/1.0 200 OK" with the bytes of ROOT/<name>:
  cut-length      Content-Length of the whole file, half of the body, then
                  the TCP connection closed without a TLS close_notify;
  cut-nolength    no Content-Length, the whole body, then the TCP connection
                  closed without a close_notify;
  whole-nolength  no Content-Length, the whole body, then a close_notify
                  and the close;
  oversize-record the header block, then the header of a record that
                  announces 65,535 bytes (more than TLS allows), written
                  past the TLS layer, and silence for 8 s before the close.
Anything else answers 404. Each connection has its own thread and every
read and write a timeout, so that no client can hold the origin up.
"""

import argparse
import os
import socket
import ssl
import threading
import time

TIMEOUT = 10
MAX_HEADER = 65536
MODES = ("cut-length", "cut-nolength", "whole-nolength", "oversize-record")
SILENCE = 8


def read_request(conn):
    request = b""
    while b"\r\n\r\n" not in request:
        if len(request) > MAX_HEADER:
            return None
        data = conn.recv(4096)
        if not data:
            return None
        request += data
    return request.split(b"\r\n", 1)[0].decode("latin-1")


def body_for(root, line):
    """The mode and the file's bytes a request line asks for, or None."""
    parts = line.split(" ")
    if len(parts) != 3 or parts[0] != "GET":
        return None
    segments = parts[1].split("/")
    if len(segments) != 3 or segments[0] or segments[1] not in MODES:
        return None
    name = segments[2]
    if name in ("", ".", "..") or "\\" in name:
        return None
    try:
        with open(os.path.join(root, name), "rb") as f:
            return segments[1], f.read()
    except OSError:
        return None


def close_without_notify(conn):
    # SSLSocket.shutdown drops the TLS layer and shuts the TCP socket down
    # with a FIN and no close_notify: what a cut connection looks like.
    conn.shutdown(socket.SHUT_RDWR)
    conn.close()


def serve(context, raw, root):
    raw.settimeout(TIMEOUT)
    try:
        conn = context.wrap_socket(raw, server_side=True)
    except (OSError, ssl.SSLError):
        raw.close()
        return
    try:
        line = read_request(conn)
        if line is None:
            conn.close()
            return
        found = body_for(root, line)
        if found is None:
            conn.sendall(b"HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n")
            conn.unwrap().close()
            return
        mode, body = found
        if mode == "cut-length":
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body))
            conn.sendall(body[: len(body) // 2])
            close_without_notify(conn)
        # Without a length a header line still follows the status line: the
        # updater reads no status from a status line alone.
        elif mode == "oversize-record":
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body))
            # The plain socket's send writes on the connection itself,
            # beside the TLS layer: an application-data record header.
            socket.socket.send(conn, b"\x17\x03\x03\xff\xff")
            time.sleep(SILENCE)
            close_without_notify(conn)
        elif mode == "cut-nolength":
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n" + body)
            close_without_notify(conn)
        else:
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n" + body)
            conn.unwrap().close()
    except (OSError, ssl.SSLError):
        conn.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--root", required=True, help="folder of the served files")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file", required=True, help="written once the origin listens")
    args = parser.parse_args()

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(args.cert, args.key)

    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(16)
    with open(args.port_file + ".new", "w") as f:
        f.write(f"{listener.getsockname()[1]}\n")
    os.replace(args.port_file + ".new", args.port_file)
    while True:
        raw, _ = listener.accept()
        threading.Thread(target=serve, args=(context, raw, args.root), daemon=True).start()


if __name__ == "__main__":
    main()
