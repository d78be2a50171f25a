// VARIANT lifetime: initialising, clearing (giving up the string, array or
// interface reference a VARIANT owns) and deep copying.
//
// A VARIANT owns what it holds by value: a BSTR, a SAFEARRAY (VT_ARRAY) or
// an interface reference. With VT_BYREF it only points at storage owned by
// someone else, and owns nothing.
#include <oleauto.h>

#include "interface_refs.h"

namespace {

// Whether `vt` may describe the contents of a VARIANT.
bool is_variant_type(VARTYPE vt) {
  if (vt & ~(VT_TYPEMASK | VT_ARRAY | VT_BYREF))
    return false;
  const bool modified = (vt & (VT_ARRAY | VT_BYREF)) != 0;
  switch (vt & VT_TYPEMASK) {
  case VT_EMPTY:
  case VT_NULL:
    return !modified;
  case VT_VARIANT:
    // A VARIANT holds other VARIANTs only by reference or in an array.
    return modified;
  case VT_I2:
  case VT_I4:
  case VT_R4:
  case VT_R8:
  case VT_CY:
  case VT_DATE:
  case VT_BSTR:
  case VT_DISPATCH:
  case VT_ERROR:
  case VT_BOOL:
  case VT_UNKNOWN:
  case VT_DECIMAL:
  case VT_I1:
  case VT_UI1:
  case VT_UI2:
  case VT_UI4:
  case VT_I8:
  case VT_UI8:
  case VT_INT:
  case VT_UINT:
    return true;
  case VT_RECORD:
    // Records by value need an IRecordInfo, which this library does not
    // drive; records by reference or in arrays are handled like any other.
    return modified;
  default:
    return false;
  }
}

} // namespace

void VariantInit(VARIANTARG *pvarg) { pvarg->vt = VT_EMPTY; }

HRESULT VariantClear(VARIANTARG *pvarg) {
  if (pvarg == nullptr)
    return E_INVALIDARG;
  const VARTYPE vt = pvarg->vt;
  if (!is_variant_type(vt))
    return DISP_E_BADVARTYPE;
  if (!(vt & VT_BYREF)) {
    if (vt & VT_ARRAY) {
      // A locked array stays in the VARIANT, which is left unchanged.
      const HRESULT hr = SafeArrayDestroy(pvarg->parray);
      if (FAILED(hr))
        return hr;
    } else if (vt == VT_BSTR) {
      SysFreeString(pvarg->bstrVal);
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
      oleaut32::release(pvarg->punkVal);
    }
  }
  pvarg->vt = VT_EMPTY;
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG *pvargDest, const VARIANTARG *pvargSrc) {
  if (pvargDest == nullptr || pvargSrc == nullptr)
    return E_INVALIDARG;
  const VARTYPE vt = pvargSrc->vt;
  if (!is_variant_type(vt))
    return DISP_E_BADVARTYPE;
  if (pvargDest == pvargSrc)
    return S_OK;
  HRESULT hr = VariantClear(pvargDest);
  if (FAILED(hr))
    return hr;

  VARIANT copy = *pvargSrc;
  if (!(vt & VT_BYREF)) {
    if (vt & VT_ARRAY) {
      hr = SafeArrayCopy(pvargSrc->parray, &copy.parray);
      if (FAILED(hr))
        return hr;
    } else if (vt == VT_BSTR && pvargSrc->bstrVal != nullptr) {
      // The copy keeps the byte length, odd or not.
      copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(pvargSrc->bstrVal),
                                           SysStringByteLen(pvargSrc->bstrVal));
      if (copy.bstrVal == nullptr)
        return E_OUTOFMEMORY;
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
      oleaut32::add_ref(pvargSrc->punkVal);
    }
  }
  *pvargDest = copy;
  return S_OK;
}
