#include "library_test_support.h"

#include <cstring>

namespace librarytest {

// ---- Texts ------------------------------------------------------------------

Text::Text(std::u16string_view text) : text_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}

Text Text::Adopt(BSTR text) {
  Text owned;
  owned.text_ = text;
  return owned;
}

std::u16string Text::str() const { return std::u16string(text_ == nullptr ? u"" : text_, SysStringLen(text_)); }

std::vector<std::uint8_t> Text::RawBytes() const {
  if (text_ == nullptr) return {};
  const auto *first = reinterpret_cast<const std::uint8_t *>(text_) - sizeof(DWORD);
  return std::vector<std::uint8_t>(first, first + sizeof(DWORD) + SysStringByteLen(text_) + sizeof(OLECHAR));
}

std::u16string Wide(std::string_view text) {
  std::u16string wide;
  for (unsigned char c : text) wide.push_back(c);
  return wide;
}

std::string Narrow(std::u16string_view text) {
  std::string narrow;
  for (char16_t c : text) narrow.push_back(static_cast<char>(c));
  return narrow;
}

// ---- Byte arrays ------------------------------------------------------------

ByteArray::ByteArray(LONG lower, ULONG count, std::uint8_t fill) : array_(SafeArrayCreateVector(VT_UI1, lower, count)) {
  if (array_ != nullptr && count != 0) std::memset(array_->pvData, fill, count);
}

ByteArray ByteArray::FromText(std::string_view text) {
  ByteArray array(0, static_cast<ULONG>(text.size()));
  array.Put(0, text);
  return array;
}

ByteArray::~ByteArray() {
  EXPECT_EQ(0u, Locks()) << "the array was left locked";
  EXPECT_EQ(S_OK, SafeArrayDestroy(array_));
}

std::vector<std::uint8_t> ByteArray::Bytes() const {
  const auto *data = static_cast<const std::uint8_t *>(array_->pvData);
  return std::vector<std::uint8_t>(data, data + array_->rgsabound[0].cElements);
}

std::uint8_t ByteArray::At(LONG index) const {
  return static_cast<const std::uint8_t *>(array_->pvData)[index - array_->rgsabound[0].lLbound];
}

void ByteArray::Put(LONG first, std::string_view text) {
  auto *data = static_cast<std::uint8_t *>(array_->pvData);
  for (std::size_t i = 0; i < text.size(); ++i) {
    data[first - array_->rgsabound[0].lLbound + static_cast<LONG>(i)] = static_cast<std::uint8_t>(text[i]);
  }
}

// ---- Calls through the exports ---------------------------------------------

int32_t WriteText(std::u16string_view name, std::string_view text) {
  Text device(name);
  ByteArray buffer = ByteArray::FromText(text);
  int32_t length = static_cast<int32_t>(text.size());
  return USB_Write(device.ptr(), buffer.ptr(), &length);
}

ReadOutcome Read(TransferExport read, std::u16string_view name, int32_t capacity) {
  Text device(name);
  ByteArray buffer(0, static_cast<ULONG>(capacity) + 1);
  ReadOutcome outcome;
  outcome.length = capacity;
  outcome.result = read(device.ptr(), buffer.ptr(), &outcome.length);
  if (outcome.result > 0 && outcome.result <= capacity) {
    const std::vector<std::uint8_t> bytes = buffer.Bytes();
    outcome.text.assign(bytes.begin(), bytes.begin() + outcome.result);
  }
  return outcome;
}

std::u16string DeviceList() { return Text::Adopt(USB_Get_ALL_Available_DeviceName()).str(); }

std::u16string FirstDeviceName() { return Text::Adopt(USB_Get_First_DeviceName()).str(); }

std::u16string ListOf(const std::vector<int> &numbers) {
  std::u16string list;
  for (int n : numbers) list += u"TAVRIN-" + Wide(std::to_string(n)) + u"\r\n";
  return list;
}

// ---- A device with a chosen pipe layout -------------------------------------

PipeLayoutDevice::PipeLayoutDevice(std::vector<std::uint8_t> endpoints) : endpoints_(std::move(endpoints)) {}

usb::Bytes PipeLayoutDevice::DeviceDescriptor() {
  return {18, 1, 0x00, 0x02, 0xFF, 0x00, 0x00, 64, 0x09, 0x12, 0x01, 0x57, 0x00, 0x01, 0, 0, 0, 1};
}

usb::Bytes PipeLayoutDevice::ConfigurationDescriptor(std::uint8_t index) {
  (void)index;
  usb::Bytes out{9, 2, 0, 0, 1, 1, 0, 0x80, 50};
  const usb::Bytes interface{9, 4, 0, 0, static_cast<std::uint8_t>(endpoints_.size()), 0xFF, 0, 0, 0};
  out.insert(out.end(), interface.begin(), interface.end());
  for (std::uint8_t address : endpoints_) {
    const usb::Bytes endpoint{7, 5, address, 2, 0x00, 0x02, 0};  // bulk, 512-byte packets
    out.insert(out.end(), endpoint.begin(), endpoint.end());
  }
  out[2] = static_cast<std::uint8_t>(out.size() & 0xFF);
  out[3] = static_cast<std::uint8_t>(out.size() >> 8);
  return out;
}

usb::Outcome PipeLayoutDevice::Out(std::uint8_t endpoint, std::span<const std::uint8_t> data) {
  std::lock_guard guard(lock_);
  received_.emplace_back(endpoint, std::string(data.begin(), data.end()));
  return usb::Outcome::Ok;
}

std::optional<usb::Bytes> PipeLayoutDevice::In(std::uint8_t endpoint, std::size_t maxLength) {
  std::lock_guard guard(lock_);
  auto &queue = queued_[endpoint];
  if (queue.empty()) return std::nullopt;
  usb::Bytes packet = std::move(queue.front());
  queue.pop_front();
  if (packet.size() > maxLength) packet.resize(maxLength);
  return packet;
}

void PipeLayoutDevice::Queue(std::uint8_t endpoint, std::string_view packet) {
  {
    std::lock_guard guard(lock_);
    queued_[endpoint].emplace_back(packet.begin(), packet.end());
  }
  if (port() != nullptr) port()->DataReady(endpoint);
}

std::vector<std::pair<std::uint8_t, std::string>> PipeLayoutDevice::Received() {
  std::lock_guard guard(lock_);
  return received_;
}

// ---- Fixture ----------------------------------------------------------------

void LibraryTest::SetUp() {
  // Instruments come from the tests only, whatever the environment asks for.
  host::SetSimulatedInstruments(0);
  ASSERT_EQ(0u, km::OpenFileCount());
}

void LibraryTest::TearDown() {
  EXPECT_EQ(0u, km::OpenFileCount());
  host::Shutdown();
}

std::shared_ptr<usb::SubstituteInstrument> LibraryTest::AttachInstrument(usb::InstrumentConfig config) {
  auto instrument = std::make_shared<usb::SubstituteInstrument>(std::move(config));
  AttachModel(instrument);
  return instrument;
}

host::DeviceId LibraryTest::AttachModel(std::shared_ptr<usb::DeviceModel> model) {
  const host::DeviceId id = host::Attach(std::move(model));
  host::WaitForPnp();
  EXPECT_TRUE(host::Started(id));
  ids.push_back(id);
  return id;
}

}  // namespace librarytest
