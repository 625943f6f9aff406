#include "store/cert_list.h"

CertList::~CertList() {
    clear();
}

void CertList::clear() {
    for (PCCERT_CONTEXT context : contexts_) CertFreeCertificateContext(context);
    contexts_.clear();
}

void CertList::append(PCCERT_CONTEXT context) {
    if (!context) return;
    try {
        contexts_.push_back(context);
    } catch (...) {
        CertFreeCertificateContext(context);
        throw;
    }
}
