#!/usr/bin/python3
"""A small TDS 7.x server that plays Microsoft SQL Server for the tests.

It accepts PRELOGIN (no encryption), LOGIN7 and SQL batches, answers each batch
with DONE, and records every login and statement to a JSON-lines file. A JSON
configuration file can make it refuse logins, fail, delay or drop statements,
or never answer at all.

    tds_server.py --record FILE [--config FILE]

Prints the port it listens on (127.0.0.1, chosen by the system) on stdout
once it accepts connections.

Configuration (every key optional):
    {
      "refuse_login": false,        # refuse every login with error 18456
      "refuse_users": ["sa"],       # refuse these user names only
      "password": null,             # refuse logins whose password differs
      "drop_after_prelogin": false, # close the connection instead of a login answer
      "silent": false,              # accept connections, never answer anything
      "rules": [                    # first rule whose "match" is in the statement wins
        {"match": "BACKUP", "delay": 0.5, "info": ["10 percent processed."],
         "rows": 3, "error": {"number": 3201, "message": "...", "class": 16,
                              "terminate": true},  # then 3013 "... terminating abnormally."
         "drop": false}
      ]
    }
"""

import argparse
import json
import select
import socket
import socketserver
import struct
import sys
import threading
import time

PKT_SQL_BATCH = 0x01
PKT_REPLY = 0x04
PKT_ATTENTION = 0x06
PKT_LOGIN7 = 0x10
PKT_PRELOGIN = 0x12

TOKEN_ERROR = 0xAA
TOKEN_INFO = 0xAB
TOKEN_LOGINACK = 0xAD
TOKEN_DONE = 0xFD

DONE_FINAL = 0x00
DONE_ERROR = 0x02
DONE_COUNT = 0x10
DONE_ATTN = 0x20

SERVER_NAME = "QUORVELTEST"


class Recorder:
    def __init__(self, path):
        self._lock = threading.Lock()
        self._file = open(path, "a", encoding="ascii")

    def add(self, **event):
        line = json.dumps(event, ensure_ascii=True) + "\n"
        with self._lock:
            self._file.write(line)
            self._file.flush()


class ConnectionClosed(Exception):
    pass


def b_varchar(text):
    data = text.encode("utf-16-le")
    return bytes([len(data) // 2]) + data


def us_varchar(text):
    data = text.encode("utf-16-le")
    return struct.pack("<H", len(data) // 2) + data


class TdsHandler(socketserver.BaseRequestHandler):
    def setup(self):
        self.config = self.server.config
        self.recorder = self.server.recorder
        self.tds_version = 0x74000004
        self.pending = b""  # bytes read ahead of the current message

    # --- packets -------------------------------------------------------------

    def recv_exact(self, count):
        while len(self.pending) < count:
            chunk = self.request.recv(65536)
            if not chunk:
                raise ConnectionClosed()
            self.pending += chunk
        data, self.pending = self.pending[:count], self.pending[count:]
        return data

    def read_message(self):
        """One message: the payloads of packets up to the one marked last."""
        payload = b""
        while True:
            header = self.recv_exact(8)
            ptype, status, length = header[0], header[1], struct.unpack(">H", header[2:4])[0]
            if length < 8:
                raise ConnectionClosed()
            payload += self.recv_exact(length - 8)
            if status & 0x01:
                return ptype, payload

    def send_message(self, payload, ptype=PKT_REPLY):
        size = 4096 - 8
        chunks = [payload[i:i + size] for i in range(0, len(payload), size)] or [b""]
        out = b""
        for index, chunk in enumerate(chunks):
            last = index == len(chunks) - 1
            out += struct.pack(">BBHHBB", ptype, 0x01 if last else 0x00, len(chunk) + 8, 0, (index + 1) % 256, 0)
            out += chunk
        self.request.sendall(out)

    # --- tokens --------------------------------------------------------------

    def wide_line_numbers(self):
        return self.tds_version >= 0x72000000

    def message_token(self, token, number, message, severity, state=1):
        body = struct.pack("<iBB", number, state, severity)
        body += us_varchar(message) + b_varchar(SERVER_NAME) + b_varchar("")
        body += struct.pack("<i", 1) if self.wide_line_numbers() else struct.pack("<H", 1)
        return bytes([token]) + struct.pack("<H", len(body)) + body

    def done_token(self, status, rows=0):
        if self.tds_version >= 0x72000000:
            return bytes([TOKEN_DONE]) + struct.pack("<HHq", status, 0xC1, rows)
        return bytes([TOKEN_DONE]) + struct.pack("<HHi", status, 0xC1, rows)

    # --- protocol ------------------------------------------------------------

    def prelogin_answer(self):
        version = bytes([16, 0, 0x0F, 0xA0, 0, 0])  # 16.0.4000
        options = [(0x00, version), (0x01, bytes([0x02])), (0x04, bytes([0x00]))]  # encryption not supported
        header_size = len(options) * 5 + 1
        head, data = b"", b""
        for token, value in options:
            head += struct.pack(">BHH", token, header_size + len(data), len(value))
            data += value
        return head + b"\xff" + data

    def parse_login7(self, payload):
        self.tds_version = struct.unpack("<I", payload[4:8])[0]

        def field(offset_at, obfuscated=False):
            offset, chars = struct.unpack("<HH", payload[offset_at:offset_at + 4])
            raw = bytearray(payload[offset:offset + chars * 2])
            if obfuscated:
                for i, b in enumerate(raw):
                    b ^= 0xA5
                    raw[i] = ((b << 4) & 0xF0) | (b >> 4)
            return raw.decode("utf-16-le", errors="surrogatepass")

        return {
            "host": field(36),
            "user": field(40),
            "password": field(44, obfuscated=True),
            "app": field(48),
            "server": field(52),
            "database": field(68),
        }

    def login_answer(self):
        body = bytes([0x01]) + struct.pack(">I", self.tds_version)
        body += b_varchar("Microsoft SQL Server") + bytes([16, 0, 0x0F, 0xA0])
        token = bytes([TOKEN_LOGINACK]) + struct.pack("<H", len(body)) + body
        return token + self.done_token(DONE_FINAL)

    def handle(self):
        try:
            if self.config.get("silent"):
                while self.request.recv(65536):
                    pass
                return
            self.serve()
        except (ConnectionClosed, ConnectionResetError, BrokenPipeError):
            pass

    def serve(self):
        ptype, payload = self.read_message()
        if ptype != PKT_PRELOGIN:
            return
        if self.config.get("drop_after_prelogin"):
            return
        self.send_message(self.prelogin_answer())

        ptype, payload = self.read_message()
        if ptype != PKT_LOGIN7:
            return
        login = self.parse_login7(payload)
        refused = (self.config.get("refuse_login")
                   or login["user"] in self.config.get("refuse_users", [])
                   or (self.config.get("password") is not None and login["password"] != self.config["password"]))
        self.recorder.add(event="login", refused=bool(refused), tds_version="%08x" % self.tds_version, **login)
        if refused:
            message = "Login failed for user '%s'." % login["user"]
            self.send_message(self.message_token(TOKEN_ERROR, 18456, message, 14)
                              + self.done_token(DONE_ERROR))
            return
        self.send_message(self.login_answer())

        while True:
            ptype, payload = self.read_message()
            if ptype == PKT_ATTENTION:
                self.recorder.add(event="attention")
                self.send_message(self.done_token(DONE_ATTN))
            elif ptype == PKT_SQL_BATCH:
                if not self.run_batch(payload):
                    return
            else:
                self.recorder.add(event="unsupported", packet_type=ptype)
                self.send_message(self.message_token(TOKEN_ERROR, 8009, "Unsupported request.", 16)
                                  + self.done_token(DONE_ERROR))

    def run_batch(self, payload):
        """Answers one batch; returns False when the connection is to be dropped."""
        if self.tds_version >= 0x72000000 and len(payload) >= 4:
            payload = payload[struct.unpack("<I", payload[:4])[0]:]
        text = payload.decode("utf-16-le", errors="surrogatepass")
        self.recorder.add(event="sql", text=text)

        rule = next((r for r in self.config.get("rules", []) if r.get("match", "") in text), {})
        if rule.get("delay") and self.wait_or_attention(float(rule["delay"])):
            self.recorder.add(event="attention")
            self.send_message(self.done_token(DONE_ATTN))
            return True
        if rule.get("drop"):
            self.request.shutdown(socket.SHUT_RDWR)
            return False

        reply = b""
        for info in rule.get("info", []):
            reply += self.message_token(TOKEN_INFO, 3211, info, 0)
        error = rule.get("error")
        if error:
            reply += self.message_token(TOKEN_ERROR, int(error.get("number", 50000)), error.get("message", ""),
                                        int(error.get("class", 16)), int(error.get("state", 1)))
            if error.get("terminate", True):  # BACKUP follows its error by "terminating abnormally"
                reply += self.message_token(TOKEN_ERROR, 3013, "BACKUP DATABASE is terminating abnormally.", 16)
            reply += self.done_token(DONE_ERROR)
        elif "rows" in rule:
            reply += self.done_token(DONE_COUNT, int(rule["rows"]))
        else:
            reply += self.done_token(DONE_FINAL)
        self.send_message(reply)
        return True

    def wait_or_attention(self, seconds):
        """Sleeps for a slow statement; True when the client cancelled it meanwhile."""
        deadline = time.monotonic() + seconds
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            readable, _, _ = select.select([self.request], [], [], left)
            if readable:
                ptype, _ = self.read_message()
                if ptype == PKT_ATTENTION:
                    return True


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--record", required=True, help="JSON-lines file receiving logins and statements")
    parser.add_argument("--config", help="JSON file with failures to play")
    args = parser.parse_args()

    config = {}
    if args.config:
        with open(args.config, encoding="utf-8") as f:
            config = json.load(f)

    server = Server(("127.0.0.1", 0), TdsHandler)
    server.config = config
    server.recorder = Recorder(args.record)
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
