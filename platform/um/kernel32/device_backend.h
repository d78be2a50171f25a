// Where kernel32's device handles lead. The embedded backend runs the kernel
// in this process; the service backend reaches the kernel that tavrind hosts
// for every program. kernel32 sees only this interface and NTSTATUS values.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace um {

using NtStatus = std::int32_t;

class DeviceBackend {
 public:
  virtual ~DeviceBackend() = default;
  // Opens the device named by an NT path such as u"\\??\\TAVRIN-0".
  virtual NtStatus Open(std::u16string_view ntPath, void **file) = 0;
  // One synchronous device-control request; stores the request's byte count.
  virtual NtStatus Control(void *file, std::uint32_t code, const void *input, std::uint32_t inputLength,
                           void *output, std::uint32_t outputLength, std::uint64_t *information) = 0;
  virtual void Close(void *file) = 0;
};

// The backend that runs the kernel inside this process.
DeviceBackend &EmbeddedBackend();
// The backend that reaches tavrind on `socketPath` (the first call's path
// holds for the process).
DeviceBackend &ServiceBackend(const std::string &socketPath);
// Why that service cannot serve this process (it cannot be reached, or
// stopped answering), or empty when it can. Connects when not connected.
std::string ServiceProblem(const std::string &socketPath);

// The backend this process uses, chosen on first use: TAVRIN_SERVICE=embedded
// forces the embedded kernel; TAVRIN_SERVICE=PATH names the service's
// socket; otherwise the service's default socket is used when it exists and
// the program did not ask for simulated instruments of its own
// (TAVRIN_SIMULATE), else the embedded kernel.
DeviceBackend &ProcessBackend();
// Which backend ProcessBackend chose: "embedded", or "service" with the
// socket's path.
struct BackendChoice {
  bool service = false;
  std::string socketPath;
};
BackendChoice ProcessBackendChoice();

}  // namespace um
