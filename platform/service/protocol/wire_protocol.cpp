#include "wire_protocol.h"

#include <tavrin_ioctl.h>

#include <algorithm>
#include <cstring>

namespace service::wire {
namespace {

constexpr std::uint32_t kMethodMask = 3;
constexpr std::uint32_t kMethodInDirect = 1;
constexpr std::uint32_t kMethodNeither = 3;

constexpr std::size_t kControlFixedBytes = 20;
constexpr std::size_t kControlReplyFixedBytes = 20;
constexpr std::size_t kMaxNameBytes = 32;

// Appends little-endian fields.
class Writer {
 public:
  explicit Writer(std::vector<std::uint8_t> *out) : out_(out) {}
  void U8(std::uint8_t v) { out_->push_back(v); }
  void U16(std::uint16_t v) {
    for (int i = 0; i < 2; ++i) out_->push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void U32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out_->push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void U64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out_->push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void Bytes(const void *data, std::size_t length) {
    auto *p = static_cast<const std::uint8_t *>(data);
    out_->insert(out_->end(), p, p + length);
  }

 private:
  std::vector<std::uint8_t> *out_;
};

// Takes little-endian fields from a body and remembers the first shortfall.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  bool Take(std::size_t n, const std::uint8_t **at) {
    if (bytes_.size() - offset_ < n) return failed_ = true, false;
    *at = bytes_.data() + offset_;
    offset_ += n;
    return true;
  }
  std::uint64_t Unsigned(std::size_t width) {
    const std::uint8_t *at = nullptr;
    if (!Take(width, &at)) return 0;
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i) v |= std::uint64_t{at[i]} << (8 * i);
    return v;
  }
  std::uint16_t U16() { return static_cast<std::uint16_t>(Unsigned(2)); }
  std::uint32_t U32() { return static_cast<std::uint32_t>(Unsigned(4)); }
  std::uint64_t U64() { return Unsigned(8); }
  std::uint8_t U8() { return static_cast<std::uint8_t>(Unsigned(1)); }
  std::vector<std::uint8_t> Bytes(std::size_t n) {
    const std::uint8_t *at = nullptr;
    if (!Take(n, &at)) return {};
    return {at, at + n};
  }
  std::size_t Remaining() const { return bytes_.size() - offset_; }
  // True when every field was present and nothing follows them.
  bool Complete() const { return !failed_ && offset_ == bytes_.size(); }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t offset_ = 0;
  bool failed_ = false;
};

bool IsIsochronousTransfer(std::uint32_t code) {
  return code == IOCTL_INSTR_ISO_READ || code == IOCTL_INSTR_ISO_WRITE || code == IOCTL_INSTR_READ_ISO_STREAM;
}

std::optional<Message> Refuse(std::string *error, const char *reason) {
  if (error != nullptr) *error = reason;
  return std::nullopt;
}

// The largest body a message of this type may have.
std::optional<std::uint32_t> MaxBodyOf(Type type) {
  switch (type) {
    case Type::Hello:
      return 8;
    case Type::HelloReply:
      return 12;
    case Type::Open:
      return static_cast<std::uint32_t>(2 + 2 * kMaxPathUnits);
    case Type::OpenReply:
      return 8;
    case Type::Control:
      return static_cast<std::uint32_t>(kControlFixedBytes + kMaxTransferBytes + kMaxIsochronousBytes);
    case Type::ControlReply:
      return static_cast<std::uint32_t>(kControlReplyFixedBytes + kMaxIsochronousBytes);
    case Type::Close:
      return 4;
    case Type::Census:
      return 0;
    case Type::CensusReply:
      return static_cast<std::uint32_t>(8 + kMaxCensusEntries * (1 + kMaxNameBytes + 4));
    case Type::Attach:
      return 0;
    case Type::AttachReply:
      return 8;
  }
  return std::nullopt;
}

std::optional<Message> DecodeControl(Reader &r, std::string *error) {
  Control c;
  c.handle = r.U32();
  c.code = r.U32();
  std::uint32_t inputLength = r.U32();
  c.outputLength = r.U32();
  std::uint32_t outputSent = r.U32();
  if (inputLength > kMaxTransferBytes) return Refuse(error, "control input longer than the largest request");
  if (c.outputLength > MaxOutputBytes(c.code)) return Refuse(error, "control output longer than the code allows");
  if (outputSent != (OutputTravelsToService(c.code) ? c.outputLength : 0)) {
    return Refuse(error, "control output sent where it must not be, or missing");
  }
  c.input = r.Bytes(inputLength);
  c.output = r.Bytes(outputSent);
  if (!r.Complete()) return Refuse(error, "control body length does not match its fields");
  return c;
}

std::optional<Message> DecodeCensusReply(Reader &r, std::string *error) {
  CensusReply reply;
  reply.clients = r.U32();
  std::uint32_t count = r.U32();
  if (count > kMaxCensusEntries) return Refuse(error, "census with too many instruments");
  for (std::uint32_t i = 0; i < count && r.Remaining() > 0; ++i) {
    CensusEntry entry;
    std::uint8_t nameLength = r.U8();
    if (nameLength > kMaxNameBytes) return Refuse(error, "census name too long");
    std::vector<std::uint8_t> name = r.Bytes(nameLength);
    entry.name.assign(name.begin(), name.end());
    entry.openHandles = r.U32();
    reply.instruments.push_back(std::move(entry));
  }
  if (reply.instruments.size() != count || !r.Complete()) return Refuse(error, "census body length does not match");
  return reply;
}

}  // namespace

std::uint32_t MaxOutputBytes(std::uint32_t code) {
  return IsIsochronousTransfer(code) ? kMaxIsochronousBytes : kMaxTransferBytes;
}

bool OutputTravelsToService(std::uint32_t code) {
  std::uint32_t method = code & kMethodMask;
  return method == kMethodInDirect || method == kMethodNeither;
}

std::uint32_t MaxBodyBytes() { return *MaxBodyOf(Type::Control); }

std::optional<Header> DecodeHeader(std::span<const std::uint8_t> bytes, std::string *error) {
  if (bytes.size() < kHeaderBytes) {
    if (error != nullptr) *error = "truncated header";
    return std::nullopt;
  }
  Reader r(bytes.first(kHeaderBytes));
  Header header;
  header.bodyLength = r.U32();
  auto type = static_cast<Type>(r.U16());
  std::uint16_t reserved = r.U16();
  header.requestId = r.U32();
  header.type = type;
  std::optional<std::uint32_t> max = MaxBodyOf(type);
  const char *reason = nullptr;
  if (!max) {
    reason = "unknown message type";
  } else if (reserved != 0) {
    reason = "reserved header field not zero";
  } else if (header.bodyLength > *max) {
    reason = "message longer than its type allows";
  }
  if (reason != nullptr) {
    if (error != nullptr) *error = reason;
    return std::nullopt;
  }
  return header;
}

std::optional<Message> DecodeBody(Type type, std::span<const std::uint8_t> body, std::string *error) {
  std::optional<std::uint32_t> max = MaxBodyOf(type);
  if (!max) return Refuse(error, "unknown message type");
  if (body.size() > *max) return Refuse(error, "message longer than its type allows");
  Reader r(body);
  switch (type) {
    case Type::Hello: {
      std::uint32_t magic = r.U32();
      Hello hello;
      hello.version = r.U16();
      std::uint16_t reserved = r.U16();
      if (!r.Complete() || magic != kMagic || reserved != 0) return Refuse(error, "not a greeting of this protocol");
      return hello;
    }
    case Type::HelloReply: {
      HelloReply reply;
      reply.version = r.U16();
      std::uint16_t reserved = r.U16();
      reply.handleLimit = r.U32();
      reply.servicePid = r.U32();
      if (!r.Complete() || reserved != 0) return Refuse(error, "malformed greeting reply");
      return reply;
    }
    case Type::Open: {
      std::uint16_t units = r.U16();
      if (units == 0 || units > kMaxPathUnits) return Refuse(error, "device path empty or too long");
      Open open;
      for (std::uint16_t i = 0; i < units; ++i) open.path.push_back(static_cast<char16_t>(r.U16()));
      if (!r.Complete()) return Refuse(error, "open body length does not match its path");
      return open;
    }
    case Type::OpenReply: {
      OpenReply reply;
      reply.status = static_cast<std::int32_t>(r.U32());
      reply.handle = r.U32();
      if (!r.Complete()) return Refuse(error, "malformed open reply");
      return reply;
    }
    case Type::Control:
      return DecodeControl(r, error);
    case Type::ControlReply: {
      ControlReply reply;
      reply.status = static_cast<std::int32_t>(r.U32());
      std::uint32_t reserved = r.U32();
      reply.information = r.U64();
      std::uint32_t dataLength = r.U32();
      if (reserved != 0 || dataLength > kMaxIsochronousBytes) return Refuse(error, "malformed control reply");
      reply.data = r.Bytes(dataLength);
      if (!r.Complete()) return Refuse(error, "control reply length does not match its data");
      return reply;
    }
    case Type::Close: {
      Close close;
      close.handle = r.U32();
      if (!r.Complete()) return Refuse(error, "malformed close");
      return close;
    }
    case Type::Census:
      if (!r.Complete()) return Refuse(error, "census request with a body");
      return Census{};
    case Type::CensusReply:
      return DecodeCensusReply(r, error);
    case Type::Attach:
      if (!r.Complete()) return Refuse(error, "attach request with a body");
      return Attach{};
    case Type::AttachReply: {
      AttachReply reply;
      reply.status = static_cast<std::int32_t>(r.U32());
      reply.ringBytes = r.U32();
      if (!r.Complete()) return Refuse(error, "malformed attach reply");
      return reply;
    }
  }
  return Refuse(error, "unknown message type");
}

void AppendFrame(const Message &message, std::uint32_t requestId, std::vector<std::uint8_t> *out) {
  std::size_t start = out->size();
  Writer w(out);
  w.U32(0);  // body length, patched below
  w.U16(static_cast<std::uint16_t>(message.index() + 1));
  w.U16(0);
  w.U32(requestId);
  std::visit(
      [&](const auto &m) {
        using T = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<T, Hello>) {
          w.U32(kMagic);
          w.U16(m.version);
          w.U16(0);
        } else if constexpr (std::is_same_v<T, HelloReply>) {
          w.U16(m.version);
          w.U16(0);
          w.U32(m.handleLimit);
          w.U32(m.servicePid);
        } else if constexpr (std::is_same_v<T, Open>) {
          w.U16(static_cast<std::uint16_t>(m.path.size()));
          for (char16_t c : m.path) w.U16(static_cast<std::uint16_t>(c));
        } else if constexpr (std::is_same_v<T, OpenReply>) {
          w.U32(static_cast<std::uint32_t>(m.status));
          w.U32(m.handle);
        } else if constexpr (std::is_same_v<T, Control>) {
          w.U32(m.handle);
          w.U32(m.code);
          w.U32(static_cast<std::uint32_t>(m.input.size()));
          w.U32(m.outputLength);
          w.U32(static_cast<std::uint32_t>(m.output.size()));
          w.Bytes(m.input.data(), m.input.size());
          w.Bytes(m.output.data(), m.output.size());
        } else if constexpr (std::is_same_v<T, ControlReply>) {
          w.U32(static_cast<std::uint32_t>(m.status));
          w.U32(0);
          w.U64(m.information);
          w.U32(static_cast<std::uint32_t>(m.data.size()));
          w.Bytes(m.data.data(), m.data.size());
        } else if constexpr (std::is_same_v<T, Close>) {
          w.U32(m.handle);
        } else if constexpr (std::is_same_v<T, Census>) {
        } else if constexpr (std::is_same_v<T, CensusReply>) {
          w.U32(m.clients);
          w.U32(static_cast<std::uint32_t>(m.instruments.size()));
          for (const CensusEntry &e : m.instruments) {
            std::size_t length = std::min(e.name.size(), kMaxNameBytes);
            w.U8(static_cast<std::uint8_t>(length));
            w.Bytes(e.name.data(), length);
            w.U32(e.openHandles);
          }
        } else if constexpr (std::is_same_v<T, Attach>) {
        } else if constexpr (std::is_same_v<T, AttachReply>) {
          w.U32(static_cast<std::uint32_t>(m.status));
          w.U32(m.ringBytes);
        }
      },
      message);
  auto bodyLength = static_cast<std::uint32_t>(out->size() - start - kHeaderBytes);
  for (int i = 0; i < 4; ++i) (*out)[start + i] = static_cast<std::uint8_t>(bodyLength >> (8 * i));
}

std::vector<std::uint8_t> Encode(const Message &message, std::uint32_t requestId) {
  std::vector<std::uint8_t> out;
  AppendFrame(message, requestId, &out);
  return out;
}

}  // namespace service::wire
