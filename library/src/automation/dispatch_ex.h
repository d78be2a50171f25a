// IDispatchEx for the class on Windows: script engines (JScript's for...in,
// and VBScript and JScript calls when offered) ask for it to enumerate an
// object's members. It lists the five methods of the method table and hands
// every call to the object's IDispatch.
#pragma once

#ifdef _WIN32

#include <dispex.h>

namespace automation {

// Part of an object: its references and identity are the object's.
class DispatchEx final : public IDispatchEx {
 public:
  explicit DispatchEx(IDispatch *object) : object_(object) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
    return object_->QueryInterface(riid, ppv);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return object_->AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return object_->Release(); }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *pctinfo) override { return object_->GetTypeInfoCount(pctinfo); }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo **ppTInfo) override {
    return object_->GetTypeInfo(iTInfo, lcid, ppTInfo);
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR *rgszNames, UINT cNames, LCID lcid,
                                          DISPID *rgDispId) override {
    return object_->GetIDsOfNames(riid, rgszNames, cNames, lcid, rgDispId);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                   DISPPARAMS *pDispParams, VARIANT *pVarResult, EXCEPINFO *pExcepInfo,
                                   UINT *puArgErr) override {
    return object_->Invoke(dispIdMember, riid, lcid, wFlags, pDispParams, pVarResult, pExcepInfo, puArgErr);
  }

  HRESULT STDMETHODCALLTYPE GetDispID(BSTR bstrName, DWORD grfdex, DISPID *pid) override;
  HRESULT STDMETHODCALLTYPE InvokeEx(DISPID id, LCID lcid, WORD wFlags, DISPPARAMS *pdp, VARIANT *pvarRes,
                                     EXCEPINFO *pei, IServiceProvider *pspCaller) override;
  HRESULT STDMETHODCALLTYPE DeleteMemberByName(BSTR, DWORD) override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE DeleteMemberByDispID(DISPID) override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE GetMemberProperties(DISPID, DWORD, DWORD *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMemberName(DISPID id, BSTR *pbstrName) override;
  HRESULT STDMETHODCALLTYPE GetNextDispID(DWORD grfdex, DISPID id, DISPID *pid) override;
  HRESULT STDMETHODCALLTYPE GetNameSpaceParent(IUnknown **ppunk) override {
    if (ppunk == nullptr) return E_POINTER;
    *ppunk = nullptr;
    return E_NOTIMPL;
  }

 private:
  IDispatch *object_;
};

}  // namespace automation

#endif
