// The five methods of _cls_Tavrin_USB as late binding sees them: names,
// dispatch identifiers and parameters, in the order of their slots after
// IDispatch's seven. The class's Invoke and, where no type library is
// embedded, its type information are made from this table.
#pragma once

#include <cls_Tavrin_USB.h>

namespace automation {

// Slots before the interface's own methods: IUnknown's three, IDispatch's four.
inline constexpr UINT kFirstMethodSlot = 7;

enum class Method { GetAll, ReadFormatted, ReadInterrogative, Write, GetFirst };

struct MethodEntry {
  const OLECHAR *name;
  DISPID id;
  Method method;
  UINT parameterCount;
  const OLECHAR *parameters[2];
};

inline constexpr MethodEntry kMethods[] = {
    {OLESTR("Get_ALL_Available_DeviceName"), DISPID_Get_ALL_Available_DeviceName, Method::GetAll, 0, {}},
    {OLESTR("Device_Read_Formatted"), DISPID_Device_Read_Formatted, Method::ReadFormatted, 1,
     {OLESTR("DeviceName")}},
    {OLESTR("Device_Read_Interrogative"), DISPID_Device_Read_Interrogative, Method::ReadInterrogative, 1,
     {OLESTR("DeviceName")}},
    {OLESTR("Device_Write"), DISPID_Device_Write, Method::Write, 2, {OLESTR("DeviceName"), OLESTR("Value")}},
    {OLESTR("Get_First_DeviceName"), DISPID_Get_First_DeviceName, Method::GetFirst, 0, {}},
};

}  // namespace automation
