#!/usr/bin/env python3
"""Stand-in for the maker's web services: HTTPS on 127.0.0.1:443 only.

Tests choose the answers by writing DIR/scenario, one route per line:

    METHOD PATH [status=N] [body=HEX] [file=NAME] [size=N] [delay=S] [stall_after=N] [stall=S] [cut=N]
        [location=URL]
    TLS NAME

The body is the hex bytes or the file DIR/NAME, padded with zero bytes (or cut) to `size` when given.
`delay` waits before the answer; `stall_after`/`stall` pause once inside the body; `cut` drops the
connection after that many body bytes; `location` adds that header (for redirects). Unknown routes
get 404. A TLS line makes the handshakes present the certificate given as `--tls NAME=CERT:KEY`
instead of the regular one, or, for NAME tls1.1, offer nothing newer than TLS 1.1.
Every request is appended to DIR/requests before it is answered, as tab-separated
METHOD PATH USER-AGENT VOTER (the X-Calmlane-Voter header, empty when absent).

Usage: maker_service.py --dir DIR --cert PEM --key PEM [--port 443]
"""
import argparse
import http.server
import os
import ssl
import sys
import threading
import time
import warnings

CHUNK = 65536


def parse_scenario(path):
    routes = {}
    try:
        with open(path, encoding="utf-8") as lines:
            for line in lines:
                words = line.split()
                if len(words) < 2 or words[0] == "TLS":
                    continue
                route = dict(word.split("=", 1) for word in words[2:])
                routes[(words[0], words[1])] = route
    except FileNotFoundError:
        pass
    return routes


def scenario_tls(path):
    """The NAME of the scenario's TLS line, or None."""
    try:
        with open(path, encoding="utf-8") as lines:
            for line in lines:
                words = line.split()
                if len(words) == 2 and words[0] == "TLS":
                    return words[1]
    except FileNotFoundError:
        pass
    return None


def make_handler(folder):
    record_lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, format, *args):
            pass

        def do_GET(self):
            self.answer()

        def do_POST(self):
            self.answer()

        def answer(self):
            length = int(self.headers.get("Content-Length", "0") or "0")
            if length:
                self.rfile.read(length)
            fields = [self.command, self.path, self.headers.get("User-Agent", ""),
                      self.headers.get("X-Calmlane-Voter", "")]
            with record_lock, open(os.path.join(folder, "requests"), "a", encoding="utf-8") as log:
                log.write("\t".join(f.replace("\t", " ") for f in fields) + "\n")
            route = parse_scenario(os.path.join(folder, "scenario")).get((self.command, self.path))
            if route is None:
                route = {"status": "404", "body": b"not found".hex()}
            time.sleep(float(route.get("delay", "0")))
            body = bytes.fromhex(route.get("body", ""))
            if "file" in route:
                with open(os.path.join(folder, route["file"]), "rb") as source:
                    body = source.read()
            size = int(route.get("size", len(body)))
            self.send_response(int(route.get("status", "200")))
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(size))
            if "location" in route:
                self.send_header("Location", route["location"])
            self.send_header("Connection", "close")
            self.end_headers()
            sent = min(size, int(route.get("cut", size)))
            self.send_body(body, sent, int(route.get("stall_after", "-1")), float(route.get("stall", "0")))
            self.close_connection = True

        def send_body(self, body, size, stall_after, stall):
            sent = 0
            while sent < size:
                end = min(size, sent + CHUNK)
                if sent <= stall_after < end:
                    end = stall_after
                piece = body[sent:end]
                self.wfile.write(piece + bytes(end - sent - len(piece)))
                sent = end
                if sent == stall_after:
                    self.wfile.flush()
                    time.sleep(stall)
                    stall_after = -1

    return Handler


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address, handler, choose_context):
        super().__init__(address, handler)
        self.choose_context = choose_context

    def get_request(self):
        # The handshake happens in each request's own thread, so one slow client cannot hold up the others.
        connection, address = self.socket.accept()
        return self.choose_context().wrap_socket(connection, server_side=True, do_handshake_on_connect=False), address

    def handle_error(self, request, client_address):
        # A client that stops reading (a refused download) is expected; anything else is reported.
        error = sys.exc_info()[1]
        if not isinstance(error, (ConnectionError, ssl.SSLError)):
            super().handle_error(request, client_address)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--port", type=int, default=443)
    parser.add_argument("--tls", action="append", default=[], metavar="NAME=CERT:KEY")
    options = parser.parse_args()
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(options.cert, options.key)
    others = {}
    for entry in options.tls:
        name, files = entry.split("=", 1)
        others[name] = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        others[name].load_cert_chain(*files.split(":", 1))
    old = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    old.set_ciphers("DEFAULT:@SECLEVEL=0")
    with warnings.catch_warnings():  # outdated on purpose
        warnings.simplefilter("ignore", DeprecationWarning)
        old.minimum_version = ssl.TLSVersion.TLSv1
        old.maximum_version = ssl.TLSVersion.TLSv1_1
    old.load_cert_chain(options.cert, options.key)
    others["tls1.1"] = old

    def choose():
        # Read for every connection, so a test switches certificates by rewriting its scenario.
        return others.get(scenario_tls(os.path.join(options.dir, "scenario")), context)

    server = Server(("127.0.0.1", options.port), make_handler(options.dir), choose)
    open(os.path.join(options.dir, "ready"), "w").close()
    server.serve_forever()


if __name__ == "__main__":
    main()
