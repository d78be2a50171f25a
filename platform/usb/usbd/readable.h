// How far the USBD routines may read from memory a caller hands them. A
// length comes from the caller or from the device (wTotalLength); when the
// memory is pool, the end of the pool block bounds it as well, so that a
// descriptor that claims more bytes than were read from the device cannot
// take a routine past the block. Memory outside the pool (a driver's stack
// or static data) is trusted for the length stated, as Windows trusts it.
#pragma once

#include <km/standin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace usbd {

// The bytes at `start` that may be read when the caller states `stated`.
inline std::span<const std::uint8_t> Readable(const void *start, std::size_t stated) {
  std::size_t inPool = km::PoolBytesFrom(start);
  std::size_t length = inPool != 0 ? std::min(stated, inPool) : stated;
  return {static_cast<const std::uint8_t *>(start), length};
}

// The offset of `position` inside `bytes`, or nothing when it lies outside.
inline std::optional<std::size_t> OffsetIn(std::span<const std::uint8_t> bytes, const void *position) {
  auto first = reinterpret_cast<std::uintptr_t>(bytes.data());
  auto at = reinterpret_cast<std::uintptr_t>(position);
  if (at < first || at - first >= bytes.size()) return std::nullopt;
  return at - first;
}

}  // namespace usbd
