// The mobile key record: one certificate with its RSA private key, laid out in the
// control's own format, encrypted with three-key triple DES under a key derived from a
// password and handed to the page as one line of Base64.
//
// Record (integers and lengths big-endian):
//   "ZELK" | bitLen (4) | public exponent (4) | n (bitLen/8) | p, q, d mod (p-1),
//   d mod (q-1), q^-1 mod p (bitLen/16 each) | d (bitLen/8) | L1 (4) | common name (L1) |
//   L2 (4) | serial, most significant byte first (L2) | SHA-1 thumbprint (20) |
//   notBefore (14, local "YYYYMMDDhhmmss") | notAfter (14) | L3 (4) | certificate DER (L3)
// Protection: 3DES-EDE-CBC, zero IV, PKCS#5 padding; key = SHA-1(password) || "ZELK".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/byte_buffer.h"
#include "platform/crypt/wincrypt.h"
#include "status/error_pair.h"

// The record's first field, which also ends the cipher key.
constexpr BYTE kMobileTag[4] = {'Z', 'E', 'L', 'K'};

// The numbers of an RSA PRIVATEKEYBLOB as CryptExportKey writes it, checked against the
// blob's length. `numbers` points into the blob: modulus, prime1, prime2, exponent1,
// exponent2, coefficient, private exponent, each least significant byte first.
struct RsaPrivateKeyBlob {
    DWORD bitLen = 0;
    DWORD publicExponent = 0;
    const BYTE* numbers = nullptr;
};

// True when `blob` is a PRIVATEKEYBLOB of an RSA key (CALG_RSA_KEYX or CALG_RSA_SIGN,
// magic "RSA2") whose bit length is a multiple of 16 between 512 and 16384 and whose
// `length` bytes hold all its numbers; `out` is then filled. False for every other
// shape (other algorithms, public blobs, odd bit lengths, short blobs); nothing is read
// beyond `length`.
bool readRsaPrivateKeyBlob(const BYTE* blob, size_t length, RsaPrivateKeyBlob& out);

// Builds the record of `certificate` and the private-key `blob`, protects it with
// `password` (narrow bytes, ANSI code page) and returns the Base64 text. Success: the
// text, status 0 / 0. Failure: empty text with status.capiError 0 and lastError 5205
// (the blob is no RSA private key of a bit length the record can carry), 5035 (the
// password digest failed) or 5063 (no certificate or blob, a certificate field that
// cannot be read, encryption or encoding failed). The clear record and the cipher key
// are wiped before it returns; the caller keeps and wipes `blob`.
std::string buildMobileRecord(PCCERT_CONTEXT certificate, std::string_view password,
                              const ByteBuffer& blob, ErrorPair& status);
