// Reference counting of the interface pointers that VARIANTs and SAFEARRAYs
// hold. An interface pointer addresses an object whose first member points
// at its method table; IUnknown's AddRef and Release are the second and third
// entries of every such table.
#pragma once

#include <windows.h>

namespace oleaut32 {

using ReferenceMethod = ULONG(STDMETHODCALLTYPE *)(void *self);

inline ULONG call_reference_method(void *object, size_t slot) {
  ReferenceMethod const *methods = *static_cast<ReferenceMethod const *const *>(object);
  return methods[slot](object);
}

inline void add_ref(void *object) {
  if (object != nullptr)
    call_reference_method(object, 1);
}

inline void release(void *object) {
  if (object != nullptr)
    call_reference_method(object, 2);
}

} // namespace oleaut32
