// Feeds arbitrary bytes to the frame decoder as the service reads them from
// a client. Whatever it accepts must encode back to exactly the same bytes,
// so no field is dropped, widened or invented on the way through.
#include "../wire_protocol.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::span<const std::uint8_t> rest(data, size);
  while (rest.size() >= service::wire::kHeaderBytes) {
    std::string error;
    auto header = service::wire::DecodeHeader(rest, &error);
    if (!header) return 0;
    if (rest.size() - service::wire::kHeaderBytes < header->bodyLength) return 0;
    std::span<const std::uint8_t> frame = rest.first(service::wire::kHeaderBytes + header->bodyLength);
    auto message = service::wire::DecodeBody(header->type, frame.subspan(service::wire::kHeaderBytes), &error);
    if (!message) return 0;
    std::vector<std::uint8_t> again = service::wire::Encode(*message, header->requestId);
    if (again.size() != frame.size() || std::memcmp(again.data(), frame.data(), frame.size()) != 0) {
      __builtin_trap();
    }
    rest = rest.subspan(frame.size());
  }
  return 0;
}
