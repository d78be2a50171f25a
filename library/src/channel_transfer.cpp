// One transfer over one channel: open the instrument, learn the direction of
// the channel's pipe from the interface record, send the request that matches
// it with the caller's buffer, close the instrument. In this order: open 1,
// open 2, record query, close 2, transfer on handle 1, close 1.
#include "library_routines.h"

#include <cstring>

namespace {

// An endpoint address above this one is an IN endpoint: the instrument sends.
constexpr BYTE kLastOutEndpoint = 0x80;

// Whether the whole pipe entry `Channel` lies inside the record buffer.
bool Pipe_Entry_In_Record(int16_t Channel) {
  if (Channel < 0) return false;
  const int64_t entryEnd = TAVRIN_RECORD_HEADER_BYTES + TAVRIN_RECORD_PIPE_BYTES * (int64_t{Channel} + 1);
  return entryEnd <= TAVRIN_RECORD_BUFFER_BYTES;
}

// Locks the caller's array and gives the address of its element with index
// 0. Refused (false, the array left unlocked) unless the array is there, is
// one-dimensional, holds single bytes and contains index 0, and Length lies
// between 0 and the bytes from index 0 to the array's end.
bool Lock_Transfer_Buffer(SAFEARRAY *Array, int32_t Length, BYTE **Data) {
  if (Array == nullptr || FAILED(SafeArrayLock(Array))) return false;
  bool usable = SafeArrayGetDim(Array) == 1 && SafeArrayGetElemsize(Array) == 1 && Array->pvData != nullptr;
  LONG lower = 0;
  LONG upper = -1;
  if (usable) {
    usable = SUCCEEDED(SafeArrayGetLBound(Array, 1, &lower)) && SUCCEEDED(SafeArrayGetUBound(Array, 1, &upper));
  }
  // The bytes from index 0 to the end: upper + 1 when index 0 is inside.
  usable = usable && lower <= 0 && upper >= 0 && Length >= 0 && int64_t{Length} <= int64_t{upper} + 1;
  void *element = nullptr;
  LONG zero = 0;
  usable = usable && SUCCEEDED(SafeArrayPtrOfIndex(Array, &zero, &element));
  if (!usable) {
    SafeArrayUnlock(Array);
    return false;
  }
  *Data = static_cast<BYTE *>(element);
  return true;
}

}  // namespace

BOOL Get_Pipe_Info(const BSTR &DeviceName, InterfaceRecordBuffer &Record) {
  HANDLE device = Open_Device(DeviceName);
  if (device == nullptr) return FALSE;
  DWORD returned = 0;  // not looked at
  const BOOL completed = DeviceIoControl(device, IOCTL_INSTR_GET_INTERFACE_RECORD, Record, sizeof Record, Record,
                                         sizeof Record, &returned, nullptr);
  CloseHandle(device);
  return completed ? TRUE : FALSE;
}

int32_t Channel_Transfer(BSTR *DeviceName, const int16_t &Channel, SAFEARRAY **Buffer, int32_t *Length) {
  InterfaceRecordBuffer record;
  std::memset(record, 0, sizeof record);
  int32_t input = 0;

  // No name or no length to work with: nothing can be opened.
  if (DeviceName == nullptr || Length == nullptr) return kDeviceNotOpened;
  HANDLE device = Open_Device(*DeviceName);
  if (device == nullptr) return kDeviceNotOpened;

  if (!Get_Pipe_Info(*DeviceName, record)) {
    CloseHandle(device);
    return kTransferFailed;
  }

  input = Channel;  // the pipe index, 32 bits little-endian

  SAFEARRAY *array = Buffer == nullptr ? nullptr : *Buffer;
  BYTE *data = nullptr;
  if (!Lock_Transfer_Buffer(array, *Length, &data)) {
    CloseHandle(device);
    return kBoundsError;
  }

  if (!Pipe_Entry_In_Record(Channel)) {
    SafeArrayUnlock(array);
    CloseHandle(device);
    return kBoundsError;
  }
  const BYTE endpoint = record[TAVRIN_RECORD_ENDPOINT_OFFSET(Channel)];
  const DWORD code = endpoint > kLastOutEndpoint ? IOCTL_INSTR_BULK_READ_TIMED : IOCTL_INSTR_BULK_WRITE;

  // The caller's length variable receives the bytes moved.
  const BOOL completed = DeviceIoControl(device, code, &input, sizeof input, data, static_cast<DWORD>(*Length),
                                         reinterpret_cast<DWORD *>(Length), nullptr);

  SafeArrayUnlock(array);
  CloseHandle(device);
  return completed ? kTransferCompleted : kTransferFailed;
}
