// AcceptPKCS7 through the control with the Base64 of arbitrary bytes, in a throwaway home
// that holds one key container (the key of tests/fixtures/pfx/user1.der) and nothing
// else; every input starts from that same home. The answer is one of the operation's
// codes and the error pair says it; "MY" gains exactly the issued certificate on
// success and nothing otherwise; no key container appears or goes.
#include <filesystem>
#include <string>
#include <vector>

#include "control/ks_capi.h"
#include "core/byte_buffer.h"
#include "fuzz/fuzz_support.h"
#include "platform/crypt/key_container.h"
#include "platform/store/user_database.h"
#include "platform/text/codepage.h"
#include "status/error_codes.h"
#include "store/cert_store.h"

namespace {

std::string g_template;  // the home's database with the one container

size_t containerCount() {
    std::vector<KeyContainerRecord> records;
    FUZZ_CHECK(listKeyContainers(records));
    return records.size();
}

size_t myCount() {
    CertStore my;
    FUZZ_CHECK(my.OpenMy() == err::kSuccess);
    size_t n = 0;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(my.handle(), nullptr); c;
         c = CertEnumCertificatesInStore(my.handle(), c))
        ++n;
    return n;
}

bool allowed(LONG code) {
    for (ErrorCode c :
         {err::kSuccess, err::kBadParameter, err::kBase64, err::kCertFormat, err::kNoKey,
          err::kNoPrivateKey, err::kMyStoreDenied, err::kNoCsp, err::kOpenMyStore})
        if (code == c) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::initialize();
    // The PFX's key stays in its container when the holder closes.
    std::vector<uint8_t> pfx = fuzz::sourceFile("tests/fixtures/pfx/modern.pfx");
    const std::string path = fuzz::fixtures() + "/modern.pfx";
    fuzz::writeFile(path, pfx.data(), pfx.size());
    {
        PfxStore store;
        FUZZ_CHECK(store.Load(path, "secret", 0x1) == err::kSuccess);
        store.setDeleteKeysOnClose(false);
    }
    FUZZ_CHECK(containerCount() == 1);
    closeUserDatabase();
    g_template = fuzz::fixtures() + "/template.db";
    std::filesystem::copy_file(userDatabasePath(), g_template);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0x10000) return 0;
    fuzz::resetHome();
    std::filesystem::copy_file(g_template, userDatabasePath());
    const size_t containers = containerCount(), before = myCount();

    ByteBuffer text;
    if (size > 0) FUZZ_CHECK(text.encodeBase64(data, static_cast<int32_t>(size)));
    std::u16string wide = fromAnsi(text.text());
    BSTR argument = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    FUZZ_CHECK(argument != nullptr);

    KSCapi* control = KSCapi::create();
    FUZZ_CHECK(control != nullptr);
    LONG ret = -1, code = -1;
    FUZZ_CHECK(control->AcceptPKCS7(argument, &ret) == S_OK);
    FUZZ_CHECK(control->GetErrorCode(&code) == S_OK);
    control->Release();
    SysFreeString(argument);

    FUZZ_CHECK(ret == code && allowed(ret));
    FUZZ_CHECK((size == 0) == (ret == err::kBadParameter));
    FUZZ_CHECK(ret != err::kBase64);  // our own encoding always decodes
    FUZZ_CHECK(myCount() == before + (ret == err::kSuccess ? 1 : 0));
    FUZZ_CHECK(containerCount() == containers);
    return 0;
}
