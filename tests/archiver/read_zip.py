"""Reads a zip archive back with Python's zipfile, a reader independent of the
archiver: checks every entry's CRC, extracts the tree under DEST with the names'
exact bytes, and prints one line per entry:
    ENTRY <name bytes in hex> <1 if flagged UTF-8 else 0> <size>
then TEST OK (or TEST BAD <name>). Usage: read_zip.py ARCHIVE DEST
"""
import os
import sys
import zipfile


def main(archive, dest):
    dest = os.fsencode(dest)
    with zipfile.ZipFile(archive) as z:
        bad = z.testzip()
        for info in z.infolist():
            utf8 = bool(info.flag_bits & 0x800)
            # Unflagged names were decoded as cp437, which maps every byte.
            raw = info.filename.encode("utf-8" if utf8 else "cp437")
            print("ENTRY %s %d %d" % (raw.hex(), 1 if utf8 else 0, info.file_size))
            target = os.path.join(dest, raw)
            if raw.endswith(b"/"):
                os.makedirs(target, exist_ok=True)
                continue
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as f:
                f.write(z.read(info))
        print("TEST " + ("OK" if bad is None else "BAD " + bad))


main(sys.argv[1], sys.argv[2])
