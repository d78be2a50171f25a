// The type information of _cls_Tavrin_USB that IDispatch::GetTypeInfo hands
// out. On Windows it comes from the type library embedded in the library
// (resource TYPELIB 1), the same description object browsers and the
// registered type library show; elsewhere the platform has no type library
// loader and the description is made from the class's method table.
#include "automation.h"
#include "method_table.h"

#ifdef _WIN32
#include <oleauto.h>
#endif

namespace automation {

#ifdef _WIN32

HRESULT InterfaceTypeInfo(ITypeInfo **info) {
  *info = nullptr;
  OleString module;
  if (!ModulePath(&module)) return E_UNEXPECTED;
  ITypeLib *library = nullptr;
  HRESULT hr = LoadTypeLibEx(module.c_str(), REGKIND_NONE, &library);
  if (FAILED(hr)) return hr;
  hr = library->GetTypeInfoOfGuid(IID__cls_Tavrin_USB, info);
  library->Release();
  return hr;
}

#else

HRESULT InterfaceTypeInfo(ITypeInfo **info) {
  *info = nullptr;
  constexpr UINT kCount = sizeof kMethods / sizeof kMethods[0];
  // Every parameter is a text by reference, then the result ([out, retval]):
  // a text, or for Device_Write a 32-bit number.
  PARAMDATA parameters[kCount][3] = {};
  METHODDATA methods[kCount] = {};
  for (UINT i = 0; i < kCount; ++i) {
    const MethodEntry &entry = kMethods[i];
    UINT p = 0;
    for (; p < entry.parameterCount; ++p) {
      parameters[i][p] = PARAMDATA{const_cast<OLECHAR *>(entry.parameters[p]), VT_BSTR | VT_BYREF};
    }
    parameters[i][p] = PARAMDATA{const_cast<OLECHAR *>(OLESTR("Result")),
                                 static_cast<VARTYPE>((entry.method == Method::Write ? VT_I4 : VT_BSTR) | VT_BYREF)};
    methods[i] = METHODDATA{const_cast<OLECHAR *>(entry.name),
                            parameters[i],
                            entry.id,
                            kFirstMethodSlot + i,
                            CC_STDCALL,
                            p + 1,
                            DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                            VT_HRESULT};
  }
  INTERFACEDATA description{methods, kCount};
  return CreateDispTypeInfo(&description, 0, info);
}

#endif

}  // namespace automation
