// Which kernel served a command: the one embedded in this process, or the
// one tavrind hosts for every program.
#pragma once

#include "json_writer.h"
#include "report.h"

#include <string>

namespace tavrin_cli {

// "the embedded kernel" or "tavrind at PATH".
std::string KernelBackendDescription();
// "backend": "embedded", or "backend": "service" with "socket": PATH.
void WriteKernelBackend(JsonWriter &json);
// Why the service this process uses cannot serve it ("" when it can, or the
// kernel is embedded), so that a stopped service is never taken for one
// without instruments.
std::string ServiceUnreachable();
// kOk, or the failure of an unreachable service reported (exit status 8).
int CheckServiceReachable(const Options &options);

}  // namespace tavrin_cli
