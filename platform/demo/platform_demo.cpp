// Shows the embedded platform at work: a small loop-back driver is loaded
// into the embedded kernel, and kernel32 calls open its device by name and
// exchange data with it through buffered and direct device-control requests.
#include <windows.h>

#include <km/standin.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr ULONG kEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kFill = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);

NTSTATUS Finish(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS OpenOrClose(PDEVICE_OBJECT, PIRP irp) { return Finish(irp, STATUS_SUCCESS, 0); }

// Echo returns the input; fill writes a pattern straight into the caller's pages.
NTSTATUS Control(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  ULONG in = location->Parameters.DeviceIoControl.InputBufferLength;
  ULONG out = location->Parameters.DeviceIoControl.OutputBufferLength;
  switch (location->Parameters.DeviceIoControl.IoControlCode) {
    case kEcho:
      return Finish(irp, STATUS_SUCCESS, in < out ? in : out);
    case kFill: {
      if (irp->MdlAddress == nullptr) return Finish(irp, STATUS_INVALID_PARAMETER, 0);
      auto *pages = static_cast<UCHAR *>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
      for (ULONG i = 0; i < out; ++i) pages[i] = static_cast<UCHAR>('a' + i % 26);
      return Finish(irp, STATUS_SUCCESS, out);
    }
    default:
      return Finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

VOID DemoUnload(PDRIVER_OBJECT driver) {
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, u"\\DosDevices\\Demo-0");
  IoDeleteSymbolicLink(&link);
  if (driver->DeviceObject != nullptr) IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS DemoEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverUnload = DemoUnload;
  driver->MajorFunction[IRP_MJ_CREATE] = OpenOrClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = OpenOrClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Control;
  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, u"\\Device\\Demo-0");
  RtlInitUnicodeString(&link, u"\\DosDevices\\Demo-0");
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return IoCreateSymbolicLink(&link, &name);
}

}  // namespace

int main() {
  NTSTATUS status;
  PDRIVER_OBJECT driver = km::LoadDriver(u"\\Driver\\Demo", DemoEntry, &status);
  if (driver == nullptr) {
    std::printf("the demo driver did not load: status 0x%08X\n", static_cast<unsigned>(status));
    return 1;
  }
  std::printf("Loaded \\Driver\\Demo; it created \\Device\\Demo-0 and the link \\DosDevices\\Demo-0.\n");

  HANDLE device = CreateFileA("\\\\.\\demo-0", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    std::printf("CreateFileA failed with error %u\n", static_cast<unsigned>(GetLastError()));
    return 1;
  }
  std::printf("CreateFileA(\"\\\\.\\demo-0\") gave handle %lu\n", static_cast<unsigned long>(
                                                                     reinterpret_cast<uintptr_t>(device)));

  char text[] = "hello, instrument";
  char reply[64] = {};
  DWORD bytes = 0;
  BOOL ok = DeviceIoControl(device, kEcho, text, sizeof text - 1, reply, sizeof reply, &bytes, nullptr);
  std::printf("buffered echo: %s, %u bytes: \"%.*s\"\n", ok ? "ok" : "failed", static_cast<unsigned>(bytes),
              static_cast<int>(bytes), reply);

  char pattern[40] = {};
  ok = DeviceIoControl(device, kFill, nullptr, 0, pattern, 30, &bytes, nullptr);
  std::printf("direct fill into the caller's pages: %s, %u bytes: \"%s\"\n", ok ? "ok" : "failed",
              static_cast<unsigned>(bytes), pattern);

  ok = DeviceIoControl(device, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x8FF, METHOD_BUFFERED, FILE_ANY_ACCESS), nullptr, 0,
                       nullptr, 0, &bytes, nullptr);
  std::printf("unknown code: %s, error %u\n", ok ? "ok" : "refused", static_cast<unsigned>(GetLastError()));

  CloseHandle(device);
  std::printf("closed; files still open: %zu\n", km::OpenFileCount());
  km::UnloadDriver(driver);
  std::printf("unloaded; the driver left no pool behind\n");
  return 0;
}
