#include "control/class_factory.h"

#include <gtest/gtest.h>

#include "control/guids.h"
#include "control/ikscapi.h"

namespace {

// An outer object that aggregates the control and forwards its own IUnknown.
class Outer final : public IUnknown {
  public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        return inner->QueryInterface(riid, ppv);
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    ULONG refs = 1;
    IUnknown* inner = nullptr;
};

IClassFactory* factory() {
    IClassFactory* f = nullptr;
    EXPECT_EQ(getClassObject(CLSID_KSCapi, IID_IClassFactory, reinterpret_cast<void**>(&f)), S_OK);
    return f;
}

}  // namespace

TEST(ClassFactory, OnlyTheControlsClass) {
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(getClassObject(IID_IKSCapi, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(getClassObject(CLSID_KSCapi, IID_IKSCapi, &p), E_NOINTERFACE);
    EXPECT_EQ(canUnloadNow(), S_OK);
}

TEST(ClassFactory, CreatesObjectsAndCountsThem) {
    IClassFactory* f = factory();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(canUnloadNow(), S_FALSE);  // a factory is alive
    IKSCapi* object = nullptr;
    ASSERT_EQ(f->CreateInstance(nullptr, IID_IKSCapi, reinterpret_cast<void**>(&object)), S_OK);
    void* none = nullptr;
    EXPECT_EQ(f->CreateInstance(nullptr, IID_IClassFactory, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    f->LockServer(TRUE);
    f->Release();
    BstrHolder version;
    EXPECT_EQ(object->GetErrorMsg(version.out()), S_OK);
    EXPECT_EQ(object->Release(), 0u);
    EXPECT_EQ(canUnloadNow(), S_FALSE);  // the lock still holds the module
    IClassFactory* g = factory();
    g->LockServer(FALSE);
    g->Release();
    EXPECT_EQ(canUnloadNow(), S_OK);
}

TEST(ClassFactory, Aggregation) {
    IClassFactory* f = factory();
    Outer outer;
    void* p = nullptr;
    EXPECT_EQ(f->CreateInstance(&outer, IID_IKSCapi, &p), CLASS_E_NOAGGREGATION);
    ASSERT_EQ(f->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)),
              S_OK);
    f->Release();
    // Interfaces of the inner object answer for the outer one's identity.
    IKSCapi* capi = nullptr;
    ASSERT_EQ(outer.inner->QueryInterface(IID_IKSCapi, reinterpret_cast<void**>(&capi)), S_OK);
    EXPECT_EQ(outer.refs, 2u);  // the reference went to the outer object
    IUnknown* identity = nullptr;
    ASSERT_EQ(capi->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, &outer);
    identity->Release();
    capi->Release();
    EXPECT_EQ(outer.refs, 1u);
    EXPECT_EQ(outer.inner->Release(), 0u);
    EXPECT_EQ(canUnloadNow(), S_OK);
}
