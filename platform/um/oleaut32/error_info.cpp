// Rich error information: the error object CreateErrorInfo makes, and the
// one each thread keeps between SetErrorInfo and GetErrorInfo.
#include <oaidl.h>

#include <atomic>
#include <new>

namespace {

class ErrorInfo final : public IErrorInfo, public ICreateErrorInfo {
 public:
  ~ErrorInfo() {
    SysFreeString(source_);
    SysFreeString(description_);
    SysFreeString(helpFile_);
  }

  // -- IUnknown (both interfaces share one object)
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IErrorInfo)) {
      *ppv = static_cast<IErrorInfo *>(this);
    } else if (IsEqualIID(riid, IID_ICreateErrorInfo)) {
      *ppv = static_cast<ICreateErrorInfo *>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  // -- IErrorInfo
  HRESULT STDMETHODCALLTYPE GetGUID(GUID *pGUID) override {
    if (pGUID == nullptr) return E_INVALIDARG;
    *pGUID = guid_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSource(BSTR *pBstrSource) override { return Copy(source_, pBstrSource); }
  HRESULT STDMETHODCALLTYPE GetDescription(BSTR *pBstrDescription) override {
    return Copy(description_, pBstrDescription);
  }
  HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR *pBstrHelpFile) override { return Copy(helpFile_, pBstrHelpFile); }
  HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD *pdwHelpContext) override {
    if (pdwHelpContext == nullptr) return E_INVALIDARG;
    *pdwHelpContext = helpContext_;
    return S_OK;
  }

  // -- ICreateErrorInfo
  HRESULT STDMETHODCALLTYPE SetGUID(REFGUID rguid) override {
    guid_ = rguid;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSource(LPOLESTR szSource) override { return Set(&source_, szSource); }
  HRESULT STDMETHODCALLTYPE SetDescription(LPOLESTR szDescription) override {
    return Set(&description_, szDescription);
  }
  HRESULT STDMETHODCALLTYPE SetHelpFile(LPOLESTR szHelpFile) override { return Set(&helpFile_, szHelpFile); }
  HRESULT STDMETHODCALLTYPE SetHelpContext(DWORD dwHelpContext) override {
    helpContext_ = dwHelpContext;
    return S_OK;
  }

 private:
  static HRESULT Copy(BSTR from, BSTR *to) {
    if (to == nullptr) return E_INVALIDARG;
    *to = nullptr;
    if (from == nullptr) return S_OK;
    *to = SysAllocStringLen(from, SysStringLen(from));
    return *to == nullptr ? E_OUTOFMEMORY : S_OK;
  }
  static HRESULT Set(BSTR *field, LPOLESTR text) {
    BSTR copy = nullptr;
    if (text != nullptr && (copy = SysAllocString(text)) == nullptr) return E_OUTOFMEMORY;
    SysFreeString(*field);
    *field = copy;
    return S_OK;
  }

  std::atomic<ULONG> references_{1};
  GUID guid_{};
  BSTR source_ = nullptr;
  BSTR description_ = nullptr;
  BSTR helpFile_ = nullptr;
  DWORD helpContext_ = 0;
};

// The thread's error object; the reference is released at thread exit.
struct ThreadError {
  IErrorInfo *info = nullptr;
  ~ThreadError() {
    if (info != nullptr) info->Release();
  }
};
thread_local ThreadError t_error;

}  // namespace

HRESULT CreateErrorInfo(ICreateErrorInfo **pperrinfo) {
  if (pperrinfo == nullptr) return E_INVALIDARG;
  auto *info = new (std::nothrow) ErrorInfo;
  *pperrinfo = info;
  return info == nullptr ? E_OUTOFMEMORY : S_OK;
}

HRESULT SetErrorInfo(ULONG dwReserved, IErrorInfo *perrinfo) {
  if (dwReserved != 0) return E_INVALIDARG;
  if (perrinfo != nullptr) perrinfo->AddRef();
  IErrorInfo *previous = t_error.info;
  t_error.info = perrinfo;
  if (previous != nullptr) previous->Release();
  return S_OK;
}

HRESULT GetErrorInfo(ULONG dwReserved, IErrorInfo **pperrinfo) {
  if (dwReserved != 0 || pperrinfo == nullptr) return E_INVALIDARG;
  *pperrinfo = t_error.info;
  t_error.info = nullptr;
  return *pperrinfo != nullptr ? S_OK : S_FALSE;
}
