// PfxStore::Load on arbitrary bytes as the file, with a fixed password and then the
// empty one, in a throwaway home: a defined code every time, a loaded store whose
// certificates and key properties read back, and no key container left behind once the
// holder is closed.
#include <string>
#include <vector>

#include "core/cert_view.h"
#include "fuzz/fuzz_support.h"
#include "platform/crypt/key_container.h"
#include "status/error_codes.h"
#include "store/cert_store.h"

namespace {

size_t containerCount() {
    std::vector<KeyContainerRecord> records;
    FUZZ_CHECK(listKeyContainers(records));
    return records.size();
}

void readBack(PfxStore& pfx) {
    for (PCCERT_CONTEXT cert = CertEnumCertificatesInStore(pfx.handle(), nullptr); cert;
         cert = CertEnumCertificatesInStore(pfx.handle(), cert)) {
        CertView view(cert);
        FUZZ_CHECK(view.valid());
        view.subject();
        view.thumbprintHex();
        KeyProvInfo info = pfx.GetKeyProvInfo(cert);
        if (info) FUZZ_CHECK(info->pwszContainerName != nullptr);
    }
    CertList list;
    ErrorCode found = pfx.FindFirstCertificate(list, "", 0, 0);
    FUZZ_CHECK(found == err::kSuccess || found == err::kCertNotFound);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::fixtures() + "/input.pfx";
    fuzz::writeFile(path, data, size);
    const size_t before = containerCount();
    {
        PfxStore pfx;
        // The second load closes the first store (deleting its containers) before it
        // reads the file again.
        for (const char* password : {"secret", ""}) {
            ErrorCode code = pfx.Load(path, password, 0x1);
            if (size == 0) {
                FUZZ_CHECK(code == err::kExchangeFileRead);
                continue;
            }
            FUZZ_CHECK(code == err::kSuccess || code == err::kPkcs12Format ||
                       code == err::kPkcs12Password);
            FUZZ_CHECK((code == err::kSuccess) == (pfx.handle() != nullptr));
            if (code == err::kSuccess) readBack(pfx);
        }
    }
    FUZZ_CHECK(containerCount() == before);
    return 0;
}
