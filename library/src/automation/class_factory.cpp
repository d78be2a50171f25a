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

class ClassFactory final : public ComObject<ClassFactory, IClassFactory> {
 public:
  static bool Answers(REFIID riid) { return IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory); }

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
};

}  // namespace

void ObjectCreated() { ++liveObjects; }
void ObjectDestroyed() { --liveObjects; }

void ServerLocked(bool lock) {
  if (lock) {
    ++serverLocks;
    return;
  }
  // An unlock without a lock is ignored: the count never goes below zero,
  // so that a later lock still holds the library.
  long held = serverLocks.load();
  while (held > 0 && !serverLocks.compare_exchange_weak(held, held - 1)) {
  }
}

bool CanUnload() { return liveObjects == 0 && serverLocks == 0; }

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
