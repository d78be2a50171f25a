// User-mode interface of the Windows stand-in: OLE Automation strings (BSTR),
// arrays (SAFEARRAY) and VARIANTs, with Windows names, values and 64-bit
// layouts, as exported by oleaut32.
#pragma once

#include <windows.h>

typedef OLECHAR *BSTR;
typedef BSTR *LPBSTR;
typedef unsigned short VARTYPE;
typedef double DATE;

// Currency: a 64-bit integer scaled by 10,000.
typedef union tagCY {
  struct {
    ULONG Lo;
    LONG Hi;
  };
  LONGLONG int64;
} CY;

// 96-bit integer with a power-of-ten scale and a sign.
typedef struct tagDEC {
  USHORT wReserved;
  union {
    struct {
      BYTE scale;
      BYTE sign;
    };
    USHORT signscale;
  };
  ULONG Hi32;
  union {
    struct {
      ULONG Lo32;
      ULONG Mid32;
    };
    ULONGLONG Lo64;
  };
} DECIMAL;

enum VARENUM {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_VOID = 24,
  VT_HRESULT = 25,
  VT_PTR = 26,
  VT_SAFEARRAY = 27,
  VT_CARRAY = 28,
  VT_USERDEFINED = 29,
  VT_LPSTR = 30,
  VT_LPWSTR = 31,
  VT_RECORD = 36,
  VT_INT_PTR = 37,
  VT_UINT_PTR = 38,
  VT_VECTOR = 0x1000,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_RESERVED = 0x8000,
  VT_ILLEGAL = 0xffff,
  VT_ILLEGALMASKED = 0xfff,
  VT_TYPEMASK = 0xfff
};

typedef struct tagSAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
} SAFEARRAYBOUND, *LPSAFEARRAYBOUND;

// Array descriptor. rgsabound holds one bound per dimension, stored in the
// reverse of the order given to SafeArrayCreate: rgsabound[0] describes the
// last dimension (nDim == cDims), rgsabound[cDims - 1] the first (nDim == 1).
typedef struct tagSAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  PVOID pvData;
  SAFEARRAYBOUND rgsabound[1];
} SAFEARRAY, *LPSAFEARRAY;

// fFeatures flags
#define FADF_AUTO 0x0001
#define FADF_STATIC 0x0002
#define FADF_EMBEDDED 0x0004
#define FADF_FIXEDSIZE 0x0010
#define FADF_RECORD 0x0020
#define FADF_HAVEIID 0x0040
#define FADF_HAVEVARTYPE 0x0080
#define FADF_BSTR 0x0100
#define FADF_UNKNOWN 0x0200
#define FADF_DISPATCH 0x0400
#define FADF_VARIANT 0x0800
#define FADF_RESERVED 0xF008

typedef struct tagVARIANT VARIANT;

// A tagged value: vt says which union member is in use. Interface pointers
// (punkVal, pdispVal) and the record's IRecordInfo are untyped here; they
// address objects whose first member points at an IUnknown method table.
struct tagVARIANT {
  union {
    struct {
      VARTYPE vt;
      WORD wReserved1;
      WORD wReserved2;
      WORD wReserved3;
      union {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        FLOAT fltVal;
        DOUBLE dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        CY cyVal;
        DATE date;
        BSTR bstrVal;
        void *punkVal;
        void *pdispVal;
        SAFEARRAY *parray;
        BYTE *pbVal;
        SHORT *piVal;
        LONG *plVal;
        LONGLONG *pllVal;
        FLOAT *pfltVal;
        DOUBLE *pdblVal;
        VARIANT_BOOL *pboolVal;
        SCODE *pscode;
        CY *pcyVal;
        DATE *pdate;
        BSTR *pbstrVal;
        void **ppunkVal;
        void **ppdispVal;
        SAFEARRAY **pparray;
        VARIANT *pvarVal;
        PVOID byref;
        CHAR cVal;
        USHORT uiVal;
        ULONG ulVal;
        ULONGLONG ullVal;
        INT intVal;
        UINT uintVal;
        DECIMAL *pdecVal;
        CHAR *pcVal;
        USHORT *puiVal;
        ULONG *pulVal;
        ULONGLONG *pullVal;
        INT *pintVal;
        UINT *puintVal;
        struct {
          PVOID pvRecord;
          void *pRecInfo;
        };
      };
    };
    DECIMAL decVal;
  };
};

typedef VARIANT *LPVARIANT;
typedef VARIANT VARIANTARG;
typedef VARIANT *LPVARIANTARG;

#ifdef __cplusplus
#define OLEAUTO_LAYOUT_ASSERT(cond) static_assert(cond, #cond)
#else
#define OLEAUTO_LAYOUT_ASSERT(cond) _Static_assert(cond, #cond)
#endif
OLEAUTO_LAYOUT_ASSERT(sizeof(SAFEARRAYBOUND) == 8);
OLEAUTO_LAYOUT_ASSERT(sizeof(SAFEARRAY) == 32);
OLEAUTO_LAYOUT_ASSERT(offsetof(SAFEARRAY, cbElements) == 4);
OLEAUTO_LAYOUT_ASSERT(offsetof(SAFEARRAY, cLocks) == 8);
OLEAUTO_LAYOUT_ASSERT(offsetof(SAFEARRAY, pvData) == 16);
OLEAUTO_LAYOUT_ASSERT(offsetof(SAFEARRAY, rgsabound) == 24);
OLEAUTO_LAYOUT_ASSERT(sizeof(CY) == 8);
OLEAUTO_LAYOUT_ASSERT(sizeof(DECIMAL) == 16);
OLEAUTO_LAYOUT_ASSERT(sizeof(VARIANT) == 24);
OLEAUTO_LAYOUT_ASSERT(offsetof(VARIANT, lVal) == 8);
OLEAUTO_LAYOUT_ASSERT(offsetof(VARIANT, pRecInfo) == 16);
#undef OLEAUTO_LAYOUT_ASSERT

// Accessors of a VARIANT's type and contents
#define V_VT(X) ((X)->vt)
#define V_ISBYREF(X) (V_VT(X) & VT_BYREF)
#define V_ISARRAY(X) (V_VT(X) & VT_ARRAY)
#define V_UI1(X) ((X)->bVal)
#define V_I2(X) ((X)->iVal)
#define V_I4(X) ((X)->lVal)
#define V_I8(X) ((X)->llVal)
#define V_R8(X) ((X)->dblVal)
#define V_BOOL(X) ((X)->boolVal)
#define V_ERROR(X) ((X)->scode)
#define V_BSTR(X) ((X)->bstrVal)
#define V_BSTRREF(X) ((X)->pbstrVal)
#define V_UNKNOWN(X) ((X)->punkVal)
#define V_DISPATCH(X) ((X)->pdispVal)
#define V_ARRAY(X) ((X)->parray)
#define V_VARIANTREF(X) ((X)->pvarVal)
#define V_BYREF(X) ((X)->byref)

// Automation HRESULTs
#define DISP_E_TYPEMISMATCH ((HRESULT)0x80020005L)
#define DISP_E_BADVARTYPE ((HRESULT)0x80020008L)
#define DISP_E_OVERFLOW ((HRESULT)0x8002000AL)
#define DISP_E_BADINDEX ((HRESULT)0x8002000BL)
#define DISP_E_ARRAYISLOCKED ((HRESULT)0x8002000DL)

// Strings
WINOLEAUTAPI_(BSTR) SysAllocString(const OLECHAR *psz);
WINOLEAUTAPI_(BSTR) SysAllocStringLen(const OLECHAR *strIn, UINT ui);
WINOLEAUTAPI_(BSTR) SysAllocStringByteLen(LPCSTR psz, UINT len);
WINOLEAUTAPI_(INT) SysReAllocStringLen(BSTR *pbstr, const OLECHAR *psz, UINT len);
WINOLEAUTAPI_(void) SysFreeString(BSTR bstrString);
WINOLEAUTAPI_(UINT) SysStringLen(BSTR pbstr);
WINOLEAUTAPI_(UINT) SysStringByteLen(BSTR bstr);

// Arrays
WINOLEAUTAPI_(SAFEARRAY *) SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND *rgsabound);
WINOLEAUTAPI_(SAFEARRAY *) SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
WINOLEAUTAPI SafeArrayDestroy(SAFEARRAY *psa);
WINOLEAUTAPI SafeArrayCopy(SAFEARRAY *psa, SAFEARRAY **ppsaOut);
WINOLEAUTAPI SafeArrayLock(SAFEARRAY *psa);
WINOLEAUTAPI SafeArrayUnlock(SAFEARRAY *psa);
WINOLEAUTAPI_(UINT) SafeArrayGetDim(SAFEARRAY *psa);
WINOLEAUTAPI_(UINT) SafeArrayGetElemsize(SAFEARRAY *psa);
WINOLEAUTAPI SafeArrayGetLBound(SAFEARRAY *psa, UINT nDim, LONG *plLbound);
WINOLEAUTAPI SafeArrayGetUBound(SAFEARRAY *psa, UINT nDim, LONG *plUbound);
WINOLEAUTAPI SafeArrayPtrOfIndex(SAFEARRAY *psa, LONG *rgIndices, void **ppvData);
WINOLEAUTAPI SafeArrayAccessData(SAFEARRAY *psa, void **ppvData);
WINOLEAUTAPI SafeArrayUnaccessData(SAFEARRAY *psa);
WINOLEAUTAPI SafeArrayGetElement(SAFEARRAY *psa, LONG *rgIndices, void *pv);
WINOLEAUTAPI SafeArrayPutElement(SAFEARRAY *psa, LONG *rgIndices, void *pv);
WINOLEAUTAPI SafeArrayRedim(SAFEARRAY *psa, SAFEARRAYBOUND *psaboundNew);
WINOLEAUTAPI SafeArrayGetVartype(SAFEARRAY *psa, VARTYPE *pvt);

// VARIANTs
WINOLEAUTAPI_(void) VariantInit(VARIANTARG *pvarg);
WINOLEAUTAPI VariantClear(VARIANTARG *pvarg);
WINOLEAUTAPI VariantCopy(VARIANTARG *pvargDest, const VARIANTARG *pvargSrc);
// Converts pvarSrc (by reference too) to type vt into pvargDest, as
// automation servers convert arguments: numbers and Booleans to text and
// back, Empty to "" or 0, an object through its default value; Null and
// what has no such form give DISP_E_TYPEMISMATCH, a number out of range
// DISP_E_OVERFLOW. Targets: VT_BSTR, VT_I4, VT_BOOL, VT_R8. Dates, currency
// amounts and decimals as sources give DISP_E_TYPEMISMATCH here.
WINOLEAUTAPI VariantChangeType(VARIANTARG *pvargDest, VARIANTARG *pvarSrc, USHORT wFlags, VARTYPE vt);

// Flags of VariantChangeType
#define VARIANT_NOVALUEPROP 0x01
#define VARIANT_ALPHABOOL 0x02
#define VARIANT_NOUSEROVERRIDE 0x04
#define VARIANT_LOCALBOOL 0x10
