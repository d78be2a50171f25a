// CreateDispTypeInfo: an ITypeInfo over a table of methods. It answers name
// lookups, describes each function (FUNCDESC) and calls methods through the
// object's method table, converting arguments as VariantChangeType does.
#include <oaidl.h>

#include <atomic>
#include <new>
#include <string>
#include <vector>

namespace {

// The most parameters a method may have here, its result among them.
constexpr UINT kMostParameters = 6;

OLECHAR Fold(OLECHAR c) { return c >= u'A' && c <= u'Z' ? static_cast<OLECHAR>(c + (u'a' - u'A')) : c; }

bool SameName(const std::u16string &a, const OLECHAR *b) {
  if (b == nullptr) return false;
  size_t i = 0;
  for (; i < a.size() && b[i] != 0; ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return i == a.size() && b[i] == 0;
}

struct Parameter {
  std::u16string name;
  VARTYPE vt;
};

struct Method {
  std::u16string name;
  std::vector<Parameter> parameters;  // the result parameter last, if any
  DISPID id;
  UINT slot;
  CALLCONV convention;
  WORD flags;
  VARTYPE result;
  bool hasRetval;  // the last parameter is [out, retval]
};

class DispatchTypeInfo final : public ITypeInfo {
 public:
  explicit DispatchTypeInfo(std::vector<Method> methods) : methods_(std::move(methods)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ITypeInfo)) {
      *ppv = static_cast<ITypeInfo *>(this);
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

  HRESULT STDMETHODCALLTYPE GetTypeAttr(TYPEATTR **ppTypeAttr) override {
    if (ppTypeAttr == nullptr) return E_INVALIDARG;
    auto *attributes = new (std::nothrow) TYPEATTR{};
    if (attributes == nullptr) return E_OUTOFMEMORY;
    attributes->memidConstructor = MEMBERID_NIL;
    attributes->memidDestructor = MEMBERID_NIL;
    attributes->typekind = TKIND_INTERFACE;
    attributes->cFuncs = static_cast<WORD>(methods_.size());
    UINT slots = 0;
    for (const Method &m : methods_) slots = m.slot + 1 > slots ? m.slot + 1 : slots;
    attributes->cbSizeVft = static_cast<WORD>(slots * sizeof(void *));
    attributes->cbAlignment = sizeof(void *);
    attributes->cbSizeInstance = sizeof(void *);
    *ppTypeAttr = attributes;
    return S_OK;
  }
  void STDMETHODCALLTYPE ReleaseTypeAttr(TYPEATTR *pTypeAttr) override { delete pTypeAttr; }

  HRESULT STDMETHODCALLTYPE GetFuncDesc(UINT index, FUNCDESC **ppFuncDesc) override {
    if (ppFuncDesc == nullptr) return E_INVALIDARG;
    *ppFuncDesc = nullptr;
    if (index >= methods_.size()) return TYPE_E_ELEMENTNOTFOUND;
    const Method &m = methods_[index];
    // One block: the description, then its parameters.
    const size_t count = m.parameters.size();
    auto *block = new (std::nothrow) unsigned char[sizeof(FUNCDESC) + count * sizeof(ELEMDESC)]();
    if (block == nullptr) return E_OUTOFMEMORY;
    auto *function = reinterpret_cast<FUNCDESC *>(block);
    auto *parameters = reinterpret_cast<ELEMDESC *>(block + sizeof(FUNCDESC));
    function->memid = m.id;
    function->lprgelemdescParam = count != 0 ? parameters : nullptr;
    function->funckind = FUNC_PUREVIRTUAL;
    function->invkind = static_cast<INVOKEKIND>(m.flags);
    function->callconv = m.convention;
    function->cParams = static_cast<SHORT>(count);
    function->oVft = static_cast<SHORT>(m.slot * sizeof(void *));
    function->elemdescFunc.tdesc.vt = m.result;
    for (size_t p = 0; p < count; ++p) {
      parameters[p].tdesc.vt = m.parameters[p].vt;
      const bool retval = m.hasRetval && p + 1 == count;
      const bool byReference = (m.parameters[p].vt & VT_BYREF) != 0;
      parameters[p].paramdesc.wParamFlags = static_cast<USHORT>(
          retval ? PARAMFLAG_FOUT | PARAMFLAG_FRETVAL : byReference ? PARAMFLAG_FIN | PARAMFLAG_FOUT : PARAMFLAG_FIN);
    }
    *ppFuncDesc = function;
    return S_OK;
  }
  void STDMETHODCALLTYPE ReleaseFuncDesc(FUNCDESC *pFuncDesc) override {
    delete[] reinterpret_cast<unsigned char *>(pFuncDesc);
  }

  HRESULT STDMETHODCALLTYPE GetNames(MEMBERID memid, BSTR *rgBstrNames, UINT cMaxNames, UINT *pcNames) override {
    if (rgBstrNames == nullptr || pcNames == nullptr) return E_INVALIDARG;
    *pcNames = 0;
    const Method *m = WithId(memid);
    if (m == nullptr) return TYPE_E_ELEMENTNOTFOUND;
    std::vector<const std::u16string *> names{&m->name};
    for (const Parameter &p : m->parameters) names.push_back(&p.name);
    for (UINT i = 0; i < names.size() && i < cMaxNames; ++i) {
      rgBstrNames[i] = SysAllocStringLen(names[i]->data(), static_cast<UINT>(names[i]->size()));
      ++*pcNames;
    }
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetIDsOfNames(LPOLESTR *rgszNames, UINT cNames, MEMBERID *pMemId) override {
    if (cNames == 0) return S_OK;
    if (rgszNames == nullptr || pMemId == nullptr) return E_INVALIDARG;
    for (UINT i = 0; i < cNames; ++i) pMemId[i] = MEMBERID_NIL;
    const Method *m = nullptr;
    for (const Method &candidate : methods_) {
      if (SameName(candidate.name, rgszNames[0])) m = &candidate;
    }
    if (m == nullptr) return DISP_E_UNKNOWNNAME;
    pMemId[0] = m->id;
    HRESULT result = S_OK;
    for (UINT i = 1; i < cNames; ++i) {
      for (size_t p = 0; p < m->parameters.size(); ++p) {
        if (SameName(m->parameters[p].name, rgszNames[i])) pMemId[i] = static_cast<MEMBERID>(p);
      }
      if (pMemId[i] == MEMBERID_NIL) result = DISP_E_UNKNOWNNAME;
    }
    return result;
  }

  HRESULT STDMETHODCALLTYPE Invoke(PVOID pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS *pDispParams,
                                   VARIANT *pVarResult, EXCEPINFO *pExcepInfo, UINT *puArgErr) override;

  HRESULT STDMETHODCALLTYPE GetDocumentation(MEMBERID memid, BSTR *pBstrName, BSTR *pBstrDocString,
                                             DWORD *pdwHelpContext, BSTR *pBstrHelpFile) override {
    const Method *m = WithId(memid);
    if (m == nullptr) return TYPE_E_ELEMENTNOTFOUND;
    if (pBstrName != nullptr) *pBstrName = SysAllocStringLen(m->name.data(), static_cast<UINT>(m->name.size()));
    if (pBstrDocString != nullptr) *pBstrDocString = nullptr;
    if (pdwHelpContext != nullptr) *pdwHelpContext = 0;
    if (pBstrHelpFile != nullptr) *pBstrHelpFile = nullptr;
    return S_OK;
  }

  // Not offered by this description.
  HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp **) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetVarDesc(UINT, VARDESC **) override { return TYPE_E_ELEMENTNOTFOUND; }
  HRESULT STDMETHODCALLTYPE GetRefTypeOfImplType(UINT, HREFTYPE *) override { return TYPE_E_ELEMENTNOTFOUND; }
  HRESULT STDMETHODCALLTYPE GetImplTypeFlags(UINT, INT *) override { return TYPE_E_ELEMENTNOTFOUND; }
  HRESULT STDMETHODCALLTYPE GetDllEntry(MEMBERID, INVOKEKIND, BSTR *, BSTR *, WORD *) override {
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetRefTypeInfo(HREFTYPE, ITypeInfo **) override { return TYPE_E_ELEMENTNOTFOUND; }
  HRESULT STDMETHODCALLTYPE AddressOfMember(MEMBERID, INVOKEKIND, PVOID *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *, REFIID, PVOID *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMops(MEMBERID, BSTR *pBstrMops) override {
    if (pBstrMops != nullptr) *pBstrMops = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetContainingTypeLib(ITypeLib **, UINT *) override { return E_NOTIMPL; }
  void STDMETHODCALLTYPE ReleaseVarDesc(VARDESC *) override {}

 private:
  const Method *WithId(MEMBERID id) const {
    for (const Method &m : methods_) {
      if (m.id == id) return &m;
    }
    return nullptr;
  }

  std::atomic<ULONG> references_{1};
  std::vector<Method> methods_;
};

using Word = ULONG_PTR;

// Calls slot `slot` of `object`'s method table with `count` pointer-sized
// arguments after the object; every parameter type offered here is one.
HRESULT CallSlot(void *object, UINT slot, const Word *a, size_t count) {
  void *const *table = *static_cast<void *const *const *>(object);
  void *entry = table[slot];
  switch (count) {
    case 0: return reinterpret_cast<HRESULT (*)(void *)>(entry)(object);
    case 1: return reinterpret_cast<HRESULT (*)(void *, Word)>(entry)(object, a[0]);
    case 2: return reinterpret_cast<HRESULT (*)(void *, Word, Word)>(entry)(object, a[0], a[1]);
    case 3: return reinterpret_cast<HRESULT (*)(void *, Word, Word, Word)>(entry)(object, a[0], a[1], a[2]);
    case 4:
      return reinterpret_cast<HRESULT (*)(void *, Word, Word, Word, Word)>(entry)(object, a[0], a[1], a[2], a[3]);
    case 5:
      return reinterpret_cast<HRESULT (*)(void *, Word, Word, Word, Word, Word)>(entry)(object, a[0], a[1], a[2],
                                                                                           a[3], a[4]);
    default:
      return reinterpret_cast<HRESULT (*)(void *, Word, Word, Word, Word, Word, Word)>(entry)(
          object, a[0], a[1], a[2], a[3], a[4], a[5]);
  }
}

// Whether values of `vt` fit one pointer-sized argument of the call.
bool Passable(VARTYPE vt) {
  if ((vt & VT_BYREF) != 0) return true;
  return vt == VT_BSTR || vt == VT_I4 || vt == VT_BOOL || vt == VT_DISPATCH;
}

void FillFromErrorInfo(EXCEPINFO *exception, HRESULT failure) {
  *exception = EXCEPINFO{};
  exception->scode = failure;
  IErrorInfo *info = nullptr;
  if (GetErrorInfo(0, &info) == S_OK) {
    info->GetSource(&exception->bstrSource);
    info->GetDescription(&exception->bstrDescription);
    info->GetHelpFile(&exception->bstrHelpFile);
    info->GetHelpContext(&exception->dwHelpContext);
    info->Release();
  }
}

HRESULT DispatchTypeInfo::Invoke(PVOID pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS *pDispParams,
                                 VARIANT *pVarResult, EXCEPINFO *pExcepInfo, UINT *puArgErr) {
  if (pvInstance == nullptr || pDispParams == nullptr) return E_INVALIDARG;
  const Method *m = WithId(memid);
  if (m == nullptr || (wFlags & m->flags) == 0) return DISP_E_MEMBERNOTFOUND;
  if (pDispParams->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
  const size_t inputs = m->parameters.size() - (m->hasRetval ? 1 : 0);
  if (pDispParams->cArgs != inputs) return DISP_E_BADPARAMCOUNT;
  if (pDispParams->cArgs != 0 && pDispParams->rgvarg == nullptr) return E_INVALIDARG;

  // Each input as its parameter's type: in place when it already is one,
  // else converted into a value of its own that the call may change.
  VARIANT converted[kMostParameters];
  for (VARIANT &v : converted) VariantInit(&v);
  Word arguments[kMostParameters] = {};
  HRESULT hr = S_OK;
  for (size_t p = 0; p < inputs && SUCCEEDED(hr); ++p) {
    const UINT index = static_cast<UINT>(pDispParams->cArgs - 1 - p);
    VARIANT *argument = &pDispParams->rgvarg[index];
    if (argument->vt == (VT_VARIANT | VT_BYREF) && argument->pvarVal != nullptr) argument = argument->pvarVal;
    const VARTYPE wanted = m->parameters[p].vt;
    const VARTYPE base = static_cast<VARTYPE>(wanted & ~VT_BYREF);
    if (argument->vt == wanted) {
      arguments[p] = (wanted & VT_BYREF) != 0 ? reinterpret_cast<Word>(argument->byref)
                                               : static_cast<Word>(argument->llVal);
      continue;
    }
    if (argument->vt == base && (wanted & VT_BYREF) != 0) {
      arguments[p] = reinterpret_cast<Word>(&argument->llVal);
      continue;
    }
    hr = VariantChangeType(&converted[p], argument, VARIANT_ALPHABOOL, base);
    if (FAILED(hr)) {
      if (puArgErr != nullptr) *puArgErr = index;
      hr = DISP_E_TYPEMISMATCH;
      break;
    }
    arguments[p] = (wanted & VT_BYREF) != 0 ? reinterpret_cast<Word>(&converted[p].llVal)
                                             : static_cast<Word>(converted[p].llVal);
  }
  VARIANT result;
  VariantInit(&result);
  if (SUCCEEDED(hr)) {
    if (m->hasRetval) {
      result.vt = static_cast<VARTYPE>(m->parameters.back().vt & ~VT_BYREF);
      result.llVal = 0;
      arguments[inputs] = reinterpret_cast<Word>(&result.llVal);
    }
    const HRESULT returned = CallSlot(pvInstance, m->slot, arguments, m->parameters.size());
    if (m->result == VT_HRESULT && FAILED(returned)) {
      VariantInit(&result);  // a failed method leaves no result to free
      if (pExcepInfo != nullptr) FillFromErrorInfo(pExcepInfo, returned);
      hr = DISP_E_EXCEPTION;
    } else if (!m->hasRetval && m->result != VT_HRESULT && m->result != VT_VOID) {
      result.vt = m->result;
      result.llVal = 0;
      result.lVal = returned;  // methods of this table return 32-bit values
    }
  }
  for (VARIANT &v : converted) VariantClear(&v);
  if (FAILED(hr)) return hr;
  if (pVarResult != nullptr) {
    *pVarResult = result;
  } else {
    VariantClear(&result);
  }
  return S_OK;
}

}  // namespace

HRESULT CreateDispTypeInfo(INTERFACEDATA *pidata, LCID lcid, ITypeInfo **pptinfo) {
  (void)lcid;
  if (pptinfo == nullptr) return E_INVALIDARG;
  *pptinfo = nullptr;
  if (pidata == nullptr || (pidata->cMembers != 0 && pidata->pmethdata == nullptr)) return E_INVALIDARG;
  std::vector<Method> methods;
  try {
    for (UINT i = 0; i < pidata->cMembers; ++i) {
      const METHODDATA &data = pidata->pmethdata[i];
      if (data.szName == nullptr || data.cArgs > kMostParameters || (data.cArgs != 0 && data.ppdata == nullptr))
        return E_INVALIDARG;
      Method m{data.szName, {}, data.dispid, data.iMeth, data.cc, data.wFlags, data.vtReturn, false};
      for (UINT p = 0; p < data.cArgs; ++p) {
        if (!Passable(data.ppdata[p].vt)) return E_INVALIDARG;
        m.parameters.push_back({data.ppdata[p].szName != nullptr ? data.ppdata[p].szName : u"", data.ppdata[p].vt});
      }
      m.hasRetval = m.result == VT_HRESULT && !m.parameters.empty() && (m.parameters.back().vt & VT_BYREF) != 0;
      methods.push_back(std::move(m));
    }
  } catch (const std::bad_alloc &) {
    return E_OUTOFMEMORY;
  }
  auto *info = new (std::nothrow) DispatchTypeInfo(std::move(methods));
  if (info == nullptr) return E_OUTOFMEMORY;
  *pptinfo = info;
  return S_OK;
}
