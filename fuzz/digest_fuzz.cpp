// Differential: our MD5, SHA-1, SHA-256 and SHA-512 against OpenSSL's EVP digests on the
// same message, one-shot, fed in pieces whose lengths the input chooses, and again on the
// same object after a reset, with the fastest and the portable compression code.
#include <fuzzer/FuzzedDataProvider.h>
#include <openssl/evp.h>

#include <cstring>
#include <vector>

#include "digest/digests.h"
#include "fuzz/fuzz_support.h"

namespace {

std::vector<unsigned char> reference(const EVP_MD* md, const std::vector<uint8_t>& message) {
    std::vector<unsigned char> out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    FUZZ_CHECK(EVP_Digest(message.data(), message.size(), out.data(), &length, md, nullptr) == 1);
    out.resize(length);
    return out;
}

bool same(const ByteBuffer& ours, const std::vector<unsigned char>& theirs) {
    return ours.length() == static_cast<int32_t>(theirs.size()) &&
           std::memcmp(ours.data(), theirs.data(), theirs.size()) == 0;
}

template <class Digest>
void compare(const EVP_MD* md, const std::vector<uint8_t>& message,
             const std::vector<size_t>& pieces) {
    const std::vector<unsigned char> expected = reference(md, message);
    Digest digest;
    // data() of an empty vector may be null, which compute() takes with length 0.
    FUZZ_CHECK(digest.compute(message.data(), static_cast<int32_t>(message.size())));
    FUZZ_CHECK(same(digest.result, expected));

    // In pieces, after the one-shot digest: final() started a new message.
    digest.result.release();
    size_t at = 0;
    for (size_t piece : pieces) {
        size_t n = std::min(piece, message.size() - at);
        digest.update(message.data() + at, n);
        at += n;
    }
    digest.update(message.data() + at, message.size() - at);
    digest.final();
    FUZZ_CHECK(same(digest.result, expected));

    // A reset in the middle of a message forgets what was absorbed.
    digest.result.release();
    digest.update(message.data(), message.size() / 2);
    digest.init();
    digest.update(message.data(), message.size());
    digest.final();
    FUZZ_CHECK(same(digest.result, expected));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    selectDigestKernels(input.ConsumeBool() ? DigestKernels::Portable : DigestKernels::Fastest);
    std::vector<size_t> pieces(input.ConsumeIntegralInRange<size_t>(0, 8));
    for (size_t& piece : pieces) piece = input.ConsumeIntegralInRange<size_t>(0, 300);
    const std::vector<uint8_t> message = input.ConsumeRemainingBytes<uint8_t>();
    compare<Md5Digest>(EVP_md5(), message, pieces);
    compare<Sha1Digest>(EVP_sha1(), message, pieces);
    compare<Sha256Digest>(EVP_sha256(), message, pieces);
    compare<Sha512Digest>(EVP_sha512(), message, pieces);
    return 0;
}
