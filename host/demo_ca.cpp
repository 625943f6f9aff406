#include "host/demo_ca.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace host::demo {
namespace {

using ReqPtr = openssl::Holder<X509_REQ, X509_REQ_free>;
using BioPtr = openssl::Holder<BIO, BIO_free_all>;
using CmsPtr = openssl::Holder<CMS_ContentInfo, CMS_ContentInfo_free>;
using StorePtr = openssl::Holder<X509_STORE, X509_STORE_free>;
using Pkcs7Ptr = openssl::Holder<PKCS7, PKCS7_free>;
using CipherCtxPtr = openssl::Holder<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;
using MdCtxPtr = openssl::Holder<EVP_MD_CTX, EVP_MD_CTX_free>;
using BnPtr = openssl::Holder<BIGNUM, BN_free>;
using ExtensionPtr = openssl::Holder<X509_EXTENSION, X509_EXTENSION_free>;

openssl::X509Ptr parseCertificate(const Bytes& der) {
    const unsigned char* p = der.data();
    return openssl::X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

ReqPtr parseRequest(const Bytes& der) {
    const unsigned char* p = der.data();
    return ReqPtr(d2i_X509_REQ(nullptr, &p, static_cast<long>(der.size())));
}

template <class T, int (*Encode)(const T*, unsigned char**)>
Bytes encode(const T* object) {
    unsigned char* out = nullptr;
    int length = Encode(object, &out);
    if (length <= 0) return {};
    Bytes bytes(out, out + length);
    OPENSSL_free(out);
    return bytes;
}

bool addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
    return extension && X509_add_ext(certificate, extension.get(), -1);
}

bool randomSerial(X509* certificate) {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
    bytes[0] &= 0x7F;  // positive
    bytes[0] |= 0x40;  // and of full length
    BnPtr serial(BN_bin2bn(bytes, sizeof bytes, nullptr));
    return serial && BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate));
}

std::string commonName(X509* certificate) {
    X509_NAME* name = X509_get_subject_name(certificate);
    int index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (index < 0) return {};
    unsigned char* utf8 = nullptr;
    int length =
        ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
    if (length < 0) return {};
    std::string text(reinterpret_cast<char*>(utf8), static_cast<size_t>(length));
    OPENSSL_free(utf8);
    return text;
}

}  // namespace

bool DemoCa::create() {
    key_.reset(EVP_RSA_gen(2048));
    root_.reset(X509_new());
    if (!key_ || !root_) return false;
    X509* x = root_.get();
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "C", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("TW"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Kestrune Demo"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Kestrune Demo Root CA"), -1,
                               -1, 0);
    bool ok = X509_set_version(x, 2) && randomSerial(x) && X509_set_issuer_name(x, name) &&
              X509_gmtime_adj(X509_getm_notBefore(x), -3600) &&
              X509_gmtime_adj(X509_getm_notAfter(x), 10L * 365 * 24 * 3600) &&
              X509_set_pubkey(x, key_.get()) &&
              addExtension(x, x, NID_basic_constraints, "critical,CA:TRUE") &&
              addExtension(x, x, NID_key_usage, "critical,keyCertSign,cRLSign") &&
              addExtension(x, x, NID_subject_key_identifier, "hash") &&
              X509_sign(x, key_.get(), EVP_sha256()) > 0;
    if (ok) rootDer_ = encode<X509, i2d_X509>(x);
    ERR_clear_error();
    return ok && !rootDer_.empty();
}

Bytes DemoCa::issue(const Bytes& request, std::string& why) const {
    ReqPtr req = parseRequest(request);
    if (!req) {
        why = "the request does not decode";
        return {};
    }
    EVP_PKEY* subjectKey = X509_REQ_get0_pubkey(req.get());
    if (!subjectKey || X509_REQ_verify(req.get(), subjectKey) != 1) {
        why = "the request's signature does not verify";
        ERR_clear_error();
        return {};
    }
    openssl::X509Ptr certificate(X509_new());
    X509* x = certificate.get();
    bool ok = x && X509_set_version(x, 2) && randomSerial(x) &&
              X509_set_subject_name(x, X509_REQ_get_subject_name(req.get())) &&
              X509_set_issuer_name(x, X509_get_subject_name(root_.get())) &&
              X509_gmtime_adj(X509_getm_notBefore(x), -60) &&
              X509_gmtime_adj(X509_getm_notAfter(x), 365L * 24 * 3600) &&
              X509_set_pubkey(x, subjectKey) &&
              addExtension(x, root_.get(), NID_basic_constraints, "CA:FALSE") &&
              addExtension(x, root_.get(), NID_key_usage,
                           "critical,digitalSignature,nonRepudiation,keyEncipherment") &&
              addExtension(x, root_.get(), NID_authority_key_identifier, "keyid") &&
              X509_sign(x, key_.get(), EVP_sha256()) > 0;
    ERR_clear_error();
    if (!ok) {
        why = "OpenSSL could not issue the certificate";
        return {};
    }
    return encode<X509, i2d_X509>(x);
}

Bytes DemoCa::certificateChain(const std::vector<Bytes>& certificates) {
    Pkcs7Ptr p7(PKCS7_new());
    if (!p7 || !PKCS7_set_type(p7.get(), NID_pkcs7_signed) ||
        !PKCS7_content_new(p7.get(), NID_pkcs7_data))
        return {};
    for (const Bytes& der : certificates) {
        openssl::X509Ptr certificate = parseCertificate(der);
        if (!certificate || !PKCS7_add_certificate(p7.get(), certificate.get())) return {};
    }
    return encode<PKCS7, i2d_PKCS7>(p7.get());
}

bool describeRequest(const Bytes& request, std::string& subject, bool& verified) {
    ReqPtr req = parseRequest(request);
    if (!req) return false;
    EVP_PKEY* key = X509_REQ_get0_pubkey(req.get());
    verified = key && X509_REQ_verify(req.get(), key) == 1;
    BioPtr out(BIO_new(BIO_s_mem()));
    X509_NAME_print_ex(out.get(), X509_REQ_get_subject_name(req.get()), 0,
                       XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* text = nullptr;
    long length = BIO_get_mem_data(out.get(), &text);
    subject.assign(text, static_cast<size_t>(length));
    ERR_clear_error();
    return true;
}

bool verifyPkcs1(const Bytes& certificate, const Bytes& content, const Bytes& signature,
                 const char* digestName) {
    openssl::X509Ptr x = parseCertificate(certificate);
    MdCtxPtr context(EVP_MD_CTX_new());
    bool ok = x && context &&
              EVP_DigestVerifyInit_ex(context.get(), nullptr, digestName, nullptr, nullptr,
                                      X509_get0_pubkey(x.get()), nullptr) == 1 &&
              EVP_DigestVerify(context.get(), signature.data(), signature.size(), content.data(),
                               content.size()) == 1;
    ERR_clear_error();
    return ok;
}

bool verifyPkcs7(const Bytes& message, const Bytes& root, const Bytes& content, bool detached,
                 std::string& signer) {
    BioPtr in(BIO_new_mem_buf(message.data(), static_cast<int>(message.size())));
    CmsPtr cms(d2i_CMS_bio(in.get(), nullptr));
    openssl::X509Ptr anchor = parseCertificate(root);
    StorePtr store(X509_STORE_new());
    if (!cms || !anchor || !store || !X509_STORE_add_cert(store.get(), anchor.get())) {
        ERR_clear_error();
        return false;
    }
    BioPtr supplied(detached ? BIO_new_mem_buf(content.data(), static_cast<int>(content.size()))
                             : nullptr);
    BioPtr out(BIO_new(BIO_s_mem()));
    bool ok =
        CMS_verify(cms.get(), nullptr, store.get(), supplied.get(), out.get(), CMS_BINARY) == 1;
    if (ok) {
        char* data = nullptr;
        long length = BIO_get_mem_data(out.get(), &data);
        ok = static_cast<size_t>(length) == content.size() &&
             std::equal(content.begin(), content.end(), reinterpret_cast<uint8_t*>(data));
        STACK_OF(X509)* signers = CMS_get0_signers(cms.get());
        if (signers && sk_X509_num(signers) > 0) signer = commonName(sk_X509_value(signers, 0));
        sk_X509_free(signers);
    }
    ERR_clear_error();
    return ok;
}

Bytes decryptDesEde3(const Bytes& cipherText, const Bytes& key) {
    if (key.size() != 24) return {};
    CipherCtxPtr context(EVP_CIPHER_CTX_new());
    const unsigned char iv[8] = {};
    Bytes plain(cipherText.size() + 8);
    int first = 0, last = 0;
    bool ok = context &&
              EVP_DecryptInit_ex(context.get(), EVP_des_ede3_cbc(), nullptr, key.data(), iv) &&
              EVP_DecryptUpdate(context.get(), plain.data(), &first, cipherText.data(),
                                static_cast<int>(cipherText.size())) &&
              EVP_DecryptFinal_ex(context.get(), plain.data() + first, &last);
    ERR_clear_error();
    if (!ok) {
        OPENSSL_cleanse(plain.data(), plain.size());
        return {};
    }
    plain.resize(static_cast<size_t>(first + last));
    return plain;
}

Bytes rsaModulus(const Bytes& certificate) {
    openssl::X509Ptr x = parseCertificate(certificate);
    BIGNUM* n = nullptr;
    if (!x || !EVP_PKEY_get_bn_param(X509_get0_pubkey(x.get()), "n", &n)) {
        ERR_clear_error();
        return {};
    }
    Bytes out(static_cast<size_t>(BN_num_bytes(n)));
    BN_bn2bin(n, out.data());
    BN_free(n);
    return out;
}

}  // namespace host::demo
