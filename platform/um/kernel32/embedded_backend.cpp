// The in-process backend: hands each call to the embedded kernel's system
// services, which boot the kernel on the first open.
#include "device_backend.h"

#include <km/standin.h>

namespace um {
namespace {

class Embedded final : public DeviceBackend {
 public:
  NtStatus Open(std::u16string_view ntPath, void **file) override {
    PFILE_OBJECT opened = nullptr;
    NTSTATUS status = km::OpenFile(ntPath, &opened);
    *file = opened;
    return status;
  }

  NtStatus Control(void *file, std::uint32_t code, const void *input, std::uint32_t inputLength, void *output,
                   std::uint32_t outputLength, std::uint64_t *information) override {
    ULONG_PTR bytes = 0;
    NTSTATUS status = km::DeviceControl(static_cast<PFILE_OBJECT>(file), code, input, inputLength, output,
                                        outputLength, &bytes);
    *information = bytes;
    return status;
  }

  void Close(void *file) override { km::CloseFile(static_cast<PFILE_OBJECT>(file)); }
};

}  // namespace

DeviceBackend &EmbeddedBackend() {
  static Embedded backend;
  return backend;
}

}  // namespace um
