// One X.509 certificate and the fields the control shows, compares and returns, as narrow
// text in the process's ANSI code page. A view is a short-lived value of one operation;
// it is never copied.
#pragma once

#include <cstdint>
#include <string>

#include "core/byte_buffer.h"
#include "platform/crypt/wincrypt.h"

class CertView {
  public:
    // An empty view: not valid, every text empty.
    CertView() = default;
    // An empty view, then fromEncoded(bytes, length).
    CertView(const BYTE* bytes, int32_t length);
    // An empty view, then fromContext(context).
    explicit CertView(PCCERT_CONTEXT context);
    // reset().
    ~CertView();
    CertView(const CertView&) = delete;
    CertView& operator=(const CertView&) = delete;

    // Releases the copy of the encoding and frees the context if the view created it; the
    // view is empty afterwards. Idempotent.
    void reset();
    // reset(), then parses a copy of the bytes; the view owns the context it creates.
    // False (view empty) for null bytes, length < 1 or bytes the platform cannot parse.
    bool fromEncoded(const BYTE* bytes, int32_t length);
    // reset(), then borrows the caller's context (which must outlive the view and which
    // the caller frees) and copies its encoding. False (view empty) for a null context or
    // one without encoded bytes.
    bool fromContext(PCCERT_CONTEXT context);

    bool valid() const { return valid_; }
    // The parsed certificate (null when not valid); still the view's or the lender's.
    PCCERT_CONTEXT context() const { return context_; }
    // The view's copy of the certificate's encoding.
    const ByteBuffer& encoded() const { return encoded_; }

    // Every text below is empty when the view is not valid or the platform call fails.
    // Subject / issuer in the X.500 form (no quoting), at most 511 characters.
    std::string subject() const;
    std::string issuer() const;
    // The first common name of the subject / issuer, at most 99 characters.
    std::string subjectCN() const;
    std::string issuerCN() const;
    // The serial's content octets as upper-case hex, most significant first.
    std::string serialHex() const;
    // SHA-1 of the encoding, 40 upper-case hex digits.
    std::string thumbprintHex() const;
    // Validity times in local time: "YYYYMMDDhhmmss", "YYYY/MM/DD", "YYYY/MM/DD hh:mm:ss".
    std::string notBeforeCompact() const;
    std::string notAfterCompact() const;
    std::string notBeforeDate() const;
    std::string notAfterDate() const;
    std::string notBeforeDateTime() const;
    std::string notAfterDateTime() const;
    // The first byte of the key-usage bits (0x80 digitalSignature ... 0x01 encipherOnly);
    // 0 without the extension.
    uint32_t keyUsage() const { return keyUsageBits_; }
    // True for a self-issued certificate or one that may sign certificates or CRLs.
    bool isCaLike() const;

  private:
    std::string name(bool issuerName) const;
    std::string commonName(bool issuerName) const;
    std::string time(bool notAfter, const char* format, int32_t area) const;
    void readKeyUsage();

    ByteBuffer encoded_;
    uint32_t keyUsageBits_ = 0;
    bool valid_ = false;
    bool ownsContext_ = true;
    PCCERT_CONTEXT context_ = nullptr;
};
