// Single calls of the library's transfer exports.
#include "library_calls.h"

namespace Client {

std::int32_t Write_Call(Device_Library &library, Library_Text &name, std::string_view bytes) {
  Byte_Array buffer(bytes);
  std::int32_t length = static_cast<std::int32_t>(bytes.size());
  return library.Write(name.Pointer(), buffer.Pointer(), &length);
}

Read_Call_Result Read_Call(Device_Library &library, Library_Text &name, Channel channel, std::size_t array_bytes,
                           std::int32_t asked) {
  Byte_Array buffer(array_bytes);
  std::int32_t length = asked;
  Read_Call_Result result;
  result.count = library.Read(channel, name.Pointer(), buffer.Pointer(), &length);
  if (result.count != 0) result.bytes = buffer.Bytes(static_cast<std::size_t>(asked));
  return result;
}

}  // namespace Client
