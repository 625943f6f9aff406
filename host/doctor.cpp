#include "host/doctor.h"

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <ostream>

#include "control/guids.h"
#include "host/bridge/bridge_command.h"
#include "host/bridge/origin_policy.h"
#include "install_paths.h"
#include "platform/com/com_runtime.h"
#include "platform/crypt/key_container.h"
#include "platform/crypt/key_protection.h"
#include "platform/registry/machine_hive.h"
#include "platform/store/user_database.h"
#include "platform/token/pkcs11.h"

namespace host {

namespace {

using Json = nlohmann::ordered_json;

// Puts back every file of the package, the links in /etc included.
constexpr const char* kReinstall = "sudo apt-get install --reinstall kestrune";

DoctorCheck pass(std::string name, std::string detail, bool needed = true) {
    return {std::move(name), true, needed, std::move(detail), {}};
}
DoctorCheck failure(std::string name, std::string detail, std::string fix, bool needed = true) {
    return {std::move(name), false, needed, std::move(detail), std::move(fix)};
}

bool exists(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::exists(path, ec);
}

std::optional<Json> readJson(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    Json j = Json::parse(in, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return std::nullopt;
    return j;
}

DoctorCheck registration() {
    const std::string name = "registration";
    std::string path;
    bool fromMachine = false;
    if (!registeredServerPath(CLSID_KSCapi, path, &fromMachine))
        return failure(name, "KestruneATL.KSCapi is registered neither for the machine nor for you",
                       kReinstall);
    std::string where = std::string(fromMachine ? "machine" : "user") + ": " + path;
    // A user's registration overrides the machine's, so a stale one hides a good install.
    std::string fix = fromMachine ? kReinstall : "kscapi unregister";
    IUnknown* factory = nullptr;
    static const IID kIIDClassFactory = {0x00000001, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    HRESULT hr = CoGetClassObject(CLSID_KSCapi, CLSCTX_INPROC_SERVER, nullptr, kIIDClassFactory,
                                  reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
        return failure(name, where + " does not load (" + code + ")", fix);
    }
    factory->Release();
    return pass(name, where);
}

// The manifest the browser would read (the user's overrides the system's, as both
// browsers search), checked for the name, the executable and the extension it allows.
DoctorCheck manifest(const DoctorPlaces::Browser& browser) {
    const std::string name = "manifest " + browser.name;
    std::string user = bridge::manifestPath(browser.name);
    bool isUser = exists(user);
    std::string path = isUser ? user : browser.systemManifest;
    std::string fix = isUser ? "kscapi bridge install --browser " + browser.name : kReinstall;
    if (!exists(path)) return failure(name, "missing: " + path, fix);
    std::optional<Json> j = readJson(path);
    if (!j) return failure(name, "not a JSON object: " + path, fix);
    if (j->value("name", "") != bridge::kHostName || j->value("type", "") != "stdio")
        return failure(name, path + " does not describe " + bridge::kHostName, fix);
    std::string host = j->value("path", "");
    if (host.empty() || host[0] != '/' || access(host.c_str(), X_OK) != 0)
        return failure(name, path + " names " + host + ", which is no executable", fix);
    bool firefox = browser.name == "firefox";
    std::string wanted =
        firefox ? std::string(bridge::kFirefoxExtensionId)
                : std::string("chrome-extension://") + bridge::kChromiumExtensionId + "/";
    const Json& allowed = (*j)[firefox ? "allowed_extensions" : "allowed_origins"];
    bool allows =
        allowed.is_array() && std::find(allowed.begin(), allowed.end(), wanted) != allowed.end();
    if (!allows) return failure(name, path + " does not allow " + wanted, fix);
    return pass(name, std::string(isUser ? "user" : "system") + ": " + path + " -> " + host +
                          ", allows " + wanted);
}

// The Chromium extension ID of a manifest's "key" (the Base64 of a public key): the first
// 16 bytes of its SHA-256, each hex digit written a..p. Empty when it is no Base64.
std::string extensionIdOf(const std::string& key) {
    std::vector<unsigned char> der(key.size());
    int n = EVP_DecodeBlock(der.data(), reinterpret_cast<const unsigned char*>(key.data()),
                            static_cast<int>(key.size()));
    if (n <= 0) return {};
    n -= static_cast<int>(std::count(key.end() - std::min<size_t>(2, key.size()), key.end(), '='));
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(der.data(), static_cast<size_t>(n), digest);
    std::string id;
    for (int i = 0; i < 16; ++i) {
        id.push_back(static_cast<char>('a' + (digest[i] >> 4)));
        id.push_back(static_cast<char>('a' + (digest[i] & 15)));
    }
    return id;
}

DoctorCheck chromiumExtension(const std::string& folder) {
    const std::string name = "extension chromium";
    std::optional<Json> j = readJson(folder + "/manifest.json");
    std::string id = j ? extensionIdOf(j->value("key", "")) : "";
    if (!j) return failure(name, "no extension for every profile in " + folder, kReinstall);
    if (id != bridge::kChromiumExtensionId)
        return failure(name, folder + " has the ID " + id + ", not the one the manifests allow",
                       kReinstall);
    return pass(name, folder + " as " + id);
}

DoctorCheck firefoxExtension(const std::string& file) {
    const std::string name = "extension firefox";
    std::optional<Json> j = readJson(file);
    std::string url;
    if (j) {
        Json setting = (*j)["policies"]["ExtensionSettings"][bridge::kFirefoxExtensionId];
        if (setting.is_object()) url = setting.value("install_url", "");
    }
    const std::string prefix = "file://";
    if (url.rfind(prefix, 0) != 0 || !exists(url.substr(prefix.size())))
        return failure(name,
                       "no policy installs " + std::string(bridge::kFirefoxExtensionId) +
                           " from a file: " + file,
                       kReinstall);
    return pass(name, url + " by " + file);
}

std::string octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

DoctorCheck database() {
    const std::string name = "database";
    const std::string reset = "kscapi reset   (removes your keys and certificates)";
    int rc = 0;
    DbConnection* db = userDatabase(&rc);
    std::string path = userDatabasePath();
    if (!db)
        return failure(name, "cannot open " + path + " (SQLite " + std::to_string(rc) + ")", reset);
    int version = db->schemaVersion();
    int latest = userDatabaseMigrations().back().version;
    if (version < latest)
        return failure(
            name,
            path + " has schema " + std::to_string(version) + ", not " + std::to_string(latest),
            reset);
    DbStatement check;
    std::string verdict = "unreadable";
    if (check.prepare(*db, "PRAGMA integrity_check") == SQLITE_OK && check.step() == SQLITE_ROW)
        verdict = check.columnText(0);
    if (verdict != "ok")
        return failure(name, path + " fails its integrity check: " + verdict, reset);
    struct stat file {
    }, folder{};
    std::string dir = std::filesystem::path(path).parent_path().string();
    if (stat(path.c_str(), &file) != 0 || stat(dir.c_str(), &folder) != 0)
        return failure(name, "cannot stat " + path, reset);
    if ((file.st_mode & 077) || (folder.st_mode & 077))
        return failure(name,
                       path + " is " + octal(file.st_mode) + " in a folder " +
                           octal(folder.st_mode) + "; others may read your keys",
                       "chmod 600 " + path + " && chmod 700 " + dir);
    return pass(name, path + ", schema " + std::to_string(version) + ", integrity ok, modes " +
                          octal(file.st_mode) + "/" + octal(folder.st_mode));
}

std::vector<DoctorCheck> providers() {
    std::vector<DoctorCheck> out;
    std::vector<machine::FileProblem> problems;
    machine::keys(&problems);
    for (const auto& p : problems)
        out.push_back(failure("machine file", p.file + " is not used: " + p.reason,
                              "fix or remove " + p.file, false));
    for (const CryptProviderInfo& p : cryptProviders()) {
        if (p.builtIn) continue;
        std::string name = "provider " + p.name;
        std::string fix = p.source == "user" ? "kscapi providers remove \"" + p.name + "\""
                                             : "fix or remove " + p.source;
        if (p.backend != "pkcs11") {
            out.push_back(pass(name, p.source + ", software keys", false));
            continue;
        }
        CK_RV rv = CKR_OK;
        pkcs11::ModulePtr module = pkcs11::Module::load(p.module, &rv);
        std::vector<pkcs11::TokenSlot> tokens;
        if (!module || pkcs11::presentTokens(*module, tokens) != CKR_OK) {
            out.push_back(
                failure(name, p.source + ", module " + p.module + " does not load", fix, false));
            continue;
        }
        out.push_back(pass(name,
                           p.source + ", module " + p.module + ", " +
                               std::to_string(tokens.size()) + " token(s) present",
                           false));
    }
    return out;
}

}  // namespace

DoctorPlaces installedPlaces() {
    const std::string file = std::string(bridge::kHostName) + ".json";
    return {{{"chromium", "/etc/chromium/native-messaging-hosts/" + file},
             {"chrome", "/etc/opt/chrome/native-messaging-hosts/" + file},
             {"firefox", "/usr/lib/mozilla/native-messaging-hosts/" + file}},
            "/usr/share/chromium/extensions/kestrune",
            "/etc/firefox/policies/policies.json"};
}

std::string keyProtectionMode() {
    DbConnection* db = userDatabase(nullptr);
    if (!db) return "unknown: the database does not open";
    switch (recordedKeyProtection(*db)) {
        case KeyProtection::SecretService:
            return "sealed under a master key in the desktop's Secret Service";
        case KeyProtection::File:
            return "sealed under a master key in kestrune.key beside the database (mode 0600: no "
                   "stronger than the file's permissions)";
        case KeyProtection::None:
            break;
    }
    return "not set up yet: keys are sealed when the database first stores one";
}

std::vector<DoctorCheck> runDoctorChecks(const DoctorPlaces& places,
                                         const std::string& dialogBackend) {
    std::vector<DoctorCheck> out;
    out.push_back(registration());
    for (const DoctorPlaces::Browser& b : places.browsers) out.push_back(manifest(b));
    out.push_back(chromiumExtension(places.chromiumExtension));
    out.push_back(firefoxExtension(places.firefoxPolicies));
    out.push_back(database());
    out.push_back(pass("key protection", keyProtectionMode(), false));
    for (DoctorCheck& c : providers()) out.push_back(std::move(c));
    if (bridge::developmentMode())
        out.push_back(failure("development mode", "on: http://localhost pages are allowed too",
                              "kscapi bridge develop off", false));
    else
        out.push_back(pass("development mode", "off"));
    std::string origins;
    for (const std::string& o : bridge::rememberedOrigins())
        origins += (origins.empty() ? "" : " ") + o;
    out.push_back(pass("allowed origins", origins.empty() ? "none yet" : origins, false));
    if (dialogBackend == "none")
        out.push_back(failure("dialogs",
                              "none: no display, so no page can be allowed (consent cannot be "
                              "asked)",
                              "start the browser in a desktop session (DISPLAY or "
                              "WAYLAND_DISPLAY set)"));
    else
        out.push_back(pass("dialogs", dialogBackend));
    return out;
}

int runDoctor(const std::vector<std::string>& args, const std::string& dialogBackend,
              std::ostream& out, std::ostream& err) {
    bool json = args.size() == 1 && args[0] == "--json";
    if (!args.empty() && !json) {
        err << "usage: kscapi doctor [--json]\n";
        return 2;
    }
    bool allNeeded = true;
    for (const DoctorCheck& c : runDoctorChecks(installedPlaces(), dialogBackend)) {
        if (!c.ok && c.needed) allNeeded = false;
        if (json) {
            Json line{{"check", c.name}, {"ok", c.ok}, {"needed", c.needed}, {"detail", c.detail}};
            if (!c.ok) line["fix"] = c.fix;
            out << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
            continue;
        }
        const char* verdict = c.ok ? "OK  " : c.needed ? "FAIL" : "WARN";
        out << verdict << "  " << c.name << ": " << c.detail;
        if (!c.ok) out << "\n      fix: " << c.fix;
        out << '\n';
    }
    return allNeeded ? 0 : 1;
}

}  // namespace host
