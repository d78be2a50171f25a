/* Checks how Tavrin_570x_Driver.dll meets real automation clients, once it
 * has been registered:
 *   - the system code page: under code page 1252 the euro sign is written
 *     as byte 0x80 and byte 0x80 is read as the euro sign; a character the
 *     code page lacks is run-time error 6 and sends nothing;
 *   - only names of the driver's form are opened;
 *   - type information: IDispatch gives the interface's ITypeInfo, which
 *     names the five methods;
 *   - rich errors: a failed call through the method table leaves source and
 *     description behind ISupportErrorInfo and IErrorInfo.
 * Wine has no instrument, so this program plays one: it replaces the DLL's
 * imports of CreateFileA, DeviceIoControl and CloseHandle with its own, which
 * answer the interface record query as the driver does, keep the bytes of a
 * write and give queued bytes to a read.
 *
 * Usage: interop_check PATH-OF-THE-DLL
 * Prints one line per check and "N passed, M failed"; exits with M. */
#define COBJMACROS
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <stdio.h>
#include <string.h>

#include "Tavrin_570x_Driver_i.h"
#include "check_count.h"


/* ---- The instrument this program plays -------------------------------- */

#define FAKE_HANDLE ((HANDLE)(LONG_PTR)0x7A50)
#define RECORD_HEADER_BYTES 24
#define RECORD_PIPE_BYTES 24

static int opens;
static char lastPath[MAX_PATH];
static BYTE written[64];
static DWORD writtenBytes;
static BYTE toRead[64];
static DWORD toReadBytes;

static HANDLE WINAPI FakeCreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                     DWORD disposition, DWORD flags, HANDLE templateFile) {
  (void)access, (void)share, (void)security, (void)disposition, (void)flags, (void)templateFile;
  ++opens;
  lstrcpynA(lastPath, path, MAX_PATH);
  if (lstrcmpiA(path, "\\\\.\\TAVRIN-0") != 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return FAKE_HANDLE;
}

static BOOL WINAPI FakeDeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inBytes, LPVOID out,
                                       DWORD outBytes, LPDWORD returned, LPOVERLAPPED overlapped) {
  (void)in, (void)inBytes, (void)overlapped;
  if (device != FAKE_HANDLE) return FALSE;
  if (code == 0x222000) { /* the interface record: pipes 0x01, 0x81, 0x82 */
    BYTE *record = out;
    static const BYTE endpoints[3] = {0x01, 0x81, 0x82};
    int pipe;
    for (pipe = 0; pipe < 3; ++pipe) record[RECORD_HEADER_BYTES + RECORD_PIPE_BYTES * pipe + 2] = endpoints[pipe];
    *returned = RECORD_HEADER_BYTES + 3 * RECORD_PIPE_BYTES;
    return TRUE;
  }
  if (code == 0x222051) { /* a write: the bytes are the output buffer's */
    writtenBytes = outBytes < sizeof written ? outBytes : sizeof written;
    memcpy(written, out, writtenBytes);
    *returned = outBytes;
    return TRUE;
  }
  if (code == 0x22208A && toReadBytes != 0) { /* a read */
    DWORD n = toReadBytes < outBytes ? toReadBytes : outBytes;
    memcpy(out, toRead, n);
    *returned = n;
    toReadBytes = 0;
    return TRUE;
  }
  return FALSE;
}

static BOOL WINAPI FakeCloseHandle(HANDLE handle) { return handle == FAKE_HANDLE; }

/* Points the DLL's import of kernel32's `name` at `replacement`. */
static int replace_import(HMODULE module, const char *name, void *replacement) {
  BYTE *base = (BYTE *)module;
  IMAGE_NT_HEADERS *nt = (IMAGE_NT_HEADERS *)(base + ((IMAGE_DOS_HEADER *)base)->e_lfanew);
  IMAGE_DATA_DIRECTORY directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  IMAGE_IMPORT_DESCRIPTOR *imports = (IMAGE_IMPORT_DESCRIPTOR *)(base + directory.VirtualAddress);
  for (; imports->Name != 0; ++imports) {
    IMAGE_THUNK_DATA *names, *slots;
    if (lstrcmpiA((const char *)(base + imports->Name), "KERNEL32.dll") != 0) continue;
    names = (IMAGE_THUNK_DATA *)(base + imports->OriginalFirstThunk);
    slots = (IMAGE_THUNK_DATA *)(base + imports->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      IMAGE_IMPORT_BY_NAME *byName;
      DWORD old;
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      byName = (IMAGE_IMPORT_BY_NAME *)(base + names->u1.AddressOfData);
      if (strcmp((const char *)byName->Name, name) != 0) continue;
      VirtualProtect(&slots->u1.Function, sizeof(void *), PAGE_READWRITE, &old);
      slots->u1.Function = (ULONG_PTR)replacement;
      VirtualProtect(&slots->u1.Function, sizeof(void *), old, &old);
      return 1;
    }
  }
  return 0;
}

/* ---- The checks -------------------------------------------------------- */

static void check_code_page(_cls_Tavrin_USB *device) {
  BSTR name = SysAllocString(L"TAVRIN-0");
  BSTR euro = SysAllocString(L"\x20AC\x00E9");
  BSTR wide = SysAllocString(L"A\x0100");
  BSTR result = NULL;
  LONG number = 0;
  char line[160];

  snprintf(line, sizeof line, "the system code page is 1252 (found %u)", GetACP());
  check(GetACP() == 1252, line);
  check(_cls_Tavrin_USB_Device_Write(device, &name, &euro, &number) == S_OK && number == 1,
        "Device_Write of the euro sign and e-acute completes");
  snprintf(line, sizeof line, "they are sent as bytes 0x80 0xE9 (%lu bytes: 0x%02X 0x%02X)", writtenBytes,
           written[0], written[1]);
  check(writtenBytes == 2 && written[0] == 0x80 && written[1] == 0xE9, line);

  writtenBytes = 0;
  number = 99;
  check(_cls_Tavrin_USB_Device_Write(device, &name, &wide, &number) == (HRESULT)0x800A0006L && number == 0,
        "a character code page 1252 lacks (U+0100) is run-time error 6");
  check(writtenBytes == 0, "and nothing is sent");

  toRead[0] = 0x80;
  toRead[1] = 'x';
  toReadBytes = 2;
  check(_cls_Tavrin_USB_Device_Read_Interrogative(device, &name, &result) == S_OK && result != NULL &&
            SysStringLen(result) == 2 && result[0] == 0x20AC && result[1] == L'x',
        "byte 0x80 is read as the euro sign");
  SysFreeString(result);
  SysFreeString(name);
  SysFreeString(euro);
  SysFreeString(wide);
}

static void check_names(_cls_Tavrin_USB *device) {
  static const WCHAR *const foreign[] = {L"pipe\\anything", L"..\\TAVRIN-0", L"TAVRIN-00", L"TAVRIN-0 "};
  BSTR value = SysAllocString(L"x");
  size_t i;
  for (i = 0; i < sizeof foreign / sizeof foreign[0]; ++i) {
    BSTR name = SysAllocString(foreign[i]);
    LONG number = 0;
    char line[128];
    opens = 0;
    snprintf(line, sizeof line, "the name \"%ls\" is not opened: -2", foreign[i]);
    check(_cls_Tavrin_USB_Device_Write(device, &name, &value, &number) == S_OK && number == -2 && opens == 0, line);
    SysFreeString(name);
  }
  {
    BSTR name = SysAllocString(L"tavrin-0");
    LONG number = 0;
    check(_cls_Tavrin_USB_Device_Write(device, &name, &value, &number) == S_OK && number == 1 &&
              lstrcmpA(lastPath, "\\\\.\\tavrin-0") == 0,
          "the name in another case is opened as \\\\.\\tavrin-0");
    SysFreeString(name);
  }
  SysFreeString(value);
}

static void check_type_information(_cls_Tavrin_USB *device) {
  static const WCHAR *const methods[] = {L"Get_ALL_Available_DeviceName", L"Device_Read_Formatted",
                                         L"Device_Read_Interrogative", L"Device_Write", L"Get_First_DeviceName"};
  UINT count = 0;
  ITypeInfo *info = NULL;
  TYPEATTR *attributes = NULL;
  int found[5] = {0};
  UINT i;
  size_t m;
  char line[160];

  check(_cls_Tavrin_USB_GetTypeInfoCount(device, &count) == S_OK && count == 1, "GetTypeInfoCount gives 1");
  check(_cls_Tavrin_USB_GetTypeInfo(device, 0, 0, &info) == S_OK && info != NULL, "GetTypeInfo(0) gives ITypeInfo");
  if (info == NULL) return;
  ITypeInfo_GetTypeAttr(info, &attributes);
  check(IsEqualGUID(&attributes->guid, &IID__cls_Tavrin_USB), "it describes _cls_Tavrin_USB");
  for (i = 0; i < attributes->cFuncs; ++i) {
    FUNCDESC *function = NULL;
    BSTR names[4] = {NULL};
    UINT named = 0;
    if (FAILED(ITypeInfo_GetFuncDesc(info, i, &function))) continue;
    ITypeInfo_GetNames(info, function->memid, names, 4, &named);
    for (m = 0; m < 5; ++m) {
      if (named > 0 && lstrcmpW(names[0], methods[m]) == 0) found[m] = function->memid == 0x60030000 + (MEMBERID)m;
    }
    while (named > 0) SysFreeString(names[--named]);
    ITypeInfo_ReleaseFuncDesc(info, function);
  }
  ITypeInfo_ReleaseTypeAttr(info, attributes);
  for (m = 0; m < 5; ++m) {
    snprintf(line, sizeof line, "the type information names %ls with id 0x%08lX", methods[m],
             (unsigned long)(0x60030000 + m));
    check(found[m], line);
  }
  ITypeInfo_Release(info);
}

static void check_error_information(_cls_Tavrin_USB *device) {
  ISupportErrorInfo *support = NULL;
  IErrorInfo *error = NULL;
  BSTR name = SysAllocString(L"TAVRIN-0");
  BSTR wide = SysAllocString(L"\x0100");
  BSTR source = NULL, description = NULL;
  LONG number = 0;

  check(_cls_Tavrin_USB_QueryInterface(device, &IID_ISupportErrorInfo, (void **)&support) == S_OK &&
            ISupportErrorInfo_InterfaceSupportsErrorInfo(support, &IID__cls_Tavrin_USB) == S_OK,
        "ISupportErrorInfo answers for _cls_Tavrin_USB");
  if (support != NULL) ISupportErrorInfo_Release(support);
  SetErrorInfo(0, NULL);
  _cls_Tavrin_USB_Device_Write(device, &name, &wide, &number);
  check(GetErrorInfo(0, &error) == S_OK && error != NULL, "a failed vtable call leaves IErrorInfo");
  if (error != NULL) {
    IErrorInfo_GetSource(error, &source);
    IErrorInfo_GetDescription(error, &description);
    check(source != NULL && lstrcmpW(source, L"Tavrin_570x_Driver.cls_Tavrin_USB") == 0,
          "its source is Tavrin_570x_Driver.cls_Tavrin_USB");
    check(description != NULL && lstrcmpW(description, L"Overflow") == 0, "its description is Overflow");
    SysFreeString(source);
    SysFreeString(description);
    IErrorInfo_Release(error);
  }
  SysFreeString(name);
  SysFreeString(wide);
}

int wmain(int argc, WCHAR **argv) {
  HMODULE library;
  _cls_Tavrin_USB *device = NULL;
  if (argc != 2) {
    fprintf(stderr, "usage: interop_check PATH-OF-THE-DLL\n");
    return 2;
  }
  library = LoadLibraryW(argv[1]);
  check(library != NULL, "the library loads");
  if (library == NULL) return 1;
  check(replace_import(library, "CreateFileA", (void *)FakeCreateFileA) &&
            replace_import(library, "DeviceIoControl", (void *)FakeDeviceIoControl) &&
            replace_import(library, "CloseHandle", (void *)FakeCloseHandle),
        "the instrument stand-in takes the library's device calls");
  CoInitialize(NULL);
  check(CoCreateInstance(&CLSID_cls_Tavrin_USB, NULL, CLSCTX_INPROC_SERVER, &IID__cls_Tavrin_USB,
                         (void **)&device) == S_OK,
        "CoCreateInstance for _cls_Tavrin_USB");
  if (device != NULL) {
    check_code_page(device);
    check_names(device);
    check_type_information(device);
    check_error_information(device);
    _cls_Tavrin_USB_Release(device);
  }
  CoUninitialize();
  return check_summary();
}
