#include "platform/store/key_prov_info.h"

#include "platform/crypt/size_protocol.h"

KeyProvInfo readKeyProvInfo(PCCERT_CONTEXT certificate) {
    KeyProvInfo info;
    if (!certificate) return info;
    fetchSized(info.storage_, [certificate](BYTE* data, DWORD* size) {
        return CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, data,
                                                 size);
    });
    return info;
}
