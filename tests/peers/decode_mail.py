#!/usr/bin/python3
"""Decodes a received message with Python's email package (default policy) and
prints what a mail reader would show, one item a line, texts in UTF-8:
  SUBJECT <text>
  TO <display name>|<address>      (one line per address; CC likewise)
  BODY <line>                      (each line of the text part, decoded by its charset)
  FILENAME <name>
  ATTACHMENT same|differs          (compared with the file given as second argument)
  DEFECTS <count>                  (parser defects in headers and parts)
Usage: decode_mail.py MESSAGE.eml SOURCE-FILE
"""
import email
import email.policy
import sys


def main():
    raw = open(sys.argv[1], "rb").read()
    source = open(sys.argv[2], "rb").read()
    message = email.message_from_bytes(raw, policy=email.policy.default)
    # A field folded right after its colon keeps the fold's blank in front of the
    # value with this parser; mail readers do not show it.
    print("SUBJECT " + str(message["Subject"]).lstrip(" \t"))
    for field in ("To", "Cc"):
        header = message[field]
        for address in (header.addresses if header is not None else ()):
            print("%s %s|%s" % (field.upper(), address.display_name, address.addr_spec))
    defects = len(message.defects)
    for name in ("Subject", "To", "Cc", "From"):
        if message[name] is not None:
            defects += len(message[name].defects)
    attachment = None
    for part in message.walk():
        defects += len(part.defects)
        if part.get_content_type() == "text/plain" and part.get_content_disposition() is None:
            for line in part.get_content().splitlines():
                print("BODY " + line)
        if part.get_content_disposition() == "attachment":
            attachment = part.get_payload(decode=True)
            print("FILENAME " + str(part.get_filename()))
    print("ATTACHMENT " + ("same" if attachment == source else "differs"))
    print("DEFECTS %d" % defects)


if __name__ == "__main__":
    main()
