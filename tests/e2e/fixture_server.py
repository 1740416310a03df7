#!/usr/bin/env python3
"""Static HTTP server for the end-to-end tests, with faults injected per path.

Usage: fixture_server.py ROOT FAULTS REQUEST_LOG

Serves the files below ROOT on 127.0.0.1 at a free port and prints "PORT <n>" once it listens.
FAULTS is a JSON file, read again for every request, mapping a request path ("/a/b.dll") to
one fault:
  {"status": 404}              answer with that status and a short HTML page
  {"redirect": "/other"}       302 to that location, with a small HTML body
  {"cut": N}                   state the full length, send N bytes, close
  {"reset": N}                 send N bytes of the body, then reset the connection
  {"nolength": true}           no Content-Length: the body ends when the connection closes
                               (with "reset": N, the connection is reset after N bytes instead)
  {"gzip": true}               gzip the body and say so in Content-Encoding, whatever the client
                               asked for
  {"chunked": "garbage"}       chunked: half the body as one chunk, then a chunk size that is no
                               number, then the connection closes
  {"early_hints": true}        a "103 Early Hints" answer before the real one
  {"trickle": true}            send the body one byte a second
  {"endless": true}            stream bytes for ever (no length stated)
  {"body": "text"}             answer 200 with this body instead of a file
Every request's path is appended to REQUEST_LOG, one per line, as it arrives.
"""
import gzip
import http.server
import json
import os
import socket
import struct
import sys
import time
import urllib.parse

ROOT, FAULTS, REQUEST_LOG = sys.argv[1:4]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path)
        with open(REQUEST_LOG, "a", encoding="utf-8") as log:
            log.write(path + "\n")
        fault = self.fault_for(path)
        try:
            self.answer(path, fault)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def fault_for(self, path):
        try:
            with open(FAULTS, encoding="utf-8") as f:
                return json.load(f).get(path, {})
        except FileNotFoundError:
            return {}

    def file_body(self, path):
        local = os.path.realpath(os.path.join(ROOT, path.lstrip("/")))
        if not local.startswith(os.path.realpath(ROOT) + os.sep) or not os.path.isfile(local):
            return None
        with open(local, "rb") as f:
            return f.read()

    def send_plain(self, status, body, extra_headers=()):
        self.send_response(status)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        for name, value in extra_headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def reset_after(self, sent):
        self.wfile.write(sent)
        self.wfile.flush()
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.close_connection = True

    def answer(self, path, fault):
        if "status" in fault:
            body = b"<html><body><h1>%d</h1></body></html>" % fault["status"]
            self.send_plain(fault["status"], body)
            return
        if "redirect" in fault:
            self.send_plain(302, b"<html><body>moved</body></html>",
                            [("Location", fault["redirect"])])
            return
        if "endless" in fault:
            self.send_response(200)
            self.send_header("Connection", "close")
            self.end_headers()
            chunk = b"<x>" * 21846
            while True:
                self.wfile.write(chunk)

        body = fault["body"].encode("utf-8") if "body" in fault else self.file_body(path)
        if body is None:
            self.send_plain(404, b"<html><body>not found</body></html>")
            return

        if "early_hints" in fault:
            self.wfile.write(b"HTTP/1.1 103 Early Hints\r\nLink: </style.css>; rel=preload\r\n\r\n")
            self.wfile.flush()

        if "nolength" in fault:
            self.send_response(200)
            self.send_header("Connection", "close")
            self.end_headers()
            if "reset" in fault:
                self.reset_after(body[: fault["reset"]])
                return
            self.wfile.write(body)
            self.close_connection = True
            return

        if "chunked" in fault:
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            half = body[: len(body) // 2]
            self.wfile.write(b"%x\r\n%s\r\n" % (len(half), half))
            self.wfile.write(b"zz\r\n\r\n")
            self.wfile.flush()
            self.close_connection = True
            return

        self.send_response(200)
        if "gzip" in fault:
            body = gzip.compress(body)
            self.send_header("Content-Encoding", "gzip")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if "cut" in fault:
            self.wfile.write(body[: fault["cut"]])
            self.wfile.flush()
            self.close_connection = True
            return
        if "reset" in fault:
            self.reset_after(body[: fault["reset"]])
            return
        if "trickle" in fault:
            for i in range(len(body)):
                self.wfile.write(body[i : i + 1])
                self.wfile.flush()
                time.sleep(1)
            return
        self.wfile.write(body)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True


def main():
    server = Server(("127.0.0.1", 0), Handler)
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
