#!/usr/bin/env python3
"""A small HTTPS server on 127.0.0.1 for the NAS client's tests.

Replies come from a JSON routes file, read again for every request, so a test can change them
between calls: {"METHOD /path": {"status": 200, "headers": [["Name", "value"]],
"body64": "<base64>", "mode": "answer" | "hang" | "trickle"}}. An unrouted request gets 404.
"hang" reads the request and never answers; "trickle" sends the status line and headers, then
one byte of JSON white space every quarter second for 40 seconds ("trickleMs" and "trickleBytes"
change the pause and the count; with "hangAfterTrickle" the server then falls silent).

Every request is appended to the log file as one JSON line (method, target, headers in order,
body64) before it is answered; every accepted connection is logged as {"event": "connection"}
and a failed TLS handshake as {"event": "tls-failed"}.
The chosen port is printed as "PORT <n>". The server ends when its standard input closes.
"""

import argparse
import base64
import json
import os
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

log_lock = threading.Lock()


def append_log(path, entry):
    with log_lock:
        with open(path, "a", encoding="utf-8") as f:
            f.write(json.dumps(entry) + "\n")


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, format, *args):  # noqa: A002 - the base class's signature
        pass

    def target(self):
        # http.server folds a leading "//" into "/"; record what the client sent.
        parts = self.requestline.split(" ")
        return parts[1] if len(parts) >= 2 else self.path

    def serve(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length > 0 else b""
        append_log(self.server.log_path, {
            "method": self.command,
            "target": self.target(),
            "headers": [[name, value] for name, value in self.headers.raw_items()],
            "body64": base64.b64encode(body).decode("ascii"),
        })
        route = self.find_route()
        mode = route.get("mode", "answer")
        if mode == "hang":
            self.hang()
            return
        status = int(route.get("status", 200))
        payload = base64.b64decode(route.get("body64", ""))
        self.send_response(status)
        for name, value in route.get("headers", []):
            self.send_header(name, value)
        if mode == "trickle":
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", "1000000")
            self.end_headers()
            self.trickle(route.get("trickleMs", 250) / 1000, route.get("trickleBytes", 160))
            if route.get("hangAfterTrickle"):
                self.hang()
            return
        if status != 204 and status >= 200:
            self.send_header("Content-Length", str(len(payload)))
        self.send_header("Connection", "close")
        self.close_connection = True
        self.end_headers()
        if status != 204:
            self.wfile.write(payload)
        self.wfile.flush()

    def find_route(self):
        try:
            with open(self.server.routes_path, encoding="utf-8") as f:
                routes = json.load(f)
        except (OSError, ValueError):
            routes = {}
        target = self.target()
        path = target.split("?", 1)[0]
        for key in (self.command + " " + target, self.command + " " + path):
            if key in routes:
                return routes[key]
        return {"status": 404, "headers": [["Content-Type", "application/json"]],
                "body64": base64.b64encode(b'{"error": "no route"}').decode("ascii")}

    def hang(self):
        # Keep the connection open until the client gives up.
        self.close_connection = True
        deadline = time.monotonic() + 120
        self.connection.settimeout(1)
        while time.monotonic() < deadline:
            try:
                if not self.connection.recv(1):
                    return
            except TimeoutError:
                continue
            except (OSError, ssl.SSLError):
                return

    def trickle(self, pause, count):
        self.close_connection = True
        for _ in range(count):
            try:
                self.wfile.write(b" ")
                self.wfile.flush()
            except (OSError, ssl.SSLError):
                return
            time.sleep(pause)

    do_GET = serve
    do_POST = serve
    do_PUT = serve
    do_DELETE = serve


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def finish_request(self, request, client_address):
        # The handshake runs on the connection's own thread, so a slow or refusing client
        # never holds up the others.
        append_log(self.log_path, {"event": "connection"})
        try:
            tls = self.tls.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as error:
            append_log(self.log_path, {"event": "tls-failed", "error": str(error)})
            return
        try:
            self.RequestHandlerClass(tls, client_address, self)
        finally:
            try:
                tls.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--routes", required=True)
    parser.add_argument("--log", required=True)
    args = parser.parse_args()

    server = Server(("127.0.0.1", 0), Handler)
    server.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server.tls.load_cert_chain(args.cert, args.key)
    server.routes_path = args.routes
    server.log_path = args.log

    def end_with_stdin():
        sys.stdin.buffer.read()
        os._exit(0)

    threading.Thread(target=end_with_stdin, daemon=True).start()
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
