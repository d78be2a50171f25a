// The check after a download: the instrument's "FW?" answer names, for each
// image type, the size and CRC-32 of the image it holds; the console compares
// the entry of the type it sent with the size and CRC-32 of the file's bytes.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>

namespace Image_Check {

// The query the instrument answers with its images' sizes and CRC-32s.
inline constexpr const char *kQuery = "FW?\n";

struct Image_Summary {
  qint64 Size = 0;
  std::uint32_t Crc32 = 0;
  bool operator==(const Image_Summary &) const = default;
};

// A running CRC-32 (zlib's, the one the instrument reports) over the bytes
// as they are sent.
class Crc32 {
 public:
  void Add(const QByteArray &bytes);
  Image_Summary Summary() const { return {size_, crc_}; }

 private:
  qint64 size_ = 0;
  std::uint32_t crc_ = 0;
};

// The entry for `type_name` ("IP", "DSP" or "FPGA") in an answer such as
// "IP 2500 1A2B3C4D,DSP 0 00000000,FPGA 0 00000000" (a line end may follow);
// nothing when the answer is not of that form (an instrument that does not
// know the query answers something else).
std::optional<Image_Summary> Entry(const QString &answer, const QString &type_name);

// The image type named in a download command line ("DL,DSP,RESET" gives
// "DSP"); empty when there is none.
QString Type_Named_In(const QString &command_line);

// "Image check failed: sent N bytes (CRC-32 X), the instrument holds M bytes
// (CRC-32 Y)", one line.
QString Mismatch_Text(const Image_Summary &sent, const Image_Summary &held);

}  // namespace Image_Check
