#!/usr/bin/python3
"""An HTTPS file server that misbehaves on request, for the download tests.

    faultserver.py ROOT LOG

Prints "127.0.0.1:PORT" once it accepts connections; stops with its parent. Serves ROOT/NAME
at /m/FAULTS/NAME with the comma-separated faults: drop=N (the first response that reaches
offset N is cut there), ignore-range (a Range request gets 200 and the whole file), no-ranges
(Accept-Ranges: none, Range ignored), accept-ranges=V (that header; empty: none), no-length
(no Content-Length, close after the body), announce=N (Content-Length N in HEAD answers),
short=N (a GET sends N bytes, no Content-Length), empty (no body), trickle=N (N bytes per
100 ms), flaky (every second GET to the URL answers 500), no-validators (neither ETag nor
Last-Modified), last-modified (no ETag), ignore-if-range (a Range request gets its part even
when If-Range names another version of the file). Without faults the server answers like a
static file server: a strong ETag and Last-Modified, If-Range honoured. While ROOT/.calm exists
every URL is served without its faults. Every request is appended to LOG as one JSON object:
method, path, status, range, headers.
"""

import ctypes
import email.utils
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
lock = threading.Lock()
dropped = set()  # URLs whose drop has happened
gets = {}  # URL -> GET requests so far


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def record(self, status):
        entry = {"method": self.command, "path": self.path, "status": status,
                 "range": self.headers.get("Range", ""), "headers": dict(self.headers.items())}
        with lock, open(self.server.log, "a") as log:
            log.write(json.dumps(entry) + "\n")

    def plain(self, status):
        self.send_response(status)
        self.send_header("Content-Length", "0")
        self.end_headers()
        self.record(status)

    def do_HEAD(self):
        self.do_GET()

    def do_GET(self):
        _, _, fault_list, name = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path).split("/", 3)
        faults = dict(item.partition("=")[::2] for item in fault_list.split(",") if item)
        if os.path.exists(os.path.join(self.server.root, ".calm")):
            faults = {}
        get = self.command == "GET"
        with lock:
            count = gets[self.path] = gets.get(self.path, 0) + get
        try:
            # The body and its validators from the same open file, even while it is replaced.
            body = open(os.path.join(self.server.root, name), "rb")
        except OSError:
            return self.plain(404)
        with body:
            self.answer(faults, get, count, body)

    def answer(self, faults, get, count, body):
        if get and "flaky" in faults and count % 2 == 0:
            return self.plain(500)

        stat = os.fstat(body.fileno())
        size = stat.st_size
        etag = '"%x-%x-%x"' % (stat.st_ino, stat.st_mtime_ns, size)
        modified = email.utils.formatdate(stat.st_mtime, usegmt=True)
        if "no-validators" in faults:
            etag = modified = None
        elif "last-modified" in faults:
            etag = None
        ranges = "no-ranges" not in faults
        start, end, status = 0, size - 1, 200
        wanted = self.headers.get("Range", "")
        condition = self.headers.get("If-Range")
        current = condition is None or condition in (etag, modified) or "ignore-if-range" in faults
        if get and wanted and ranges and current and "ignore-range" not in faults:
            first, _, last = wanted[len("bytes="):].partition("-")
            start, end, status = int(first), min(int(last or size - 1), size - 1), 206
        length = end - start + 1
        if get and "short" in faults:
            length = min(length, int(faults["short"]))
        if get and "empty" in faults:
            length = 0
        close = "no-length" in faults or (get and "short" in faults)

        self.send_response(status)
        accept = faults.get("accept-ranges", "bytes" if ranges else "none")
        if accept:
            self.send_header("Accept-Ranges", accept)
        if not get and "announce" in faults:
            self.send_header("Content-Length", faults["announce"])
        elif not close:
            self.send_header("Content-Length", str(length))
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, size))
        if etag:
            self.send_header("ETag", etag)
        if modified:
            self.send_header("Last-Modified", modified)
        if close:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        self.record(status)
        if not get:
            return

        stop = start + length
        with lock:
            offset = int(faults.get("drop", -1))
            cut = self.path not in dropped and start <= offset < stop
            if cut:
                dropped.add(self.path)
                stop = offset
        rate = int(faults.get("trickle", CHUNK))
        try:
            body.seek(start)
            for position in range(start, stop, min(rate, CHUNK)):
                self.wfile.write(body.read(min(rate, CHUNK, stop - position)))
                self.wfile.flush()
                if "trickle" in faults:
                    time.sleep(0.1)
            if cut:
                # Gone without a word: no TLS close, no rest of the body.
                self.connection.shutdown(socket.SHUT_RDWR)
                self.close_connection = True
        except OSError:
            self.close_connection = True


def main():
    ctypes.CDLL("libc.so.6").prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    with tempfile.TemporaryDirectory() as directory:
        cert, key = os.path.join(directory, "server.crt"), os.path.join(directory, "server.key")
        subprocess.run(
            ["openssl", "req", "-x509", "-CA", os.environ["CORVANE_TEST_CA"],
             "-CAkey", os.environ["CORVANE_TEST_CA_KEY"], "-newkey", "ec",
             "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2",
             "-keyout", key, "-out", cert, "-subj", "/CN=127.0.0.1",
             "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost",
             "-addext", "basicConstraints=critical,CA:FALSE"],
            check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)

        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        server.root = sys.argv[1]
        server.log = sys.argv[2]
        server.socket = context.wrap_socket(server.socket, server_side=True)
        signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
        print("127.0.0.1:%d" % server.server_address[1], flush=True)
        server.serve_forever()


if __name__ == "__main__":
    main()
