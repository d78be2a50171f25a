// Single calls of the device-access library's transfer exports, with the
// name and the array owned around them.
#pragma once

#include "device_library.h"
#include "library_types.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace Client {

// The device name crosses by reference: after the call it holds whatever the
// library left there.

// One USB_Write of the bytes (at least one); the export's result.
std::int32_t Write_Call(Device_Library &library, Library_Text &name, std::string_view bytes);

// One read export call with a zero-filled array of `array_bytes` and
// `asked` as the length; the export's result and the array's first `asked`
// bytes as they stand after the call (Bounds_Error when it has fewer).
struct Read_Call_Result {
  std::int32_t count = 0;
  std::string bytes;
};
Read_Call_Result Read_Call(Device_Library &library, Library_Text &name, Channel channel, std::size_t array_bytes,
                           std::int32_t asked);

}  // namespace Client
