// A fixture that drives the kscapi host with scripts in a home of its own, as a page
// would drive the control: store and key tools, scripted dialogs, JSON result lines.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace host_script {

using Lines = std::vector<nlohmann::json>;

class HostScript : public ::testing::Test {
  protected:
    std::string host() const {
        return std::string(KSCAPI_HOST_PATH) + " --home " + dir_.file("home") + " ";
    }
    // `kscapi store import-pfx`: the file's keyed certificates go into "MY".
    void importIntoMy(const std::string& pfxPath, const std::string& password = "secret") {
        int status = -1;
        testing_support::runCommand(host() + "store import-pfx " + pfxPath + " " + password,
                                    &status);
        ASSERT_EQ(status, 0) << pfxPath;
    }
    void addToStore(const std::string& store, const std::string& certPath) {
        int status = -1;
        testing_support::runCommand(host() + "store add " + store + " " + certPath + " >/dev/null",
                                    &status);
        ASSERT_EQ(status, 0) << certPath;
    }
    // Runs a script with the scripted dialog backend; returns every output line.
    Lines run(const std::string& script) {
        testing_support::writeFile(dir_.file("script"), script);
        std::istringstream out(
            testing_support::runCommand(host() + "--ui script run " + dir_.file("script")));
        Lines lines;
        for (std::string line; std::getline(out, line);)
            lines.push_back(nlohmann::json::parse(line));
        return lines;
    }
    size_t containers() {
        std::string out = testing_support::runCommand(host() + "keys list");
        return static_cast<size_t>(std::count(out.begin(), out.end(), '\n'));
    }
    // The result line of the n-th call of `op` (0-based); null when there is none.
    static nlohmann::json call(const Lines& lines, const std::string& op, int n = 0) {
        for (const auto& l : lines)
            if (l.contains("op") && l["op"] == op && n-- == 0) return l;
        return nullptr;
    }
    // Every result line of `op`, in order.
    static Lines calls(const Lines& lines, const std::string& op) {
        Lines out;
        for (const auto& l : lines)
            if (l.contains("op") && l["op"] == op) out.push_back(l);
        return out;
    }
    static int dialogs(const Lines& lines, const std::string& kind) {
        int n = 0;
        for (const auto& l : lines) n += l.contains("dialog") && l["dialog"] == kind;
        return n;
    }

    testing_support::TempDir dir_;
};

}  // namespace host_script
