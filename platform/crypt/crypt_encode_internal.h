// Inside the platform layer: encoding pieces that messages, names and certificate
// requests share.
#pragma once

#include <string_view>
#include <vector>

#include "platform/crypt/der_internal.h"
#include "platform/crypt/wincrypt.h"
#include "platform/crypt/wincrypt_msg.h"

// Appends an AlgorithmIdentifier (RFC 5280 section 4.1.1.2) with the given parameters,
// or an explicit NULL when none are given (RFC 3279 section 2.2.1 for RSA). False for a
// malformed OID or parameters that are not one DER element.
bool cryptAppendAlgorithm(DerBytes& out, std::string_view oid, const CRYPT_OBJID_BLOB& parameters);
// Each attribute as Attribute ::= SEQUENCE { type, SET OF value } (RFC 5652 section 5.3),
// its values in DER order, appended to `out` in the caller's order. False for a missing
// or malformed OID or a value that is not one DER element.
bool cryptEncodeAttributes(DWORD count, const CRYPT_ATTRIBUTE* attributes,
                           std::vector<DerBytes>& out);
