// The class factory of cls_Tavrin_USB and the library's count of what keeps
// it loaded: live objects and factories, and server locks.
#include "automation.h"

#include <objbase.h>

#include <atomic>
#include <new>

namespace automation {
namespace {

std::atomic<long> liveObjects{0};
std::atomic<long> serverLocks{0};

class ClassFactory final : public IClassFactory {
 public:
  ClassFactory() { ObjectCreated(); }
  ~ClassFactory() { ObjectDestroyed(); }
  ClassFactory(const ClassFactory &) = delete;
  ClassFactory &operator=(const ClassFactory &) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *ppv = static_cast<IClassFactory *>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *pUnkOuter, REFIID riid, void **ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
    return CreateObject(riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override {
    ServerLocked(fLock != FALSE);
    return S_OK;
  }

 private:
  std::atomic<ULONG> references_{1};
};

}  // namespace

void ObjectCreated() { ++liveObjects; }
void ObjectDestroyed() { --liveObjects; }

void ServerLocked(bool lock) {
  if (lock) {
    ++serverLocks;
  } else {
    --serverLocks;
  }
}

bool CanUnload() { return liveObjects == 0 && serverLocks <= 0; }

HRESULT GetClassObject(const RegistrationTable &table, REFCLSID clsid, REFIID riid, void **ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualCLSID(clsid, table.ClassId)) return CLASS_E_CLASSNOTAVAILABLE;
  auto *factory = new (std::nothrow) ClassFactory;
  if (factory == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = factory->QueryInterface(riid, ppv);
  factory->Release();
  return hr;
}

}  // namespace automation
