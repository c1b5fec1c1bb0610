#!/usr/bin/env python3
"""A loopback HTTP and HTTPS server for the download tests.

Prints one line, "http=PORT https=PORT closed=PORT" (the last a port that
nothing listens on), and serves until its standard input ends (or SIGTERM); then it
removes its temporary directory (the HTTPS server's self-signed
certificate) and exits. Ports are chosen by the system.

Routes:
  /bytes/N          N bytes, byte i being i % 251
  /unannounced/N    the same bytes without a length: they end with the connection
  /empty            an empty body
  /nul              the 6 bytes "a\\0b\\0\\0c"
  /missing          404 with the body "no such page"
  /slow/MS/TEXT     TEXT after MS milliseconds
  /stall/N          announces 2N bytes, sends N, then sends nothing for 30 s
  /cut/N            announces 2N bytes, sends N, then closes the connection
  /redirect/PATH    302 to /PATH
  /headers          "User-Agent|Cache-Control|Pragma" of the request
  http://HOST/PATH  (a request for a proxy) "proxied " and the URL
"""
import http.server
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

PATTERN = bytes(i % 251 for i in range(251 * 4096))


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def reply(self, body, status=200, length=None, headers=()):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body) if length is None else length))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)
        self.wfile.flush()

    def do_GET(self):
        path = self.path
        if path.startswith("http://"):
            return self.reply(b"proxied " + path.encode())
        parts = path.split("/", 3)[1:]
        route = parts[0] if parts else ""
        try:
            if route in ("bytes", "unannounced"):
                n = int(parts[1])
                self.send_response(200)
                if route == "bytes":
                    self.send_header("Content-Length", str(n))
                else:
                    self.close_connection = True
                self.end_headers()
                while n > 0:
                    block = PATTERN[: min(n, len(PATTERN))]
                    self.wfile.write(block)
                    n -= len(block)
            elif route == "empty":
                self.reply(b"")
            elif route == "nul":
                self.reply(b"a\0b\0\0c")
            elif route == "missing":
                self.reply(b"no such page", status=404)
            elif route == "slow":
                time.sleep(int(parts[1]) / 1000)
                self.reply(parts[2].encode())
            elif route in ("stall", "cut"):
                n = int(parts[1])
                self.reply(b"s" * n, length=2 * n)
                if route == "stall":
                    time.sleep(30)
                self.close_connection = True
            elif route == "redirect":
                self.reply(b"", status=302, headers=[("Location", "/" + path.split("/", 2)[2])])
            elif route == "headers":
                names = ("User-Agent", "Cache-Control", "Pragma")
                self.reply("|".join(self.headers.get(n, "") for n in names).encode())
            else:
                self.reply(b"unknown route", status=404)
        except (BrokenPipeError, ConnectionResetError):
            pass


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    # A termination ends the server as the end of its input does.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    private = tempfile.mkdtemp(prefix="nimbrel-http-")
    servers = []
    try:
        cert, key = os.path.join(private, "cert.pem"), os.path.join(private, "key.pem")
        subprocess.run(
            ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1",
             "-addext", "subjectAltName=IP:127.0.0.1"],
            check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        plain = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        secure = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        secure.socket = context.wrap_socket(secure.socket, server_side=True)
        servers = [plain, secure]
        for s in servers:
            s.daemon_threads = True
            threading.Thread(target=s.serve_forever, daemon=True).start()
        print(f"http={plain.server_address[1]} https={secure.server_address[1]} closed={closed_port()}", flush=True)
        sys.stdin.buffer.read()
    finally:
        for s in servers:
            s.shutdown()
            s.server_close()
        shutil.rmtree(private, ignore_errors=True)


if __name__ == "__main__":
    main()
