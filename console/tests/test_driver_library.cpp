// The scripted stand-in of the device-access library (see test_driver_state.h).
// Built twice: whole, and without USB_Read_Formatted and
// USB_Get_ALL_Available_DeviceName (TEST_DRIVER_PARTIAL).
#include "test_driver_state.h"

#include <oleauto.h>

#include <algorithm>
#include <cstring>

#define TEST_DRIVER_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

Test_Driver_State g_state;

Test_Driver_Call Record(BSTR *name, SAFEARRAY **buffer, std::int32_t *length) {
  Test_Driver_Call call;
  if (name != nullptr && *name != nullptr) call.device.assign(*name, SysStringLen(*name));
  if (length != nullptr) call.length = *length;
  if (buffer != nullptr && *buffer != nullptr && SafeArrayGetDim(*buffer) == 1) {
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(*buffer, 1, &lower);
    SafeArrayGetUBound(*buffer, 1, &upper);
    call.lower = lower;
    call.upper = upper;
    void *data = nullptr;
    if (SUCCEEDED(SafeArrayAccessData(*buffer, &data))) {
      call.buffer.assign(static_cast<const char *>(data), static_cast<std::size_t>(upper - lower + 1));
      SafeArrayUnaccessData(*buffer);
    }
  }
  return call;
}

void Rename(BSTR *name) {
  if (!g_state.rename_device || name == nullptr) return;
  SysFreeString(*name);
  *name = SysAllocStringLen(g_state.rename_device->data(), static_cast<UINT>(g_state.rename_device->size()));
}

std::int32_t Read(std::deque<Test_Driver_Read> &script, std::vector<Test_Driver_Call> &calls, BSTR *name,
                  SAFEARRAY **buffer, std::int32_t *length) {
  calls.push_back(Record(name, buffer, length));
  Rename(name);
  if (script.empty()) return 0;
  const Test_Driver_Read read = script.front();
  script.pop_front();
  void *data = nullptr;
  if (buffer != nullptr && *buffer != nullptr && SUCCEEDED(SafeArrayAccessData(*buffer, &data))) {
    const std::size_t room = calls.back().buffer.size();
    std::memcpy(data, read.bytes.data(), std::min(room, read.bytes.size()));
    SafeArrayUnaccessData(*buffer);
  }
  if (length != nullptr) *length = read.result;
  return read.result;
}

BSTR Text(const std::optional<std::u16string> &text) {
  return text ? SysAllocStringLen(text->data(), static_cast<UINT>(text->size())) : nullptr;
}

}  // namespace

TEST_DRIVER_EXPORT Test_Driver_State *Test_Driver() { return &g_state; }

TEST_DRIVER_EXPORT std::int32_t USB_Write(BSTR *name, SAFEARRAY **buffer, std::int32_t *length) {
  g_state.writes.push_back(Record(name, buffer, length));
  Rename(name);
  if (g_state.write_results.empty()) return g_state.write_result;
  const std::int32_t result = g_state.write_results.front();
  g_state.write_results.pop_front();
  return result;
}

TEST_DRIVER_EXPORT std::int32_t USB_Read_Interrogative(BSTR *name, SAFEARRAY **buffer, std::int32_t *length) {
  return Read(g_state.interrogative, g_state.interrogative_calls, name, buffer, length);
}

TEST_DRIVER_EXPORT BSTR USB_Get_First_DeviceName() { return Text(g_state.first_device); }

#ifndef TEST_DRIVER_PARTIAL
TEST_DRIVER_EXPORT std::int32_t USB_Read_Formatted(BSTR *name, SAFEARRAY **buffer, std::int32_t *length) {
  return Read(g_state.formatted, g_state.formatted_calls, name, buffer, length);
}

TEST_DRIVER_EXPORT BSTR USB_Get_ALL_Available_DeviceName() {
  ++g_state.list_calls;
  return Text(g_state.device_list);
}
#endif
