#!/usr/bin/env python3
"""A scripted web server on 127.0.0.1 for the upgrade transfers.

Usage: update_peer.py [--tls CERT KEY] ROUTES_JSON
ROUTES_JSON maps a path to what the server does for a GET of it:
  status      HTTP status (default 200)
  body        the body, a text whose code points 0-255 are the bytes
  body_file   the body, read from this file (a program is too large for an argument)
  headers     extra header fields {name: value}
  length      Content-Length to announce instead of the body's length
  no_length   announce no length and close after the body
  chunked     send the body with chunked encoding
  close_after send only this many bytes of the body, then close
  silent      accept and never answer (seconds to hold the connection)
  trickle     send one byte of the body every `trickle` seconds
  redirect    answer 302 with this Location
  realm, user, password: answer 401 with Basic realm=... until the
              request carries these credentials
Prints "PORT <n>" once it listens, then one line "REQUEST <json>" per request
(path, headers) before answering it."""
import argparse
import base64
import http.server
import json
import ssl
import sys
import threading


def pause(seconds):
    # Not time.sleep: under a faked wall clock (libfaketime, as the midnight
    # test run uses) it fails with EINVAL on this Python; an event's wait does not.
    threading.Event().wait(seconds)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("routes")
    args = parser.parse_args()
    routes = json.loads(args.routes)

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_GET(self):
            print("REQUEST " + json.dumps({"path": self.path, "headers": {k.lower(): v for k, v in self.headers.items()}}),
                  flush=True)
            route = routes.get(self.path.split("?")[0])
            if route is None:
                route = {"status": 404, "body": "no such file"}
            if "silent" in route:
                pause(route["silent"])
                self.close_connection = True
                return
            if "realm" in route:
                expected = "Basic " + base64.b64encode(
                    (route["user"] + ":" + route["password"]).encode()).decode()
                if self.headers.get("Authorization") != expected:
                    page = b"password needed"
                    self.send_response(401)
                    self.send_header("WWW-Authenticate", 'Basic realm="%s"' % route["realm"])
                    self.send_header("Content-Length", str(len(page)))
                    self.end_headers()
                    self.wfile.write(page)
                    return
            if "redirect" in route:
                self.send_response(302)
                self.send_header("Location", route["redirect"])
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            if "body_file" in route:
                with open(route["body_file"], "rb") as source:
                    body = source.read()
            else:
                body = route.get("body", "").encode("latin-1")
            self.send_response(route.get("status", 200))
            for name, value in route.get("headers", {}).items():
                self.send_header(name, value)
            if route.get("chunked"):
                self.send_header("Transfer-Encoding", "chunked")
            elif route.get("no_length"):
                self.send_header("Connection", "close")
                self.close_connection = True
            else:
                self.send_header("Content-Length", str(route.get("length", len(body))))
            self.end_headers()
            if route.get("chunked"):
                for start in range(0, len(body), 7):
                    piece = body[start:start + 7]
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
                self.wfile.write(b"0\r\n\r\n")
            elif "close_after" in route:
                self.wfile.write(body[:route["close_after"]])
                self.wfile.flush()
                self.close_connection = True
            elif "trickle" in route:
                for byte in body:
                    self.wfile.write(bytes([byte]))
                    self.wfile.flush()
                    pause(route["trickle"])
            else:
                self.wfile.write(body)

        def log_message(self, *unused):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    if args.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls[0], args.tls[1])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print("PORT %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    sys.exit(0)


if __name__ == "__main__":
    main()
