// Differential: our DES, two-key and three-key triple DES in CBC mode with PKCS#5 padding
// and a zero IV against OpenSSL's EVP ciphers (single DES from its legacy provider) on the
// same key and message, twice on one object so the chaining value starts over each time,
// and the refusals for a short key or an empty message.
#include <fuzzer/FuzzedDataProvider.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "mobile/des_cipher_internal.h"

namespace {

struct Variant {
    ALG_ID algorithm;
    const char* openssl;
    size_t keyLength;
};
constexpr Variant kVariants[] = {
    {CALG_DES, "DES-CBC", 8},
    {CALG_3DES_112, "DES-EDE-CBC", 16},
    {CALG_3DES, "DES-EDE3-CBC", 24},
};

std::vector<unsigned char> reference(const char* name, const std::vector<uint8_t>& key,
                                     const std::vector<uint8_t>& message) {
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
    FUZZ_CHECK(cipher != nullptr);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    FUZZ_CHECK(ctx != nullptr);
    const unsigned char iv[8] = {};
    std::vector<unsigned char> out(message.size() + 8);
    int n = 0, tail = 0;
    FUZZ_CHECK(EVP_EncryptInit_ex2(ctx, cipher, key.data(), iv, nullptr) == 1);
    FUZZ_CHECK(EVP_EncryptUpdate(ctx, out.data(), &n, message.data(),
                                 static_cast<int>(message.size())) == 1);
    FUZZ_CHECK(EVP_EncryptFinal_ex(ctx, out.data() + n, &tail) == 1);
    out.resize(static_cast<size_t>(n + tail));
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
    return out;
}

// Single DES lives in the legacy provider; loading any provider stops the automatic
// default one, so both are loaded, and given back at exit.
class Providers {
  public:
    Providers()
        : legacy_(OSSL_PROVIDER_load(nullptr, "legacy")),
          default_(OSSL_PROVIDER_load(nullptr, "default")) {
        FUZZ_CHECK(legacy_ != nullptr && default_ != nullptr);
    }
    ~Providers() {
        OSSL_PROVIDER_unload(legacy_);
        OSSL_PROVIDER_unload(default_);
    }
    Providers(const Providers&) = delete;
    Providers& operator=(const Providers&) = delete;

  private:
    OSSL_PROVIDER* legacy_;
    OSSL_PROVIDER* default_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::initialize();
    static Providers providers;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const Variant& variant = kVariants[input.ConsumeIntegralInRange<size_t>(0, 2)];
    // Sometimes a key shorter than the algorithm reads, which must be refused.
    const size_t keyLength = input.ConsumeIntegral<uint8_t>() < 16
                                 ? input.ConsumeIntegralInRange<size_t>(0, variant.keyLength - 1)
                                 : variant.keyLength;
    std::vector<uint8_t> key = input.ConsumeBytes<uint8_t>(keyLength);
    const std::vector<uint8_t> message = input.ConsumeRemainingBytes<uint8_t>();

    DesCipher cipher;
    cipher.setAlgorithm(variant.algorithm);
    FUZZ_CHECK(cipher.algorithm() == variant.algorithm);
    cipher.setKey(key.empty() ? nullptr : key.data(), static_cast<int32_t>(key.size()));
    if (key.size() < variant.keyLength || message.empty()) {
        FUZZ_CHECK(!cipher.encrypt(message.empty() ? nullptr : message.data(),
                                   static_cast<int32_t>(message.size())));
        FUZZ_CHECK(cipher.output.empty());
        return 0;
    }
    const std::vector<unsigned char> expected = reference(variant.openssl, key, message);
    for (int round = 0; round < 2; ++round) {
        FUZZ_CHECK(cipher.encrypt(message.data(), static_cast<int32_t>(message.size())));
        FUZZ_CHECK(cipher.output.length() == static_cast<int32_t>(expected.size()));
        FUZZ_CHECK(std::memcmp(cipher.output.data(), expected.data(), expected.size()) == 0);
    }
    return 0;
}
