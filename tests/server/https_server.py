#!/usr/bin/env python3
"""HTTPS test server of the updater's tests.

Serves <state>/www over three listeners on 127.0.0.1, each on a free port:
  https      certificate from the test CA that the test Wine prefix trusts
  untrusted  certificate from a CA that nobody trusts
  http       plain HTTP (redirect targets, and the control channel)
GET and HEAD, single byte ranges (206 with an exact Content-Range), keep-alive,
one thread per connection. Per-path scripted misbehaviour, a request log and
the peak of concurrent requests per path prefix are driven through
/__control/ requests (see handle_control). The ports are published in
<state>/server.json once every listener is up.

The server stops by itself after --idle seconds without requests and after
--lifetime seconds in all; every wait in it is bounded.
"""

import argparse
import hashlib
import json
import os
import signal
import socket
import socketserver
import ssl
import struct
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, HTTPServer

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import server_ctl  # noqa: E402

CONTROL_PREFIX = "/__control/"
CHUNK = 1 << 20                # socket writes of 1 MiB keep large files fast
CONNECTION_IDLE_SECONDS = 60   # a kept-alive connection with nothing to do ends
MAX_DELAY_MS = 120_000
PACE_TICK_SECONDS = 0.05       # a slow body goes out in blocks this far apart
MAX_LOG_ENTRIES = 500_000
RESET_GRACE_SECONDS = 0.3

# Rule fields and their types, as the C++ side sends them.
RULE_FIELDS = {
    "status": int,
    "ignore_range": bool,
    "content_range": str,
    "no_content_range": bool,
    "extra_bytes": int,
    "missing_bytes": int,
    "drop_after": int,
    "reset": bool,
    "delay_ms": int,
    "silent_ms": int,
    "bytes_per_second": int,
    "no_content_length": bool,
    "head_without_length": bool,
    "redirect_to": str,
    "times": int,
}
RULE_DEFAULTS = {
    "status": 0, "ignore_range": False, "content_range": "", "no_content_range": False,
    "extra_bytes": 0, "missing_bytes": 0, "drop_after": -1, "reset": False, "delay_ms": 0, "silent_ms": 0,
    "bytes_per_second": 0,
    "no_content_length": False, "head_without_length": False, "redirect_to": "", "times": 1,
}


def parse_rule(line):
    rule = dict(RULE_DEFAULTS)
    for key, value in urllib.parse.parse_qsl(line, keep_blank_values=True, strict_parsing=False):
        kind = RULE_FIELDS.get(key)
        if kind is None:
            raise ValueError("unknown rule field " + key)
        if kind is bool:
            rule[key] = value in ("1", "true")
        elif kind is int:
            rule[key] = int(value)
        else:
            rule[key] = value
    if rule["times"] < 1:
        raise ValueError("times must be at least 1")
    return rule


class Pace:
    """The schedule of a body held to bytes_per_second (0: no limit): blocks
    of one tick's worth, each sent when the rate allows. After MAX_DELAY_MS
    the rest goes at full speed, so no response is held longer than that."""

    def __init__(self, bytes_per_second, clock=time.monotonic):
        self.rate = bytes_per_second
        self.clock = clock
        self.start = clock()
        self.sent = 0

    def limited(self):
        return self.rate > 0 and self.clock() - self.start < MAX_DELAY_MS / 1000

    def block(self):
        """The most to send now."""
        return max(1, int(self.rate * PACE_TICK_SECONDS)) if self.limited() else CHUNK

    def sent_block(self, count):
        """Counts a block sent; the seconds to wait before the next one."""
        self.sent += count
        if not self.limited():
            return 0
        return max(0.0, self.start + self.sent / self.rate - self.clock())


class ServerState:
    """Everything the listeners share; one lock guards it all."""

    def __init__(self, www):
        self.www = os.path.realpath(www)
        self.lock = threading.Lock()
        self.rules = {}        # path -> [[rule, remaining uses], ...]
        self.log = []          # dicts in arrival order
        self.events = []       # (+1 | -1, path) in order, for the in-flight peaks
        self.last_activity = time.monotonic()
        self.stop = threading.Event()

    def touch(self):
        with self.lock:
            self.last_activity = time.monotonic()

    def set_rules(self, path, rules):
        with self.lock:
            if rules:
                self.rules[path] = [[rule, rule["times"]] for rule in rules]
            else:
                self.rules.pop(path, None)

    def take_rule(self, path):
        with self.lock:
            queue = self.rules.get(path)
            if not queue:
                return None
            rule = queue[0][0]
            queue[0][1] -= 1
            if queue[0][1] == 0:
                queue.pop(0)
                if not queue:
                    del self.rules[path]
            return rule

    def begin(self, entry):
        """Logs a request; False when the log is full and it was not kept."""
        with self.lock:
            self.last_activity = time.monotonic()
            if len(self.log) >= MAX_LOG_ENTRIES:
                return False
            self.log.append(entry)
            self.events.append((1, entry["path"]))
            return True

    def end(self, entry):
        with self.lock:
            self.last_activity = time.monotonic()
            self.events.append((-1, entry["path"]))

    def logged(self, prefix):
        with self.lock:
            return [entry for entry in self.log if entry["path"].startswith(prefix)]

    def peak(self, prefix):
        with self.lock:
            current = best = 0
            for change, path in self.events:
                if path.startswith(prefix):
                    current += change
                    best = max(best, current)
            return best


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "OrvekTestServer/1"
    sys_version = ""
    timeout = CONNECTION_IDLE_SECONDS

    # --- plumbing -----------------------------------------------------------

    def setup(self):
        context = self.server.tls_context
        if context is not None:
            # The handshake runs here, on the connection's own thread, so a
            # slow or refusing client never holds up the listener.
            self.request.settimeout(CONNECTION_IDLE_SECONDS)
            self.request = context.wrap_socket(self.request, server_side=True)
        super().setup()

    def log_message(self, format, *args):
        pass

    def do_GET(self):
        self.dispatch("GET")

    def do_HEAD(self):
        self.dispatch("HEAD")

    def do_POST(self):
        if self.path.startswith(CONTROL_PREFIX):
            self.dispatch("POST")
        else:
            self.send_text(405, "method not allowed\n")

    def dispatch(self, method):
        state = self.server.state
        if self.path.startswith(CONTROL_PREFIX):
            state.touch()
            self.handle_control(method)
            return
        entry = {
            "method": method,
            "path": self.path,
            "range": self.headers.get("Range", ""),
            "accept_encoding": self.headers.get("Accept-Encoding", ""),
            "user_agent": self.headers.get("User-Agent", ""),
            "listener": self.server.listener_name,
        }
        kept = state.begin(entry)
        try:
            self.serve(method)
        finally:
            if kept:
                state.end(entry)

    def send_text(self, status, text, extra_headers=()):
        bodiless = status in (204, 304)  # these must not carry a body
        body = b"" if bodiless else text.encode()
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        for name, value in extra_headers:
            self.send_header(name, value)
        if status != 204:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def send_all(self, data, pace):
        view = memoryview(data)
        while view:
            block = view[:pace.block()]
            self.connection.sendall(block)
            view = view[len(block):]
            time.sleep(pace.sent_block(len(block)))

    def cut_connection(self, reset):
        """Ends the connection at once, without a TLS close_notify. A plain
        close (FIN) reads as an early end of the body under Wine; a reset
        makes the client's read fail, but may cost it bytes not yet read."""
        self.close_connection = True
        try:
            self.wfile.flush()
            if reset:
                time.sleep(RESET_GRACE_SECONDS)  # give the client a moment to read what was sent
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                socket.socket.close(self.connection)
            else:
                socket.socket.shutdown(self.connection, socket.SHUT_WR)
        except OSError:
            pass

    def stay_silent(self, seconds):
        """Answers nothing: holds the connection until the client hangs up or
        the time is over, then closes it without a response."""
        self.close_connection = True
        deadline = time.monotonic() + seconds
        try:
            self.connection.settimeout(0.2)
            while time.monotonic() < deadline and not self.server.state.stop.is_set():
                try:
                    if not self.connection.recv(1):
                        break  # the client hung up
                except TimeoutError:
                    pass
        except (OSError, ValueError):
            pass
        self.cut_connection(False)

    def close_cleanly(self):
        """Ends a close-delimited body the proper way (TLS close_notify)."""
        self.close_connection = True
        try:
            self.wfile.flush()
            if isinstance(self.connection, ssl.SSLSocket):
                # Non-blocking: send our close_notify, do not wait for the client's.
                self.connection.settimeout(0)
                try:
                    self.connection.unwrap()
                except (ssl.SSLWantReadError, ssl.SSLWantWriteError):
                    pass
            socket.socket.shutdown(self.connection, socket.SHUT_WR)
        except (OSError, ValueError):
            pass

    # --- control channel ----------------------------------------------------

    def handle_control(self, method):
        """POST /__control/script?path=P   body: one rule per line (form-encoded)
        GET  /__control/log?prefix=P     lines: method range accept_encoding
                                         user_agent listener path, TAB-separated,
                                         each percent-encoded
        GET  /__control/peak?prefix=P    the peak of in-flight requests
        GET  /__control/ping             "ok <pid>"
        POST /__control/stop             stops the server"""
        state = self.server.state
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))
        command = url.path[len(CONTROL_PREFIX):]
        body = b""
        if method == "POST":
            length = int(self.headers.get("Content-Length", "0"))
            body = self.rfile.read(length) if length > 0 else b""
        try:
            if command == "script" and method == "POST":
                path = query["path"]
                rules = [parse_rule(line) for line in body.decode().splitlines() if line.strip()]
                state.set_rules(path, rules)
                self.send_text(200, "ok\n")
            elif command == "log" and method == "GET":
                quote = lambda text: urllib.parse.quote(text, safe="")
                lines = ["\t".join(quote(entry[field]) for field in
                                   ("method", "range", "accept_encoding", "user_agent", "listener", "path"))
                         for entry in state.logged(query["prefix"])]
                self.send_text(200, "".join(line + "\n" for line in lines))
            elif command == "peak" and method == "GET":
                self.send_text(200, "%d\n" % state.peak(query["prefix"]))
            elif command == "ping":
                self.send_text(200, "ok %d\n" % os.getpid())
            elif command == "stop" and method == "POST":
                self.send_text(200, "stopping\n")
                state.stop.set()
            else:
                self.send_text(404, "unknown control request\n")
        except (KeyError, ValueError) as error:
            self.send_text(400, "bad control request: %s\n" % error)

    # --- served files -------------------------------------------------------

    def file_for(self, path):
        relative = urllib.parse.unquote(path).lstrip("/")
        full = os.path.realpath(os.path.join(self.server.state.www, relative))
        if not full.startswith(self.server.state.www + os.sep) or not os.path.isfile(full):
            return None
        return full

    def serve(self, method):
        path = urllib.parse.urlsplit(self.path).path
        rule = self.server.state.take_rule(path) or RULE_DEFAULTS
        if rule["silent_ms"] > 0:
            self.stay_silent(min(rule["silent_ms"], MAX_DELAY_MS) / 1000)
            return
        if rule["delay_ms"] > 0:
            time.sleep(min(rule["delay_ms"], MAX_DELAY_MS) / 1000)
        if rule["redirect_to"]:
            self.send_text(302, "", [("Location", rule["redirect_to"])])
            return

        file = self.file_for(path)
        status = rule["status"]
        size = os.path.getsize(file) if file else 0
        if status not in (0, 200, 206):
            extra = [("Content-Range", "bytes */%d" % size)] if status == 416 and file else []
            self.send_text(status, "HTTP %d\n" % status, extra)
            return
        if file is None:
            self.send_text(404, "not found\n")
            return

        first, last = 0, size - 1
        requested = self.headers.get("Range")
        if status == 206 or (requested and status != 200 and not rule["ignore_range"]):
            answer = 206
            if requested and not rule["ignore_range"]:
                byte_range = parse_range(requested, size)
                if byte_range is None:
                    self.send_text(416, "range not satisfiable\n", [("Content-Range", "bytes */%d" % size)])
                    return
                first, last = byte_range
        else:
            answer = 200
        length = max(0, last - first + 1)

        self.send_response(answer)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Accept-Ranges", "bytes")
        if answer == 206 and not rule["no_content_range"]:
            real = "bytes %d-%d/%d" % (first, last, size) if length else "bytes */%d" % size
            self.send_header("Content-Range", rule["content_range"] or real)
        elif rule["content_range"]:
            self.send_header("Content-Range", rule["content_range"])
        promised = length + rule["extra_bytes"]
        with_length = not rule["no_content_length"] and not (method == "HEAD" and rule["head_without_length"])
        if with_length:
            self.send_header("Content-Length", str(promised))
        else:
            self.send_header("Connection", "close")
        self.end_headers()
        if method == "HEAD":
            if not with_length:
                self.close_cleanly()
            return

        to_send = promised - rule["missing_bytes"]
        cut = rule["missing_bytes"] > 0
        if rule["drop_after"] >= 0 and rule["drop_after"] < to_send:
            to_send = rule["drop_after"]
            cut = True
        self.wfile.flush()
        self.send_body(file, first, length, to_send, Pace(rule["bytes_per_second"]))
        if cut:
            self.cut_connection(rule["reset"])
        elif not with_length:
            self.close_cleanly()

    def send_body(self, file, first, length, to_send, pace):
        """Sends to_send bytes: the file's bytes from first on (at most
        length of them), then zero bytes for anything beyond."""
        with open(file, "rb") as source:
            source.seek(first)
            from_file = min(length, to_send)
            while from_file > 0:
                block = source.read(min(CHUNK, from_file))
                if not block:
                    break
                self.send_all(block, pace)
                from_file -= len(block)
                to_send -= len(block)
        while to_send > 0:
            block = min(CHUNK, to_send)
            self.send_all(bytes(block), pace)
            to_send -= block


def parse_range(header, size):
    """(first, last) of a single "bytes=a-b", "bytes=a-" or "bytes=-n" range,
    clipped to the file; None when it cannot be satisfied or parsed."""
    if not header.startswith("bytes=") or "," in header:
        return None
    start, dash, end = header[len("bytes="):].strip().partition("-")
    if not dash:
        return None
    try:
        if start == "":
            count = int(end)
            if count <= 0 or size == 0:
                return None
            return max(0, size - count), size - 1
        first = int(start)
        last = int(end) if end != "" else size - 1
    except ValueError:
        return None
    if first < 0 or first >= size or last < first:
        return None
    return first, min(last, size - 1)


class Listener(socketserver.ThreadingMixIn, HTTPServer):
    daemon_threads = True
    allow_reuse_address = False
    request_queue_size = 128

    def __init__(self, name, state, tls_context):
        self.listener_name = name
        self.state = state
        self.tls_context = tls_context
        super().__init__(("127.0.0.1", 0), Handler)

    def server_bind(self):
        # HTTPServer's own would look the host name up; nothing here needs it.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def handle_error(self, request, client_address):
        # Clients that refuse the certificate or hang up are normal here.
        error = sys.exc_info()[1]
        if isinstance(error, (ssl.SSLError, ConnectionError, TimeoutError, OSError)):
            return
        super().handle_error(request, client_address)


def tls_context(cert_dir, name):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(os.path.join(cert_dir, name + ".pem"), os.path.join(cert_dir, name + ".key"))
    return context


def script_digest():
    with open(os.path.abspath(__file__), "rb") as source:
        return hashlib.sha256(source.read()).hexdigest()


def write_json_atomically(path, value):
    temporary = "%s.%d.tmp" % (path, os.getpid())
    with open(temporary, "w") as out:
        json.dump(value, out)
    os.replace(temporary, path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--state-dir", required=True)
    parser.add_argument("--idle", type=float, default=15 * 60, help="seconds without requests before stopping")
    parser.add_argument("--lifetime", type=float, default=4 * 3600, help="seconds before stopping in any case")
    options = parser.parse_args()

    state_dir = os.path.abspath(options.state_dir)
    cert_dir = os.path.join(state_dir, "certs")
    www = os.path.join(state_dir, "www")
    os.makedirs(www, exist_ok=True)
    state = ServerState(www)

    listeners = {
        "https": Listener("https", state, tls_context(cert_dir, "server")),
        "untrusted": Listener("untrusted", state, tls_context(cert_dir, "untrusted-server")),
        "http": Listener("http", state, None),
    }
    threads = [threading.Thread(target=listener.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True)
               for listener in listeners.values()]
    for thread in threads:
        thread.start()

    signal.signal(signal.SIGTERM, lambda *_: state.stop.set())
    signal.signal(signal.SIGINT, lambda *_: state.stop.set())

    info_path = os.path.join(state_dir, "server.json")
    info = {name + "_port": listener.server_address[1] for name, listener in listeners.items()}
    info.update(pid=os.getpid(), script=script_digest(), started=time.time())
    write_json_atomically(info_path, info)

    started = time.monotonic()
    while not state.stop.wait(0.5):
        now = time.monotonic()
        with state.lock:
            idle = now - state.last_activity
        if idle > options.idle or now - started > options.lifetime:
            break

    # Each shutdown waits for its listener's poll; wait for all at once.
    stoppers = [threading.Thread(target=listener.shutdown) for listener in listeners.values()]
    for stopper in stoppers:
        stopper.start()
    for stopper in stoppers:
        stopper.join(timeout=5)
    for listener in listeners.values():
        listener.server_close()
    try:
        with open(info_path) as source:
            ours = json.load(source).get("pid") == os.getpid()
    except (OSError, ValueError):
        ours = False
    if ours:
        os.remove(info_path)
        # The shared display started with this server ends with it, also when
        # no stop came (an interrupted test run), so no Xvfb outlives it.
        server_ctl.stop_display(state_dir)


if __name__ == "__main__":
    main()
