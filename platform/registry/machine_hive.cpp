#include "platform/registry/machine_hive.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "install_paths.h"
#include "platform/registry/registry.h"

namespace machine {

namespace {

constexpr std::string_view kRoot = "HKEY_LOCAL_MACHINE\\";

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string fromEnvironment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// A quoted text at the start of `s`; `s` is left after the closing quote.
std::optional<std::string> quoted(std::string_view& s) {
    if (s.empty() || s.front() != '"') return std::nullopt;
    std::string out;
    for (size_t i = 1; i < s.size(); ++i) {
        char c = s[i];
        if (c == '"') {
            s.remove_prefix(i + 1);
            return out;
        }
        if (c == '\\') {
            if (++i >= s.size() || (s[i] != '\\' && s[i] != '"')) return std::nullopt;
            c = s[i];
        }
        out.push_back(c);
    }
    return std::nullopt;
}

std::optional<Value> parseValue(std::string_view line) {
    Value v;
    if (line.front() == '@') {
        line.remove_prefix(1);
    } else {
        std::optional<std::string> name = quoted(line);
        if (!name || name->empty()) return std::nullopt;
        v.name = *name;
    }
    line = trim(line);
    if (line.empty() || line.front() != '=') return std::nullopt;
    line = trim(line.substr(1));
    if (std::optional<std::string> text = quoted(line)) {
        if (!trim(line).empty()) return std::nullopt;
        v.type = REG_SZ;
        v.text = *text;
        return v;
    }
    constexpr std::string_view kDword = "dword:";
    if (line.size() != kDword.size() + 8 || !sameName(line.substr(0, kDword.size()), kDword))
        return std::nullopt;
    std::string digits(line.substr(kDword.size()));
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return std::isxdigit(c); }))
        return std::nullopt;
    v.type = REG_DWORD;
    v.number = static_cast<DWORD>(std::stoul(digits, nullptr, 16));
    return v;
}

void readFile(const std::filesystem::path& file, std::vector<Key>& out,
              std::vector<FileProblem>* problems) {
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) return;
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string error;
    if (!in || !parseRegText(text.str(), file.string(), out, &error)) {
        if (problems) problems->push_back({file.string(), in ? error : "cannot be read"});
    }
}

}  // namespace

std::string classFile() {
    return fromEnvironment("KSCAPI_MACHINE_HIVE", KSCAPI_MACHINE_HIVE_DEFAULT);
}

std::string providersFolder() {
    return fromEnvironment("KSCAPI_PROVIDERS_DIR", KSCAPI_PROVIDERS_DIR_DEFAULT);
}

bool parseRegText(std::string_view text, const std::string& source, std::vector<Key>& out,
                  std::string* error) {
    std::vector<Key> keys;
    size_t number = 0;
    auto refuse = [&](const std::string& why) {
        if (error) *error = "line " + std::to_string(number) + ": " + why;
        return false;
    };
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++number;
        if (number == 1 && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
        if (line.empty() || line.front() == ';') continue;
        if (number == 1 && (line == "REGEDIT4" || line == "Windows Registry Editor Version 5.00"))
            continue;
        if (line.front() == '[') {
            if (line.back() != ']') return refuse("a key line ends with ]");
            std::string_view path = line.substr(1, line.size() - 2);
            if (path.size() <= kRoot.size() || !sameName(path.substr(0, kRoot.size()), kRoot))
                return refuse("keys must be below HKEY_LOCAL_MACHINE");
            path.remove_prefix(kRoot.size());
            if (path.find("\\\\") != std::string_view::npos || path.back() == '\\')
                return refuse("an empty key name");
            keys.push_back(Key{std::string(path), source, {}});
            continue;
        }
        if (keys.empty()) return refuse("a value before any key");
        std::optional<Value> value = parseValue(line);
        if (!value) return refuse("not a value line");
        keys.back().values.push_back(std::move(*value));
    }
    out.insert(out.end(), keys.begin(), keys.end());
    return true;
}

std::vector<Key> keys(std::vector<FileProblem>* problems) {
    std::vector<Key> out;
    readFile(classFile(), out, problems);
    std::error_code ec;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(providersFolder(), ec))
        if (entry.path().extension() == ".reg") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const auto& file : files) readFile(file, out, problems);
    return out;
}

std::optional<Key> findKey(std::string_view path) {
    for (Key& key : keys())
        if (sameName(key.path, path)) return std::move(key);
    return std::nullopt;
}

std::vector<Key> subkeys(std::string_view path) {
    std::vector<Key> out;
    for (Key& key : keys()) {
        if (key.path.size() <= path.size() + 1 || key.path[path.size()] != '\\' ||
            !sameName(std::string_view(key.path).substr(0, path.size()), path))
            continue;
        std::string_view name = std::string_view(key.path).substr(path.size() + 1);
        if (name.find('\\') != std::string_view::npos) continue;
        bool seen = std::any_of(out.begin(), out.end(), [&](const Key& k) {
            return sameName(std::string_view(k.path).substr(path.size() + 1), name);
        });
        if (!seen) out.push_back(std::move(key));
    }
    return out;
}

const Value* findValue(const Key& key, std::string_view name) {
    for (const Value& v : key.values)
        if (sameName(v.name, name)) return &v;
    return nullptr;
}

}  // namespace machine
