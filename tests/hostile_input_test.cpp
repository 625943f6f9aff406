// Every operation called through the control object with hostile strings and extreme
// integers: each call must return S_OK and leave an error code the control defines.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "control/ks_capi.h"
#include "control/operation_table.h"
#include "status/error_messages.h"
#include "temp_home.h"
#include "test_support.h"

namespace {

// A string argument: null when `isNull`, else `text` with its exact length (so embedded
// zeros reach the operation).
struct HostileString {
    const char* label;
    bool isNull;
    std::u16string text;
};

std::vector<HostileString> hostileStrings() {
    return {
        {"null", true, {}},
        {"empty", false, u""},
        {"1MiB", false, std::u16string(1 << 20, u'A')},
        {"embedded zero", false, std::u16string(u"CN=a\0b", 6)},
        {"lone high surrogate", false, std::u16string(u"ab") + char16_t(0xD800)},
        {"lone low surrogate", false, std::u16string(1, char16_t(0xDC00)) + u"cd"},
        // Thai letters and an emoji (a surrogate pair): no Big5 mapping for either.
        {"not in Big5", false, u"\u0E01\u0E02 \U0001F600"},
    };
}

std::vector<LONG> hostileInts() {
    std::vector<LONG> values = {0, -1, INT_MIN, INT_MAX};
    for (int bit = 0; bit < 31; ++bit) values.push_back(LONG(1) << bit);
    return values;
}

// Codes a call may leave: success, the cancelled-dialog code and every row of the
// message table.
const std::set<ErrorCode>& definedCodes() {
    static const std::set<ErrorCode> codes = [] {
        std::set<ErrorCode> s = {0, 1102};
        for (size_t i = 0; i < errorMessageCount(); ++i) s.insert(errorMessageCodeAt(i));
        return s;
    }();
    return codes;
}

const char16_t kSignerFilter[] = u"S_C=TW,S_O=Kestrune Test,S_CN=Sign Good";

// The operation's index in the table, and whether "MY" holds a keyed certificate that
// is selected as the signer before each call (so signing and export go past the lookup).
using Param = std::tuple<size_t, bool>;

class HostileInput : public ::testing::TestWithParam<Param> {
  protected:
    const OperationInfo& op() const { return operations()[std::get<0>(GetParam())]; }
    bool withSigner() const { return std::get<1>(GetParam()); }

    void importSigner() {
        int status = -1;
        testing_support::runCommand(std::string(KSCAPI_HOST_PATH) + " --home " +
                                        getenv("KSCAPI_HOME") + " store import-pfx " +
                                        KSCAPI_SOURCE_DIR +
                                        "/tests/fixtures/sign/good.pfx secret --exportable",
                                    &status);
        ASSERT_EQ(status, 0);
    }

    // Calls the operation with `strings` for its string parameters (in order) and
    // `ints` for its int parameters, then checks the HRESULT and the error code.
    void callAndCheck(KSCapi* object, const std::vector<const HostileString*>& strings,
                      const std::vector<LONG>& ints, const std::string& trace) {
        SCOPED_TRACE(trace);
        std::vector<BstrHolder> holders;
        OperationArg args[5];
        size_t si = 0, ii = 0;
        for (int p = 0; p < op().paramCount; ++p) {
            if (op().params[p].type == ValueType::String) {
                const HostileString* s = strings[si++];
                if (!s->isNull) {
                    holders.push_back(BstrHolder::fromU16(s->text));
                    args[p].str = holders.back().get();
                }
            } else {
                args[p].i = ints[ii++];
            }
        }
        if (withSigner()) {
            BstrHolder filter(SysAllocString(kSignerFilter));
            LONG ret = -1;
            ASSERT_EQ(object->SelectSigner(filter.get(), 0, 0, &ret), S_OK);
            // Export flag 0x1000 moves the certificate out of "MY": put it back.
            if (ret != 0) {
                importSigner();
                ASSERT_EQ(object->SelectSigner(filter.get(), 0, 0, &ret), S_OK);
            }
            ASSERT_EQ(ret, 0);
        }
        OperationResult result;
        ASSERT_EQ(op().invoke(object, args, &result), S_OK);
        BstrHolder owned(result.str);

        LONG code = -12345;
        ASSERT_EQ(object->GetErrorCode(&code), S_OK);
        EXPECT_TRUE(definedCodes().count(code)) << op().name << " left code " << code;
    }
};

TEST_P(HostileInput, EveryArgumentVariantAnswersWithADefinedCode) {
    TempHome home;
    // Files an export writes for a relative path land in a folder removed afterwards.
    testing_support::TempDir work;
    struct WorkingFolder {
        explicit WorkingFolder(const std::string& dir) { std::filesystem::current_path(dir); }
        ~WorkingFolder() { std::filesystem::current_path(previous); }
        std::filesystem::path previous = std::filesystem::current_path();
    } inWork(work.path());
    if (withSigner()) importSigner();
    KSCapi* object = KSCapi::create();
    ASSERT_NE(object, nullptr);
    struct Releaser {
        KSCapi* o;
        ~Releaser() { o->Release(); }
    } releaser{object};

    const auto strings = hostileStrings();
    const auto ints = hostileInts();
    size_t stringCount = 0, intCount = 0;
    for (int p = 0; p < op().paramCount; ++p)
        (op().params[p].type == ValueType::String ? stringCount : intCount)++;

    const HostileString& plainEmpty = strings[1];
    std::vector<const HostileString*> baseStrings(stringCount, &plainEmpty);
    std::vector<LONG> baseInts(intCount, 0);

    if (op().paramCount == 0) callAndCheck(object, {}, {}, "no arguments");

    // One parameter hostile at a time, the others plain.
    for (size_t s = 0; s < stringCount; ++s) {
        for (const auto& variant : strings) {
            auto args = baseStrings;
            args[s] = &variant;
            callAndCheck(object, args, baseInts,
                         "string " + std::to_string(s) + ": " + variant.label);
        }
    }
    for (size_t i = 0; i < intCount; ++i) {
        for (LONG value : ints) {
            auto args = baseInts;
            args[i] = value;
            callAndCheck(object, baseStrings, args,
                         "int " + std::to_string(i) + ": " + std::to_string(value));
        }
    }
    // Every string parameter hostile at once, with every int at -1.
    if (stringCount > 1) {
        for (const auto& variant : strings) {
            std::vector<const HostileString*> args(stringCount, &variant);
            callAndCheck(object, args, std::vector<LONG>(intCount, -1),
                         std::string("all strings: ") + variant.label);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllOperations, HostileInput,
                         ::testing::Combine(::testing::Range(size_t(0), kOperationCount),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<Param>& info) {
                             return std::string(operations()[std::get<0>(info.param)].name) +
                                    (std::get<1>(info.param) ? "_WithSigner" : "_EmptyStore");
                         });

}  // namespace
