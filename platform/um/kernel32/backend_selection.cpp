// Which kernel this process's handles reach: the embedded one or tavrind's.
#include "device_backend.h"

#include <service_paths.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace um {
namespace {

BackendChoice Choose() {
  BackendChoice choice;
  const char *named = std::getenv("TAVRIN_SERVICE");
  if (named != nullptr && *named != 0) {
    if (std::strcmp(named, "embedded") != 0) {
      choice.service = true;
      choice.socketPath = named;
    }
    return choice;
  }
  // A program that attaches simulated instruments wants a kernel of its own.
  if (std::getenv("TAVRIN_SIMULATE") != nullptr) return choice;
  choice.socketPath = service::ExistingDefaultSocket();
  choice.service = !choice.socketPath.empty();
  return choice;
}

}  // namespace

BackendChoice ProcessBackendChoice() {
  static const BackendChoice choice = Choose();
  return choice;
}

DeviceBackend &ProcessBackend() {
  static DeviceBackend &backend = [] () -> DeviceBackend & {
    BackendChoice choice = ProcessBackendChoice();
    return choice.service ? ServiceBackend(choice.socketPath) : EmbeddedBackend();
  }();
  return backend;
}

}  // namespace um
