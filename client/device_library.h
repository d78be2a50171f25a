// The device-access library's exports as the conversation reaches them. A
// program that links the library uses Linked_Library(); one that binds the
// library by name at run time (the console) supplies its own, whose calls
// may raise whatever its binding raises (a missing library or entry).
#pragma once

#include "channel.h"

#include <oleauto.h>

#include <cstdint>

namespace Client {

class Device_Library {
 public:
  virtual ~Device_Library() = default;
  // USB_Write: 1 sent, -2 no such instrument open, anything else failed.
  virtual std::int32_t Write(BSTR *name, SAFEARRAY **buffer, std::int32_t *length) = 0;
  // USB_Read_Interrogative or USB_Read_Formatted: the count received, 0 for
  // nothing (or a failure; the library does not tell them apart).
  virtual std::int32_t Read(Channel channel, BSTR *name, SAFEARRAY **buffer, std::int32_t *length) = 0;
  // USB_Get_ALL_Available_DeviceName: every present instrument's name, each
  // followed by a carriage return and a line feed; a new text the caller
  // owns (nullptr: none).
  virtual BSTR All_Device_Names() = 0;
  // USB_Get_First_DeviceName.
  virtual BSTR First_Device_Name() = 0;
};

// The library the program is linked with (target client_linked).
Device_Library &Linked_Library();

}  // namespace Client
