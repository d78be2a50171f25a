// Self-registration of in-process servers, and the status codes that carry
// a run-time error number of an automation object (FACILITY_CONTROL).
#pragma once

#include <objbase.h>

#define FACILITY_CONTROL 10
#define STD_CTL_SCODE(n) ((HRESULT)(0x80000000L | (FACILITY_CONTROL << 16) | (n)))

#define CTL_E_ILLEGALFUNCTIONCALL STD_CTL_SCODE(5)
#define CTL_E_OVERFLOW STD_CTL_SCODE(6)
#define CTL_E_OUTOFMEMORY STD_CTL_SCODE(7)

#define SELFREG_E_FIRST ((HRESULT)0x80040200L)
#define SELFREG_E_TYPELIB (SELFREG_E_FIRST + 0)
#define SELFREG_E_CLASS (SELFREG_E_FIRST + 1)

STDAPI DllRegisterServer(void);
STDAPI DllUnregisterServer(void);
