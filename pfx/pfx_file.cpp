#include <climits>

#include "core/wide_password.h"
#include "pfx/pfx_file_internal.h"
#include "platform/system/files.h"
#include "status/error_codes.h"

ErrorCode loadPfxFile(const std::string& path, std::string_view password, int32_t flags,
                      PfxStore& pfx, ErrorPair& status) {
    if (!PathFileExistsA(path.c_str())) return status.fail(err::kFileNotFound);
    ErrorCode code = pfx.Load(path, password, flags);
    DWORD platformError = pfx.platformError();
    return status.failWith(platformError == NTE_PERM ? err::kAccessDenied : code, platformError);
}

ErrorCode encodePfx(HCERTSTORE store, std::string_view password, ByteBuffer& out,
                    ErrorCode noBuffer, ErrorCode (*refusal)(DWORD platformError),
                    ErrorPair& status) {
    constexpr DWORD kFlags = EXPORT_PRIVATE_KEYS | REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY;
    out.release();
    WidePassword widePassword(password);
    CRYPT_DATA_BLOB blob{0, nullptr};
    auto refused = [&] {
        DWORD platformError = GetLastError();
        out.release();
        return status.failWith(refusal(platformError), platformError);
    };
    if (!PFXExportCertStore(store, &blob, widePassword.get(), kFlags)) return refused();
    if (blob.cbData > INT32_MAX || !out.allocate(static_cast<int32_t>(blob.cbData)))
        return status.fail(noBuffer);
    blob.pbData = out.data();
    if (!PFXExportCertStore(store, &blob, widePassword.get(), kFlags)) return refused();
    // The second encoding has fresh salts but the same length; keep exactly what it wrote.
    if (static_cast<int32_t>(blob.cbData) != out.length()) {
        ByteBuffer exact;
        if (!exact.assign(out.data(), static_cast<int32_t>(blob.cbData))) {
            out.release();
            return status.fail(noBuffer);
        }
        out = std::move(exact);
    }
    return err::kSuccess;
}
