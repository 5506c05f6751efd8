#!/usr/bin/env python3
"""A web server on 127.0.0.1 that answers every GET with one page.

Usage: http_page.py [--status N] [--charset CS] [--delay SECONDS] TEXT
Prints "PORT <n>" once it listens, then "GET <path>" for each request.
The page is TEXT in an html body, encoded in CS (default utf-8)."""
import argparse
import http.server
import sys
import threading


def pause(seconds):
    # Not time.sleep: under a faked wall clock (libfaketime, as the midnight
    # test run uses) it fails with EINVAL on this Python; an event's wait does not.
    threading.Event().wait(seconds)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--status", type=int, default=200)
    parser.add_argument("--charset", default="utf-8")
    parser.add_argument("--delay", type=float, default=0)
    parser.add_argument("text")
    args = parser.parse_args()
    page = ("<html><body><p>%s</p></body></html>" % args.text).encode(args.charset)

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            print("GET " + self.path, flush=True)
            if args.delay:
                pause(args.delay)
            self.send_response(args.status)
            self.send_header("Content-Type", "text/html; charset=" + args.charset)
            self.send_header("Content-Length", str(len(page)))
            self.end_headers()
            self.wfile.write(page)

        def log_message(self, *unused):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    print("PORT %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    sys.exit(0)


if __name__ == "__main__":
    main()
