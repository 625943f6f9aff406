// A caller-owned list of certificate contexts, filled by the certificate searches.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/crypt/wincrypt.h"

class CertList {
  public:
    CertList() = default;
    // clear().
    ~CertList();
    CertList(const CertList&) = delete;
    CertList& operator=(const CertList&) = delete;

    // Releases every context (CertFreeCertificateContext) and empties the list.
    // Idempotent.
    void clear();
    // Takes over one reference to `context`, which the list releases later; a null
    // context is not added. If the list cannot grow, the reference is released before the
    // allocation failure propagates, so nothing leaks.
    void append(PCCERT_CONTEXT context);

    size_t size() const { return contexts_.size(); }
    bool empty() const { return contexts_.empty(); }
    // The context at `index`, or null past the end. It stays the list's: duplicate it to
    // keep it beyond the list's next clear().
    PCCERT_CONTEXT at(size_t index) const {
        return index < contexts_.size() ? contexts_[index] : nullptr;
    }
    std::vector<PCCERT_CONTEXT>::const_iterator begin() const { return contexts_.begin(); }
    std::vector<PCCERT_CONTEXT>::const_iterator end() const { return contexts_.end(); }

  private:
    std::vector<PCCERT_CONTEXT> contexts_;
};
