#include "platform/store/key_prov_info.h"

KeyProvInfo readKeyProvInfo(PCCERT_CONTEXT certificate, DWORD& platformError) {
    KeyProvInfo info;
    if (!certificate) return info;
    DWORD size = 0;
    if (CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr,
                                          &size)) {
        std::unique_ptr<uint64_t[]> storage(new uint64_t[(size + 7) / 8]());
        if (CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID,
                                              storage.get(), &size))
            info.storage_ = std::move(storage);
    }
    platformError = GetLastError();
    return info;
}
