#!/usr/bin/env python3
"""Serves a folder on 127.0.0.1 at a free port (printed as "PORT <n>"), with faults per path.

Usage: fixture_server.py CONTROL. CONTROL, a JSON file read for every request, names the folder
("root"), the file each request's path is appended to ("log") and the faults ("faults"), which
map a path ("/a/b.dll") to one of: {"status": N}, {"redirect": "/to"}, {"early_hints": true}
(a 103 answer first), {"cut": N} (N bytes of the stated length, then close), {"reset": N} (N
bytes, then a reset), {"nolength": true} (no Content-Length; with "reset" too), {"gzip": true},
{"chunked": true} (half the body, then a garbled chunk size), {"stall": N} (N bytes, then
nothing), {"endless": true}. The server ends when its standard input does.
"""
import gzip, http.server, json, os, socket, struct, sys, threading, urllib.parse

CONTROL = sys.argv[1]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path)
        with open(CONTROL, encoding="utf-8") as f:
            control = json.load(f)
        with open(control["log"], "a", encoding="utf-8") as log:
            log.write(path + "\n")
        try:
            self.answer(control["root"], path, control["faults"].get(path, {}))
        except (BrokenPipeError, ConnectionResetError):
            pass

    def head(self, status, headers):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()

    def finish_with(self, data, reset=False):
        self.wfile.write(data)
        self.wfile.flush()
        if reset:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.close_connection = True

    def answer(self, root, path, fault):
        local = os.path.realpath(os.path.join(root, path.lstrip("/")))
        inside = local.startswith(os.path.realpath(root) + os.sep) and os.path.isfile(local)
        if "status" in fault or "redirect" in fault or not inside:
            body = b"<html><body><h1>%d</h1></body></html>" % fault.get("status", 404)
            where = [("Location", fault["redirect"])] if "redirect" in fault else []
            status = 302 if where else fault.get("status", 404)
            self.head(status, [("Content-Length", str(len(body)))] + where)
            return self.wfile.write(body)
        if "endless" in fault:
            self.head(200, [("Connection", "close")])
            while True:
                self.wfile.write(b"<x>" * 21846)
        with open(local, "rb") as f:
            body = f.read()
        if "early_hints" in fault:
            self.wfile.write(b"HTTP/1.1 103 Early Hints\r\nLink: </a.css>; rel=preload\r\n\r\n")
        if "nolength" in fault:
            self.head(200, [("Connection", "close")])
            return self.finish_with(body[: fault.get("reset", len(body))], "reset" in fault)
        if "chunked" in fault:
            self.head(200, [("Transfer-Encoding", "chunked")])
            half = body[: len(body) // 2]
            return self.finish_with(b"%x\r\n%s\r\nzz\r\n\r\n" % (len(half), half))
        if "gzip" in fault:
            body = gzip.compress(body)
        encoding = [("Content-Encoding", "gzip")] if "gzip" in fault else []
        self.head(200, [("Content-Length", str(len(body)))] + encoding)
        if "stall" in fault:
            self.finish_with(body[: fault["stall"]])
            threading.Event().wait()
        cut = fault.get("cut", fault.get("reset"))
        if cut is not None:
            return self.finish_with(body[:cut], "reset" in fault)
        self.wfile.write(body)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, *args):
        pass  # a client that went away


server = Server(("127.0.0.1", 0), Handler)
print("PORT %d" % server.server_address[1], flush=True)
threading.Thread(target=lambda: (sys.stdin.read(), os._exit(0)), daemon=True).start()
server.serve_forever()
