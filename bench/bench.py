#!/usr/bin/env python3
"""Benchmark driver: Updater.exe against the bare per-block loop, the same loop
with the file held open, Windows peer downloaders under the same Wine, and
native curl.

Every program fetches the same body from a local server (server.py) on
127.0.0.1. The programs alternate within each round, the Wine programs and
the wineserver pinned to one CPU, the server and this driver to another.
Figures are medians over the rounds with min-max; wall time runs from the
start of the process to its exit; CPU time is the program's user and system
time plus what the wineserver spent meanwhile; peak memory is the program's
peak resident set (its working set).

With --https the same bodies come from nginx (tools/tls-fixture.sh, its test
CA made a trusted root of the benchmark's Wine prefix), over https and, from
the same nginx, over plain http, so that each program's cost of TLS is its
https figure over its http one. Updater.exe joins these rows with
--https-updater, over both schemes.

With --sign-in Updater.exe fetches through squid twice: an open one
(tools/proxy-fixture.sh) and one that asks for Negotiate
(tools/auth-fixture.sh, the user's Kerberos ticket in the fixture's own
cache), so that the cost of the sign-in is the difference of the two.

With --server-sign-in Updater.exe fetches straight from the apache2 of
tools/auth-fixture.sh, from its open port and from its port behind
mod_auth_gssapi (Negotiate, the same ticket), both serving one folder. That
apache2 logs a request's time in whole seconds, so for the start-up runs a
relay in this driver stands in front of each port and notes when each
request's head comes in; on the sign-in side the request that gets the file
is the one carrying Authorization. Every sign-in run must show the user in
apache2's log, every open run nobody.

With --resume Updater.exe, in description mode as everywhere here, takes
each body whole, then from a server that resets the connection at 90 % of
it, and then once more for the same URL, when it asks for the rest; the two
timed runs are the whole transfer and that second start. The box that the
lost connection brings up is answered by pressing Return on it through the X
display.

With --detection Updater.exe starts in three sides: automatic proxy
detection off; on, with nothing to detect and no miss remembered, the cost
that a first start pays; and on, with the miss that the previous run wrote
still fresh, when no lookup process is started. The whole driver runs again
inside tools/wpad-fixture.sh's namespace whose resolver knows no wpad host
of nowpad.example, the prefix's Domain; dnsmasq's log shows which runs
asked for wpad.nowpad.example. The registry values the mode changes are
put back at the end.
"""

import argparse
import ctypes
import ctypes.util
import glob
import json
import os
import re
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pattern import BLOCK, digest  # noqa: E402

MIB = 1 << 20
UPDATER = "Updater.exe"
BARE = "bare loop"
HELD = "held-file loop"
PEERS = ["WinINet 64 KiB", "URLDownloadToFileA", "WinHTTP 64 KiB"]
CURL = "curl (native)"
HTTP = " over http"
HTTPS = " over https"
HTTPS_PEERS = [PEERS[0], PEERS[2], CURL]
OPEN_SQUID = " via open squid"
NEGOTIATE_SQUID = " via Negotiate squid"
OPEN_SERVER = " from the open apache2"
NEGOTIATE_SERVER = " from the Negotiate apache2"
UPDATES = r"HKLM\SOFTWARE\Quillbrook\QBSUITE\Updates"
DETECTION_OFF = ", detection off"
DETECTION_FIRST = ", detection on, no miss remembered"
DETECTION_REMEMBERED = ", detection on, the miss remembered"
NO_WPAD_DOMAIN = "nowpad.example"
TCPIP = r"HKLM\System\CurrentControlSet\Services\Tcpip\Parameters"
UPDATER_KEY = r"HKCU\Software\Quillbrook\QBSUITE\Updater"
MISSED = "ProxyDetectionMissed"
WPAD_QUESTION = re.compile(r"query\[(\w+)\] wpad\." + re.escape(NO_WPAD_DOMAIN) + r" ")
# apache2's "common" format: host, ident, user, time, request line, status, bytes.
COMMON_LOG = re.compile(r'^(\S+) (\S+) (\S+) \[([^\]]*)\] "([^"]*)" (\d{3}) (\S+)$')
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
INTERNET_SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
CONNECTIONS = INTERNET_SETTINGS + r"\Connections"
# Everything --detection may change, put back as it was at the end.
DETECTION_VALUES = [(TCPIP, "Domain"), (CONNECTIONS, "DefaultConnectionSettings"), (UPDATER_KEY, MISSED),
                    (INTERNET_SETTINGS, "ProxyEnable"), (INTERNET_SETTINGS, "AutoConfigURL"),
                    (UPDATES, "Description"), (r"HKLM\SOFTWARE\Quillbrook\QBSUITE", "RootPath")]
STARTUP_BODY = 1024


def connection_settings(flags):
    """DefaultConnectionSettings as hex: version, counter, flags, three empty texts, 32 zero bytes."""
    return (struct.pack("<6I", 0x46, 0, flags, 0, 0, 0) + bytes(32)).hex()


def filetime_now():
    return int(time.time() * 10**7) + 116444736000000000


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def cpu_ticks(pid):
    """User and system time of a process, in seconds."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class XWindowAttributes(ctypes.Structure):
    _fields_ = [("x", ctypes.c_int), ("y", ctypes.c_int), ("width", ctypes.c_int), ("height", ctypes.c_int),
                ("border_width", ctypes.c_int), ("depth", ctypes.c_int), ("visual", ctypes.c_void_p),
                ("root", ctypes.c_ulong), ("class_", ctypes.c_int), ("bit_gravity", ctypes.c_int),
                ("win_gravity", ctypes.c_int), ("backing_store", ctypes.c_int), ("backing_planes", ctypes.c_ulong),
                ("backing_pixel", ctypes.c_ulong), ("save_under", ctypes.c_int), ("colormap", ctypes.c_ulong),
                ("map_installed", ctypes.c_int), ("map_state", ctypes.c_int), ("all_event_masks", ctypes.c_long),
                ("your_event_mask", ctypes.c_long), ("do_not_propagate_mask", ctypes.c_long),
                ("override_redirect", ctypes.c_int), ("screen", ctypes.c_void_p)]


class BoxPresser:
    """Presses Return on every box of the updater: a run whose connection is
    lost waits in one, and the program has no switch that would spare it.

    Wine gives each top-level window an X window; a box is the one that is
    transient for another (the dialog) under the program's caption.
    """

    IS_VIEWABLE = 2
    XK_RETURN = 0xFF0D

    def __init__(self, caption):
        x = self.x = ctypes.CDLL(ctypes.util.find_library("X11"))
        self.xtst = ctypes.CDLL(ctypes.util.find_library("Xtst"))
        ptr, ulong = ctypes.c_void_p, ctypes.c_ulong
        x.XOpenDisplay.restype = ptr
        x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x.XDefaultRootWindow.restype = ulong
        x.XDefaultRootWindow.argtypes = [ptr]
        x.XQueryTree.argtypes = [ptr, ulong, ctypes.POINTER(ulong), ctypes.POINTER(ulong),
                                 ctypes.POINTER(ctypes.POINTER(ulong)), ctypes.POINTER(ctypes.c_uint)]
        x.XGetTransientForHint.argtypes = [ptr, ulong, ctypes.POINTER(ulong)]
        x.XGetWindowAttributes.argtypes = [ptr, ulong, ctypes.POINTER(XWindowAttributes)]
        x.XFetchName.argtypes = [ptr, ulong, ctypes.POINTER(ctypes.c_char_p)]
        x.XGetInputFocus.argtypes = [ptr, ctypes.POINTER(ulong), ctypes.POINTER(ctypes.c_int)]
        x.XSetInputFocus.argtypes = [ptr, ulong, ctypes.c_int, ulong]
        x.XKeysymToKeycode.restype = ctypes.c_ubyte
        x.XKeysymToKeycode.argtypes = [ptr, ulong]
        x.XFree.argtypes = [ptr]
        x.XSync.argtypes = [ptr, ctypes.c_int]
        x.XCloseDisplay.argtypes = [ptr]
        self.xtst.XTestFakeKeyEvent.argtypes = [ptr, ctypes.c_uint, ctypes.c_int, ulong]
        # A window can go between the listing and the look at it; Xlib's
        # own handler would end the driver for that.
        self.on_error = ctypes.CFUNCTYPE(ctypes.c_int, ptr, ptr)(lambda display, event: 0)
        x.XSetErrorHandler(self.on_error)
        self.display = x.XOpenDisplay(None)
        if not self.display:
            raise SystemExit("the box presser cannot open the X display")
        self.caption = caption.encode()
        self.boxes_seen = 0
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.watch, daemon=True)
        self.thread.start()

    def boxes(self):
        x, d = self.x, self.display
        root, parent = ctypes.c_ulong(), ctypes.c_ulong()
        children, count = ctypes.POINTER(ctypes.c_ulong)(), ctypes.c_uint()
        if not x.XQueryTree(d, x.XDefaultRootWindow(d), ctypes.byref(root), ctypes.byref(parent),
                            ctypes.byref(children), ctypes.byref(count)):
            return []
        windows = children[:count.value]
        if children:
            x.XFree(children)
        found = []
        for window in windows:
            owner, attributes, name = ctypes.c_ulong(), XWindowAttributes(), ctypes.c_char_p()
            if not x.XGetTransientForHint(d, window, ctypes.byref(owner)):
                continue
            if not x.XGetWindowAttributes(d, window, ctypes.byref(attributes)) or \
                    attributes.map_state != self.IS_VIEWABLE:
                continue
            if x.XFetchName(d, window, ctypes.byref(name)) and name.value is not None:
                if name.value == self.caption:
                    found.append(window)
                x.XFree(ctypes.cast(name, ctypes.c_void_p))
        return found

    def watch(self):
        x, d = self.x, self.display
        keycode = x.XKeysymToKeycode(d, self.XK_RETURN)
        # A new program's windows may get the ids of an earlier one's: a box
        # counts when it appears, not by its id.
        shown, last = set(), {}
        while not self.stopping.wait(0.05):
            boxes = self.boxes()
            for box in boxes:
                if box not in shown:
                    self.boxes_seen += 1
                    last[box] = 0
                focus, revert = ctypes.c_ulong(), ctypes.c_int()
                x.XGetInputFocus(d, ctypes.byref(focus), ctypes.byref(revert))
                if focus.value != box:
                    # Return on the dialog would be its Cancel button.
                    x.XSetInputFocus(d, box, 2, 0)
                    x.XSync(d, 0)
                    continue
                if time.monotonic() - last[box] < 1:
                    continue
                last[box] = time.monotonic()
                self.xtst.XTestFakeKeyEvent(d, keycode, 1, 0)
                self.xtst.XTestFakeKeyEvent(d, keycode, 0, 0)
                x.XSync(d, 0)
            shown = set(boxes)

    def stop(self):
        self.stopping.set()
        self.thread.join()
        self.x.XCloseDisplay(self.display)


class Relay:
    """Passes each connection on to one server port and notes when each
    request's head has come in, with the driver's clock: apache2's own log
    tells whole seconds only.

    Connections map one to one, so legs that a sign-in keeps on one
    connection stay on one.
    """

    def __init__(self, upstream):
        self.upstream = upstream
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        # (arrival ns, request line, the Authorization scheme or None)
        self.requests = []
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self.carry, args=(client,), daemon=True).start()

    def carry(self, client):
        try:
            server = socket.create_connection(("127.0.0.1", self.upstream))
        except OSError:
            client.close()
            return
        for sock in (client, server):
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        back = threading.Thread(target=self.pump, args=(server, client), daemon=True)
        back.start()
        pending = b""
        try:
            while True:
                data = client.recv(65536)
                if not data:
                    break
                arrived = time.monotonic_ns()
                pending += data
                # The updater sends GETs only: a request ends with its head.
                while b"\r\n\r\n" in pending:
                    head, pending = pending.split(b"\r\n\r\n", 1)
                    self.note(arrived, head)
                server.sendall(data)
        except OSError:
            pass
        try:
            server.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        back.join()
        client.close()
        server.close()

    def note(self, arrived, head):
        lines = head.decode("latin-1").split("\r\n")
        scheme = None
        for line in lines[1:]:
            name, sep, value = line.partition(":")
            if sep and name.strip().lower() == "authorization":
                scheme = value.strip().split(" ", 1)[0]
        with self.lock:
            self.requests.append((arrived, lines[0], scheme))

    def since(self, count):
        with self.lock:
            return self.requests[count:]

    @staticmethod
    def pump(src, dst):
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                dst.sendall(data)
            dst.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def close(self):
        try:
            self.listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.listener.close()


class Bench:
    def __init__(self, args):
        self.args = args
        self.work = os.path.abspath(args.work)
        self.env = dict(os.environ, WINEPREFIX=os.path.abspath(args.prefix), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.pin = ["taskset", "-c", str(args.cpu)]
        # Other builds of the updater to compare, each a folder with Updater.exe and QbLog.dll.
        self.extras = dict(e.split("=", 1) for e in args.extra)
        if args.resume:
            self.programs = [UPDATER]
        elif args.sign_in:
            self.programs = [UPDATER + OPEN_SQUID, UPDATER + NEGOTIATE_SQUID]
        elif args.server_sign_in:
            self.programs = [UPDATER + OPEN_SERVER, UPDATER + NEGOTIATE_SERVER]
        elif args.detection:
            self.programs = [UPDATER + DETECTION_OFF, UPDATER + DETECTION_FIRST, UPDATER + DETECTION_REMEMBERED]
        elif args.https:
            self.programs = [p + scheme for p in HTTPS_PEERS for scheme in (HTTP, HTTPS)]
            if args.https_updater:
                # The other builds of the updater beside it, over both schemes.
                self.programs[0:0] = [u + scheme for u in [UPDATER] + list(self.extras) for scheme in (HTTP, HTTPS)]
        else:
            self.programs = [UPDATER] + list(self.extras) + [BARE, HELD] + PEERS + [CURL]
        self.results = {}
        self.startup = {}
        self.digests = {}
        self.checked = set()

    # --- processes of our own -------------------------------------------

    def start(self):
        # An earlier run that was killed may have left its nginx up; its pid files are about to go.
        self.stop_tls()
        if self.args.sign_in:
            self.stop_proxies()
        if self.args.server_sign_in:
            self.stop_servers()
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(os.path.join(self.work, "out"))
        os.makedirs(os.path.join(self.work, "root", "templates"))
        # Each build of the updater runs from a folder of its own, its event-log library beside it.
        self.updaters = {}
        for label, folder in [(UPDATER, os.path.join(self.args.build, "bin"))] + list(self.extras.items()):
            app = os.path.join(self.work, f"app{len(self.updaters)}")
            os.makedirs(app)
            for name in ("Updater.exe", "QbLog.dll"):
                shutil.copy(os.path.join(folder, name), app)
            self.updaters[label] = os.path.join(app, "Updater.exe")
        self.bench_bin = os.path.join(self.args.build, "bench")

        port_file = os.path.join(self.work, "port")
        self.log_path = os.path.join(self.work, "requests.log")
        self.answers_path = os.path.join(self.work, "answers.log")
        self.server = subprocess.Popen(
            ["taskset", "-c", str(self.args.aux_cpu), sys.executable,
             os.path.join(os.path.dirname(os.path.abspath(__file__)), "server.py"),
             "--port-file", port_file, "--log", self.log_path, "--answers", self.answers_path])
        deadline = time.monotonic() + 30
        while not os.path.exists(port_file):
            if time.monotonic() > deadline or self.server.poll() is not None:
                raise SystemExit("the benchmark server did not start")
            time.sleep(0.05)
        with open(port_file) as f:
            self.port = int(f.read())

        # A wineserver of this prefix, pinned with the programs, kept up all along.
        subprocess.run([self.args.wineserver, "-k"], env=self.env, stderr=subprocess.DEVNULL)
        subprocess.run([self.args.wineserver, "-w"], env=self.env, stderr=subprocess.DEVNULL)
        self.wineserver = subprocess.Popen(self.pin + [self.args.wineserver, "-f", "-p"], env=self.env)
        time.sleep(0.5)
        if self.args.detection:
            keys = {"\\".join(key.split("\\")[:n]) for key, _ in DETECTION_VALUES
                    for n in range(3, key.count("\\") + 2)}
            self.saved_keys = {key: self.key_exists(key) for key in keys}
            self.saved = {(key, name): self.reg_query(key, name) for key, name in DETECTION_VALUES}
        self.reg_add(r"HKLM\SOFTWARE\Quillbrook\QBSUITE", "RootPath", winpath(os.path.join(self.work, "root")))
        if self.args.detection:
            try:
                self.start_detection()
            except BaseException:
                self.restore_values()
                raise
        if self.args.https:
            self.start_tls()
        if self.args.sign_in:
            self.start_proxies()
        if self.args.server_sign_in:
            self.start_servers()

    def start_proxies(self):
        """The open squid and the one that asks for Negotiate, with the realm the latter trusts."""
        for fixture, args in (("proxy-fixture.sh", ["squid", "start", os.path.join(self.work, "squid")]),
                              ("auth-fixture.sh", ["start", os.path.join(self.work, "auth")])):
            subprocess.run(["taskset", "-c", str(self.args.aux_cpu), os.path.join(ROOT, "tools", fixture)] + args,
                           env=self.env, check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(self.work, "squid", "squid.port")) as f:
            open_port = f.read().strip()
        with open(os.path.join(self.work, "auth", "auth.ports")) as f:
            negotiate_port = dict(line.strip().split("=", 1) for line in f if "=" in line)["negotiate"]
        self.proxies = {OPEN_SQUID: f"localhost:{open_port}", NEGOTIATE_SQUID: f"localhost:{negotiate_port}"}
        auth = os.path.join(self.work, "auth")
        self.env.update(KRB5_CONFIG=os.path.join(auth, "krb5.conf"), KRB5CCNAME="FILE:" + os.path.join(auth, "krb5cc"))
        self.reg_add(INTERNET_SETTINGS, "ProxyEnable", "1", "REG_DWORD")

    def start_servers(self):
        """The fixture's apache2: its port behind Negotiate, its open one, each with a relay in front."""
        auth = os.path.join(self.work, "auth")
        subprocess.run(["taskset", "-c", str(self.args.aux_cpu), os.path.join(ROOT, "tools", "auth-fixture.sh"),
                        "start", auth], env=self.env, check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(auth, "auth.ports")) as f:
            negotiate_port = int(dict(line.strip().split("=", 1) for line in f if "=" in line)["server-negotiate"])
        # The open port is not in auth.ports: it is the virtual host that logs to apache2-origin-access.log.
        open_port, host_port = None, None
        with open(os.path.join(auth, "apache2.conf")) as f:
            for line in f:
                found = re.match(r"\s*<VirtualHost 127\.0\.0\.1:(\d+)>", line)
                if found:
                    host_port = int(found.group(1))
                elif "apache2-origin-access.log" in line:
                    open_port = host_port
        if open_port is None:
            raise SystemExit(f"no open port of apache2 in {os.path.join(auth, 'apache2.conf')}")
        for size in [STARTUP_BODY, MIB] + [int(s) * MIB for s in self.args.sizes.split(",")]:
            with open(os.path.join(auth, "www", str(size)), "wb") as f:
                for _ in range(size // MIB):
                    f.write(BLOCK)
                f.write(BLOCK[:size % MIB])
        opened, signed = UPDATER + OPEN_SERVER, UPDATER + NEGOTIATE_SERVER
        self.server_ports = {opened: open_port, signed: negotiate_port}
        self.relays = {side: Relay(port) for side, port in self.server_ports.items()}
        self.access_logs = {opened: os.path.join(auth, "apache2-origin-access.log"),
                            signed: os.path.join(auth, "apache2-access.log")}
        self.apache_errors = os.path.join(auth, "apache2-error.log")
        self.env.update(KRB5_CONFIG=os.path.join(auth, "krb5.conf"), KRB5CCNAME="FILE:" + os.path.join(auth, "krb5cc"))
        self.user = self.ticket_cache()[0]
        # A killed run of --sign-in leaves its proxy switched on.
        self.reg_add(INTERNET_SETTINGS, "ProxyEnable", "0", "REG_DWORD")

    def ticket_cache(self):
        """The principal of the fixture's ticket cache, then the services it holds tickets for."""
        out = subprocess.run(["klist"], env=self.env, capture_output=True, text=True, check=True).stdout
        principal = re.search(r"principal: (\S+)", out).group(1)
        services = [line.split()[-1] for line in out.splitlines() if re.match(r"\d", line) and "@" in line]
        return principal, services

    def stop_servers(self):
        for relay in getattr(self, "relays", {}).values():
            relay.close()
        subprocess.run([os.path.join(ROOT, "tools", "auth-fixture.sh"), "stop", os.path.join(self.work, "auth")])

    def stop_proxies(self):
        subprocess.run([os.path.join(ROOT, "tools", "proxy-fixture.sh"), "squid", "stop",
                        os.path.join(self.work, "squid")])
        subprocess.run([os.path.join(ROOT, "tools", "auth-fixture.sh"), "stop", os.path.join(self.work, "auth")])

    def start_tls(self):
        """nginx serving the bodies of every size the run asks for, its CA trusted in the prefix."""
        self.tls_dir = os.path.join(self.work, "tls")
        subprocess.run(["taskset", "-c", str(self.args.aux_cpu), os.path.join(ROOT, "tools", "tls-fixture.sh"),
                        "start", self.tls_dir], env=self.env, check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(self.tls_dir, "tls.ports")) as f:
            self.tls_ports = dict(line.strip().split("=", 1) for line in f if "=" in line)
        for size in [MIB] + [int(s) * MIB for s in self.args.sizes.split(",")]:
            with open(os.path.join(self.tls_dir, "www", str(size)), "wb") as f:
                for _ in range(size // MIB):
                    f.write(BLOCK)
                f.write(BLOCK[:size % MIB])

    def url(self, scheme, size, token):
        if scheme == HTTPS:
            return f"https://localhost:{self.tls_ports['good']}/{size}?run={token}"
        if self.args.https:
            return f"http://127.0.0.1:{self.tls_ports['plain']}/{size}?run={token}"
        return f"http://127.0.0.1:{self.port}/{size}?run={token}"

    def set_update_url(self, size):
        scheme = HTTPS if self.args.https else HTTP
        url = self.url(scheme, size, 0).split("?")[0]
        self.reg_add(r"HKLM\SOFTWARE\Quillbrook\QBSUITE\Updates", "Description", url)

    def stop_tls(self):
        subprocess.run([os.path.join(ROOT, "tools", "tls-fixture.sh"), "stop", os.path.join(self.work, "tls")])

    def stop(self):
        self.stop_tls()
        if self.args.sign_in:
            self.reg_add(INTERNET_SETTINGS, "ProxyEnable", "0", "REG_DWORD")
            self.stop_proxies()
        if self.args.server_sign_in:
            self.stop_servers()
        if getattr(self, "saved", None) is not None:
            self.restore_values()
        subprocess.run([self.args.wineserver, "-k"], env=self.env, stderr=subprocess.DEVNULL)
        for p in (self.wineserver, self.server):
            if p.poll() is None:
                p.terminate()
            p.wait()

    def reg_add(self, key, name, value, kind="REG_SZ"):
        subprocess.run(self.pin + [self.args.wine, "reg", "add", key, "/v", name, "/t", kind, "/d", value, "/f"],
                       env=self.env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def reg_delete(self, key, name):
        # A value that is not there is as good as deleted.
        subprocess.run(self.pin + [self.args.wine, "reg", "delete", key, "/v", name, "/f"],
                       env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def reg_lines(self, *args):
        """reg.exe's exit code and the lines it printed."""
        # A file, not a pipe: the first Wine program of a session starts the
        # prefix's services, which keep its output open.
        path = os.path.join(self.work, "reg.out")
        with open(path, "w") as out:
            code = subprocess.run(self.pin + [self.args.wine, "reg"] + list(args), env=self.env, stdout=out,
                                  stderr=subprocess.DEVNULL).returncode
        with open(path, errors="replace") as f:
            return code, [line.rstrip("\r") for line in f.read().splitlines() if line.strip()]

    def key_exists(self, key):
        return self.reg_lines("query", key)[0] == 0

    def key_empty(self, key):
        # reg.exe names a key in its listing only beside its values.
        hive, rest = key.split("\\", 1)
        full = {"HKCU": "HKEY_CURRENT_USER", "HKLM": "HKEY_LOCAL_MACHINE"}.get(hive.upper(), hive) + "\\" + rest
        code, lines = self.reg_lines("query", key)
        return code == 0 and all(line.lower() == full.lower() for line in lines)

    def reg_query(self, key, name):
        """(type, data as reg.exe prints it), or None where the value is not there."""
        for line in self.reg_lines("query", key, "/v", name)[1]:
            found = re.match(r"^    (.+?)    (REG_\w+)    (.*)$", line)
            if found and found.group(1).lower() == name.lower():
                return found.group(2), found.group(3)
        return None

    # --- automatic proxy detection ----------------------------------------

    def start_detection(self):
        self.wpad_dir = os.environ["BENCH_WPAD_DIR"]
        self.dns_log = os.path.join(self.wpad_dir, "dnsmasq.log")
        with open("/etc/resolv.conf") as f, open(os.path.join(self.wpad_dir, "resolv-none.conf")) as g:
            if f.read() != g.read():
                raise SystemExit("/etc/resolv.conf is not the detection fixture's: run outside its namespace?")
        # Wine asks for wpad.<Domain>. wineboot writes Domain anew when a
        # session of the prefix starts; the queries above have started this one.
        self.reg_add(TCPIP, "Domain", NO_WPAD_DOMAIN)
        # Nothing but detection may route the request.
        self.reg_add(INTERNET_SETTINGS, "ProxyEnable", "0", "REG_DWORD")
        self.reg_delete(INTERNET_SETTINGS, "AutoConfigURL")

    def restore_values(self):
        self.restored, self.keys_removed = [], []
        for (key, name), value in self.saved.items():
            if value is None:
                self.reg_delete(key, name)
            else:
                self.reg_add(key, name, value[1], value[0])
            now = self.reg_query(key, name)
            if now != value:
                print(f"{key}\\{name} not restored: {now} instead of {value}", file=sys.stderr)
            self.restored.append((name, value, now == value))
        # Keys that the runs created go again, the deepest first, if nothing else has come into them.
        for key in sorted((k for k, existed in self.saved_keys.items() if not existed), key=len, reverse=True):
            if self.key_empty(key):
                subprocess.run(self.pin + [self.args.wine, "reg", "delete", key, "/f"], env=self.env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if self.key_exists(key):
                print(f"{key}, absent at the start, is still there", file=sys.stderr)
            else:
                self.keys_removed.append(key)

    def wpad_questions(self, offset, expected):
        """The types of the questions for wpad.nowpad.example in dnsmasq's log from byte `offset` on."""
        # dnsmasq may write its line after the client has had the answer.
        deadline = time.monotonic() + (5 if expected else 0)
        while True:
            with open(self.dns_log, errors="replace") as f:
                f.seek(offset)
                asked = [m.group(1) for m in map(WPAD_QUESTION.search, f.read().splitlines()) if m]
            if asked or time.monotonic() >= deadline:
                return asked
            time.sleep(0.05)

    def detect_once(self, side):
        """One start of the updater on `side`, checked: exit, stored file, questions asked, the memory."""
        flags = 0x01 if side.endswith(DETECTION_OFF) else 0x09
        self.reg_add(CONNECTIONS, "DefaultConnectionSettings", connection_settings(flags), "REG_BINARY")
        if side.endswith(DETECTION_FIRST):
            self.reg_delete(UPDATER_KEY, MISSED)
        before = self.reg_query(UPDATER_KEY, MISSED)
        problems = []
        if side.endswith(DETECTION_FIRST) and before is not None:
            problems.append(f"{MISSED} still there after its deletion")
        # The value begins with the time of the miss, a FILETIME.
        stamp = before[1].split(" ", 1)[0] if before else ""
        age = (filetime_now() - int(stamp)) / 1e7 if stamp.isdigit() else None
        if side.endswith(DETECTION_REMEMBERED) and age is None:
            problems.append(f"no {MISSED} with a time before the run: {before}")
        page = os.path.join(self.work, "root", "templates", "upgrade_info.html")
        self.clean_destination(page)
        dns_offset = os.path.getsize(self.dns_log)
        qblog = self.qblog_size()
        fig = self.execute(side, STARTUP_BODY, self.pin + [self.args.wine, self.updaters[UPDATER]])
        asked = self.wpad_questions(dns_offset, side.endswith(DETECTION_FIRST))
        after = self.reg_query(UPDATER_KEY, MISSED)
        records = self.records_since(qblog)
        if fig["code"] != 0:
            problems.append(f"exit code {fig['code']}")
        if not self.stored_whole(page, STARTUP_BODY):
            problems.append(f"stored {os.path.getsize(page) if os.path.exists(page) else 'no'} bytes, "
                            f"not the served body")
        if len(fig["arrivals"]) != 1:
            problems.append(f"{len(fig['arrivals'])} requests at the server")
        if side.endswith(DETECTION_FIRST):
            if not asked:
                problems.append(f"dnsmasq was not asked for wpad.{NO_WPAD_DOMAIN}")
            if after is None:
                problems.append(f"no {MISSED} written")
        else:
            if asked:
                problems.append(f"dnsmasq was asked for wpad.{NO_WPAD_DOMAIN}: {asked}")
            if after != before:
                problems.append(f"{MISSED} changed from {before} to {after}")
        if records:
            problems.append("event-log records: " + "; ".join(str(r.get("text")) for r in records))
        if problems:
            raise SystemExit(f"{side.strip()}: " + "; ".join(problems))
        fig["asked"] = asked
        fig["age"] = age
        self.clean_destination(page)
        return fig

    def run_detection(self):
        self.reg_add(UPDATES, "Description", f"http://127.0.0.1:{self.port}/{STARTUP_BODY}")
        # Warm-up: the page cache, the prefix's own processes, the lookup process's first start.
        for side in self.programs:
            self.detect_once(side)
        n = len(self.programs)
        for r in range(self.args.startup_runs):
            for side in self.programs[r % n:] + self.programs[:r % n]:
                fig = self.detect_once(side)
                self.startup.setdefault((STARTUP_BODY, side), []).append(fig)
                print(f"  start-up round {r + 1}  {side:42s} request {fig['startup']:6.0f} ms  "
                      f"exit {fig['wall'] * 1000:6.0f} ms  peak {fig['peak']:5.1f} MiB  "
                      f"wpad questions {fig['asked']}", file=sys.stderr, flush=True)
        domain = self.reg_query(TCPIP, "Domain")
        if domain != ("REG_SZ", NO_WPAD_DOMAIN):
            raise SystemExit(f"Domain is {domain} at the end, not {NO_WPAD_DOMAIN}")
        return []

    # --- one measured run -------------------------------------------------

    def command(self, program, size, token):
        scheme = HTTP
        for suffix in (HTTP, HTTPS):
            if program.endswith(suffix):
                program, scheme = program[:-len(suffix)], suffix
        for suffix in (OPEN_SQUID, NEGOTIATE_SQUID):
            if program.endswith(suffix):
                program = program[:-len(suffix)]
                self.reg_add(INTERNET_SETTINGS, "ProxyServer", self.proxies[suffix])
        url = self.url(scheme, size, token)
        out = os.path.join(self.work, "out", "body.bin")
        exe = lambda name: os.path.join(self.bench_bin, name)  # noqa: E731
        if program in self.updaters:
            if self.args.https:
                # Both schemes alternate within a round: the URL goes with each run.
                self.reg_add(r"HKLM\SOFTWARE\Quillbrook\QBSUITE\Updates", "Description", url)
            return self.pin + [self.args.wine, self.updaters[program]], os.path.join(self.work, "root", "templates",
                                                                                      "upgrade_info.html")
        if program in (BARE, HELD):
            name = "bench_bareloop.exe" if program == BARE else "bench_heldloop.exe"
            return self.pin + [self.args.wine, exe(name), "127.0.0.1", str(self.port),
                               f"/{size}?run={token}", winpath(out)], out
        if program == CURL:
            trust = ["--cacert", os.path.join(self.tls_dir, "ca.pem")] if scheme == HTTPS else []
            return self.pin + ["curl", "-s", "-f", "-o", out] + trust + [url], out
        name = {PEERS[0]: "bench_wininet.exe", PEERS[1]: "bench_urlmon.exe", PEERS[2]: "bench_winhttp.exe"}[program]
        return self.pin + [self.args.wine, exe(name), url, winpath(out)], out

    def execute(self, program, size, cmd):
        """Runs one program as every figure is taken: its exit code, wall and CPU time, peak, start-up."""
        log_offset = os.path.getsize(self.log_path)
        server_before = cpu_ticks(self.wineserver.pid)
        start = time.monotonic_ns()
        # GNU time reports the peak resident set: a child forked by this
        # driver would carry the driver's own into its figure.
        stats = os.path.join(self.work, "time.out")
        proc = subprocess.Popen([self.args.time, "-f", "%M", "-o", stats] + cmd, env=self.env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        timer = threading.Timer(self.args.run_timeout, proc.kill)
        timer.start()
        _, status, usage = os.wait4(proc.pid, 0)
        end = time.monotonic_ns()
        timer.cancel()
        code = os.waitstatus_to_exitcode(status)
        server_cpu = cpu_ticks(self.wineserver.pid) - server_before
        if not os.path.getsize(stats):
            # The timer killed GNU time itself, which then reports nothing.
            raise SystemExit(f"{program}, {size // MIB} MiB: killed after {self.args.run_timeout:.0f} s")
        with open(stats) as f:
            peak_kib = int(f.read().split()[-1])

        with open(self.log_path) as f:
            f.seek(log_offset)
            lines = f.read().split("\n")
        requested = int(lines[0].split(" ")[0]) if lines and lines[0] else None
        return {
            "code": code,
            "start": start,
            "wall": (end - start) / 1e9,
            "cpu": usage.ru_utime + usage.ru_stime + (server_cpu if program != CURL else 0.0),
            "peak": peak_kib / 1024.0,
            "startup": (requested - start) / 1e6 if requested else float("nan"),
            "arrivals": [int(line.split(" ", 1)[0]) for line in lines if line],
        }

    def stored_whole(self, out, size):
        if not os.path.exists(out) or os.path.getsize(out) != size:
            return False
        if size not in self.digests:
            self.digests[size] = digest(size)
        return subprocess.run(["sha256sum", out], capture_output=True, text=True).stdout.split()[0] == \
            self.digests[size]

    def run_once(self, program, size, token, record=None):
        cmd, out = self.command(program, size, token)
        if os.path.exists(out):
            os.remove(out)
        fig = self.execute(program, size, cmd)
        size_ok = os.path.exists(out) and os.path.getsize(out) == size
        if fig["code"] != 0 or not size_ok:
            raise SystemExit(f"{program}, {size // MIB} MiB: exit code {fig['code']}, "
                             f"{os.path.getsize(out) if os.path.exists(out) else 'no'} bytes stored")
        if (program, size) not in self.checked:
            if not self.stored_whole(out, size):
                raise SystemExit(f"{program}, {size // MIB} MiB: the stored body differs from the served one")
            self.checked.add((program, size))
        os.remove(out)
        if record is None:
            return
        record.setdefault((size, program), []).append({k: fig[k] for k in ("wall", "cpu", "peak", "startup")})

    # --- a transfer cut short and resumed ---------------------------------

    def answers_to(self, arrivals):
        """The server's status and body bytes for each request, by its arrival."""
        # The server writes an answer's line after its last byte, which may
        # be after the client has taken that byte and ended.
        deadline = time.monotonic() + 10
        while True:
            with open(self.answers_path) as f:
                answers = {int(a): (int(status), int(sent), path)
                           for a, status, sent, path in (line.split(" ", 3) for line in f.read().splitlines())}
            if all(a in answers for a in arrivals) or time.monotonic() > deadline:
                return [answers.get(a, (None, None, None)) for a in arrivals]
            time.sleep(0.05)

    def records_since(self, offset):
        """The event-log records that the updater wrote from byte `offset` of its QbLog.log on."""
        path = os.path.join(os.path.dirname(self.updaters[UPDATER]), "QbLog.log")
        if not os.path.exists(path):
            return []
        with open(path, encoding="utf-8", errors="replace") as f:
            f.seek(offset)
            return [json.loads(line) for line in f.read().splitlines() if line.strip()]

    def qblog_size(self):
        path = os.path.join(os.path.dirname(self.updaters[UPDATER]), "QbLog.log")
        return os.path.getsize(path) if os.path.exists(path) else 0

    def clean_destination(self, out):
        # Whatever an earlier run kept beside the page would turn this run into a resumption.
        for path in glob.glob(glob.escape(out) + "*"):
            os.remove(path)

    def resume_failed(self, what, fig, records, out):
        kept = {os.path.basename(p): os.path.getsize(p) for p in glob.glob(glob.escape(out) + "*")}
        lines = [f"{what}: exit code {fig['code']}"]
        lines += [f"  request {path}: answered {status}, {sent} body bytes sent"
                  for status, sent, path in self.answers_to(fig["arrivals"])]
        lines += [f"  QbLog line {r.get('line')}: {r.get('text')}" for r in records]
        lines += [f"  left at the destination: {kept or 'nothing'}"]
        raise SystemExit("\n".join(lines))

    def run_resume(self):
        sizes = [int(s) * MIB for s in self.args.sizes.split(",")]
        # The updater's command line and page are the same for every body.
        cmd, out = self.command(UPDATER, 0, 0)
        self.presser = BoxPresser("Quillbrook Updater")
        try:
            self.clean_destination(out)
            self.set_update_url(MIB)
            self.run_once(UPDATER, MIB, 0)
            for size in sizes:
                cut = size * 9 // 10
                for r in range(self.args.runs):
                    self.round_of_resume(size, cut, cmd, out, r)
        finally:
            self.presser.stop()
        return sizes

    def round_of_resume(self, size, cut, cmd, out, r):
        self.set_update_url(size)
        self.clean_destination(out)
        full = self.execute(UPDATER, size, cmd)
        if full["code"] != 0 or not self.stored_whole(out, size):
            self.resume_failed(f"{size // MIB} MiB, round {r + 1}, the whole transfer", full, [], out)

        self.clean_destination(out)
        self.reg_add(r"HKLM\SOFTWARE\Quillbrook\QBSUITE\Updates", "Description",
                     f"http://127.0.0.1:{self.port}/{size}?cut={cut}")
        boxes = self.presser.boxes_seen
        offset = self.qblog_size()
        cut_run = self.execute(UPDATER, size, cmd)
        cut_boxes = self.presser.boxes_seen - boxes
        kept = os.path.getsize(out + ".part") if os.path.exists(out + ".part") else None
        if cut_run["code"] != 2 or kept is None or not os.path.exists(out + ".part.info"):
            self.resume_failed(f"{size // MIB} MiB, round {r + 1}, the cut transfer", cut_run,
                               self.records_since(offset), out)

        boxes = self.presser.boxes_seen
        offset = self.qblog_size()
        second = self.execute(UPDATER, size, cmd)
        records = self.records_since(offset)
        answers = self.answers_to(second["arrivals"])
        if second["code"] != 0 or self.presser.boxes_seen != boxes:
            self.resume_failed(f"{size // MIB} MiB, round {r + 1}, the second start", second, records, out)
        whole = self.stored_whole(out, size)
        resuming = [rec["text"] for rec in records if rec.get("line") == 525]
        self.results.setdefault(size, []).append({
            "full": full["wall"], "second": second["wall"], "full_code": full["code"],
            "cut_code": cut_run["code"], "second_code": second["code"], "cut_boxes": cut_boxes,
            "kept": kept, "answers": answers, "whole": whole, "resuming": resuming,
            "leftover": sorted(os.path.basename(p) for p in glob.glob(glob.escape(out) + ".*")),
        })
        print(f"  {size // MIB:4d} MiB  round {r + 1}  whole {full['wall']:7.3f} s, cut run exit "
              f"{cut_run['code']} keeping {kept} bytes ({cut_boxes} box), second start {second['wall']:7.3f} s "
              f"exit {second['code']}, answers {[(a[0], a[1]) for a in answers]}, "
              f"{'whole' if whole else 'NOT whole'}", file=sys.stderr, flush=True)
        self.clean_destination(out)

    # --- a server that asks for sign-in ------------------------------------

    def access_since(self, path, offset):
        """apache2's log lines from byte `offset` on, once the final answer's line is there."""
        # apache2 writes a line after the answer has gone, which may be after the client has ended.
        deadline = time.monotonic() + 10
        while True:
            with open(path, errors="replace") as f:
                f.seek(offset)
                lines = f.read().splitlines()
            parsed = [COMMON_LOG.match(line) for line in lines]
            if any(m and m.group(6) != "401" for m in parsed) or time.monotonic() > deadline:
                return lines, [(m.group(3), m.group(5), int(m.group(6))) if m else (None, line, None)
                               for m, line in zip(parsed, lines)]
            time.sleep(0.02)

    def fetch(self, side, size, relayed):
        """One run of the updater for `side`'s URL, checked: exit code, stored body, who apache2 saw."""
        port = self.relays[side].port if relayed else self.server_ports[side]
        # localhost, not 127.0.0.1: the service the keytab holds is HTTP/localhost.
        self.reg_add(UPDATES, "Description", f"http://localhost:{port}/{size}")
        cmd = self.pin + [self.args.wine, self.updaters[UPDATER]]
        page = os.path.join(self.work, "root", "templates", "upgrade_info.html")
        self.clean_destination(page)
        log = self.access_logs[side]
        offsets = [os.path.getsize(p) if os.path.exists(p) else 0 for p in (log, self.apache_errors)]
        qblog = self.qblog_size()
        noted = len(self.relays[side].requests)
        try:
            fig = self.execute(side, size, cmd)
        except SystemExit as killed:
            # A failed sign-in ends in a box that nobody answers: report the logs all the same.
            fig = {"code": str(killed)}
        lines, seen = self.access_since(log, offsets[0])
        requests = self.relays[side].since(noted) if relayed else []
        statuses = [status for _, _, status in seen]
        problems = []
        if fig["code"] != 0:
            problems.append(f"exit code {fig['code']}")
        if not self.stored_whole(page, size):
            problems.append(f"stored {os.path.getsize(page) if os.path.exists(page) else 'no'} bytes, "
                            f"not the served body")
        if side.endswith(NEGOTIATE_SERVER):
            if not seen or seen[-1][0] != self.user or seen[-1][2] != 200 or any(st != 401 for st in statuses[:-1]):
                problems.append(f"apache2 did not answer {self.user} with 200 after its 401s")
            if relayed and not (requests and requests[-1][2]):
                problems.append("the last request did not carry Authorization")
        else:
            if [(user, st) for user, _, st in seen] != [("-", 200)]:
                problems.append("the open port did not answer one request, to nobody, with 200")
        # The request that gets the file is the last: on the sign-in side the one with Authorization.
        arrival = requests[-1][0] if requests else None
        if problems:
            with open(self.apache_errors, errors="replace") as f:
                f.seek(offsets[1])
                errors = f.read().splitlines()
            path = os.path.join(os.path.dirname(self.updaters[UPDATER]), "QbLog.log")
            records = []
            if os.path.exists(path):
                with open(path, errors="replace") as f:
                    f.seek(qblog)
                    records = f.read().splitlines()
            report = [f"{side}, {size} bytes from http://localhost:{port}/{size}: " + "; ".join(problems)]
            report += [f"  relayed: {line!r}, Authorization {scheme or 'none'}" for _, line, scheme in requests]
            report += [f"  {os.path.basename(log)}: {line}" for line in lines] or [f"  {os.path.basename(log)}: nothing"]
            report += [f"  apache2-error.log: {line}" for line in errors]
            report += [f"  QbLog.log: {line}" for line in records]
            raise SystemExit("\n".join(report))
        fig["startup"] = (arrival - fig["start"]) / 1e6 if arrival else float("nan")
        fig["statuses"] = statuses
        fig["user"] = seen[-1][0]
        fig["schemes"] = [scheme for _, _, scheme in requests]
        self.clean_destination(page)
        return fig

    def run_server_sign_in(self):
        sizes = [int(s) * MIB for s in self.args.sizes.split(",")]
        # Warm-up: the page cache, the prefix's own processes, the first sign-in of the ticket.
        for side in self.programs:
            self.fetch(side, MIB, relayed=False)
            self.fetch(side, STARTUP_BODY, relayed=True)
        n = len(self.programs)
        for r in range(self.args.startup_runs):
            for side in self.programs[r % n:] + self.programs[:r % n]:
                fig = self.fetch(side, STARTUP_BODY, relayed=True)
                self.startup.setdefault((STARTUP_BODY, side), []).append(fig)
                print(f"  start-up round {r + 1}  {side:38s} request {fig['startup']:6.0f} ms  "
                      f"exit {fig['wall'] * 1000:6.0f} ms  peak {fig['peak']:5.1f} MiB  "
                      f"answers {fig['statuses']}", file=sys.stderr, flush=True)
        for size in sizes:
            for r in range(self.args.runs):
                for side in self.programs[r % n:] + self.programs[:r % n]:
                    fig = self.fetch(side, size, relayed=False)
                    self.results.setdefault((size, side), []).append(fig)
                    print(f"  {size // MIB:4d} MiB  round {r + 1}  {side:38s} {fig['wall']:8.3f} s  "
                          f"peak {fig['peak']:5.1f} MiB  answers {fig['statuses']}", file=sys.stderr, flush=True)
        self.tickets = self.ticket_cache()[1]
        return sizes

    # --- the rounds -------------------------------------------------------

    def run(self):
        sizes = [int(s) * MIB for s in self.args.sizes.split(",")]
        token = 0
        # Warm-up: page cache, the prefix's own processes, the first-run work of each library.
        self.set_update_url(MIB)
        for program in self.programs:
            token += 1
            self.run_once(program, MIB, token)

        # Start-up: a body of 1 KiB, so that the run is the start and the request.
        self.reg_add(r"HKLM\SOFTWARE\Quillbrook\QBSUITE\Updates", "Description",
                     f"http://127.0.0.1:{self.port}/{STARTUP_BODY}")
        # The start-up needs the request's arrival, which only the benchmark's own server logs.
        starters = [p for p in self.programs if p in self.updaters or p == BARE or self.args.sign_in]
        for r in range(self.args.startup_runs if starters else 0):
            for program in starters[r % len(starters):] + starters[:r % len(starters)]:
                token += 1
                self.run_once(program, STARTUP_BODY, token, self.startup)

        for size in sizes:
            self.set_update_url(size)
            for r in range(self.args.runs):
                # Alternate: every program takes every place in the order in turn.
                n = len(self.programs)
                order = self.programs[r % n:] + self.programs[:r % n]
                for program in order:
                    token += 1
                    self.run_once(program, size, token, self.results)
                    fig = self.results[(size, program)][-1]
                    print(f"  {size // MIB:4d} MiB  round {r + 1}  {program:20s} {fig['wall']:8.3f} s  "
                          f"cpu {fig['cpu']:7.3f} s  peak {fig['peak']:6.1f} MiB  start {fig['startup']:6.0f} ms",
                          file=sys.stderr, flush=True)
        # The server alone: native curl into /dev/null.
        self.server_speed = []
        for _ in range(3):
            token += 1
            out = subprocess.run(self.pin + ["curl", "-s", "-o", "/dev/null", "-w", "%{speed_download}",
                                             self.url(HTTP, max(sizes), token)],
                                 capture_output=True, text=True, check=True).stdout
            self.server_speed.append(float(out) / MIB)
        return sizes


def med(values):
    return statistics.median(values)


def span(values):
    return f"{med(values):.2f} ({min(values):.2f}-{max(values):.2f})"


def report(bench, sizes, load_before, load_after):
    lines = []
    add = lines.append
    programs = bench.programs
    updaters = [p for p in programs if p in bench.updaters]
    add(f"{bench.args.runs} runs per figure: median (min-max). Wine programs and the wineserver pinned to "
        f"CPU {bench.args.cpu}, the server and the driver to CPU {bench.args.aux_cpu}; the programs alternate "
        f"within each round. Ratios are of medians; a ratio above 1 is slower, busier or larger. "
        f"Load average (1 min): {load_before:.2f} at the start, {load_after:.2f} at the end.")
    add("")
    for size in sizes:
        res = {p: bench.results[(size, p)] for p in programs}
        m = {p: {k: med([f[k] for f in res[p]]) for k in ("wall", "cpu", "peak")} for p in programs}
        best = min(PEERS, key=lambda p: m[p]["wall"])
        add(f"**{size // MIB} MiB body** (best peer: {best})")
        add("")
        add("| Program | Wall s | MiB/s | Wall ÷ bare | Wall ÷ best peer | CPU s | CPU ÷ bare | CPU ÷ best peer "
            "| Peak MiB | Peak ÷ bare | Peak ÷ best peer |")
        add("|---|---|---|---|---|---|---|---|---|---|---|")
        for p in programs:
            walls = [f["wall"] for f in res[p]]
            cpus = [f["cpu"] for f in res[p]]
            add(f"| {p} | {span(walls)} | {size / MIB / m[p]['wall']:.1f} "
                f"| {m[p]['wall'] / m[BARE]['wall']:.2f} | {m[p]['wall'] / m[best]['wall']:.2f} "
                f"| {span(cpus)} | {m[p]['cpu'] / m[BARE]['cpu']:.2f} | {m[p]['cpu'] / m[best]['cpu']:.2f} "
                f"| {max(f['peak'] for f in res[p]):.1f} | {m[p]['peak'] / m[BARE]['peak']:.2f} "
                f"| {m[p]['peak'] / m[best]['peak']:.2f} |")
        add("")
        for p in updaters:
            for base, target in ((BARE, " (target: at most 0.55)"), (HELD, " (target: at most 1.1)"), (best, "")):
                pairs = [u["wall"] / b["wall"] for u, b in zip(res[p], res[base])]
                add(f"- {p} ÷ {base}, wall time paired per round: {span(pairs)}{target}.")
        add("")

    add(f"**Start to request** ({STARTUP_BODY}-byte body, {bench.args.startup_runs} alternating runs): "
        f"from the start of the process to the request's arrival at the server.")
    add("")
    base = [f["startup"] for f in bench.startup[(STARTUP_BODY, BARE)]]
    add(f"- bare loop (a dialog program that connects in its initialisation): {span(base)} ms")
    for p in updaters:
        own = [f["startup"] for f in bench.startup[(STARTUP_BODY, p)]]
        diff = [a - b for a, b in zip(own, base)]
        add(f"- {p}: {span(own)} ms; minus the bare loop, paired: {span(diff)} ms (target: under 50)")
    add("")

    for p in updaters:
        peaks = {size: max(f["peak"] for f in bench.results[(size, p)]) for size in sizes}
        add(f"- Peak memory of {p} by body size: " +
            ", ".join(f"{size // MIB} MiB: {peak:.1f} MiB" for size, peak in peaks.items()) +
            f"; spread {max(peaks.values()) - min(peaks.values()):.2f} MiB "
            f"(target: within 1 MiB and at most 25 MiB).")
    biggest = max(sizes)
    fastest = max(biggest / MIB / med([f["wall"] for f in bench.results[(biggest, p)]]) for p in programs)
    add(f"- Server check ({biggest // MIB} MiB): the server alone delivers {med(bench.server_speed):.0f} MiB/s "
        f"(native curl into /dev/null, median of 3); the fastest program above reaches {fastest:.0f} MiB/s "
        f"with its start included.")
    return "\n".join(lines)


def report_https(bench, sizes, load_before, load_after):
    lines = []
    add = lines.append
    add(f"{bench.args.runs} runs per figure: median (min-max); the same nginx serves http and https "
        f"(TLS 1.2/1.3, RSA 2048 certificate); Wine programs pinned to CPU {bench.args.cpu}, nginx and the "
        f"driver to CPU {bench.args.aux_cpu}; the programs alternate within each round. Load average (1 min): "
        f"{load_before:.2f} at the start, {load_after:.2f} at the end.")
    add("")
    for size in sizes:
        res = {p: bench.results[(size, p)] for p in bench.programs}
        m = {p: {k: med([f[k] for f in res[p]]) for k in ("wall", "cpu")} for p in bench.programs}
        add(f"**{size // MIB} MiB body**")
        add("")
        add("| Program | Wall s | MiB/s | CPU s | Peak MiB | Wall ÷ over http | CPU ÷ over http |")
        add("|---|---|---|---|---|---|---|")
        for p in bench.programs:
            http = p[:-len(HTTPS)] + HTTP if p.endswith(HTTPS) else None
            ratios = (f"{m[p]['wall'] / m[http]['wall']:.2f} | {m[p]['cpu'] / m[http]['cpu']:.2f}"
                      if http in m else "- | -")
            add(f"| {p} | {span([f['wall'] for f in res[p]])} | {size / MIB / m[p]['wall']:.1f} "
                f"| {span([f['cpu'] for f in res[p]])} | {max(f['peak'] for f in res[p]):.1f} | {ratios} |")
        add("")
    add(f"- Server check ({max(sizes) // MIB} MiB): nginx alone delivers {med(bench.server_speed):.0f} MiB/s "
        f"over http (native curl into /dev/null, median of 3).")
    return "\n".join(lines)


def report_sign_in(bench, sizes, load_before, load_after):
    lines = []
    add = lines.append
    opened, signed = bench.programs
    add(f"{bench.args.runs} runs per figure: median (min-max), the two runs alternating. Load average (1 min): "
        f"{load_before:.2f} at the start, {load_after:.2f} at the end.")
    add("")
    add("| Program | Body | Wall s | Peak MiB |")
    add("|---|---|---|---|")
    for size in sizes:
        for p in bench.programs:
            res = bench.results[(size, p)]
            add(f"| {p} | {size // MIB} MiB | {span([f['wall'] for f in res])} | {max(f['peak'] for f in res):.1f} |")
    add("")
    own = {p: [f["startup"] for f in bench.startup[(STARTUP_BODY, p)]] for p in bench.programs}
    diff = [b - a for a, b in zip(own[opened], own[signed])]
    add(f"**Start to request** ({STARTUP_BODY}-byte body, {bench.args.startup_runs} alternating runs), the request's "
        f"arrival at the server behind the proxy: {opened} {span(own[opened])} ms, {signed} {span(own[signed])} ms; "
        f"the sign-in, paired: {span(diff)} ms (goal: within 100).")
    peak = max(f["peak"] for size in sizes for f in bench.results[(size, signed)])
    add(f"- Peak working set with the sign-in: {peak:.1f} MiB (goal: at most 30).")
    return "\n".join(lines)


def report_server_sign_in(bench, sizes, load_before, load_after):
    lines = []
    add = lines.append
    opened, signed = bench.programs
    add(f"Updater.exe in description mode (the \"Description\" setting, nothing started), pinned with the "
        f"wineserver to CPU {bench.args.cpu}; the fixture's apache2, the driver and its relay on CPU "
        f"{bench.args.aux_cpu} of {os.cpu_count()}. Both sides fetch http://localhost:PORT/<body> from one "
        f"apache2 serving one folder: the open side from its open port, the Negotiate side from its port behind "
        f"mod_auth_gssapi (the test realm's ticket, service HTTP/localhost). The sides alternate; "
        f"median (min-max). Load average (1 min): {load_before:.2f} at the start, {load_after:.2f} at the end.")
    add("")
    add("| Program | Body | Runs | Wall s | Peak MiB |")
    add("|---|---|---|---|---|")
    for size in sizes:
        for p in bench.programs:
            res = bench.results[(size, p)]
            add(f"| {p} | {size // MIB} MiB | {len(res)} | {span([f['wall'] for f in res])} "
                f"| {max(f['peak'] for f in res):.1f} |")
    add("")
    runs = {p: bench.startup[(STARTUP_BODY, p)] for p in bench.programs}
    own = {p: [f["startup"] for f in runs[p]] for p in bench.programs}
    diff = [b - a for a, b in zip(own[opened], own[signed])]
    add(f"**Start to request** ({STARTUP_BODY}-byte body, {bench.args.startup_runs} alternating runs), from the "
        f"start of the process to the arrival of the request that gets the file (on the sign-in side the one "
        f"carrying Authorization) at the driver's relay in front of apache2: {opened.strip()} {span(own[opened])} "
        f"ms, {signed.strip()} {span(own[signed])} ms; the sign-in, paired: {span(diff)} ms.")
    exits = {p: [f["wall"] * 1000 for f in runs[p]] for p in bench.programs}
    diff = [b - a for a, b in zip(exits[opened], exits[signed])]
    add(f"- Start to exit, the same runs: {opened.strip()} {span(exits[opened])} ms, {signed.strip()} "
        f"{span(exits[signed])} ms; paired: {span(diff)} ms.")
    every = {p: runs[p] + [f for size in sizes for f in bench.results[(size, p)]] for p in bench.programs}
    add(f"- Peak working set over all {len(every[signed])} runs of each: {signed.strip()} "
        f"{max(f['peak'] for f in every[signed]):.1f} MiB, {opened.strip()} "
        f"{max(f['peak'] for f in every[opened]):.1f} MiB.")
    shapes = {}
    for f in runs[signed]:
        shape = ", then ".join(f"{scheme or 'no'} Authorization answered {status}"
                               for scheme, status in zip(f["schemes"], f["statuses"]))
        shapes[shape] = shapes.get(shape, 0) + 1
    add("- Requests of the sign-in start-up runs (relay and apache2's log): " +
        "; ".join(f"{shape} in {n} of {len(runs[signed])}" for shape, n in shapes.items()) + ".")
    users = sorted({f["user"] for f in every[signed]})
    add(f"- Checked in every run: exit code 0, the stored file equal to the served one (size and SHA-256); "
        f"apache2's log named {', '.join(users)} in the 200 of all {len(every[signed])} sign-in runs and nobody "
        f"in the one 200 of each of the {len(every[opened])} open runs. Tickets in the cache at the end: "
        f"{', '.join(bench.tickets)}.")
    return "\n".join(lines)


def report_detection(bench, sizes, load_before, load_after):
    lines = []
    add = lines.append
    off, first, remembered = bench.programs
    runs = {p: bench.startup[(STARTUP_BODY, p)] for p in bench.programs}
    n = bench.args.startup_runs
    add(f"Updater.exe in description mode (the \"Description\" setting, nothing started), pinned with the "
        f"wineserver to CPU {bench.args.cpu}; the driver, its server and the fixture's dnsmasq on CPU "
        f"{bench.args.aux_cpu} of {os.cpu_count()}. The whole driver runs inside tools/wpad-fixture.sh's "
        f"namespace \"none\" (its /etc/resolv.conf: dnsmasq on 127.0.0.2, which answers NXDOMAIN for "
        f"wpad.{NO_WPAD_DOMAIN}); the prefix's Domain is {NO_WPAD_DOMAIN}. Each run fetches a {STARTUP_BODY}-byte "
        f"body straight from http://127.0.0.1; {n} rounds, the three sides alternating; median (min-max). "
        f"Load average (1 min): {load_before:.2f} at the start, {load_after:.2f} at the end.")
    add("")
    add("| Side | DefaultConnectionSettings flags | ProxyDetectionMissed before the run | Start to request ms "
        "| Start to exit ms | Peak MiB | Runs that asked dnsmasq for wpad |")
    add("|---|---|---|---|---|---|---|")
    for p, flags, memory in ((off, "0x01", "as left"), (first, "0x09", "deleted"),
                             (remembered, "0x09", "left from the previous run")):
        res = runs[p]
        add(f"| {p.strip()} | {flags} | {memory} | {span([f['startup'] for f in res])} "
            f"| {span([f['wall'] * 1000 for f in res])} | {max(f['peak'] for f in res):.1f} "
            f"| {sum(bool(f['asked']) for f in res)} of {len(res)} |")
    add("")
    own = {p: [f["startup"] for f in runs[p]] for p in bench.programs}
    exits = {p: [f["wall"] * 1000 for f in runs[p]] for p in bench.programs}
    for p in (first, remembered):
        add(f"- {p.strip()} minus {off.strip()}, paired per round: start to request "
            f"{span([b - a for a, b in zip(own[off], own[p])])} ms, start to exit "
            f"{span([b - a for a, b in zip(exits[off], exits[p])])} ms.")
    kinds = sorted({" + ".join(f["asked"]) for f in runs[first]})
    ages = [f["age"] for f in runs[remembered]]
    add(f"- Checked in every run, the {len(bench.programs)} warm-up runs included: exit code 0, the stored file "
        f"equal to the served one (size and SHA-256), one request at the server, no event-log record. Questions "
        f"for wpad.{NO_WPAD_DOMAIN} in dnsmasq's log: {', '.join(kinds)} in each run of {first.strip()}, none in "
        f"the runs of the other two. {MISSED} was written by every run of {first.strip()} and left as it was by "
        f"every other run; its age when a run of {remembered.strip()} started: {span(ages)} s.")
    add("- Put back at the end: " + "; ".join(
        f"{name} {'absent' if value is None else repr(value[1])}{'' if ok else ' (NOT restored)'}"
        for name, value, ok in bench.restored) + "; keys absent at the start removed again: " +
        (", ".join(bench.keys_removed) or "none") + ".")
    return "\n".join(lines)


def bytes_span(values):
    return f"{min(values)}" if min(values) == max(values) else f"{min(values)}-{max(values)}"


def report_resume(bench, sizes, load_before, load_after):
    lines = []
    add = lines.append
    runs = bench.args.runs
    add(f"{runs} rounds per body: median (min-max). Updater.exe in description mode (the \"Description\" setting, "
        f"nothing started), pinned with the wineserver to CPU {bench.args.cpu}, the server and the driver to CPU "
        f"{bench.args.aux_cpu}. Each round: the whole body from a clean destination; then the same body from a "
        f"server that resets the connection after 90 % of it (its box answered by pressing Return), not timed; "
        f"then the second start for that URL. Load average (1 min): {load_before:.2f} at the start, "
        f"{load_after:.2f} at the end.")
    add("")
    add("| Body | Whole transfer, wall s | Second start, wall s | Second ÷ whole | Kept by the cut run, bytes "
        "| Sent to the second start (server's log) | Stored file equals the served body | Exit codes whole / cut / "
        "second |")
    add("|---|---|---|---|---|---|---|---|")
    for size in sizes:
        res = bench.results[size]
        full = [f["full"] for f in res]
        second = [f["second"] for f in res]
        kept = [f["kept"] for f in res]
        sent = [sum(a[1] or 0 for a in f["answers"]) for f in res]
        statuses = sorted({" + ".join(str(a[0]) for a in f["answers"]) for f in res})
        codes = {}
        for f in res:
            key = f"{f['full_code']} / {f['cut_code']} / {f['second_code']}"
            codes[key] = codes.get(key, 0) + 1
        add(f"| {size // MIB} MiB | {span(full)} | {span(second)} | {med(second) / med(full):.2f} "
            f"| {bytes_span(kept)} of {size} ({med(kept) / size:.1%}) "
            f"| {bytes_span(sent)} of {size} ({med(sent) / size:.1%}), status {', '.join(statuses)} "
            f"| {sum(f['whole'] for f in res)} of {len(res)} (size and SHA-256) "
            f"| " + ", ".join(f"{k} in {n} of {len(res)}" for k, n in codes.items()) + " |")
    add("")
    for size in sizes:
        res = bench.results[size]
        said = sorted({t for f in res for t in f["resuming"]})
        add(f"- {size // MIB} MiB: second starts that logged record 525: {sum(bool(f['resuming']) for f in res)} "
            f"of {len(res)}" + (": " + "; ".join(f"\"{t}\"" for t in said) if said else "") + ".")
        add(f"- {size // MIB} MiB: boxes answered with Return in the cut runs: "
            f"{', '.join(str(f['cut_boxes']) for f in res)}; files left beside the page after the second start: "
            f"{', '.join(' '.join(f['leftover']) or 'none' for f in res)}.")
    return "\n".join(lines)


def run_in_wpad_namespace(args):
    """This driver once more, inside the namespace whose resolver knows no wpad host, the fixture around it."""
    # Beside the work folder, which the driver empties first.
    folder = os.path.abspath(args.work).rstrip("/") + "-wpad"
    fixture = os.path.join(ROOT, "tools", "wpad-fixture.sh")
    subprocess.run(["taskset", "-c", str(args.aux_cpu), fixture, "start", folder], check=True,
                   stdout=subprocess.DEVNULL)
    try:
        return subprocess.run([fixture, "run", folder, "none", "--", sys.executable, os.path.abspath(__file__)] +
                              sys.argv[1:], env=dict(os.environ, BENCH_WPAD_DIR=folder)).returncode
    finally:
        subprocess.run([fixture, "stop", folder])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True, help="build directory with bin/ and bench/")
    parser.add_argument("--prefix", required=True, help="the benchmark's own Wine prefix")
    parser.add_argument("--work", required=True, help="scratch directory, emptied first")
    parser.add_argument("--sizes", default="8,64", help="body sizes in MiB, comma-separated")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--startup-runs", type=int, default=20)
    parser.add_argument("--extra", action="append", default=[], metavar="LABEL=DIR",
                        help="another build of the updater to compare: a folder with Updater.exe and QbLog.dll")
    parser.add_argument("--cpu", type=int, default=1, help="CPU for the Wine programs and the wineserver")
    parser.add_argument("--aux-cpu", type=int, default=0, help="CPU for the server and this driver")
    parser.add_argument("--wine", default="wine")
    parser.add_argument("--wineserver", default="wineserver")
    parser.add_argument("--time", default="/usr/bin/time", help="GNU time")
    parser.add_argument("--out", help="also write the table to this file")
    parser.add_argument("--https", action="store_true",
                        help="the platform peers and curl over https and http from nginx (tools/tls-fixture.sh)")
    parser.add_argument("--https-updater", action="store_true", help="with --https: Updater.exe over https too")
    parser.add_argument("--sign-in", action="store_true",
                        help="Updater.exe through an open squid and through one that asks for Negotiate")
    parser.add_argument("--server-sign-in", action="store_true",
                        help="Updater.exe from an open apache2 and from one that asks for Negotiate")
    parser.add_argument("--resume", action="store_true",
                        help="Updater.exe: the whole body against a second start after a transfer cut at 90 %%")
    parser.add_argument("--detection", action="store_true",
                        help="Updater.exe's start with automatic proxy detection off, on with nothing to detect, "
                             "and on with that miss remembered (tools/wpad-fixture.sh)")
    parser.add_argument("--run-timeout", type=float, default=600,
                        help="seconds before a program is killed (a program stuck in an error box never ends)")
    args = parser.parse_args()

    if args.detection and "BENCH_WPAD_DIR" not in os.environ:
        sys.exit(run_in_wpad_namespace(args))
    os.sched_setaffinity(0, {args.aux_cpu})
    bench = Bench(args)
    load_before = os.getloadavg()[0]
    bench.start()
    try:
        sizes = bench.run_resume() if args.resume else bench.run_server_sign_in() if args.server_sign_in \
            else bench.run_detection() if args.detection else bench.run()
    finally:
        bench.stop()
    text = (report_resume if args.resume else report_sign_in if args.sign_in
            else report_server_sign_in if args.server_sign_in else report_detection if args.detection
            else report_https if args.https else report)(
        bench, sizes, load_before, os.getloadavg()[0])
    print(text)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text + "\n")


if __name__ == "__main__":
    main()
