// Helpers of the store, key-container and PKCS#12 tests: holders for contexts, stores
// and provider handles, certificates made on the spot, and the PFX fixtures made by
// tests/fixtures/make_pfx.sh.
#pragma once

#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/byte_buffer.h"
#include "platform/crypt/crypt_holders.h"
#include "platform/crypt/openssl_holders.h"
#include "platform/crypt/wincrypt.h"
#include "platform/store/root_install.h"
#include "tests/test_support.h"

namespace store_test {

struct StoreClose {
    void operator()(void* s) const { CertCloseStore(s, 0); }
};
using StorePtr = std::unique_ptr<void, StoreClose>;

inline StorePtr openMemory() {
    return StorePtr(CertOpenStore(CERT_STORE_PROV_MEMORY, X509_ASN_ENCODING, 0, 0, nullptr));
}
inline StorePtr openSystem(const char* name) {
    return StorePtr(CertOpenSystemStoreA(0, name));
}

inline CertContextHolder parse(const std::vector<BYTE>& der) {
    return CertContextHolder(CertCreateCertificateContext(
        X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
}

// A self-signed certificate with the common name `cn` and serial `serial`, made with one
// P-256 key for the whole run (fast; these certificates only need to differ).
inline std::vector<BYTE> makeCert(long serial, const std::string& cn) {
    static EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), serial);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600L * 24 * 365);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
    X509_set_issuer_name(x, name);
    X509_set_pubkey(x, key);
    X509_sign(x, key, EVP_sha256());
    unsigned char* der = nullptr;
    int length = i2d_X509(x, &der);
    std::vector<BYTE> out(der, der + length);
    OPENSSL_free(der);
    X509_free(x);
    return out;
}

// The SHA-1 thumbprint of a context, as upper-case hex.
inline std::string thumbprint(PCCERT_CONTEXT ctx) {
    BYTE hash[20];
    DWORD size = sizeof hash;
    if (!CertGetCertificateContextProperty(ctx, CERT_SHA1_HASH_PROP_ID, hash, &size)) return {};
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (BYTE b : hash) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

// The thumbprints of a store's certificates in enumeration order.
inline std::vector<std::string> thumbprints(HCERTSTORE store) {
    std::vector<std::string> out;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c;
         c = CertEnumCertificatesInStore(store, c))
        out.push_back(thumbprint(c));
    return out;
}

// The store's first certificate with the thumbprint (40 hex digits).
inline CertContextHolder findBySha1(HCERTSTORE store, const std::string& hex) {
    BYTE hash[20];
    for (int i = 0; i < 20; ++i) hash[i] = BYTE(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    CRYPT_HASH_BLOB wanted{20, hash};
    return CertContextHolder(CertFindCertificateInStore(store, X509_ASN_ENCODING, 0,
                                                        CERT_FIND_SHA1_HASH, &wanted, nullptr));
}

// A user property (CERT_FIRST_USER_PROP_ID + offset) as text; empty when absent.
inline std::string userProperty(PCCERT_CONTEXT ctx, DWORD offset) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(ctx, CERT_FIRST_USER_PROP_ID + offset, nullptr, &size))
        return {};
    std::string value(size, '\0');
    CertGetCertificateContextProperty(ctx, CERT_FIRST_USER_PROP_ID + offset, value.data(), &size);
    return value;
}
inline bool setUserProperty(PCCERT_CONTEXT ctx, DWORD offset, const std::string& value) {
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(value.size()),
                         reinterpret_cast<BYTE*>(const_cast<char*>(value.data()))};
    return CertSetCertificateContextProperty(ctx, CERT_FIRST_USER_PROP_ID + offset, 0, &blob);
}

// ---- PFX fixtures

inline std::string pfxFixture(const std::string& file) {
    return std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/pfx/" + file;
}

inline std::vector<BYTE> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(in), {});
}

// NAME=SHA-1 lines of pfx/thumbprints.txt (openssl x509 -fingerprint).
inline std::map<std::string, std::string> fixtureThumbprints() {
    std::map<std::string, std::string> out;
    std::ifstream in(pfxFixture("thumbprints.txt"));
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return out;
}

// A fixture's bytes (or any bytes) as the data blob the PKCS#12 calls take.
struct Blob {
    explicit Blob(const std::string& file) : bytes(readBytes(pfxFixture(file))) {}
    explicit Blob(std::vector<BYTE> b) : bytes(std::move(b)) {}
    const CRYPT_DATA_BLOB* get() {
        blob = {static_cast<DWORD>(bytes.size()), bytes.data()};
        return &blob;
    }
    std::vector<BYTE> bytes;
    CRYPT_DATA_BLOB blob{};
};

// A fixture's RSA key (pfx/NAME.key.pem).
inline openssl::EvpPkeyPtr fixtureKey(const std::string& name) {
    FILE* f = std::fopen(pfxFixture(name + ".key.pem").c_str(), "r");
    if (!f) return nullptr;
    openssl::EvpPkeyPtr key(PEM_read_PrivateKey(f, nullptr, nullptr, nullptr));
    std::fclose(f);
    return key;
}

// A PFX file with an EC key (a self-signed P-256 certificate, CN=EC, password "secret"),
// made once per run by the openssl command line in a folder removed at exit.
inline std::string ecPfxFixture() {
    static testing_support::TempDir dir;
    static const bool made = [] {
        const std::string d = dir.path() + "/";
        int status = -1;
        testing_support::runCommand(
            "(openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=EC "
            "-keyout " +
                d + "ec.key -out " + d + "ec.pem && openssl pkcs12 -export -in " + d +
                "ec.pem -inkey " + d + "ec.key -passout pass:secret -out " + d +
                "ec.pfx) >/dev/null 2>&1",
            &status);
        return status == 0;
    }();
    (void)made;
    return dir.file("ec.pfx");
}

// Adds the DER certificate at `derPath` to the system store `store` with a key-provider
// property naming `container` (type 1, AT_KEYEXCHANGE, the default provider).
inline void addNamingContainer(const char* store, const std::string& derPath,
                               const std::string& container) {
    std::string der = testing_support::readFile(derPath);
    CertContextHolder cert(CertCreateCertificateContext(X509_ASN_ENCODING,
                                                        reinterpret_cast<const BYTE*>(der.data()),
                                                        static_cast<DWORD>(der.size())));
    ASSERT_TRUE(cert);
    std::u16string wide(container.begin(), container.end());
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = wide.data();
    info.dwProvType = PROV_RSA_FULL;
    info.dwKeySpec = AT_KEYEXCHANGE;
    ASSERT_TRUE(
        CertSetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    RootInstallByUser fixture;  // set-up, not a caller to ask about
    StorePtr target(CertOpenSystemStoreA(0, store));
    ASSERT_NE(target, nullptr);
    EXPECT_TRUE(
        CertAddCertificateContextToStore(target.get(), cert.get(), CERT_STORE_ADD_ALWAYS, nullptr));
}

}  // namespace store_test
