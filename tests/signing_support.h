// Helpers of the hashing, message and encoding tests: a key container holding a fixture
// key, temporary files for the openssl command line, and hex.
#pragma once

#include <openssl/evp.h>

#include <string>
#include <vector>

#include "platform/crypt/key_container.h"
#include "platform/crypt/size_protocol.h"
#include "platform/crypt/wincrypt.h"
#include "platform/crypt/wincrypt_msg.h"
#include "tests/store_support.h"
#include "tests/temp_home.h"
#include "tests/test_support.h"

namespace signing_test {

using store_test::pfxFixture;
using store_test::readBytes;

inline std::string toHex(const std::vector<BYTE>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (BYTE b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

inline std::vector<BYTE> fromHex(const std::string& hex) {
    std::string raw = testing_support::unhex(hex);
    return std::vector<BYTE>(raw.begin(), raw.end());
}

inline std::vector<BYTE> bytesOf(const std::string& text) {
    return std::vector<BYTE>(text.begin(), text.end());
}

inline void writeBytes(const std::string& path, const std::vector<BYTE>& bytes) {
    testing_support::writeFile(path, std::string(bytes.begin(), bytes.end()));
}

// The DER `openssl asn1parse -genconf` makes of a configuration whose top is `asn1` (in
// a file: long values do not fit one command-line argument); empty when openssl fails.
inline std::vector<BYTE> opensslAsn1Conf(const std::string& conf) {
    testing_support::TempDir dir;
    testing_support::writeFile(dir.file("gen.cnf"), conf);
    int status = -1;
    testing_support::runCommand("openssl asn1parse -genconf " + dir.file("gen.cnf") +
                                    " -noout -out " + dir.file("out.der") + " 2>/dev/null",
                                &status);
    return status == 0 ? readBytes(dir.file("out.der")) : std::vector<BYTE>{};
}
// The same for one ASN1_generate_nconf string.
inline std::vector<BYTE> opensslAsn1(const std::string& genstr) {
    return opensslAsn1Conf("asn1 = " + genstr + "\n");
}

// A message parameter with the two-call size protocol; empty when refused.
inline std::vector<BYTE> messageParam(HCRYPTMSG msg, DWORD param, DWORD index = 0) {
    std::vector<BYTE> out;
    fetchSized(out, [&](BYTE* data, DWORD* size) {
        return CryptMsgGetParam(msg, param, index, data, size);
    });
    return out;
}

// A private home with a container "signer" holding the key `keyName` (a fixture of
// tests/fixtures/pfx) in slot `slot`, the fixture certificates as PEM files for openssl,
// and a folder for the files the tests hand to openssl.
class SignerFixture {
  public:
    explicit SignerFixture(const std::string& keyName = "user1", DWORD slot = AT_SIGNATURE)
        : slot_(slot) {
        key_ = store_test::fixtureKey(keyName);
        if (CryptAcquireContextA(prov_.out(), "signer", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET))
            stored_ = cryptStoreKeyPair(prov_.get(), slot, key_.get(), 0, nullptr) == TRUE;
        for (const char* name : {"ca", "user1", "user2"})
            testing_support::runCommand("openssl x509 -inform DER -in " +
                                        pfxFixture(std::string(name) + ".der") + " -out " +
                                        file(std::string(name) + ".pem"));
    }
    bool ready() const { return stored_ && key_; }
    HCRYPTPROV prov() const { return prov_.get(); }
    DWORD slot() const { return slot_; }
    EVP_PKEY* key() const { return key_.get(); }
    const TempHome& home() const { return home_; }
    std::string file(const std::string& name) const { return home_.path() + "/" + name; }
    // Runs a command and gives its exit status; its output goes into *out when given.
    int run(const std::string& command, std::string* out = nullptr) const {
        int status = -1;
        std::string text = testing_support::runCommand(command + " 2>&1", &status);
        if (out) *out = text;
        return status;
    }

  private:
    TempHome home_;
    openssl::EvpPkeyPtr key_;
    CryptProvHolder prov_;
    DWORD slot_;
    bool stored_ = false;
};

}  // namespace signing_test
