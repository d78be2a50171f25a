// `tavrin download`: the firmware download exchange, with the rules every
// downloading program shares (command line, acknowledgement test, 1024-byte
// writes, progress figures, error texts), run straight through with a progress
// bar on a terminal and plain progress lines otherwise, both on standard
// error.
#include "commands.h"

#include "file_bytes.h"
#include "instrument_channels.h"
#include "interruption.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <thread>

namespace tavrin_cli {
namespace {

namespace exchange = Download_Exchange;

constexpr std::int32_t kAnswerBytes = 64;

enum class Answer { Accepted, Refused, Silent };

// Reads the interrogative channel once per wait tick until an answer comes
// or the reads allowed run out; a read that succeeds is judged on its text.
Answer WaitForAnswer(const std::string &name, int waitMs, std::string *text) {
  for (int remaining = waitMs;;) {
    std::optional<std::string> read = Read(name, 1, kAnswerBytes);
    remaining -= exchange::kWaitTickMs;
    exchange::Wait_Outcome outcome = exchange::Judge_Read(read.has_value(), read.value_or(""), remaining);
    if (outcome == exchange::Wait_Outcome::Succeeded) return Answer::Accepted;
    if (outcome == exchange::Wait_Outcome::Failed) {
      *text = read.value_or("");
      return read ? Answer::Refused : Answer::Silent;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(exchange::kWaitTickMs));
  }
}

// Progress on standard error, so that standard output keeps the outcome: a
// bar redrawn in place on a terminal, else one line per new percentage.
class Progress {
 public:
  explicit Progress(bool quiet) : terminal_(!quiet && isatty(STDERR_FILENO)), quiet_(quiet) {}
  void Show(const std::string &percent, double value) {
    int filled = static_cast<int>(value / 100.0 * kWidth + 0.5);
    if (quiet_ || (percent == last_ && filled == filled_)) return;
    if (terminal_) {
      std::cerr << "\r[" << std::string(filled, '#') << std::string(kWidth - filled, '.') << "] " << percent
                << std::flush;
    } else if (percent != last_) {
      std::cerr << percent << "\n" << std::flush;
    }
    last_ = percent;
    filled_ = filled;
  }
  void Finish() {
    if (terminal_ && !last_.empty()) std::cerr << "\n";
    last_.clear();
  }

 private:
  static constexpr int kWidth = 40;
  bool terminal_;
  bool quiet_;
  std::string last_;
  int filled_ = -1;
};

std::string_view TypeName(exchange::Image_Type type) { return exchange::Command_Word(type).substr(3); }

// After a download with RESET the instrument leaves the bus and comes back
// a moment later: waits for it to go (briefly: one that does not restart
// stays) and then to return.
bool WaitForReturn(const std::string &name, int waitMs) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
  auto leaveBy = Clock::now() + std::chrono::milliseconds(std::min(waitMs, 500));
  while (Present(name)) {
    if (Clock::now() >= leaveBy) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  while (!Present(name)) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

}  // namespace

int DownloadCommand(const Options &options, const std::string &requested, const std::string &path,
                    exchange::Image_Type type, bool reset, RestartWait restartWait) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    return Fail(options, kFileError, exchange::Unable_To_Locate(path));
  }
  // The image goes out as it is read, one chunk at a time: only the
  // instrument ever holds all of it.
  FileReader image(path);
  if (!image.Open()) return Fail(options, kFileError, exchange::Unable_To_Locate(path));
  if (image.Size() == 0) return Fail(options, kFileError, "The file is empty: " + path);
  auto listed = Resolve(requested);
  if (!listed) return Fail(options, kNoInstrument, "no instrument named " + requested);
  const std::string &name = *listed;

  auto writeFailed = [&] { return Fail(options, kDeviceError, exchange::Error_Text(exchange::kUnableToWrite)); };
  if (Write(name, exchange::Command_Line(type, reset)) != Transfer::Done) return writeFailed();

  std::string answer;
  switch (WaitForAnswer(name, exchange::kAcknowledgementWaitMs, &answer)) {
    case Answer::Accepted:
      break;
    case Answer::Refused:
      return Fail(options, kRefused, exchange::Error_Text(answer));
    case Answer::Silent:
      return Fail(options, kTimedOut, exchange::Error_Text(answer));
  }

  Progress progress(options.json);
  InterruptWatch interrupt;
  std::int32_t sent = 0;
  const std::int64_t total = image.Size();
  std::string chunk(static_cast<std::size_t>(exchange::kChunkBytes), '\0');
  for (std::int64_t offset = 0; offset < total;) {
    if (interrupt.Interrupted()) {
      progress.Finish();
      return Fail(options, kInterrupted,
                  "interrupted: " + name + " holds a partial " + std::string(TypeName(type)) + " image (" +
                      std::to_string(offset) + " of " + std::to_string(total) +
                      " bytes sent); download the image again to recover");
    }
    std::int64_t bytes = exchange::Chunk_Bytes(total - offset);
    if (!image.Read(chunk.data(), static_cast<std::size_t>(bytes))) {
      progress.Finish();
      return Fail(options, kFileError,
                  "cannot read " + path + " any further: " + name + " holds a partial " +
                      std::string(TypeName(type)) + " image (" + std::to_string(offset) + " of " +
                      std::to_string(total) + " bytes sent); download the image again to recover");
    }
    if (Write(name, std::string_view(chunk.data(), static_cast<std::size_t>(bytes))) != Transfer::Done) {
      progress.Finish();
      return writeFailed();
    }
    offset += bytes;
    exchange::Advance_Sent_Count(sent);
    double percentage = exchange::Percentage(sent, total);
    progress.Show(exchange::Percent_Text(percentage), percentage);
  }
  progress.Finish();

  switch (WaitForAnswer(name, exchange::kFinalAnswerWaitMs, &answer)) {
    case Answer::Accepted:
      break;
    case Answer::Refused:
      return Fail(options, kRefused, exchange::Error_Text(answer));
    case Answer::Silent:
      return Fail(options, kTimedOut, exchange::Error_Text(answer));
  }
  if (reset && restartWait) {
    if (options.verbose || !options.json) Remark("waiting for " + name + " to restart");
    if (!WaitForReturn(name, *restartWait)) {
      return Fail(options, kTimedOut,
                  "the image is stored, but " + name + " did not come back within " +
                      std::to_string(*restartWait) + " ms of its restart");
    }
  }
  JsonWriter json = SuccessObject();
  json.Field("name", name).Field("file", path).Field("bytes", total).Field("result", exchange::kComplete);
  Succeed(options, json, std::string(exchange::kComplete) + "\n");
  return kOk;
}

}  // namespace tavrin_cli
