#include "kernel_backend_report.h"

#include "commands.h"

#include <um/kernel_backend.h>

namespace tavrin_cli {

std::string KernelBackendDescription() {
  const char *socket = KernelServiceSocket();
  return socket == nullptr ? "the embedded kernel" : std::string("tavrind at ") + socket;
}

void WriteKernelBackend(JsonWriter &json) {
  const char *socket = KernelServiceSocket();
  json.Field("backend", socket == nullptr ? "embedded" : "service");
  if (socket != nullptr) json.Field("socket", socket);
}

std::string ServiceUnreachable() {
  const char *problem = KernelServiceProblem();
  return problem == nullptr ? std::string() : problem;
}

int CheckServiceReachable(const Options &options) {
  std::string problem = ServiceUnreachable();
  return problem.empty() ? kOk : Fail(options, kServiceUnreachable, problem);
}

}  // namespace tavrin_cli
