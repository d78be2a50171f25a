// The automation class's parts inside the library: its registration table,
// the small component runtime the registration and class-factory exports
// hand their requests to, and the creation of objects.
#pragma once

#include <cls_Tavrin_USB.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace automation {

// Texts of the platform's wide characters (char16_t here, wchar_t on Windows).
using OleString = std::basic_string<OLECHAR>;

// Everything the component runtime registers for the library.
struct RegistrationTable {
  const OLECHAR *TypeLibraryName;  // also the first half of the ProgID
  GUID TypeLibraryId;
  WORD MajorVersion;
  WORD MinorVersion;
  const OLECHAR *ClassName;  // the ProgID's second half
  CLSID ClassId;
  const OLECHAR *InterfaceName;
  IID InterfaceId;
  const OLECHAR *ThreadingModel;
};

extern const RegistrationTable kRegistration;

// ---- Component runtime ------------------------------------------------------

// Objects and class factories alive, and server locks held, in this library.
void ObjectCreated();
void ObjectDestroyed();
void ServerLocked(bool lock);
bool CanUnload();

// Registers the type library (where the platform has one), the class with
// this library as its in-process server, the programmatic identifier and the
// interface; on a failure nothing stays registered. SELFREG_E_TYPELIB or
// SELFREG_E_CLASS on failure.
HRESULT RegisterServer(const RegistrationTable &table);
// Removes what RegisterServer wrote. A programmatic identifier that now
// names another class is left alone. S_OK also when nothing was registered.
HRESULT UnregisterServer(const RegistrationTable &table);

// The class factory of `table`'s class.
HRESULT GetClassObject(const RegistrationTable &table, REFCLSID clsid, REFIID riid, void **ppv);

// The library's own file.
bool ModulePath(OleString *path);

#ifdef _WIN32
// Process attach and detach, handed over by the library's entry point.
void ProcessAttach(HINSTANCE instance);
void ProcessDetach();
#endif

// ---- The class --------------------------------------------------------------

// A new reference to the type information of _cls_Tavrin_USB.
HRESULT InterfaceTypeInfo(ITypeInfo **info);

// A new object of cls_Tavrin_USB, with one reference, as `riid`.
HRESULT CreateObject(REFIID riid, void **ppv);

// IUnknown for the library's objects: one interface `Interface`, answered for
// the identifiers `Derived::Answers` accepts; each object counts as live while
// it exists, and deletes itself on its last Release.
template <typename Derived, typename Interface>
class ComObject : public Interface {
 public:
  ComObject() { ObjectCreated(); }
  ~ComObject() { ObjectDestroyed(); }
  ComObject(const ComObject &) = delete;
  ComObject &operator=(const ComObject &) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (Derived::Answers(riid)) {
      *ppv = static_cast<Interface *>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete static_cast<Derived *>(this);
    return left;
  }

 private:
  std::atomic<ULONG> references_{1};
};

}  // namespace automation
