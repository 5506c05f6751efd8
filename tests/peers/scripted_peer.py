#!/usr/bin/python3
"""A scripted TCP peer for the line connection's tests.

Listens on 127.0.0.1 (port 0 unless --port), prints "PORT <n>" and serves one
connection by the script: a JSON list of steps
  ["send", text]     send text (code points 0-255 are the bytes)
  ["recv"]           read one line up to LF and record it
  ["close"]          close the connection (FIN)
  ["reset"]          close with RST
  ["sleep", ms]      wait
  ["drain"]          read and discard until the client closes
  ["data"]           record lines up to and including the line "."
  ["flood", text, n] send text n times, stopping when the client goes away
After the script, lines are still recorded until the client closes. Then every
recorded line is printed as "LINE <hex>" (raw bytes, line ending included),
followed by "END". A watchdog ends the peer after --limit seconds.
"""
import argparse
import json
import socket
import struct
import threading
import os


def pause(seconds):
    # Not time.sleep: under a faked wall clock (libfaketime, as the midnight
    # test run uses) it fails with EINVAL on this Python; an event's wait does not.
    threading.Event().wait(seconds)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--script", required=True)
    parser.add_argument("--limit", type=float, default=20.0)
    args = parser.parse_args()
    steps = json.loads(args.script)

    threading.Timer(args.limit, lambda: os._exit(3)).start()

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    print("PORT %d" % listener.getsockname()[1], flush=True)
    conn, _ = listener.accept()
    listener.close()
    recorded = []
    pending = b""
    closed = False

    def read_line():
        nonlocal pending, closed
        while b"\n" not in pending:
            try:
                data = conn.recv(65536)
            except OSError:
                data = b""
            if not data:
                closed = True
                if pending:
                    recorded.append(pending)
                    pending = b""
                return None
            pending += data
        line, _, pending = pending.partition(b"\n")
        recorded.append(line + b"\n")
        return line

    open_ = True
    for step in steps:
        kind = step[0]
        if kind == "send":
            try:
                conn.sendall(step[1].encode("latin-1"))
            except OSError:
                pass
        elif kind == "flood":
            chunk = step[1].encode("latin-1")
            try:
                for _ in range(step[2]):
                    conn.sendall(chunk)
            except OSError:
                pass
        elif kind == "recv":
            if read_line() is None:
                break
        elif kind == "close":
            conn.close()
            open_ = False
            break
        elif kind == "reset":
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            conn.close()
            open_ = False
            break
        elif kind == "sleep":
            pause(step[1] / 1000.0)
        elif kind == "data":
            while True:
                line = read_line()
                if line is None or line.rstrip(b"\r") == b".":
                    break
            if line is None:
                break
        elif kind == "drain":
            while conn.recv(65536):
                pass
            closed = True
    if open_:
        while not closed and read_line() is not None:
            pass
        conn.close()
    for line in recorded:
        print("LINE " + line.hex())
    print("END", flush=True)
    os._exit(0)


if __name__ == "__main__":
    main()
