#include "status/registry_values.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "status/error_codes.h"
#include "tests/temp_home.h"

namespace {

struct Raw {
    LONG rc = 0;
    DWORD type = 0;
    std::string data;
};

// The value as stored, read with the platform call rather than with regReadHKCU.
Raw rawValue(const std::string& key, const std::string& name) {
    Raw raw;
    RegKeyHolder h;
    raw.rc = RegOpenKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, h.out());
    if (raw.rc != ERROR_SUCCESS) return raw;
    DWORD size = 0;
    raw.rc = RegQueryValueExA(h.get(), name.c_str(), nullptr, &raw.type, nullptr, &size);
    if (raw.rc != ERROR_SUCCESS) return raw;
    raw.data.assign(size, '\0');
    raw.rc = RegQueryValueExA(h.get(), name.c_str(), nullptr, nullptr,
                              reinterpret_cast<BYTE*>(raw.data.data()), &size);
    return raw;
}

void storeRaw(const std::string& key, const std::string& name, DWORD type,
              const std::string& data) {
    RegKeyHolder h;
    ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, key.c_str(), h.out()), ERROR_SUCCESS);
    ASSERT_EQ(
        RegSetValueExA(h.get(), name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                       static_cast<DWORD>(data.size())),
        ERROR_SUCCESS);
}

class RegistryValues : public ::testing::Test {
  protected:
    // As the engine calls them: lastError cleared first; capiError must stay untouched.
    ErrorPair fresh() {
        ErrorPair e;
        e.capiError = 77;
        return e;
    }
    TempHome home_;
};

TEST_F(RegistryValues, NumbersRoundTripAsSignedDecimal) {
    for (int32_t n : {-1, 0, 1, INT32_MIN, INT32_MAX}) {
        ErrorPair w = fresh();
        ASSERT_EQ(regWriteHKCUInt("Software\\Demo\\Count", n, w), 0);
        ErrorPair r = fresh();
        EXPECT_EQ(regReadHKCU("Software\\Demo\\Count", r), std::to_string(n));
        EXPECT_EQ(r.lastError, 0);
        EXPECT_EQ(r.capiError, 77u);
    }
    Raw raw = rawValue("Software\\Demo", "Count");
    EXPECT_EQ(raw.type, REG_DWORD);
    EXPECT_EQ(raw.data, std::string("\xFF\xFF\xFF\x7F", 4));  // INT32_MAX, little-endian
}

TEST_F(RegistryValues, StringsAreStoredWithoutTerminator) {
    ErrorPair w = fresh();
    ASSERT_EQ(regWriteHKCUStr("Software\\Demo\\Name", "hello", w), 0);
    Raw raw = rawValue("Software\\Demo", "Name");
    EXPECT_EQ(raw.type, REG_SZ);
    EXPECT_EQ(raw.data, "hello");
    ErrorPair r = fresh();
    EXPECT_EQ(regReadHKCU("Software\\Demo\\Name", r), "hello");

    ASSERT_EQ(regWriteHKCUStr("Software\\Demo\\Empty", "", w), 0);
    raw = rawValue("Software\\Demo", "Empty");
    EXPECT_EQ(raw.rc, ERROR_SUCCESS);
    EXPECT_EQ(raw.type, REG_SZ);
    EXPECT_EQ(raw.data, "");
    EXPECT_EQ(regReadHKCU("Software\\Demo\\Empty", r), "");
    EXPECT_EQ(r.lastError, 0);
}

TEST_F(RegistryValues, ReadingStoredData) {
    struct Case {
        const char* what;
        DWORD type;
        std::string stored;
        std::string expected;
    } cases[] = {
        {"terminated", REG_SZ, std::string("abc\0", 4), "abc"},
        {"embedded zero", REG_SZ, std::string("ab\0cd", 5), "ab"},
        {"255 bytes fit", REG_SZ, std::string(255, 'x'), std::string(255, 'x')},
        {"256 bytes do not", REG_SZ, std::string(256, 'x'), ""},
        {"255 and a terminator", REG_SZ, std::string(255, 'x') + '\0', ""},
        {"expand string", REG_EXPAND_SZ, "abc", ""},
        {"binary", REG_BINARY, "\x01\x02", ""},
        {"two-byte dword", REG_DWORD, std::string("\x05\x01", 2), "261"},
        {"eight-byte dword", REG_DWORD, std::string(8, '\x01'), ""},
    };
    for (const Case& c : cases) {
        storeRaw("Software\\Read", c.what, c.type, c.stored);
        ErrorPair r = fresh();
        EXPECT_EQ(regReadHKCU(std::string("Software\\Read\\") + c.what, r), c.expected) << c.what;
        EXPECT_EQ(r.lastError, 0) << c.what;
    }
}

TEST_F(RegistryValues, PathSplitting) {
    ErrorPair e = fresh();
    // "\Name": a value of HKEY_CURRENT_USER itself.
    ASSERT_EQ(regWriteHKCUInt("\\TopLevel", 5, e), 0);
    EXPECT_EQ(rawValue("", "TopLevel").data, std::string("\x05\0\0\0", 4));
    EXPECT_EQ(regReadHKCU("\\toplevel", e), "5");
    // "Key\": the key's default value.
    ASSERT_EQ(regWriteHKCUStr("Software\\Demo\\", "default", e), 0);
    EXPECT_EQ(rawValue("Software\\Demo", "").data, "default");
    // Only the last backslash splits; a Big5 trail byte 0x5C (in 許, B3 5C) does not.
    const std::string xu = "\xB3\x5C";
    ASSERT_EQ(regWriteHKCUStr("Software\\" + xu + "\\" + xu, "v", e), 0);
    EXPECT_EQ(rawValue("Software\\" + xu, xu).data, "v");
    EXPECT_EQ(regReadHKCU("SOFTWARE\\" + xu + "\\" + xu, e), "v");
    EXPECT_EQ(e.lastError, 0);
}

TEST_F(RegistryValues, Failures) {
    struct Case {
        std::string path;
        ErrorCode read, write;
    } cases[] = {
        {"", err::kBadParameter, err::kBadParameter},
        {"NoBackslash", err::kBadParameter, err::kBadParameter},
        {"Software\\Missing\\Value", err::kAccessDenied, 0},
        // A key path that begins with a backslash is refused by the registry.
        {"\\Software\\Value", err::kAccessDenied, err::kAccessDenied},
    };
    for (const Case& c : cases) {
        ErrorPair r = fresh();
        EXPECT_EQ(regReadHKCU(c.path, r), "") << c.path;
        EXPECT_EQ(r.lastError, c.read) << c.path;
        EXPECT_EQ(r.capiError, 77u) << c.path;
        ErrorPair wi = fresh(), ws = fresh();
        EXPECT_EQ(regWriteHKCUInt(c.path, 1, wi), c.write) << c.path;
        EXPECT_EQ(wi.lastError, c.write) << c.path;
        EXPECT_EQ(regWriteHKCUStr(c.path, "x", ws), c.write) << c.path;
        EXPECT_EQ(ws.capiError, 77u) << c.path;
    }
    // A missing value of an existing key is no error.
    ErrorPair w = fresh();
    ASSERT_EQ(regWriteHKCUInt("Software\\Exists\\A", 1, w), 0);
    ErrorPair r = fresh();
    EXPECT_EQ(regReadHKCU("Software\\Exists\\B", r), "");
    EXPECT_EQ(r.lastError, 0);
}

}  // namespace
