// The providers a page may choose for its key pairs, and its choice.
#pragma once

#include <string>
#include <vector>

#include "enroll/enrollment_state.h"
#include "status/error_pair.h"

// The names of the RSA-full providers the platform enumerates, in its order, each once
// (names compare byte for byte). The enumeration uses a 256-byte name buffer and ends at
// the first index the platform refuses, for whatever reason: a provider whose name does
// not fit ends the list there.
std::vector<std::string> listRsaFullProviders();

// SetProviderName: an empty name gives 5005 and changes nothing else; a name that is
// not one of state.providerNames() (whole, byte for byte) gives 5046 and keeps the
// earlier choice; otherwise it becomes state.providerName. The record's pair is copied
// into `result` unless the name was empty. Returns result.lastError.
ErrorCode setProviderName(EnrollmentState& state, const std::string& name, ErrorPair& result);
