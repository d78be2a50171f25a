// The scripted stand-in of the device-access library that the console's tests
// load through the call bridge: it answers from a script and records every
// call, so that tests see the exact bytes, bounds and lengths that cross.
// Tests reach its state through the exported Test_Driver().
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

struct Test_Driver_Read {
  std::int32_t result = 0;  // what the read export returns
  std::string bytes;        // put into the buffer from index 0 (as far as it reaches)
};

struct Test_Driver_Call {
  std::u16string device;       // the device name as the library received it
  std::int32_t length = 0;     // the length passed in
  long lower = 0;              // the buffer's bounds
  long upper = -1;
  std::string buffer;          // the buffer's bytes when the call came in
};

struct Test_Driver_State {
  // USB_Get_ALL_Available_DeviceName's and USB_Get_First_DeviceName's text
  // (UTF-16, as the library's texts are); no string at all when unset.
  std::optional<std::u16string> device_list = std::u16string();
  std::optional<std::u16string> first_device;
  std::int32_t write_result = 1;
  // Scripted write results, taken one per call before write_result applies.
  std::deque<std::int32_t> write_results;
  // Scripted reads, taken one per call; an empty script returns 0.
  std::deque<Test_Driver_Read> interrogative;
  std::deque<Test_Driver_Read> formatted;
  // When set, every transfer replaces the caller's device name with this.
  std::optional<std::u16string> rename_device;

  std::vector<Test_Driver_Call> writes;
  std::vector<Test_Driver_Call> interrogative_calls;
  std::vector<Test_Driver_Call> formatted_calls;
  int list_calls = 0;
};

using Test_Driver_Entry = Test_Driver_State *(*)();
inline constexpr const char *kTestDriverFile = "console_test_driver.so";
inline constexpr const char *kPartialTestDriverFile = "console_test_driver_partial.so";
