// ImportPfxToIE, ExportPfxFromIE and ChangePfxPasswd through the engine with scripted
// dialogs; the files they write are read back by the openssl command line. A run through
// the kscapi host imports and exports as a page would.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "control/capi_engine_internal.h"
#include "core/file_replacer.h"
#include "core/paths.h"
#include "pfx/password_change.h"
#include "pfx/pfx_export.h"
#include "platform/crypt/key_container.h"
#include "store/cert_store.h"
#include "tests/dialog_fakes.h"
#include "tests/host_script.h"
#include "tests/openssl_cli.h"
#include "tests/store_support.h"
#include "tests/temp_home.h"
#include "tests/test_support.h"

namespace {

using namespace store_test;
using nlohmann::json;
using testing_support::readFile;
using testing_support::runCommand;
using testing_support::TempDir;
using ui::DialogOutcome;

const std::string kFixtures = std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/pfx";
// rsa1024.pfx: one certificate (digitalSignature, keyEncipherment) with its key, no CA;
// no_cn.pfx: a certificate without a common name with its key.
const std::string kMobileFixtures = std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/mobile";

// One dialog answer: the kind, and the values of an OK (null with cancel / fail).
struct Answer {
    std::string kind;
    DialogOutcome outcome = DialogOutcome::Ok;
    json values = json::object();
};

std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void queueAll(ScriptedDialogs& dialogs, const std::vector<Answer>& answers) {
    for (const Answer& a : answers) dialogs.queue(a.kind, a.outcome, a.values);
}

// The kinds of the dialogs that opened, in order.
std::vector<std::string> opened(const ScriptedDialogs& dialogs) {
    std::vector<std::string> kinds;
    for (const json& line : dialogs.lines)
        if (line.contains("dialog")) kinds.push_back(line["dialog"]);
    return kinds;
}

class PfxOperations : public ::testing::Test {
  protected:
    PfxOperations() {
        engine_.defaultFolder = dir_.path();
        for (const char* name : {"rsa1024", "no_cn"})
            sha1_[name] =
                openssl_cli::certFields(kMobileFixtures + "/" + name + ".der", "UTC").sha1;
    }

    // The thumbprints of "MY" by fixture name (certificates of no fixture by thumbprint).
    std::vector<std::string> inMy() {
        std::map<std::string, std::string> names;
        for (const auto& [name, sha1] : sha1_) names[sha1] = name;
        std::vector<std::string> out;
        for (const std::string& t : thumbprints(openSystem("MY").get()))
            out.push_back(names.count(t) ? names[t] : t);
        return out;
    }
    size_t containers() {
        std::vector<KeyContainerRecord> all;
        EXPECT_TRUE(listKeyContainers(all));
        return all.size();
    }
    int32_t import(const std::string& file, int32_t flags = 1) {
        return engine_.ImportPfxToIE(fromUtf8(kFixtures), fromUtf8(file), u"secret", flags, 0);
    }
    TempHome home_;
    TempDir dir_;
    CapiEngine engine_;
    std::map<std::string, std::string> sha1_ = fixtureThumbprints();
};

TEST_F(PfxOperations, Import) {
    struct Case {
        const char* what;
        std::string folder, name, password;
        int32_t flags, keyUsage;
        std::vector<Answer> answers;
        int32_t code;
        uint32_t capiError;
        std::vector<std::string> installed;
        size_t containers;
        std::vector<std::string> dialogs;
    } cases[] = {
        // clang-format off
        {"all given: no dialog", kFixtures, "modern.pfx", "secret", 1, 0, {},
         0, 0, {"user1"}, 1, {}},
        {"all given and a wrong password: still no dialog", kFixtures, "modern.pfx", "guess", 1, 0, {},
         5208, ERROR_INVALID_PASSWORD, {}, 0, {}},
        {"an empty password opens the dialog, also for a file without one",
         kFixtures, "no_password.pfx", "", 0, 0, {{"PfxFileDialog", DialogOutcome::Ok, {{"password", ""}}}},
         0, 0, {"user1"}, 1, {"PfxFileDialog"}},
        {"a missing name: the dialog's browsed file and password count", kFixtures, "", "ignored", 0, 0,
         {{"PfxFileDialog", DialogOutcome::Ok, {{"browse", kFixtures + "/two_keys.pfx"}, {"password", "secret"}}}},
         0, 0, {"user2", "user1"}, 2, {"PfxFileDialog", "FileChooser"}},
        {"dialog cancelled", "", "", "", 0, 0, {{"PfxFileDialog", DialogOutcome::Cancel, nullptr}},
         5070, 0, {}, 0, {"PfxFileDialog"}},
        {"no dialog", "", "", "", 0, 0, {{"PfxFileDialog", DialogOutcome::Failed, nullptr}},
         5002, 0, {}, 0, {}},
        {"no such file", kFixtures, "missing.pfx", "secret", 0, 0, {}, 5902, 0, {}, 0, {}},
        {"not a PFX", kFixtures, "ca.der", "secret", 0, 0, {}, 5207, CRYPT_E_ASN1_CORRUPT, {}, 0, {}},
        {"key usage the certificate lacks", kMobileFixtures, "rsa1024.pfx", "secret", 0, 0x40, {},
         5017, 0, {}, 0, {}},
        {"key usage the certificate has", kMobileFixtures, "rsa1024.pfx", "secret", 0, 0xA0, {},
         0, 0, {"rsa1024"}, 1, {}},
        // The last certificate passed over gives the reason: the CA after the user.
        {"key usage lacking, then the CA without a key", kFixtures, "modern.pfx", "secret", 0, 0x40, {},
         5204, 0, {}, 0, {}},
        {"the CA alone", kFixtures, "certs_only.pfx", "secret", 0, 0, {}, 5204, 0, {}, 0, {}},
        {"a key without its certificate", kFixtures, "key_only.pfx", "secret", 0, 0, {}, 5010, 0, {}, 0, {}},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempHome home;
        ScriptedDialogs dialogs;
        queueAll(dialogs, c.answers);
        engine_.capiError = 77;
        EXPECT_EQ(engine_.ImportPfxToIE(fromUtf8(c.folder), fromUtf8(c.name), fromUtf8(c.password),
                                        c.flags, c.keyUsage),
                  c.code);
        EXPECT_EQ(engine_.lastError, c.code);
        EXPECT_EQ(engine_.capiError, c.capiError);
        EXPECT_EQ(inMy(), c.installed);
        EXPECT_EQ(containers(), c.containers);
        EXPECT_EQ(opened(dialogs), c.dialogs);
        EXPECT_EQ(dialogs.backend().pending(), 0u);
    }
}

TEST_F(PfxOperations, ImportingTwiceReplacesAndKeepsTheKey) {
    EXPECT_EQ(import("modern.pfx"), 0);
    EXPECT_EQ(import("modern.pfx"), 0);
    EXPECT_EQ(inMy(), std::vector<std::string>{"user1"});
    // The certificate in "MY" names a container that holds its key.
    CertContextHolder cert = findBySha1(openSystem("MY").get(), sha1_["user1"]);
    HCRYPTPROV prov = 0;
    DWORD slot = 0;
    BOOL callerFree = FALSE;
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert.get(), CRYPT_ACQUIRE_COMPARE_KEY_FLAG,
                                                  nullptr, &prov, &slot, &callerFree));
    if (callerFree) CryptReleaseContext(prov, 0);
}

// Each operation's dialog starts from the page's folder (or the default one), the file
// name it would use, and the stored password range; what the user types replaces the
// page's password.
TEST_F(PfxOperations, DialogsOpenWithFolderNameAndRange) {
    ScopedCodePage big5(950);
    ASSERT_EQ(import("modern.pfx"), 0);
    engine_.SetDefaultPfxFileName(u"backup");
    struct Case {
        const char* what;
        int32_t min, max;
        std::function<int32_t(CapiEngine&)> call;
        Answer answer;
        int32_t code;
        json open;
    } cases[] = {
        // clang-format off
        {"import, no folder", 12, 4, [](CapiEngine& e) { return e.ImportPfxToIE(u"", u"", u"secret", 0, 0); },
         {"PfxFileDialog", DialogOutcome::Cancel, nullptr}, 5070,
         {{"dialog", "PfxFileDialog"}, {"title", "憑證匯入"}, {"path", dir_.file("*.pfx")},
          {"min", 4}, {"max", 12}, {"folderMode", false}}},
        {"change, no name", 8, 0,
         [](CapiEngine& e) { return e.ChangePfxPasswd(fromUtf8(kFixtures), u"", u"a", u"b", 0); },
         {"ChangePasswordDialog", DialogOutcome::Cancel, nullptr}, 5070,
         {{"dialog", "ChangePasswordDialog"}, {"title", "變更憑證檔密碼"}, {"path", kFixtures + "/*.pfx"},
          {"min", 0}, {"max", 8}, {"folderMode", false}}},
        {"export, no folder", 0, 0, [](CapiEngine& e) { return e.ExportPfxFromIE(u"", u"", u"pw", 0, 0); },
         {"PfxSaveDialog", DialogOutcome::Ok, {{"password", "typed"}}}, 0,
         {{"dialog", "PfxSaveDialog"}, {"title", "憑證匯出"}, {"path", dir_.file("backup.pfx")},
          {"min", 0}, {"max", 16}, {"folderMode", true}}},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedDialogs dialogs;
        dialogs.queue(c.answer.kind, c.answer.outcome, c.answer.values);
        engine_.PresetPasswdLengthRange(c.min, c.max);
        EXPECT_EQ(c.call(engine_), c.code);
        ASSERT_FALSE(dialogs.lines.empty());
        EXPECT_EQ(dialogs.lines[0], c.open);
    }
    EXPECT_EQ(engine_.GetExportedPfxFilePath(), dir_.path());
    EXPECT_EQ(openssl_cli::pkcs12Counts(dir_.file("backup.pfx"), "typed"), "1/1");
    EXPECT_EQ(openssl_cli::pkcs12Counts(dir_.file("backup.pfx"), "pw"), "refused");
}

TEST_F(PfxOperations, Export) {
    const std::string out = dir_.file("out");
    struct Case {
        const char* what;
        std::vector<std::string> imports;  // files put into "MY" first (exportable)
        int32_t importFlags;
        std::string defaultName;
        std::string subject, folder, password;
        int32_t flags;
        std::vector<Answer> answers;
        int32_t code;
        uint32_t capiError;
        std::string written;  // the file name in `exportedFolder`, empty: nothing written
        std::string exportedFolder;
        std::string contents;  // what openssl reads with the password: keys/certificates
        std::vector<std::string> leftInMy;
    } cases[] = {
        // clang-format off
        {"the common name names the file; the folder is made", {"modern.pfx"}, 1, "", "", out, "pw", 0, {},
         0, 0, "PFX User One.pfx", out, "1/1", {"user1"}},
        {"default name gets the extension", {"modern.pfx"}, 1, "backup", "", out, "pw", 0, {},
         0, 0, "backup.pfx", out, "1/1", {"user1"}},
        {"an extension in any case stays", {"modern.pfx"}, 1, "Backup.PFX", "", out, "pw", 0, {},
         0, 0, "Backup.PFX", out, "1/1", {"user1"}},
        {".pfx anywhere counts", {"modern.pfx"}, 1, "a.pfx.bak", "", out, "pw", 0, {},
         0, 0, "a.pfx.bak", out, "1/1", {"user1"}},
        {"no common name", {}, 1, "", "", out, "pw", 0, {}, 0, 0, ".pfx", out, "1/1", {"no_cn"}},
        {"a name with the separator", {"modern.pfx"}, 1, "../escape", "", out, "pw", 0, {},
         5402, 0, "", "", "", {"user1"}},
        {"a name with the separator and its extension", {"modern.pfx"}, 1, "sub/x.pfx", "", out, "pw", 0, {},
         5402, 0, "", "", "", {"user1"}},
        {"a missing folder two levels deep", {"modern.pfx"}, 1, "", "", out + "/a/b", "pw", 0, {},
         1001, 0, "", "", "", {"user1"}},
        {"a file where the folder should be", {"modern.pfx"}, 1, "", "", kFixtures + "/modern.pfx", "pw", 0, {},
         1001, 0, "", "", "", {"user1"}},
        {"a key not exportable", {"modern.pfx"}, 0, "", "", out, "pw", 0, {},
         5205, NTE_BAD_KEY, "", "", "", {"user1"}},
        {"nothing matches", {"modern.pfx"}, 1, "", "S_CN=Nobody", out, "pw", 0, {},
         5010, CRYPT_E_NOT_FOUND, "", "", "", {"user1"}},
        {"0x1000 takes it out of MY once written", {"modern.pfx"}, 1, "", "", out, "pw", 0x1000, {},
         0, 0, "PFX User One.pfx", out, "1/1", {}},
        {"0x1000 keeps it when nothing was written", {"modern.pfx"}, 1, "", "", out + "/a/b", "pw", 0x1000, {},
         1001, 0, "", "", "", {"user1"}},
        {"two candidates: the list chooses", {"two_keys.pfx"}, 1, "", "", out, "pw", 0,
         {{"CertListDialog", DialogOutcome::Ok, {{"index", 1}}}},
         0, 0, "PFX User One.pfx", out, "1/1", {"user2", "user1"}},
        {"two candidates: the list cancelled", {"two_keys.pfx"}, 1, "", "", out, "pw", 0,
         {{"CertListDialog", DialogOutcome::Cancel, nullptr}},
         5070, 0, "", "", "", {"user2", "user1"}},
        {"an empty password asks for folder and password", {"modern.pfx"}, 1, "", "", out, "", 0,
         {{"PfxSaveDialog", DialogOutcome::Ok, {{"browse", dir_.file("picked")}, {"password", "typed"}}}},
         0, 0, "PFX User One.pfx", dir_.file("picked"), "1/1", {"user1"}},
        {"save dialog cancelled", {"modern.pfx"}, 1, "", "", "", "pw", 0,
         {{"PfxSaveDialog", DialogOutcome::Cancel, nullptr}}, 5070, 0, "", "", "", {"user1"}},
        {"no save dialog", {"modern.pfx"}, 1, "", "", "", "pw", 0,
         {{"PfxSaveDialog", DialogOutcome::Failed, nullptr}}, 5002, 0, "", "", "", {"user1"}},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempHome home;
        std::filesystem::remove_all(out);
        std::filesystem::remove_all(dir_.file("picked"));
        for (const std::string& file : c.imports)
            ASSERT_EQ(engine_.ImportPfxToIE(fromUtf8(kFixtures), fromUtf8(file), u"secret",
                                            c.importFlags, 0),
                      0);
        if (c.imports.empty()) {
            ASSERT_EQ(
                engine_.ImportPfxToIE(fromUtf8(kMobileFixtures), u"no_cn.pfx", u"secret", 1, 0), 0);
        }
        size_t keys = containers();
        engine_.SetDefaultPfxFileName(fromUtf8(c.defaultName));
        // What an earlier export left is forgotten.
        engine_.exportedPfxPath = "earlier";
        engine_.exportedPfxName = "earlier.pfx";
        ScriptedDialogs dialogs;
        queueAll(dialogs, c.answers);
        EXPECT_EQ(engine_.ExportPfxFromIE(fromUtf8(c.subject), fromUtf8(c.folder),
                                          fromUtf8(c.password), c.flags, 0),
                  c.code);
        EXPECT_EQ(engine_.capiError, c.capiError);
        EXPECT_EQ(engine_.GetExportedPfxFilePath(), c.exportedFolder);
        EXPECT_EQ(engine_.GetExportedPfxFileName(), c.written);
        if (c.written.empty()) {
            EXPECT_TRUE(filesIn(dir_.path()).empty() ||
                        filesIn(dir_.path()) == std::vector<std::string>{"out"});
            EXPECT_TRUE(filesIn(out).empty());
        } else {
            EXPECT_EQ(filesIn(c.exportedFolder), std::vector<std::string>{c.written});
            std::string password = c.password.empty() ? "typed" : c.password;
            EXPECT_EQ(openssl_cli::pkcs12Counts(joinPath(c.exportedFolder, c.written), password),
                      c.contents);
        }
        EXPECT_EQ(inMy(), c.leftInMy);
        EXPECT_EQ(containers(), keys);  // a removal from "MY" keeps the key container
        EXPECT_EQ(dialogs.backend().pending(), 0u);
    }
}

TEST_F(PfxOperations, ChangePassword) {
    struct Case {
        const char* what;
        std::string source;  // copied to dir/f.pfx with mode 0640
        std::string folder, name, oldPassword, newPassword;
        std::vector<Answer> answers;
        int32_t code;
        uint32_t capiError;
        std::string newContents;  // with the new password: keys/certificates; empty: unchanged
        std::string usedPassword;
    } cases[] = {
        // clang-format off
        {"all given: no dialog", kFixtures + "/two_keys.pfx", dir_.path(), "f.pfx", "secret", "n3w", {},
         0, 0, "2/3", "n3w"},
        {"a wrong old password", kFixtures + "/modern.pfx", dir_.path(), "f.pfx", "guess", "n3w", {},
         5208, ERROR_INVALID_PASSWORD, "", ""},
        {"no such file", kFixtures + "/modern.pfx", dir_.path(), "g.pfx", "secret", "n3w", {},
         5902, 0, "", ""},
        {"the dialog, confirmation equal", kFixtures + "/modern.pfx", dir_.path(), "f.pfx", "", "ignored",
         {{"ChangePasswordDialog", DialogOutcome::Ok, {{"old", "secret"}, {"new", "typed"}, {"confirm", "typed"}}}},
         0, 0, "1/2", "typed"},
        {"the dialog, confirmation differs", kFixtures + "/modern.pfx", dir_.path(), "f.pfx", "secret", "",
         {{"ChangePasswordDialog", DialogOutcome::Ok, {{"old", "secret"}, {"new", "typed"}, {"confirm", "Typed"}}}},
         5209, 0, "", ""},
        {"dialog cancelled", kFixtures + "/modern.pfx", "", "", "", "",
         {{"ChangePasswordDialog", DialogOutcome::Cancel, nullptr}}, 5070, 0, "", ""},
        {"no dialog", kFixtures + "/modern.pfx", "", "", "", "",
         {{"ChangePasswordDialog", DialogOutcome::Failed, nullptr}}, 5002, 0, "", ""},
        {"a key without its certificate would be lost", kFixtures + "/key_only.pfx", dir_.path(), "f.pfx",
         "secret", "n3w", {}, 5205, NTE_BAD_KEY, "", ""},
        {"an EC key would be lost", ecPfxFixture(), dir_.path(), "f.pfx", "secret", "n3w", {},
         5205, NTE_BAD_KEY, "", ""},
        {"an old file: RC2 certificates, signature key", kFixtures + "/legacy.pfx", dir_.path(), "f.pfx",
         "secret", "n3w", {}, 0, 0, "1/2", "n3w"},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempHome home;
        const std::string file = dir_.file("f.pfx");
        std::filesystem::copy_file(c.source, file,
                                   std::filesystem::copy_options::overwrite_existing);
        ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
        const std::string before = readFile(file);
        ScriptedDialogs dialogs;
        queueAll(dialogs, c.answers);
        EXPECT_EQ(engine_.ChangePfxPasswd(fromUtf8(c.folder), fromUtf8(c.name),
                                          fromUtf8(c.oldPassword), fromUtf8(c.newPassword), 7),
                  c.code);
        EXPECT_EQ(engine_.capiError, c.capiError);
        EXPECT_EQ(filesIn(dir_.path()), std::vector<std::string>{"f.pfx"});
        EXPECT_EQ(containers(), 0u);  // the load's containers are gone again
        if (c.newContents.empty()) {
            EXPECT_EQ(readFile(file), before);
        } else {
            EXPECT_EQ(openssl_cli::pkcs12Counts(file, c.usedPassword), c.newContents);
            EXPECT_EQ(openssl_cli::pkcs12Counts(file, "secret"), "refused");
            struct stat st {};
            ASSERT_EQ(::stat(file.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0640u);
        }
        EXPECT_EQ(dialogs.backend().pending(), 0u);
    }
}

// The rewrite goes through a temporary file; a write that fails there, and a process
// killed between the write and the rename, leave the old file whole.
class PfxRewrite : public ::testing::Test {
  protected:
    PfxRewrite() {
        std::filesystem::copy_file(kFixtures + "/two_keys.pfx", dir_.file("f.pfx"));
        before_ = readFile(dir_.file("f.pfx"));
    }
    ErrorCode change(const FileReplacer& writer, ErrorPair& status) {
        return changePfxPassword(dir_.path(), "f.pfx", SecretString("secret"), SecretString("n3w"),
                                 ui::DialogSettings{}, status, writer);
    }
    TempHome home_;
    TempDir dir_;
    std::string before_;
};

TEST_F(PfxRewrite, AFailedWriteLeavesTheOldFileAndNoTemporaryFile) {
    std::string seen;
    FileReplacer failing([&seen](const std::string& temporary) {
        seen = readFile(temporary);
        SetLastError(112);  // the disk is full
        return false;
    });
    ErrorPair status;
    EXPECT_EQ(change(failing, status), 1103);
    EXPECT_EQ(status.capiError, 0u);
    EXPECT_EQ(readFile(dir_.file("f.pfx")), before_);
    EXPECT_EQ(filesIn(dir_.path()), std::vector<std::string>{"f.pfx"});
    // The content was complete and flushed before the rename would have come.
    EXPECT_FALSE(seen.empty());
    Blob written(std::vector<BYTE>(seen.begin(), seen.end()));
    EXPECT_TRUE(PFXVerifyPassword(written.get(), u"n3w", 0));
}

TEST_F(PfxRewrite, AProcessKilledBeforeTheRenameLeavesTheOldFile) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        FileReplacer dying([](const std::string&) {
            raise(SIGKILL);
            return true;
        });
        ErrorPair status;
        change(dying, status);
        _exit(0);
    }
    int wstatus = 0;
    ASSERT_EQ(waitpid(child, &wstatus, 0), child);
    ASSERT_TRUE(WIFSIGNALED(wstatus));
    EXPECT_EQ(WTERMSIG(wstatus), SIGKILL);
    EXPECT_EQ(readFile(dir_.file("f.pfx")), before_);
    // What the crash left beside it is the whole new file under a hidden name.
    std::vector<std::string> files = filesIn(dir_.path());
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].rfind(".f.pfx.", 0), 0u);
    EXPECT_EQ(openssl_cli::pkcs12Counts(dir_.file(files[0]), "n3w"), "2/3");
    // And the next change works on the old file.
    std::filesystem::remove(dir_.file(files[0]));
    ErrorPair status;
    EXPECT_EQ(change(FileReplacer(), status), 0);
    EXPECT_EQ(openssl_cli::pkcs12Counts(dir_.file("f.pfx"), "n3w"), "2/3");
}

TEST(FileReplacer, ModeOwnerLinksAndFailures) {
    TempDir dir;
    testing_support::writeFile(dir.file("old"), "old");
    ASSERT_EQ(::chmod(dir.file("old").c_str(), 0604), 0);
    testing_support::writeFile(dir.file("target"), "target");
    ASSERT_EQ(::symlink(dir.file("target").c_str(), dir.file("link").c_str()), 0);
    std::filesystem::create_directory(dir.file("folder"));
    struct Case {
        const char* what;
        std::string path;
        bool ok;
        DWORD error;
        unsigned mode;
    } cases[] = {
        {"replacing keeps the mode", dir.file("old"), true, 0, 0604},
        {"a new file is private", dir.file("new"), true, 0, 0600},
        {"a link is replaced, not written through", dir.file("link"), true, 0, 0644},
        {"a folder is refused", dir.file("folder"), false, ERROR_ACCESS_DENIED, 0},
        {"a missing folder", dir.file("none/x"), false, ERROR_FILE_NOT_FOUND, 0},
        {"no name", dir.path() + "/", false, ERROR_INVALID_PARAMETER, 0},
    };
    const std::string content = "new content";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetLastError(0);
        EXPECT_EQ(FileReplacer().replace(c.path, reinterpret_cast<const BYTE*>(content.data()),
                                         content.size()),
                  c.ok);
        if (!c.ok) {
            EXPECT_EQ(GetLastError(), c.error);
            continue;
        }
        EXPECT_EQ(readFile(c.path), content);
        struct stat st {};
        ASSERT_EQ(::lstat(c.path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, c.mode);
    }
    EXPECT_EQ(readFile(dir.file("target")), "target");
    EXPECT_EQ(filesIn(dir.path()),
              (std::vector<std::string>{"folder", "link", "new", "old", "target"}));
}

TEST(JoinPath, SeparatorOnlyWhereNeeded) {
    struct Case {
        std::string folder, name, path;
    } cases[] = {
        {"/certs", "a.pfx", "/certs/a.pfx"},
        {"/certs/", "a.pfx", "/certs/a.pfx"},
        {"/", "a.pfx", "/a.pfx"},
        {"", "a.pfx", "a.pfx"},
    };
    for (const Case& c : cases) EXPECT_EQ(joinPath(c.folder, c.name), c.path) << c.folder;
}

// As a page does it, through the kscapi host: an import, then an export of what it
// installed.
class PfxHost : public host_script::HostScript {};

TEST_F(PfxHost, ImportThenExport) {
    const std::string out = dir_.file("out");
    host_script::Lines lines = run("ImportPfxToIE \"" + kFixtures + "\" modern.pfx secret 1 0\n" +
                                   "SetDefaultPfxFileName backup\n" + "ExportPfxFromIE \"\" \"" +
                                   out + "\" pw 0 0\n" + "GetExportedPfxFileName\n");
    EXPECT_EQ(call(lines, "ImportPfxToIE"),
              json::parse(R"({"op":"ImportPfxToIE","ret":0,"lastError":0,"capiError":0})"));
    EXPECT_EQ(call(lines, "ExportPfxFromIE")["ret"], 0);
    EXPECT_EQ(call(lines, "GetExportedPfxFileName")["ret"], "backup.pfx");
    EXPECT_EQ(openssl_cli::pkcs12Counts(out + "/backup.pfx", "pw"), "1/1");
    // The imported key stays in the home, the export leaves it there.
    EXPECT_EQ(containers(), 1u);
}

}  // namespace
