// The platform's CERT_INFO view of a certificate OpenSSL decoded, with the storage its
// pointers point into, and the calls that read a CERT_INFO.
#pragma once

#include <openssl/x509.h>

#include <deque>
#include <string>
#include <vector>

#include "platform/crypt/wincrypt.h"

// A CERT_INFO and copies of its parts, which live as long as the record: CERT_INFO never
// points into the encoding or into OpenSSL's objects.
class CertInfoRecord {
  public:
    CERT_INFO info{};

    // Copies bytes into storage that lives as long as the record; null for none.
    BYTE* keep(const BYTE* p, size_t n) {
        if (n == 0) return nullptr;
        blobs_.emplace_back(p, p + n);
        return blobs_.back().data();
    }
    LPSTR keepText(std::string text) {
        texts_.push_back(std::move(text));
        return texts_.back().data();
    }
    std::vector<CERT_EXTENSION>& extensions() { return extensions_; }

  private:
    // Deques never move their elements, so the pointers CERT_INFO holds stay valid.
    std::deque<std::vector<BYTE>> blobs_;
    std::deque<std::string> texts_;
    std::vector<CERT_EXTENSION> extensions_;
};

// Fills record.info from the decoded certificate. False when a part does not convert
// (OpenSSL's error queue may then hold entries).
bool buildCertInfo(X509* cert, CertInfoRecord& record);
