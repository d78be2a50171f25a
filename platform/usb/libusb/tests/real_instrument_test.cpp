// Real instruments through libusb, without hardware: the substitute
// instrument sits behind an emulated usbfs device (umockdev), and everything
// above it is the real stack: libusb and its hot-plug notices, the libusb
// device model under the bus, Tavrin.sys, kernel32 and the device-access
// library.
#include "emulated_instrument.h"

#include <host/host.h>
#include <instrument_channels.h>
#include <tavrin_ioctl.h>
#include <windows.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using usb::emulated::EmulatedInstrument;

constexpr const char *kName = "TAVRIN-0";
constexpr const char *kSerial = "TVR04242";

// Polls `condition` until it holds or `limit` passes.
template <typename Condition>
bool Eventually(Condition condition, std::chrono::milliseconds limit = 10s) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// The next answer on the interrogative channel.
std::string Answer(std::chrono::milliseconds limit = 5s) {
  std::string answer;
  Eventually(
      [&] {
        answer = tavrin_cli::Read(kName, 1, 64).value_or("");
        return !answer.empty();
      },
      limit);
  return answer;
}

class RealInstrumentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    if (!usb::emulated::PreloadActive(&reason)) {
      std::printf("SKIPPED: umockdev cannot preload, so libusb cannot be tested on an emulated device: %s\n",
                  reason.c_str());
      GTEST_SKIP() << "umockdev cannot preload: " << reason;
    }
    setenv("TAVRIN_USB_IDS", "1209:5701", 1);
    unsetenv("TAVRIN_SIMULATE");
    usb::InstrumentConfig config;
    config.serialNumber = kSerial;
    config.resetDelay = 300ms;
    device_ = std::make_unique<EmulatedInstrument>(config);
    device_->Plug();
  }

  // Boots the embedded system, which finds the instruments plugged in.
  void Boot() { host::Boot(); }

  void TearDown() override {
    host::Shutdown();
    device_.reset();
  }

  bool Listed() { return tavrin_cli::Present(kName); }

  std::unique_ptr<EmulatedInstrument> device_;
};

// A handle on the instrument through kernel32, as the library opens it.
struct Handle {
  Handle() : value(CreateFileA("\\\\.\\TAVRIN-0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {}
  ~Handle() {
    if (value != INVALID_HANDLE_VALUE) CloseHandle(value);
  }
  HANDLE value;
};

TEST_F(RealInstrumentTest, IsListedAnswersQueriesAndTimesOutWhenIdle) {
  Boot();
  ASSERT_EQ(tavrin_cli::ListInstruments(), std::vector<std::string>{kName}) << host::NoInstrumentHint();
  ASSERT_EQ(tavrin_cli::Write(kName, "*IDN?\n"), tavrin_cli::Transfer::Done);
  std::string identity = Answer();
  EXPECT_NE(identity.find(kSerial), std::string::npos) << identity;

  // Nothing to say: the driver's 1 ms read is taken back from libusb (a usbfs
  // discard) and the library reports nothing.
  int discards = device_->Discards();
  EXPECT_EQ(tavrin_cli::Read(kName, 1, 64), std::nullopt);
  EXPECT_GT(device_->Discards(), discards);
  // The instrument still answers afterwards: the cancelled read lost nothing.
  ASSERT_EQ(tavrin_cli::Write(kName, "ECHO still here\n"), tavrin_cli::Transfer::Done);
  EXPECT_EQ(Answer(), "still here\n");
}

TEST_F(RealInstrumentTest, DownloadsSeventyThousandBytesAndComesBackUnderItsNameAfterTheReboot) {
  Boot();
  ASSERT_TRUE(Listed());
  std::string image(70000, '\0');
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>((i * 7 + i / 1024) & 0xFF);
  ASSERT_EQ(tavrin_cli::Write(kName, "DL,IP,RESET\n"), tavrin_cli::Transfer::Done);
  ASSERT_EQ(Answer(), "0\n");
  for (std::size_t at = 0; at < image.size(); at += 1024) {
    ASSERT_EQ(tavrin_cli::Write(kName, image.substr(at, 1024)), tavrin_cli::Transfer::Done) << "at " << at;
  }
  ASSERT_EQ(Answer(), "0\n") << "downloads completed: " << device_->Instrument().CompletedDownloads()
                             << ", image bytes taken: " << device_->Instrument().DownloadedBytes();

  // The instrument reboots: it leaves the bus and comes back as a new USB
  // device, found again by hot-plug, under the same name.
  ASSERT_TRUE(Eventually([&] { return !Listed(); })) << "the instrument never left";
  ASSERT_TRUE(Eventually([&] { return Listed(); })) << "the instrument never came back";
  EXPECT_EQ(device_->Instrument().Resets(), 1u);

  ASSERT_EQ(tavrin_cli::Write(kName, "FW?\n"), tavrin_cli::Transfer::Done);
  char expected[32];
  std::snprintf(expected, sizeof expected, "IP 70000 %08" PRIX32,
                static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef *>(image.data()),
                                                 static_cast<uInt>(image.size()))));
  std::string firmware = Answer();
  EXPECT_EQ(firmware.rfind(expected, 0), 0u) << firmware;
}

TEST_F(RealInstrumentTest, UnplugEndsABlockedReadAndTheNameGoesWithTheLastHandle) {
  Boot();
  ASSERT_TRUE(Listed());
  Handle handle;
  ASSERT_NE(handle.value, INVALID_HANDLE_VALUE);
  auto read = std::async(std::launch::async, [&] {
    std::uint32_t pipe = 1;
    char buffer[64];
    DWORD got = 0;
    BOOL ok = DeviceIoControl(handle.value, IOCTL_INSTR_BULK_READ, &pipe, sizeof pipe, buffer, sizeof buffer, &got,
                              nullptr);
    return std::make_pair(ok, GetLastError());
  });
  // The read waits in usbfs (the instrument has nothing to say) ...
  ASSERT_TRUE(Eventually([&] { return device_->WaitingReads() == 1; }));
  EXPECT_EQ(read.wait_for(50ms), std::future_status::timeout);
  // ... until the cable is pulled.
  device_->Unplug();
  ASSERT_EQ(read.wait_for(10s), std::future_status::ready) << "the read stayed blocked";
  auto [ok, error] = read.get();
  EXPECT_FALSE(ok);
  EXPECT_NE(error, 0u);
  // Surprise-removed, the device is removed once its last handle closes;
  // plugged in again, it is back under its name.
  CloseHandle(handle.value);
  handle.value = INVALID_HANDLE_VALUE;
  EXPECT_TRUE(Eventually([&] { return !Listed(); }));
  device_->Plug();
  ASSERT_TRUE(Eventually([&] { return Listed(); }));
}

TEST_F(RealInstrumentTest, StreamsIsochronousPacketsInOrder) {
  Boot();
  ASSERT_TRUE(Listed());
  Handle handle;
  ASSERT_NE(handle.value, INVALID_HANDLE_VALUE);
  DWORD got = 0;
  InterfaceSelection streaming{0, 1};
  ASSERT_TRUE(DeviceIoControl(handle.value, IOCTL_INSTR_SELECT_INTERFACE, &streaming, sizeof streaming, nullptr, 0,
                              &got, nullptr));
  std::vector<std::uint8_t> record(TAVRIN_RECORD_BUFFER_BYTES);
  ASSERT_TRUE(DeviceIoControl(handle.value, IOCTL_INSTR_GET_INTERFACE_RECORD, nullptr, 0, record.data(),
                              static_cast<DWORD>(record.size()), &got, nullptr));
  std::uint32_t pipes;
  std::memcpy(&pipes, record.data() + 16, sizeof pipes);  // NumberOfPipes
  std::uint32_t iso = pipes;
  for (std::uint32_t i = 0; i < pipes; ++i) {
    if (record[TAVRIN_RECORD_ENDPOINT_OFFSET(i)] == usb::SubstituteInstrument::kIsoEndpoint) iso = i;
  }
  ASSERT_LT(iso, pipes) << "no isochronous pipe in alternate setting 1";

  constexpr std::uint32_t kPacket = 1024, kCount = 48;
  IsoTransferRequest request{iso, kPacket, kCount, 8, 2};
  std::vector<std::uint8_t> out(kCount * (kPacket + 12));
  ASSERT_TRUE(DeviceIoControl(handle.value, IOCTL_INSTR_ISO_READ, &request, sizeof request, out.data(),
                              static_cast<DWORD>(out.size()), &got, nullptr));
  std::uint32_t first;
  std::memcpy(&first, out.data(), 4);
  for (std::uint32_t k = 0; k < kCount; ++k) {
    std::uint32_t sequence, length, status;
    std::memcpy(&sequence, out.data() + k * kPacket, 4);
    const std::uint8_t *descriptor = out.data() + kCount * kPacket + k * 12;
    std::memcpy(&length, descriptor + 4, 4);
    std::memcpy(&status, descriptor + 8, 4);
    EXPECT_EQ(sequence, first + k) << "packet " << k;
    EXPECT_EQ(length, kPacket) << "packet " << k;
    EXPECT_EQ(status, 0u) << "packet " << k;
  }
}

TEST_F(RealInstrumentTest, OnlyListedIdentifiersAreOursAndTheListSaysWhyNothingIsThere) {
  setenv("TAVRIN_USB_IDS", "1209:57ff", 1);
  Boot();
  EXPECT_TRUE(tavrin_cli::ListInstruments().empty());
  std::string hint = host::NoInstrumentHint();
  EXPECT_NE(hint.find("no instrument found"), std::string::npos) << hint;
  EXPECT_NE(hint.find("TAVRIN_USB_IDS"), std::string::npos) << hint;

  host::Shutdown();
  setenv("TAVRIN_USB_IDS", "abcd:0001, 1209:5701", 1);
  Boot();
  EXPECT_EQ(tavrin_cli::ListInstruments(), std::vector<std::string>{kName});
}

}  // namespace

// The tests need umockdev's preload library loaded before anything else:
// the program starts itself again with it, unless it is there already.
int main(int argc, char **argv) {
  std::string reason;
  if (!usb::emulated::PreloadActive(&reason) && std::getenv("TAVRIN_UMOCKDEV_RESTARTED") == nullptr) {
    setenv("TAVRIN_UMOCKDEV_RESTARTED", "1", 1);
    const char *preload = std::getenv("LD_PRELOAD");
    std::string list = std::string("libumockdev-preload.so.0") + (preload != nullptr ? std::string(":") + preload : "");
    setenv("LD_PRELOAD", list.c_str(), 1);
    // The sanitizer's runtime then no longer comes first; that is expected.
    const char *asan = std::getenv("ASAN_OPTIONS");
    std::string options = std::string(asan != nullptr ? asan : "") + (asan != nullptr ? ":" : "") + "verify_asan_link_order=0";
    setenv("ASAN_OPTIONS", options.c_str(), 1);
    execv("/proc/self/exe", argv);
    std::printf("cannot restart under umockdev's preload: %s\n", std::strerror(errno));
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
