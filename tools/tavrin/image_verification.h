// `download --verify`: after a download, the image the instrument says it
// holds ("FW?": size and CRC-32 per image type) against the file's bytes.
#pragma once

#include <image_check.h>
#include <instrument.h>

#include <optional>
#include <string>
#include <string_view>

namespace tavrin_cli {

struct Verification {
  enum class Outcome {
    Matches,
    Differs,          // the instrument holds another image than the file
    Unanswered,       // no "FW?" answer with an entry for the type
    FileUnreadable,   // the file cannot be read again
  } outcome;
  Image_Check::Image_Summary file;
  std::optional<Image_Check::Image_Summary> held;
  std::string answer;   // what the instrument answered, without its line feed
  std::string dropped;  // answers nobody had read, dropped before the question
};

// Asks the instrument "FW?" (answers nobody read yet are dropped first) and
// compares its entry for `typeName` ("IP", "DSP", "FPGA") with the size and
// CRC-32 of the file at `path` as it is now.
Verification VerifyImage(Client::Instrument &instrument, std::string_view typeName, const std::string &path);

}  // namespace tavrin_cli
