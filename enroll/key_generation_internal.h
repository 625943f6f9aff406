// The key parameters of a request and the generation of its key pair: a new key
// container named by a fresh identifier in the chosen provider, the pair in its slot,
// and the request built while the container is open.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "enroll/enrollment_state.h"
#include "platform/crypt/wincrypt.h"
#include "platform/system/rpc.h"
#include "status/error_pair.h"

// Each step starts by clearing the record's error pair.
// Key length: 512, 1024 or 2048 is stored; anything else stores 1024 and gives 5301.
ErrorCode keyLengthStep(EnrollmentState& state, int32_t keyBits);
// Key options: 0, 2 and 3 are stored as they are, anything else as 1 (exportable).
void keyOptionsStep(EnrollmentState& state, int32_t genKeyFlags);
// Provider type: always the RSA-full type, whatever is asked.
void providerTypeStep(EnrollmentState& state, uint32_t providerType);
// Key slot: 2 (signature) when asked for 2, else 1 (exchange).
void keySlotStep(EnrollmentState& state, int32_t keySpec);

// Names a new container: RPC_S_OK with the name, or the failing status.
using ContainerNamer = RPC_STATUS (*)(std::string& name);
// Builds the request for the key pair in slot keySpec of the open context; its text, or
// empty with the failure in `status`.
using RequestBuilder = std::function<std::string(HCRYPTPROV provider, DWORD keySpec,
                                                 const std::string& commonName, ErrorPair& status)>;

// Generates the key pair for a request with the record's parameters and returns what
// `build` makes of it; the outcome is in state.status. An empty common name gives 5005,
// no chosen provider 5046; a new container the caller guard refuses 5070 with
// ERROR_CANCELLED (nothing made); a container name that cannot be made gives 5302 with
// the RPC status (and no key: the provider's default container is never used instead); a
// container the provider refuses to create 5203, a refused key pair 5302, both with the
// platform's error. The options of state.genKeyFlags reach the platform only for a
// provider whose name begins with "Microsoft". The container and its key pair stay,
// whatever `build` does.
std::string generateKeyPair(EnrollmentState& state, const std::string& commonName,
                            RequestBuilder build, ContainerNamer name = newUpperCaseUuidText);
