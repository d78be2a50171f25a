#include "instrument_channels.h"

#include <Tavrin_570x_Driver.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <thread>

namespace tavrin_cli {
namespace {

// A BSTR owned for one call.
class Text {
 public:
  explicit Text(const std::string &latin1) {
    std::u16string wide(latin1.begin(), latin1.end());
    for (std::size_t i = 0; i < latin1.size(); ++i) wide[i] = static_cast<unsigned char>(latin1[i]);
    value_ = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  }
  explicit Text(BSTR adopted) : value_(adopted) {}
  ~Text() { SysFreeString(value_); }
  Text(const Text &) = delete;
  Text &operator=(const Text &) = delete;
  BSTR *get() { return &value_; }
  std::string Latin1() const {
    std::string text;
    for (UINT i = 0; i < SysStringLen(value_); ++i) text.push_back(static_cast<char>(value_[i] & 0xFF));
    return text;
  }

 private:
  BSTR value_;
};

// A one-dimensional byte array from index 0, owned for one call.
class Bytes {
 public:
  explicit Bytes(std::size_t size) : array_(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(size))) {}
  ~Bytes() { SafeArrayDestroy(array_); }
  Bytes(const Bytes &) = delete;
  Bytes &operator=(const Bytes &) = delete;
  SAFEARRAY **get() { return &array_; }
  unsigned char *data() { return static_cast<unsigned char *>(array_->pvData); }

 private:
  SAFEARRAY *array_;
};

}  // namespace

std::vector<std::string> ListInstruments() {
  Text list(USB_Get_ALL_Available_DeviceName());
  std::string text = list.Latin1();
  std::vector<std::string> names;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    if (end > start) names.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return names;
}

std::optional<std::string> Resolve(const std::string &name) {
  auto sameLetters = [](unsigned char a, unsigned char b) { return std::tolower(a) == std::tolower(b); };
  for (const std::string &listed : ListInstruments()) {
    if (std::equal(listed.begin(), listed.end(), name.begin(), name.end(), sameLetters)) return listed;
  }
  return std::nullopt;
}

bool Present(const std::string &name) { return Resolve(name).has_value(); }

Transfer Write(const std::string &name, std::string_view bytes) {
  Text device(name);
  Bytes buffer(bytes.size());
  std::copy(bytes.begin(), bytes.end(), buffer.data());
  std::int32_t length = static_cast<std::int32_t>(bytes.size());
  switch (USB_Write(device.get(), buffer.get(), &length)) {
    case 1:
      return Transfer::Done;
    case -2:
      return Transfer::NotFound;
    default:
      return Transfer::Failed;
  }
}

std::optional<std::string> Read(const std::string &name, int channel, std::int32_t capacity) {
  Text device(name);
  Bytes buffer(static_cast<std::size_t>(capacity) + 1);
  std::int32_t length = capacity;
  std::int32_t received = channel == 1 ? USB_Read_Interrogative(device.get(), buffer.get(), &length)
                                       : USB_Read_Formatted(device.get(), buffer.get(), &length);
  if (received <= 0) return std::nullopt;
  return std::string(reinterpret_cast<const char *>(buffer.data()), static_cast<std::size_t>(received));
}

Reading ReadWithin(const std::string &name, int channel, int timeoutMs, bool untilNewline) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  // Everything already waiting is taken, but a stream that never runs dry
  // ends the reading a little after the deadline.
  auto drainLimit = deadline + std::chrono::milliseconds(200);
  std::string received;
  for (;;) {
    std::optional<std::string> chunk = Read(name, channel, kReplyReadBytes);
    if (chunk) {
      received += *chunk;
      if (Clock::now() < drainLimit) continue;
    }
    bool complete = !received.empty() && (!untilNewline || received.back() == '\n');
    if (complete) return {Reading::Outcome::Received, received};
    if (Clock::now() >= deadline) {
      // Listing probes every name, so presence is asked once, at the end.
      bool gone = received.empty() && !Present(name);
      return {gone ? Reading::Outcome::Gone : Reading::Outcome::TimedOut, received};
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string DrainInterrogative(const std::string &name) {
  std::string stale;
  while (auto chunk = Read(name, 1, kReplyReadBytes)) stale += *chunk;
  return stale;
}

}  // namespace tavrin_cli
