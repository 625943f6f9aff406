#include "enroll/key_generation_internal.h"
#include "platform/crypt/crypt_holders.h"
#include "status/error_codes.h"
#include "ui/caller_guard.h"

ErrorCode keyLengthStep(EnrollmentState& state, int32_t keyBits) {
    state.status = ErrorPair{};
    state.keyBits = 1024;
    if (keyBits != 512 && keyBits != 1024 && keyBits != 2048)
        return state.status.fail(err::kKeyLength);
    state.keyBits = keyBits;
    return 0;
}

void keyOptionsStep(EnrollmentState& state, int32_t genKeyFlags) {
    state.status = ErrorPair{};
    bool known = genKeyFlags == 0 || genKeyFlags == 2 || genKeyFlags == 3;
    state.genKeyFlags = known ? static_cast<uint32_t>(genKeyFlags) : 1;
}

void providerTypeStep(EnrollmentState& state, uint32_t) {
    state.providerType = PROV_RSA_FULL;
}

void keySlotStep(EnrollmentState& state, int32_t keySpec) {
    state.keySpec = keySpec == 2 ? AT_SIGNATURE : AT_KEYEXCHANGE;
}

std::string generateKeyPair(EnrollmentState& state, const std::string& commonName,
                            RequestBuilder build, ContainerNamer name) {
    ErrorPair& status = state.status;
    status = ErrorPair{};
    if (commonName.empty()) {
        status.fail(err::kBadParameter);
        return {};
    }
    if (state.providerName.empty()) {
        status.fail(err::kCspName);
        return {};
    }
    if (!ui::callerGuard().allowNewKeyContainer()) {
        status.failWith(err::kCancelled, ERROR_CANCELLED);
        return {};
    }
    std::string container;
    RPC_STATUS rpc = name(container);
    if (rpc != RPC_S_OK || container.empty()) {
        status.failWith(err::kKeyGeneration, static_cast<uint32_t>(rpc));
        return {};
    }
    CryptProvHolder provider;
    if (!CryptAcquireContextA(provider.out(), container.c_str(), state.providerName.c_str(),
                              state.providerType, CRYPT_NEWKEYSET)) {
        status.failWithPlatform(err::kNoCsp);
        return {};
    }
    DWORD flags = static_cast<DWORD>(state.keyBits) << 16;
    // Other providers are given the length alone.
    if (state.providerName.starts_with("Microsoft")) {
        if (state.genKeyFlags & 1) flags |= CRYPT_EXPORTABLE;
        if (state.genKeyFlags & 2) flags |= CRYPT_USER_PROTECTED;
    }
    CryptKeyHolder key;
    if (!CryptGenKey(provider.get(), state.keySpec, flags, key.out())) {
        status.failWithPlatform(err::kKeyGeneration);
        return {};
    }
    return build(provider.get(), state.keySpec, commonName, status);
}
