// Signing a page's text with the selected signer: a bare PKCS#1 v1.5 signature of the
// text's digest, or a PKCS#7 signed-data message.
#pragma once

#include <cstdint>
#include <string>

#include "sign/signer_store.h"
#include "status/error_pair.h"

// Digest bits of both operations: SHA-256 or SHA-512 of the content bytes. 0x8000 wins
// over 0x4000, and either over the operations' older digest bits (0x1000, 0x2000).
// SignPkcs1 signs the DigestInfo of that digest; SignPkcs7's signer (its digest
// algorithm, and the attributes when there are any) digests with it, the signature
// algorithm staying rsaEncryption.
constexpr int32_t kSignSha256 = 0x4000;
constexpr int32_t kSignSha512 = 0x8000;

// The signature of `content` as upper-case hex, or one line of Base64 with 0x100. The
// text is signed as UTF-16LE, or in the ANSI code page with 0x800; the digest is SHA-1,
// MD5 with 0x1000, SHA-1 of the MD5 digest with 0x2000, SHA-256 or SHA-512 with the
// bits above. Success: the text with
// status.lastError 0. Failure: "" with 5005, 5067, 5201, 1102, 5206 or 5061 and the
// platform's error in status.capiError where there is one.
std::string signPkcs1(const std::u16string& content, int32_t dwFlags, const SignerRef& signer,
                      ErrorPair& status);

// A DER PKCS#7 signed-data message over `content`, as one line of Base64. Flags: 0x100
// no certificate, 0x200 the signer's chain (wins over 0x100), 0x400 detached, 0x800 ANSI
// content, 0x1000 digest identifier md5WithRSAEncryption instead of SHA-1, 0x2000 a
// signing-time attribute. Success: the text with status.lastError 0. Failure: "" with
// 5005, 5067, 5201, 1102, 5061, 5202, 3206, 3204, 5070 or 5002.
std::string signPkcs7(const std::u16string& content, int32_t dwFlags, const SignerRef& signer,
                      ErrorPair& status);

// How a chain built for the message's certificate list is judged: true when its trust
// bits allow signing. Time problems are forgiven first, then signature, revocation and
// usage problems refuse, then an untrusted root is accepted; anything else refuses.
bool chainAcceptable(uint32_t errorStatus);
