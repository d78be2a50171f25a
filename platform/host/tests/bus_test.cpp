// The bus stand-in through IOCTL_INTERNAL_USB_SUBMIT_URB sent down a device
// stack: configuration, bulk and interrupt transfers, waiting and cancelled
// IN transfers, isochronous packets, control requests, and unplugging.
#include "test_models.h"

#include <km/standin.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using hosttest::LoopbackDevice;
using hosttest::SubmitUrb;
using hosttest::UrbRequest;

namespace {

// Room for a variable-sized URB, never less than the URB union itself.
std::vector<std::uint64_t> UrbStorage(std::size_t bytes) {
  return std::vector<std::uint64_t>((std::max(bytes, sizeof(URB)) + 7) / 8);
}

// A select-configuration URB for interface 0 with `pipes` pipes, each asking
// for 65535-byte transfers.
struct SelectConfiguration {
  explicit SelectConfiguration(const usb::Bytes &configuration, ULONG pipes = 3)
      : descriptor(configuration), words(UrbStorage(offsetof(_URB_SELECT_CONFIGURATION, Interface) + GET_USBD_INTERFACE_SIZE(pipes))) {
    urb = reinterpret_cast<URB *>(words.data());
    urb->UrbHeader.Length = static_cast<USHORT>(offsetof(_URB_SELECT_CONFIGURATION, Interface) +
                                                GET_USBD_INTERFACE_SIZE(pipes));
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor =
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptor.data());
    USBD_INTERFACE_INFORMATION &info = urb->UrbSelectConfiguration.Interface;
    info.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
    for (ULONG k = 0; k < pipes; ++k) info.Pipes[k].MaximumTransferSize = 0xFFFF;
  }
  usb::Bytes descriptor;  // the caller's copy, as a driver keeps it
  std::vector<std::uint64_t> words;
  URB *urb;
  USBD_INTERFACE_INFORMATION &Interface() { return urb->UrbSelectConfiguration.Interface; }
};

class BusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hosttest::UsePassThroughDriver();
    id = host::Attach(device);
    top = host::TopDevice(id);
    ASSERT_NE(top, nullptr);
    ASSERT_TRUE(host::Started(id));
  }
  void TearDown() override { host::Shutdown(); }

  void Configure() {
    ASSERT_EQ(SubmitUrb(top, select.urb), STATUS_SUCCESS);
    for (ULONG k = 0; k < 3; ++k) pipes[k] = select.Interface().Pipes[k].PipeHandle;
  }

  // A bulk or interrupt transfer URB on a pipe.
  URB Transfer(USBD_PIPE_HANDLE pipe, void *buffer, ULONG length, bool in) {
    URB urb{};
    urb.UrbHeader.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.UrbBulkOrInterruptTransfer.PipeHandle = pipe;
    urb.UrbBulkOrInterruptTransfer.TransferFlags = USBD_SHORT_TRANSFER_OK | (in ? USBD_TRANSFER_DIRECTION_IN : 0);
    urb.UrbBulkOrInterruptTransfer.TransferBuffer = buffer;
    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = length;
    return urb;
  }

  USBD_PIPE_HANDLE SelectIsochronousSetting();

  // An isochronous IN transfer of `packets` 1024-byte packets.
  struct IsoUrb {
    IsoUrb(USBD_PIPE_HANDLE pipe, ULONG packets);
    std::vector<std::uint8_t> data;
    std::vector<std::uint64_t> words;
    URB *urb;
  };

  URB PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe) {
    URB urb{};
    urb.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    urb.UrbHeader.Function = function;
    urb.UrbPipeRequest.PipeHandle = pipe;
    return urb;
  }

  std::shared_ptr<LoopbackDevice> device = std::make_shared<LoopbackDevice>();
  host::DeviceId id = 0;
  PDEVICE_OBJECT top = nullptr;
  SelectConfiguration select{device->configuration};
  USBD_PIPE_HANDLE pipes[3] = {};
};

TEST_F(BusTest, SelectConfigurationFillsTheInterfaceInformation) {
  Configure();
  USBD_INTERFACE_INFORMATION &info = select.Interface();
  EXPECT_EQ(select.urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_NE(select.urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);
  EXPECT_EQ(info.Length, 24 + 24 * 3);
  EXPECT_EQ(info.NumberOfPipes, 3u);
  EXPECT_EQ(info.Class, 0xFF);
  EXPECT_NE(info.InterfaceHandle, nullptr);
  const UCHAR addresses[] = {0x01, 0x81, 0x83};
  const USBD_PIPE_TYPE types[] = {UsbdPipeTypeBulk, UsbdPipeTypeBulk, UsbdPipeTypeInterrupt};
  const USHORT packets[] = {512, 512, 64};
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(info.Pipes[k].EndpointAddress, addresses[k]) << k;
    EXPECT_EQ(info.Pipes[k].PipeType, types[k]) << k;
    EXPECT_EQ(info.Pipes[k].MaximumPacketSize, packets[k]) << k;
    EXPECT_EQ(info.Pipes[k].MaximumTransferSize, 0xFFFFu) << "the size asked for is kept";
    EXPECT_NE(info.Pipes[k].PipeHandle, nullptr);
  }
  EXPECT_NE(pipes[0], pipes[1]);
  // The 64-bit layout the library reads: endpoint address at 26 + 24 k.
  auto *bytes = reinterpret_cast<const std::uint8_t *>(&info);
  EXPECT_EQ(bytes[26 + 24 * 1], 0x81);
}

TEST_F(BusTest, BulkOutDeliversTheWholeBuffer) {
  Configure();
  std::uint8_t data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  URB urb = Transfer(pipes[0], data, sizeof data, false);
  EXPECT_EQ(SubmitUrb(top, &urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);
  ASSERT_EQ(device->Received().size(), 1u);
  EXPECT_EQ(device->Received()[0], usb::Bytes(data, data + 10));
}

TEST_F(BusTest, IdleInTransferWaitsUntilDataArrives) {
  Configure();
  std::uint8_t buffer[100] = {};
  URB urb = Transfer(pipes[1], buffer, sizeof buffer, true);
  UrbRequest request(top, &urb);
  EXPECT_EQ(request.Start(), STATUS_PENDING);
  EXPECT_FALSE(request.Done());
  device->Send(0x81, {7, 8, 9});
  EXPECT_EQ(request.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
  EXPECT_EQ(buffer[2], 9);
}

TEST_F(BusTest, FullPacketsContinueAndAShortPacketEndsTheTransfer) {
  Configure();
  device->Send(0x81, usb::Bytes(512, 0x11));
  device->Send(0x81, usb::Bytes(100, 0x22));
  device->Send(0x81, usb::Bytes(50, 0x33));
  std::vector<std::uint8_t> buffer(2000);
  URB urb = Transfer(pipes[1], buffer.data(), 2000, true);
  EXPECT_EQ(SubmitUrb(top, &urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 612u);
  EXPECT_EQ(buffer[511], 0x11);
  EXPECT_EQ(buffer[512], 0x22);
  EXPECT_EQ(buffer[612], 0) << "the next packet waits for the next transfer";
}

TEST_F(BusTest, TransferEndsWhenFullEvenWithoutAShortPacket) {
  Configure();
  device->Send(0x81, usb::Bytes(100, 0x44));
  std::uint8_t buffer[64];
  URB urb = Transfer(pipes[1], buffer, sizeof buffer, true);
  EXPECT_EQ(SubmitUrb(top, &urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 64u);
  URB rest = Transfer(pipes[1], buffer, sizeof buffer, true);
  EXPECT_EQ(SubmitUrb(top, &rest), STATUS_SUCCESS);
  EXPECT_EQ(rest.UrbBulkOrInterruptTransfer.TransferBufferLength, 36u);
}

TEST_F(BusTest, CancelAfterPartialDataReportsThePartialCount) {
  Configure();
  std::vector<std::uint8_t> buffer(1024);
  URB urb = Transfer(pipes[1], buffer.data(), 1024, true);
  UrbRequest request(top, &urb);
  EXPECT_EQ(request.Start(), STATUS_PENDING);
  device->Send(0x81, usb::Bytes(512, 0x55));  // a full packet: the transfer goes on waiting
  EXPECT_FALSE(request.Done());
  request.Cancel();
  EXPECT_EQ(request.Wait(), STATUS_CANCELLED);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 512u);
  EXPECT_EQ(buffer[0], 0x55);
}

TEST_F(BusTest, AbortPipeEndsWaitingTransfersAndLaterOnesWaitAgain) {
  Configure();
  std::uint8_t buffer[16];
  URB first = Transfer(pipes[1], buffer, sizeof buffer, true);
  URB second = Transfer(pipes[1], buffer, sizeof buffer, true);
  UrbRequest a(top, &first), b(top, &second);
  a.Start();
  b.Start();
  URB abort = PipeRequest(URB_FUNCTION_ABORT_PIPE, pipes[1]);
  EXPECT_EQ(SubmitUrb(top, &abort), STATUS_SUCCESS);
  EXPECT_EQ(a.Wait(), STATUS_CANCELLED);
  EXPECT_EQ(b.Wait(), STATUS_CANCELLED);
  URB third = Transfer(pipes[1], buffer, sizeof buffer, true);
  UrbRequest c(top, &third);
  EXPECT_EQ(c.Start(), STATUS_PENDING);
  device->Send(0x81, {1});
  EXPECT_EQ(c.Wait(), STATUS_SUCCESS);
}

TEST_F(BusTest, UnpluggedDeviceFailsWaitingAndNewTransfers) {
  Configure();
  PFILE_OBJECT handle = hosttest::OpenFunctionDevice(top);  // keeps the stack until closed
  ASSERT_NE(handle, nullptr);
  std::uint8_t buffer[16];
  URB waiting = Transfer(pipes[1], buffer, sizeof buffer, true);
  UrbRequest request(top, &waiting);
  EXPECT_EQ(request.Start(), STATUS_PENDING);
  host::Detach(id);
  EXPECT_EQ(request.Wait(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(waiting.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  URB later = Transfer(pipes[0], buffer, sizeof buffer, false);
  EXPECT_EQ(SubmitUrb(top, &later), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(later.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  km::CloseFile(handle);
}

// Unplugging fails transfers the bus has already scheduled as well as the
// waiting ones, at once: a long isochronous transfer does not run out its
// frames first.
TEST_F(BusTest, UnplugFailsScheduledIsochronousTransfersAtOnce) {
  Configure();
  PFILE_OBJECT handle = hosttest::OpenFunctionDevice(top);
  ASSERT_NE(handle, nullptr);
  IsoUrb iso(SelectIsochronousSetting(), 5000);  // 625 frames of eight packets
  UrbRequest request(top, iso.urb);
  EXPECT_EQ(request.Start(), STATUS_PENDING);
  host::WaitForPnp();  // the bus has filled the packets and scheduled the end
  EXPECT_FALSE(request.Done());
  host::Detach(id);
  EXPECT_TRUE(request.Done()) << "still running out its frames";
  EXPECT_EQ(request.Wait(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(iso.urb->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  km::CloseFile(handle);
}

// An answer of exactly one full packet ends with a zero-length packet.
TEST_F(BusTest, ZeroLengthPacketEndsATransferOfFullPackets) {
  Configure();
  device->Send(0x81, usb::Bytes(512, 0x66));
  device->Send(0x81, {});
  std::vector<std::uint8_t> buffer(2000);
  URB urb = Transfer(pipes[1], buffer.data(), 2000, true);
  EXPECT_EQ(SubmitUrb(top, &urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 512u);
  EXPECT_EQ(buffer[511], 0x66);
}

TEST_F(BusTest, StalledPipeFailsUntilReset) {
  Configure();
  device->Halt(0x01);
  std::uint8_t data[4] = {1, 2, 3, 4};
  URB out = Transfer(pipes[0], data, 4, false);
  EXPECT_EQ(SubmitUrb(top, &out), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(out.UrbHeader.Status, USBD_STATUS_STALL_PID);
  URB reset = PipeRequest(URB_FUNCTION_RESET_PIPE, pipes[0]);
  EXPECT_EQ(SubmitUrb(top, &reset), STATUS_SUCCESS);
  EXPECT_EQ(device->PipeResets(), 1);
  URB again = Transfer(pipes[0], data, 4, false);
  EXPECT_EQ(SubmitUrb(top, &again), STATUS_SUCCESS);
}

TEST_F(BusTest, MalformedRequestsAreRefusedWithUsbStatuses) {
  Configure();
  std::uint8_t buffer[4];
  URB stale = Transfer(reinterpret_cast<USBD_PIPE_HANDLE>(0x1234), buffer, 4, true);
  EXPECT_EQ(SubmitUrb(top, &stale), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(stale.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
  URB shortHeader = Transfer(pipes[1], buffer, 4, true);
  shortHeader.UrbHeader.Length = 16;
  EXPECT_EQ(SubmitUrb(top, &shortHeader), STATUS_INVALID_PARAMETER);
  URB noBuffer = Transfer(pipes[0], nullptr, 4, false);
  EXPECT_EQ(SubmitUrb(top, &noBuffer), STATUS_INVALID_PARAMETER);
  URB unknown{};
  unknown.UrbHeader.Length = sizeof(_URB_HEADER);
  unknown.UrbHeader.Function = 0x7777;
  EXPECT_EQ(SubmitUrb(top, &unknown), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(unknown.UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);
  EXPECT_EQ(SubmitUrb(top, nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(BusTest, DescriptorReadsAreCutToTheBufferAndMissingStringsStall) {
  auto read = [&](UCHAR type, UCHAR index, void *buffer, ULONG length, ULONG *got) {
    URB urb{};
    urb.UrbHeader.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb.UrbControlDescriptorRequest.DescriptorType = type;
    urb.UrbControlDescriptorRequest.Index = index;
    urb.UrbControlDescriptorRequest.TransferBuffer = buffer;
    urb.UrbControlDescriptorRequest.TransferBufferLength = length;
    NTSTATUS status = SubmitUrb(top, &urb);
    *got = urb.UrbControlDescriptorRequest.TransferBufferLength;
    return status;
  };
  std::uint8_t buffer[1000];
  ULONG got;
  EXPECT_EQ(read(1, 0, buffer, 18, &got), STATUS_SUCCESS);
  EXPECT_EQ(got, 18u);
  EXPECT_EQ(buffer[1], 1);
  EXPECT_EQ(read(2, 0, buffer, 9, &got), STATUS_SUCCESS);
  EXPECT_EQ(got, 9u);
  EXPECT_EQ(buffer[2] | (buffer[3] << 8), 76);
  EXPECT_EQ(read(2, 0, buffer, sizeof buffer, &got), STATUS_SUCCESS);
  EXPECT_EQ(got, 76u);
  EXPECT_EQ(read(3, 1, buffer, sizeof buffer, &got), STATUS_SUCCESS);
  EXPECT_EQ(got, 10u);
  EXPECT_EQ(read(3, 5, buffer, sizeof buffer, &got), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(got, 0u);
}

TEST_F(BusTest, VendorClassAndFeatureRequestsReachTheDeviceAsSetupPackets) {
  std::uint8_t buffer[8] = {};
  URB in{};
  in.UrbHeader.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  in.UrbHeader.Function = URB_FUNCTION_VENDOR_DEVICE;
  in.UrbControlVendorClassRequest.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
  in.UrbControlVendorClassRequest.Request = 0x42;
  in.UrbControlVendorClassRequest.Value = 0x1234;
  in.UrbControlVendorClassRequest.Index = 7;
  in.UrbControlVendorClassRequest.TransferBuffer = buffer;
  in.UrbControlVendorClassRequest.TransferBufferLength = sizeof buffer;
  EXPECT_EQ(SubmitUrb(top, &in), STATUS_SUCCESS);
  EXPECT_EQ(in.UrbControlVendorClassRequest.TransferBufferLength, 4u);
  EXPECT_EQ(buffer[0], 0xA0);

  URB out = in;
  out.UrbHeader.Function = URB_FUNCTION_CLASS_INTERFACE;
  out.UrbControlVendorClassRequest.TransferFlags = 0;
  out.UrbControlVendorClassRequest.TransferBufferLength = 3;
  EXPECT_EQ(SubmitUrb(top, &out), STATUS_SUCCESS);

  URB stalled = in;
  stalled.UrbControlVendorClassRequest.Request = 0xEE;
  EXPECT_EQ(SubmitUrb(top, &stalled), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(stalled.UrbHeader.Status, USBD_STATUS_STALL_PID);

  URB feature{};
  feature.UrbHeader.Length = sizeof(_URB_CONTROL_FEATURE_REQUEST);
  feature.UrbHeader.Function = URB_FUNCTION_SET_FEATURE_TO_DEVICE;
  feature.UrbControlFeatureRequest.FeatureSelector = 1;
  EXPECT_EQ(SubmitUrb(top, &feature), STATUS_SUCCESS);

  auto requests = device->ControlRequests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].requestType, 0xC0);
  EXPECT_EQ(requests[0].request, 0x42);
  EXPECT_EQ(requests[0].value, 0x1234);
  EXPECT_EQ(requests[0].index, 7);
  EXPECT_EQ(requests[0].length, 8);
  EXPECT_EQ(requests[1].requestType, 0x21);
  EXPECT_EQ(requests[1].length, 3);
  EXPECT_EQ(requests[3].requestType, 0x00);
  EXPECT_EQ(requests[3].request, 3);  // SET_FEATURE
  EXPECT_EQ(requests[3].value, 1);
}

TEST_F(BusTest, FrameNumberIsAClockThatAdvances) {
  URB urb{};
  urb.UrbHeader.Length = sizeof(_URB_GET_CURRENT_FRAME_NUMBER);
  urb.UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
  EXPECT_EQ(SubmitUrb(top, &urb), STATUS_SUCCESS);
  ULONG first = urb.UrbGetCurrentFrameNumber.FrameNumber;
  EXPECT_NE(first, 0u);
  LARGE_INTEGER pause;
  pause.QuadPart = -30000;  // 3 ms
  KeDelayExecutionThread(KernelMode, FALSE, &pause);
  EXPECT_EQ(SubmitUrb(top, &urb), STATUS_SUCCESS);
  EXPECT_GT(urb.UrbGetCurrentFrameNumber.FrameNumber, first);
}

// Selects alternate setting 1, which adds the isochronous pipe, and returns
// that pipe's handle.
USBD_PIPE_HANDLE BusTest::SelectIsochronousSetting() {
  std::vector<std::uint64_t> words = UrbStorage(GET_SELECT_INTERFACE_REQUEST_SIZE(4));
  auto *select = reinterpret_cast<URB *>(words.data());
  select->UrbHeader.Length = static_cast<USHORT>(GET_SELECT_INTERFACE_REQUEST_SIZE(4));
  select->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
  select->UrbSelectInterface.ConfigurationHandle = this->select.urb->UrbSelectConfiguration.ConfigurationHandle;
  select->UrbSelectInterface.Interface.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(4));
  select->UrbSelectInterface.Interface.AlternateSetting = 1;
  if (SubmitUrb(top, select) != STATUS_SUCCESS) {
    ADD_FAILURE() << "alternate setting 1 was not selected";
    return nullptr;
  }
  USBD_PIPE_INFORMATION &iso = select->UrbSelectInterface.Interface.Pipes[3];
  EXPECT_EQ(iso.PipeType, UsbdPipeTypeIsochronous);
  EXPECT_EQ(iso.MaximumPacketSize, 1024);
  return iso.PipeHandle;
}

BusTest::IsoUrb::IsoUrb(USBD_PIPE_HANDLE pipe, ULONG packets)
    : data(std::size_t{packets} * 1024), words(UrbStorage(GET_ISO_URB_SIZE(packets))) {
  urb = reinterpret_cast<URB *>(words.data());
  urb->UrbHeader.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(packets));
  urb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
  auto &transfer = urb->UrbIsochronousTransfer;
  transfer.PipeHandle = pipe;
  transfer.TransferFlags = USBD_START_ISO_TRANSFER_ASAP | USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN;
  transfer.TransferBuffer = data.data();
  transfer.TransferBufferLength = static_cast<ULONG>(data.size());
  transfer.NumberOfPackets = packets;
  for (ULONG k = 0; k < packets; ++k) transfer.IsoPacket[k].Offset = k * 1024;
}

TEST_F(BusTest, IsochronousTransferFillsPacketsAndDescriptorsInFrameOrder) {
  Configure();
  constexpr ULONG kPackets = 16;
  IsoUrb iso(SelectIsochronousSetting(), kPackets);
  URB *urb = iso.urb;
  std::vector<std::uint8_t> &data = iso.data;
  auto &transfer = urb->UrbIsochronousTransfer;
  EXPECT_EQ(SubmitUrb(top, urb), STATUS_SUCCESS);
  EXPECT_NE(transfer.StartFrame, 0u);
  EXPECT_EQ(transfer.ErrorCount, 0u);
  auto frames = device->IsoFrames();
  ASSERT_EQ(frames.size(), kPackets);
  for (ULONG k = 0; k < kPackets; ++k) {
    EXPECT_EQ(transfer.IsoPacket[k].Length, 1024u) << k;
    EXPECT_EQ(transfer.IsoPacket[k].Status, USBD_STATUS_SUCCESS) << k;
    EXPECT_EQ(data[k * 1024], static_cast<std::uint8_t>(k)) << "packet " << k << " in order";
    EXPECT_EQ(frames[k], transfer.StartFrame + k / 8) << "eight packets per frame";
  }
}

// A device whose configuration descriptor lies must not crash the bus.
TEST_F(BusTest, LyingConfigurationDescriptorsAreRefused) {
  usb::Bytes fewerEndpoints = LoopbackDevice::DefaultConfiguration();
  fewerEndpoints[9 + 4] = 4;  // claims four endpoints, has three
  device->configuration = fewerEndpoints;
  EXPECT_EQ(SubmitUrb(top, select.urb), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(select.urb->UrbHeader.Status, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);

  usb::Bytes zeroLength = LoopbackDevice::DefaultConfiguration();
  zeroLength[9] = 0;  // the interface descriptor's bLength
  device->configuration = zeroLength;
  SelectConfiguration again(device->configuration);
  EXPECT_EQ(SubmitUrb(top, again.urb), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(again.urb->UrbHeader.Status, USBD_STATUS_INTERFACE_NOT_FOUND);

  device->configuration = usb::Bytes{9, 2, 200, 0, 1, 1, 0, 0x80, 50};  // claims 200 bytes, has 9
  SelectConfiguration truncated(device->configuration);
  EXPECT_EQ(SubmitUrb(top, truncated.urb), STATUS_INVALID_PARAMETER);

  SelectConfiguration tooSmall(LoopbackDevice::DefaultConfiguration(), 1);  // room for one pipe only
  device->configuration = LoopbackDevice::DefaultConfiguration();
  EXPECT_EQ(SubmitUrb(top, tooSmall.urb), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(tooSmall.urb->UrbHeader.Status, USBD_STATUS_BUFFER_TOO_SMALL);
}

}  // namespace
