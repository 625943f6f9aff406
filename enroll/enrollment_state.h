// The engine's enrollment record: the provider chosen for new key pairs, the parameters
// of the next one, the RSA-full providers found when the engine was made, and an error
// pair of its own that the enrollment operations copy into the engine's pair when they
// finish.
#pragma once

#include <cstdint>
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
    // The installed RSA-full providers in enumeration order, without duplicates; filled
    // once, here, and never refreshed.
    std::vector<std::string> providerNames;

    // The defaults above, and the provider list (a failing enumeration leaves it short or
    // empty, which is not reported).
    EnrollmentState();
};
