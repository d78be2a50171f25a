// The check after a download: the instrument's "FW?" answer names, for each
// image type, the size and CRC-32 of the image it holds; the entry of the
// type sent is compared with the size and CRC-32 of the bytes sent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Image_Check {

// The query the instrument answers with its images' sizes and CRC-32s.
inline constexpr std::string_view kQuery = "FW?\n";

struct Image_Summary {
  std::int64_t Size = 0;
  std::uint32_t Crc32 = 0;
  bool operator==(const Image_Summary &) const = default;
};

// A running CRC-32 (zlib's, the one the instrument reports) over the bytes
// as they are sent.
class Crc32 {
 public:
  void Add(std::string_view bytes);
  Image_Summary Summary() const { return {size_, crc_}; }

 private:
  std::int64_t size_ = 0;
  std::uint32_t crc_ = 0;
};

// The entry for `type_name` ("IP", "DSP" or "FPGA", any letter case) in an
// answer such as "IP 2500 1A2B3C4D,DSP 0 00000000,FPGA 0 00000000" (a line
// end may follow); nothing when the answer is not of that form (an
// instrument that does not know the query answers something else).
std::optional<Image_Summary> Entry(std::string_view answer, std::string_view type_name);

// The image type named in a download command line ("DL,DSP,RESET" gives
// "DSP"); empty when there is none.
std::string Type_Named_In(std::string_view command_line);

// "Image check failed: sent N bytes (CRC-32 X), the instrument holds M bytes
// (CRC-32 Y)", one line.
std::string Mismatch_Text(const Image_Summary &sent, const Image_Summary &held);

}  // namespace Image_Check
