// Which kernel served a command: the one embedded in this process, or the
// one tavrind hosts for every program.
#pragma once

#include "json_writer.h"

#include <string>

namespace tavrin_cli {

// "the embedded kernel" or "tavrind at PATH".
std::string KernelBackendDescription();
// "backend": "embedded", or "backend": "service" with "socket": PATH.
void WriteKernelBackend(JsonWriter &json);

}  // namespace tavrin_cli
