// The engine's enrollment record: the provider chosen for new key pairs, the parameters
// of the next one, the RSA-full providers found when they were first needed, and an error
// pair of its own that the enrollment operations copy into the engine's pair when they
// finish.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "status/error_pair.h"

struct EnrollmentState {
    ErrorPair status;
    int32_t keyBits = 1024;
    std::string providerName;
    uint32_t providerType = 1;  // the RSA-full provider type
    uint32_t keySpec = 1;       // 1 exchange, 2 signature
    uint32_t genKeyFlags = 1;   // 1 exportable, 2 user-protected
    // The installed RSA-full providers in enumeration order, without duplicates; listed
    // at the first call, not when the engine is made, so that an engine that never
    // chooses a provider never reads the registry (and never opens the user database),
    // and never refreshed. A failing enumeration leaves the list short or empty, which
    // is not reported.
    const std::vector<std::string>& providerNames();

  private:
    std::optional<std::vector<std::string>> providerNames_;
};
