// SAFEARRAY: a descriptor with per-dimension bounds and a lock count, and a
// separately allocated, zero-initialised block of elements.
//
// Element order: the first index (rgIndices[0], dimension 1) varies fastest
// in memory and the last index slowest. The descriptor stores the bounds in
// reverse, so dimension nDim is rgsabound[cDims - nDim], and rgsabound[0]
// describes the slowest-varying dimension, the only one SafeArrayRedim may
// change without moving existing elements.
//
// Sixteen bytes precede every descriptor, as on Windows: arrays of interface
// pointers keep their interface IID there (FADF_HAVEIID), other arrays keep
// their VARTYPE in the last four of them (FADF_HAVEVARTYPE).
#include <oleauto.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "interface_refs.h"

namespace {

constexpr size_t kPrefixBytes = 16;

// Lock counts stop at 65,535; further locks are refused.
constexpr ULONG kMaxLocks = 0xFFFF;

// An interface identifier, laid out as a GUID.
struct InterfaceId {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};
static_assert(sizeof(InterfaceId) == kPrefixBytes);

constexpr InterfaceId kIidUnknown{0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr InterfaceId kIidDispatch{0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

constexpr USHORT kInterfaceFeatures = FADF_UNKNOWN | FADF_DISPATCH;

// Size of one element of each VARTYPE an array may hold; 0 for the others.
ULONG element_size(VARTYPE vt) {
  switch (vt) {
  case VT_I1:
  case VT_UI1:
    return 1;
  case VT_I2:
  case VT_UI2:
  case VT_BOOL:
    return 2;
  case VT_I4:
  case VT_UI4:
  case VT_R4:
  case VT_INT:
  case VT_UINT:
  case VT_ERROR:
    return 4;
  case VT_I8:
  case VT_UI8:
  case VT_R8:
  case VT_CY:
  case VT_DATE:
    return 8;
  case VT_BSTR:
  case VT_UNKNOWN:
  case VT_DISPATCH:
    return sizeof(void *);
  case VT_DECIMAL:
    return sizeof(DECIMAL);
  case VT_VARIANT:
    return sizeof(VARIANT);
  default:
    return 0;
  }
}

USHORT features_for(VARTYPE vt) {
  switch (vt) {
  case VT_BSTR:
    return FADF_HAVEVARTYPE | FADF_BSTR;
  case VT_VARIANT:
    return FADF_HAVEVARTYPE | FADF_VARIANT;
  case VT_UNKNOWN:
    return FADF_HAVEIID | FADF_UNKNOWN;
  case VT_DISPATCH:
    return FADF_HAVEIID | FADF_DISPATCH;
  default:
    return FADF_HAVEVARTYPE;
  }
}

// The bounds as stored (last dimension first), reached through a plain
// pointer because the declared array has a single entry.
SAFEARRAYBOUND *stored_bounds(SAFEARRAY *psa) { return psa->rgsabound; }

BYTE *prefix_of(SAFEARRAY *psa) { return reinterpret_cast<BYTE *>(psa) - kPrefixBytes; }

size_t descriptor_bytes(UINT cDims) { return sizeof(SAFEARRAY) + (cDims - 1) * sizeof(SAFEARRAYBOUND); }

SAFEARRAY *allocate_descriptor(UINT cDims) {
  auto *block = static_cast<BYTE *>(std::calloc(1, kPrefixBytes + descriptor_bytes(cDims)));
  if (block == nullptr)
    return nullptr;
  auto *psa = reinterpret_cast<SAFEARRAY *>(block + kPrefixBytes);
  psa->cDims = static_cast<USHORT>(cDims);
  return psa;
}

void free_descriptor(SAFEARRAY *psa) { std::free(prefix_of(psa)); }

// Multiplies into `product`, reporting whether the result still fits.
bool multiply(size_t &product, size_t factor) { return !__builtin_mul_overflow(product, factor, &product); }

// Number of elements described by the stored bounds from `first` on.
bool count_elements(SAFEARRAY *psa, UINT first, size_t &count) {
  count = 1;
  for (UINT i = first; i < psa->cDims; ++i)
    if (!multiply(count, stored_bounds(psa)[i].cElements))
      return false;
  return true;
}

// Element storage of `bytes` bytes; never null on success, even when empty.
void *allocate_data(size_t bytes) { return std::calloc(bytes == 0 ? 1 : bytes, 1); }

// Gives up what elements [first, last) own: strings are freed, VARIANTs
// cleared and interfaces released. The elements are left empty.
void release_elements(SAFEARRAY *psa, size_t first, size_t last) {
  if (psa->pvData == nullptr)
    return;
  if (psa->fFeatures & FADF_BSTR) {
    auto *strings = static_cast<BSTR *>(psa->pvData);
    for (size_t i = first; i < last; ++i) {
      SysFreeString(strings[i]);
      strings[i] = nullptr;
    }
  } else if (psa->fFeatures & FADF_VARIANT) {
    auto *variants = static_cast<VARIANT *>(psa->pvData);
    for (size_t i = first; i < last; ++i)
      VariantClear(&variants[i]);
  } else if (psa->fFeatures & kInterfaceFeatures) {
    auto *interfaces = static_cast<void **>(psa->pvData);
    for (size_t i = first; i < last; ++i) {
      oleaut32::release(interfaces[i]);
      interfaces[i] = nullptr;
    }
  }
}

// Address of the element at rgIndices, whose first entry is the index in
// dimension 1 and varies fastest; DISP_E_BADINDEX if any index is outside
// its dimension.
HRESULT locate(SAFEARRAY *psa, const LONG *rgIndices, BYTE *&element) {
  const SAFEARRAYBOUND *bounds = stored_bounds(psa);
  size_t offset = 0;
  size_t stride = 1;
  for (UINT i = 0; i < psa->cDims; ++i) {
    const SAFEARRAYBOUND &bound = bounds[psa->cDims - 1 - i];
    const int64_t position = static_cast<int64_t>(rgIndices[i]) - bound.lLbound;
    if (position < 0 || position >= static_cast<int64_t>(bound.cElements))
      return DISP_E_BADINDEX;
    offset += static_cast<size_t>(position) * stride;
    stride *= bound.cElements;
  }
  element = static_cast<BYTE *>(psa->pvData) + offset * psa->cbElements;
  return S_OK;
}

BSTR copy_string(BSTR s) { return SysAllocStringByteLen(reinterpret_cast<LPCSTR>(s), SysStringByteLen(s)); }

// Copies `count` elements of `psa` from `source` into zeroed `target`, giving
// strings, VARIANTs and interfaces their own copies or references.
HRESULT copy_elements(SAFEARRAY *psa, const void *source, void *target, size_t count) {
  if (psa->fFeatures & FADF_BSTR) {
    const auto *from = static_cast<const BSTR *>(source);
    auto *to = static_cast<BSTR *>(target);
    for (size_t i = 0; i < count; ++i) {
      if (from[i] != nullptr && (to[i] = copy_string(from[i])) == nullptr)
        return E_OUTOFMEMORY;
    }
  } else if (psa->fFeatures & FADF_VARIANT) {
    const auto *from = static_cast<const VARIANT *>(source);
    auto *to = static_cast<VARIANT *>(target);
    for (size_t i = 0; i < count; ++i) {
      const HRESULT hr = VariantCopy(&to[i], &from[i]);
      if (FAILED(hr))
        return hr;
    }
  } else {
    std::memcpy(target, source, count * psa->cbElements);
    if (psa->fFeatures & kInterfaceFeatures) {
      auto *const *interfaces = static_cast<void *const *>(target);
      for (size_t i = 0; i < count; ++i)
        oleaut32::add_ref(interfaces[i]);
    }
  }
  return S_OK;
}

bool is_locked(SAFEARRAY *psa) { return std::atomic_ref<ULONG>(psa->cLocks).load() != 0; }

} // namespace

SAFEARRAY *SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND *rgsabound) {
  if (cDims == 0 || cDims > USHRT_MAX || rgsabound == nullptr)
    return nullptr;
  const ULONG cbElements = element_size(vt);
  if (cbElements == 0)
    return nullptr;
  size_t bytes = cbElements;
  for (UINT i = 0; i < cDims; ++i)
    if (!multiply(bytes, rgsabound[i].cElements))
      return nullptr;

  SAFEARRAY *psa = allocate_descriptor(cDims);
  if (psa == nullptr)
    return nullptr;
  psa->fFeatures = features_for(vt);
  psa->cbElements = cbElements;
  if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
    std::memcpy(prefix_of(psa), vt == VT_UNKNOWN ? &kIidUnknown : &kIidDispatch, kPrefixBytes);
  } else {
    const DWORD stored_vt = vt;
    std::memcpy(prefix_of(psa) + kPrefixBytes - sizeof stored_vt, &stored_vt, sizeof stored_vt);
  }
  SAFEARRAYBOUND *bounds = stored_bounds(psa);
  for (UINT i = 0; i < cDims; ++i)
    bounds[cDims - 1 - i] = rgsabound[i];
  psa->pvData = allocate_data(bytes);
  if (psa->pvData == nullptr) {
    free_descriptor(psa);
    return nullptr;
  }
  return psa;
}

SAFEARRAY *SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
  SAFEARRAYBOUND bound{cElements, lLbound};
  return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY *psa) {
  if (psa == nullptr)
    return S_OK;
  if (is_locked(psa))
    return DISP_E_ARRAYISLOCKED;
  size_t count;
  if (count_elements(psa, 0, count))
    release_elements(psa, 0, count);
  std::free(psa->pvData);
  free_descriptor(psa);
  return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY *psa, SAFEARRAY **ppsaOut) {
  if (ppsaOut == nullptr)
    return E_INVALIDARG;
  *ppsaOut = nullptr;
  if (psa == nullptr)
    return S_OK;
  size_t count;
  size_t bytes;
  if (!count_elements(psa, 0, count) || __builtin_mul_overflow(count, psa->cbElements, &bytes))
    return E_OUTOFMEMORY;

  SAFEARRAY *copy = allocate_descriptor(psa->cDims);
  if (copy == nullptr)
    return E_OUTOFMEMORY;
  std::memcpy(prefix_of(copy), prefix_of(psa), kPrefixBytes);
  // The copy owns heap storage whatever the original's came from.
  copy->fFeatures = psa->fFeatures & ~(FADF_AUTO | FADF_STATIC | FADF_EMBEDDED | FADF_FIXEDSIZE);
  copy->cbElements = psa->cbElements;
  std::memcpy(stored_bounds(copy), stored_bounds(psa), psa->cDims * sizeof(SAFEARRAYBOUND));
  copy->pvData = allocate_data(bytes);
  if (copy->pvData == nullptr) {
    free_descriptor(copy);
    return E_OUTOFMEMORY;
  }
  if (count != 0) {
    const HRESULT hr = copy_elements(psa, psa->pvData, copy->pvData, count);
    if (FAILED(hr)) {
      SafeArrayDestroy(copy);
      return hr;
    }
  }
  *ppsaOut = copy;
  return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY *psa) {
  if (psa == nullptr)
    return E_INVALIDARG;
  std::atomic_ref<ULONG> locks(psa->cLocks);
  ULONG current = locks.load();
  do {
    if (current >= kMaxLocks)
      return E_UNEXPECTED;
  } while (!locks.compare_exchange_weak(current, current + 1));
  return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY *psa) {
  if (psa == nullptr)
    return E_INVALIDARG;
  std::atomic_ref<ULONG> locks(psa->cLocks);
  ULONG current = locks.load();
  do {
    if (current == 0)
      return E_UNEXPECTED;
  } while (!locks.compare_exchange_weak(current, current - 1));
  return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY *psa) { return psa == nullptr ? 0 : psa->cDims; }

UINT SafeArrayGetElemsize(SAFEARRAY *psa) { return psa == nullptr ? 0 : psa->cbElements; }

HRESULT SafeArrayGetLBound(SAFEARRAY *psa, UINT nDim, LONG *plLbound) {
  if (psa == nullptr || plLbound == nullptr)
    return E_INVALIDARG;
  if (nDim == 0 || nDim > psa->cDims)
    return DISP_E_BADINDEX;
  *plLbound = stored_bounds(psa)[psa->cDims - nDim].lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY *psa, UINT nDim, LONG *plUbound) {
  if (psa == nullptr || plUbound == nullptr)
    return E_INVALIDARG;
  if (nDim == 0 || nDim > psa->cDims)
    return DISP_E_BADINDEX;
  const SAFEARRAYBOUND &bound = stored_bounds(psa)[psa->cDims - nDim];
  // An empty dimension's upper bound is one below its lower bound.
  *plUbound = static_cast<LONG>(static_cast<int64_t>(bound.lLbound) + bound.cElements - 1);
  return S_OK;
}

HRESULT SafeArrayPtrOfIndex(SAFEARRAY *psa, LONG *rgIndices, void **ppvData) {
  if (psa == nullptr || rgIndices == nullptr || ppvData == nullptr)
    return E_INVALIDARG;
  BYTE *element;
  const HRESULT hr = locate(psa, rgIndices, element);
  if (SUCCEEDED(hr))
    *ppvData = element;
  return hr;
}

HRESULT SafeArrayAccessData(SAFEARRAY *psa, void **ppvData) {
  if (psa == nullptr || ppvData == nullptr)
    return E_INVALIDARG;
  const HRESULT hr = SafeArrayLock(psa);
  if (SUCCEEDED(hr))
    *ppvData = psa->pvData;
  return hr;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY *psa) { return SafeArrayUnlock(psa); }

// Copies an element out: strings and VARIANTs are duplicated and interfaces
// gain a reference, all of which the caller then owns. pv points at storage
// of the element's type and its previous contents are not looked at.
HRESULT SafeArrayGetElement(SAFEARRAY *psa, LONG *rgIndices, void *pv) {
  if (psa == nullptr || rgIndices == nullptr || pv == nullptr)
    return E_INVALIDARG;
  HRESULT hr = SafeArrayLock(psa);
  if (FAILED(hr))
    return hr;
  BYTE *element;
  hr = locate(psa, rgIndices, element);
  if (SUCCEEDED(hr)) {
    if (psa->fFeatures & FADF_BSTR) {
      const BSTR source = *reinterpret_cast<BSTR *>(element);
      const BSTR copy = source == nullptr ? nullptr : copy_string(source);
      if (source != nullptr && copy == nullptr)
        hr = E_OUTOFMEMORY;
      else
        *static_cast<BSTR *>(pv) = copy;
    } else if (psa->fFeatures & FADF_VARIANT) {
      auto *target = static_cast<VARIANT *>(pv);
      VariantInit(target);
      hr = VariantCopy(target, reinterpret_cast<VARIANT *>(element));
    } else {
      std::memcpy(pv, element, psa->cbElements);
      if (psa->fFeatures & kInterfaceFeatures)
        oleaut32::add_ref(*static_cast<void **>(pv));
    }
  }
  SafeArrayUnlock(psa);
  return hr;
}

// Stores an element. For string and interface arrays pv is the BSTR or
// interface pointer itself (and may be null); for the others it points at
// the value. The array keeps its own copy of strings and VARIANTs and its
// own reference to interfaces, and gives up what the element held before.
HRESULT SafeArrayPutElement(SAFEARRAY *psa, LONG *rgIndices, void *pv) {
  if (psa == nullptr || rgIndices == nullptr)
    return E_INVALIDARG;
  const bool pointer_elements = (psa->fFeatures & (FADF_BSTR | kInterfaceFeatures)) != 0;
  if (pv == nullptr && !pointer_elements)
    return E_INVALIDARG;
  HRESULT hr = SafeArrayLock(psa);
  if (FAILED(hr))
    return hr;
  BYTE *element;
  hr = locate(psa, rgIndices, element);
  if (SUCCEEDED(hr)) {
    if (psa->fFeatures & FADF_BSTR) {
      const auto source = static_cast<BSTR>(pv);
      const BSTR copy = source == nullptr ? nullptr : copy_string(source);
      if (source != nullptr && copy == nullptr) {
        hr = E_OUTOFMEMORY;
      } else {
        auto *slot = reinterpret_cast<BSTR *>(element);
        SysFreeString(*slot);
        *slot = copy;
      }
    } else if (psa->fFeatures & FADF_VARIANT) {
      hr = VariantCopy(reinterpret_cast<VARIANT *>(element), static_cast<const VARIANT *>(pv));
    } else if (psa->fFeatures & kInterfaceFeatures) {
      auto *slot = reinterpret_cast<void **>(element);
      oleaut32::add_ref(pv);
      oleaut32::release(*slot);
      *slot = pv;
    } else {
      std::memmove(element, pv, psa->cbElements);
    }
  }
  SafeArrayUnlock(psa);
  return hr;
}

// Changes the bounds of the last dimension (rgsabound[0]). Elements are laid
// out with that dimension varying slowest, so existing elements keep their
// places: growth appends zeroed elements, shrinking gives up the trailing
// ones.
HRESULT SafeArrayRedim(SAFEARRAY *psa, SAFEARRAYBOUND *psaboundNew) {
  if (psa == nullptr || psaboundNew == nullptr)
    return E_INVALIDARG;
  if (is_locked(psa))
    return DISP_E_ARRAYISLOCKED;
  size_t slice;
  if (!count_elements(psa, 1, slice))
    return E_OUTOFMEMORY;
  const size_t old_count = slice * stored_bounds(psa)[0].cElements;
  size_t new_count = slice;
  size_t new_bytes;
  if (!multiply(new_count, psaboundNew->cElements) ||
      __builtin_mul_overflow(new_count, psa->cbElements, &new_bytes))
    return E_OUTOFMEMORY;

  if (new_count > old_count) {
    void *data = std::realloc(psa->pvData, new_bytes);
    if (data == nullptr)
      return E_OUTOFMEMORY;
    const size_t old_bytes = old_count * psa->cbElements;
    std::memset(static_cast<BYTE *>(data) + old_bytes, 0, new_bytes - old_bytes);
    psa->pvData = data;
  } else if (new_count < old_count) {
    release_elements(psa, new_count, old_count);
    // Keeping the larger block is harmless if it cannot be shrunk.
    if (void *data = std::realloc(psa->pvData, new_bytes == 0 ? 1 : new_bytes))
      psa->pvData = data;
  }
  stored_bounds(psa)[0] = *psaboundNew;
  return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY *psa, VARTYPE *pvt) {
  if (psa == nullptr || pvt == nullptr)
    return E_INVALIDARG;
  if (psa->fFeatures & FADF_HAVEVARTYPE) {
    DWORD stored_vt;
    std::memcpy(&stored_vt, prefix_of(psa) + kPrefixBytes - sizeof stored_vt, sizeof stored_vt);
    *pvt = static_cast<VARTYPE>(stored_vt);
  } else if (psa->fFeatures & FADF_RECORD) {
    *pvt = VT_RECORD;
  } else if (psa->fFeatures & FADF_DISPATCH) {
    *pvt = VT_DISPATCH;
  } else if (psa->fFeatures & FADF_UNKNOWN) {
    *pvt = VT_UNKNOWN;
  } else {
    return E_INVALIDARG;
  }
  return S_OK;
}
