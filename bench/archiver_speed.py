#!/usr/bin/python3
"""Packs one folder of generated backup-like data with the built-in archiver, with
Debian's `zip -r` and with `7zz a -tzip`, and prints wall time, CPU time, the
compressed size and peak resident memory of each side by side, with ratios
against zip. Every archive is checked with `7zz t` afterwards.

Usage: archiver_speed.py QUORVELZIP [MiB] [runs]
The data (default 1024 MiB) is generated under /tmp and deleted at the end.
"""
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time

PAGE = 8192


def generate(folder, total_mib):
    """Database-backup-like files: 8 KiB pages with a header and rows drawn from a
    pool of records (repeated structure, varying keys), some empty pages and some
    pages of less compressible index and blob bytes."""
    rng = random.Random(20261210)
    words = [("%s-%d" % (w, i)).encode() for i, w in enumerate(
        ["customer", "order", "invoice", "北京", "上海", "payment", "shipped", "pending", "item", "warehouse"] * 20)]
    rows = []
    for _ in range(4000):
        fields = b"|".join(rng.choice(words) for _ in range(rng.randint(4, 12)))
        rows.append(fields + b"|" + str(rng.randint(0, 10 ** 6)).encode() + b"\n")
    blobs = [rng.randbytes(PAGE) for _ in range(64)]
    sizes = [total_mib // 2, total_mib * 3 // 8, total_mib - total_mib // 2 - total_mib * 3 // 8]
    names = ["sales.bak", "archive/history.bak", "master.bak"]
    page_number = 0
    for name, mib in zip(names, sizes):
        path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb", buffering=1 << 20) as f:
            for _ in range(mib * (1 << 20) // PAGE):
                page_number += 1
                kind = page_number % 16
                header = struct.pack("<IIQQ", 0x50414745, kind, page_number, page_number * 2654435761 % 2 ** 64)
                if kind == 0:
                    body = b"\0" * (PAGE - len(header))
                elif kind == 1:
                    body = blobs[page_number % len(blobs)][: PAGE - len(header)]
                else:
                    parts, used = [], 0
                    key = page_number * 100
                    while used < PAGE - len(header):
                        row = b"%010d|" % key + rows[rng.randrange(len(rows))]
                        parts.append(row)
                        used += len(row)
                        key += 1
                    body = b"".join(parts)[: PAGE - len(header)]
                f.write(header + body)


def measure(argv, cwd, env, work):
    """Wall time, CPU seconds and peak RSS (MiB) of one run. GNU time reports the
    memory: a child forked from this Python would count Python's pages as its own."""
    report = os.path.join(work, "time.txt")
    start = time.monotonic()
    done = subprocess.run(["/usr/bin/time", "-f", "%U %S %M", "-o", report] + argv, cwd=cwd, env=env,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wall = time.monotonic() - start
    if done.returncode != 0:
        raise SystemExit("%s failed (%d): %s" % (argv[0], done.returncode, done.stderr.decode(errors="replace")))
    with open(report) as f:
        user, system, kib = f.read().split()[-3:]
    return wall, float(user) + float(system), int(kib) / 1024.0


def main():
    if len(sys.argv) < 2:
        raise SystemExit(__doc__)
    quorvelzip = os.path.abspath(sys.argv[1])
    total_mib = int(sys.argv[2]) if len(sys.argv) > 2 else 1024
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    for tool in ("zip", "7zz"):
        if not shutil.which(tool):
            raise SystemExit("%s is missing: apt-get install zip 7zip" % tool)
    work = tempfile.mkdtemp(prefix="quorvel-bench-", dir="/tmp")
    try:
        source = os.path.join(work, "source")
        os.makedirs(source)
        t = time.monotonic()
        generate(source, total_mib)
        original = sum(os.path.getsize(os.path.join(r, f)) for r, _, fs in os.walk(source) for f in fs)
        print("data: %.0f MiB in %s, generated in %.0f s; %d run(s) each, best wall time kept"
              % (original / 2 ** 20, source, time.monotonic() - t, runs))
        out = os.path.join(work, "out")
        plain_env = dict(os.environ, QUORVEL_ARCHIVE_PASSWORD="")
        aes_env = dict(os.environ, QUORVEL_ARCHIVE_PASSWORD="bench-password")
        # Comparable levels: zlib's level 6 is both quorvelzip's and zip's default;
        # 7-Zip's -mx5 is its normal deflate level, -mx1 its fastest.
        tools = [
            ("quorvelzip (-6)", lambda: [quorvelzip, "a", "-r", "-ag", out + "/", source + "/"], plain_env, None),
            ("zip -r -6", lambda: ["zip", "-q", "-r", "-6", os.path.join(out, "zip.zip"), "."], None, source),
            ("7zz a -tzip -mx5", lambda: ["7zz", "a", "-tzip", "-mx5", "-bd", os.path.join(out, "7z.zip"), "./*"],
             None, source),
            ("7zz a -tzip -mx1", lambda: ["7zz", "a", "-tzip", "-mx1", "-bd", os.path.join(out, "7z.zip"), "./*"],
             None, source),
            ("quorvelzip AES-256", lambda: [quorvelzip, "a", "-r", "-ag", out + "/", source + "/"], aes_env, None),
        ]
        results = {}
        for run in range(runs):
            for name, argv, env, cwd in tools:
                shutil.rmtree(out, ignore_errors=True)
                os.makedirs(out)
                # The same warm page cache for everyone.
                subprocess.run(["cat"] + [os.path.join(r, f) for r, _, fs in os.walk(source) for f in fs],
                               stdout=subprocess.DEVNULL, check=True)
                wall, cpu, rss = measure(argv(), cwd, env, work)
                archives = [os.path.join(out, f) for f in os.listdir(out)]
                if len(archives) != 1:
                    raise SystemExit("%s left %r" % (name, archives))
                size = os.path.getsize(archives[0])
                check = ["7zz", "t", "-bd", archives[0]] + (["-pbench-password"] if "AES" in name else [])
                if subprocess.run(check, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode != 0:
                    raise SystemExit("%s wrote an archive 7zz does not accept" % name)
                best = results.get(name)
                if best is None or wall < best[0]:
                    results[name] = (wall, cpu, rss, size)
        zip_wall, _, zip_rss, zip_size = results["zip -r -6"]
        print("%-20s %9s %9s %8s %9s %9s %10s %10s" % ("archiver", "wall s", "cpu s", "cores", "size MiB",
                                                         "ratio", "RSS MiB", "time/zip"))
        for name, _, _, _ in tools:
            wall, cpu, rss, size = results[name]
            print("%-20s %9.2f %9.2f %8.2f %9.1f %9.4f %10.1f %10.2f"
                  % (name, wall, cpu, cpu / wall, size / 2 ** 20, size / original, rss, wall / zip_wall))
        print("ratio = archive size / data size; time/zip = wall time / zip's wall time (below 1: faster)")
    finally:
        shutil.rmtree(work, ignore_errors=True)


main()
