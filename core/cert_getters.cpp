#include "core/cert_getters.h"

#include "core/cert_view.h"

namespace {

template <typename Field>
std::string readField(const ByteBuffer& signerCert, Field field) {
    CertView view(signerCert.data(), signerCert.length());
    return (view.*field)();
}

}  // namespace

std::string certB64(const ByteBuffer& signerCert) {
    ByteBuffer text;
    if (signerCert.empty() || !text.encodeBase64(signerCert.data(), signerCert.length())) return {};
    return text.str();
}

std::string certSubject(const ByteBuffer& c) {
    return readField(c, &CertView::subject);
}
std::string certIssuer(const ByteBuffer& c) {
    return readField(c, &CertView::issuer);
}
std::string certSubjectCN(const ByteBuffer& c) {
    return readField(c, &CertView::subjectCN);
}
std::string certSerial(const ByteBuffer& c) {
    return readField(c, &CertView::serialHex);
}
std::string certNotBefore(const ByteBuffer& c) {
    return readField(c, &CertView::notBeforeCompact);
}
std::string certNotAfter(const ByteBuffer& c) {
    return readField(c, &CertView::notAfterCompact);
}
std::string certFinger(const ByteBuffer& c) {
    return readField(c, &CertView::thumbprintHex);
}
