# Serves "root" of JSON file argv[1] (read per request; "faults" by path) until stdin ends.
import gzip, http.server, json, os, socket, struct, sys, threading, urllib.parse


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    log_message = lambda *args: None

    def reply(self, status, headers, body, close=False, reset=False):
        self.send_response(status)
        [self.send_header(name, str(value)) for name, value in headers]
        self.end_headers()
        self.wfile.write(body)
        self.wfile.flush()
        if reset:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.close_connection = close or reset

    def do_GET(self):
        with open(sys.argv[1], encoding="utf-8") as f:
            control = json.load(f)
        path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path)
        fault = control["faults"].get(path, {})
        root = os.path.realpath(control["root"])
        local = os.path.realpath(os.path.join(root, path.lstrip("/")))
        if not local.startswith(root + os.sep) or not os.path.isfile(local) or "status" in fault:
            page = b"<html><body>%d</body></html>" % fault.get("status", 404)
            return self.reply(fault.get("status", 404), [("Content-Length", len(page))], page)
        with open(local, "rb") as f:
            body = f.read()
        if "redirect" in fault:
            return self.reply(302, [("Location", fault["redirect"]), ("Content-Length", 0)], b"")
        if "early_hints" in fault:  # a 103 answer first
            self.wfile.write(b"HTTP/1.1 103 Early Hints\r\nLink: </a.css>; rel=preload\r\n\r\n")
        if "nolength" in fault:  # the body ends with the connection, or a reset after N bytes
            return self.reply(200, [], body[: fault.get("reset")], True, "reset" in fault)
        if "chunked" in fault:  # half the body, then a chunk size that is no number
            half = body[: len(body) // 2]
            chunks = b"%x\r\n%s\r\nzz\r\n\r\n" % (len(half), half)
            return self.reply(200, [("Transfer-Encoding", "chunked")], chunks, True)
        if "gzip" in fault:
            body = gzip.compress(body)
            return self.reply(200, [("Content-Encoding", "gzip"), ("Content-Length", len(body))], body)
        if "endless" in fault:
            self.reply(200, [], b"")
            while True:
                self.wfile.write(b"<x>" * 21846)
        cut = fault.get("cut", fault.get("reset", fault.get("stall", len(body))))  # N bytes, then:
        self.reply(200, [("Content-Length", len(body))], body[:cut], cut < len(body), "reset" in fault)
        while "stall" in fault:  # a close, a reset, or nothing at all
            threading.Event().wait()


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.handle_error = lambda *args: None  # a client that went away
print("PORT %d" % server.server_address[1], flush=True)
threading.Thread(target=lambda: (sys.stdin.read(), os._exit(0)), daemon=True).start()
server.serve_forever()
