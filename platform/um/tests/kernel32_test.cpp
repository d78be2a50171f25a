// kernel32's device access against devices of a test driver: names, the
// three transfer methods, errors, and handles on deleted devices.
#include <windows.h>

#include "test_driver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using kmtest::Complete;
using kmtest::Name;
using kmtest::TestDriver;

UM_EXTERN_C ULONG WINAPI RtlNtStatusToDosError(LONG Status);

namespace {

constexpr DWORD Code(DWORD function, DWORD method) {
  return CTL_CODE(FILE_DEVICE_UNKNOWN, function, method, FILE_ANY_ACCESS);
}

// One named device with a \DosDevices link, as a function driver makes it.
class Kernel32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    device = driver.AddDevice(u"\\Device\\Tavrin-0");
    UNICODE_STRING link = Name(u"\\DosDevices\\Tavrin-0");
    UNICODE_STRING target = Name(u"\\Device\\Tavrin-0");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    driver.Handle(IRP_MJ_CREATE, [this](PDEVICE_OBJECT, PIRP irp) {
      majors.push_back(IRP_MJ_CREATE);
      return Complete(irp, createStatus);
    });
    driver.Handle(IRP_MJ_CLEANUP, [this](PDEVICE_OBJECT, PIRP irp) {
      majors.push_back(IRP_MJ_CLEANUP);
      return Complete(irp, STATUS_SUCCESS);
    });
    driver.Handle(IRP_MJ_CLOSE, [this](PDEVICE_OBJECT, PIRP irp) {
      majors.push_back(IRP_MJ_CLOSE);
      return Complete(irp, STATUS_SUCCESS);
    });
  }
  void TearDown() override {
    UNICODE_STRING link = Name(u"\\DosDevices\\Tavrin-0");
    IoDeleteSymbolicLink(&link);
  }

  HANDLE Open(const char *path = "\\\\.\\TAVRIN-0") {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
  }

  TestDriver driver{u"\\Driver\\Tavrin"};
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS createStatus = STATUS_SUCCESS;
  std::vector<UCHAR> majors;
};

TEST_F(Kernel32Test, OpensByLinkNameWithoutRegardToCaseAndClosesWithCleanupThenClose) {
  HANDLE first = Open("\\\\.\\tavrin-0");
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  auto value = reinterpret_cast<uintptr_t>(first);
  EXPECT_GT(value, 0u);
  EXPECT_EQ(value % 4, 0u);
  HANDLE second = Open();
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  EXPECT_NE(first, second);
  EXPECT_EQ(km::OpenFileCount(device), 2u);
  EXPECT_TRUE(CloseHandle(first));
  EXPECT_TRUE(CloseHandle(second));
  EXPECT_EQ(km::OpenFileCount(device), 0u);
  EXPECT_EQ(majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE,
                                         IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
  EXPECT_FALSE(CloseHandle(first));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Kernel32Test, FailedOpensSetTheWindowsErrors) {
  EXPECT_EQ(Open("\\\\.\\TAVRIN-1"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Open("\\\\.\\TAVRIN-10"), INVALID_HANDLE_VALUE) << "slot 10 is spelt ':', not \"10\"";
  EXPECT_EQ(Open(nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(Open("C:\\TAVRIN-0"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(CreateFileA("\\\\.\\TAVRIN-0", GENERIC_READ, 0, nullptr, 9, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  createStatus = STATUS_UNSUCCESSFUL;  // a driver that refuses the open
  EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
  EXPECT_EQ(km::OpenFileCount(), 0u);
}

TEST_F(Kernel32Test, DeviceStillInitializingCannotBeOpened) {
  device->Flags |= DO_DEVICE_INITIALIZING;
  EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(majors.empty());
  device->Flags &= ~DO_DEVICE_INITIALIZING;
}

TEST_F(Kernel32Test, BufferedMethodCopiesBackExactlyTheReportedBytes) {
  const void *systemBuffer = nullptr;
  driver.Handle(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
    auto *location = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(location->Parameters.DeviceIoControl.IoControlCode, Code(0x800, METHOD_BUFFERED));
    EXPECT_EQ(location->Parameters.DeviceIoControl.InputBufferLength, 4u);
    EXPECT_EQ(location->Parameters.DeviceIoControl.OutputBufferLength, 16u);
    systemBuffer = irp->AssociatedIrp.SystemBuffer;
    auto *bytes = static_cast<char *>(irp->AssociatedIrp.SystemBuffer);
    EXPECT_EQ(std::string(bytes, 4), "ping");
    std::memcpy(bytes, "0123456789ABCDEF", 16);
    return Complete(irp, STATUS_SUCCESS, 6);
  });
  HANDLE handle = Open();
  char input[4] = {'p', 'i', 'n', 'g'};
  char output[16];
  std::memset(output, '-', sizeof output);
  DWORD returned = 999;
  ASSERT_TRUE(DeviceIoControl(handle, Code(0x800, METHOD_BUFFERED), input, 4, output, 16, &returned, nullptr));
  EXPECT_EQ(returned, 6u);
  EXPECT_EQ(std::string(output, 16), "012345----------");
  EXPECT_NE(systemBuffer, static_cast<const void *>(output));
  CloseHandle(handle);
}

TEST_F(Kernel32Test, DirectMethodsHandTheDriverAnMdlOfTheCallersBuffer) {
  char output[100];
  for (DWORD method : {METHOD_IN_DIRECT, METHOD_OUT_DIRECT}) {
    driver.Handle(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
      EXPECT_NE(irp->MdlAddress, nullptr);
      EXPECT_EQ(MmGetMdlVirtualAddress(irp->MdlAddress), static_cast<PVOID>(output));
      EXPECT_EQ(MmGetMdlByteCount(irp->MdlAddress), sizeof output);
      EXPECT_EQ(*static_cast<LONG *>(irp->AssociatedIrp.SystemBuffer), 2) << "input in the system buffer";
      auto *mapped = static_cast<char *>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
      // An IN_DIRECT buffer is locked for reading only: data comes from it.
      if (method == METHOD_IN_DIRECT) {
        EXPECT_STREQ(mapped, "caller");
        return Complete(irp, STATUS_SUCCESS, 0);
      }
      std::memcpy(mapped, "direct", 6);
      return Complete(irp, STATUS_SUCCESS, 6);
    });
    HANDLE handle = Open();
    LONG channel = 2;
    std::memset(output, 0, sizeof output);
    std::strcpy(output, "caller");
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(handle, Code(0x813, method), &channel, 4, output, sizeof output, &returned,
                                nullptr));
    EXPECT_EQ(returned, method == METHOD_IN_DIRECT ? 0u : 6u);
    EXPECT_EQ(std::string(output), method == METHOD_IN_DIRECT ? "caller" : "direct");
    CloseHandle(handle);
  }
}

TEST_F(Kernel32Test, NeitherMethodPassesTheCallersPointers) {
  char input[3] = {1, 2, 3};
  char output[5];
  driver.Handle(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer,
              static_cast<PVOID>(input));
    EXPECT_EQ(irp->UserBuffer, static_cast<PVOID>(output));
    return Complete(irp, STATUS_SUCCESS, 0);
  });
  HANDLE handle = Open();
  DWORD returned = 7;
  EXPECT_TRUE(DeviceIoControl(handle, Code(0x801, METHOD_NEITHER), input, 3, output, 5, &returned, nullptr));
  EXPECT_EQ(returned, 0u);
  CloseHandle(handle);
}

TEST_F(Kernel32Test, PendingRequestBlocksTheCallerUntilCompleted) {
  std::atomic<PIRP> held{nullptr};
  driver.Handle(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  });
  std::thread completer([&] {
    while (held.load() == nullptr) std::this_thread::yield();
    Complete(held.load(), STATUS_SUCCESS, 3);
  });
  HANDLE handle = Open();
  char output[8];
  DWORD returned = 0;
  EXPECT_TRUE(DeviceIoControl(handle, Code(0x822, METHOD_OUT_DIRECT), nullptr, 0, output, 8, &returned, nullptr));
  EXPECT_EQ(returned, 3u);
  completer.join();
  CloseHandle(handle);
}

TEST_F(Kernel32Test, FailedRequestReportsTheErrorAndLeavesTheCountAlone) {
  driver.Handle(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_CANCELLED); });
  HANDLE handle = Open();
  char output[8];
  DWORD returned = 42;
  EXPECT_FALSE(DeviceIoControl(handle, Code(0x822, METHOD_OUT_DIRECT), nullptr, 0, output, 8, &returned, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(returned, 42u);
  CloseHandle(handle);
}

TEST_F(Kernel32Test, BadArgumentsAreRefusedBeforeTheDriver) {
  int calls = 0;
  driver.Handle(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
    ++calls;
    return Complete(irp, STATUS_SUCCESS);
  });
  HANDLE handle = Open();
  DWORD returned;
  char buffer[4];
  EXPECT_FALSE(DeviceIoControl(reinterpret_cast<HANDLE>(uintptr_t{4000}), Code(0x800, 0), nullptr, 0, nullptr, 0,
                               &returned, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(DeviceIoControl(INVALID_HANDLE_VALUE, Code(0x800, 0), nullptr, 0, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(DeviceIoControl(handle, Code(0x800, 0), nullptr, 4, buffer, 4, &returned, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
  EXPECT_FALSE(DeviceIoControl(handle, Code(0x800, 0), buffer, 4, nullptr, 4, &returned, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
  EXPECT_FALSE(DeviceIoControl(handle, Code(0x800, 0), buffer, 4, buffer, 4, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(calls, 0);
  OVERLAPPED overlapped{};
  EXPECT_TRUE(DeviceIoControl(handle, Code(0x800, 0), buffer, 4, buffer, 4, nullptr, &overlapped));
  EXPECT_EQ(overlapped.Internal, 0u);
  EXPECT_EQ(calls, 1);
  CloseHandle(handle);
}

TEST_F(Kernel32Test, DeletedDeviceStaysWhileHandleIsOpenButRequestsFailWithoutReachingIt) {
  int calls = 0;
  driver.Handle(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
    ++calls;
    return Complete(irp, STATUS_SUCCESS);
  });
  std::vector<PDEVICE_OBJECT> lastClosed;
  km::SetLastCloseObserver([&](PDEVICE_OBJECT d) { lastClosed.push_back(d); });
  HANDLE handle = Open();
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  driver.DeleteDevice(device);  // the device object must survive the open handle
  EXPECT_EQ(device->ReferenceCount, 1) << "still referenced by the handle";
  char buffer[4] = {};
  DWORD returned;
  EXPECT_FALSE(DeviceIoControl(handle, Code(0x800, 0), buffer, 4, buffer, 4, &returned, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(calls, 0);
  majors.clear();
  EXPECT_TRUE(CloseHandle(handle));
  EXPECT_TRUE(majors.empty()) << "no cleanup or close reaches a deleted device";
  EXPECT_EQ(lastClosed, (std::vector<PDEVICE_OBJECT>{device}));
  km::SetLastCloseObserver(nullptr);
  EXPECT_EQ(Open(), INVALID_HANDLE_VALUE) << "the name went with the device";
}

TEST(StatusToError, KnownStatusesMapAsOnWindows) {
  EXPECT_EQ(RtlNtStatusToDosError(STATUS_SUCCESS), static_cast<ULONG>(ERROR_SUCCESS));
  EXPECT_EQ(RtlNtStatusToDosError(STATUS_INVALID_PARAMETER), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(RtlNtStatusToDosError(STATUS_DELETE_PENDING), static_cast<ULONG>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(RtlNtStatusToDosError(STATUS_INVALID_DEVICE_REQUEST), static_cast<ULONG>(ERROR_INVALID_FUNCTION));
  EXPECT_EQ(RtlNtStatusToDosError(static_cast<LONG>(0xC0FFEE00)), static_cast<ULONG>(ERROR_MR_MID_NOT_FOUND));
}

}  // namespace
