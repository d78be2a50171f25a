// An object with an IUnknown method table that counts its references, so
// tests can see when VARIANTs and SAFEARRAYs add and release references.
#pragma once

#include <windows.h>

struct CountedObject {
  using Method = ULONG (*)(void *self);

  static ULONG query_interface_unused(void *) { return 0; }
  static ULONG add_ref(void *self) { return ++static_cast<CountedObject *>(self)->references; }
  static ULONG release(void *self) { return --static_cast<CountedObject *>(self)->references; }

  static constexpr Method kMethods[3] = {query_interface_unused, add_ref, release};

  const Method *methods = kMethods;
  ULONG references = 1;
};
