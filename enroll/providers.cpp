#include "enroll/providers.h"

#include <algorithm>

#include "platform/crypt/wincrypt.h"
#include "status/error_codes.h"

const std::vector<std::string>& EnrollmentState::providerNames() {
    if (!providerNames_) providerNames_ = listRsaFullProviders();
    return *providerNames_;
}

std::vector<std::string> listRsaFullProviders() {
    std::vector<std::string> names;
    char name[256];
    for (DWORD index = 0;; ++index) {
        DWORD type = 0, size = sizeof name;
        if (!CryptEnumProvidersA(index, nullptr, 0, &type, name, &size)) break;
        if (type != PROV_RSA_FULL) continue;
        if (std::find(names.begin(), names.end(), name) == names.end()) names.emplace_back(name);
    }
    return names;
}

ErrorCode setProviderName(EnrollmentState& state, const std::string& name, ErrorPair& result) {
    if (name.empty()) return result.fail(err::kBadParameter);
    state.status = ErrorPair{err::kCspName, 0};
    const auto& names = state.providerNames();
    if (std::find(names.begin(), names.end(), name) != names.end()) {
        state.providerName = name;
        state.status.lastError = 0;
    }
    result = state.status;
    return result.lastError;
}
