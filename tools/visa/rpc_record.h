// ONC RPC record marking on a stream connection: a record is a run of
// fragments, each behind a 4-byte big-endian header whose top bit marks the
// last fragment and whose other 31 bits give the fragment's length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace visa {

// The largest RPC record taken from a client: a device_write of the largest
// transfer with its header, credential and verifier.
constexpr std::size_t kMaxRecord = 0xFFFF + 1024;

// Reassembles records from the bytes of one connection, as they arrive, and
// refuses any record longer than the limit before buffering it.
class RecordReader {
 public:
  enum class Status { NeedMore, Complete, TooLarge };

  explicit RecordReader(std::size_t maxRecord) : maxRecord_(maxRecord) {}

  // Consumes bytes from the front of `input` until a record is complete (it
  // is then in `record`) or the input is used up. After TooLarge the stream
  // cannot be resynchronised and the reader must not be fed again.
  Status Feed(std::string_view &input, std::vector<std::uint8_t> &record);

  // True while a record has begun and is not yet complete: a connection that
  // ends now has sent a truncated record.
  bool InsideRecord() const { return headerBytes_ > 0 || inFragment_ || !partial_.empty(); }

 private:
  std::size_t maxRecord_;
  std::uint8_t header_[4] = {};
  std::size_t headerBytes_ = 0;
  std::size_t fragmentLeft_ = 0;
  bool lastFragment_ = false;
  bool inFragment_ = false;
  std::vector<std::uint8_t> partial_;
};

// One record as a single last fragment.
std::vector<std::uint8_t> FrameRecord(const std::vector<std::uint8_t> &record);

}  // namespace visa
