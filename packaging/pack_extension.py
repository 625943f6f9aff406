#!/usr/bin/env python3
"""Packs the WebExtension for installation without developer mode.

Writes a CRX3 file for Chromium (signed with the packing key, RSA PKCS#1 v1.5 over
SHA-256 through the openssl command line) and a plain XPI for Firefox. Refuses to pack
when the key's extension ID is not the one the native messaging manifests allow, so the
installed extension can always start the host.

Usage: pack_extension.py EXTENSION_DIR KEY_PEM EXPECTED_ID OUT_CRX OUT_XPI
"""
import hashlib
import io
import os
import struct
import subprocess
import sys
import tempfile
import zipfile


def zip_folder(folder):
    # Fixed times and order: the same sources always give the same archive.
    out = io.BytesIO()
    with zipfile.ZipFile(out, 'w', zipfile.ZIP_DEFLATED) as z:
        for root, dirs, files in os.walk(folder):
            dirs.sort()
            for name in sorted(files):
                path = os.path.join(root, name)
                info = zipfile.ZipInfo(os.path.relpath(path, folder), (1980, 1, 1, 0, 0, 0))
                info.compress_type = zipfile.ZIP_DEFLATED
                info.external_attr = 0o644 << 16
                with open(path, 'rb') as f:
                    z.writestr(info, f.read())
    return out.getvalue()


def varint(n):
    out = b''
    while True:
        byte = n & 0x7F
        n >>= 7
        if n:
            out += bytes([byte | 0x80])
        else:
            return out + bytes([byte])


def field(number, payload):
    return varint(number << 3 | 2) + varint(len(payload)) + payload


def extension_id(public_der):
    digest = hashlib.sha256(public_der).hexdigest()[:32]
    return ''.join(chr(ord('a') + int(c, 16)) for c in digest)


def main():
    folder, key, expected, out_crx, out_xpi = sys.argv[1:6]
    public = subprocess.run(['openssl', 'pkey', '-in', key, '-pubout', '-outform', 'DER'],
                            check=True, capture_output=True).stdout
    if extension_id(public) != expected:
        sys.exit(f'pack_extension: {key} gives ID {extension_id(public)}, not {expected}')
    archive = zip_folder(folder)
    signed_data = field(1, hashlib.sha256(public).digest()[:16])
    message = b'CRX3 SignedData\x00' + struct.pack('<I', len(signed_data)) + signed_data + archive
    with tempfile.NamedTemporaryFile() as data:
        data.write(message)
        data.flush()
        signature = subprocess.run(['openssl', 'dgst', '-sha256', '-sign', key, data.name],
                                   check=True, capture_output=True).stdout
    header = field(2, field(1, public) + field(2, signature)) + field(10000, signed_data)
    for path, content in ((out_crx, b'Cr24' + struct.pack('<II', 3, len(header)) + header + archive),
                          (out_xpi, archive)):
        with open(path + '.tmp', 'wb') as f:
            f.write(content)
        os.replace(path + '.tmp', path)


if __name__ == '__main__':
    main()
