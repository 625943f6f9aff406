#include "pfx/password_change.h"

#include <set>

#include "core/byte_buffer.h"
#include "core/paths.h"
#include "core/wide_password.h"
#include "pfx/pfx_file_internal.h"
#include "platform/crypt/pkcs12.h"
#include "status/error_codes.h"
#include "store/cert_store.h"
#include "ui/caller_guard.h"

namespace {

struct Passwords {
    std::string folder;
    std::string fileName;
    SecretString oldPassword;
    SecretString newPassword;
};

// Whether the loaded store holds every key the file holds: the load keeps only RSA keys
// whose certificate is in the file, and a rewrite of the store would drop the others.
// 0, 5205 with NTE_BAD_KEY when a key would be lost, or 5401 when the file cannot be
// read again.
ErrorCode checkEveryKeyKept(const std::string& path, const SecretString& password, PfxStore& pfx,
                            ErrorPair& status) {
    ByteBuffer file;
    if (!file.loadFromFile(path)) return status.failWithPlatform(err::kExchangeFileRead);
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(file.length()), file.data()};
    WidePassword widePassword(password.view());
    DWORD keyBags = 0;
    if (!pfxCountKeyBags(&blob, widePassword.get(), &keyBags))
        return status.failWithPlatform(err::kExchangeFileRead);
    std::set<std::u16string> containers;
    for (PCCERT_CONTEXT cert = CertEnumCertificatesInStore(pfx.handle(), nullptr); cert;
         cert = CertEnumCertificatesInStore(pfx.handle(), cert)) {
        KeyProvInfo info = pfx.GetKeyProvInfo(cert);
        if (info && info->pwszContainerName) containers.insert(info->pwszContainerName);
    }
    if (containers.size() < keyBags) return status.failWith(err::kKeyNotExportable, NTE_BAD_KEY);
    return status.lastError;
}

ErrorCode encodingFailure(DWORD platformError) {
    switch (platformError) {
        case ERROR_CANCELLED:
            return err::kCancelled;
        case NTE_NO_KEY:
            return err::kNoPrivateKey;
        case NTE_BAD_KEY:
            return err::kKeyNotExportable;
        default:
            return err::kPfxStoreDenied;
    }
}

}  // namespace

ErrorCode changePfxPassword(const std::string& folder, const std::string& fileName,
                            const SecretString& oldPassword, const SecretString& newPassword,
                            const ui::DialogSettings& dialog, ErrorPair& status,
                            const FileReplacer& writer) {
    Passwords chosen{folder, fileName, oldPassword, newPassword};
    // The file is read and then replaced: the caller's path must do for both.
    if (folder.empty() || fileName.empty() || oldPassword.empty() || newPassword.empty() ||
        !ui::givenFileAccepted(joinPath(folder, fileName),
                               {ui::PathUse::ReadFile, ui::PathUse::WriteFile}, true)) {
        ui::ChangePasswordResult answer =
            ui::launchChangePasswordDialog(ui::makePfxDialogRequest(dialog, folder, fileName));
        if (status.fail(answer.code) != 0) return status.lastError;
        if (answer.newPassword != answer.confirmPassword)
            return status.fail(err::kPasswordMismatch);
        chosen = {answer.folder, answer.fileName, answer.oldPassword, answer.newPassword};
        ui::handChosenFile(chosen.folder, chosen.fileName, ui::PathUse::WriteFile);
    }

    std::string path = joinPath(chosen.folder, chosen.fileName);
    PfxStore pfx;
    // Loaded exportable, whatever the file's keys were before, so that all can be written.
    if (loadPfxFile(path, chosen.oldPassword.view(), 1, pfx, status) != 0) return status.lastError;
    if (!pfx.handle()) return status.fail(err::kPfxStoreDenied);
    if (checkEveryKeyKept(path, chosen.oldPassword, pfx, status) != 0) return status.lastError;
    ByteBuffer content;
    if (encodePfx(pfx.handle(), chosen.newPassword.view(), content, err::kUndefined1103,
                  encodingFailure, status) != 0)
        return status.lastError;
    if (!writer.replace(path, content)) return status.fail(err::kUndefined1103);
    return status.lastError;
}
