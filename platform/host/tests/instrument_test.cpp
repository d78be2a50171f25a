// The substitute instrument on the bus, driven with URBs as a function driver
// would: its command language, a whole download exchange whose stored image
// matches what was sent, and the reboot that RESET asks for.
#include "test_models.h"

#include <substitute_instrument.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using hosttest::SubmitUrb;
using hosttest::UrbRequest;
using namespace std::chrono_literals;

namespace {

class InstrumentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hosttest::UsePassThroughDriver();
    usb::InstrumentConfig config;
    config.serialNumber = "TVR04711";
    config.imageGap = 20ms;
    config.resetDelay = 30ms;
    instrument = std::make_shared<usb::SubstituteInstrument>(config);
    id = host::Attach(instrument);
    top = host::TopDevice(id);
    Configure();
  }
  void TearDown() override { host::Shutdown(); }

  void Configure() {
    usb::Bytes configuration = instrument->ConfigurationDescriptor(0);
    std::vector<std::uint64_t> words((sizeof(URB) + GET_USBD_INTERFACE_SIZE(3) + 7) / 8);
    auto *urb = reinterpret_cast<URB *>(words.data());
    urb->UrbHeader.Length =
        static_cast<USHORT>(offsetof(_URB_SELECT_CONFIGURATION, Interface) + GET_USBD_INTERFACE_SIZE(3));
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor =
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
    urb->UrbSelectConfiguration.Interface.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(3));
    ASSERT_EQ(SubmitUrb(top, urb), STATUS_SUCCESS);
    for (int k = 0; k < 3; ++k) pipes[k] = urb->UrbSelectConfiguration.Interface.Pipes[k].PipeHandle;
  }

  URB Transfer(int channel, void *buffer, ULONG length) {
    URB urb{};
    urb.UrbHeader.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.UrbBulkOrInterruptTransfer.PipeHandle = pipes[channel];
    urb.UrbBulkOrInterruptTransfer.TransferFlags = USBD_SHORT_TRANSFER_OK | (channel ? USBD_TRANSFER_DIRECTION_IN : 0);
    urb.UrbBulkOrInterruptTransfer.TransferBuffer = buffer;
    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = length;
    return urb;
  }

  NTSTATUS Write(const void *data, std::size_t length) {
    URB urb = Transfer(0, const_cast<void *>(data), static_cast<ULONG>(length));
    return SubmitUrb(top, &urb);
  }
  NTSTATUS Write(const std::string &text) { return Write(text.data(), text.size()); }

  // One transfer's worth of a reply channel, waiting at most `timeout`.
  std::string Read(int channel, std::chrono::milliseconds timeout = 2s) {
    char buffer[512];
    URB urb = Transfer(channel, buffer, sizeof buffer);
    UrbRequest request(top, &urb);
    request.Start();
    if (!request.WaitFor(timeout)) {
      request.Cancel();
      request.Wait();
      return "(nothing)";
    }
    return std::string(buffer, urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
  }

  std::shared_ptr<usb::SubstituteInstrument> instrument;
  host::DeviceId id = 0;
  PDEVICE_OBJECT top = nullptr;
  USBD_PIPE_HANDLE pipes[3] = {};
};

TEST_F(InstrumentTest, AnswersItsCommandsOnTheTwoReplyChannels) {
  ASSERT_EQ(Write("*IDN?\n"), STATUS_SUCCESS);
  EXPECT_EQ(Read(1), "TAVRIN,570x,TVR04711,IP 1.0.0,DSP 1.0.0,FPGA 1.0.0\n");
  Write("echo Hello There\r\n");
  EXPECT_EQ(Read(1), "Hello There\n");
  Write("MEAS?\n");
  EXPECT_EQ(Read(1), "+1.000000E+00\n");
  Write("FW?\n");
  EXPECT_EQ(Read(1), "IP 0 00000000,DSP 0 00000000,FPGA 0 00000000\n");
  Write("FMT 2\n");
  EXPECT_EQ(Read(2), "FMT 1 of 2: +1.000000E+00\n");
  EXPECT_EQ(Read(2), "FMT 2 of 2: +2.000000E+00\n");
  Write("BOGUS\n");
  EXPECT_EQ(Read(1), "ERR unknown command\n");
  EXPECT_EQ(Read(1, 5ms), "(nothing)") << "an idle channel sends nothing";
}

class DownloadTest : public InstrumentTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(DownloadTest, StoredImageMatchesTheBytesSentInKilobyteWrites) {
  std::size_t size = GetParam();
  std::vector<std::uint8_t> image(size);
  for (std::size_t i = 0; i < size; ++i) image[i] = static_cast<std::uint8_t>((i * 7 + i / 251) & 0xFF);
  ASSERT_EQ(Write("DL,DSP,NORESET\n"), STATUS_SUCCESS);
  ASSERT_EQ(Read(1), "0\n");
  for (std::size_t offset = 0; offset < size; offset += 1024) {
    ASSERT_EQ(Write(image.data() + offset, std::min<std::size_t>(1024, size - offset)), STATUS_SUCCESS);
  }
  EXPECT_EQ(Read(1), "0\n") << "the final acknowledgement after the end-of-image gap";
  usb::StoredImage stored = instrument->Image(usb::ImageType::Dsp);
  EXPECT_EQ(stored.size, size);
  EXPECT_TRUE(stored.bytes == image);
  Write("FW?\n");
  char expected[80];
  std::snprintf(expected, sizeof expected, "IP 0 00000000,DSP %zu %08lX,FPGA 0 00000000\n", size,
                crc32(0, image.data(), static_cast<uInt>(size)));
  EXPECT_EQ(Read(1), expected);
}

INSTANTIATE_TEST_SUITE_P(Sizes, DownloadTest, ::testing::Values(1023, 1024, 1025, 2500, 3 * 1024 * 1024 + 17));

TEST_F(InstrumentTest, ResetDownloadMakesTheInstrumentLeaveAndComeBack) {
  Write("DL,FPGA,RESET\n");
  ASSERT_EQ(Read(1), "0\n");
  std::vector<std::uint8_t> image(3000, 0x5A);
  Write(image.data(), 1024);
  Write(image.data() + 1024, 1024);
  Write(image.data() + 2048, 952);
  EXPECT_EQ(Read(1), "0\n");
  EXPECT_TRUE(host::WaitUntilPresent(id, false, 5s)) << "the instrument leaves the bus";
  EXPECT_TRUE(host::WaitUntilPresent(id, true, 5s)) << "and comes back after its reset delay";
  EXPECT_EQ(instrument->Image(usb::ImageType::Fpga).size, 3000u);
}

}  // namespace
