#include "rpc_record.h"

#include <algorithm>

namespace visa {

RecordReader::Status RecordReader::Feed(std::string_view &input, std::vector<std::uint8_t> &record) {
  while (!input.empty()) {
    if (!inFragment_) {
      while (headerBytes_ < sizeof header_ && !input.empty()) {
        header_[headerBytes_++] = static_cast<std::uint8_t>(input.front());
        input.remove_prefix(1);
      }
      if (headerBytes_ < sizeof header_) return Status::NeedMore;
      const std::uint32_t word = static_cast<std::uint32_t>(header_[0]) << 24 |
                                 static_cast<std::uint32_t>(header_[1]) << 16 |
                                 static_cast<std::uint32_t>(header_[2]) << 8 | header_[3];
      headerBytes_ = 0;
      lastFragment_ = (word & 0x80000000u) != 0;
      fragmentLeft_ = word & 0x7FFFFFFFu;
      inFragment_ = true;
      if (fragmentLeft_ > maxRecord_ - partial_.size()) return Status::TooLarge;
    }
    const std::size_t take = std::min(input.size(), fragmentLeft_);
    partial_.insert(partial_.end(), input.begin(), input.begin() + static_cast<std::ptrdiff_t>(take));
    input.remove_prefix(take);
    fragmentLeft_ -= take;
    if (fragmentLeft_ > 0) return Status::NeedMore;
    inFragment_ = false;
    if (lastFragment_) {
      record.swap(partial_);
      partial_.clear();
      return Status::Complete;
    }
  }
  return Status::NeedMore;
}

std::vector<std::uint8_t> FrameRecord(const std::vector<std::uint8_t> &record) {
  const std::uint32_t word = 0x80000000u | static_cast<std::uint32_t>(record.size());
  std::vector<std::uint8_t> framed(4 + record.size());
  for (int i = 0; i < 4; ++i) framed[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(word >> (24 - 8 * i));
  std::copy(record.begin(), record.end(), framed.begin() + 4);
  return framed;
}

}  // namespace visa
