// What the library's tests share: owned OLE strings and byte arrays, text
// conversions, a device model with a chosen pipe layout, and the fixture that
// attaches instruments to the embedded host and shuts it down after each
// test.
#pragma once

#include <Tavrin_570x_Driver.h>

#include <host/host.h>
#include <km/standin.h>
#include <substitute_instrument.h>
#include <usb/device_model.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace librarytest {

using namespace std::chrono_literals;

// How long a test waits for something on another thread before it calls the
// wait a failure. Generous: it only bounds a hang.
inline constexpr std::chrono::milliseconds kEventTimeout = 20s;

// ---- Texts ------------------------------------------------------------------

// An OLE Automation string the test owns.
class Text {
 public:
  Text() = default;
  explicit Text(std::u16string_view text);
  // Takes ownership of a string a library call returned.
  static Text Adopt(BSTR text);
  ~Text() { SysFreeString(text_); }
  Text(Text &&other) noexcept : text_(std::exchange(other.text_, nullptr)) {}
  Text(const Text &) = delete;
  Text &operator=(const Text &) = delete;

  BSTR get() const { return text_; }
  BSTR *ptr() { return &text_; }
  std::u16string str() const;
  // The length prefix, the characters and the terminator, byte for byte.
  std::vector<std::uint8_t> RawBytes() const;

 private:
  BSTR text_ = nullptr;
};

std::u16string Wide(std::string_view text);
std::string Narrow(std::u16string_view text);

// ---- Byte arrays ------------------------------------------------------------

// A SAFEARRAY the test owns; destroying it fails (and the test with it) when
// the library left it locked.
class ByteArray {
 public:
  // One dimension of `count` bytes from index `lower`, every byte `fill`.
  ByteArray(LONG lower, ULONG count, std::uint8_t fill = 0);
  // Adopts an array the test built otherwise (null allowed).
  explicit ByteArray(SAFEARRAY *array) : array_(array) {}
  // The bytes of `text` from index 0 upward.
  static ByteArray FromText(std::string_view text);
  ~ByteArray();
  ByteArray(ByteArray &&other) noexcept : array_(std::exchange(other.array_, nullptr)) {}
  ByteArray(const ByteArray &) = delete;
  ByteArray &operator=(const ByteArray &) = delete;

  SAFEARRAY *get() const { return array_; }
  SAFEARRAY **ptr() { return &array_; }
  // Every element in index order (one-dimensional byte arrays only).
  std::vector<std::uint8_t> Bytes() const;
  // Element `index` (one-dimensional byte arrays only).
  std::uint8_t At(LONG index) const;
  // Stores `text` from index `first` upward.
  void Put(LONG first, std::string_view text);
  ULONG Locks() const { return array_ == nullptr ? 0 : array_->cLocks; }

 private:
  SAFEARRAY *array_ = nullptr;
};

// ---- Calls through the exports ---------------------------------------------

using TransferExport = int32_t(WINAPI *)(BSTR *, SAFEARRAY **, int32_t *);

// Sends `text` to the instrument `name` with USB_Write; returns its result.
int32_t WriteText(std::u16string_view name, std::string_view text);

struct ReadOutcome {
  int32_t result = 0;
  int32_t length = 0;  // the length variable afterwards
  std::string text;    // the `result` bytes from index 0
};
// One read with a zeroed array of `capacity` + 1 bytes and length `capacity`,
// as the application reads.
ReadOutcome Read(TransferExport read, std::u16string_view name, int32_t capacity = 64);

// The device list the library gives now, and the first name.
std::u16string DeviceList();
std::u16string FirstDeviceName();

// "TAVRIN-0\r\n" ... for the given numbers.
std::u16string ListOf(const std::vector<int> &numbers);

// ---- A device with a chosen pipe layout -------------------------------------

// Interface 0, alternate setting 0, with one bulk endpoint per address given,
// in that order (the driver's pipe order). Keeps what the host sends, sends
// what the test queues.
class PipeLayoutDevice : public usb::DeviceModel {
 public:
  explicit PipeLayoutDevice(std::vector<std::uint8_t> endpoints);

  usb::Bytes DeviceDescriptor() override;
  usb::Bytes ConfigurationDescriptor(std::uint8_t index) override;
  usb::Outcome Out(std::uint8_t endpoint, std::span<const std::uint8_t> data) override;
  std::optional<usb::Bytes> In(std::uint8_t endpoint, std::size_t maxLength) override;

  // Queues one short packet on an IN endpoint.
  void Queue(std::uint8_t endpoint, std::string_view packet);
  // Every OUT transfer, with its endpoint, in order.
  std::vector<std::pair<std::uint8_t, std::string>> Received();

 private:
  std::vector<std::uint8_t> endpoints_;
  std::mutex lock_;
  std::map<std::uint8_t, std::deque<usb::Bytes>> queued_;
  std::vector<std::pair<std::uint8_t, std::string>> received_;
};

// ---- Fixture ----------------------------------------------------------------

// Each test starts with no instrument attached and ends with host::Shutdown(),
// which stops the process if the driver left pool behind.
class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Attaches a substitute instrument; it takes the lowest free slot.
  std::shared_ptr<usb::SubstituteInstrument> AttachInstrument(usb::InstrumentConfig config = {});
  // Attaches any device model and returns its id.
  host::DeviceId AttachModel(std::shared_ptr<usb::DeviceModel> model);

  std::vector<host::DeviceId> ids;
};

// The identity line a default substitute instrument answers to "*IDN?".
inline constexpr std::string_view kDefaultIdentity = "TAVRIN,570x,TVR00000,IP 1.0.0,DSP 1.0.0,FPGA 1.0.0\n";

}  // namespace librarytest
