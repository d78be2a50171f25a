// The conversation with one instrument through the device-access library:
// write, poll, drain, read with a time-out and query, and the instrument
// list. Texts are 8-bit: one byte per character. The header holds no
// platform types, so that any program can include it.
#pragma once

#include "channel.h"
#include "pace.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Client {

class Device_Library;

// ---- The instrument list ------------------------------------------------------

std::vector<std::string> List_Instruments(Device_Library &library);
// The listed name that matches `name` without regard to letter case, as the
// library matches names; nullopt when no such instrument is present.
std::optional<std::string> Resolve(Device_Library &library, std::string_view name);

// ---- One instrument ----------------------------------------------------------

// What a write came to.
enum class Write_Outcome { Done, Failed, Not_Found, Nothing_To_Send };

// What a read that may wait brought.
struct Reading {
  enum class Outcome { Received, Timed_Out, Gone } outcome = Outcome::Timed_Out;
  std::string bytes;  // everything received, also on a time-out
};

// What a query brought: the reading, and what was waiting unread on the
// interrogative channel before the question went (dropped, so that it was
// not taken for this question's answer).
struct Query_Result {
  Write_Outcome written = Write_Outcome::Failed;
  Reading reading;
  std::string dropped;
};

// A reply read's capacity: any answer or formatted burst the instrument
// queues.
inline constexpr std::int32_t kReplyReadBytes = 32000;
// An answer read's capacity during a download, as the console has always
// read its interrogative channel.
inline constexpr std::int32_t kAnswerReadBytes = 64;
// The largest transfer the driver moves in one request.
inline constexpr std::size_t kLargestTransfer = 65535;
// A drain gives up after this many reads that all brought something: an
// instrument that never stops talking is not waited out.
inline constexpr int kMostDrainReads = 256;

class Instrument {
 public:
  // `name` as listed (or as the user typed it: the library matches names
  // without regard to letter case).
  Instrument(Device_Library &library, std::string name, Pace &pace = Real_Pace());

  const std::string &Name() const { return name_; }
  Device_Library &Library() { return library_; }

  // Sends the bytes to the command channel as one write.
  Write_Outcome Write(std::string_view bytes);
  // One read of a reply channel of up to `capacity` bytes: the bytes
  // received; nullopt when nothing was.
  std::optional<std::string> Poll(Channel channel, std::int32_t capacity = kReplyReadBytes);
  // Reads a reply channel until one read brings nothing; what was waiting.
  std::string Drain(Channel channel = Channel::Interrogative);
  // Reads a reply channel until something arrives (with `until_newline`,
  // until what arrived ends in a line feed) or `timeout_ms` has passed; with
  // a time-out of 0, one read. The library cannot tell an idle channel from
  // a failed transfer, so an instrument no longer listed when nothing
  // arrived is the failure: Gone.
  Reading Read_Within(Channel channel, int timeout_ms, bool until_newline);
  // Drains the interrogative channel, sends the question and a line feed,
  // and reads its answer within the time-out.
  Query_Result Query(std::string_view question, int timeout_ms, bool until_newline = true);
  // Whether the instrument is listed now.
  bool Present();

 private:
  Device_Library &library_;
  std::string name_;
  Pace &pace_;
};

}  // namespace Client
