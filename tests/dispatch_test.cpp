// Late binding as a script engine uses it: names to identifiers, then Invoke.
#include <gtest/gtest.h>

#include "control/guids.h"
#include "control/ks_capi.h"
#include "platform/com/typeinfo.h"

namespace {

class Dispatch : public ::testing::Test {
  protected:
    void SetUp() override {
        KSCapi* object = KSCapi::create();
        ASSERT_EQ(object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&disp_)), S_OK);
        object->Release();
    }
    void TearDown() override { disp_->Release(); }

    DISPID id(const char16_t* name) {
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        DISPID d = 0;
        EXPECT_EQ(disp_->GetIDsOfNames(IID_NULL, names, 1, 0, &d), S_OK) << "name lookup";
        return d;
    }

    // Invokes `name` as a method with the arguments in script order.
    HRESULT call(const char16_t* name, std::vector<VARIANT> args, VARIANT& result, UINT& argErr,
                 WORD flags = DISPATCH_METHOD) {
        std::vector<VARIANT> reversed(args.rbegin(), args.rend());
        DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
        VariantInit(&result);
        argErr = 99;
        return disp_->Invoke(id(name), IID_NULL, 0, flags, &params, &result, nullptr, &argErr);
    }

    IDispatch* disp_ = nullptr;
};

VARIANT i4(LONG v) {
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_I4;
    x.lVal = v;
    return x;
}

VARIANT str(BstrHolder& holder, const char16_t* text) {
    holder = BstrHolder(SysAllocString(text));
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_BSTR;
    x.bstrVal = holder.get();
    return x;
}

}  // namespace

TEST_F(Dispatch, NamesMapToIdentifiers) {
    EXPECT_EQ(id(u"GetVersion"), 1);
    EXPECT_EQ(id(u"hashfile"), 31);
    EXPECT_EQ(id(u"GETCERTFINGER"), 87);
    LPOLESTR names[] = {const_cast<LPOLESTR>(u"ExportPfxFromIE"),
                        const_cast<LPOLESTR>(u"dwKeyUsage"), const_cast<LPOLESTR>(u"nope")};
    DISPID ids[3];
    EXPECT_EQ(disp_->GetIDsOfNames(IID_NULL, names, 3, 0, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], 53);
    EXPECT_EQ(ids[1], 4);
    EXPECT_EQ(ids[2], DISPID_UNKNOWN);
    LPOLESTR unknown[] = {const_cast<LPOLESTR>(u"Frobnicate")};
    EXPECT_EQ(disp_->GetIDsOfNames(IID_NULL, unknown, 1, 0, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], DISPID_UNKNOWN);
}

TEST_F(Dispatch, InvokeCoercesArguments) {
    VARIANT result;
    UINT argErr;
    // Integers arrive in many forms.
    VARIANT asShort;
    VariantInit(&asShort);
    asShort.vt = VT_I2;
    asShort.iVal = 4;
    BstrHolder eight;
    ASSERT_EQ(call(u"PresetPasswdLengthRange", {asShort, str(eight, u" 8 ")}, result, argErr),
              S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 0);

    VARIANT real;
    VariantInit(&real);
    real.vt = VT_R8;
    real.dblVal = 2.5;  // rounds half to even: 2
    VARIANT flag;
    VariantInit(&flag);
    flag.vt = VT_BOOL;
    flag.boolVal = VARIANT_TRUE;
    ASSERT_EQ(call(u"PresetPasswdLengthRange", {real, flag}, result, argErr), S_OK);

    // Strings: numbers become text, empty means a null string.
    ASSERT_EQ(call(u"SetDefaultPfxFileName", {i4(42)}, result, argErr), S_OK);
    VARIANT empty;
    VariantInit(&empty);
    ASSERT_EQ(call(u"SetDefaultPfxFileName", {empty}, result, argErr), S_OK);

    // A string result comes back as a BSTR the caller owns.
    ASSERT_EQ(call(u"GetErrorMsg", {}, result, argErr), S_OK);
    ASSERT_EQ(result.vt, VT_BSTR);
    EXPECT_GT(SysStringLen(result.bstrVal), 0u);
    VariantClear(&result);
    ASSERT_EQ(call(u"GetErrorCode", {}, result, argErr, DISPATCH_PROPERTYGET), S_OK);
    EXPECT_EQ(result.vt, VT_I4);
}

TEST_F(Dispatch, InvokeErrors) {
    VARIANT result;
    UINT argErr;
    BstrHolder notNumber;
    EXPECT_EQ(call(u"PresetPasswdLengthRange", {i4(1), str(notNumber, u"eight")}, result, argErr),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argErr, 0u);  // rgvarg index: the last argument is first
    EXPECT_EQ(call(u"PresetPasswdLengthRange", {i4(1)}, result, argErr), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(call(u"Hash", {i4(1), i4(2)}, result, argErr, DISPATCH_PROPERTYGET),
              DISP_E_MEMBERNOTFOUND);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(disp_->Invoke(8, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, &argErr),
              DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(disp_->Invoke(1, IID_IDispatch, 0, DISPATCH_METHOD, &none, &result, nullptr, &argErr),
              DISP_E_UNKNOWNINTERFACE);
}

// A script engine's argument that refers to a variant reference (here, itself) is a type
// the call cannot take; it used to be followed without end.
TEST_F(Dispatch, InvokeRefusesVariantReferenceCycles) {
    VARIANT self;
    VariantInit(&self);
    self.vt = VT_VARIANT | VT_BYREF;
    self.byref = &self;
    VARIANT result;
    UINT argErr;
    EXPECT_EQ(call(u"PresetPasswdLengthRange", {i4(1), self}, result, argErr), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argErr, 0u);
}

TEST(ObjectSafety, OptionsAsBrowsersAskForThem) {
    KSCapi* object = KSCapi::create();
    IObjectSafety* safety = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)), S_OK);
    DWORD supported = 7, enabled = 7;
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(supported, 1u);
    EXPECT_EQ(enabled, 0u);
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 3, 3), E_FAIL);
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 1, 1), S_OK);
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(enabled, 1u);
    // Named only among the enabled options, the option is cleared.
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 0, 1), S_OK);
    safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled);
    EXPECT_EQ(enabled, 0u);
    supported = enabled = 5;
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IClassFactory, &supported, &enabled),
              E_NOINTERFACE);
    EXPECT_EQ(supported, 0u);
    EXPECT_EQ(enabled, 0u);
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IClassFactory, 1, 1), E_NOINTERFACE);
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, nullptr, &enabled), E_POINTER);
    safety->Release();
    EXPECT_EQ(object->Release(), 0u);
}

TEST_F(Dispatch, TypeInformationDescribesEveryOperation) {
    UINT count = 0;
    ASSERT_EQ(disp_->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    ITypeInfo* info = nullptr;
    EXPECT_EQ(disp_->GetTypeInfo(1, 0, &info), DISP_E_BADINDEX);
    ASSERT_EQ(disp_->GetTypeInfo(0, 0, &info), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_TRUE(attr->guid == IID_IKSCapi);
    EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
    EXPECT_EQ(attr->cFuncs, 37);
    EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FDUAL);
    info->ReleaseTypeAttr(attr);

    FUNCDESC* f = nullptr;
    ASSERT_EQ(info->GetFuncDesc(16, &f), S_OK);  // ImportPfxToIE
    EXPECT_EQ(f->memid, 51);
    EXPECT_EQ(f->cParams, 5);
    EXPECT_EQ(f->lprgelemdescParam[0].tdesc.vt, VT_BSTR);
    EXPECT_EQ(f->lprgelemdescParam[3].tdesc.vt, VT_I4);
    EXPECT_EQ(f->elemdescFunc.tdesc.vt, VT_I4);
    info->ReleaseFuncDesc(f);
    EXPECT_EQ(info->GetFuncDesc(37, &f), TYPE_E_ELEMENTNOTFOUND);

    BSTR names[6] = {};
    UINT got = 0;
    ASSERT_EQ(info->GetNames(30, names, 6, &got), S_OK);
    ASSERT_EQ(got, 3u);
    EXPECT_EQ(BstrHolder(names[0]).text(), u"Hash");
    EXPECT_EQ(BstrHolder(names[1]).text(), u"strPlainText");
    EXPECT_EQ(BstrHolder(names[2]).text(), u"dwFlags");

    LPOLESTR lookup[] = {const_cast<LPOLESTR>(u"getcertfinger")};
    MEMBERID id = 0;
    EXPECT_EQ(info->GetIDsOfNames(lookup, 1, &id), S_OK);
    EXPECT_EQ(id, 87);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(info->Invoke(disp_, 2, DISPATCH_METHOD, &none, &result, nullptr, nullptr), S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    info->Release();
}
