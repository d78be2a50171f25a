/* Checks Tavrin_570x_Driver.dll from a Windows program, once it has been
 * registered: its exports and DllMain, the "_IID_CLS_TAVRIN_USB" resource,
 * the version block, the embedded type library (identifiers, flags, the
 * dispatch identifiers and method-table slots of the five methods), the
 * registration, and early-bound calls through the method table that widl
 * generated from the IDL, with no instrument attached.
 *
 * Usage: library_check PATH-OF-THE-DLL
 * Prints one line per check and "N passed, M failed"; exits with M. */
#define COBJMACROS
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <stdio.h>
#include <string.h>

#include "Tavrin_570x_Driver_i.h"
#include "check_count.h"


static void check_hr(HRESULT actual, HRESULT expected, const char *what) {
  char line[256];
  snprintf(line, sizeof line, "%s: 0x%08lX (expected 0x%08lX)", what, (unsigned long)actual,
           (unsigned long)expected);
  check(actual == expected, line);
}

static void check_text(BSTR actual, const WCHAR *expected, const char *what) {
  char line[256];
  int same = actual != NULL ? wcscmp(actual, expected) == 0 && SysStringLen(actual) == wcslen(expected)
                            : expected[0] == 0;
  snprintf(line, sizeof line, "%s: \"%ls\"", what, actual != NULL ? actual : L"");
  check(same, line);
}

static void check_exports(HMODULE library) {
  static const char *const names[] = {
      "DllCanUnloadNow",        "DllGetClassObject",      "DllMain",
      "DllRegisterServer",      "DllUnregisterServer",    "USB_Get_ALL_Available_DeviceName",
      "USB_Get_First_DeviceName", "USB_Read_Formatted",   "USB_Read_Interrogative",
      "USB_Write"};
  char line[128];
  size_t i;
  for (i = 0; i < sizeof names / sizeof names[0]; ++i) {
    snprintf(line, sizeof line, "export %s", names[i]);
    check(GetProcAddress(library, names[i]) != NULL, line);
  }
}

typedef LONG(WINAPI *DllMainExport)(LONG_PTR, LONG *, LONG_PTR);

static void check_dllmain(HMODULE library) {
  DllMainExport entry = (DllMainExport)(void (*)(void))GetProcAddress(library, "DllMain");
  LONG reasons[] = {0, 1, 2, 3};
  size_t i;
  if (entry == NULL) {
    check(0, "DllMain export");
    return;
  }
  for (i = 0; i < sizeof reasons / sizeof reasons[0]; ++i) {
    char line[96];
    LONG reason = reasons[i];
    LONG result = entry((LONG_PTR)library, &reason, 0);
    snprintf(line, sizeof line, "DllMain with reason %ld by reference gives %ld", reasons[i], result);
    check(result == (reasons[i] == 1 ? -1 : 0) && reason == reasons[i], line);
  }
}

static void check_identifier_resource(HMODULE library) {
  HRSRC found = FindResourceW(library, L"_IID_CLS_TAVRIN_USB", (LPCWSTR)RT_RCDATA);
  const BYTE *data;
  DWORD length;
  check(found != NULL, "resource _IID_CLS_TAVRIN_USB");
  if (found == NULL) return;
  length = SizeofResource(library, found);
  data = (const BYTE *)LockResource(LoadResource(library, found));
  check(length == 20, "resource _IID_CLS_TAVRIN_USB holds 20 bytes");
  if (data == NULL || length < 20) return;
  {
    DWORD prefix;
    memcpy(&prefix, data, sizeof prefix);
    check(prefix == 16, "resource _IID_CLS_TAVRIN_USB starts with the length 16");
    check(memcmp(data + 4, &IID__cls_Tavrin_USB, 16) == 0,
          "resource _IID_CLS_TAVRIN_USB holds {B22F88D2-F272-4772-8CE1-EC4C0214A137}");
  }
}

static void check_version_block(const WCHAR *path) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  void *block;
  void *value = NULL;
  UINT length = 0;
  check(size != 0, "version block");
  if (size == 0) return;
  block = HeapAlloc(GetProcessHeap(), 0, size);
  check(GetFileVersionInfoW(path, 0, size, block), "version block read");
  check(VerQueryValueW(block, L"\\StringFileInfo\\040904B0\\OLESelfRegister", &value, &length),
        "version block value OLESelfRegister");
  HeapFree(GetProcessHeap(), 0, block);
}

static void check_function(ITypeInfo *info, UINT index, const WCHAR *name, MEMBERID id, short slot, short params) {
  FUNCDESC *function = NULL;
  BSTR actual = NULL;
  char line[160];
  if (FAILED(ITypeInfo_GetFuncDesc(info, index, &function))) {
    check(0, "function description");
    return;
  }
  ITypeInfo_GetDocumentation(info, function->memid, &actual, NULL, NULL, NULL);
  snprintf(line, sizeof line,
           "type library method %u: %ls, id 0x%08lX, slot %d, %d parameters (found %ls, 0x%08lX, offset %d, %d, "
           "kind %d, result type %d)",
           index, name, (unsigned long)id, slot, params, actual != NULL ? actual : L"?", (unsigned long)function->memid,
           function->oVft, function->cParams, (int)function->funckind, function->elemdescFunc.tdesc.vt);
  check(actual != NULL && wcscmp(actual, name) == 0 && function->memid == id &&
            function->oVft == slot * (short)sizeof(void *) && function->cParams == params &&
            function->funckind == FUNC_PUREVIRTUAL && function->elemdescFunc.tdesc.vt == VT_HRESULT,
        line);
  SysFreeString(actual);
  ITypeInfo_ReleaseFuncDesc(info, function);
}

static void check_type_library(const WCHAR *path) {
  ITypeLib *library = NULL;
  TLIBATTR *libraryAttributes = NULL;
  ITypeInfo *dispatchInfo = NULL;
  ITypeInfo *interfaceInfo = NULL;
  ITypeInfo *classInfo = NULL;
  TYPEATTR *attributes = NULL;
  BSTR name = NULL;
  HREFTYPE reference = 0;

  check_hr(LoadTypeLibEx(path, REGKIND_NONE, &library), S_OK, "type library embedded as TYPELIB 1");
  if (library == NULL) return;
  ITypeLib_GetLibAttr(library, &libraryAttributes);
  check(IsEqualGUID(&libraryAttributes->guid, &LIBID_Tavrin_570x_Driver) && libraryAttributes->wMajorVerNum == 1 &&
            libraryAttributes->wMinorVerNum == 0,
        "type library {6F6EB502-277E-4B59-86A9-87E586B30E43} version 1.0");
  ITypeLib_ReleaseTLibAttr(library, libraryAttributes);
  ITypeLib_GetDocumentation(library, -1, &name, NULL, NULL, NULL);
  check_text(name, L"Tavrin_570x_Driver", "type library name");
  SysFreeString(name);

  /* The interface: dual, hidden, not extensible, OLE-automation compatible. */
  check_hr(ITypeLib_GetTypeInfoOfGuid(library, &IID__cls_Tavrin_USB, &dispatchInfo), S_OK, "interface type");
  if (dispatchInfo != NULL) {
    ITypeInfo_GetTypeAttr(dispatchInfo, &attributes);
    check(attributes->typekind == TKIND_DISPATCH &&
              (attributes->wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE |
                                         TYPEFLAG_FDISPATCHABLE)) ==
                  (TYPEFLAG_FDUAL | TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE),
          "interface's dispatch side: dual, hidden, nonextensible");
    ITypeInfo_ReleaseTypeAttr(dispatchInfo, attributes);
    ITypeInfo_GetDocumentation(dispatchInfo, MEMBERID_NIL, &name, NULL, NULL, NULL);
    check_text(name, L"_cls_Tavrin_USB", "interface name");
    SysFreeString(name);
    /* The method table of the dual interface. */
    if (SUCCEEDED(ITypeInfo_GetRefTypeOfImplType(dispatchInfo, -1, &reference)) &&
        SUCCEEDED(ITypeInfo_GetRefTypeInfo(dispatchInfo, reference, &interfaceInfo))) {
      ITypeInfo_GetTypeAttr(interfaceInfo, &attributes);
      check(attributes->typekind == TKIND_INTERFACE && attributes->cFuncs == 5 && attributes->cImplTypes == 1,
            "interface derives from IDispatch and has five methods");
      check((attributes->wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE |
                                       TYPEFLAG_FOLEAUTOMATION)) ==
                (TYPEFLAG_FDUAL | TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FOLEAUTOMATION),
            "interface's method table: dual, hidden, nonextensible, oleautomation");
      ITypeInfo_ReleaseTypeAttr(interfaceInfo, attributes);
      /* The parameters include the result, the last one. */
      check_function(interfaceInfo, 0, L"Get_ALL_Available_DeviceName", 0x60030000, 7, 1);
      check_function(interfaceInfo, 1, L"Device_Read_Formatted", 0x60030001, 8, 2);
      check_function(interfaceInfo, 2, L"Device_Read_Interrogative", 0x60030002, 9, 2);
      check_function(interfaceInfo, 3, L"Device_Write", 0x60030003, 10, 3);
      check_function(interfaceInfo, 4, L"Get_First_DeviceName", 0x60030004, 11, 1);
      ITypeInfo_Release(interfaceInfo);
    } else {
      check(0, "the dual interface's method table");
    }
    ITypeInfo_Release(dispatchInfo);
  }

  /* The class: creatable, with the interface as its default. */
  check_hr(ITypeLib_GetTypeInfoOfGuid(library, &CLSID_cls_Tavrin_USB, &classInfo), S_OK, "class type");
  if (classInfo != NULL) {
    INT flags = 0;
    ITypeInfo *defaultInfo = NULL;
    ITypeInfo_GetTypeAttr(classInfo, &attributes);
    check(attributes->typekind == TKIND_COCLASS && (attributes->wTypeFlags & TYPEFLAG_FCANCREATE) != 0,
          "class cls_Tavrin_USB is creatable");
    ITypeInfo_ReleaseTypeAttr(classInfo, attributes);
    ITypeInfo_GetImplTypeFlags(classInfo, 0, &flags);
    ITypeInfo_GetRefTypeOfImplType(classInfo, 0, &reference);
    ITypeInfo_GetRefTypeInfo(classInfo, reference, &defaultInfo);
    if (defaultInfo != NULL) {
      ITypeInfo_GetTypeAttr(defaultInfo, &attributes);
      check((flags & IMPLTYPEFLAG_FDEFAULT) != 0 && IsEqualGUID(&attributes->guid, &IID__cls_Tavrin_USB),
            "the class's default interface is _cls_Tavrin_USB");
      ITypeInfo_ReleaseTypeAttr(defaultInfo, attributes);
      ITypeInfo_Release(defaultInfo);
    } else {
      check(0, "the class's default interface");
    }
    ITypeInfo_Release(classInfo);
  }
  ITypeLib_Release(library);
}

static int registry_text(const WCHAR *key, const WCHAR *value, WCHAR *text, DWORD bytes) {
  return RegGetValueW(HKEY_CLASSES_ROOT, key, value, RRF_RT_REG_SZ, NULL, text, &bytes) == ERROR_SUCCESS;
}

static void check_registration(const WCHAR *path) {
  WCHAR text[MAX_PATH + 8];
  WCHAR full[MAX_PATH];
  CLSID clsid;
  ITypeLib *registered = NULL;
  GetFullPathNameW(path, MAX_PATH, full, NULL);
  check(registry_text(L"CLSID\\{57CE8415-609B-4AB7-99FF-A35A7AFEAE3E}\\InprocServer32", NULL, text, sizeof text) &&
            lstrcmpiW(text, full) == 0,
        "InprocServer32 names the library");
  check(registry_text(L"CLSID\\{57CE8415-609B-4AB7-99FF-A35A7AFEAE3E}\\InprocServer32", L"ThreadingModel", text,
                      sizeof text) &&
            wcscmp(text, L"Apartment") == 0,
        "ThreadingModel Apartment");
  check(registry_text(L"CLSID\\{57CE8415-609B-4AB7-99FF-A35A7AFEAE3E}\\ProgID", NULL, text, sizeof text) &&
            wcscmp(text, L"Tavrin_570x_Driver.cls_Tavrin_USB") == 0,
        "the class's ProgID");
  check(registry_text(L"Interface\\{B22F88D2-F272-4772-8CE1-EC4C0214A137}\\TypeLib", NULL, text, sizeof text) &&
            lstrcmpiW(text, L"{6F6EB502-277E-4B59-86A9-87E586B30E43}") == 0,
        "the interface names its type library");
  check_hr(CLSIDFromProgID(L"Tavrin_570x_Driver.cls_Tavrin_USB", &clsid), S_OK, "CLSIDFromProgID");
  check(IsEqualGUID(&clsid, &CLSID_cls_Tavrin_USB), "the ProgID names the class");
  check_hr(LoadRegTypeLib(&LIBID_Tavrin_570x_Driver, 1, 0, 0, &registered), S_OK, "the type library is registered");
  if (registered != NULL) ITypeLib_Release(registered);
}

static void check_early_binding(void) {
  _cls_Tavrin_USB *device = NULL;
  BSTR result = NULL;
  BSTR name = SysAllocString(L"TAVRIN-0");
  BSTR value = SysAllocString(L"*IDN?\n");
  BSTR empty = SysAllocString(L"");
  BSTR wide = SysAllocString(L"A\x0100");
  LONG number = 99;

  check_hr(CoCreateInstance(&CLSID_cls_Tavrin_USB, NULL, CLSCTX_INPROC_SERVER, &IID__cls_Tavrin_USB,
                            (void **)&device),
           S_OK, "CoCreateInstance for _cls_Tavrin_USB");
  if (device != NULL) {
    check_hr(_cls_Tavrin_USB_Get_ALL_Available_DeviceName(device, &result), S_OK, "slot 7");
    check_text(result, L"", "Get_ALL_Available_DeviceName");
    SysFreeString(result);
    check_hr(_cls_Tavrin_USB_Device_Read_Formatted(device, &name, &result), S_OK, "slot 8");
    check_text(result, L"", "Device_Read_Formatted");
    SysFreeString(result);
    check_hr(_cls_Tavrin_USB_Device_Read_Interrogative(device, &name, &result), S_OK, "slot 9");
    check_text(result, L"", "Device_Read_Interrogative");
    SysFreeString(result);
    check_hr(_cls_Tavrin_USB_Device_Write(device, &name, &value, &number), S_OK, "slot 10");
    check(number == -2, "Device_Write with no instrument gives -2");
    check_hr(_cls_Tavrin_USB_Device_Write(device, &name, &empty, &number), S_OK, "slot 10, empty value");
    check(number == 0, "Device_Write of an empty value gives 0");
    number = 99;
    check_hr(_cls_Tavrin_USB_Device_Write(device, &name, &wide, &number), (HRESULT)0x800A0006L,
             "Device_Write of character 256: run-time error 6");
    check(number == 0, "Device_Write of character 256 gives 0");
    check_hr(_cls_Tavrin_USB_Get_First_DeviceName(device, &result), S_OK, "slot 11");
    check_text(result, L"", "Get_First_DeviceName");
    SysFreeString(result);
    check_text(name, L"TAVRIN-0", "the name is unchanged");
    _cls_Tavrin_USB_Release(device);
  }
  SysFreeString(name);
  SysFreeString(value);
  SysFreeString(empty);
  SysFreeString(wide);
}

int wmain(int argc, WCHAR **argv) {
  HMODULE library;
  if (argc != 2) {
    fprintf(stderr, "usage: library_check PATH-OF-THE-DLL\n");
    return 2;
  }
  library = LoadLibraryW(argv[1]);
  check(library != NULL, "the library loads");
  if (library == NULL) return 1;
  check_exports(library);
  check_dllmain(library);
  check_identifier_resource(library);
  check_version_block(argv[1]);
  check_type_library(argv[1]);
  CoInitialize(NULL);
  check_registration(argv[1]);
  check_early_binding();
  CoUninitialize();
  FreeLibrary(library);
  return check_summary();
}
