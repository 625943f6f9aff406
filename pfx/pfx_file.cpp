#include "pfx/pfx_file.h"

#include <climits>

#include "core/wide_password.h"
#include "platform/system/files.h"
#include "status/error_codes.h"

ErrorCode loadPfxFile(const std::string& path, std::string_view password, int32_t flags,
                      PfxStore& pfx, ErrorPair& status) {
    if (!PathFileExistsA(path.c_str())) {
        status.lastError = err::kFileNotFound;
        return status.lastError;
    }
    status.lastError = pfx.Load(path, password, flags);
    status.capiError = pfx.platformError();
    if (status.capiError == NTE_PERM) status.lastError = err::kAccessDenied;
    return status.lastError;
}

PfxEncodeFailure encodePfx(HCERTSTORE store, std::string_view password, ByteBuffer& out,
                           DWORD& platformError) {
    constexpr DWORD kFlags = EXPORT_PRIVATE_KEYS | REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY;
    out.release();
    platformError = 0;
    WidePassword widePassword(password);
    CRYPT_DATA_BLOB blob{0, nullptr};
    if (!PFXExportCertStore(store, &blob, widePassword.get(), kFlags)) {
        platformError = GetLastError();
        return PfxEncodeFailure::Sizing;
    }
    if (blob.cbData > INT32_MAX || !out.allocate(static_cast<int32_t>(blob.cbData)))
        return PfxEncodeFailure::Allocation;
    blob.pbData = out.data();
    if (!PFXExportCertStore(store, &blob, widePassword.get(), kFlags)) {
        platformError = GetLastError();
        out.release();
        return PfxEncodeFailure::Encoding;
    }
    // The second encoding has fresh salts but the same length; keep exactly what it wrote.
    if (static_cast<int32_t>(blob.cbData) != out.length()) {
        ByteBuffer exact;
        if (!exact.assign(out.data(), static_cast<int32_t>(blob.cbData))) {
            out.release();
            return PfxEncodeFailure::Allocation;
        }
        out = std::move(exact);
    }
    return PfxEncodeFailure::None;
}
