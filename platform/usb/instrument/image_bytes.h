// The bytes of a firmware image as the instrument takes them: appended a
// chunk at a time into one anonymous mapping that grows in place (mremap
// moves page tables, never the bytes already taken) and whose pages are
// made ready a megabyte at a time ahead of the writes. Taking a 1024-byte
// chunk is then a copy of 1024 bytes, not a page fault per page and a copy
// of everything taken before, which is what a growing vector costs.
#pragma once

#include <usb/device_model.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace usb {

class ImageBytes {
 public:
  ImageBytes() = default;
  ImageBytes(const ImageBytes &other);
  ImageBytes &operator=(const ImageBytes &other);
  ImageBytes(ImageBytes &&other) noexcept;
  ImageBytes &operator=(ImageBytes &&other) noexcept;
  ~ImageBytes();

  // Throws std::bad_alloc when the mapping cannot grow.
  void Append(std::span<const std::uint8_t> bytes);
  // Gives back the pages beyond the last byte (once the image is complete).
  void ShrinkToFit();

  const std::uint8_t *data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::span<const std::uint8_t> span() const { return {data_, size_}; }
  Bytes ToBytes() const { return Bytes(data_, data_ + size_); }

  friend bool operator==(const ImageBytes &a, std::span<const std::uint8_t> b);
  friend bool operator==(const ImageBytes &a, const Bytes &b) { return a == std::span<const std::uint8_t>(b); }
  friend bool operator==(const ImageBytes &a, const ImageBytes &b) { return a == b.span(); }

 private:
  void Reserve(std::size_t bytes);
  void Release();

  std::uint8_t *data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;  // bytes mapped
  std::size_t ready_ = 0;     // bytes whose pages have been made ready
};

}  // namespace usb
