#include "kernel_backend_report.h"

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

}  // namespace tavrin_cli
