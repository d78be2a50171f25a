#include "transfer_rules.h"

#include <tavrin_ioctl.h>

#include <algorithm>

namespace service {

std::uint32_t BytesReturned(std::uint32_t code, std::int32_t status, std::uint32_t outputLength,
                            std::uint64_t information) {
  // An error status (the top two bits set) returns no data, as on Windows.
  if ((static_cast<std::uint32_t>(status) >> 30) == 3) return 0;
  auto reported = static_cast<std::uint32_t>(std::min<std::uint64_t>(information, outputLength));
  // An isochronous read writes data and packet descriptors and reports 0.
  if (code == IOCTL_INSTR_ISO_READ) return outputLength;
  switch (code & 3) {
    case 0:  // buffered: the platform copies back the reported bytes
    case 2:  // out-direct: the driver wrote the reported bytes
      return reported;
    case 1:  // in-direct: the driver reads the buffer, except for a control
             // request's device-to-host data stage
      return code == IOCTL_INSTR_CONTROL_REQUEST ? reported : 0;
    default:  // neither: the driver may have written any of it
      return outputLength;
  }
}

bool EndsPromptly(std::uint32_t code) {
  switch (code) {
    case IOCTL_INSTR_GET_INTERFACE_RECORD:
    case IOCTL_INSTR_NOP:
    case IOCTL_INSTR_NOP_DIRECT:
    case IOCTL_INSTR_GET_DRIVER_VERSION:
    case IOCTL_INSTR_GET_LAST_USBD_STATUS:
    case IOCTL_INSTR_GET_FRAME_NUMBER:
    case IOCTL_INSTR_BULK_WRITE:
    case IOCTL_INSTR_BULK_READ_TIMED:
      return true;
    default:
      return false;
  }
}

}  // namespace service
