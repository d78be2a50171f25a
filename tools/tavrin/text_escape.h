// Instrument bytes shown as text: UTF-8 passes unchanged, anything else is
// escaped so that what is printed is both valid text and unambiguous.
#pragma once

#include <string>
#include <string_view>

namespace tavrin_cli {

bool IsValidUtf8(std::string_view bytes);

// The bytes with every byte that is not part of a valid UTF-8 sequence
// written as \xHH and every backslash doubled. With `controls`, control
// characters other than a line feed and a tab are written as \r, \xHH too.
std::string EscapeBytes(std::string_view bytes, bool controls);

// Two hexadecimal digits per byte, separated by spaces.
std::string HexBytes(std::string_view bytes);

}  // namespace tavrin_cli
