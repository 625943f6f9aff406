#include "platform/crypt/fingerprint.h"

#include <vector>

#include "platform/crypt/crypt_sign_internal.h"
#include "platform/text/ascii.h"

std::string sha256Fingerprint(std::string_view bytes) {
    std::vector<BYTE> digest;
    if (!cryptDigestBytes(CALG_SHA_256, reinterpret_cast<const BYTE*>(bytes.data()), bytes.size(),
                          digest))
        return {};
    return text::hexOf(digest.data(), digest.size());
}
