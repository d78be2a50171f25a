// IDispatchEx over the method table (Windows).
#ifdef _WIN32

#include "dispatch_ex.h"

#include "method_table.h"

#include <vector>

namespace automation {

HRESULT DispatchEx::GetDispID(BSTR bstrName, DWORD, DISPID *pid) {
  LPOLESTR names[1] = {bstrName};
  return object_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, pid);
}

HRESULT DispatchEx::InvokeEx(DISPID id, LCID lcid, WORD wFlags, DISPPARAMS *pdp, VARIANT *pvarRes, EXCEPINFO *pei,
                             IServiceProvider *) {
  if (pdp == nullptr) return E_INVALIDARG;
  // Script engines add the caller's "this" as a named argument; the methods
  // have no use for it.
  std::vector<VARIANTARG> arguments;
  std::vector<DISPID> named;
  for (UINT i = 0; i < pdp->cArgs; ++i) {
    const bool isNamed = i < pdp->cNamedArgs;
    if (isNamed && pdp->rgdispidNamedArgs[i] == DISPID_THIS) continue;
    arguments.push_back(pdp->rgvarg[i]);
    if (isNamed) named.push_back(pdp->rgdispidNamedArgs[i]);
  }
  DISPPARAMS parameters{arguments.data(), named.data(), static_cast<UINT>(arguments.size()),
                        static_cast<UINT>(named.size())};
  UINT argumentError = 0;
  return object_->Invoke(id, IID_NULL, lcid, wFlags, &parameters, pvarRes, pei, &argumentError);
}

HRESULT DispatchEx::GetMemberName(DISPID id, BSTR *pbstrName) {
  if (pbstrName == nullptr) return E_POINTER;
  *pbstrName = nullptr;
  for (const MethodEntry &entry : kMethods) {
    if (entry.id == id) {
      *pbstrName = SysAllocString(entry.name);
      return *pbstrName == nullptr ? E_OUTOFMEMORY : S_OK;
    }
  }
  return DISP_E_UNKNOWNNAME;
}

HRESULT DispatchEx::GetNextDispID(DWORD, DISPID id, DISPID *pid) {
  if (pid == nullptr) return E_POINTER;
  constexpr size_t kCount = sizeof kMethods / sizeof kMethods[0];
  size_t next = 0;
  if (id != DISPID_STARTENUM) {
    while (next < kCount && kMethods[next].id != id) ++next;
    if (next == kCount) {
      *pid = DISPID_STARTENUM;
      return E_INVALIDARG;
    }
    ++next;
  }
  if (next == kCount) {
    *pid = DISPID_STARTENUM;
    return S_FALSE;
  }
  *pid = kMethods[next].id;
  return S_OK;
}

}  // namespace automation

#endif
