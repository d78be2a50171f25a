// Request packets through a stack of test devices: the completion walk,
// STATUS_MORE_PROCESSING_REQUIRED, threaded requests and cancellation.
#include "test_driver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using kmtest::Complete;
using kmtest::TestDriver;

namespace {

struct Trace {
  std::vector<std::string> steps;
  std::vector<PDEVICE_OBJECT> devices;
};

struct RoutineContext {
  Trace *trace;
  const char *name;
  NTSTATUS result;
  KEVENT *signal;
};

NTSTATUS Record(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(irp);
  auto *c = static_cast<RoutineContext *>(context);
  c->trace->steps.push_back(c->name);
  c->trace->devices.push_back(device);
  if (c->signal != nullptr) KeSetEvent(c->signal, IO_NO_INCREMENT, FALSE);
  return c->result;
}

PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT device) { return *static_cast<PDEVICE_OBJECT *>(device->DeviceExtension); }

// Passes a request down with a completion routine that records itself.
TestDriver::Handler PassDown(RoutineContext *context) {
  return [context](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Record, context, TRUE, TRUE, TRUE);
    return IoCallDriver(LowerOf(device), irp);
  };
}

class StackTest : public ::testing::Test {
 protected:
  TestDriver bus{u"\\Driver\\Bus"};
  TestDriver function{u"\\Driver\\Function"};
  PDEVICE_OBJECT bottom = bus.AddDevice();
  PDEVICE_OBJECT middle = function.AddDevice(nullptr, bottom);
  PDEVICE_OBJECT top = nullptr;
};

TEST_F(StackTest, CompletionRoutinesRunBottomUpWithTheUpperDevice) {
  TestDriver filter{u"\\Driver\\Filter"};
  top = filter.AddDevice(nullptr, middle);
  ASSERT_EQ(top->StackSize, 3);
  Trace trace;
  RoutineContext fromTop{&trace, "set by top", STATUS_SUCCESS, nullptr};
  RoutineContext fromMiddle{&trace, "set by middle", STATUS_SUCCESS, nullptr};
  filter.Handle(IRP_MJ_DEVICE_CONTROL, PassDown(&fromTop));
  function.Handle(IRP_MJ_DEVICE_CONTROL, PassDown(&fromMiddle));
  bus.Handle(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
    trace.steps.push_back("bus completes");
    return Complete(irp, STATUS_SUCCESS, 0);
  });

  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(0x222003, top, nullptr, 0, nullptr, 0, FALSE, &done, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IoCallDriver(top, irp), STATUS_SUCCESS);
  EXPECT_EQ(trace.steps, (std::vector<std::string>{"bus completes", "set by middle", "set by top"}));
  EXPECT_EQ(trace.devices, (std::vector<PDEVICE_OBJECT>{middle, top}));
  EXPECT_EQ(KeReadStateEvent(&done), 1);
  filter.DeleteDevice(top);
}

TEST_F(StackTest, MoreProcessingRequiredHandsTheRequestBackToItsDriver) {
  Trace trace;
  KEVENT back;
  KeInitializeEvent(&back, NotificationEvent, FALSE);
  RoutineContext routine{&trace, "routine", STATUS_MORE_PROCESSING_REQUIRED, &back};
  function.Handle(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Record, &routine, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(LowerOf(device), irp);
    if (status == STATUS_PENDING) KeWaitForSingleObject(&back, Executive, KernelMode, FALSE, nullptr);
    trace.steps.push_back("dispatch has it back");
    irp->IoStatus.Information = 7;  // the owner may change the result
    NTSTATUS result = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);  // the packet is gone after this
    return result;
  });
  std::atomic<PIRP> pended{nullptr};
  bus.Handle(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    pended = irp;
    return STATUS_PENDING;
  });

  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(0x222003, middle, nullptr, 0, nullptr, 0, FALSE, &done, &iosb);
  std::thread issuer([&] { IoCallDriver(middle, irp); });
  while (pended.load() == nullptr) std::this_thread::yield();
  EXPECT_EQ(KeReadStateEvent(&done), 0);
  Complete(pended.load(), STATUS_UNSUCCESSFUL, 0);
  issuer.join();
  EXPECT_EQ(trace.steps, (std::vector<std::string>{"routine", "dispatch has it back"}));
  EXPECT_EQ(iosb.Status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(iosb.Information, 7u);
  EXPECT_EQ(KeReadStateEvent(&done), 1);
}

TEST_F(StackTest, ThreadedRequestCopiesBufferedOutputFillsStatusAndIsFreed) {
  bus.Handle(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
    auto *location = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(location->Parameters.DeviceIoControl.InputBufferLength, 3u);
    EXPECT_EQ(location->Parameters.DeviceIoControl.OutputBufferLength, 8u);
    auto *buffer = static_cast<char *>(irp->AssociatedIrp.SystemBuffer);
    EXPECT_EQ(std::string(buffer, 3), "abc");
    std::memcpy(buffer, "XYZWVUTS", 8);
    return Complete(irp, STATUS_SUCCESS, 5);
  });
  char output[8];
  std::memset(output, '.', sizeof output);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  {
    km::DriverScope scope(function.object());
    char input[] = "abc";
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                             bottom, input, 3, output, sizeof output, FALSE, &done, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(km::RequestsInUseBy(function.object()), 1u);
    EXPECT_EQ(IoCallDriver(bottom, irp), STATUS_SUCCESS);
  }
  EXPECT_EQ(KeReadStateEvent(&done), 1);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 5u);
  EXPECT_EQ(std::string(output, 8), "XYZWV...");  // exactly the reported bytes
  EXPECT_EQ(km::RequestsInUseBy(function.object()), 0u);

  // Without memory for the system buffer no request is built, and none is left.
  km::FailAllocationsWithTag(km::kSystemBufferTag);
  {
    km::DriverScope scope(function.object());
    EXPECT_EQ(IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                            bottom, output, 3, output, sizeof output, FALSE, &done, &iosb),
              nullptr);
  }
  km::ClearAllocationFailures();
  EXPECT_EQ(km::RequestsInUseBy(function.object()), 0u);
}

// A pending request with a cancel routine, held by the bus as a bus driver
// holds an IN transfer that has no data yet.
struct Held {
  std::atomic<PIRP> irp{nullptr};
  std::atomic<int> cancelRoutineRuns{0};
  std::atomic<int> completions{0};
};
Held *g_held = nullptr;

VOID CancelHeld(PDEVICE_OBJECT, PIRP irp) {
  g_held->cancelRoutineRuns++;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  g_held->completions++;
  Complete(irp, STATUS_CANCELLED);
}

NTSTATUS FreeOnCompletion(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

TEST_F(StackTest, CancelRoutineRunsExactlyOnceWhenRacingCompletion) {
  Held held;
  g_held = &held;
  bus.Handle(IRP_MJ_INTERNAL_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelHeld);
    held.irp = irp;
    return STATUS_PENDING;
  });
  for (int round = 0; round < 300; ++round) {
    held.irp = nullptr;
    held.cancelRoutineRuns = 0;
    held.completions = 0;
    PIRP irp;
    {
      km::DriverScope scope(function.object());
      irp = IoAllocateIrp(bottom->StackSize, FALSE);
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, FreeOnCompletion, nullptr, TRUE, TRUE, TRUE);
    ASSERT_EQ(IoCallDriver(bottom, irp), STATUS_PENDING);

    BOOLEAN cancelled = FALSE;
    std::thread canceller([&] { cancelled = IoCancelIrp(irp); });
    std::thread completer([&] {
      // The bus's side of the handshake: whoever clears the routine completes.
      if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
        held.completions++;
        Complete(irp, STATUS_SUCCESS);
      }
    });
    canceller.join();
    completer.join();
    EXPECT_EQ(held.completions.load(), 1) << "round " << round;
    EXPECT_LE(held.cancelRoutineRuns.load(), 1) << "round " << round;
    EXPECT_EQ(cancelled != FALSE, held.cancelRoutineRuns.load() == 1) << "round " << round;
    IoFreeIrp(irp);
  }
  EXPECT_EQ(km::RequestsInUseBy(function.object()), 0u);
  g_held = nullptr;
}

TEST_F(StackTest, CancelWithoutRoutineOnlyMarksTheRequest) {
  PIRP irp;
  {
    km::DriverScope scope(function.object());
    irp = IoAllocateIrp(1, FALSE);
  }
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_TRUE(irp->Cancel);
  IoFreeIrp(irp);
}

TEST_F(StackTest, ReusedRequestCanBeSentAgainFromItsCompletionRoutine) {
  int sent = 0;
  bus.Handle(IRP_MJ_INTERNAL_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
    ++sent;
    return Complete(irp, STATUS_SUCCESS, 0);
  });
  struct Resend {
    PDEVICE_OBJECT target;
    int remaining;
  } resend{bottom, 3};
  static PIO_COMPLETION_ROUTINE again = [](PDEVICE_OBJECT, PIRP irp, PVOID context) -> NTSTATUS {
    auto *r = static_cast<Resend *>(context);
    if (--r->remaining == 0) return STATUS_MORE_PROCESSING_REQUIRED;
    IoReuseIrp(irp, STATUS_SUCCESS);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, again, r, TRUE, TRUE, TRUE);
    IoCallDriver(r->target, irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
  };
  PIRP irp;
  {
    km::DriverScope scope(function.object());
    irp = IoAllocateIrp(bottom->StackSize, FALSE);
  }
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, again, &resend, TRUE, TRUE, TRUE);
  IoCallDriver(bottom, irp);
  EXPECT_EQ(sent, 3);
  IoFreeIrp(irp);
}

TEST_F(StackTest, UnregisteredMajorFunctionIsRefusedByThePlatformDefault) {
  NTSTATUS status;
  PDRIVER_OBJECT bare = km::LoadDriver(u"\\Driver\\Bare", [](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS {
    return STATUS_SUCCESS;
  }, &status);
  ASSERT_NE(bare, nullptr);
  PDEVICE_OBJECT device;
  ASSERT_EQ(IoCreateDevice(bare, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(0x222000, device, nullptr, 0, nullptr, 0, FALSE, &done, &iosb);
  EXPECT_EQ(IoCallDriver(device, irp), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(iosb.Status, STATUS_INVALID_DEVICE_REQUEST);
  IoDeleteDevice(device);
  km::UnloadDriver(bare);
}

TEST(DriverLoad, FailingEntryLeavesNoDriver) {
  NTSTATUS status = STATUS_SUCCESS;
  PDRIVER_OBJECT driver = km::LoadDriver(u"\\Driver\\Broken", [](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS {
    return STATUS_INSUFFICIENT_RESOURCES;
  }, &status);
  EXPECT_EQ(driver, nullptr);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
}

}  // namespace
