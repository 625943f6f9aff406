// Enrollment: the provider list a control finds, the provider choice, the key steps and
// the generation of a request's key pair in a new container.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "control/capi_engine_internal.h"
#include "enroll/key_generation_internal.h"
#include "enroll/providers.h"
#include "platform/crypt/key_container.h"
#include "platform/registry/registry.h"
#include "status/error_codes.h"
#include "tests/enrollment_support.h"
#include "tests/store_support.h"
#include "tests/temp_home.h"
#include "tests/test_support.h"

namespace {

using namespace enrollment_test;

const std::vector<std::string> kRsaFullBuiltIns = {MS_DEF_PROV_A, MS_ENHANCED_PROV_A,
                                                   MS_STRONG_PROV_A};

class Enrollment : public ::testing::Test {
  protected:
    TempHome home_;
};

TEST_F(Enrollment, TheListHoldsRsaFullProvidersUpToTheFirstRefusedIndex) {
    testing_support::ScopedCodePage big5(950);
    EXPECT_EQ(EnrollmentState().providerNames(), kRsaFullBuiltIns);
    registerSoftwareProvider(kOtherProvider, PROV_RSA_FULL);
    registerSoftwareProvider("Kestrune AES CSP", PROV_RSA_AES);
    // 128 Chinese characters are 256 bytes in Big5: with the terminator the name does not
    // fit the 256-byte buffer, and the providers after it are not reached.
    std::u16string longName(128, u'一');
    registerSoftwareProvider(toAnsi(longName), PROV_RSA_FULL);
    registerSoftwareProvider(toAnsi(u"龜 CSP"), PROV_RSA_FULL);
    std::vector<std::string> expected = kRsaFullBuiltIns;
    expected.push_back(kOtherProvider);
    EXPECT_EQ(EnrollmentState().providerNames(), expected);
    // The platform lists them all, in this order.
    std::vector<std::string> all;
    for (DWORD i = 0;; ++i) {
        DWORD size = 0;
        if (!CryptEnumProvidersA(i, nullptr, 0, nullptr, nullptr, &size)) break;
        std::string name(size, '\0');
        ASSERT_TRUE(CryptEnumProvidersA(i, nullptr, 0, nullptr, name.data(), &size));
        all.push_back(name.substr(0, size - 1));
    }
    EXPECT_EQ(all.size(), 8u);
    EXPECT_EQ(all[6], toAnsi(longName));
}

TEST_F(Enrollment, SetProviderNameTakesOnlyAListedNameAsItIs) {
    registerSoftwareProvider(kOtherProvider, PROV_RSA_FULL);
    CapiEngine engine;
    struct Case {
        const char16_t* name;
        ErrorCode code;
        const char* chosen;  // providerName afterwards
    };
    const Case cases[] = {
        {u"Microsoft Strong Cryptographic Provider", 0, MS_STRONG_PROV_A},
        {u"", err::kBadParameter, MS_STRONG_PROV_A},
        {u"microsoft enhanced cryptographic provider v1.0", err::kCspName, MS_STRONG_PROV_A},
        {u"Microsoft Enhanced RSA and AES Cryptographic Provider", err::kCspName, MS_STRONG_PROV_A},
        {u"Microsoft Enhanced Cryptographic Provider v1.0 ", err::kCspName, MS_STRONG_PROV_A},
        {u"Microsoft Enhanced Cryptographic Provider", err::kCspName, MS_STRONG_PROV_A},
        {u"Kestrune Software CSP", 0, kOtherProvider},
        {u"Microsoft Enhanced Cryptographic Provider v1.0", 0, MS_ENHANCED_PROV_A},
    };
    for (const Case& c : cases) {
        engine.capiError = 77;
        EXPECT_EQ(engine.SetProviderName(c.name), c.code) << toUtf8(c.name);
        EXPECT_EQ(engine.GetErrorCode(), c.code);
        EXPECT_EQ(engine.GetCapiErrorCode(), 0);
        EXPECT_EQ(engine.enrollment.providerName, c.chosen) << toUtf8(c.name);
    }
    // The record's own pair tells the last non-empty choice; an empty name leaves it.
    EXPECT_EQ(engine.enrollment.status.lastError, 0);
    engine.SetProviderName(u"nothing");
    engine.SetProviderName(u"");
    EXPECT_EQ(engine.enrollment.status.lastError, err::kCspName);
}

TEST_F(Enrollment, KeySteps) {
    EnrollmentState state;
    struct Length {
        int32_t bits;
        ErrorCode code;
        int32_t stored;
    };
    for (const Length& c :
         {Length{512, 0, 512}, Length{1024, 0, 1024}, Length{2048, 0, 2048},
          Length{4096, err::kKeyLength, 1024}, Length{768, err::kKeyLength, 1024},
          Length{0, err::kKeyLength, 1024}, Length{-512, err::kKeyLength, 1024}}) {
        state.keyBits = 2048;
        state.status = ErrorPair{9, 9};
        EXPECT_EQ(keyLengthStep(state, c.bits), c.code) << c.bits;
        EXPECT_EQ(state.status.lastError, c.code);
        EXPECT_EQ(state.status.capiError, 0u);
        EXPECT_EQ(state.keyBits, c.stored) << c.bits;
    }
    struct Options {
        int32_t given;
        uint32_t stored;
    };
    for (const Options& c : {Options{0, 0}, Options{1, 1}, Options{2, 2}, Options{3, 3},
                             Options{5, 1}, Options{-1, 1}, Options{4, 1}}) {
        state.status = ErrorPair{9, 9};
        keyOptionsStep(state, c.given);
        EXPECT_EQ(state.genKeyFlags, c.stored) << c.given;
        EXPECT_EQ(state.status.lastError, 0);
    }
    state.providerType = 24;
    providerTypeStep(state, 24);
    EXPECT_EQ(state.providerType, 1u);
    for (int32_t slot : {2, 1, 0, 3, -2}) {
        keySlotStep(state, slot);
        EXPECT_EQ(state.keySpec, slot == 2 ? 2u : 1u) << slot;
    }
}

// ---- the key pair of a request, with a request builder that records what it is given

struct Built {
    std::string container;
    DWORD keySpec = 0;
    std::string commonName;
    int calls = 0;
};
Built g_built;

std::string recordingBuilder(HCRYPTPROV provider, DWORD keySpec, const std::string& commonName,
                             ErrorPair&) {
    ++g_built.calls;
    char name[64] = {};
    DWORD size = sizeof name;
    CryptGetProvParam(provider, PP_CONTAINER, reinterpret_cast<BYTE*>(name), &size, 0);
    g_built.container = name;
    g_built.keySpec = keySpec;
    g_built.commonName = commonName;
    return "REQUEST";
}

RPC_STATUS noIdentifier(std::string& name) {
    name.clear();
    return RPC_S_UUID_NO_ADDRESS;
}
RPC_STATUS takenName(std::string& name) {
    name = "TAKEN";
    return RPC_S_OK;
}

EnrollmentState chosen(const std::string& provider) {
    EnrollmentState state;
    state.providerName = provider;
    return state;
}

TEST_F(Enrollment, KeyPairRefusalsLeaveNoContainerBehind) {
    {
        CryptProvHolder taken;
        ASSERT_TRUE(
            CryptAcquireContextA(taken.out(), "TAKEN", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    }
    struct Case {
        const char* what;
        const char* provider;
        const char* commonName;
        ContainerNamer namer;
        ErrorCode code;
        uint32_t capiError;
    };
    const Case cases[] = {
        {"no common name", MS_ENHANCED_PROV_A, "", newUpperCaseUuidText, err::kBadParameter, 0},
        {"no provider", "", "Alice", newUpperCaseUuidText, err::kCspName, 0},
        {"no identifier", MS_ENHANCED_PROV_A, "Alice", noIdentifier, err::kKeyGeneration,
         RPC_S_UUID_NO_ADDRESS},
        {"container exists", MS_ENHANCED_PROV_A, "Alice", takenName, err::kNoCsp, NTE_EXISTS},
        {"provider gone", "Unknown CSP", "Alice", newUpperCaseUuidText, err::kNoCsp,
         NTE_KEYSET_NOT_DEF},
    };
    for (const Case& c : cases) {
        g_built = {};
        EnrollmentState state = chosen(c.provider);
        EXPECT_EQ(generateKeyPair(state, c.commonName, recordingBuilder, c.namer), "") << c.what;
        EXPECT_EQ(state.status.lastError, c.code) << c.what;
        EXPECT_EQ(state.status.capiError, c.capiError) << c.what;
        EXPECT_EQ(g_built.calls, 0) << c.what;
        std::vector<KeyContainerRecord> all;
        ASSERT_TRUE(listKeyContainers(all));
        ASSERT_EQ(all.size(), 1u) << c.what;
        EXPECT_TRUE(all[0].slots.empty()) << c.what;  // TAKEN kept no key either
    }
}

TEST_F(Enrollment, KeyOptionsReachOnlyProvidersNamedMicrosoft) {
    registerSoftwareProvider(kOtherProvider, PROV_RSA_FULL);
    registerSoftwareProvider("Microsoftish CSP", PROV_RSA_FULL);
    struct Case {
        const char* provider;
        uint32_t genKeyFlags;
        uint32_t keySpec;
        DWORD storedFlags;
    };
    const Case cases[] = {
        {MS_ENHANCED_PROV_A, 0, 1, 0},
        {MS_ENHANCED_PROV_A, 1, 1, CRYPT_EXPORTABLE},
        {MS_DEF_PROV_A, 2, 2, CRYPT_USER_PROTECTED},
        {MS_STRONG_PROV_A, 3, 1, CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED},
        {kOtherProvider, 3, 1, 0},
        {kOtherProvider, 1, 2, 0},
        {"Microsoftish CSP", 3, 1, CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED},
    };
    const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::vector<std::string> seen;
    for (const Case& c : cases) {
        g_built = {};
        EnrollmentState state = chosen(c.provider);
        state.keyBits = 512;
        state.genKeyFlags = c.genKeyFlags;
        state.keySpec = c.keySpec;
        EXPECT_EQ(generateKeyPair(state, "Alice", recordingBuilder), "REQUEST");
        EXPECT_EQ(state.status.lastError, 0);
        EXPECT_EQ(g_built.calls, 1);
        EXPECT_TRUE(std::regex_match(g_built.container, uuid)) << g_built.container;
        EXPECT_EQ(g_built.keySpec, c.keySpec);
        EXPECT_EQ(g_built.commonName, "Alice");
        std::vector<KeyContainerRecord> all;
        ASSERT_TRUE(listKeyContainers(all));
        ASSERT_FALSE(all.empty());
        const KeyContainerRecord& made = all.back();
        EXPECT_EQ(made.container, g_built.container);
        EXPECT_EQ(made.provider, c.provider);
        ASSERT_EQ(made.slots.size(), 1u);
        EXPECT_EQ(made.slots[0].keySpec, c.keySpec);
        EXPECT_EQ(made.slots[0].bits, 512u);
        EXPECT_EQ(made.slots[0].flags, c.storedFlags) << c.provider << " " << c.genKeyFlags;
        seen.push_back(made.container);
    }
    // A new container every time.
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::unique(seen.begin(), seen.end()), seen.end());
}

}  // namespace
