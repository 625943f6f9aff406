// 10,000 end-entity certificates under one issuer, made once for the benchmarks that
// search a large personal store.
#pragma once

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/crypt/openssl_holders.h"
#include "platform/crypt/wincrypt.h"
#include "platform/text/codepage.h"

namespace bench_store {

constexpr int kCertificates = 10000;

using NamePtr = openssl::Holder<X509_NAME, X509_NAME_free>;

inline NamePtr makeName(const std::vector<std::pair<const char*, std::string>>& parts) {
    NamePtr name(X509_NAME_new());
    for (const auto& [field, value] : parts)
        X509_NAME_add_entry_by_txt(name.get(), field, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(value.data()),
                                   static_cast<int>(value.size()), -1, 0);
    return name;
}

// One end-entity certificate under a fixed issuer: digitalSignature, valid from 2020 + n
// % 5 for 60 years, so that mode 2 has work to do.
inline openssl::X509Ptr makeCertificate(EVP_PKEY* key, const X509_NAME* issuer, int n) {
    openssl::X509Ptr cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set_int64(X509_get_serialNumber(cert.get()), 0x100000 + n);
    X509_set_issuer_name(cert.get(), issuer);
    NamePtr subject = makeName({{"C", "TW"},
                                {"O", "Bench Org"},
                                {"OU", "Unit " + std::to_string(n % 10)},
                                {"CN", "王小明 " + std::to_string(n)}});
    X509_set_subject_name(cert.get(), subject.get());
    const long year = 365L * 24 * 3600;
    ASN1_TIME_set(X509_getm_notBefore(cert.get()), 1577836800 + (n % 5) * year);
    ASN1_TIME_set(X509_getm_notAfter(cert.get()), 1577836800 + 60 * year + (n % 7) * year);
    X509_set_pubkey(cert.get(), key);
    X509_EXTENSION* usage =
        X509V3_EXT_conf_nid(nullptr, nullptr, NID_key_usage, "critical,digitalSignature");
    X509_add_ext(cert.get(), usage, -1);
    X509_EXTENSION_free(usage);
    X509_sign(cert.get(), key, EVP_sha256());
    return cert;
}

// The personal store's contents, made once for every benchmark.
class Store {
  public:
    Store() {
        SetProcessAnsiCodePage(950);
        openssl::EvpPkeyPtr key(EVP_EC_gen("P-256"));
        NamePtr issuer = makeName({{"C", "TW"}, {"O", "Bench CA"}, {"CN", "Bench Issuing CA"}});
        contexts_.reserve(kCertificates);
        for (int n = 0; n < kCertificates; ++n) {
            openssl::X509Ptr cert = makeCertificate(key.get(), issuer.get(), n);
            unsigned char* der = nullptr;
            int length = i2d_X509(cert.get(), &der);
            openssl::Bytes owned(der);
            if (length <= 0) continue;
            if (PCCERT_CONTEXT context = CertCreateCertificateContext(
                    X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der, static_cast<DWORD>(length)))
                contexts_.push_back(context);
        }
    }
    ~Store() {
        for (PCCERT_CONTEXT context : contexts_) CertFreeCertificateContext(context);
    }
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    const std::vector<PCCERT_CONTEXT>& contexts() const { return contexts_; }

  private:
    std::vector<PCCERT_CONTEXT> contexts_;
};

inline const Store& store() {
    static Store instance;
    return instance;
}

// The same certificates in a persisted personal store "MY" of a throw-away home: the
// search the operations run, enumeration from the user database included.
class PersonalStore {
  public:
    PersonalStore() {
        char tmpl[] = "/tmp/kscapi-bench-XXXXXX";
        if (const char* dir = mkdtemp(tmpl)) {
            home_ = dir;
            setenv("KSCAPI_HOME", dir, 1);
        }
        HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
        for (PCCERT_CONTEXT context : store().contexts())
            CertAddCertificateContextToStore(my, context, CERT_STORE_ADD_ALWAYS, nullptr);
        CertCloseStore(my, 0);
    }
    ~PersonalStore() {
        if (!home_.empty()) std::filesystem::remove_all(home_);
    }
    PersonalStore(const PersonalStore&) = delete;
    PersonalStore& operator=(const PersonalStore&) = delete;
    const std::string& home() const { return home_; }

  private:
    std::string home_;
};

}  // namespace bench_store
