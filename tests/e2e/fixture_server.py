#!/usr/bin/env python3
"""Serves a folder on 127.0.0.1 at a free port, printed as "PORT <n>", until its input ends.

The file its one argument names, read for every request, gives the folder ("root") and the faults
by path ("faults"), each one of the branches of answer() below.
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
        root = os.path.realpath(control["root"])
        local = os.path.realpath(os.path.join(root, path.lstrip("/")))
        fault = control["faults"].get(path, {})
        served = local.startswith(root + os.sep) and os.path.isfile(local)
        if served and "status" not in fault and "redirect" not in fault:
            with open(local, "rb") as f:
                return self.answer(f.read(), fault)
        body = b"<html><body><h1>%d</h1></body></html>" % fault.get("status", 404)
        where = [("Location", fault["redirect"])] if "redirect" in fault else []
        self.head(302 if where else fault.get("status", 404), [("Content-Length", len(body))] + where)
        self.wfile.write(body)

    def head(self, status, headers):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, str(value))
        self.end_headers()

    def send(self, data, reset=False, close=True):
        self.wfile.write(data)
        self.wfile.flush()
        if reset:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.close_connection = close or reset

    def answer(self, body, fault):
        if "early_hints" in fault:
            self.wfile.write(b"HTTP/1.1 103 Early Hints\r\nLink: </a.css>; rel=preload\r\n\r\n")
        if "endless" in fault or "nolength" in fault:
            self.head(200, [("Connection", "close")])
            while "endless" in fault:
                self.wfile.write(b"<x>" * 21846)
            return self.send(body[: fault.get("reset", len(body))], "reset" in fault)
        if "chunked" in fault:
            self.head(200, [("Transfer-Encoding", "chunked")])
            half = body[: len(body) // 2]
            return self.send(b"%x\r\n%s\r\nzz\r\n\r\n" % (len(half), half))
        if "gzip" in fault:
            body = gzip.compress(body)
        encoding = [("Content-Encoding", "gzip")] if "gzip" in fault else []
        self.head(200, [("Content-Length", len(body))] + encoding)
        if "stall" in fault:
            self.send(body[: fault["stall"]])
            threading.Event().wait()
        cut = fault.get("cut", fault.get("reset", len(body)))
        self.send(body[:cut], "reset" in fault, cut < len(body))


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, *args):
        pass  # a client that went away


server = Server(("127.0.0.1", 0), Handler)
print("PORT %d" % server.server_address[1], flush=True)
threading.Thread(target=lambda: (sys.stdin.read(), os._exit(0)), daemon=True).start()
server.serve_forever()
