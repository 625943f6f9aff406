// CreatePKCS10: a new key pair in a new container of the chosen provider, and a PKCS#10
// certificate request for it (RFC 2986) as one line of Base64.
#pragma once

#include <cstdint>
#include <string>

#include "enroll/enrollment_state.h"
#include "enroll/key_generation_internal.h"
#include "platform/crypt/wincrypt.h"
#include "platform/crypt/wincrypt_msg.h"
#include "status/error_pair.h"

// genKeyFlags bits choosing the request's signature algorithm, taken out before the
// key options are read: sha256WithRSAEncryption, or sha512WithRSAEncryption (which wins);
// without them SHA-1 with RSA. A 512-bit key cannot hold a SHA-512 DigestInfo (RFC 8017
// section 9.2): that request fails with 5302 and NTE_BAD_LEN before any container is
// made.
constexpr int32_t kRequestSha256 = 0x100;
constexpr int32_t kRequestSha512 = 0x200;

// The request for the key pair in slot keySpec of `provider`: version 0, the subject one
// CN attribute holding commonName (ANSI) as a BMPString, the slot's public key,
// no attributes, signed by that key with `signatureOid` (szOID_RSA_SHA1RSA,
// szOID_RSA_SHA256RSA or szOID_RSA_SHA512RSA); DER in standard Base64 on one line.
// Failure: empty, with 5302 and the platform error when encoding, export or signing is
// refused (a refused consent included), 5002 when a buffer cannot be had.
std::string buildPkcs10Request(HCRYPTPROV provider, DWORD keySpec, const std::string& commonName,
                               ErrorPair& status, const char* signatureOid = szOID_RSA_SHA1RSA);

// CreatePKCS10(commonName, keyBits, genKeyFlags): the key-length step (5301 before any
// container exists), the signature bits above, the key options from the rest of
// genKeyFlags, provider type 1 and the exchange slot, then the key pair and its
// request. `result` receives the outcome (the record's pair); the request text, or
// empty.
std::string createPkcs10(EnrollmentState& state, const std::string& commonName, int32_t keyBits,
                         int32_t genKeyFlags, ErrorPair& result,
                         ContainerNamer name = newUpperCaseUuidText);
