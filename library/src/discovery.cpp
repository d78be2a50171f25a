// Discovery: an instrument is present when its name can be opened. The names
// "TAVRIN-0" to "TAVRIN-31" are tried in ascending order, each opened and
// closed at once; nothing is sent to the instruments and nothing is kept.
#include "Tavrin_570x_Driver.h"
#include "library_routines.h"

namespace {

constexpr int kFirstNumber = 0;
constexpr int kLastNumber = 31;
constexpr OLECHAR kNamePrefix[] = OLESTR("TAVRIN-");
constexpr UINT kNamePrefixChars = sizeof kNamePrefix / sizeof kNamePrefix[0] - 1;
constexpr OLECHAR kNameEnd[] = OLESTR("\r\n");
constexpr UINT kNameEndChars = 2;
// Room for "TAVRIN-" and a two-digit number.
constexpr UINT kMaxNameChars = kNamePrefixChars + 2;
// Room for the list with every name present.
constexpr UINT kMaxListChars = (kLastNumber - kFirstNumber + 1) * (kMaxNameChars + kNameEndChars);

// The device name numbered `Number`, "TAVRIN-" and the number in decimal
// without padding; null when no memory is left.
BSTR Device_Name(int Number) {
  OLECHAR name[kMaxNameChars] = {};
  UINT length = 0;
  for (UINT i = 0; i < kNamePrefixChars; ++i) name[length++] = kNamePrefix[i];
  if (Number >= 10) name[length++] = static_cast<OLECHAR>(OLESTR('0') + Number / 10);
  name[length++] = static_cast<OLECHAR>(OLESTR('0') + Number % 10);
  return SysAllocStringLen(name, length);
}

BSTR Empty_Text() { return SysAllocStringLen(OLESTR(""), 0); }

}  // namespace

BSTR WINAPI USB_Get_First_DeviceName(void) {
  for (int number = kFirstNumber; number <= kLastNumber; ++number) {
    BSTR name = Device_Name(number);
    if (name == nullptr) continue;
    HANDLE device = Open_Device(name);
    if (device != nullptr) {
      CloseHandle(device);
      return name;
    }
    SysFreeString(name);
  }
  return Empty_Text();
}

BSTR WINAPI USB_Get_ALL_Available_DeviceName(void) {
  OLECHAR list[kMaxListChars] = {};
  UINT length = 0;
  for (int number = kFirstNumber; number <= kLastNumber; ++number) {
    BSTR name = Device_Name(number);
    if (name == nullptr) continue;
    HANDLE device = Open_Device(name);
    if (device != nullptr) {
      const UINT nameLength = SysStringLen(name);
      for (UINT i = 0; i < nameLength; ++i) list[length++] = name[i];
      for (UINT i = 0; i < kNameEndChars; ++i) list[length++] = kNameEnd[i];
      CloseHandle(device);
    }
    SysFreeString(name);
  }
  return SysAllocStringLen(list, length);
}
