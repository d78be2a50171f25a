// A whole file read into memory at its own size, for the commands that send
// a file's bytes.
#pragma once

#include <optional>
#include <string>

namespace tavrin_cli {

// The file's bytes, read with one read of the size the file has (a file that
// changes size meanwhile is read again); nullopt when it cannot be read.
std::optional<std::string> ReadFileBytes(const std::string &path);

}  // namespace tavrin_cli
