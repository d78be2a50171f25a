// Pins the user-mode component definitions that the automation class uses
// (GUIDs, IUnknown, IDispatch, IClassFactory, their records, the HRESULTs,
// the registry subset, the component runtime's routines) to their Windows
// names, signatures, values and 64-bit layouts.
//
// The same file compiles on Linux against the stand-in headers
// (platform/um/include) and on Windows with mingw-w64 against its own
// headers (scripts/windows-build). Nothing here runs. WCHAR is char16_t on
// Linux and wchar_t on Windows, so types are named through the Windows
// typedefs and no wide literal appears.

#include <windows.h>
#include <oleauto.h>
#include <objbase.h>
#include <olectl.h>

#include <stddef.h>

#include <type_traits>

#define CHECK_SIZE(type, size) static_assert(sizeof(type) == (size), "sizeof(" #type ") == " #size)
#define CHECK_MEMBER(type, member, offset, memberType)                                          \
  static_assert(offsetof(type, member) == (offset), "offsetof(" #type ", " #member ")");       \
  static_assert(std::is_same_v<decltype(std::declval<type &>().member), memberType>, \
                "type of " #type "." #member " is " #memberType)
#define CHECK_VALUE(name, value) static_assert((name) == (value), #name " == " #value)
#define CHECK_TYPE(type, expected) static_assert(std::is_same_v<type, expected>, #type " is " #expected)

namespace com_layout_check {

// ---- Scalars ------------------------------------------------------------------
CHECK_SIZE(WCHAR, 2);
CHECK_SIZE(OLECHAR, 2);
CHECK_SIZE(LONG, 4);
CHECK_SIZE(DWORD, 4);
CHECK_SIZE(HRESULT, 4);
CHECK_SIZE(LCID, 4);
CHECK_SIZE(DISPID, 4);
CHECK_SIZE(LONG_PTR, 8);
CHECK_SIZE(HKEY, 8);
CHECK_TYPE(BSTR, OLECHAR *);
CHECK_TYPE(LPOLESTR, OLECHAR *);
CHECK_TYPE(LPCOLESTR, const OLECHAR *);
CHECK_TYPE(LPCWSTR, const WCHAR *);
CHECK_TYPE(DISPID, LONG);
CHECK_TYPE(MEMBERID, DISPID);
CHECK_TYPE(LCID, DWORD);
CHECK_TYPE(REGSAM, ACCESS_MASK);
CHECK_TYPE(LSTATUS, LONG);
CHECK_TYPE(REFIID, const IID &);
CHECK_TYPE(REFCLSID, const CLSID &);
CHECK_TYPE(REFGUID, const GUID &);
static_assert(std::is_signed_v<HRESULT> && std::is_signed_v<DISPID>, "HRESULT and DISPID are signed");

// ---- Records ------------------------------------------------------------------
CHECK_SIZE(GUID, 16);
CHECK_MEMBER(GUID, Data1, 0, DWORD);
CHECK_MEMBER(GUID, Data2, 4, WORD);
CHECK_MEMBER(GUID, Data3, 6, WORD);
CHECK_MEMBER(GUID, Data4, 8, BYTE[8]);
CHECK_TYPE(IID, GUID);
CHECK_TYPE(CLSID, GUID);

CHECK_SIZE(DISPPARAMS, 24);
CHECK_MEMBER(DISPPARAMS, rgvarg, 0, VARIANTARG *);
CHECK_MEMBER(DISPPARAMS, rgdispidNamedArgs, 8, DISPID *);
CHECK_MEMBER(DISPPARAMS, cArgs, 16, UINT);
CHECK_MEMBER(DISPPARAMS, cNamedArgs, 20, UINT);

CHECK_SIZE(EXCEPINFO, 64);
CHECK_MEMBER(EXCEPINFO, wCode, 0, WORD);
CHECK_MEMBER(EXCEPINFO, wReserved, 2, WORD);
CHECK_MEMBER(EXCEPINFO, bstrSource, 8, BSTR);
CHECK_MEMBER(EXCEPINFO, bstrDescription, 16, BSTR);
CHECK_MEMBER(EXCEPINFO, bstrHelpFile, 24, BSTR);
CHECK_MEMBER(EXCEPINFO, dwHelpContext, 32, DWORD);
CHECK_MEMBER(EXCEPINFO, pvReserved, 40, PVOID);
CHECK_MEMBER(EXCEPINFO, pfnDeferredFillIn, 48, HRESULT(STDMETHODCALLTYPE *)(struct tagEXCEPINFO *));
CHECK_MEMBER(EXCEPINFO, scode, 56, SCODE);

// Type descriptions, and the method table of CreateDispTypeInfo.
CHECK_SIZE(TYPEDESC, 16);
CHECK_MEMBER(TYPEDESC, vt, 8, VARTYPE);
CHECK_SIZE(ELEMDESC, 32);
CHECK_MEMBER(ELEMDESC, paramdesc, 16, PARAMDESC);
CHECK_MEMBER(PARAMDESC, wParamFlags, 8, USHORT);
CHECK_SIZE(FUNCDESC, 88);
CHECK_MEMBER(FUNCDESC, memid, 0, MEMBERID);
CHECK_MEMBER(FUNCDESC, lprgelemdescParam, 16, ELEMDESC *);
CHECK_MEMBER(FUNCDESC, funckind, 24, FUNCKIND);
CHECK_MEMBER(FUNCDESC, invkind, 28, INVOKEKIND);
CHECK_MEMBER(FUNCDESC, callconv, 32, CALLCONV);
CHECK_MEMBER(FUNCDESC, cParams, 36, SHORT);
CHECK_MEMBER(FUNCDESC, oVft, 40, SHORT);
CHECK_MEMBER(FUNCDESC, elemdescFunc, 48, ELEMDESC);
CHECK_MEMBER(FUNCDESC, wFuncFlags, 80, WORD);
CHECK_SIZE(TYPEATTR, 96);
CHECK_MEMBER(TYPEATTR, typekind, 44, TYPEKIND);
CHECK_MEMBER(TYPEATTR, cFuncs, 48, WORD);
CHECK_MEMBER(TYPEATTR, cbSizeVft, 54, WORD);
CHECK_SIZE(PARAMDATA, 16);
CHECK_SIZE(METHODDATA, 40);
CHECK_MEMBER(METHODDATA, iMeth, 20, UINT);
CHECK_MEMBER(METHODDATA, vtReturn, 34, VARTYPE);
CHECK_SIZE(INTERFACEDATA, 16);
CHECK_VALUE(PARAMFLAG_FRETVAL, 0x08);
CHECK_VALUE(VARIANT_ALPHABOOL, 0x02);
CHECK_VALUE(TYPE_E_ELEMENTNOTFOUND, (HRESULT)0x8002802BL);

CHECK_SIZE(VARIANT, 24);
CHECK_MEMBER(VARIANT, vt, 0, VARTYPE);
CHECK_MEMBER(VARIANT, lVal, 8, LONG);
CHECK_MEMBER(VARIANT, bstrVal, 8, BSTR);
CHECK_MEMBER(VARIANT, pbstrVal, 8, BSTR *);
CHECK_MEMBER(VARIANT, pvarVal, 8, VARIANT *);
CHECK_MEMBER(VARIANT, parray, 8, SAFEARRAY *);

// ---- Values -------------------------------------------------------------------
CHECK_VALUE(S_OK, 0);
CHECK_VALUE(S_FALSE, 1);
CHECK_VALUE(E_NOTIMPL, static_cast<HRESULT>(0x80004001));
CHECK_VALUE(E_NOINTERFACE, static_cast<HRESULT>(0x80004002));
CHECK_VALUE(E_POINTER, static_cast<HRESULT>(0x80004003));
CHECK_VALUE(E_FAIL, static_cast<HRESULT>(0x80004005));
CHECK_VALUE(E_UNEXPECTED, static_cast<HRESULT>(0x8000FFFF));
CHECK_VALUE(E_OUTOFMEMORY, static_cast<HRESULT>(0x8007000E));
CHECK_VALUE(E_INVALIDARG, static_cast<HRESULT>(0x80070057));
CHECK_VALUE(DISP_E_UNKNOWNINTERFACE, static_cast<HRESULT>(0x80020001));
CHECK_VALUE(DISP_E_MEMBERNOTFOUND, static_cast<HRESULT>(0x80020003));
CHECK_VALUE(DISP_E_PARAMNOTFOUND, static_cast<HRESULT>(0x80020004));
CHECK_VALUE(DISP_E_TYPEMISMATCH, static_cast<HRESULT>(0x80020005));
CHECK_VALUE(DISP_E_UNKNOWNNAME, static_cast<HRESULT>(0x80020006));
CHECK_VALUE(DISP_E_NONAMEDARGS, static_cast<HRESULT>(0x80020007));
CHECK_VALUE(DISP_E_BADVARTYPE, static_cast<HRESULT>(0x80020008));
CHECK_VALUE(DISP_E_EXCEPTION, static_cast<HRESULT>(0x80020009));
CHECK_VALUE(DISP_E_OVERFLOW, static_cast<HRESULT>(0x8002000A));
CHECK_VALUE(DISP_E_BADINDEX, static_cast<HRESULT>(0x8002000B));
CHECK_VALUE(DISP_E_BADPARAMCOUNT, static_cast<HRESULT>(0x8002000E));
CHECK_VALUE(DISP_E_PARAMNOTOPTIONAL, static_cast<HRESULT>(0x8002000F));
CHECK_VALUE(CLASS_E_NOAGGREGATION, static_cast<HRESULT>(0x80040110));
CHECK_VALUE(CLASS_E_CLASSNOTAVAILABLE, static_cast<HRESULT>(0x80040111));
CHECK_VALUE(REGDB_E_READREGDB, static_cast<HRESULT>(0x80040150));
CHECK_VALUE(REGDB_E_WRITEREGDB, static_cast<HRESULT>(0x80040151));
CHECK_VALUE(REGDB_E_CLASSNOTREG, static_cast<HRESULT>(0x80040154));
CHECK_VALUE(CO_E_NOTINITIALIZED, static_cast<HRESULT>(0x800401F0));
CHECK_VALUE(CO_E_CLASSSTRING, static_cast<HRESULT>(0x800401F3));
CHECK_VALUE(CO_E_DLLNOTFOUND, static_cast<HRESULT>(0x800401F8));
CHECK_VALUE(CO_E_ERRORINDLL, static_cast<HRESULT>(0x800401F9));
CHECK_VALUE(RPC_E_CHANGED_MODE, static_cast<HRESULT>(0x80010106));
CHECK_VALUE(SELFREG_E_TYPELIB, static_cast<HRESULT>(0x80040200));
CHECK_VALUE(SELFREG_E_CLASS, static_cast<HRESULT>(0x80040201));
CHECK_VALUE(CTL_E_ILLEGALFUNCTIONCALL, static_cast<HRESULT>(0x800A0005));
CHECK_VALUE(CTL_E_OVERFLOW, static_cast<HRESULT>(0x800A0006));
CHECK_VALUE(CTL_E_OUTOFMEMORY, static_cast<HRESULT>(0x800A0007));
CHECK_VALUE(FACILITY_CONTROL, 10);

CHECK_VALUE(DISPATCH_METHOD, 1);
CHECK_VALUE(DISPATCH_PROPERTYGET, 2);
CHECK_VALUE(DISPATCH_PROPERTYPUT, 4);
CHECK_VALUE(DISPATCH_PROPERTYPUTREF, 8);
CHECK_VALUE(DISPID_UNKNOWN, -1);
CHECK_VALUE(DISPID_VALUE, 0);
CHECK_VALUE(DISPID_PROPERTYPUT, -3);
CHECK_VALUE(DISPID_NEWENUM, -4);

CHECK_VALUE(CLSCTX_INPROC_SERVER, 1);
CHECK_VALUE(CLSCTX_INPROC_HANDLER, 2);
CHECK_VALUE(CLSCTX_LOCAL_SERVER, 4);
CHECK_VALUE(CLSCTX_REMOTE_SERVER, 16);
CHECK_VALUE(CLSCTX_ALL, 23);
CHECK_VALUE(COINIT_MULTITHREADED, 0);
CHECK_VALUE(COINIT_APARTMENTTHREADED, 2);

CHECK_VALUE(VT_EMPTY, 0);
CHECK_VALUE(VT_I4, 3);
CHECK_VALUE(VT_BSTR, 8);
CHECK_VALUE(VT_VARIANT, 12);
CHECK_VALUE(VT_UI1, 17);
CHECK_VALUE(VT_BYREF, 0x4000);

CHECK_VALUE(REG_NONE, 0);
CHECK_VALUE(REG_SZ, 1);
CHECK_VALUE(REG_EXPAND_SZ, 2);
CHECK_VALUE(REG_BINARY, 3);
CHECK_VALUE(REG_DWORD, 4);
CHECK_VALUE(REG_OPTION_NON_VOLATILE, 0);
CHECK_VALUE(REG_CREATED_NEW_KEY, 1);
CHECK_VALUE(REG_OPENED_EXISTING_KEY, 2);
CHECK_VALUE(KEY_QUERY_VALUE, 0x0001);
CHECK_VALUE(KEY_SET_VALUE, 0x0002);
CHECK_VALUE(KEY_CREATE_SUB_KEY, 0x0004);
CHECK_VALUE(KEY_ENUMERATE_SUB_KEYS, 0x0008);
CHECK_VALUE(KEY_READ, 0x20019);
CHECK_VALUE(KEY_WRITE, 0x20006);
CHECK_VALUE(KEY_ALL_ACCESS, 0xF003F);

CHECK_VALUE(ERROR_SUCCESS, 0);
CHECK_VALUE(ERROR_FILE_NOT_FOUND, 2);
CHECK_VALUE(ERROR_ACCESS_DENIED, 5);
CHECK_VALUE(ERROR_INVALID_HANDLE, 6);
CHECK_VALUE(ERROR_NOT_ENOUGH_MEMORY, 8);
CHECK_VALUE(ERROR_INVALID_PARAMETER, 87);
CHECK_VALUE(ERROR_BAD_PATHNAME, 161);
CHECK_VALUE(ERROR_MORE_DATA, 234);
CHECK_VALUE(ERROR_BADDB, 1009);
CHECK_VALUE(ERROR_CANTOPEN, 1011);
CHECK_VALUE(ERROR_CANTREAD, 1012);
CHECK_VALUE(ERROR_CANTWRITE, 1013);
CHECK_VALUE(ERROR_KEY_DELETED, 1018);

CHECK_VALUE(DLL_PROCESS_DETACH, 0);
CHECK_VALUE(DLL_PROCESS_ATTACH, 1);
CHECK_VALUE(DLL_THREAD_ATTACH, 2);
CHECK_VALUE(DLL_THREAD_DETACH, 3);
CHECK_VALUE(MAX_PATH, 260);

// ---- Interfaces ----------------------------------------------------------------
static_assert(std::is_base_of_v<IUnknown, IClassFactory>, "IClassFactory derives from IUnknown");
static_assert(std::is_base_of_v<IUnknown, IDispatch>, "IDispatch derives from IUnknown");
static_assert(std::is_polymorphic_v<IUnknown> && sizeof(IUnknown) == sizeof(void *),
              "an interface is a pointer to its method table");

#define CHECK_METHOD(interface, method, type) \
  static_assert(std::is_same_v<decltype(static_cast<type>(&interface::method)), type>, #interface "::" #method)
CHECK_METHOD(IUnknown, QueryInterface, HRESULT (STDMETHODCALLTYPE IUnknown::*)(REFIID, void **));
CHECK_METHOD(IUnknown, AddRef, ULONG (STDMETHODCALLTYPE IUnknown::*)());
CHECK_METHOD(IUnknown, Release, ULONG (STDMETHODCALLTYPE IUnknown::*)());
CHECK_METHOD(IClassFactory, CreateInstance, HRESULT (STDMETHODCALLTYPE IClassFactory::*)(IUnknown *, REFIID, void **));
CHECK_METHOD(IClassFactory, LockServer, HRESULT (STDMETHODCALLTYPE IClassFactory::*)(BOOL));
CHECK_METHOD(IDispatch, GetTypeInfoCount, HRESULT (STDMETHODCALLTYPE IDispatch::*)(UINT *));
CHECK_METHOD(IDispatch, GetTypeInfo, HRESULT (STDMETHODCALLTYPE IDispatch::*)(UINT, LCID, ITypeInfo **));
CHECK_METHOD(IDispatch, GetIDsOfNames,
             HRESULT (STDMETHODCALLTYPE IDispatch::*)(REFIID, LPOLESTR *, UINT, LCID, DISPID *));
CHECK_METHOD(IDispatch, Invoke,
             HRESULT (STDMETHODCALLTYPE IDispatch::*)(DISPID, REFIID, LCID, WORD, DISPPARAMS *, VARIANT *,
                                                      EXCEPINFO *, UINT *));

// ---- Routines --------------------------------------------------------------------
// Each name converts to the Windows signature (a routine that is overloaded
// on Windows is checked by the conversion choosing one).
using AnyRoutine = void (*)();
#define ROUTINE(name, type) reinterpret_cast<AnyRoutine>(static_cast<type>(&name)),
extern const AnyRoutine kRoutines[] = {
    ROUTINE(RegCreateKeyExW, LSTATUS(WINAPI *)(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                                               PHKEY, LPDWORD))
    ROUTINE(RegOpenKeyExW, LSTATUS(WINAPI *)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY))
    ROUTINE(RegSetValueExW, LSTATUS(WINAPI *)(HKEY, LPCWSTR, DWORD, DWORD, const BYTE *, DWORD))
    ROUTINE(RegQueryValueExW, LSTATUS(WINAPI *)(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD))
    ROUTINE(RegDeleteTreeW, LSTATUS(WINAPI *)(HKEY, LPCWSTR))
    ROUTINE(RegCloseKey, LSTATUS(WINAPI *)(HKEY))
    ROUTINE(CoInitialize, HRESULT(WINAPI *)(LPVOID))
    ROUTINE(CoInitializeEx, HRESULT(WINAPI *)(LPVOID, DWORD))
    ROUTINE(CoUninitialize, void(WINAPI *)())
    ROUTINE(CoGetClassObject, HRESULT(WINAPI *)(REFCLSID, DWORD, LPVOID, REFIID, LPVOID *))
    ROUTINE(CoCreateInstance, HRESULT(WINAPI *)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID *))
    ROUTINE(CLSIDFromProgID, HRESULT(WINAPI *)(LPCOLESTR, LPCLSID))
    ROUTINE(CLSIDFromString, HRESULT(WINAPI *)(LPCOLESTR, LPCLSID))
    ROUTINE(StringFromGUID2, int(WINAPI *)(REFGUID, LPOLESTR, int))
    ROUTINE(VariantInit, void(WINAPI *)(VARIANTARG *))
    ROUTINE(VariantClear, HRESULT(WINAPI *)(VARIANTARG *))
    ROUTINE(SysAllocString, BSTR(WINAPI *)(const OLECHAR *))
    ROUTINE(SysAllocStringLen, BSTR(WINAPI *)(const OLECHAR *, UINT))
    ROUTINE(SysFreeString, void(WINAPI *)(BSTR))
    ROUTINE(SysStringLen, UINT(WINAPI *)(BSTR))
    ROUTINE(SafeArrayCreateVector, SAFEARRAY *(WINAPI *)(VARTYPE, LONG, ULONG))
    ROUTINE(SafeArrayDestroy, HRESULT(WINAPI *)(SAFEARRAY *))
    ROUTINE(VariantChangeType, HRESULT(WINAPI *)(VARIANTARG *, VARIANTARG *, USHORT, VARTYPE))
    ROUTINE(CreateDispTypeInfo, HRESULT(WINAPI *)(INTERFACEDATA *, LCID, ITypeInfo **))
    ROUTINE(CreateErrorInfo, HRESULT(WINAPI *)(ICreateErrorInfo **))
    ROUTINE(SetErrorInfo, HRESULT(WINAPI *)(ULONG, IErrorInfo *))
    ROUTINE(GetErrorInfo, HRESULT(WINAPI *)(ULONG, IErrorInfo **))
};

// What an in-process server exports.
static_assert(std::is_same_v<decltype(&DllGetClassObject), HRESULT(STDAPICALLTYPE *)(REFCLSID, REFIID, LPVOID *)>,
              "DllGetClassObject");
static_assert(std::is_same_v<decltype(&DllCanUnloadNow), HRESULT(STDAPICALLTYPE *)()>, "DllCanUnloadNow");
static_assert(std::is_same_v<decltype(&DllRegisterServer), HRESULT(STDAPICALLTYPE *)()>, "DllRegisterServer");
static_assert(std::is_same_v<decltype(&DllUnregisterServer), HRESULT(STDAPICALLTYPE *)()>, "DllUnregisterServer");

}  // namespace com_layout_check
