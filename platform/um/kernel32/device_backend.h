// Where kernel32's device handles lead. The embedded backend runs the kernel
// in this process; a later backend may reach a kernel hosted by a service
// process. kernel32 sees only this interface and NTSTATUS values.
#pragma once

#include <cstdint>
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

}  // namespace um
