// VariantChangeType: the conversions automation servers apply to arguments
// of another type than their parameter's, with the rules of Visual Basic:
// numbers become their shortest decimal text (15 significant digits for
// doubles, 7 for singles, with an exponent "1E+20" beyond them), Booleans
// "True"/"False" with VARIANT_ALPHABOOL and "-1"/"0" without, Empty becomes
// "" or 0, an object its default value (DISPID_VALUE), and Null converts to
// nothing.
#include <oaidl.h>

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

namespace {

// The value of a source, read from its VARIANT (by reference too).
struct Number {
  enum Kind { Integer, Unsigned, Real, Boolean } kind = Integer;
  int64_t integer = 0;
  uint64_t unsignedValue = 0;
  double real = 0;
  float single = 0;
  bool isSingle = false;
};

bool ReadNumber(VARTYPE vt, const void *value, Number *number) {
  switch (vt) {
    case VT_I1: number->integer = *static_cast<const CHAR *>(value); return true;
    case VT_I2: number->integer = *static_cast<const SHORT *>(value); return true;
    case VT_I4:
    case VT_INT: number->integer = *static_cast<const LONG *>(value); return true;
    case VT_I8: number->integer = *static_cast<const LONGLONG *>(value); return true;
    case VT_UI1: number->integer = *static_cast<const BYTE *>(value); return true;
    case VT_UI2: number->integer = *static_cast<const USHORT *>(value); return true;
    case VT_UI4:
    case VT_UINT: number->integer = *static_cast<const ULONG *>(value); return true;
    case VT_UI8:
      number->kind = Number::Unsigned;
      number->unsignedValue = *static_cast<const ULONGLONG *>(value);
      return true;
    case VT_R4:
      number->kind = Number::Real;
      number->isSingle = true;
      number->single = *static_cast<const FLOAT *>(value);
      number->real = number->single;
      return true;
    case VT_R8:
      number->kind = Number::Real;
      number->real = *static_cast<const DOUBLE *>(value);
      return true;
    case VT_BOOL:
      number->kind = Number::Boolean;
      number->integer = *static_cast<const VARIANT_BOOL *>(value) != 0 ? -1 : 0;
      return true;
    default: return false;
  }
}

// The storage a VARIANT's value lies in: inside it, or where VT_BYREF points.
const void *ValueOf(const VARIANT *v) {
  return (v->vt & VT_BYREF) != 0 ? v->byref : static_cast<const void *>(&v->llVal);
}

BSTR AllocText(const std::string &ascii) {
  std::u16string wide(ascii.begin(), ascii.end());
  return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

// A real number as Visual Basic writes it: `digits` significant digits,
// no trailing zeros, an exponent of at least two digits when one is needed.
std::string RealText(double value, int digits) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*G", digits, value);
  return text;
}

HRESULT NumberToText(const Number &n, USHORT flags, BSTR *out) {
  std::string text;
  switch (n.kind) {
    case Number::Integer: text = std::to_string(n.integer); break;
    case Number::Unsigned: text = std::to_string(n.unsignedValue); break;
    case Number::Real: text = n.isSingle ? RealText(n.single, 7) : RealText(n.real, 15); break;
    case Number::Boolean:
      text = (flags & VARIANT_ALPHABOOL) != 0 ? (n.integer != 0 ? "True" : "False") : (n.integer != 0 ? "-1" : "0");
      break;
  }
  *out = AllocText(text);
  return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

// A text as a number: a decimal number with optional sign, fraction and
// exponent, surrounded by blanks; "True"/"False" as -1 and 0.
HRESULT TextToReal(BSTR text, double *value) {
  std::string narrow;
  for (UINT i = 0; i < SysStringLen(text); ++i) {
    if (text[i] > 0x7F) return DISP_E_TYPEMISMATCH;
    narrow.push_back(static_cast<char>(text[i]));
  }
  const size_t first = narrow.find_first_not_of(" \t");
  const size_t last = narrow.find_last_not_of(" \t");
  if (first == std::string::npos) return DISP_E_TYPEMISMATCH;
  narrow = narrow.substr(first, last - first + 1);
  auto same = [&](const char *word) {
    if (narrow.size() != std::char_traits<char>::length(word)) return false;
    for (size_t i = 0; i < narrow.size(); ++i) {
      if ((narrow[i] | 0x20) != (word[i] | 0x20)) return false;
    }
    return true;
  };
  if (same("true")) {
    *value = -1;
    return S_OK;
  }
  if (same("false")) {
    *value = 0;
    return S_OK;
  }
  if (narrow.find_first_not_of("0123456789+-.eE") != std::string::npos) return DISP_E_TYPEMISMATCH;
  char *end = nullptr;
  errno = 0;
  *value = std::strtod(narrow.c_str(), &end);
  if (end != narrow.c_str() + narrow.size()) return DISP_E_TYPEMISMATCH;
  if (errno == ERANGE && std::isinf(*value)) return DISP_E_OVERFLOW;
  return S_OK;
}

HRESULT RealToLong(double value, LONG *out) {
  // Halves go to the even neighbour, as VB's CLng does.
  const double rounded = std::nearbyint(value);
  if (!(rounded >= std::numeric_limits<LONG>::min() && rounded <= std::numeric_limits<LONG>::max()))
    return DISP_E_OVERFLOW;
  *out = static_cast<LONG>(rounded);
  return S_OK;
}

// The default value of an object: its DISPID_VALUE property.
HRESULT DefaultValue(IDispatch *object, VARIANT *value) {
  if (object == nullptr) return DISP_E_TYPEMISMATCH;
  DISPPARAMS none{};
  VariantInit(value);
  const HRESULT hr = object->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, value, nullptr, nullptr);
  if (FAILED(hr)) return DISP_E_TYPEMISMATCH;
  return S_OK;
}

}  // namespace

HRESULT VariantChangeType(VARIANTARG *pvargDest, VARIANTARG *pvarSrc, USHORT wFlags, VARTYPE vt) {
  if (pvargDest == nullptr || pvarSrc == nullptr) return E_INVALIDARG;
  const VARTYPE source = static_cast<VARTYPE>(pvarSrc->vt & ~VT_BYREF);
  if ((pvarSrc->vt & VT_BYREF) != 0 && pvarSrc->byref == nullptr) return E_INVALIDARG;
  if (source == VT_VARIANT && (pvarSrc->vt & VT_BYREF) != 0)
    return VariantChangeType(pvargDest, static_cast<VARIANT *>(pvarSrc->byref), wFlags, vt);
  if (vt != VT_BSTR && vt != VT_I4 && vt != VT_BOOL && vt != VT_R8) return DISP_E_BADVARTYPE;
  if ((source & (VT_ARRAY | VT_VECTOR)) != 0) return DISP_E_TYPEMISMATCH;

  VARIANT result;
  VariantInit(&result);
  result.vt = vt;
  HRESULT hr = S_OK;

  if (source == VT_DISPATCH || source == VT_UNKNOWN) {
    if ((wFlags & VARIANT_NOVALUEPROP) != 0 || source == VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
    VARIANT value;
    hr = DefaultValue(*static_cast<IDispatch *const *>(ValueOf(pvarSrc)), &value);
    if (FAILED(hr)) return hr;
    if (value.vt == VT_DISPATCH || value.vt == VT_UNKNOWN) {
      VariantClear(&value);
      return DISP_E_TYPEMISMATCH;
    }
    hr = VariantChangeType(&value, &value, wFlags, vt);
    if (FAILED(hr)) {
      VariantClear(&value);
      return hr;
    }
    VariantClear(pvargDest);
    *pvargDest = value;
    return S_OK;
  }

  if (source == VT_NULL) return DISP_E_TYPEMISMATCH;
  if (source == VT_EMPTY) {
    if (vt == VT_BSTR) {
      result.bstrVal = SysAllocStringLen(nullptr, 0);
      if (result.bstrVal == nullptr) return E_OUTOFMEMORY;
    } else {
      result.llVal = 0;
    }
  } else if (source == VT_BSTR) {
    BSTR text = *static_cast<const BSTR *>(ValueOf(pvarSrc));
    if (vt == VT_BSTR) {
      result.bstrVal = SysAllocStringLen(text, SysStringLen(text));
      if (result.bstrVal == nullptr) return E_OUTOFMEMORY;
    } else {
      double real = 0;
      hr = TextToReal(text, &real);
      if (FAILED(hr)) return hr;
      if (vt == VT_R8) result.dblVal = real;
      if (vt == VT_BOOL) result.boolVal = real != 0 ? VARIANT_TRUE : VARIANT_FALSE;
      if (vt == VT_I4) hr = RealToLong(real, &result.lVal);
      if (FAILED(hr)) return hr;
    }
  } else {
    Number number;
    if (!ReadNumber(source, ValueOf(pvarSrc), &number)) return DISP_E_TYPEMISMATCH;
    const double real = number.kind == Number::Real       ? number.real
                        : number.kind == Number::Unsigned ? static_cast<double>(number.unsignedValue)
                                                          : static_cast<double>(number.integer);
    switch (vt) {
      case VT_BSTR: hr = NumberToText(number, wFlags, &result.bstrVal); break;
      case VT_R8: result.dblVal = real; break;
      case VT_BOOL: result.boolVal = real != 0 ? VARIANT_TRUE : VARIANT_FALSE; break;
      case VT_I4:
        if (number.kind == Number::Real) {
          hr = RealToLong(real, &result.lVal);
        } else if (number.kind == Number::Unsigned ? number.unsignedValue > static_cast<uint64_t>(INT32_MAX)
                                                   : number.integer < INT32_MIN || number.integer > INT32_MAX) {
          hr = DISP_E_OVERFLOW;
        } else {
          result.lVal = static_cast<LONG>(number.integer);
        }
        break;
    }
    if (FAILED(hr)) return hr;
  }
  // The source may be the destination: read everything before clearing.
  hr = VariantClear(pvargDest);
  if (FAILED(hr)) {
    VariantClear(&result);
    return hr;
  }
  *pvargDest = result;
  return S_OK;
}
