#include "host/reg_command.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

#include "core/byte_buffer.h"
#include "platform/registry/registry.h"
#include "platform/text/codepage.h"
#include "status/error_codes.h"
#include "status/registry_values.h"

namespace {

using Json = nlohmann::ordered_json;

constexpr char kUsage[] =
    "usage: kscapi reg get PATH\n"
    "       kscapi reg set PATH (--dword N | --sz TEXT)\n"
    "       kscapi reg list [KEY]\n"
    "PATH is Key\\...\\Name below HKEY_CURRENT_USER; \"\\Name\" is a value of the root.\n";

int usage(std::ostream& err) {
    err << kUsage;
    return 2;
}

void printLine(std::ostream& os, const Json& j) {
    // Names and data are converted from the code page, but a UTF-8 code page passes bytes
    // through unchecked: replace what is not UTF-8 rather than fail.
    os << j.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
}

int fail(std::ostream& err, const std::string& message, long code) {
    printLine(err, Json{{"error", message}, {"code", code}});
    return 1;
}

std::string platformMessage(LONG code) {
    switch (static_cast<DWORD>(code)) {
        case ERROR_FILE_NOT_FOUND:
            return "not found";
        case ERROR_ACCESS_DENIED:
            return "access denied";
        case ERROR_BAD_PATHNAME:
            return "a key path cannot begin with a backslash";
        case ERROR_INVALID_PARAMETER:
            return "name too long";
        case ERROR_REGISTRY_CORRUPT:
            return "the registry database is damaged";
        default:
            return "the registry database cannot be used";
    }
}

// Text from the shell to the ANSI code page; false when the code page lacks a character
// (writing a '?' in its place would address another key).
bool toAnsiArg(const std::string& utf8, std::string& ansi) {
    ansi = utf8ToAnsi(utf8);
    return ansiToUtf8(ansi) == utf8;
}

std::string typeName(DWORD type) {
    switch (type) {
        case REG_NONE:
            return "REG_NONE";
        case REG_SZ:
            return "REG_SZ";
        case REG_EXPAND_SZ:
            return "REG_EXPAND_SZ";
        case REG_BINARY:
            return "REG_BINARY";
        case REG_DWORD:
            return "REG_DWORD";
        case REG_DWORD_BIG_ENDIAN:
            return "REG_DWORD_BIG_ENDIAN";
        case REG_LINK:
            return "REG_LINK";
        case REG_MULTI_SZ:
            return "REG_MULTI_SZ";
        case REG_QWORD:
            return "REG_QWORD";
        default:
            return std::to_string(type);
    }
}

uint64_t littleEndian(const std::vector<BYTE>& data) {
    uint64_t v = 0;
    for (size_t i = data.size(); i-- > 0;) v = v << 8 | data[i];
    return v;
}

Json dataJson(DWORD type, const std::vector<BYTE>& data) {
    const char* text = reinterpret_cast<const char*>(data.data());
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
            return ansiToUtf8(std::string_view(text, strnlen(text, data.size())));
        case REG_MULTI_SZ: {
            Json list = Json::array();
            size_t pos = 0;
            while (pos < data.size()) {
                size_t len = strnlen(text + pos, data.size() - pos);
                if (len == 0) break;  // the empty string that ends the list
                list.push_back(ansiToUtf8(std::string_view(text + pos, len)));
                pos += len + 1;
            }
            return list;
        }
        case REG_DWORD:
            if (data.size() == 4) return static_cast<int32_t>(littleEndian(data));
            break;
        case REG_QWORD:
            if (data.size() == 8) return static_cast<int64_t>(littleEndian(data));
            break;
        default:
            break;
    }
    ByteBuffer hex;
    if (!data.empty()) hex.encodeHex(data.data(), static_cast<int32_t>(data.size()));
    return hex.str();
}

Json valueJson(const std::string& keyAnsi, const std::string& nameAnsi, DWORD type,
               const std::vector<BYTE>& data) {
    return Json{{"key", ansiToUtf8(keyAnsi)},
                {"name", ansiToUtf8(nameAnsi)},
                {"type", typeName(type)},
                {"data", dataJson(type, data)}};
}

int getValue(const std::string& pathAnsi, std::ostream& out, std::ostream& err) {
    std::string keyPath, valueName;
    if (!splitRegistryPath(pathAnsi, keyPath, valueName))
        return fail(err, "the path needs a backslash before the value name", err::kBadParameter);
    RegKeyHolder key;
    LONG rc = RegOpenKeyExA(HKEY_CURRENT_USER, keyPath.c_str(), 0, KEY_READ, key.out());
    if (rc != ERROR_SUCCESS) return fail(err, "key " + platformMessage(rc), rc);
    // The value may change between the size query and the read; ask again until it fits.
    DWORD type = REG_NONE, size = 0;
    std::vector<BYTE> data;
    do {
        rc = RegQueryValueExA(key.get(), valueName.c_str(), nullptr, &type, nullptr, &size);
        if (rc != ERROR_SUCCESS) break;
        data.resize(size);
        rc = RegQueryValueExA(key.get(), valueName.c_str(), nullptr, &type, data.data(), &size);
    } while (rc == ERROR_MORE_DATA);
    if (rc != ERROR_SUCCESS) return fail(err, "value " + platformMessage(rc), rc);
    data.resize(size);
    printLine(out, valueJson(keyPath, valueName, type, data));
    return 0;
}

int setValue(const std::string& pathAnsi, const std::string& flag, const std::string& arg,
             std::ostream& out, std::ostream& err) {
    ErrorPair status;
    if (flag == "--dword") {
        errno = 0;
        char* end = nullptr;
        long long n = std::strtoll(arg.c_str(), &end, 10);
        if (arg.empty() || *end != '\0' || errno == ERANGE || n < INT32_MIN || n > UINT32_MAX)
            return usage(err);
        regWriteHKCUInt(pathAnsi, static_cast<int32_t>(static_cast<uint32_t>(n)), status);
    } else if (flag == "--sz") {
        std::string text;
        if (!toAnsiArg(arg, text)) {
            err << "the text holds characters the ANSI code page cannot store\n";
            return 2;
        }
        regWriteHKCUStr(pathAnsi, text, status);
    } else {
        return usage(err);
    }
    if (status.lastError == err::kBadParameter)
        return fail(err, "the path needs a backslash before the value name", status.lastError);
    if (status.lastError != 0)
        return fail(err, "the key cannot be created or the value written", status.lastError);
    return getValue(pathAnsi, out, err);
}

// Longest name buffer worth trying: value names have up to 16383 characters of at most
// 2 bytes in a double-byte code page (3 or 4 in UTF-8).
constexpr size_t kMaxName = 4 * kMaxValueNameChars + 1;

int listKey(const std::string& keyAnsi, std::ostream& out, std::ostream& err) {
    RegKeyHolder key;
    LONG rc = RegOpenKeyExA(HKEY_CURRENT_USER, keyAnsi.c_str(), 0, KEY_READ, key.out());
    if (rc != ERROR_SUCCESS) return fail(err, "key " + platformMessage(rc), rc);
    DWORD maxSubKey = 0, maxValueName = 0, maxValue = 0;
    rc = RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, nullptr, &maxSubKey, nullptr,
                          nullptr, &maxValueName, &maxValue, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) return fail(err, platformMessage(rc), rc);
    std::string keyUtf8 = ansiToUtf8(keyAnsi);
    std::vector<char> name(std::max(maxSubKey, maxValueName) + 1);
    for (DWORD i = 0;; ++i) {
        auto size = static_cast<DWORD>(name.size());
        rc = RegEnumKeyExA(key.get(), i, name.data(), &size, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc == ERROR_MORE_DATA && name.size() < kMaxName) {  // renamed meanwhile
            name.resize(name.size() * 2);
            --i;
            continue;
        }
        if (rc != ERROR_SUCCESS) return fail(err, platformMessage(rc), rc);
        printLine(out, Json{{"key", keyUtf8}, {"subkey", ansiToUtf8(name.data())}});
    }
    std::vector<BYTE> data(maxValue);
    for (DWORD i = 0;; ++i) {
        auto nameSize = static_cast<DWORD>(name.size());
        auto size = static_cast<DWORD>(data.size());
        DWORD type = REG_NONE;
        rc =
            RegEnumValueA(key.get(), i, name.data(), &nameSize, nullptr, &type, data.data(), &size);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc == ERROR_MORE_DATA && name.size() < kMaxName) {  // changed meanwhile
            if (size > data.size())
                data.resize(size);
            else
                name.resize(name.size() * 2);
            --i;
            continue;
        }
        if (rc != ERROR_SUCCESS) return fail(err, platformMessage(rc), rc);
        std::vector<BYTE> value(data.begin(), data.begin() + size);
        printLine(out, valueJson(keyAnsi, name.data(), type, value));
    }
    return 0;
}

}  // namespace

int runRegCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) return usage(err);
    const std::string& command = args[0];
    bool known = (command == "get" && args.size() == 2) || (command == "set" && args.size() == 4) ||
                 (command == "list" && args.size() <= 2);
    if (!known) return usage(err);
    std::string path;
    if (args.size() > 1 && !toAnsiArg(args[1], path)) {
        err << "the path holds characters the ANSI code page cannot store\n";
        return 2;
    }
    if (command == "get") return getValue(path, out, err);
    if (command == "set") return setValue(path, args[2], args[3], out, err);
    return listKey(path, out, err);
}
