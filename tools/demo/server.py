#!/usr/bin/env python3
"""The demonstration's update server on 127.0.0.1.

Serves the sample update program and the sample description page over
HTTP/1.0, each body in slices with short pauses, so that a transfer takes a
second or two and the updater's progress bar can be watched. Writes the port
it listens on to --port-file once it accepts connections.
"""

import argparse
import http.server
import os
import sys
import time

SLICES = 25


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def do_GET(self):
        served = self.server.files.get(self.path)
        if served is None:
            self.send_error(404)
            return
        path, content_type = served
        with open(path, "rb") as f:
            body = f.read()
        self.send_response(200)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        step = max(1, -(-len(body) // SLICES))
        pause = self.server.seconds / SLICES
        try:
            for start in range(0, len(body), step):
                self.wfile.write(body[start:start + step])
                self.wfile.flush()
                time.sleep(pause)
        except (BrokenPipeError, ConnectionResetError):
            self.log_message("client went away during %s", self.path)

    def log_message(self, format, *args):
        sys.stderr.write("server: %s\n" % (format % args))
        sys.stderr.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", required=True, help="file served as /update/Update.exe")
    parser.add_argument("--page", required=True, help="file served as /pages/upgrade_info.html")
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--seconds", type=float, default=1.5, help="time each body takes")
    args = parser.parse_args()

    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    server.files = {
        "/update/Update.exe": (args.program, "application/octet-stream"),
        "/pages/upgrade_info.html": (args.page, "text/html"),
    }
    server.seconds = args.seconds
    temporary = args.port_file + ".tmp"
    with open(temporary, "w") as f:
        f.write("%d\n" % server.server_address[1])
    os.replace(temporary, args.port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
