// The Plug and Play manager: arrival, surprise removal before removal, removal
// only once the last handle has closed, a device that reboots, devices
// without a driver, simulated instruments at boot, and the unload check.
#include "test_models.h"

#include <km/standin.h>
#include <substitute_instrument.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

using hosttest::LoopbackDevice;
using namespace std::chrono_literals;

namespace {

class PnpTest : public ::testing::Test {
 protected:
  void SetUp() override { hosttest::UsePassThroughDriver(); }
  void TearDown() override { host::Shutdown(); }
};

TEST_F(PnpTest, ArrivalAddsStartsAndQueriesCapabilities) {
  host::DeviceId id = host::Attach(std::make_shared<LoopbackDevice>());
  EXPECT_TRUE(host::Started(id));
  PDEVICE_OBJECT pdo = host::PhysicalDevice(id);
  ASSERT_NE(pdo, nullptr);
  EXPECT_NE(host::TopDevice(id), pdo) << "the function driver sits above the PDO";
  EXPECT_EQ(hosttest::PnpLog(), (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES}));
}

TEST_F(PnpTest, SurpriseRemovalComesFirstAndRemovalWaitsForTheLastHandle) {
  host::DeviceId id = host::Attach(std::make_shared<LoopbackDevice>());
  PDEVICE_OBJECT top = host::TopDevice(id);
  PFILE_OBJECT first = hosttest::OpenFunctionDevice(top);
  PFILE_OBJECT second = hosttest::OpenFunctionDevice(top);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(host::OpenHandles(id), 2u);

  host::Detach(id);
  EXPECT_EQ(hosttest::PnpLog().back(), IRP_MN_SURPRISE_REMOVAL);
  EXPECT_EQ(host::PhysicalDevice(id), nullptr);
  km::CloseFile(first);
  host::WaitForPnp();
  EXPECT_EQ(hosttest::PnpLog().back(), IRP_MN_SURPRISE_REMOVAL) << "one handle is still open";
  km::CloseFile(second);
  host::WaitForPnp();
  EXPECT_EQ(hosttest::PnpLog().back(), IRP_MN_REMOVE_DEVICE);
}

// One thread pulls an instrument while another shuts the system down: the
// two calls are safe against each other whichever comes first.
TEST_F(PnpTest, DetachRacingShutdownIsSafe) {
  for (int round = 0; round < 20; ++round) {
    hosttest::UsePassThroughDriver();
    host::DeviceId id = host::Attach(std::make_shared<LoopbackDevice>());
    ASSERT_TRUE(host::Started(id));
    std::thread detacher([id] { host::Detach(id); });
    host::Shutdown();
    detacher.join();
    EXPECT_EQ(km::OpenFileCount(), 0u);
  }
  host::DeviceId again = host::Attach(std::make_shared<LoopbackDevice>());
  EXPECT_TRUE(host::Started(again)) << "the system boots again afterwards";
}

// A pulled device is forgotten once it has left (its model released), so
// that attaching and detaching many devices does not grow the host.
TEST_F(PnpTest, UnplugWithNoHandleOpenRemovesAtOnceAndForgetsTheDevice) {
  auto model = std::make_shared<LoopbackDevice>();
  host::DeviceId id = host::Attach(model);
  host::Detach(id);
  auto log = hosttest::PnpLog();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2], IRP_MN_SURPRISE_REMOVAL);
  EXPECT_EQ(log.back(), IRP_MN_REMOVE_DEVICE);
  EXPECT_FALSE(host::WaitUntilPresent(id, true, 0ms));
  EXPECT_TRUE(host::WaitUntilPresent(id, false, 0ms));
  EXPECT_TRUE(host::Devices().empty());
  EXPECT_EQ(host::Model(id), nullptr);
  EXPECT_EQ(model.use_count(), 1) << "the host holds the pulled device's model no more";
}

// A device that reboots leaves the bus and comes back as a new PDO.
class RebootingDevice : public LoopbackDevice {
 public:
  usb::Outcome Out(std::uint8_t endpoint, std::span<const std::uint8_t> data) override {
    if (port() != nullptr) port()->Reattach(20ms);
    return LoopbackDevice::Out(endpoint, data);
  }
};

TEST_F(PnpTest, DeviceThatRebootsLeavesAndComesBack) {
  auto device = std::make_shared<RebootingDevice>();
  host::DeviceId id = host::Attach(device);
  PDEVICE_OBJECT before = host::PhysicalDevice(id);
  // Any write makes it reboot; send one straight to its first OUT endpoint.
  device->Out(0x01, {});
  ASSERT_TRUE(host::WaitUntilPresent(id, false, 5s));
  ASSERT_TRUE(host::WaitUntilPresent(id, true, 5s));
  host::WaitForPnp();
  EXPECT_TRUE(host::Started(id));
  EXPECT_NE(host::PhysicalDevice(id), nullptr);
  (void)before;
  auto log = hosttest::PnpLog();
  EXPECT_EQ(std::count(log.begin(), log.end(), IRP_MN_START_DEVICE), 2);
  EXPECT_EQ(std::count(log.begin(), log.end(), IRP_MN_REMOVE_DEVICE), 1);
}

TEST_F(PnpTest, DeviceWithoutAFunctionDriverIsNotStarted) {
  host::SetFunctionDriver(u"\\Driver\\None", nullptr);
  host::DeviceId id = host::Attach(std::make_shared<LoopbackDevice>());
  EXPECT_FALSE(host::Started(id));
  EXPECT_EQ(host::TopDevice(id), host::PhysicalDevice(id));
}

TEST_F(PnpTest, BootAttachesTheSimulatedInstruments) {
  host::SetSimulatedInstruments(2);
  host::Boot();
  host::SetSimulatedInstruments(0);
  auto devices = host::Devices();
  ASSERT_EQ(devices.size(), 2u);
  for (host::DeviceId id : devices) {
    EXPECT_NE(std::dynamic_pointer_cast<usb::SubstituteInstrument>(host::Model(id)), nullptr);
    EXPECT_TRUE(host::Started(id));
  }
}

// A function driver that leaves pool behind is caught when it unloads after
// its last device is removed.
NTSTATUS LeakyAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  ExAllocatePoolWithTag(NonPagedPool, 24, 0x6B61654C);
  PDEVICE_OBJECT fdo;
  IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  *static_cast<PDEVICE_OBJECT *>(fdo->DeviceExtension) = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS LeakyPnp(PDEVICE_OBJECT fdo, PIRP irp) {
  PDEVICE_OBJECT lower = *static_cast<PDEVICE_OBJECT *>(fdo->DeviceExtension);
  if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE) {
    IoDetachDevice(lower);
    IoDeleteDevice(fdo);
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

NTSTATUS LeakyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverExtension->AddDevice = LeakyAddDevice;
  driver->MajorFunction[IRP_MJ_PNP] = LeakyPnp;
  return STATUS_SUCCESS;
}

TEST_F(PnpTest, DriverLeavingPoolBehindStopsTheSystemWhenItUnloads) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        host::SetFunctionDriver(u"\\Driver\\Leaky", LeakyEntry);
        host::DeviceId id = host::Attach(std::make_shared<LoopbackDevice>());
        host::Detach(id);
      },
      "driver unloaded with 1 pool allocations");
}

}  // namespace
