// AcceptPKCS7: installs the certificates a certification authority sent back for a
// request. Authority certificates go to the user's "ROOT" (self-issued) or "CA" (may sign
// certificates) store; the issued certificate is bound to the key container holding its
// key pair and added to "MY".
#pragma once

#include <string>

#include "enroll/enrollment_state.h"
#include "status/error_pair.h"

// `text` is Base64 of a PKCS#7 signed-data message (certificates only, usually) or of
// one DER certificate, with or without "----" armour lines. Returns 0 or the ErrorCode
// also left in `result` (the record's pair): 5005 empty text, 5008 text the Base64
// decoder refuses, 5040 a message whose certificates cannot be counted or an issued
// certificate that does not parse (with the platform error), 5060 no end-entity
// certificate, 5204 no container of a provider whose name contains "Microsoft" holds its
// key pair, 5206 a property or the add to "MY" refused, 5203 the container cannot be
// opened for the key context, 5201 "MY" cannot be opened (the last three with the
// platform error), 5070 with ERROR_CANCELLED when the caller guard refuses the
// certificates (asked once, before any is added; nothing added). A certificate inside
// the message that does not parse is passed over. Authority certificates installed stay
// installed whatever fails later. The issued certificate is always added to "MY", also
// when it is there already.
ErrorCode acceptPkcs7(EnrollmentState& state, const std::string& text, ErrorPair& result);
