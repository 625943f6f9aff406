// Runs our digests and OpenSSL's by algorithm, for tests that cover all four.
#pragma once

#include <openssl/evp.h>

#include <string>
#include <string_view>

#include "digest/digests.h"

// Calls f with a fresh digest object of `algorithm`; returns what f returns.
template <class F>
auto withDigest(DigestAlgorithm algorithm, F&& f) {
    switch (algorithm) {
        case DigestAlgorithm::MD5: {
            Md5Digest d;
            return f(d);
        }
        case DigestAlgorithm::SHA1: {
            Sha1Digest d;
            return f(d);
        }
        case DigestAlgorithm::SHA256: {
            Sha256Digest d;
            return f(d);
        }
        case DigestAlgorithm::SHA512:
            break;
    }
    Sha512Digest d;
    return f(d);
}

inline std::string hexOf(const ByteBuffer& b) {
    ByteBuffer hex;
    return hex.encodeHex(b.data(), b.length()) ? hex.str() : "";
}

inline const EVP_MD* opensslDigest(DigestAlgorithm algorithm) {
    switch (algorithm) {
        case DigestAlgorithm::MD5:
            return EVP_md5();
        case DigestAlgorithm::SHA1:
            return EVP_sha1();
        case DigestAlgorithm::SHA256:
            return EVP_sha256();
        case DigestAlgorithm::SHA512:
            break;
    }
    return EVP_sha512();
}

// OpenSSL's digest of `message` as upper-case hex.
inline std::string opensslHex(DigestAlgorithm algorithm, std::string_view message) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!EVP_Digest(message.data(), message.size(), md, &n, opensslDigest(algorithm), nullptr))
        return "";
    ByteBuffer b;
    b.assign(md, static_cast<int32_t>(n));
    return hexOf(b);
}

// Our digest of `message` fed in pieces of `piece` bytes (0: one compute call).
inline std::string ourHex(DigestAlgorithm algorithm, std::string_view message, size_t piece = 0) {
    return withDigest(algorithm, [&](auto& d) {
        if (piece == 0) {
            d.compute(message.data(), static_cast<int32_t>(message.size()));
        } else {
            for (size_t at = 0; at < message.size(); at += piece)
                d.update(message.data() + at, std::min(piece, message.size() - at));
            d.final();
        }
        return hexOf(d.result);
    });
}

// Selects the digest kernels for one scope and puts the default back.
class ScopedKernels {
  public:
    explicit ScopedKernels(DigestKernels k) { selectDigestKernels(k); }
    ~ScopedKernels() { selectDigestKernels(DigestKernels::Fastest); }
};

inline const char* kernelsName(DigestKernels k) {
    return k == DigestKernels::Portable ? "Portable" : "Fastest";
}
inline const char* algorithmName(DigestAlgorithm a) {
    switch (a) {
        case DigestAlgorithm::MD5:
            return "MD5";
        case DigestAlgorithm::SHA1:
            return "SHA1";
        case DigestAlgorithm::SHA256:
            return "SHA256";
        case DigestAlgorithm::SHA512:
            break;
    }
    return "SHA512";
}
