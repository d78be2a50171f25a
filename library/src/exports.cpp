// The three transfer exports, one per channel, over Channel_Transfer.
#include "Tavrin_570x_Driver.h"
#include "library_routines.h"

namespace {

// A read's result: the bytes received as the length now says, or 0 when the
// transfer did not complete.
int32_t Read_Channel(int16_t Channel, BSTR *DeviceName, SAFEARRAY **Buffer, int32_t *Length) {
  if (Channel_Transfer(DeviceName, Channel, Buffer, Length) != kTransferCompleted) return 0;
  return *Length;
}

}  // namespace

int32_t WINAPI USB_Write(BSTR *DeviceName, SAFEARRAY **Buffer, int32_t *Length) {
  return Channel_Transfer(DeviceName, kCommandChannel, Buffer, Length);
}

int32_t WINAPI USB_Read_Interrogative(BSTR *DeviceName, SAFEARRAY **Buffer, int32_t *Length) {
  return Read_Channel(kInterrogativeChannel, DeviceName, Buffer, Length);
}

int32_t WINAPI USB_Read_Formatted(BSTR *DeviceName, SAFEARRAY **Buffer, int32_t *Length) {
  return Read_Channel(kFormattedChannel, DeviceName, Buffer, Length);
}
