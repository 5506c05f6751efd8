#!/usr/bin/python3
"""Makes the certificates of the TLS mail tests in DIR, with the openssl command:
  ca.pem                      a CA of the tests' own (no system store knows it)
  localhost.pem/.key          signed by it, for DNS localhost and IP 127.0.0.1
  wrongname.pem/.key          signed by it, for mail.example.org only
Keys are EC P-256 (quick to make), readable by the owner only.
"""
import os
import subprocess
import sys


def run(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main():
    d = sys.argv[1]
    os.makedirs(d, mode=0o700, exist_ok=True)
    os.umask(0o077)
    p = lambda name: os.path.join(d, name)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    run("req", "-x509", *ec, "-keyout", p("ca.key"), "-out", p("ca.pem"), "-days", "3", "-subj", "/CN=Quorvel Test CA",
        "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    for name, san in (("localhost", "DNS:localhost,IP:127.0.0.1"), ("wrongname", "DNS:mail.example.org")):
        run("req", *ec, "-keyout", p(name + ".key"), "-out", p(name + ".csr"), "-subj", "/CN=" + san.split(",")[0][4:])
        with open(p(name + ".ext"), "w") as f:
            f.write("subjectAltName=%s\nextendedKeyUsage=serverAuth\n" % san)
        run("x509", "-req", "-in", p(name + ".csr"), "-CA", p("ca.pem"), "-CAkey", p("ca.key"), "-CAcreateserial",
            "-out", p(name + ".pem"), "-days", "3", "-extfile", p(name + ".ext"))


if __name__ == "__main__":
    main()
