// Each verifier rule stops the process with a message that names it.
#include "test_driver.h"

#include <gtest/gtest.h>

#include <thread>

using kmtest::Complete;
using kmtest::TestDriver;

namespace {

class Verifier : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

PIRP ThreadedRequest(PDEVICE_OBJECT device, KEVENT *done, IO_STATUS_BLOCK *iosb, PVOID output = nullptr,
                     ULONG outputLength = 0) {
  KeInitializeEvent(done, NotificationEvent, FALSE);
  return IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                       device, nullptr, 0, output, outputLength, FALSE, done, iosb);
}

TEST_F(Verifier, CompletingARequestTwice) {
  EXPECT_DEATH(
      {
        TestDriver driver;
        PDEVICE_OBJECT device = driver.AddDevice();
        driver.Handle(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) {
          Complete(irp, STATUS_SUCCESS);
          return Complete(irp, STATUS_SUCCESS);
        });
        // At APC_LEVEL the issuer's last stage waits, so the packet is still
        // there to be completed a second time.
        KIRQL old;
        KeRaiseIrql(APC_LEVEL, &old);
        KEVENT done;
        IO_STATUS_BLOCK iosb;
        IoCallDriver(device, ThreadedRequest(device, &done, &iosb));
      },
      "MULTIPLE_IRP_COMPLETE_REQUESTS");
}

TEST_F(Verifier, CompletingADriversOwnRequestPastItsTop) {
  EXPECT_DEATH(
      {
        TestDriver driver;
        PDEVICE_OBJECT device = driver.AddDevice();
        PIRP irp;
        {
          km::DriverScope scope(driver.object());
          irp = IoAllocateIrp(device->StackSize, FALSE);
        }
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        IoCallDriver(device, irp);  // no completion routine takes it back
      },
      "completed past its top location");
}

TEST_F(Verifier, TouchingAFreedRequest) {
  EXPECT_DEATH(
      {
        TestDriver driver;
        PDEVICE_OBJECT device = driver.AddDevice();
        KEVENT done;
        IO_STATUS_BLOCK iosb;
        PIRP irp = ThreadedRequest(device, &done, &iosb);
        IoCallDriver(device, irp);  // completed and freed by the I/O manager
        IoCancelIrp(irp);
      },
      "touched a request that was already freed");
}

// The thread that freed the packet has exited: what it freed is still
// known as freed.
TEST_F(Verifier, TouchingARequestFreedByAThreadThatExited) {
  EXPECT_DEATH(
      {
        TestDriver driver;
        PDEVICE_OBJECT device = driver.AddDevice();
        km::DriverScope scope(driver.object());
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        std::thread([irp] { IoFreeIrp(irp); }).join();
        IoCancelIrp(irp);
      },
      "touched a request that was already freed");
}

TEST_F(Verifier, FreeingAnMdlTwice) {
  EXPECT_DEATH(
      {
        static char buffer[16];
        PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
        IoFreeMdl(mdl);
        IoFreeMdl(mdl);
      },
      "IoFreeMdl of a memory descriptor list that is not allocated");
}

TEST_F(Verifier, CompletingWithACancelRoutineStillSet) {
  EXPECT_DEATH(
      {
        TestDriver driver;
        PDEVICE_OBJECT device = driver.AddDevice();
        driver.Handle(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) {
          IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
          return Complete(irp, STATUS_SUCCESS);
        });
        KEVENT done;
        IO_STATUS_BLOCK iosb;
        IoCallDriver(device, ThreadedRequest(device, &done, &iosb));
      },
      "CANCEL_STATE_IN_COMPLETED_IRP");
}

TEST_F(Verifier, WaitingWithATimeOutAtDispatchLevel) {
  EXPECT_DEATH(
      {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10000;
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
      },
      "IRQL_NOT_LESS_OR_EQUAL");
}

TEST_F(Verifier, ReleasingASpinLockThatIsNotHeld) {
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
      },
      "SPIN_LOCK_NOT_OWNED");
}

TEST_F(Verifier, FreeingPoolTwice) {
  EXPECT_DEATH(
      {
        PVOID block = ExAllocatePoolWithTag(NonPagedPool, 16, 0x74736554);
        ExFreePool(block);
        ExFreePool(block);
      },
      "freed twice");
}

TEST_F(Verifier, FreeingAForeignPointer) {
  EXPECT_DEATH(
      {
        static char notPool[32];
        ExFreePool(notPool + 16);
      },
      "not an allocated pool block");
}

TEST_F(Verifier, UnloadingWithPoolStillAllocated) {
  EXPECT_DEATH(
      {
        NTSTATUS status;
        PDRIVER_OBJECT driver = km::LoadDriver(
            u"\\Driver\\Leaky",
            [](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS {
              return ExAllocatePoolWithTag(NonPagedPool, 40, 0x6B61654C) ? STATUS_SUCCESS : STATUS_NO_MEMORY;
            },
            &status);
        km::UnloadDriver(driver);
      },
      "driver unloaded with 1 pool allocations \\(40 bytes\\)");
}

TEST_F(Verifier, BufferedRequestReportingMoreBytesThanItsOutput) {
  EXPECT_DEATH(
      {
        TestDriver driver;
        PDEVICE_OBJECT device = driver.AddDevice();
        driver.Handle(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 9); });
        char output[8];
        KEVENT done;
        IO_STATUS_BLOCK iosb;
        IoCallDriver(device, ThreadedRequest(device, &done, &iosb, output, sizeof output));
      },
      "reported 9 bytes for an output buffer of 8");
}

TEST_F(Verifier, CancelRoutineThatKeepsTheCancelLock) {
  EXPECT_DEATH(
      {
        TestDriver driver;
        PDEVICE_OBJECT device = driver.AddDevice();
        PIRP irp;
        {
          km::DriverScope scope(driver.object());
          irp = IoAllocateIrp(device->StackSize, FALSE);
        }
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
        IoCancelIrp(irp);
      },
      "without releasing the cancel spin lock");
}

// A user-mode request whose dispatch routine breaks the status rule: what
// it returns must be the status it completed with, or STATUS_PENDING when
// (and only when) it marked the request pending.
void SendUserRequest(NTSTATUS completed, NTSTATUS returned, bool markPending) {
  TestDriver driver;
  driver.AddDevice(u"\\Device\\StatusRule");
  driver.Handle(IRP_MJ_DEVICE_CONTROL, [=](PDEVICE_OBJECT, PIRP irp) {
    if (markPending) IoMarkIrpPending(irp);
    Complete(irp, completed);
    return returned;
  });
  PFILE_OBJECT file;
  ASSERT_EQ(km::OpenFile(u"\\Device\\StatusRule", &file), STATUS_SUCCESS);
  ULONG_PTR information;
  km::DeviceControl(file, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS), nullptr, 0,
                    nullptr, 0, &information);
  km::CloseFile(file);
}

TEST_F(Verifier, DispatchStatusThatIsNotTheCompletedOneOrPendingWithoutTheMark) {
  SendUserRequest(STATUS_UNSUCCESSFUL, STATUS_PENDING, true);  // the rule kept
  EXPECT_DEATH(SendUserRequest(STATUS_SUCCESS, STATUS_UNSUCCESSFUL, false),
               "returned 0xC0000001 for a request it completed with 0x00000000");
  EXPECT_DEATH(SendUserRequest(STATUS_SUCCESS, STATUS_PENDING, false), "did not mark pending");
  EXPECT_DEATH(SendUserRequest(STATUS_SUCCESS, STATUS_SUCCESS, true), "marked a request pending but returned");
}

// A Plug and Play or power request as the Plug and Play manager sends it:
// allocated by the sender, taken back by its completion routine.
void SendPlugAndPlayRequest(UCHAR major, NTSTATUS completed, NTSTATUS returned) {
  TestDriver driver;
  PDEVICE_OBJECT device = driver.AddDevice();
  driver.Handle(major, [=](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, completed);
    return returned;
  });
  PIRP irp;
  {
    km::DriverScope scope(driver.object());
    irp = IoAllocateIrp(device->StackSize, FALSE);
  }
  IoGetNextIrpStackLocation(irp)->MajorFunction = major;
  IoSetCompletionRoutine(
      irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr, TRUE,
      TRUE, TRUE);
  IoCallDriver(device, irp);
  km::DriverScope scope(driver.object());
  IoFreeIrp(irp);
}

TEST_F(Verifier, PlugAndPlayOrPowerDispatchStatusThatIsNotTheCompletedOne) {
  SendPlugAndPlayRequest(IRP_MJ_PNP, STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL);  // the rule kept
  EXPECT_DEATH(SendPlugAndPlayRequest(IRP_MJ_PNP, STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES),
               "returned 0xC000009A for a request it completed with 0x00000000");
  EXPECT_DEATH(SendPlugAndPlayRequest(IRP_MJ_POWER, STATUS_UNSUCCESSFUL, STATUS_SUCCESS),
               "returned 0x00000000 for a request it completed with 0xC0000001");
}

TEST_F(Verifier, InitializingARequestFromIoAllocateIrp) {
  EXPECT_DEATH(
      {
        TestDriver driver;
        PDEVICE_OBJECT device = driver.AddDevice();
        km::DriverScope scope(driver.object());
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        IoInitializeIrp(irp, IoSizeOfIrp(device->StackSize), device->StackSize);
      },
      "reuse it with IoReuseIrp");
}

}  // namespace
