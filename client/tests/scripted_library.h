// A stand-in of the device-access library that answers from a script and
// records every call, so that tests see the exact bytes, lengths and names
// that cross.
#pragma once

#include <device_library.h>

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

struct Scripted_Read {
  std::int32_t result = 0;  // what the read export returns
  std::string bytes;        // put into the array from index 0 (as far as it reaches)
};

struct Recorded_Call {
  std::string name;          // the device name's characters
  std::int32_t length = 0;   // the length passed in
  std::string bytes;         // the array's bytes when the call came in
};

class Scripted_Library final : public Client::Device_Library {
 public:
  std::int32_t Write(BSTR *name, SAFEARRAY **buffer, std::int32_t *length) override;
  std::int32_t Read(Client::Channel channel, BSTR *name, SAFEARRAY **buffer, std::int32_t *length) override;
  BSTR All_Device_Names() override;
  BSTR First_Device_Name() override { return nullptr; }

  // Interrogative reads: "-" brings nothing; any other text is one read's
  // bytes (an empty text a successful read of nothing: one zero byte).
  void Answers(std::initializer_list<const char *> reads);

  std::string listed = "TAVRIN-0\r\n";
  std::int32_t write_result = 1;
  std::deque<std::int32_t> write_results;  // taken one per write before write_result applies
  std::deque<Scripted_Read> interrogative;
  std::deque<Scripted_Read> formatted;

  std::vector<Recorded_Call> writes;
  std::vector<Recorded_Call> interrogative_calls;
  std::vector<Recorded_Call> formatted_calls;
  int list_calls = 0;
};
