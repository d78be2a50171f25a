// The version the USB stand-in reports: USBD interface 6.00 (Windows 7 and
// later) on a USB 2.0 bus.
#include <usbdlib.h>

VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
  if (VersionInformation == nullptr) return;
  VersionInformation->USBDI_Version = USBDI_VERSION;
  VersionInformation->Supported_USB_Version = 0x200;
}
