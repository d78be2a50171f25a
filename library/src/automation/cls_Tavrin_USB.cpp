// cls_Tavrin_USB: the library's automation class. A stateless facade over
// the library's exports: texts become byte arrays one character per byte in
// the system's 8-bit code page and back, device names lose their NUL
// characters, and results go back as the methods' last parameters. Late binding goes through a table of the
// five methods (names, dispatch identifiers, parameters) rather than a type
// library.
#include "Tavrin_570x_Driver.h"
#include "automation.h"
#include "code_page.h"
#include "dispatch_ex.h"
#include "method_table.h"
#include "library_routines.h"

#include <olectl.h>

#include <atomic>
#include <new>

namespace automation {
namespace {

static_assert(TAVRIN_E_OVERFLOW == CTL_E_OVERFLOW, "run-time error 6 travels as CTL_E_OVERFLOW");

// A read offers 32767 bytes of an array of 32768 (indexes 0 to 32767).
constexpr int32_t kReadLength = 32767;
constexpr ULONG kReadArrayBytes = 32768;
// The longest Value Device_Write sends.
constexpr UINT kLongestValue = 32767;

constexpr OLECHAR kErrorSource[] = OLESTR("Tavrin_570x_Driver.cls_Tavrin_USB");
constexpr OLECHAR kOverflowText[] = OLESTR("Overflow");
constexpr OLECHAR kOutOfMemoryText[] = OLESTR("Out of memory");

// ---- Owned resources --------------------------------------------------------

struct OwnedText {
  BSTR text = nullptr;
  ~OwnedText() { SysFreeString(text); }
};

struct OwnedArray {
  SAFEARRAY *array = nullptr;
  ~OwnedArray() {
    if (array != nullptr) SafeArrayDestroy(array);
  }
};

OLECHAR FoldCase(OLECHAR c) { return c >= u'A' && c <= u'Z' ? static_cast<OLECHAR>(c + (u'a' - u'A')) : c; }

// Names are compared without regard to case.
bool SameName(const OLECHAR *a, const OLECHAR *b) {
  for (;; ++a, ++b) {
    if (FoldCase(*a) != FoldCase(*b)) return false;
    if (*a == 0) return true;
  }
}

const MethodEntry *MethodNamed(const OLECHAR *name) {
  for (const MethodEntry &entry : kMethods) {
    if (SameName(entry.name, name)) return &entry;
  }
  return nullptr;
}

const MethodEntry *MethodWithId(DISPID id) {
  for (const MethodEntry &entry : kMethods) {
    if (entry.id == id) return &entry;
  }
  return nullptr;
}

// A text argument of Invoke: a string, by value or by reference, possibly
// behind a VARIANT passed by reference, is read in place; any other value is
// converted to text as VariantChangeType converts it (42 is "42", True is
// "True", Empty is "", an object gives its default value) into *converted.
// Null and values without a text form are refused. Points *slot at the
// string the method reads.
bool TextArgument(VARIANT *argument, BSTR **slot, VARIANT *converted) {
  if (V_VT(argument) == (VT_VARIANT | VT_BYREF)) {
    argument = V_VARIANTREF(argument);
    if (argument == nullptr) return false;
  }
  switch (V_VT(argument)) {
    case VT_BSTR:
      *slot = &V_BSTR(argument);
      return true;
    case VT_BSTR | VT_BYREF:
      if (V_BSTRREF(argument) == nullptr) return false;
      *slot = V_BSTRREF(argument);
      return true;
    default:
      if (FAILED(VariantChangeType(converted, argument, VARIANT_ALPHABOOL, VT_BSTR))) return false;
      *slot = &V_BSTR(converted);
      return true;
  }
}

const OLECHAR *Description(HRESULT failure) {
  if (failure == CTL_E_OVERFLOW) return kOverflowText;
  if (failure == E_OUTOFMEMORY) return kOutOfMemoryText;
  return nullptr;
}

// Leaves the thread's error information for a failed method: the class as
// source and the run-time error's description, for callers that do not go
// through Invoke. Returns `failure`.
HRESULT Raise(HRESULT failure) {
  ICreateErrorInfo *creator = nullptr;
  if (FAILED(CreateErrorInfo(&creator))) return failure;
  creator->SetGUID(IID__cls_Tavrin_USB);
  creator->SetSource(const_cast<LPOLESTR>(kErrorSource));
  if (const OLECHAR *description = Description(failure)) creator->SetDescription(const_cast<LPOLESTR>(description));
  IErrorInfo *info = nullptr;
  if (SUCCEEDED(creator->QueryInterface(IID_IErrorInfo, reinterpret_cast<void **>(&info)))) {
    SetErrorInfo(0, info);
    info->Release();
  }
  creator->Release();
  return failure;
}

void FillException(EXCEPINFO *exception, HRESULT failure) {
  *exception = EXCEPINFO{};
  exception->scode = failure;
  exception->bstrSource = SysAllocString(kErrorSource);
  if (const OLECHAR *description = Description(failure)) exception->bstrDescription = SysAllocString(description);
}

// Texts converted from other arguments, freed when the call ends.
struct ConvertedTexts {
  VARIANT values[2];
  ConvertedTexts() {
    for (VARIANT &v : values) VariantInit(&v);
  }
  ~ConvertedTexts() {
    for (VARIANT &v : values) VariantClear(&v);
  }
  ConvertedTexts(const ConvertedTexts &) = delete;
  ConvertedTexts &operator=(const ConvertedTexts &) = delete;
};

// ---- The object -------------------------------------------------------------

using ReadExport = int32_t(WINAPI *)(BSTR *, SAFEARRAY **, int32_t *);

class Tavrin_USB final : public ComObject<Tavrin_USB, _cls_Tavrin_USB> {
 public:
  static bool Answers(REFIID riid) {
    return IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, IID__cls_Tavrin_USB);
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
    if (ppv != nullptr && IsEqualIID(riid, IID_ISupportErrorInfo)) {
      *ppv = &supportErrorInfo_;
      AddRef();
      return S_OK;
    }
#ifdef _WIN32
    if (ppv != nullptr && IsEqualIID(riid, __uuidof(IDispatchEx))) {
      *ppv = &dispatchEx_;
      AddRef();
      return S_OK;
    }
#endif
    return ComObject::QueryInterface(riid, ppv);
  }

  // -- IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *pctinfo) override {
    if (pctinfo == nullptr) return E_POINTER;
    *pctinfo = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID, ITypeInfo **ppTInfo) override {
    if (ppTInfo == nullptr) return E_POINTER;
    *ppTInfo = nullptr;
    if (iTInfo != 0) return DISP_E_BADINDEX;
    return InterfaceTypeInfo(ppTInfo);
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR *rgszNames, UINT cNames, LCID,
                                          DISPID *rgDispId) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags, DISPPARAMS *pDispParams,
                                   VARIANT *pVarResult, EXCEPINFO *pExcepInfo, UINT *puArgErr) override;

  // -- _cls_Tavrin_USB
  HRESULT STDMETHODCALLTYPE Get_ALL_Available_DeviceName(BSTR *Result) override {
    return Discovery(USB_Get_ALL_Available_DeviceName, Result);
  }
  HRESULT STDMETHODCALLTYPE Device_Read_Formatted(BSTR *DeviceName, BSTR *Result) override {
    return Read(USB_Read_Formatted, DeviceName, Result);
  }
  HRESULT STDMETHODCALLTYPE Device_Read_Interrogative(BSTR *DeviceName, BSTR *Result) override {
    return Read(USB_Read_Interrogative, DeviceName, Result);
  }
  HRESULT STDMETHODCALLTYPE Device_Write(BSTR *DeviceName, BSTR *Value, LONG *Result) override;
  HRESULT STDMETHODCALLTYPE Get_First_DeviceName(BSTR *Result) override {
    return Discovery(USB_Get_First_DeviceName, Result);
  }

 private:
  // Holds a reference on the object for the duration of a call.
  class CallReference {
   public:
    explicit CallReference(Tavrin_USB *object) : object_(object) { object_->AddRef(); }
    ~CallReference() { object_->Release(); }
    CallReference(const CallReference &) = delete;
    CallReference &operator=(const CallReference &) = delete;

   private:
    Tavrin_USB *object_;
  };

  HRESULT Discovery(BSTR(WINAPI *discover)(), BSTR *Result);
  HRESULT Read(ReadExport read, BSTR *DeviceName, BSTR *Result);

  // ISupportErrorInfo: every method of _cls_Tavrin_USB leaves error
  // information when it fails. Part of the object: its references are the
  // object's.
  class SupportErrorInfo final : public ISupportErrorInfo {
   public:
    explicit SupportErrorInfo(Tavrin_USB *object) : object_(object) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
      return object_->QueryInterface(riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return object_->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return object_->Release(); }
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
      return IsEqualIID(riid, IID__cls_Tavrin_USB) ? S_OK : S_FALSE;
    }

   private:
    Tavrin_USB *object_;
  };
  SupportErrorInfo supportErrorInfo_{this};
#ifdef _WIN32
  DispatchEx dispatchEx_{this};
#endif
};

HRESULT Tavrin_USB::Discovery(BSTR(WINAPI *discover)(), BSTR *Result) {
  if (Result == nullptr) return E_POINTER;
  CallReference hold(this);
  *Result = discover();
  return *Result == nullptr ? Raise(E_OUTOFMEMORY) : S_OK;
}

HRESULT Tavrin_USB::Read(ReadExport read, BSTR *DeviceName, BSTR *Result) {
  if (Result == nullptr) return E_POINTER;
  *Result = nullptr;
  if (DeviceName == nullptr) return E_POINTER;
  CallReference hold(this);

  OwnedArray buffer{SafeArrayCreateVector(VT_UI1, 0, kReadArrayBytes)};  // zero-filled
  if (buffer.array == nullptr) return Raise(E_OUTOFMEMORY);
  int32_t length = kReadLength;
  OwnedText name{Strip_Nul(*DeviceName)};
  if (name.text == nullptr) return Raise(E_OUTOFMEMORY);

  const int32_t received = read(&name.text, &buffer.array, &length);

  // Every byte counts, zero bytes too; nothing when the read failed.
  UINT count = 0;
  if (length > 0 && received != 0) {
    count = static_cast<UINT>(length) < kReadArrayBytes ? static_cast<UINT>(length) : static_cast<UINT>(kReadArrayBytes);
  }
  BSTR text = SysAllocStringLen(nullptr, count);
  if (text == nullptr) return Raise(E_OUTOFMEMORY);
  const BYTE *bytes = static_cast<const BYTE *>(buffer.array->pvData);
  const Eight_Bit_Code_Page codePage;
  for (UINT i = 0; i < count; ++i) text[i] = codePage.To_Character(bytes[i]);
  *Result = text;
  return S_OK;
}

HRESULT Tavrin_USB::Device_Write(BSTR *DeviceName, BSTR *Value, LONG *Result) {
  if (Result == nullptr) return E_POINTER;
  *Result = 0;
  if (DeviceName == nullptr || Value == nullptr) return E_POINTER;
  CallReference hold(this);

  const UINT n = SysStringLen(*Value);
  if (n == 0) return S_OK;  // nothing to send: the library is not called
  if (n > kLongestValue) return Raise(CTL_E_OVERFLOW);

  OwnedArray buffer{SafeArrayCreateVector(VT_UI1, 0, n)};
  if (buffer.array == nullptr) return Raise(E_OUTOFMEMORY);
  BYTE *bytes = static_cast<BYTE *>(buffer.array->pvData);
  const Eight_Bit_Code_Page codePage;
  for (UINT i = 0; i < n; ++i) {
    if (!codePage.To_Byte((*Value)[i], &bytes[i])) return Raise(CTL_E_OVERFLOW);  // no byte for it
  }
  OwnedText name{Strip_Nul(*DeviceName)};
  if (name.text == nullptr) return Raise(E_OUTOFMEMORY);
  int32_t length = static_cast<int32_t>(n);
  *Result = USB_Write(&name.text, &buffer.array, &length);
  return S_OK;
}

HRESULT Tavrin_USB::GetIDsOfNames(REFIID riid, LPOLESTR *rgszNames, UINT cNames, LCID, DISPID *rgDispId) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (cNames == 0) return S_OK;
  if (rgszNames == nullptr || rgDispId == nullptr) return E_INVALIDARG;
  for (UINT i = 0; i < cNames; ++i) rgDispId[i] = DISPID_UNKNOWN;
  if (rgszNames[0] == nullptr) return DISP_E_UNKNOWNNAME;
  const MethodEntry *entry = MethodNamed(rgszNames[0]);
  if (entry == nullptr) return DISP_E_UNKNOWNNAME;
  rgDispId[0] = entry->id;
  // Further names are the method's parameters, numbered from 0.
  HRESULT result = S_OK;
  for (UINT i = 1; i < cNames; ++i) {
    for (UINT p = 0; p < entry->parameterCount; ++p) {
      if (rgszNames[i] != nullptr && SameName(entry->parameters[p], rgszNames[i])) rgDispId[i] = static_cast<DISPID>(p);
    }
    if (rgDispId[i] == DISPID_UNKNOWN) result = DISP_E_UNKNOWNNAME;
  }
  return result;
}

HRESULT Tavrin_USB::Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags, DISPPARAMS *pDispParams,
                           VARIANT *pVarResult, EXCEPINFO *pExcepInfo, UINT *puArgErr) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  const MethodEntry *entry = MethodWithId(dispIdMember);
  if (entry == nullptr || (wFlags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) == 0) return DISP_E_MEMBERNOTFOUND;
  if (pDispParams == nullptr || pDispParams->cNamedArgs > pDispParams->cArgs ||
      (pDispParams->cArgs != 0 && pDispParams->rgvarg == nullptr) ||
      (pDispParams->cNamedArgs != 0 && pDispParams->rgdispidNamedArgs == nullptr))
    return E_INVALIDARG;
  if (pDispParams->cArgs != entry->parameterCount) return DISP_E_BADPARAMCOUNT;

  // Parameter p: positional arguments first (the last of rgvarg is the
  // first), then the named ones where their numbers say.
  VARIANT *arguments[2] = {};
  UINT argumentIndex[2] = {};
  const UINT positional = pDispParams->cArgs - pDispParams->cNamedArgs;
  for (UINT p = 0; p < positional; ++p) {
    argumentIndex[p] = pDispParams->cArgs - 1 - p;
    arguments[p] = &pDispParams->rgvarg[argumentIndex[p]];
  }
  for (UINT i = 0; i < pDispParams->cNamedArgs; ++i) {
    const DISPID p = pDispParams->rgdispidNamedArgs[i];
    if (p < 0 || static_cast<UINT>(p) >= entry->parameterCount || arguments[p] != nullptr) {
      if (puArgErr != nullptr) *puArgErr = i;
      return DISP_E_PARAMNOTFOUND;
    }
    argumentIndex[p] = i;
    arguments[p] = &pDispParams->rgvarg[i];
  }
  BSTR *texts[2] = {};
  ConvertedTexts converted;
  for (UINT p = 0; p < entry->parameterCount; ++p) {
    if (!TextArgument(arguments[p], &texts[p], &converted.values[p])) {
      if (puArgErr != nullptr) *puArgErr = argumentIndex[p];
      return DISP_E_TYPEMISMATCH;
    }
  }

  BSTR text = nullptr;
  LONG number = 0;
  HRESULT hr = E_UNEXPECTED;
  switch (entry->method) {
    case Method::GetAll: hr = Get_ALL_Available_DeviceName(&text); break;
    case Method::ReadFormatted: hr = Device_Read_Formatted(texts[0], &text); break;
    case Method::ReadInterrogative: hr = Device_Read_Interrogative(texts[0], &text); break;
    case Method::Write: hr = Device_Write(texts[0], texts[1], &number); break;
    case Method::GetFirst: hr = Get_First_DeviceName(&text); break;
  }
  if (FAILED(hr)) {
    SysFreeString(text);
    if (pExcepInfo == nullptr) return hr;
    FillException(pExcepInfo, hr);
    return DISP_E_EXCEPTION;
  }
  if (pVarResult == nullptr) {
    SysFreeString(text);
    return S_OK;
  }
  VariantInit(pVarResult);
  if (entry->method == Method::Write) {
    V_VT(pVarResult) = VT_I4;
    V_I4(pVarResult) = number;
  } else {
    V_VT(pVarResult) = VT_BSTR;
    V_BSTR(pVarResult) = text;
  }
  return S_OK;
}

}  // namespace

HRESULT CreateObject(REFIID riid, void **ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  auto *object = new (std::nothrow) Tavrin_USB;
  if (object == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}

}  // namespace automation
