// The certificate getters of the control: each reads one field of the selected signer's
// certificate (its DER encoding, empty when no signer is selected) through a CertView.
// They report nothing: an empty or unparsable certificate gives the empty string, and
// the engine sets its error state itself.
#pragma once

#include <string>

#include "core/byte_buffer.h"

// The certificate as one line of standard Base64, no armour.
std::string certB64(const ByteBuffer& signerCert);
// Subject and issuer in the X.500 form, at most 511 characters.
std::string certSubject(const ByteBuffer& signerCert);
std::string certIssuer(const ByteBuffer& signerCert);
// The subject's first common name, at most 99 characters.
std::string certSubjectCN(const ByteBuffer& signerCert);
// The serial number's content octets as upper-case hex.
std::string certSerial(const ByteBuffer& signerCert);
// Start and end of validity in local time, "YYYYMMDDhhmmss".
std::string certNotBefore(const ByteBuffer& signerCert);
std::string certNotAfter(const ByteBuffer& signerCert);
// The SHA-1 thumbprint, 40 upper-case hex digits.
std::string certFinger(const ByteBuffer& signerCert);
