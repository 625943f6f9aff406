#!/usr/bin/env python3
"""Decodes a mobile key text without any of the control's code, for the tests.

usage: decode_mobile.py PASSWORD_HEX CODEPAGE < TEXT

PASSWORD_HEX is the password's narrow bytes in hex (empty for the empty password),
CODEPAGE the Python codec of the common name's bytes (cp950 for Big5). The Base64
text is decoded with the base64 module, the cipher key derived with hashlib
(SHA-1 of the password, then the tag), the triple DES undone by
`openssl enc -d -des-ede3-cbc -nopad` with a zero IV, and the PKCS#5 padding
checked here. Prints one JSON object with every field (numbers and bytes as
upper-case hex, most significant byte first); exits 1 with a reason on stderr
when anything does not fit exactly.
"""
import base64
import binascii
import hashlib
import json
import subprocess
import sys

TAG = b"ZELK"


def fail(reason):
    sys.stderr.write(reason + "\n")
    sys.exit(1)


class Reader:
    def __init__(self, data):
        self.data = data
        self.at = 0

    def take(self, n):
        if n < 0 or self.at + n > len(self.data):
            fail("record ends inside a field at %d (+%d of %d)" % (self.at, n, len(self.data)))
        piece = self.data[self.at:self.at + n]
        self.at += n
        return piece

    def u32(self):
        return int.from_bytes(self.take(4), "big")

    def counted(self):
        return self.take(self.u32())


def main():
    if len(sys.argv) != 3:
        fail(__doc__)
    password = binascii.unhexlify(sys.argv[1])
    codepage = sys.argv[2]
    text = sys.stdin.read().strip()
    if "\n" in text or "\r" in text:
        fail("the text has a line break")
    cipher = base64.b64decode(text, validate=True)
    if len(cipher) == 0 or len(cipher) % 8:
        fail("ciphertext of %d bytes" % len(cipher))
    key = hashlib.sha1(password).digest() + TAG
    clear = subprocess.run(
        ["openssl", "enc", "-d", "-des-ede3-cbc", "-nopad", "-K", key.hex(), "-iv", "00" * 8],
        input=cipher, capture_output=True, check=True).stdout
    pad = clear[-1]
    if not 1 <= pad <= 8 or clear[-pad:] != bytes([pad]) * pad:
        fail("bad padding")
    record = Reader(clear[:-pad])

    out = {"cipherLength": len(cipher), "padding": pad, "recordLength": len(record.data)}
    out["tag"] = record.take(4).decode("ascii", "replace")
    bits = record.u32()
    out["bitLen"] = bits
    out["exponent"] = record.u32()
    widths = [("n", bits // 8), ("p", bits // 16), ("q", bits // 16), ("dp", bits // 16),
              ("dq", bits // 16), ("qinv", bits // 16), ("d", bits // 8)]
    for name, width in widths:
        out[name] = record.take(width).hex().upper()
    cn = record.counted()
    out["cnHex"] = cn.hex().upper()
    out["cn"] = cn.decode(codepage)
    out["serial"] = record.counted().hex().upper()
    out["thumbprint"] = record.take(20).hex().upper()
    out["notBefore"] = record.take(14).decode("ascii")
    out["notAfter"] = record.take(14).decode("ascii")
    der = record.counted()
    out["der"] = der.hex().upper()
    out["derSha1"] = hashlib.sha1(der).hexdigest().upper()
    if record.at != len(record.data):
        fail("%d bytes after the certificate" % (len(record.data) - record.at))
    print(json.dumps(out, ensure_ascii=False))


main()
