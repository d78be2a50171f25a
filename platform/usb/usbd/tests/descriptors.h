// Descriptor sets for the USBD tests, built byte by byte so that a test can
// make any field lie, and a pool block holding a copy of exactly those bytes.
#pragma once

#include <km/standin.h>
#include <usbdlib.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace usbdtest {

using Bytes = std::vector<std::uint8_t>;

inline Bytes Configuration(std::uint16_t totalLength, std::uint8_t interfaces = 1) {
  return {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, static_cast<std::uint8_t>(totalLength & 0xFF),
          static_cast<std::uint8_t>(totalLength >> 8), interfaces, 1, 0, 0x80, 50};
}

inline Bytes Interface(std::uint8_t number, std::uint8_t alternate, std::uint8_t endpoints,
                       std::uint8_t interfaceClass = 0xFF, std::uint8_t subClass = 0, std::uint8_t protocol = 0) {
  return {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, endpoints, interfaceClass, subClass, protocol, 0};
}

inline Bytes Endpoint(std::uint8_t address, std::uint8_t attributes = USB_ENDPOINT_TYPE_BULK) {
  return {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, attributes, 64, 0, 0};
}

// Joins descriptors; with `fixTotal` the configuration's wTotalLength is set
// to the joined size, otherwise it is left as built.
inline Bytes Join(std::initializer_list<Bytes> parts, bool fixTotal = true) {
  Bytes all;
  for (const Bytes &part : parts) all.insert(all.end(), part.begin(), part.end());
  if (fixTotal && all.size() >= 4) {
    all[2] = static_cast<std::uint8_t>(all.size() & 0xFF);
    all[3] = static_cast<std::uint8_t>(all.size() >> 8);
  }
  return all;
}

// A pool block of exactly bytes.size() bytes holding a copy of them, so
// that the pool (and AddressSanitizer) know where the caller's memory ends.
class PoolCopy {
 public:
  explicit PoolCopy(const Bytes &bytes) : size_(bytes.size()) {
    data_ = static_cast<std::uint8_t *>(ExAllocatePoolWithTag(NonPagedPool, size_, 0x74736554 /* 'Test' */));
    if (data_ != nullptr && size_ != 0) std::memcpy(data_, bytes.data(), size_);
  }
  ~PoolCopy() {
    if (data_ != nullptr) ExFreePool(data_);
  }
  PoolCopy(const PoolCopy &) = delete;
  PoolCopy &operator=(const PoolCopy &) = delete;

  std::uint8_t *data() const { return data_; }
  std::size_t size() const { return size_; }
  std::uint8_t *at(std::size_t offset) const { return data_ + offset; }
  PUSB_CONFIGURATION_DESCRIPTOR configuration() const {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(data_);
  }
  template <typename T>
  T *as(std::size_t offset) const {
    return reinterpret_cast<T *>(data_ + offset);
  }
  // The offset of a pointer the routines returned, or -1 for null.
  long OffsetOf(const void *found) const {
    return found == nullptr ? -1 : static_cast<long>(static_cast<const std::uint8_t *>(found) - data_);
  }

 private:
  std::size_t size_;
  std::uint8_t *data_;
};

}  // namespace usbdtest
