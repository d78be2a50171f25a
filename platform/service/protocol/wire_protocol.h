// The messages between kernel32's service backend and tavrind: a 12-byte
// header with an explicit body length, then a body whose layout the type
// fixes. Everything is little-endian. PROTOCOL.md beside this file is the
// reference; this unit only turns messages into bytes and back, and refuses
// any byte sequence that is not exactly one well-formed message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace service::wire {

constexpr std::uint32_t kMagic = 0x4E525654;  // "TVRN"
constexpr std::uint16_t kVersion = 2;
constexpr std::size_t kHeaderBytes = 12;

// A device path is at most MAX_PATH UTF-16 units.
constexpr std::size_t kMaxPathUnits = 260;
// Every input record of the driver fits a 65535-byte transfer, and so does
// every output except an isochronous read or write, whose data and packet
// descriptors travel in one buffer.
constexpr std::uint32_t kMaxTransferBytes = 0xFFFF;
constexpr std::uint32_t kMaxIsochronousBytes = 4u << 20;
// Open handles one client may hold at a time.
constexpr std::uint32_t kHandleLimit = 1024;
// The largest census: the driver's 16 slots.
constexpr std::uint32_t kMaxCensusEntries = 16;

enum class Type : std::uint16_t {
  Hello = 1,
  HelloReply = 2,
  Open = 3,
  OpenReply = 4,
  Control = 5,
  ControlReply = 6,
  Close = 7,  // has no reply: a close cannot fail for a handle the client holds
  Census = 8,
  CensusReply = 9,
  // Asks for the shared-memory channel; its reply passes the region and the
  // two wake-up eventfds (SCM_RIGHTS). After it every message of both sides
  // travels through the channel, and the socket only tells that a side ended.
  Attach = 10,
  AttachReply = 11,
};

struct Header {
  std::uint32_t bodyLength = 0;
  Type type = Type::Hello;
  std::uint32_t requestId = 0;
};

struct Hello {
  std::uint16_t version = kVersion;
};
struct HelloReply {
  std::uint16_t version = kVersion;
  std::uint32_t handleLimit = kHandleLimit;
  std::uint32_t servicePid = 0;
};
struct Open {
  std::u16string path;
};
struct OpenReply {
  std::int32_t status = 0;
  std::uint32_t handle = 0;  // 0 when the open failed
};
// One device-control request. `output` carries the caller's output buffer
// only when the driver reads it (see OutputTravelsToService); otherwise it
// is empty and the service starts from a zeroed buffer.
struct Control {
  std::uint32_t handle = 0;
  std::uint32_t code = 0;
  std::uint32_t outputLength = 0;
  std::vector<std::uint8_t> input;
  std::vector<std::uint8_t> output;
};
// The request's outcome and the leading bytes of the output buffer that the
// caller must take over (never more than the request's output length).
struct ControlReply {
  std::int32_t status = 0;
  std::uint64_t information = 0;
  std::vector<std::uint8_t> data;
};
struct Close {
  std::uint32_t handle = 0;
};
struct Census {};
struct CensusEntry {
  std::string name;  // "TAVRIN-0"
  std::uint32_t openHandles = 0;
};
struct CensusReply {
  std::uint32_t clients = 0;
  std::vector<CensusEntry> instruments;
};

struct Attach {};
struct AttachReply {
  std::int32_t status = 0;  // 0: the descriptors came with this message
  std::uint32_t ringBytes = 0;  // the size of each direction's ring
};

// In the order of Type: a message's type is its index + 1.
using Message = std::variant<Hello, HelloReply, Open, OpenReply, Control, ControlReply, Close, Census, CensusReply,
                             Attach, AttachReply>;

// The largest output buffer a request with this control code may carry.
std::uint32_t MaxOutputBytes(std::uint32_t code);
// Whether the caller's output buffer must reach the service: the driver reads
// it as the data to send for METHOD_IN_DIRECT, and may for METHOD_NEITHER.
bool OutputTravelsToService(std::uint32_t code);
// The largest body any message may have.
std::uint32_t MaxBodyBytes();

// Reads a header; nullopt (with a reason) for an unknown type, a non-zero
// reserved field or a body longer than any message of its type may be.
std::optional<Header> DecodeHeader(std::span<const std::uint8_t> bytes, std::string *error);
// Decodes the body of a message whose header was accepted. The body must be
// exactly one message of the header's type with every bound respected.
std::optional<Message> DecodeBody(Type type, std::span<const std::uint8_t> body, std::string *error);

// A whole frame, header and body, ready to send.
std::vector<std::uint8_t> Encode(const Message &message, std::uint32_t requestId);
// Appends a frame to `out` (to batch a close with the next request).
void AppendFrame(const Message &message, std::uint32_t requestId, std::vector<std::uint8_t> *out);

}  // namespace service::wire
