// The control object's frame: argument copies, results, error-state rules, identity.
#include <gtest/gtest.h>

#include <set>

#include "control/guids.h"
#include "control/ks_capi.h"
#include "control/operation_table.h"
#include "test_support.h"

namespace {

// One reference to a fresh control object.
class Control {
  public:
    Control() : object_(KSCapi::create()) {}
    ~Control() {
        if (object_) object_->Release();
    }
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;
    KSCapi* operator->() { return object_; }
    KSCapi* get() { return object_; }
    CapiEngine& engine() { return object_->engine(); }

  private:
    KSCapi* object_;
};

// Calls `op` with null strings and zero integers; returns the HRESULT and the result.
HRESULT callWithDefaults(KSCapi* object, const OperationInfo& op, BstrHolder& text, LONG& number) {
    OperationArg args[5];
    OperationResult result;
    HRESULT hr = op.invoke(object, args, &result);
    text = BstrHolder(result.str);
    number = result.i;
    return hr;
}

enum class Clears { Nothing, LastError, Both };

// Which error values each operation resets when it starts.
Clears clearsAtStart(const std::string& name) {
    static const std::set<std::string> both = {
        "SetProviderName", "CreatePKCS10",        "AcceptPKCS7",        "ImportPfxToIE",
        "ExportPfxFromIE", "ExportMobileFromPfx", "ExportMobileFromIE", "ChangePfxPasswd",
        "SelectSigner",    "SignPkcs1",           "SignPkcs7"};
    static const std::set<std::string> nothing = {
        "GetErrorCode",           "GetErrorMsg",
        "GetCapiErrorCode",       "GetCapiErrorMsg",
        "GetWindowsSystemName",   "GetCertB64",
        "GetExportedPfxFilePath", "GetExportedPfxFileName",
        "GetSignerPfxFilePath",   "GetSignerPfxFileName"};
    if (both.count(name)) return Clears::Both;
    if (nothing.count(name)) return Clears::Nothing;
    return Clears::LastError;
}

}  // namespace

TEST(Control, EveryOperationAnswersThroughItsSlot) {
    Control c;
    const OperationInfo* ops = operations();
    for (size_t i = 0; i < kOperationCount; ++i) {
        BstrHolder text;
        LONG number = -99;
        EXPECT_EQ(callWithDefaults(c.get(), ops[i], text, number), S_OK) << ops[i].name;
        if (ops[i].result == ValueType::String) {
            EXPECT_NE(text.get(), nullptr) << ops[i].name << " returned a null string";
        }
        EXPECT_EQ(ops[i].slot, static_cast<int>(i) + 1);
    }
}

TEST(Control, ErrorStateRulesPerOperation) {
    constexpr ErrorCode kSentinel = 4242;
    constexpr uint32_t kPlatformSentinel = 0x1234;
    const OperationInfo* ops = operations();
    for (size_t i = 0; i < kOperationCount; ++i) {
        Control c;
        c.engine().lastError = kSentinel;
        c.engine().capiError = kPlatformSentinel;
        BstrHolder text;
        LONG number;
        callWithDefaults(c.get(), ops[i], text, number);
        const std::string name = ops[i].name;
        switch (clearsAtStart(name)) {
            case Clears::Nothing:
                EXPECT_EQ(c.engine().lastError, kSentinel) << name;
                EXPECT_EQ(c.engine().capiError, kPlatformSentinel) << name;
                break;
            case Clears::LastError:
                EXPECT_NE(c.engine().lastError, kSentinel) << name;
                EXPECT_EQ(c.engine().capiError, kPlatformSentinel) << name;
                break;
            case Clears::Both:
                EXPECT_NE(c.engine().lastError, kSentinel) << name;
                EXPECT_NE(c.engine().capiError, kPlatformSentinel) << name;
                break;
        }
        // Integer results are the call's error code, except for the two setters.
        if (ops[i].result == ValueType::Int && name != "GetErrorCode" &&
            name != "GetCapiErrorCode") {
            if (name == "PresetPasswdLengthRange" || name == "SetDefaultPfxFileName") {
                EXPECT_EQ(number, 0) << name;
            } else {
                EXPECT_EQ(number, c.engine().lastError) << name;
            }
        }
    }
}

TEST(Control, FreshObjectState) {
    Control c;
    LONG code = -1;
    EXPECT_EQ(c->GetErrorCode(&code), S_OK);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(c->GetCapiErrorCode(&code), S_OK);
    EXPECT_EQ(code, 0);
    CapiEngine& e = c.engine();
    EXPECT_EQ(e.signerSource, -1);
    EXPECT_EQ(e.passwordMinLength, 0);
    EXPECT_EQ(e.passwordMaxLength, 16);
    EXPECT_EQ(e.enrollment.keyBits, 1024);
    EXPECT_EQ(e.enrollment.providerType, 1u);
    EXPECT_EQ(e.enrollment.keySpec, 1u);
    EXPECT_EQ(e.enrollment.genKeyFlags, 1u);
    for (auto getter : {&KSCapi::GetExportedPfxFilePath, &KSCapi::GetSignerPfxFilePath,
                        &KSCapi::GetCertB64, &KSCapi::GetCertSubject}) {
        BstrHolder s;
        EXPECT_EQ((c.get()->*getter)(s.out()), S_OK);
        ASSERT_NE(s.get(), nullptr);
        EXPECT_EQ(SysStringLen(s.get()), 0u);
    }
}

TEST(Control, StringArgumentsAreCutAtTheFirstZeroAndNullIsEmpty) {
    Control c;
    LONG ret = -1;
    const char16_t embedded[] = {u'a', u'b', 0, u'c'};
    BstrHolder arg(SysAllocStringLen(embedded, 4));
    EXPECT_EQ(c->SetDefaultPfxFileName(arg.get(), &ret), S_OK);
    EXPECT_EQ(ret, 0);
    EXPECT_EQ(c.engine().defaultPfxPrefix, "ab");
    EXPECT_EQ(c->SetDefaultPfxFileName(nullptr, &ret), S_OK);
    EXPECT_EQ(c.engine().defaultPfxPrefix, "");
}

TEST(Control, ArgumentsAndResultsUseTheAnsiCodePage) {
    testing_support::ScopedCodePage big5(950);
    Control c;
    LONG ret;
    BstrHolder arg(SysAllocString(u"憑證"));
    c->SetDefaultPfxFileName(arg.get(), &ret);
    EXPECT_EQ(c.engine().defaultPfxPrefix, "\xBE\xCC\xC3\xD2");
    BstrHolder msg;
    c->GetErrorMsg(msg.out());
    EXPECT_EQ(msg.text(), u"成功(0)");
}

TEST(Control, NullResultPointerIsRefused) {
    Control c;
    EXPECT_EQ(c->GetVersion(nullptr), E_POINTER);
    EXPECT_EQ(c->GetErrorCode(nullptr), E_POINTER);
}

TEST(Control, StatusSurvivesQueriesThatDoNotWorkIt) {
    Control c;
    c.engine().lastError = 5005;
    c.engine().capiError = 0x80090010;
    BstrHolder s;
    c->GetWindowsSystemName(s.out());
    c->GetSignerPfxFileName(s.out());
    c->GetExportedPfxFileName(s.out());
    c->GetCertB64(s.out());
    c->GetErrorMsg(s.out());
    LONG code = 0;
    c->GetErrorCode(&code);
    EXPECT_EQ(code, 5005);
    c->GetErrorCode(&code);
    EXPECT_EQ(code, 5005);
    c->GetCapiErrorCode(&code);
    EXPECT_EQ(code, -2146893808);
}

TEST(Control, ObjectsHaveIndependentState) {
    Control a, b;
    LONG ret;
    a->PresetPasswdLengthRange(4, 8, &ret);
    BstrHolder signer(SysAllocString(u""));
    b->SelectSigner(signer.get(), 0, 0, &ret);
    EXPECT_EQ(a.engine().passwordMinLength, 4);
    EXPECT_EQ(b.engine().passwordMinLength, 0);
    EXPECT_EQ(a.engine().lastError, 0);
    EXPECT_NE(b.engine().lastError, 0);
}

TEST(Control, PasswordRangeIsNormalised) {
    struct Case {
        int32_t min, max, wantMin, wantMax;
    } cases[] = {{8, 0, 0, 8}, {0, 8, 0, 8}, {20, 10, 10, 20}, {-5, -3, 0, 16},
                 {4, 8, 4, 8}, {1, 1, 1, 1}, {3, -2, 0, 3}};
    for (const auto& t : cases) {
        Control c;
        LONG ret = -1;
        c->PresetPasswdLengthRange(t.min, t.max, &ret);
        EXPECT_EQ(ret, 0);
        EXPECT_EQ(c.engine().passwordMinLength, t.wantMin) << t.min << "," << t.max;
        EXPECT_EQ(c.engine().passwordMaxLength, t.wantMax) << t.min << "," << t.max;
    }
}

TEST(Control, IdentityAndLifetime) {
    KSCapi* object = KSCapi::create();
    ASSERT_NE(object, nullptr);
    void* unknown = nullptr;
    void* capi = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_IUnknown, &unknown), S_OK);
    ASSERT_EQ(object->QueryInterface(IID_IKSCapi, &capi), S_OK);
    EXPECT_EQ(unknown, capi);
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(object->QueryInterface(IID_IClassFactory, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(object->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(static_cast<IUnknown*>(unknown)->Release(), 2u);
    EXPECT_EQ(static_cast<IUnknown*>(capi)->Release(), 1u);
    EXPECT_EQ(object->Release(), 0u);
}

TEST(OperationTable, LookupByNameAndDispid) {
    EXPECT_EQ(findOperation("hash")->dispid, 30);
    EXPECT_EQ(findOperation("GETCERTFINGER")->slot, 37);
    EXPECT_EQ(findOperation("Hashx"), nullptr);
    EXPECT_STREQ(findOperationByDispid(53)->name, "ExportPfxFromIE");
    EXPECT_EQ(findOperationByDispid(8), nullptr);
    std::set<DISPID> seen;
    for (size_t i = 0; i < kOperationCount; ++i)
        EXPECT_TRUE(seen.insert(operations()[i].dispid).second);
}

// The getters read the selected signer's certificate; with none selected they are empty.
TEST(Control, CertificateGettersFollowTheSelectedSigner) {
    Control c;
    ByteBuffer der;
    ASSERT_TRUE(
        der.loadFromFile(std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/certs/signer.der"));
    c.engine().lastError = 5010;
    BstrHolder s;
    c->GetCertSubject(s.out());
    EXPECT_EQ(SysStringLen(s.get()), 0u);
    EXPECT_EQ(c.engine().lastError, 0);

    c.engine().signerCert.assign(der.data(), der.length());
    c->GetCertB64(s.out());
    ByteBuffer back;
    ASSERT_TRUE(back.decodeBase64Text(toAnsi(s.text()).c_str()));
    EXPECT_EQ(back.str(), der.str());
    c->GetCertFinger(s.out());
    EXPECT_EQ(SysStringLen(s.get()), 40u);
    c->GetCertSubjectCN(s.out());
    EXPECT_GT(SysStringLen(s.get()), 0u);
}
