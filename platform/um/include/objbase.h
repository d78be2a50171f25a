// The component runtime of the user-mode Windows stand-in (ole32): apartment
// initialisation, creating objects of registered in-process servers, and
// identifier strings. Classes are found in the registry (winreg.h):
//   HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32, default value: the
//     shared library that serves the class;
//   HKEY_CLASSES_ROOT\<ProgID>\CLSID, default value: "{clsid}".
// A server is loaded once and stays loaded; its DllGetClassObject gives the
// class factory. Apartments are not enforced: an object is called on the
// thread that calls it, whatever its threading model.
#pragma once

#include <oaidl.h>
#include <windows.h>

// Concurrency models of CoInitializeEx
#define COINIT_MULTITHREADED 0x0
#define COINIT_APARTMENTTHREADED 0x2

// Server contexts
#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_LOCAL_SERVER 0x4
#define CLSCTX_REMOTE_SERVER 0x10
#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)
#define CLSCTX_SERVER (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

// Component runtime HRESULTs
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110L)
#define CLASS_E_CLASSNOTAVAILABLE ((HRESULT)0x80040111L)
#define REGDB_E_READREGDB ((HRESULT)0x80040150L)
#define REGDB_E_WRITEREGDB ((HRESULT)0x80040151L)
#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154L)
#define CO_E_NOTINITIALIZED ((HRESULT)0x800401F0L)
#define CO_E_CLASSSTRING ((HRESULT)0x800401F3L)
#define CO_E_DLLNOTFOUND ((HRESULT)0x800401F8L)
#define CO_E_ERRORINDLL ((HRESULT)0x800401F9L)
#define RPC_E_CHANGED_MODE ((HRESULT)0x80010106L)

// A string form of a GUID: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" and its
// terminator.
#define CHARS_IN_GUID 39

#ifdef __cplusplus

// Apartments: S_OK for a thread's first initialisation, S_FALSE for a
// further one of the same model, RPC_E_CHANGED_MODE for another model. Each
// successful call is matched by one CoUninitialize.
WINOLEAPI CoInitialize(LPVOID pvReserved);
WINOLEAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
WINOLEAPI_(void) CoUninitialize(void);

// The class factory (or another interface of it) of a registered class; only
// in-process servers are offered.
WINOLEAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid, LPVOID *ppv);
// A new object of a registered class, through its class factory.
WINOLEAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID *ppv);

// The class a programmatic identifier names, from the registry.
WINOLEAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid);
// A class identifier from its braced string form, or from a programmatic
// identifier.
WINOLEAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
// Writes the braced string form of a GUID; returns the characters written,
// the terminator included, or 0 when cchMax is too small.
WINOLEAPI_(int) StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);

// What an in-process server exports.
STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv);
STDAPI DllCanUnloadNow(void);

#endif
