#include "scripted_library.h"

#include <algorithm>
#include <cstring>

namespace {

Recorded_Call Record(BSTR *name, SAFEARRAY **buffer, std::int32_t *length) {
  Recorded_Call call;
  if (name != nullptr && *name != nullptr) {
    for (UINT i = 0; i < SysStringLen(*name); ++i) call.name.push_back(static_cast<char>((*name)[i]));
  }
  call.length = *length;
  LONG upper = -1;
  SafeArrayGetUBound(*buffer, 1, &upper);
  void *data = nullptr;
  if (SUCCEEDED(SafeArrayAccessData(*buffer, &data))) {
    call.bytes.assign(static_cast<const char *>(data), static_cast<std::size_t>(upper + 1));
    SafeArrayUnaccessData(*buffer);
  }
  return call;
}

std::int32_t Answer(std::deque<Scripted_Read> &script, std::vector<Recorded_Call> &calls, BSTR *name,
                    SAFEARRAY **buffer, std::int32_t *length) {
  calls.push_back(Record(name, buffer, length));
  if (script.empty()) return 0;
  const Scripted_Read read = script.front();
  script.pop_front();
  void *data = nullptr;
  if (SUCCEEDED(SafeArrayAccessData(*buffer, &data))) {
    std::memcpy(data, read.bytes.data(), std::min(calls.back().bytes.size(), read.bytes.size()));
    SafeArrayUnaccessData(*buffer);
  }
  *length = read.result;
  return read.result;
}

}  // namespace

std::int32_t Scripted_Library::Write(BSTR *name, SAFEARRAY **buffer, std::int32_t *length) {
  writes.push_back(Record(name, buffer, length));
  if (write_results.empty()) return write_result;
  const std::int32_t result = write_results.front();
  write_results.pop_front();
  return result;
}

std::int32_t Scripted_Library::Read(Client::Channel channel, BSTR *name, SAFEARRAY **buffer, std::int32_t *length) {
  if (channel == Client::Channel::Interrogative) return Answer(interrogative, interrogative_calls, name, buffer, length);
  return Answer(formatted, formatted_calls, name, buffer, length);
}

BSTR Scripted_Library::All_Device_Names() {
  ++list_calls;
  const std::u16string wide(listed.begin(), listed.end());
  return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

void Scripted_Library::Answers(std::initializer_list<const char *> reads) {
  for (std::string read : reads) {
    if (read == "-") {
      interrogative.push_back({0, {}});
    } else {
      if (read.empty()) read.push_back('\0');
      interrogative.push_back({static_cast<std::int32_t>(read.size()), read});
    }
  }
}
