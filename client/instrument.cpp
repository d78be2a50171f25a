// The conversation with one instrument.
#include "instrument.h"

#include "library_calls.h"

#include <algorithm>
#include <cctype>
#include <thread>

namespace Client {

namespace {

class Real final : public Pace {
 public:
  Clock::time_point Now() override { return Clock::now(); }
  void Sleep(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }
};

}  // namespace

Pace &Real_Pace() {
  static Real pace;
  return pace;
}

// ---- The instrument list --------------------------------------------------------

std::vector<std::string> List_Instruments(Device_Library &library) {
  const std::string text = Library_Text::Adopt(library.All_Device_Names()).Characters();
  std::vector<std::string> names;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    if (end > start) names.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return names;
}

std::optional<std::string> Resolve(Device_Library &library, std::string_view name) {
  auto same_letter = [](unsigned char a, unsigned char b) { return std::tolower(a) == std::tolower(b); };
  for (const std::string &listed : List_Instruments(library)) {
    if (std::equal(listed.begin(), listed.end(), name.begin(), name.end(), same_letter)) return listed;
  }
  return std::nullopt;
}

// ---- One instrument -------------------------------------------------------------

Instrument::Instrument(Device_Library &library, std::string name, Pace &pace)
    : library_(library), name_(std::move(name)), pace_(pace) {}

Write_Outcome Instrument::Write(std::string_view bytes) {
  if (bytes.empty()) return Write_Outcome::Nothing_To_Send;
  Library_Text name = Library_Text::Of_Characters(name_);
  switch (Write_Call(library_, name, bytes)) {
    case 1:
      return Write_Outcome::Done;
    case -2:
      return Write_Outcome::Not_Found;
    default:
      return Write_Outcome::Failed;
  }
}

std::optional<std::string> Instrument::Poll(Channel channel, std::int32_t capacity) {
  Library_Text name = Library_Text::Of_Characters(name_);
  // One byte more than asked for, as the console has always offered.
  Read_Call_Result read = Read_Call(library_, name, channel, static_cast<std::size_t>(capacity) + 1, capacity);
  if (read.count <= 0) return std::nullopt;
  read.bytes.resize(std::min<std::size_t>(read.bytes.size(), static_cast<std::size_t>(read.count)));
  return std::move(read.bytes);
}

std::string Instrument::Drain(Channel channel) {
  std::string stale;
  for (int reads = 0; reads < kMostDrainReads; ++reads) {
    std::optional<std::string> chunk = Poll(channel);
    if (!chunk) break;
    stale += *chunk;
  }
  return stale;
}

Reading Instrument::Read_Within(Channel channel, int timeout_ms, bool until_newline) {
  const auto deadline = pace_.Now() + std::chrono::milliseconds(timeout_ms);
  // Everything already waiting is taken, but a stream that never runs dry
  // ends the reading a little after the deadline.
  const auto drain_limit = deadline + std::chrono::milliseconds(200);
  std::string received;
  for (;;) {
    std::optional<std::string> chunk = Poll(channel);
    if (chunk) {
      received += *chunk;
      if (pace_.Now() < drain_limit) continue;
    }
    const bool complete = !received.empty() && (!until_newline || received.back() == '\n');
    if (complete) return {Reading::Outcome::Received, received};
    if (pace_.Now() >= deadline) {
      // Listing probes every name, so presence is asked once, at the end.
      const bool gone = received.empty() && !Present();
      return {gone ? Reading::Outcome::Gone : Reading::Outcome::Timed_Out, received};
    }
    pace_.Sleep(std::chrono::milliseconds(5));
  }
}

Query_Result Instrument::Query(std::string_view question, int timeout_ms, bool until_newline) {
  Query_Result result;
  result.dropped = Drain(Channel::Interrogative);
  std::string line(question);
  line.push_back('\n');
  result.written = Write(line);
  if (result.written == Write_Outcome::Done) {
    result.reading = Read_Within(Channel::Interrogative, timeout_ms, until_newline);
  }
  return result;
}

bool Instrument::Present() { return Resolve(library_, name_).has_value(); }

}  // namespace Client
