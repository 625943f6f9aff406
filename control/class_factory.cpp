#include "control/class_factory.h"

#include <atomic>
#include <new>

#include "control/guids.h"
#include "control/ks_capi.h"
#include "control/module_state_internal.h"

namespace {

// A factory lives while it has references; it counts against unloading like an object.
class KSCapiFactory final : public IClassFactory {
  public:
    KSCapiFactory() { module_state::objectCreated(); }
    ~KSCapiFactory() { module_state::objectDestroyed(); }
    KSCapiFactory(const KSCapiFactory&) = delete;
    KSCapiFactory& operator=(const KSCapiFactory&) = delete;

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
        if (!ppvObject) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppvObject = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG Release() override {
        ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete this;
        return left;
    }
    HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override {
        return KSCapi::createInstance(pUnkOuter, riid, ppvObject);
    }
    HRESULT LockServer(BOOL fLock) override {
        if (fLock)
            module_state::lock();
        else
            module_state::unlock();
        return S_OK;
    }

  private:
    std::atomic<ULONG> refs_{1};
};

}  // namespace

HRESULT getClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!(rclsid == CLSID_KSCapi)) return CLASS_E_CLASSNOTAVAILABLE;
    auto* factory = new (std::nothrow) KSCapiFactory();
    if (!factory) return E_OUTOFMEMORY;
    HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}

HRESULT canUnloadNow() {
    return module_state::canUnloadNow();
}
