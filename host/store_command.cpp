#include "host/store_command.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "core/byte_buffer.h"
#include "core/cert_view.h"
#include "host/arguments.h"
#include "platform/crypt/key_container.h"
#include "platform/crypt/wincrypt.h"
#include "platform/registry/registry.h"
#include "platform/store/root_install.h"
#include "platform/text/ascii.h"
#include "platform/text/codepage.h"
#include "platform/token/pkcs11.h"
#include "platform/token/token_provider.h"
#include "status/error_codes.h"
#include "status/error_messages.h"
#include "store/cert_store.h"
#include "store/filter.h"

namespace {

using Json = nlohmann::ordered_json;

constexpr char kStoreUsage[] =
    "usage: kscapi store list [MY|ROOT|CA]\n"
    "       kscapi store add STORE FILE\n"
    "       kscapi store delete STORE THUMBPRINT\n"
    "       kscapi store import-pfx FILE PASSWORD [--exportable]\n";
constexpr char kFilterUsage[] =
    "usage: kscapi filter FILTER [FLAGS [KEYUSAGE]] [--store MY|ROOT|CA]\n";
constexpr char kKeysUsage[] = "usage: kscapi keys list\n";
constexpr char kProvidersUsage[] =
    "usage: kscapi providers list\n"
    "       kscapi providers list-pkcs11\n"
    "       kscapi providers add-pkcs11 NAME [MODULE] [--token LABEL]\n"
    "       kscapi providers remove NAME\n";

void printLine(std::ostream& os, const Json& j) {
    os << j.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
}

int usage(std::ostream& err, const char* text) {
    err << text;
    return 2;
}

int fail(std::ostream& err, const std::string& message, long long code) {
    printLine(err, Json{{"error", message}, {"code", code}});
    return 1;
}

// A failure of the control's own kind: its code, message and the platform's value.
int failWith(std::ostream& err, ErrorCode code, DWORD capiError) {
    printLine(
        err,
        Json{{"error", ansiToUtf8(errorMessage(code))}, {"code", code}, {"capiError", capiError}});
    return 1;
}

// Text from the shell in the ANSI code page; false when the code page lacks a character.
bool toAnsiArg(const std::string& utf8, std::string& ansi) {
    ansi = utf8ToAnsi(utf8);
    return ansiToUtf8(ansi) == utf8;
}

bool storeName(const std::string& arg, std::string& name) {
    name = text::asciiUpper(arg);
    return name == "MY" || name == "ROOT" || name == "CA";
}

Json optionalText(LPCWSTR text) {
    return text ? Json(toUtf8(text)) : Json(nullptr);
}

bool hasPrivateKey(PCCERT_CONTEXT cert) {
    HCRYPTPROV provider = 0;
    BOOL callerFree = FALSE;
    if (!CryptAcquireCertificatePrivateKey(cert, CRYPT_ACQUIRE_SILENT_FLAG, nullptr, &provider,
                                           nullptr, &callerFree))
        return false;
    if (callerFree) CryptReleaseContext(provider, 0);
    return true;
}

Json certificateJson(PCCERT_CONTEXT cert) {
    CertView view(cert);
    KeyProvInfo info = readKeyProvInfo(cert);
    return Json{{"thumbprint", view.thumbprintHex()},
                {"subject", ansiToUtf8(view.subject())},
                {"issuer", ansiToUtf8(view.issuer())},
                {"serial", view.serialHex()},
                {"notBefore", view.notBeforeCompact()},
                {"notAfter", view.notAfterCompact()},
                {"keyUsage", view.keyUsage()},
                {"hasKey", hasPrivateKey(cert)},
                {"container", info ? optionalText(info->pwszContainerName) : Json(nullptr)},
                {"provider", info ? optionalText(info->pwszProvName) : Json(nullptr)}};
}

// Closes a store handle at the end of a command.
class OpenStore {
  public:
    explicit OpenStore(const std::string& name) : store_(CertOpenSystemStoreA(0, name.c_str())) {}
    ~OpenStore() {
        if (store_) CertCloseStore(store_, 0);
    }
    OpenStore(const OpenStore&) = delete;
    OpenStore& operator=(const OpenStore&) = delete;
    HCERTSTORE get() const { return store_; }

  private:
    HCERTSTORE store_;
};

int listStore(const std::string& name, std::ostream& out, std::ostream& err) {
    OpenStore store(name);
    if (!store.get()) return fail(err, "the store cannot be opened", GetLastError());
    for (PCCERT_CONTEXT cert = CertEnumCertificatesInStore(store.get(), nullptr); cert;
         cert = CertEnumCertificatesInStore(store.get(), cert))
        printLine(out, certificateJson(cert));
    return 0;
}

int addCertificate(const std::string& name, const std::string& pathAnsi, std::ostream& out,
                   std::ostream& err) {
    ByteBuffer file;
    if (!file.loadFromFile(pathAnsi))
        return fail(err, "the file cannot be read", ERROR_FILE_NOT_FOUND);
    // DER starts with a SEQUENCE; anything else is taken as PEM (or bare Base64).
    ByteBuffer der;
    const ByteBuffer* encoded = &file;
    if (file.data()[0] != 0x30) {
        if (!der.decodeBase64Text(reinterpret_cast<const char*>(file.data())))
            return fail(err, "the file holds no certificate", CRYPT_E_ASN1_BADTAG);
        encoded = &der;
    }
    PCCERT_CONTEXT cert =
        CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, encoded->data(),
                                     static_cast<DWORD>(encoded->length()));
    if (!cert) return fail(err, "the file holds no certificate", GetLastError());
    OpenStore store(name);
    // The user named this file on their own command line: that is their consent.
    RootInstallByUser byUser;
    PCCERT_CONTEXT added = nullptr;
    BOOL ok = store.get() &&
              CertAddCertificateContextToStore(
                  store.get(), cert, CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES, &added);
    DWORD error = GetLastError();
    CertFreeCertificateContext(cert);
    if (!ok) return fail(err, "the certificate cannot be added", error);
    printLine(out, certificateJson(added));
    CertFreeCertificateContext(added);
    return 0;
}

bool parseThumbprint(const std::string& text, std::vector<BYTE>& out) {
    if (text.size() != 40) return false;
    out.clear();
    for (size_t i = 0; i < 40; i += 2) {
        int hi = text::hexDigitValue(text[i]), lo = text::hexDigitValue(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<BYTE>(hi << 4 | lo));
    }
    return true;
}

int deleteCertificates(const std::string& name, const std::vector<BYTE>& sha1, std::ostream& out,
                       std::ostream& err) {
    OpenStore store(name);
    if (!store.get()) return fail(err, "the store cannot be opened", GetLastError());
    CRYPT_HASH_BLOB hash{static_cast<DWORD>(sha1.size()), const_cast<BYTE*>(sha1.data())};
    int count = 0;
    while (PCCERT_CONTEXT cert = CertFindCertificateInStore(store.get(), X509_ASN_ENCODING, 0,
                                                            CERT_FIND_SHA1_HASH, &hash, nullptr)) {
        if (!CertDeleteCertificateFromStore(cert))
            return fail(err, "the certificate cannot be removed", GetLastError());
        ++count;
    }
    if (count == 0) return fail(err, "no certificate with that thumbprint", CRYPT_E_NOT_FOUND);
    ByteBuffer hex;
    hex.encodeHex(sha1.data(), static_cast<int32_t>(sha1.size()));
    printLine(out, Json{{"deleted", hex.str()}, {"count", count}});
    return 0;
}

// What the import operation does: every certificate of the file with a usable private
// key goes into MY, and the keys of those stay.
int importPfx(const std::string& pathAnsi, std::string& passwordAnsi, bool exportable,
              std::ostream& out, std::ostream& err) {
    PfxStore pfx;
    ErrorCode code = pfx.Load(pathAnsi, passwordAnsi, exportable ? 1 : 0);
    OPENSSL_cleanse(passwordAnsi.data(), passwordAnsi.size());
    if (code != 0) return failWith(err, code, pfx.platformError());
    CertStore my;
    if ((code = my.OpenMy()) != 0) return failWith(err, code, my.platformError());
    int added = 0;
    for (PCCERT_CONTEXT cert = CertEnumCertificatesInStore(pfx.handle(), nullptr); cert;
         cert = CertEnumCertificatesInStore(pfx.handle(), cert)) {
        HCRYPTPROV provider = 0;
        if (!CryptAcquireCertificatePrivateKey(cert, CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &provider,
                                               nullptr, nullptr))
            continue;
        PCCERT_CONTEXT inMy = nullptr;
        if (!my.AddKeyedCertificate(cert, &inMy)) continue;
        pfx.setDeleteKeysOnClose(false);
        ++added;
        printLine(out, certificateJson(inMy));
        CertFreeCertificateContext(inMy);
    }
    if (added == 0) return failWith(err, err::kNoPrivateKey, 0);
    return 0;
}

// What in a filter makes the search test no name at all, though the text is not empty:
// the engine then accepts every certificate, which is never what the page meant. Empty
// when there is none.
std::string filterMistake(const std::string& filter, int32_t flags) {
    if (filter.empty()) return std::string();
    std::vector<std::string> alternatives = SplitAlternatives(filter);
    if (alternatives.empty())
        return "no piece of the filter between \"//\" is longer than 3 bytes: every certificate "
               "would pass the name test";
    for (size_t i = 0; i < alternatives.size(); ++i) {
        bool subject = !SplitItems(alternatives[i], "S_").empty();
        bool issuer = !SplitItems(alternatives[i], "I_").empty();
        std::string which = "alternative " + std::to_string(i + 1) + " (\"";
        which += alternatives[i];
        which += "\")";
        if (!subject && !issuer)
            return which + " has no item starting S_ or I_: every certificate would pass it";
        if (!subject && !(flags & kFilterMatchIssuer))
            return which +
                   " has only I_ items, which count only with flag 0x8: every "
                   "certificate would pass it";
    }
    return std::string();
}

bool sameCertificate(PCCERT_CONTEXT a, PCCERT_CONTEXT b) {
    return a->cbCertEncoded == b->cbCertEncoded &&
           std::equal(a->pbCertEncoded, a->pbCertEncoded + a->cbCertEncoded, b->pbCertEncoded);
}

// The search SelectSigner makes, over the named store: the accepted certificates first,
// then every other one with the test that stopped it.
int explainSearch(const std::string& name, const std::string& filter, int32_t flags,
                  int32_t keyUsage, std::ostream& out, std::ostream& err) {
    std::string mistake = filterMistake(filter, flags);
    if (!mistake.empty()) {
        printLine(err, Json{{"error", ansiToUtf8(mistake)}, {"code", ERROR_INVALID_PARAMETER}});
        return 2;
    }
    OpenStore store(name);
    if (!store.get()) return fail(err, "the store cannot be opened", GetLastError());
    CertList accepted;
    DWORD platformError = 0;
    ErrorCode code =
        searchCertificates(enumerateStore(CertEnumCertificatesInStore, store.get()), &accepted,
                           filter, flags, keyUsage, CertSearch::AllWithMode, platformError);
    for (PCCERT_CONTEXT cert : accepted) {
        Json line{{"match", true}};
        line.update(certificateJson(cert));
        printLine(out, line);
    }
    for (PCCERT_CONTEXT cert = CertEnumCertificatesInStore(store.get(), nullptr); cert;
         cert = CertEnumCertificatesInStore(store.get(), cert)) {
        if (std::any_of(accepted.begin(), accepted.end(),
                        [cert](PCCERT_CONTEXT a) { return sameCertificate(a, cert); }))
            continue;
        FilterExplanation why = explainFilter(cert, filter, flags, keyUsage);
        if (why.step == FilterStep::Accepted) {
            why.label = "BEST";
            why.reason = "mode 2 keeps only the best certificate by the order key";
        }
        Json line{{"match", false}};
        line.update(certificateJson(cert));
        line["failed"] = why.label;
        line["reason"] = ansiToUtf8(why.reason);
        printLine(out, line);
    }
    if (accepted.empty())
        return failWith(err, code == 0 ? err::kCertNotFound : code, platformError);
    return 0;
}

}  // namespace

int runStoreCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) return usage(err, kStoreUsage);
    const std::string& command = args[0];
    std::string name;
    if (command == "list" && args.size() <= 2) {
        if (!storeName(args.size() == 2 ? args[1] : "MY", name)) return usage(err, kStoreUsage);
        return listStore(name, out, err);
    }
    if (command == "add" && args.size() == 3) {
        std::string path;
        if (!storeName(args[1], name) || !toAnsiArg(args[2], path)) return usage(err, kStoreUsage);
        return addCertificate(name, path, out, err);
    }
    if (command == "delete" && args.size() == 3) {
        std::vector<BYTE> sha1;
        if (!storeName(args[1], name) || !parseThumbprint(args[2], sha1))
            return usage(err, kStoreUsage);
        return deleteCertificates(name, sha1, out, err);
    }
    if (command == "import-pfx" &&
        (args.size() == 3 || (args.size() == 4 && args[3] == "--exportable"))) {
        std::string path, password;
        if (!toAnsiArg(args[1], path) || !toAnsiArg(args[2], password))
            return usage(err, kStoreUsage);
        return importPfx(path, password, args.size() == 4, out, err);
    }
    return usage(err, kStoreUsage);
}

int runFilterCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::vector<std::string> words;
    std::string name = "MY";
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] != "--store") {
            words.push_back(args[i]);
        } else if (i + 1 >= args.size() || !storeName(args[++i], name)) {
            return usage(err, kFilterUsage);
        }
    }
    if (words.empty() || words.size() > 3) return usage(err, kFilterUsage);
    std::optional<int32_t> flags = words.size() > 1 ? host::parseInt(words[1]) : 0;
    std::optional<int32_t> keyUsage = words.size() > 2 ? host::parseInt(words[2]) : 0;
    std::string filter;
    if (!flags || !keyUsage || !toAnsiArg(words[0], filter)) return usage(err, kFilterUsage);
    return explainSearch(name, filter, *flags, *keyUsage, out, err);
}

int runKeysCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.size() != 1 || args[0] != "list") return usage(err, kKeysUsage);
    std::vector<KeyContainerRecord> containers;
    if (!listKeyContainers(containers))
        return fail(err, "the key containers cannot be read", GetLastError());
    for (const KeyContainerRecord& c : containers) {
        Json slots = Json::array();
        for (const KeyContainerSlot& s : c.slots)
            slots.push_back(
                Json{{"keySpec", s.keySpec},
                     {"slot", s.keySpec == AT_SIGNATURE ? "AT_SIGNATURE" : "AT_KEYEXCHANGE"},
                     {"bits", s.bits},
                     {"exportable", (s.flags & CRYPT_EXPORTABLE) != 0},
                     {"userProtected", (s.flags & CRYPT_USER_PROTECTED) != 0}});
        // A temporary container names the process it belongs to.
        printLine(out, Json{{"provider", c.provider},
                            {"container", c.container},
                            {"slots", slots},
                            {"owner", c.ownerPid ? Json(c.ownerPid) : Json(nullptr)},
                            {"protection", c.protection}});
    }
    return 0;
}

namespace {

LONG setText(HKEY key, const char* name, const std::string& value) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1));
}

int addTokenProvider(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::string name, module, token;
    std::vector<std::string> words;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--token") {
            if (i + 1 >= args.size()) return usage(err, kProvidersUsage);
            token = args[++i];
        } else {
            words.push_back(args[i]);
        }
    }
    if (words.empty() || words.size() > 2) return usage(err, kProvidersUsage);
    module = words.size() == 2 ? words[1] : pkcs11::defaultModulePath();
    if (module.empty()) return fail(err, "no module given and p11-kit's proxy is not installed", 2);
    // A word without a slash names a module of p11-kit's configuration; the registry
    // keeps the library's path, so that what runs is what the user chose now.
    if (module.find('/') == std::string::npos) {
        std::string path = pkcs11::configuredModulePath(module);
        if (path.empty())
            return fail(err, "p11-kit has no module named " + module, ERROR_FILE_NOT_FOUND);
        module = std::move(path);
    }
    std::string ansi;
    if (!toAnsiArg(words[0], ansi) || ansi.empty() || ansi.find('\\') != std::string::npos)
        return fail(err, "the name cannot be a provider's name in this code page", 2);
    if (std::optional<CryptProviderInfo> taken = findCryptProvider(words[0]);
        taken && taken->builtIn)
        return fail(err, "a built-in provider has that name", static_cast<long long>(NTE_EXISTS));
    // A module that does not load now would be offered and fail at every use.
    CK_RV rv = CKR_OK;
    if (!pkcs11::Module::load(module, &rv))
        return fail(err, "the module does not load: " + module, static_cast<long long>(rv));
    RegKeyHolder key;
    std::string path = std::string(kRegisteredProvidersKey) + "\\" + ansi;
    LONG rc = RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, key.out(), nullptr);
    DWORD type = PROV_RSA_FULL;
    if (rc == ERROR_SUCCESS)
        rc = RegSetValueExA(key.get(), "Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type),
                            sizeof type);
    if (rc == ERROR_SUCCESS) rc = setText(key.get(), "Backend", kTokenBackend);
    if (rc == ERROR_SUCCESS) rc = setText(key.get(), "Module", utf8ToAnsi(module));
    if (rc == ERROR_SUCCESS)
        rc = token.empty() ? RegDeleteValueA(key.get(), "Token")
                           : setText(key.get(), "Token", token);
    if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) return fail(err, "the registry cannot be written", rc);
    Json line{{"added", words[0]}, {"type", type}, {"backend", kTokenBackend}, {"module", module}};
    if (!token.empty()) line["token"] = token;
    printLine(out, line);
    return 0;
}

}  // namespace

int runProvidersCommand(const std::vector<std::string>& args, std::ostream& out,
                        std::ostream& err) {
    if (args.empty()) return usage(err, kProvidersUsage);
    if (args[0] == "list" && args.size() == 1) {
        for (const CryptProviderInfo& p : cryptProviders()) {
            Json line{{"name", p.name},
                      {"type", p.type},
                      {"backend", p.backend},
                      {"builtIn", p.builtIn},
                      {"source", p.source}};
            if (!p.module.empty()) line["module"] = p.module;
            if (!p.token.empty()) line["token"] = p.token;
            printLine(out, line);
        }
        return 0;
    }
    if (args[0] == "list-pkcs11" && args.size() == 1) {
        for (const pkcs11::ConfiguredModule& m : pkcs11::configuredModules())
            printLine(out, Json{{"module", m.name}, {"path", m.path}});
        return 0;
    }
    if (args[0] == "add-pkcs11") return addTokenProvider(args, out, err);
    if (args[0] == "remove" && args.size() == 2) {
        std::optional<CryptProviderInfo> found = findCryptProvider(args[1]);
        if (!found || found->builtIn)
            return fail(err, "no registered provider has that name", ERROR_FILE_NOT_FOUND);
        // The machine's providers belong to the package that put their file down.
        if (found->source != "user")
            return fail(err, "defined for the whole machine in " + found->source,
                        ERROR_ACCESS_DENIED);
        std::string path = std::string(kRegisteredProvidersKey) + "\\" + utf8ToAnsi(found->name);
        LONG rc = RegDeleteTreeA(HKEY_CURRENT_USER, path.c_str());
        if (rc != ERROR_SUCCESS) return fail(err, "the registry cannot be written", rc);
        printLine(out, Json{{"removed", found->name}});
        return 0;
    }
    return usage(err, kProvidersUsage);
}
