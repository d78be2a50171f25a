// User-mode interface of the Windows stand-in: the basic Windows types and
// the kernel32 device-access subset (CreateFileA, DeviceIoControl,
// CloseHandle, GetLastError), with Windows names, values and 64-bit layouts.
// The registry subset (advapi32) comes with it, as it does on Windows.
#pragma once

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <uchar.h>  // char16_t for C clients
#endif

#ifdef __cplusplus
#define UM_EXTERN_C extern "C"
#else
#define UM_EXTERN_C extern
#endif

#define WINAPI
#define STDMETHODCALLTYPE
#define STDAPICALLTYPE
#define STDAPI UM_EXTERN_C __attribute__((visibility("default"))) HRESULT
#define WINBASEAPI UM_EXTERN_C __attribute__((visibility("default")))
#define WINOLEAUTAPI UM_EXTERN_C __attribute__((visibility("default"))) HRESULT
#define WINOLEAUTAPI_(type) UM_EXTERN_C __attribute__((visibility("default"))) type
#define STDAPI_(type) UM_EXTERN_C __attribute__((visibility("default"))) type
#define WINOLEAPI UM_EXTERN_C __attribute__((visibility("default"))) HRESULT
#define WINOLEAPI_(type) UM_EXTERN_C __attribute__((visibility("default"))) type
#define WINADVAPI UM_EXTERN_C __attribute__((visibility("default")))

typedef void VOID, *PVOID, *LPVOID;
typedef const void *LPCVOID;
typedef char CHAR;
typedef const char *LPCSTR, *PCSTR;
typedef char *LPSTR;
typedef unsigned char BYTE, *PBYTE, *LPBYTE, UCHAR;
typedef short SHORT;
typedef unsigned short USHORT, WORD;
typedef int32_t LONG, *PLONG, *LPLONG, INT, BOOL, *LPBOOL;
typedef uint32_t ULONG, *PULONG, DWORD, *PDWORD, *LPDWORD, UINT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uintptr_t ULONG_PTR, DWORD_PTR;
typedef intptr_t LONG_PTR;
typedef int32_t HRESULT;
typedef char16_t WCHAR, OLECHAR, *LPWSTR, *LPOLESTR;
typedef const char16_t *LPCWSTR, *LPCOLESTR;
// A wide literal: OLECHAR is char16_t here and wchar_t on Windows.
#define OLESTR(str) u##str
typedef void *HANDLE;
typedef void *HINSTANCE, *HMODULE;
typedef short VARIANT_BOOL;
typedef LONG SCODE;
typedef float FLOAT;
typedef double DOUBLE;

#define TRUE 1
#define FALSE 0
#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

#define MAX_PATH 260

// Reasons passed to a library's entry point
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

// Access, sharing and creation values of CreateFileA
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_FLAG_OVERLAPPED 0x40000000u

// Win32 error codes
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_NOT_READY 21L
#define ERROR_BAD_COMMAND 22L
#define ERROR_GEN_FAILURE 31L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_DEV_NOT_EXIST 55L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_SEM_TIMEOUT 121L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define WAIT_TIMEOUT 258L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_NOACCESS 998L
#define ERROR_BADDB 1009L
#define ERROR_CANTOPEN 1011L
#define ERROR_CANTREAD 1012L
#define ERROR_CANTWRITE 1013L
#define ERROR_KEY_DELETED 1018L
#define ERROR_DEVICE_NOT_CONNECTED 1167L
#define ERROR_NO_SYSTEM_RESOURCES 1450L
#define ERROR_INVALID_USER_BUFFER 1784L

// HRESULT values
#define S_OK ((HRESULT)0L)
#define S_FALSE ((HRESULT)1L)
#define E_NOTIMPL ((HRESULT)0x80004001L)
#define E_NOINTERFACE ((HRESULT)0x80004002L)
#define E_POINTER ((HRESULT)0x80004003L)
#define E_FAIL ((HRESULT)0x80004005L)
#define E_UNEXPECTED ((HRESULT)0x8000FFFFL)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    PVOID Pointer;
  };
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

WINBASEAPI HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                                     DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
WINBASEAPI BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                       DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                                       LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
WINBASEAPI BOOL WINAPI CloseHandle(HANDLE hObject);
WINBASEAPI DWORD WINAPI GetLastError(void);
WINBASEAPI void WINAPI SetLastError(DWORD dwErrCode);

#include <winreg.h>
