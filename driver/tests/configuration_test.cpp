// Start-device and configuration: the interface record of the first
// interface, starts that fail and leave the device unopenable, selecting
// another alternate setting (also while other requests read the record),
// stop-device, capabilities and power requests.
#include "driver_test_support.h"

#include <usbioctl.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

namespace drivertest {
namespace {

using ConfigurationTest = DriverTest;

Bytes Selection(std::uint8_t interface, std::uint8_t alternate) {
  InterfaceSelection selection{};
  selection.InterfaceNumber = interface;
  selection.AlternateSetting = alternate;
  return AsBytes(selection);
}

Reply Select(HANDLE handle, std::uint8_t interface, std::uint8_t alternate) {
  return Call(handle, IOCTL_INSTR_SELECT_INTERFACE, Selection(interface, alternate), 0);
}

TEST_F(ConfigurationTest, StartKeepsTheFirstInterfacesRecordWithThreePipes) {
  auto model = AttachStarted();
  EXPECT_EQ(model->ConfigurationValues(), (std::vector<std::uint8_t>{1}));

  Reply reply = ReadRecordBytes(device.get());
  ASSERT_TRUE(reply.ok) << "error " << reply.error;
  ASSERT_EQ(reply.information, 96u) << "24 + 3 x 24";
  EXPECT_EQ(reply.output[0] | (reply.output[1] << 8), 96);
  const std::uint8_t endpoints[] = {0x01, 0x81, 0x82};
  for (int k = 0; k < 3; ++k) EXPECT_EQ(reply.output[TAVRIN_RECORD_ENDPOINT_OFFSET(k)], endpoints[k]) << "pipe " << k;

  InterfaceRecord record = ParseRecord(reply.output, reply.information);
  EXPECT_EQ(record.interfaceNumber, 0);
  EXPECT_EQ(record.alternateSetting, 0);
  EXPECT_EQ(record.interfaceClass, 0xFF);
  EXPECT_EQ(record.numberOfPipes, 3u);
  ASSERT_EQ(record.pipes.size(), 3u);
  for (const PipeEntry &pipe : record.pipes) {
    EXPECT_EQ(pipe.pipeType, 2u) << "bulk";
    EXPECT_EQ(pipe.maximumPacketSize, 512);
    EXPECT_NE(pipe.pipeHandle, 0u);
    EXPECT_EQ(pipe.maximumTransferSize, 65535u);
  }

  // An output of exactly the record's length is enough, one byte less is not.
  Reply exact = Call(device.get(), IOCTL_INSTR_GET_INTERFACE_RECORD, {}, 96);
  ASSERT_TRUE(exact.ok);
  EXPECT_EQ(exact.information, 96u);
  EXPECT_EQ(exact.output, Bytes(reply.output.begin(), reply.output.begin() + 96));
  Reply tooSmall = Call(device.get(), IOCTL_INSTR_GET_INTERFACE_RECORD, {}, 95);
  EXPECT_EQ(tooSmall.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(tooSmall.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(tooSmall.information, 0u);
}

TEST_F(ConfigurationTest, FirstInterfaceIsSelectedWhateverItsNumberAndClass) {
  auto model = AttachStarted(Configuration(
      {
          InterfaceDescriptor(2, 0, 2, 0x08, 0x06, 0x50),
          EndpointDescriptor(0x02, 2, 64),
          EndpointDescriptor(0x86, 2, 64),
          InterfaceDescriptor(0, 0, 3),
          EndpointDescriptor(0x01, 2, 512),
          EndpointDescriptor(0x81, 2, 512),
          EndpointDescriptor(0x82, 2, 512),
      },
      2));
  auto record = ReadRecord(device.get());
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->length, 72);
  EXPECT_EQ(record->interfaceNumber, 2);
  EXPECT_EQ(record->interfaceClass, 0x08);
  EXPECT_EQ(record->subClass, 0x06);
  EXPECT_EQ(record->protocol, 0x50);
  ASSERT_EQ(record->pipes.size(), 2u);
  EXPECT_EQ(record->pipes[0].endpointAddress, 0x02);
  EXPECT_EQ(record->pipes[1].endpointAddress, 0x86);
  EXPECT_EQ(record->pipes[1].maximumPacketSize, 64);
}

// A device whose configuration cannot be used: start fails, the device
// object exists but refuses opens, and its removal frees the slot's names.
struct StartFailure {
  const char *name;
  std::function<std::shared_ptr<TestDevice>()> make;
};

class StartFailureTest : public DriverTest, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(StartFailureTest, DeviceStaysUnstartedRefusesOpensAndFreesItsSlotWhenRemoved) {
  host::DeviceId id = Attach(GetParam().make());
  EXPECT_FALSE(host::Started(id));
  PDEVICE_OBJECT added = km::LookupDevice(DeviceName(0));
  ASSERT_NE(added, nullptr) << "add-device made the device object";
  EXPECT_EQ(added, host::TopDevice(id));
  EXPECT_TRUE(km::NameExists(LinkName(0)));

  Handle handle = Handle::Open(DevicePath(0));
  EXPECT_FALSE(handle.valid());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));

  host::Detach(id);
  host::WaitForPnp();
  EXPECT_FALSE(km::NameExists(DeviceName(0)));
  EXPECT_FALSE(km::NameExists(LinkName(0))) << "the link made at add-device stays behind";

  host::DeviceId next = Attach(std::make_shared<TestDevice>());
  ASSERT_TRUE(host::Started(next));
  EXPECT_EQ(km::LookupDevice(DeviceName(0)), host::TopDevice(next));
  Handle good = Handle::Open(DevicePath(0));
  EXPECT_TRUE(good.valid()) << "error " << GetLastError();
}

Bytes WithTotalLength(Bytes configuration, std::uint16_t total) {
  configuration[2] = static_cast<std::uint8_t>(total & 0xFF);
  configuration[3] = static_cast<std::uint8_t>(total >> 8);
  return configuration;
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, StartFailureTest,
    ::testing::Values(
        StartFailure{"EmptyConfigurationDescriptor", [] { return std::make_shared<TestDevice>(Bytes{}); }},
        StartFailure{"TotalLengthBelowNine",
                     [] { return std::make_shared<TestDevice>(WithTotalLength(ThreeChannelConfiguration(), 5)); }},
        StartFailure{"NoInterfaceDescriptor", [] { return std::make_shared<TestDevice>(Configuration({}, 0)); }},
        StartFailure{"OnlyEndpointDescriptors",
                     [] {
                       return std::make_shared<TestDevice>(
                           Configuration({EndpointDescriptor(0x01, 2, 512), EndpointDescriptor(0x81, 2, 512)}));
                     }},
        StartFailure{"HeaderThatPromisesMoreThanTheDeviceSends",
                     [] { return std::make_shared<TestDevice>(Bytes{9, 2, 76, 0, 1, 1, 0, 0x80, 50}); }},
        StartFailure{"SetConfigurationStalls",
                     [] {
                       auto device = std::make_shared<TestDevice>();
                       device->StallSetConfiguration(true);
                       return device;
                     }}),
    [](const ::testing::TestParamInfo<StartFailure> &info) { return std::string(info.param.name); });

// Every pool allocation that starting a device makes, failed in turn: the
// device either starts whole or stays unstarted, and either way leaves no
// pool and no names behind once it is removed.
TEST_F(ConfigurationTest, AllocationFailuresDuringStartLeaveAnUnstartedDeviceAndNothingBehind) {
  const km::PoolUsage baseline = km::PoolInUse();
  int failedStarts = 0;
  int successesInARow = 0;
  for (std::uint64_t n = 1; n <= 64 && successesInARow < 2; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
    km::FailNthAllocation(n);
    host::DeviceId id = Attach(std::make_shared<TestDevice>());
    km::ClearAllocationFailures();
    bool started = host::Started(id);
    {
      Handle handle = Handle::Open(DevicePath(0));
      if (started) {
        ++successesInARow;
        ASSERT_TRUE(handle.valid()) << "error " << GetLastError();
        auto record = ReadRecord(handle.get());
        ASSERT_TRUE(record.has_value()) << "a started device holds its record";
        EXPECT_EQ(record->length, 96);
        EXPECT_TRUE(CallWithOutput(handle.get(), IOCTL_INSTR_BULK_WRITE, PipeIndex(0), TextBytes("ok\n")).ok);
      } else {
        successesInARow = 0;
        ++failedStarts;
        EXPECT_FALSE(handle.valid());
        DWORD expected = km::NameExists(DeviceName(0)) ? ERROR_GEN_FAILURE : ERROR_FILE_NOT_FOUND;
        EXPECT_EQ(GetLastError(), expected);
      }
    }
    host::Detach(id);
    host::WaitForPnp();
    EXPECT_FALSE(km::NameExists(DeviceName(0)));
    EXPECT_FALSE(km::NameExists(LinkName(0)));
    km::PoolUsage now = km::PoolInUse();
    EXPECT_EQ(now.allocations, baseline.allocations);
    EXPECT_EQ(now.bytes, baseline.bytes);
  }
  RecordProperty("FailedStarts", failedStarts);
  EXPECT_GE(failedStarts, 3) << "descriptor, configuration and record allocations all stop a start";
  EXPECT_EQ(successesInARow, 2) << "the sweep never reached a start without a failure";
}

TEST_F(ConfigurationTest, SelectInterfaceReplacesTheRecordWithTheAlternateSetting) {
  auto model = AttachStarted();
  Reply selected = Select(device.get(), 0, 1);
  ASSERT_TRUE(selected.ok) << "error " << selected.error;
  EXPECT_EQ(selected.information, 0u);
  EXPECT_EQ(model->InterfaceSelections(), (std::vector<std::pair<std::uint8_t, std::uint8_t>>{{0, 1}}));

  auto record = ReadRecord(device.get());
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->length, 120) << "24 + 4 x 24";
  EXPECT_EQ(record->alternateSetting, 1);
  EXPECT_EQ(record->numberOfPipes, 4u);
  ASSERT_EQ(record->pipes.size(), 4u);
  EXPECT_EQ(record->pipes[3].endpointAddress, 0x83);
  EXPECT_EQ(record->pipes[3].pipeType, 1u) << "isochronous";
  EXPECT_EQ(record->pipes[3].maximumPacketSize, 1024);
  for (const PipeEntry &pipe : record->pipes) EXPECT_EQ(pipe.maximumTransferSize, 65535u);

  Reply iso = CallWithOutput(device.get(), IOCTL_INSTR_BULK_READ, PipeIndex(3), Bytes(64, 0));
  EXPECT_EQ(iso.status, STATUS_INVALID_PARAMETER) << "a bulk read of the isochronous pipe";
  EXPECT_TRUE(CallWithOutput(device.get(), IOCTL_INSTR_BULK_WRITE, PipeIndex(0), TextBytes("new pipes\n")).ok);

  ASSERT_TRUE(Select(device.get(), 0, 0).ok);
  EXPECT_EQ(ReadRecordBytes(device.get()).information, 96u);
}

TEST_F(ConfigurationTest, SelectingWhatTheDeviceLacksOrRefusesSucceedsAndKeepsTheRecord) {
  auto model = AttachStarted();
  Reply before = ReadRecordBytes(device.get());
  ASSERT_EQ(before.information, 96u);

  for (auto [interface, alternate] : {std::pair<std::uint8_t, std::uint8_t>{5, 0}, {0, 7}, {1, 1}}) {
    Reply reply = Select(device.get(), interface, alternate);
    EXPECT_TRUE(reply.ok) << int(interface) << "/" << int(alternate) << ": error " << reply.error;
    EXPECT_EQ(reply.information, 0u);
    EXPECT_EQ(ReadRecordBytes(device.get()).output, before.output) << int(interface) << "/" << int(alternate);
  }
  EXPECT_TRUE(model->InterfaceSelections().empty()) << "nothing is asked of the device for a setting it lacks";

  model->StallSetInterface(true);
  EXPECT_TRUE(Select(device.get(), 0, 1).ok);
  EXPECT_EQ(ReadRecordBytes(device.get()).output, before.output);
  EXPECT_EQ(LastUsbdStatus(device.get()), static_cast<std::uint32_t>(USBD_STATUS_STALL_PID));
  EXPECT_TRUE(CallWithOutput(device.get(), IOCTL_INSTR_BULK_WRITE, PipeIndex(0), TextBytes("still\n")).ok);
}

TEST_F(ConfigurationTest, ConfigurationLongerThanTheFirstReadIsReadWholeForSelection) {
  const Bytes large = LargeConfiguration();
  ASSERT_EQ(large.size(), 300u);
  auto model = AttachStarted(large);
  EXPECT_EQ(ReadRecordBytes(device.get()).information, 96u);
  ASSERT_TRUE(Select(device.get(), 0, 1).ok);
  auto record = ReadRecord(device.get());
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->alternateSetting, 1);
  EXPECT_EQ(record->numberOfPipes, 4u);
  Reply whole = Call(device.get(), IOCTL_INSTR_GET_CONFIG_DESCRIPTOR, {}, 512);
  EXPECT_EQ(whole.information, 300u);
}

// Selection failed in turn at each of its allocations: the record stays,
// changes or, when its copy cannot be made, is gone; without a record the
// requests that need one fail and a later selection brings it back.
TEST_F(ConfigurationTest, SelectionWhoseRecordCopyFailsLeavesNoRecordAndRequestsThatNeedOneFail) {
  auto model = AttachStarted();
  bool sawNoRecord = false;
  bool selected = false;
  for (std::uint64_t n = 1; n <= 32 && !selected; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
    km::FailNthAllocation(n);
    Reply reply = Select(device.get(), 0, 1);
    km::ClearAllocationFailures();
    EXPECT_TRUE(reply.ok) << "selection reports success in every case";

    Reply record = ReadRecordBytes(device.get());
    ASSERT_TRUE(record.ok);
    if (record.information == 120) {
      selected = true;
    } else if (record.information == 96) {
      EXPECT_EQ(ParseRecord(record.output, 96).alternateSetting, 0);
    } else {
      ASSERT_EQ(record.information, 0u) << "a record is whole or absent";
      sawNoRecord = true;
      Reply empty = Call(device.get(), IOCTL_INSTR_GET_INTERFACE_RECORD, {}, 0);
      EXPECT_TRUE(empty.ok);
      EXPECT_EQ(empty.information, 0u);
      TestDevice::Counts before = model->Calls();
      for (DWORD code : {IOCTL_INSTR_BULK_WRITE, IOCTL_INSTR_BULK_READ, IOCTL_INSTR_BULK_READ_TIMED}) {
        Reply transfer = CallWithOutput(device.get(), code, PipeIndex(0), Bytes(8, 0));
        EXPECT_EQ(transfer.status, STATUS_UNSUCCESSFUL) << std::hex << "code 0x" << code;
      }
      EXPECT_EQ(Call(device.get(), IOCTL_INSTR_RESET_PIPE, PipeIndex(0), 0).status, STATUS_UNSUCCESSFUL);
      EXPECT_EQ(Call(device.get(), IOCTL_INSTR_ABORT_PIPE, PipeIndex(0), 0).status, STATUS_UNSUCCESSFUL);
      EXPECT_EQ(model->Calls().outTransfers, before.outTransfers);
      EXPECT_EQ(model->Calls().pipeResets, before.pipeResets);
    }
    ASSERT_TRUE(Select(device.get(), 0, 0).ok);
    ASSERT_EQ(ReadRecordBytes(device.get()).information, 96u) << "a selection without failures restores the record";
  }
  EXPECT_TRUE(selected) << "the sweep never reached a selection without a failure";
  EXPECT_TRUE(sawNoRecord) << "no failed allocation left the device without a record";
}

// One thread switches between the alternate settings while others read the
// record and send requests that look their pipe up in it: every record read
// is one whole record, and the pipe index that is never a bulk pipe is
// always refused. Under AddressSanitizer this also shows that no request
// reads a record that a selection has freed.
TEST_F(ConfigurationTest, SelectionWhileOtherRequestsReadTheRecord) {
  AttachStarted();
  constexpr int kSelections = 2000;
  std::atomic<bool> done{false};
  std::atomic<long> recordReads{0};

  std::thread selector([&] {
    Handle handle = Handle::Open(DevicePath(0));
    for (int k = 0; k < kSelections; ++k) {
      Reply reply = Select(handle.get(), 0, static_cast<std::uint8_t>((k + 1) % 2));
      EXPECT_TRUE(reply.ok) << "selection " << k;
    }
    done = true;
  });

  auto recordReader = [&] {
    Handle handle = Handle::Open(DevicePath(0));
    EXPECT_TRUE(handle.valid());
    for (int rounds = 0; !done || rounds < 20; ++rounds) {
      Reply reply = ReadRecordBytes(handle.get());
      ASSERT_TRUE(reply.ok);
      ASSERT_TRUE(reply.information == 96 || reply.information == 120) << reply.information;
      InterfaceRecord record = ParseRecord(reply.output, reply.information);
      EXPECT_EQ(record.length, reply.information);
      EXPECT_EQ(record.numberOfPipes, (reply.information - 24) / 24);
      EXPECT_EQ(record.alternateSetting, record.numberOfPipes == 4 ? 1 : 0);
      EXPECT_EQ(record.pipes[0].endpointAddress, 0x01);
      ++recordReads;

      Reply fits = Call(handle.get(), IOCTL_INSTR_GET_INTERFACE_RECORD, {}, 96);
      if (fits.ok) {
        EXPECT_EQ(fits.information, 96u);
      } else {
        EXPECT_EQ(fits.status, STATUS_BUFFER_TOO_SMALL) << "the four-pipe record does not fit";
      }
    }
  };

  auto pipeUser = [&] {
    Handle handle = Handle::Open(DevicePath(0));
    EXPECT_TRUE(handle.valid());
    for (int rounds = 0; !done || rounds < 20; ++rounds) {
      Reply never = CallWithOutput(handle.get(), IOCTL_INSTR_BULK_READ_TIMED, PipeIndex(3), Bytes(16, 0));
      EXPECT_EQ(never.status, STATUS_INVALID_PARAMETER) << "pipe 3 is missing or isochronous";
      CallWithOutput(handle.get(), IOCTL_INSTR_BULK_WRITE, PipeIndex(0), TextBytes("x\n"));
      Call(handle.get(), IOCTL_INSTR_RESET_PIPE, PipeIndex(2), 0);
      Call(handle.get(), IOCTL_INSTR_ABORT_PIPE, PipeIndex(1), 0);
    }
  };

  std::thread others[] = {std::thread(recordReader), std::thread(recordReader), std::thread(pipeUser)};
  selector.join();
  for (std::thread &t : others) t.join();
  EXPECT_GE(recordReads.load(), 40);
  EXPECT_TRUE(Select(device.get(), 0, 0).ok);
  EXPECT_EQ(ReadRecordBytes(device.get()).information, 96u);
}

TEST_F(ConfigurationTest, StopDeviceDeconfiguresButOpensStillSucceed) {
  auto model = AttachStarted();
  device.Close();
  host::WaitForPnp();
  // The kernel's verifier checks that the dispatch returns the status the
  // bus completed the stop with, also when deconfiguring cannot be done.
  km::FailAllocationsWithTag(kDriverPoolTag);
  EXPECT_EQ(SendPnp(host::TopDevice(deviceId), IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  km::ClearAllocationFailures();
  EXPECT_EQ(model->ConfigurationValues(), (std::vector<std::uint8_t>{1})) << "nothing was sent without a block";
  EXPECT_EQ(SendPnp(host::TopDevice(deviceId), IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(model->ConfigurationValues(), (std::vector<std::uint8_t>{1, 0})) << "deconfigured after the bus stopped";

  Handle handle = Handle::Open(DevicePath(0));
  ASSERT_TRUE(handle.valid()) << "error " << GetLastError();
  EXPECT_EQ(ReadRecordBytes(handle.get()).information, 96u) << "the record is kept";
}

// The host sends what Windows sends besides arrival and removal: a
// query-stop, stop and start cycle (the device is configured again) and a
// system sleep and wake; the instrument works after each.
TEST_F(ConfigurationTest, StopStartAndSleepWakeCyclesFromTheHostLeaveAWorkingInstrument) {
  auto model = AttachStarted();
  for (int cycle = 0; cycle < 3; ++cycle) {
    EXPECT_EQ(host::StopAndRestart(deviceId), STATUS_SUCCESS);
    EXPECT_TRUE(host::Started(deviceId));
    EXPECT_EQ(host::SleepAndWake(deviceId), STATUS_SUCCESS);
    EXPECT_EQ(ReadRecordBytes(device.get()).information, 96u) << "configured again after the start";
    Reply write = CallWithOutput(device.get(), IOCTL_INSTR_BULK_WRITE, PipeIndex(0), TextBytes("again\n"));
    EXPECT_TRUE(write.ok) << "cycle " << cycle << ": error " << write.error;
  }
  EXPECT_EQ(model->OutTransfers(kCommandEndpoint).size(), 3u);
  EXPECT_EQ(host::StopAndRestart(0xFFFF), STATUS_NO_SUCH_DEVICE);
}

TEST_F(ConfigurationTest, StartThatFailsAfterAStopLeavesTheDeviceUnstarted) {
  auto model = AttachStarted();
  model->StallSetConfiguration(true);
  EXPECT_NE(host::StopAndRestart(deviceId), STATUS_SUCCESS);
  Handle refused = Handle::Open(DevicePath(0));
  EXPECT_FALSE(refused.valid()) << "an open after a failed start";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
  EXPECT_EQ(ReadRecordBytes(device.get()).information, 0u) << "no stale record for a handle from before";
}

TEST_F(ConfigurationTest, CapabilitiesWithAVersionGainSurpriseRemovalOk) {
  AttachStarted();
  PDEVICE_OBJECT top = host::TopDevice(deviceId);

  DEVICE_CAPABILITIES versioned{};
  versioned.Size = sizeof versioned;
  versioned.Version = 1;
  EXPECT_EQ(SendPnp(top, IRP_MN_QUERY_CAPABILITIES, &versioned), STATUS_SUCCESS);
  EXPECT_EQ(static_cast<unsigned>(versioned.SurpriseRemovalOK), 1u);
  EXPECT_EQ(static_cast<unsigned>(versioned.Removable), 1u) << "the bus's answer is kept";

  // Without a version the request goes down untouched; the bus refuses it.
  DEVICE_CAPABILITIES unversioned{};
  unversioned.Size = sizeof unversioned;
  EXPECT_EQ(SendPnp(top, IRP_MN_QUERY_CAPABILITIES, &unversioned), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(static_cast<unsigned>(unversioned.SurpriseRemovalOK), 0u);
}

// The bus stand-in serves no WMI requests; for this test its PDO answers
// them as a bus driver does, with the status they arrive with.
NTSTATUS AnswerWithArrivingStatus(PDEVICE_OBJECT, PIRP irp) {
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

TEST_F(ConfigurationTest, OtherPlugAndPlayPowerAndWmiRequestsArePassedDown) {
  AttachStarted();
  PDEVICE_OBJECT top = host::TopDevice(deviceId);
  EXPECT_EQ(SendPnp(top, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS) << "the bus's answer";
  EXPECT_EQ(SendPnp(top, 0x14), STATUS_NOT_SUPPORTED) << "a request nobody serves keeps its status";

  EXPECT_EQ(SendPower(top, IRP_MN_SET_POWER, STATUS_NOT_SUPPORTED), STATUS_SUCCESS);
  // Nothing waits for a wake: the request keeps the status the bus leaves.
  EXPECT_EQ(SendPower(top, IRP_MN_WAIT_WAKE, STATUS_NOT_SUPPORTED), STATUS_NOT_SUPPORTED);

  PDRIVER_OBJECT bus = host::PhysicalDevice(deviceId)->DriverObject;
  PDRIVER_DISPATCH busWmi = bus->MajorFunction[IRP_MJ_SYSTEM_CONTROL];
  bus->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = AnswerWithArrivingStatus;
  NTSTATUS wmi = SendSystemControl(top, STATUS_NOT_SUPPORTED);
  bus->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = busWmi;
  EXPECT_EQ(wmi, STATUS_NOT_SUPPORTED) << "the WMI request reached the bus driver";
  EXPECT_TRUE(Call(device.get(), IOCTL_INSTR_NOP, {}, 0).ok);
}

// Notes the length of every configuration descriptor read the bus serves.
PDRIVER_DISPATCH g_busInternalControl = nullptr;
std::mutex g_readsLock;
std::vector<ULONG> g_configurationReads;
NTSTATUS NoteConfigurationReads(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  auto *urb = static_cast<PURB>(location->Parameters.Others.Argument1);
  if (location->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB &&
      urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
      urb->UrbControlDescriptorRequest.DescriptorType == 2) {
    std::lock_guard guard(g_readsLock);
    g_configurationReads.push_back(urb->UrbControlDescriptorRequest.TransferBufferLength);
  }
  return g_busInternalControl(pdo, irp);
}

// Query-stop, stop and start, twice: each start reads the descriptors anew
// (the configuration as wTotalLength + 16 bytes) and keeps one copy of the
// device descriptor.
TEST_F(ConfigurationTest, StopAndStartCyclesReadTheDescriptorsAgainAndKeepOneCopy) {
  AttachStarted(LargeConfiguration());
  device.Close();
  host::WaitForPnp();
  const km::PoolUsage started = km::PoolInUse(kDriverPoolTag);
  PDEVICE_OBJECT top = host::TopDevice(deviceId);
  PDRIVER_OBJECT bus = host::PhysicalDevice(deviceId)->DriverObject;
  g_busInternalControl = bus->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL];
  bus->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = NoteConfigurationReads;
  for (int cycle = 0; cycle < 2; ++cycle) {
    EXPECT_EQ(SendPnp(top, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(SendPnp(top, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(SendPnp(top, IRP_MN_START_DEVICE), STATUS_SUCCESS);
  }
  bus->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = g_busInternalControl;
  EXPECT_EQ(g_configurationReads, (std::vector<ULONG>{9, 316, 9, 316})) << "the header, then wTotalLength + 16";
  EXPECT_EQ(km::PoolInUse(kDriverPoolTag).allocations, started.allocations) << "one device descriptor is kept";
  Handle handle = Handle::Open(DevicePath(0));
  EXPECT_EQ(Call(handle.get(), IOCTL_INSTR_GET_DEVICE_DESCRIPTOR, {}, 18).information, 18u);
}

}  // namespace
}  // namespace drivertest
