// The service's side of a shared channel whose client wrote arbitrary bytes
// and an arbitrary write position into the requests' ring: the service must
// read only inside the ring, refuse a position that claims more than it
// holds, and take only well-formed frames out of it. Input: the u32 write
// position, then the ring's bytes.
#include "../shared_ring.h"

#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ring = service::ring;
namespace wire = service::wire;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 4 || size - 4 > ring::kRingBytes) return 0;
  ring::ChannelFds fds;
  if (!ring::CreateChannelFds(&fds)) return 0;
  auto *region = static_cast<std::uint8_t *>(
      mmap(nullptr, ring::kRegionBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fds.region, 0));
  if (region == MAP_FAILED) {
    ring::CloseChannelFds(&fds);
    return 0;
  }
  std::memcpy(region, data, 4);  // the requests' head
  std::memcpy(region + ring::kControlBytes, data + 4, size - 4);
  // The client is gone already: once the ring is read, the service sees the end instead of waiting.
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) __builtin_trap();
  close(pair[1]);
  {
    ring::Channel channel(ring::Channel::Side::Service, fds, pair[0]);
    ring::ChannelSource source(&channel);
    wire::FrameReader reader(&source);
    wire::Frame frame;
    std::string error;
    std::size_t frames = 0;
    while (reader.Next(&frame, &error) == wire::FrameReader::Result::Frame) {
      if (++frames > size) __builtin_trap();  // more frames than bytes
    }
  }
  close(pair[0]);
  munmap(region, ring::kRegionBytes);
  return 0;
}
