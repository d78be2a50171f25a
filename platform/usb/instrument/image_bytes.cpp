#include "image_bytes.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14 and later
#endif

namespace usb {

namespace {

constexpr std::size_t kFirstMapping = std::size_t{1} << 20;
// Pages are made ready this far ahead of the writes: one system call per
// megabyte instead of a fault per page.
constexpr std::size_t kReadyStep = std::size_t{1} << 20;

std::size_t PageRounded(std::size_t bytes) {
  static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

std::uint8_t *MapAnonymous(std::size_t capacity) {
  void *mapping = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) throw std::bad_alloc();
  return static_cast<std::uint8_t *>(mapping);
}

// Mappings given back by images that ended, kept for the next image: pages
// written once are cheap to write again, fresh ones cost a fault each (on a
// virtual machine several microseconds even when populated in advance). Up
// to kKeptBytes are kept for the whole process.
constexpr std::size_t kKeptBytes = std::size_t{32} << 20;

struct KeptMappings {
  std::mutex lock;
  std::vector<std::pair<std::uint8_t *, std::size_t>> mappings;
  std::size_t bytes = 0;
};

KeptMappings &Kept() {
  static auto *kept = new KeptMappings;  // never destroyed: images may end during exit
  return *kept;
}

bool KeepMapping(std::uint8_t *data, std::size_t capacity) {
  KeptMappings &kept = Kept();
  std::lock_guard guard(kept.lock);
  if (kept.bytes + capacity > kKeptBytes) return false;
  kept.mappings.emplace_back(data, capacity);
  kept.bytes += capacity;
  return true;
}

// The largest kept mapping, if any.
std::pair<std::uint8_t *, std::size_t> TakeKeptMapping() {
  KeptMappings &kept = Kept();
  std::lock_guard guard(kept.lock);
  if (kept.mappings.empty()) return {nullptr, 0};
  auto largest = std::max_element(kept.mappings.begin(), kept.mappings.end(),
                                  [](const auto &a, const auto &b) { return a.second < b.second; });
  const auto mapping = *largest;
  kept.mappings.erase(largest);
  kept.bytes -= mapping.second;
  return mapping;
}

}  // namespace

// A copy maps exactly what it holds: it does not grow.
ImageBytes::ImageBytes(const ImageBytes &other) {
  if (other.empty()) return;
  const std::size_t capacity = PageRounded(other.size_);
  data_ = MapAnonymous(capacity);
  capacity_ = ready_ = capacity;
  size_ = other.size_;
  std::memcpy(data_, other.data_, size_);
}

ImageBytes &ImageBytes::operator=(const ImageBytes &other) {
  if (this != &other) {
    ImageBytes copy(other);
    *this = std::move(copy);
  }
  return *this;
}

ImageBytes::ImageBytes(ImageBytes &&other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      ready_(std::exchange(other.ready_, 0)) {}

ImageBytes &ImageBytes::operator=(ImageBytes &&other) noexcept {
  if (this != &other) {
    Release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    ready_ = std::exchange(other.ready_, 0);
  }
  return *this;
}

ImageBytes::~ImageBytes() { Release(); }

void ImageBytes::Release() {
  if (data_ && !KeepMapping(data_, capacity_)) munmap(data_, capacity_);
  data_ = nullptr;
  size_ = capacity_ = ready_ = 0;
}

void ImageBytes::Reserve(std::size_t bytes) {
  if (bytes <= capacity_) return;
  if (!data_) {
    const auto [kept, keptCapacity] = TakeKeptMapping();
    data_ = kept;
    capacity_ = ready_ = keptCapacity;
    if (bytes <= capacity_) return;
  }
  const std::size_t capacity = PageRounded(std::max({bytes, capacity_ * 2, kFirstMapping}));
  if (!data_) {
    data_ = MapAnonymous(capacity);
  } else {
    void *mapping = mremap(data_, capacity_, capacity, MREMAP_MAYMOVE);
    if (mapping == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<std::uint8_t *>(mapping);
  }
  capacity_ = capacity;
}

void ImageBytes::Append(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  const std::size_t end = size_ + bytes.size();
  Reserve(end);
  if (end > ready_) {
    // Where the kernel cannot populate in advance, the pages fault in as
    // they are written, as they would anyway.
    const std::size_t ready = std::min(capacity_, PageRounded(std::max(end, ready_ + kReadyStep)));
    madvise(data_ + ready_, ready - ready_, MADV_POPULATE_WRITE);
    ready_ = ready;
  }
  std::memcpy(data_ + size_, bytes.data(), bytes.size());
  size_ = end;
}

void ImageBytes::ShrinkToFit() {
  if (!data_) return;
  if (size_ == 0) {
    Release();
    return;
  }
  const std::size_t capacity = PageRounded(size_);
  if (capacity == capacity_) return;
  // Shrinking in place cannot fail on Linux; should it, the spare pages stay.
  void *mapping = mremap(data_, capacity_, capacity, 0);
  if (mapping == MAP_FAILED) return;
  capacity_ = capacity;
  ready_ = std::min(ready_, capacity_);
}

bool operator==(const ImageBytes &a, std::span<const std::uint8_t> b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

}  // namespace usb
