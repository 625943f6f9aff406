// decodeBase64Text on arbitrary text: it never reads past the text or writes past its
// buffer, a result keeps its two zero bytes, and canonical Base64 (with or without
// armour) decodes to what OpenSSL's decoder gives and encodes back to itself.
#include <openssl/evp.h>

#include <cstring>
#include <string>

#include "core/byte_buffer.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool inAlphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

// Standard padded Base64 on one line (RFC 4648 section 4), whose unused bits are zero
// (which re-encoding checks), as OpenSSL's block decoder takes it.
bool paddedAlphabetOnly(const std::string& text) {
    if (text.empty() || text.size() % 4 != 0) return false;
    size_t pad = 0;
    while (pad < 2 && text[text.size() - 1 - pad] == '=') ++pad;
    for (size_t i = 0; i < text.size() - pad; ++i)
        if (!inAlphabet(text[i])) return false;
    return true;
}

void checkResult(const ByteBuffer& out) {
    FUZZ_CHECK(out.length() > 0);
    FUZZ_CHECK(out.data()[out.length()] == 0 && out.data()[out.length() + 1] == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The text ends at its first zero byte, as the caller's narrow string does; the copy
    // is exactly as long as that, so reading past it is caught.
    std::string text(reinterpret_cast<const char*>(data),
                     strnlen(reinterpret_cast<const char*>(data), size));
    ByteBuffer decoded;
    bool ok = decoded.decodeBase64Text(text.c_str());
    if (!ok) FUZZ_CHECK(decoded.empty());
    if (ok) checkResult(decoded);

    if (ok && paddedAlphabetOnly(text)) {
        std::string openssl(text.size() / 4 * 3, '\0');
        int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(openssl.data()),
                                reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
        FUZZ_CHECK(n >= 0);
        // EVP_DecodeBlock keeps the bytes the padding stands for as zeros.
        size_t pad = text.size() - text.find_last_not_of('=') - 1;
        openssl.resize(static_cast<size_t>(n) - pad);
        FUZZ_CHECK(decoded.text() == openssl);
        ByteBuffer again;
        FUZZ_CHECK(again.encodeBase64(decoded.data(), decoded.length()));
        // Re-encoding gives the text back unless its last character carries bits that
        // the padding throws away (2 bits with one '=', 4 with two).
        if (pad > 0) {
            int value =
                static_cast<int>(std::strchr(kAlphabet, text[text.size() - pad - 1]) - kAlphabet);
            bool spareBits = (value & (pad == 1 ? 0x3 : 0xF)) != 0;
            FUZZ_CHECK((again.text() == text) == !spareBits);
        } else {
            FUZZ_CHECK(again.text() == text);
        }
    }

    // The input's bytes as binary: encoded, bare and armoured, they decode to themselves.
    if (size > 0) {
        ByteBuffer encoded;
        FUZZ_CHECK(encoded.encodeBase64(data, static_cast<int32_t>(size)));
        FUZZ_CHECK(encoded.length() == static_cast<int32_t>((size + 2) / 3 * 4));
        std::string bare = encoded.str();
        std::string armoured =
            "-----BEGIN CERTIFICATE-----\r\n" + bare + "\r\n-----END CERTIFICATE-----\r\n";
        for (const std::string& form : {bare, armoured}) {
            ByteBuffer back;
            FUZZ_CHECK(back.decodeBase64Text(form.c_str()));
            checkResult(back);
            FUZZ_CHECK(back.length() == static_cast<int32_t>(size));
            FUZZ_CHECK(std::memcmp(back.data(), data, size) == 0);
        }
    }
    return 0;
}
