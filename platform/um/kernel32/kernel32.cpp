// The kernel32 device-access subset: CreateFileA, DeviceIoControl,
// CloseHandle and the thread's last error, on top of a device backend.
#include <windows.h>

#include <um/kernel_backend.h>

#include "device_backend.h"
#include "handle_table.h"

#include <string>
#include <string_view>

UM_EXTERN_C ULONG WINAPI RtlNtStatusToDosError(LONG Status);

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

BOOL Fail(DWORD error) {
  t_lastError = error;
  return FALSE;
}

std::uintptr_t HandleValue(HANDLE handle) { return reinterpret_cast<std::uintptr_t>(handle); }

// "\\.\NAME" names NAME in the device namespace, "\??\" in NT terms. The
// 8-bit text is taken as Latin-1, the system's code page here. The NT path
// is built in `room` when it fits, so that an open does not allocate.
class NtPath {
 public:
  bool Assign(std::string_view path) {
    constexpr std::string_view kPrefix = "\\\\.\\";
    constexpr std::u16string_view kNtPrefix = u"\\??\\";
    if (!path.starts_with(kPrefix)) return false;
    std::string_view name = path.substr(kPrefix.size());
    length_ = kNtPrefix.size() + name.size();
    char16_t *out = room_;
    if (length_ > sizeof room_ / sizeof room_[0]) {
      long_.resize(length_);
      out = long_.data();
    }
    for (char16_t c : kNtPrefix) *out++ = c;
    for (unsigned char c : name) *out++ = static_cast<char16_t>(c);
    return true;
  }
  std::u16string_view View() const { return {long_.empty() ? room_ : long_.data(), length_}; }

 private:
  char16_t room_[64];
  std::u16string long_;
  std::size_t length_ = 0;
};

}  // namespace

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  (void)dwDesiredAccess;
  (void)dwShareMode;
  (void)lpSecurityAttributes;
  (void)dwFlagsAndAttributes;
  (void)hTemplateFile;
  if (lpFileName == nullptr) {
    Fail(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
    Fail(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  NtPath ntPath;
  if (!ntPath.Assign(lpFileName)) {
    Fail(ERROR_PATH_NOT_FOUND);  // there is no file system here, only devices
    return INVALID_HANDLE_VALUE;
  }
  um::DeviceBackend &backend = um::ProcessBackend();
  void *file = nullptr;
  um::NtStatus status = backend.Open(ntPath.View(), &file);
  if (status < 0) {
    Fail(RtlNtStatusToDosError(status));
    return INVALID_HANDLE_VALUE;
  }
  return reinterpret_cast<HANDLE>(um::HandleTable::Process().Insert({&backend, file}));
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
  auto device = um::HandleTable::Process().Find(HandleValue(hDevice));
  if (!device) return Fail(ERROR_INVALID_HANDLE);
  // Windows would fault writing the count; refuse the call instead.
  if (lpBytesReturned == nullptr && lpOverlapped == nullptr) return Fail(ERROR_INVALID_PARAMETER);

  std::uint64_t information = 0;
  um::NtStatus status = device->backend->Control(device->file, dwIoControlCode, lpInBuffer, nInBufferSize,
                                                 lpOutBuffer, nOutBufferSize, &information);
  // Handles are synchronous: an overlapped call completes before it returns.
  if (lpOverlapped != nullptr) {
    lpOverlapped->Internal = static_cast<ULONG_PTR>(static_cast<uint32_t>(status));
    lpOverlapped->InternalHigh = information;
  }
  bool isError = (static_cast<uint32_t>(status) >> 30) == 3;
  if (lpBytesReturned != nullptr && !isError) *lpBytesReturned = static_cast<DWORD>(information);
  if (status < 0) return Fail(RtlNtStatusToDosError(status));
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  auto device = um::HandleTable::Process().Remove(HandleValue(hObject));
  if (!device) return Fail(ERROR_INVALID_HANDLE);
  device->backend->Close(device->file);
  return TRUE;
}

DWORD WINAPI GetLastError(void) { return t_lastError; }

const char *WINAPI KernelServiceSocket(void) {
  static const um::BackendChoice choice = um::ProcessBackendChoice();
  return choice.service ? choice.socketPath.c_str() : nullptr;
}

const char *WINAPI KernelServiceProblem(void) {
  const char *socket = KernelServiceSocket();
  if (socket == nullptr) return nullptr;
  thread_local std::string problem;
  problem = um::ServiceProblem(socket);
  return problem.empty() ? nullptr : problem.c_str();
}

void WINAPI SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }
