// Removal: a pulled device ends the transfers waiting on it, keeps its device
// object while a handle is open, and goes with the last handle; requests that
// race the removal are refused, never served from freed state.
#include "driver_test_support.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace drivertest {
namespace {

using RemovalTest = DriverTest;

TEST_F(RemovalTest, PulledDeviceWithNoHandleOpenGoesAtOnceWithItsNamesAndPool) {
  const km::PoolUsage before = km::PoolInUse();
  host::DeviceId id = Attach(std::make_shared<usb::SubstituteInstrument>());
  ASSERT_TRUE(host::Started(id));
  host::Detach(id);
  host::WaitForPnp();
  EXPECT_EQ(km::LookupDevice(DeviceName(0)), nullptr);
  EXPECT_FALSE(km::NameExists(LinkName(0)));
  // The host unloaded the driver with its last device; nothing of it stays.
  EXPECT_EQ(km::PoolInUse().allocations, before.allocations);
  EXPECT_EQ(km::PoolInUse().bytes, before.bytes);
  Handle handle = Handle::Open(DevicePath(0));
  EXPECT_FALSE(handle.valid());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// A removal whose request packet cannot be allocated never reaches the
// driver: the host keeps the driver loaded (it still holds the device's
// pool) and sends the removal again once it can.
TEST_F(RemovalTest, RemovalThatCouldNotBeSentIsRetriedAndTheDriverStaysUntilThen) {
  host::DeviceId id = Attach(std::make_shared<usb::SubstituteInstrument>());
  ASSERT_TRUE(host::Started(id));
  km::FailAllocationsWithTag(km::kRequestPacketTag);
  host::Detach(id);
  EXPECT_NE(km::LookupDevice(DeviceName(0)), nullptr) << "the driver never saw the removal";
  km::ClearAllocationFailures();
  host::WaitForPnp();
  EXPECT_EQ(km::LookupDevice(DeviceName(0)), nullptr);
  EXPECT_FALSE(km::NameExists(LinkName(0)));
}

TEST_F(RemovalTest, BlockedReadEndsWhenTheDeviceIsPulledAndTheDeviceObjectGoesWithTheLastHandle) {
  auto model = AttachStarted();
  std::future<Reply> read = StartTransfer(device.get(), IOCTL_INSTR_BULK_READ, 1, 64);
  ASSERT_TRUE(model->WaitForPolls(kReplyEndpoint, 1)) << "the read never reached the device";

  std::thread puller([id = deviceId] { host::Detach(id); });
  Reply ended = Finish(read, deviceId);
  puller.join();
  EXPECT_FALSE(ended.ok);
  EXPECT_TRUE(ended.status == STATUS_DEVICE_NOT_CONNECTED || ended.status == STATUS_CANCELLED)
      << "status 0x" << std::hex << ended.status;
  EXPECT_EQ(ended.information, 0u);

  // A handle is still open: the device object stays, and with it the driver's
  // own answers; the device behind it is gone.
  host::WaitForPnp();
  EXPECT_NE(km::LookupDevice(DeviceName(0)), nullptr);
  // The name stays for the open handle, but a device whose removal is
  // pending takes no new handle.
  Handle late = Handle::Open(DevicePath(0));
  EXPECT_FALSE(late.valid());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "STATUS_DELETE_PENDING";
  Reply version = Call(device.get(), IOCTL_INSTR_GET_DRIVER_VERSION, {}, 6);
  EXPECT_TRUE(version.ok) << "surprise removal changes nothing in the driver";
  EXPECT_EQ(ReadRecordBytes(device.get()).information, 96u);
  Reply write = Transfer(device.get(), IOCTL_INSTR_BULK_WRITE, 0, TextBytes("gone?\n"));
  EXPECT_FALSE(write.ok);
  EXPECT_EQ(write.status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(write.error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));

  device.Close();
  host::WaitForPnp();
  EXPECT_EQ(km::LookupDevice(DeviceName(0)), nullptr);
  EXPECT_FALSE(km::NameExists(LinkName(0)));
  Handle reopened = Handle::Open(DevicePath(0));
  EXPECT_FALSE(reopened.valid());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(RemovalTest, RemovalOfAPresentInstrumentAbortsTheReadBlockedOnIt) {
  auto model = AttachStarted();
  std::future<Reply> read = StartTransfer(device.get(), IOCTL_INSTR_BULK_READ, 1, 64);
  ASSERT_TRUE(model->WaitForPolls(kReplyEndpoint, 1)) << "the read never reached the device";
  std::future<NTSTATUS> removal = std::async(std::launch::async, [id = deviceId] { return RemoveWhilePlugged(id); });
  Reply ended = Finish(read, deviceId);
  EXPECT_FALSE(ended.ok);
  EXPECT_EQ(ended.status, STATUS_CANCELLED) << "status 0x" << std::hex << ended.status;
  EXPECT_EQ(removal.get(), STATUS_SUCCESS);
  EXPECT_EQ(km::LookupDevice(DeviceName(0)), nullptr) << "the device object went";
}

TEST_F(RemovalTest, HandleLeftOpenAcrossRemovalFailsWithoutReachingTheDriver) {
  AttachStarted();
  host::Shutdown();  // removes the device although the handle is open
  EXPECT_EQ(km::LookupDevice(DeviceName(0)), nullptr);
  Reply reply = Call(device.get(), IOCTL_INSTR_NOP, {}, 0);
  EXPECT_FALSE(reply.ok);
  EXPECT_EQ(reply.error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  device.Close();
}

// Threads keep sending requests on their own handles while the device is
// pulled and removed with the handles still open. Each request is served
// whole, refused because the device is gone or being removed, or refused by
// the system once the device object is deleted; after a refusal nothing is
// served again. Under AddressSanitizer this also shows that removal frees
// nothing a request still uses.
TEST_F(RemovalTest, RequestsRacingRemovalAreRefusedAndNeverServedFromFreedState) {
  AttachStarted();
  device.Close();
  constexpr int kThreads = 3;
  std::atomic<int> calls{0};
  std::atomic<int> refusedDuringRemoval{0};

  // Every handle is open before the removal can begin.
  std::vector<Handle> handles;
  for (int k = 0; k < kThreads; ++k) {
    handles.push_back(Handle::Open(DevicePath(0)));
    ASSERT_TRUE(handles.back().valid());
  }

  auto sender = [&](int which) {
    Handle &handle = handles[which];
    bool refused = false;
    for (;;) {
      Reply reply;
      switch (which) {
        case 0:
          reply = Call(handle.get(), IOCTL_INSTR_NOP, {}, 0);
          break;
        case 1:
          reply = ReadRecordBytes(handle.get());
          if (reply.ok) {
            EXPECT_EQ(reply.information, 96u);
          }
          break;
        default:
          reply = Transfer(handle.get(), IOCTL_INSTR_BULK_READ_TIMED, 1, Bytes(16, 0));
          break;
      }
      ++calls;
      if (reply.status == STATUS_DELETE_PENDING) {
        ++refusedDuringRemoval;
        EXPECT_EQ(reply.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(reply.information, 0u);
        refused = true;
      } else if (reply.status == STATUS_NO_SUCH_DEVICE) {
        break;  // the device object is deleted: nothing reaches the driver any more
      } else if (reply.ok) {
        EXPECT_FALSE(refused) << "a request was served after removal had refused one";
      } else {
        EXPECT_EQ(which, 2) << "only transfers fail for the device's sake, status 0x" << std::hex << reply.status;
        EXPECT_TRUE(reply.status == STATUS_CANCELLED || reply.status == STATUS_DEVICE_NOT_CONNECTED)
            << "status 0x" << std::hex << reply.status;
      }
    }
  };
  std::vector<std::thread> threads;
  for (int k = 0; k < kThreads; ++k) threads.emplace_back(sender, k);
  const auto deadline = std::chrono::steady_clock::now() + kEventTimeout;
  while (calls < 30 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  EXPECT_GE(calls.load(), 30) << "the senders made no progress before the removal";
  host::Shutdown();
  for (std::thread &t : threads) t.join();
  handles.clear();
  EXPECT_EQ(km::LookupDevice(DeviceName(0)), nullptr);
  RecordProperty("RefusedDuringRemoval", refusedDuringRemoval.load());
}

}  // namespace
}  // namespace drivertest
