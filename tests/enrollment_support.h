// Helpers of the provider and enrollment tests: providers registered for the user.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/crypt/key_container.h"
#include "platform/registry/registry.h"

namespace enrollment_test {

// A registered software provider whose name lacks "Microsoft".
constexpr const char* kOtherProvider = "Kestrune Software CSP";
constexpr DWORD kNoType = ~0u;  // leave the "Type" value out

// Writes HKCU\<providers>\<name> (ANSI) with "Type" (of kind typeKind, unless `type` is
// kNoType) and, when `backend` is not null, "Backend".
inline void registerProvider(const std::string& name, DWORD type, const char* backend,
                             DWORD typeKind = REG_DWORD) {
    RegKeyHolder key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER,
                              (std::string(kRegisteredProvidersKey) + "\\" + name).c_str(), 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, key.out(), nullptr),
              ERROR_SUCCESS);
    if (type != kNoType) {
        ASSERT_EQ(RegSetValueExA(key.get(), "Type", 0, typeKind,
                                 reinterpret_cast<const BYTE*>(&type), sizeof type),
                  ERROR_SUCCESS);
    }
    if (backend) {
        ASSERT_EQ(
            RegSetValueExA(key.get(), "Backend", 0, REG_SZ, reinterpret_cast<const BYTE*>(backend),
                           static_cast<DWORD>(std::strlen(backend) + 1)),
            ERROR_SUCCESS);
    }
}

inline void registerSoftwareProvider(const std::string& name, DWORD type) {
    registerProvider(name, type, "software");
}

}  // namespace enrollment_test
