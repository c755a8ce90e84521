#!/usr/bin/python3
"""An HTTPS file server that misbehaves on request, for the download tests.

    faultserver.py --root DIR --log FILE [--ca CERT --ca-key KEY] [--lifetime SECONDS]

Prints "127.0.0.1:PORT" once it accepts connections. Serves DIR/NAME at

    /NAME                 like a plain server with byte ranges
    /m/<faults>/NAME      with the faults, a comma-separated list of:

    drop=N            the first response that reaches file offset N is cut there: the
                      connection closes without the rest of the body
    ignore-range      answers a Range request with 200 and the whole file
    no-ranges         Accept-Ranges: none, and Range is ignored
    accept-ranges=V   Accept-Ranges: V (empty: no such header)
    no-length         no Content-Length; the connection closes after the body
    announce=N        Content-Length N in HEAD answers, whatever the file's size
    short=N           a GET sends only the first N bytes of its body (no Content-Length)
    empty             a GET sends no body at all (Content-Length 0)
    trickle=N         a GET sends N bytes per 100 ms
    flaky             every second GET to this URL answers 500
    status=N          every request answers with status N
    delay=MS          every request waits MS milliseconds before it is answered

Every request is appended to the log as one JSON object: method, path, status, the Range
header and all request headers. The server stops by itself after --lifetime seconds
(default 600) and when its parent dies.
"""

import argparse
import ctypes
import http.server
import json
import os
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

CHUNK = 64 * 1024


def die_with_parent():
    try:
        libc = ctypes.CDLL("libc.so.6", use_errno=True)
        libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except OSError:
        pass


def make_certificate(directory, ca, ca_key):
    cert = os.path.join(directory, "server.crt")
    key = os.path.join(directory, "server.key")
    subprocess.run(
        ["openssl", "req", "-x509", "-CA", ca, "-CAkey", ca_key, "-newkey", "ec",
         "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2",
         "-keyout", key, "-out", cert, "-subj", "/CN=127.0.0.1",
         "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost",
         "-addext", "basicConstraints=critical,CA:FALSE"],
        check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return cert, key


class State:
    lock = threading.Lock()
    dropped = set()      # URLs whose drop has happened
    get_counts = {}      # URL -> GET requests so far


def parse_faults(text):
    faults = {}
    for item in text.split(","):
        if not item:
            continue
        name, _, value = item.partition("=")
        faults[name] = value
    return faults


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "faultserver"
    sys_version = ""

    def log_message(self, format, *args):
        pass

    def record(self, status):
        entry = {
            "method": self.command,
            "path": self.path,
            "status": status,
            "range": self.headers.get("Range", ""),
            "headers": {k: v for k, v in self.headers.items()},
        }
        with State.lock, open(self.server.log_path, "a") as log:
            log.write(json.dumps(entry) + "\n")

    def resolve(self):
        path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path)
        faults = {}
        if path.startswith("/m/"):
            _, _, rest = path.partition("/m/")
            spec, _, name = rest.partition("/")
            faults = parse_faults(spec)
        else:
            name = path.lstrip("/")
        file = os.path.realpath(os.path.join(self.server.root, name))
        if not file.startswith(self.server.root + os.sep) or not os.path.isfile(file):
            return None, faults
        return file, faults

    def plain(self, status, text=b""):
        self.send_response(status)
        self.send_header("Content-Length", str(len(text)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(text)
        self.record(status)

    def do_HEAD(self):
        self.serve()

    def do_GET(self):
        self.serve()

    def serve(self):
        file, faults = self.resolve()
        if "delay" in faults:
            time.sleep(int(faults["delay"]) / 1000)
        if "status" in faults:
            return self.plain(int(faults["status"]), b"fault\n")
        if file is None:
            return self.plain(404, b"not found\n")
        size = os.path.getsize(file)
        url = self.path

        if self.command == "GET":
            with State.lock:
                count = State.get_counts.get(url, 0) + 1
                State.get_counts[url] = count
            if "flaky" in faults and count % 2 == 0:
                return self.plain(500, b"flaky\n")

        ranges = "no-ranges" not in faults
        accept = faults.get("accept-ranges", "bytes" if ranges else "none")

        start, end = 0, size - 1
        status = 200
        wanted = self.headers.get("Range")
        if wanted and ranges and "ignore-range" not in faults and self.command == "GET":
            first, _, last = wanted.replace("bytes=", "", 1).partition("-")
            try:
                start = int(first)
                end = min(int(last), size - 1) if last else size - 1
            except ValueError:
                return self.plain(416)
            if start >= size or start > end:
                return self.plain(416)
            status = 206

        length = end - start + 1
        if self.command == "GET" and "short" in faults:
            length = min(length, int(faults["short"]))
        if self.command == "GET" and "empty" in faults:
            length = 0
        close = "no-length" in faults or (self.command == "GET" and "short" in faults)

        self.send_response(status)
        if accept:
            self.send_header("Accept-Ranges", accept)
        if self.command == "HEAD" and "announce" in faults:
            self.send_header("Content-Length", faults["announce"])
        elif not close:
            self.send_header("Content-Length", str(length))
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, size))
        self.send_header("Content-Type", "application/octet-stream")
        if close:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if self.command == "HEAD":
            return self.record(status)

        cut = None
        if "drop" in faults:
            offset = int(faults["drop"])
            with State.lock:
                if url not in State.dropped and start <= offset < start + length:
                    State.dropped.add(url)
                    cut = offset
        rate = int(faults["trickle"]) if "trickle" in faults else 0

        self.record(status)
        try:
            with open(file, "rb") as body:
                body.seek(start)
                position, stop = start, start + length
                while position < stop:
                    limit = stop if cut is None else min(stop, cut)
                    amount = min(CHUNK, limit - position)
                    if rate:
                        amount = min(amount, rate)
                    if amount <= 0:
                        break
                    data = body.read(amount)
                    if not data:
                        break
                    self.wfile.write(data)
                    position += len(data)
                    if rate:
                        self.wfile.flush()
                        time.sleep(0.1)
                self.wfile.flush()
                if cut is not None and position == cut:
                    # Gone without a word: no TLS close, no rest of the body.
                    self.connection.shutdown(socket.SHUT_RDWR)
                    self.close_connection = True
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError, OSError):
            self.close_connection = True


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--ca", default=os.environ.get("CORVANE_TEST_CA", ""))
    parser.add_argument("--ca-key", default=os.environ.get("CORVANE_TEST_CA_KEY", ""))
    parser.add_argument("--lifetime", type=float, default=600)
    args = parser.parse_args()

    die_with_parent()
    watchdog = threading.Timer(args.lifetime, lambda: os._exit(3))
    watchdog.daemon = True
    watchdog.start()

    with tempfile.TemporaryDirectory() as directory:
        cert, key = make_certificate(directory, args.ca, args.ca_key)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)

        server = Server(("127.0.0.1", 0), Handler)
        server.root = os.path.realpath(args.root)
        server.log_path = args.log
        server.socket = context.wrap_socket(server.socket, server_side=True)
        signal.signal(signal.SIGTERM, lambda *_: os._exit(0))

        print("127.0.0.1:%d" % server.server_address[1], flush=True)
        server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
