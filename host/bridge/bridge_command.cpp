#include "host/bridge/bridge_command.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "host/bridge/origin_policy.h"
#include "host/bridge/page_guard.h"
#include "host/module_commands.h"
#include "platform/registry/registry.h"

namespace bridge {

namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kUsage =
    "usage: kscapi bridge install [--browser chromium|chrome|firefox|all] [--host PATH]\n"
    "       kscapi bridge uninstall [--browser chromium|chrome|firefox|all]\n"
    "       kscapi bridge origins [revoke ORIGIN]\n"
    "       kscapi bridge develop on|off|status\n";

const char* const kBrowsers[] = {"chromium", "chrome", "firefox"};

void printLine(std::ostream& os, const Json& j) {
    os << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
}

int fail(std::ostream& err, const std::string& message, long code) {
    printLine(err, Json{{"error", message}, {"code", code}});
    return 1;
}

// Writes `text` to a temporary file beside `path` and renames it over `path`, so that a
// browser never reads half a manifest. 0 or the errno of the failure.
int writeWhole(const std::string& path, const std::string& text) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    if (ec) return ec.value();
    std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            std::remove(temporary.c_str());
            return EIO;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        int e = errno;
        std::remove(temporary.c_str());
        return e;
    }
    return 0;
}

// The browsers `--browser` names (all when absent). False for a usage error.
bool chooseBrowsers(const std::vector<std::string>& args, size_t from,
                    std::vector<std::string>& browsers, std::string& hostPath) {
    std::string which = "all";
    for (size_t i = from; i < args.size(); ++i) {
        if ((args[i] == "--browser" || args[i] == "--host") && i + 1 < args.size()) {
            (args[i] == "--browser" ? which : hostPath) = args[i + 1];
            ++i;
        } else {
            return false;
        }
    }
    if (which == "all") {
        browsers.assign(std::begin(kBrowsers), std::end(kBrowsers));
        return true;
    }
    for (const char* b : kBrowsers)
        if (which == b) browsers = {which};
    return !browsers.empty();
}

int install(const std::vector<std::string>& args, bool remove, std::ostream& out,
            std::ostream& err) {
    std::vector<std::string> browsers;
    std::string hostPath;
    if (!chooseBrowsers(args, 1, browsers, hostPath) || (remove && !hostPath.empty())) {
        err << kUsage;
        return 2;
    }
    if (hostPath.empty()) hostPath = host::besideProgram("kscapi-bridge");
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(hostPath, ec);
    if (!remove && (ec || !std::filesystem::is_regular_file(absolute, ec)))
        return fail(err, "no host executable at " + hostPath, ENOENT);
    for (const std::string& browser : browsers) {
        std::string path = manifestPath(browser);
        if (path.empty()) return fail(err, "HOME is not set", ENOENT);
        if (remove) {
            bool existed = std::filesystem::remove(path, ec);
            if (ec) return fail(err, "cannot remove " + path, ec.value());
            printLine(out, Json{{"browser", browser}, {"removed", path}, {"existed", existed}});
            continue;
        }
        if (int e = writeWhole(path, manifestText(browser, absolute.string())))
            return fail(err, "cannot write " + path, e);
        printLine(out,
                  Json{{"browser", browser}, {"installed", path}, {"host", absolute.string()}});
    }
    return 0;
}

int origins(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.size() == 1) {
        for (const std::string& origin : rememberedOrigins())
            printLine(out, Json{{"origin", origin}});
        return 0;
    }
    if (args.size() != 3 || args[1] != "revoke") {
        err << kUsage;
        return 2;
    }
    // A site allowed only for a session has counts too: they go even when it was not
    // remembered.
    long rc = forgetOrigin(args[2]), counts = forgetPageUsage(args[2]);
    if (counts != ERROR_SUCCESS && counts != ERROR_FILE_NOT_FOUND)
        return fail(err, "the registry refused the change", counts);
    if (rc == ERROR_FILE_NOT_FOUND && counts == ERROR_SUCCESS) rc = ERROR_SUCCESS;
    if (rc == ERROR_FILE_NOT_FOUND) return fail(err, "origin not allowed: " + args[2], rc);
    if (rc != ERROR_SUCCESS) return fail(err, "the registry refused the change", rc);
    printLine(out, Json{{"revoked", args[2]}});
    return 0;
}

int develop(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.size() != 2 || (args[1] != "on" && args[1] != "off" && args[1] != "status")) {
        err << kUsage;
        return 2;
    }
    if (args[1] != "status") {
        long rc = setDevelopmentMode(args[1] == "on");
        if (rc != ERROR_SUCCESS) return fail(err, "the registry refused the change", rc);
    }
    printLine(out, Json{{"developmentMode", developmentMode()}});
    return 0;
}

}  // namespace

std::string manifestPath(const std::string& browser) {
    const char* home = std::getenv("HOME");
    if (!home || !*home) return {};
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string config = xdg && *xdg ? std::string(xdg) : std::string(home) + "/.config";
    std::string file = std::string(kHostName) + ".json";
    if (browser == "chromium") return config + "/chromium/NativeMessagingHosts/" + file;
    if (browser == "chrome") return config + "/google-chrome/NativeMessagingHosts/" + file;
    if (browser == "firefox") return std::string(home) + "/.mozilla/native-messaging-hosts/" + file;
    return {};
}

std::string manifestText(const std::string& browser, const std::string& hostPath) {
    Json manifest;
    manifest["name"] = kHostName;
    manifest["description"] = "Kestrune certificate and signing control";
    manifest["path"] = hostPath;
    manifest["type"] = "stdio";
    if (browser == "firefox")
        manifest["allowed_extensions"] = Json::array({kFirefoxExtensionId});
    else
        manifest["allowed_origins"] =
            Json::array({std::string("chrome-extension://") + kChromiumExtensionId + "/"});
    return manifest.dump(2) + "\n";
}

int runBridgeCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) {
        err << kUsage;
        return 2;
    }
    if (args[0] == "install" || args[0] == "uninstall")
        return install(args, args[0] == "uninstall", out, err);
    if (args[0] == "origins") return origins(args, out, err);
    if (args[0] == "develop") return develop(args, out, err);
    err << kUsage;
    return 2;
}

}  // namespace bridge
