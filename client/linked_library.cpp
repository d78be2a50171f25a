// The device-access library linked into the program.
#include "device_library.h"

#include <Tavrin_570x_Driver.h>

namespace Client {
namespace {

class Linked final : public Device_Library {
 public:
  std::int32_t Write(BSTR *name, SAFEARRAY **buffer, std::int32_t *length) override {
    return USB_Write(name, buffer, length);
  }
  std::int32_t Read(Channel channel, BSTR *name, SAFEARRAY **buffer, std::int32_t *length) override {
    return channel == Channel::Interrogative ? USB_Read_Interrogative(name, buffer, length)
                                             : USB_Read_Formatted(name, buffer, length);
  }
  BSTR All_Device_Names() override { return USB_Get_ALL_Available_DeviceName(); }
  BSTR First_Device_Name() override { return USB_Get_First_DeviceName(); }
};

}  // namespace

Device_Library &Linked_Library() {
  static Linked library;
  return library;
}

}  // namespace Client
