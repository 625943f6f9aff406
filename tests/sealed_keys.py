#!/usr/bin/env python3
# Reads the private keys of a user database as any program of the user could, with
# Python's sqlite3, and opens each with the master key file when one is given
# (AES-256-GCM by the cryptography package, independent of the control's code).
# Usage: sealed_keys.py DATABASE [KEYFILE]
# Prints one JSON object: the recorded protection and, per stored key, its first four
# bytes, whether it parses as a plain PKCS#8 key, and (with KEYFILE) the modulus of the
# key it opens to, in lower-case hex.
import json
import sqlite3
import sys

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.ciphers.aead import AESGCM


def plain(blob):
    try:
        serialization.load_der_private_key(blob, None)
        return True
    except ValueError:
        return False


def main():
    con = sqlite3.connect(sys.argv[1])
    rows = con.execute(
        "SELECT c.keyset, c.fold, k.key_spec, k.private_key FROM container_keys k "
        "JOIN key_containers c ON c.id = k.container_id ORDER BY k.rowid").fetchall()
    method = con.execute("SELECT method FROM key_protection").fetchone()
    master = open(sys.argv[2], "rb").read() if len(sys.argv) > 2 else None
    keys = []
    for keyset, fold, key_spec, blob in rows:
        row = {"magic": blob[:4].decode("latin-1"), "plain": plain(blob)}
        if master:
            aad = b"".join(part.encode() + b"\0" for part in (keyset, fold, str(key_spec)))
            der = AESGCM(master).decrypt(blob[4:16], blob[16:], aad)
            key = serialization.load_der_private_key(der, None)
            row["modulus"] = format(key.private_numbers().public_numbers.n, "x")
        keys.append(row)
    print(json.dumps({"protection": method[0] if method else None, "keys": keys}))


main()
